// Whether the container still reads its standard input.
#ifndef TALVEX_SERVICE_STALL_WATCH_H
#define TALVEX_SERVICE_STALL_WATCH_H

#include <stdint.h>

// What the looks into the container's standard input have seen.  Zeroed, it
// is the state of a container that has just come up.  Times are tick counts
// in ms.
struct StallWatch {
    uint64_t read;          // bytes the container had read at the last look
    int waiting;            // bytes have waited, none of them read, since waitingSince
    uint64_t waitingSince;  // the look that found them
    int stalled;            // the stall has been reported
};

enum StallVerdict {
    STALL_NONE,
    STALL_BEGINS,   // nothing was read for the whole stall time: report it
    STALL_ENDS,     // a reported stall is over: the container reads again
};

// The least time between two looks for a stall time of stallMs.  The
// supervisor looks when it wakes anyway (the end of a quiet container's
// minute of rest, its output, a request, a metrics write); only a stall time
// under a minute, which the resting minute would miss, is looked at at this
// pace by wakes of the watch's own.
uint64_t StallLookIntervalMs(uint64_t stallMs);
// When the watch needs the supervisor awake whatever else it does, at the
// earliest nextLookTick (0: never): at the pace above for a stall time under
// a minute, else only for the look that decides whether bytes that wait
// unread have waited the whole stall time.  A resting container that reads
// its input costs no wake.
uint64_t StallWatchWakeTick(const StallWatch* watch, uint64_t stallMs, uint64_t nextLookTick);
// One look at `now` that found `unread` bytes waiting in the container's
// input, of which it has read `read` in all (what was written minus what
// waits).  A stall is a container that has read no byte for the whole
// stallMs (0: never) while bytes waited for it: a slow reader reads.  It is
// reported once, and its end once.  With a verdict, *waitedMs says how long
// the bytes had waited unread.
StallVerdict StallWatchLook(StallWatch* watch, uint64_t stallMs, uint64_t now, uint32_t unread, uint64_t read,
                            uint64_t* waitedMs);

#endif
