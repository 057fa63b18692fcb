// How long a new cycle waits after a container asked for a restart.
#ifndef TALVEX_SERVICE_RESTART_THROTTLE_H
#define TALVEX_SERVICE_RESTART_THROTTLE_H

#include <stdint.h>

// The delay before the next cycle, given how long the container that asked
// for it had been up (ms since it signalled its start, or since it was
// started when it never did) and the ceiling in seconds (0: no delay ever).
// *quickRestarts counts the quick restarts in a row and is updated.
uint64_t RestartDelayMs(uint64_t upMs, uint32_t ceilingSeconds, uint32_t* quickRestarts);

#endif
