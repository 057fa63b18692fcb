// How long the supervisor waits before it looks at its child again.
//
// Under Wine every wakeup, every look into a pipe and every read is a round
// trip to the Wine server, at some 0.1 ms of CPU each, and a child's own
// writes wait for the same server.  So the supervisor looks often only where
// it matters: while a start is awaited (the next step of the cycle waits for
// it), just after the child was active, and at the pace of a container that
// writes steadily; a quiet container that is up rests on its pipes instead.
// No wait outlasts the next timed duty.
#include "service/poll_pacing.h"

namespace {

enum : uint32_t {
    // A child that has just written something, or has just been started, is
    // polled again after this long; the wait then grows back to POLL_WAIT_MS
    // by a quarter of the time the child has been silent, so a child that
    // falls silent costs some twenty extra polls.
    BUSY_WAIT_MS = 4,
    BUSY_BACKOFF_DIVISOR = 4,
    // While a start is awaited (the launcher's run, the container's start
    // marker), the wait ends on the child's output as well, so that the
    // start marker is read as it comes.  Where the pipes cannot be waited
    // on, the first wait is 1 ms and the wait grows by a sixteenth only: a
    // restart or a start is late by no more than a sixteenth of the child's
    // own time.
    STARTING_WAIT_MS = 1,
    STARTING_BACKOFF_DIVISOR = 16,
    // A container that is up, has nothing pending and has been silent this
    // long rests: the wait for its end and for requests waits on its output
    // pipes too, so that its output reaches the log at once, and lasts a
    // minute.
    QUIET_AFTER_MS = 2000,
    QUIET_REST_MS = 60000,
    // A container that is writing is polled again when its pipes hold about
    // this much, at the rate of its output since the poll before, but after
    // 1 ms at the least and POLL_WAIT_MS at the most: one that writes steadily
    // in small pieces is read a few times a second in whole chunks, and one
    // that writes fast is kept up with.  Each poll of a writing container
    // costs the Wine server the wait, a look into the error pipe and the
    // output's read (output that flows is read without a look first); at
    // 128 KiB a poll that is some 140 reads and writes of talvex.exe a MiB
    // copied, and the child's own writes, which wait for the same server, go
    // faster than with a poll every 64 KiB.
    PACE_BYTES = 131072,
};

uint32_t at_most_a_poll(uint64_t ms)
{
    return ms < POLL_WAIT_MS ? (uint32_t)ms : POLL_WAIT_MS;
}

PaceWait pace(const PaceInput* in)
{
    if (in->mayRest && in->silentMs >= QUIET_AFTER_MS) {
        int watch = in->canWatchOutput;
        return {in->heldErrors || !watch ? (uint32_t)QUIET_POLL_MS : (uint32_t)QUIET_REST_MS, watch};
    }
    // Waiting on the pipes, rather than polling them, spares the Wine
    // server the polls' round trips while the child itself starts.
    if (in->awaitingStart && in->canWatchOutput) return {POLL_WAIT_MS, 1};
    if (!in->awaitingStart && in->polledBytes > 0) {
        uint64_t interval = in->pollIntervalMs != 0 ? in->pollIntervalMs : 1;
        uint64_t wait = interval * PACE_BYTES / in->polledBytes;
        return {wait < 1 ? 1u : at_most_a_poll(wait), 0};
    }
    uint32_t wait = in->awaitingStart ? STARTING_WAIT_MS + in->silentMs / STARTING_BACKOFF_DIVISOR
                                      : BUSY_WAIT_MS + in->silentMs / BUSY_BACKOFF_DIVISOR;
    return {at_most_a_poll(wait), 0};
}

}  // namespace

PaceWait NextPollWait(const PaceInput* in)
{
    PaceWait wait = pace(in);
    if (in->dutyInMs != 0 && in->dutyInMs < wait.ms) wait.ms = in->dutyInMs;
    return wait;
}
