// How long the supervisor waits before it looks at its child again.
#ifndef TALVEX_SERVICE_POLL_PACING_H
#define TALVEX_SERVICE_POLL_PACING_H

#include <stddef.h>
#include <stdint.h>

enum : uint32_t {
    // The longest a poll waits for the current child to end.
    POLL_WAIT_MS = 100,
    // A quiet container is looked into every two seconds when its output
    // pipes cannot be waited on, or while held-back error output waits for
    // its summary.
    QUIET_POLL_MS = 2000,
};

// What the supervisor knows of its child when it decides.
struct PaceInput {
    int awaitingStart;       // the launcher, or a container that has not signalled its start
    int mayRest;             // a container that is up, with no stop and no exit code pending
    uint32_t silentMs;       // since the child's last activity (start, output, a request passed on)
    size_t polledBytes;      // output the last poll read
    uint32_t pollIntervalMs; // between the last poll and the one before
    int heldErrors;          // error output is held back for a summary
    int canWatchOutput;      // the output pipes and the request event can be waited on
    uint32_t dutyInMs;       // until the next timed duty (a look for a stall, a metrics write); 0: none
};

struct PaceWait {
    uint32_t ms;
    int watchOutput;         // the wait ends on output as well
};

PaceWait NextPollWait(const PaceInput* input);

#endif
