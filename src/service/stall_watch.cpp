// Whether the container still reads its standard input.
//
// The input flusher writes a newline every 2 s and a container's command
// listener reads it at once, so the bytes waiting in the pipe are nearly
// always none.  A listener that hangs (a deadlock, a garbage collection that
// never ends, a blocked console) leaves them there, and their number grows
// until the pipe is full and then stays.  What tells a hung reader from a
// slow one is what it has read: one byte read since the last look, however
// many wait, starts the count again.
#include "service/stall_watch.h"

namespace {

enum : uint64_t {
    // Looks ride on the supervisor's own wakes; while a container writes,
    // those come many times a second, and one look a second is enough.
    STALL_LOOK_MS = 1000,
    // A stall time this long or longer is looked at when the supervisor
    // wakes anyway, which a resting container does once a minute.
    STALL_OWN_WAKES_BELOW_MS = 60000,
};

}  // namespace

uint64_t StallLookIntervalMs(uint64_t stallMs)
{
    uint64_t half = stallMs / 2 > 0 ? stallMs / 2 : 1;
    return half < STALL_LOOK_MS ? half : STALL_LOOK_MS;
}

uint64_t StallWatchWakeTick(const StallWatch* watch, uint64_t stallMs, uint64_t nextLookTick)
{
    if (stallMs == 0) return 0;
    if (stallMs < STALL_OWN_WAKES_BELOW_MS) return nextLookTick;
    if (!watch->waiting || watch->stalled) return 0;
    uint64_t decides = watch->waitingSince + stallMs;
    return decides > nextLookTick ? decides : nextLookTick;
}

StallVerdict StallWatchLook(StallWatch* watch, uint64_t stallMs, uint64_t now, uint32_t unread, uint64_t read,
                            uint64_t* waitedMs)
{
    int reading = unread == 0 || read != watch->read;
    watch->read = read;
    *waitedMs = watch->waiting ? now - watch->waitingSince : 0;
    if (reading) {
        StallVerdict verdict = watch->stalled ? STALL_ENDS : STALL_NONE;
        watch->stalled = 0;
        // What the container left waits from now on.
        watch->waiting = unread != 0;
        watch->waitingSince = now;
        return verdict;
    }
    if (!watch->waiting) {
        watch->waiting = 1;
        watch->waitingSince = now;
        return STALL_NONE;
    }
    if (watch->stalled || stallMs == 0 || *waitedMs < stallMs) return STALL_NONE;
    watch->stalled = 1;
    return STALL_BEGINS;
}
