// How long a new cycle waits after a container asked for a restart.
//
// A container that asks for a restart before it has been up a minute
// restarts "quickly", and the next cycle waits first: 1 s, doubled for every
// further quick restart in a row, up to the configured ceiling.  A container
// that crashes on every start would otherwise restart as fast as the JVM
// starts, flooding the event log and the machine.
#include "service/restart_throttle.h"

namespace {

enum : uint32_t {
    QUICK_RESTART_MS = 60000,
    FIRST_RESTART_DELAY_MS = 1000,
};

}  // namespace

uint64_t RestartDelayMs(uint64_t upMs, uint32_t ceilingSeconds, uint32_t* quickRestarts)
{
    if (upMs >= QUICK_RESTART_MS) {
        *quickRestarts = 0;
        return 0;
    }
    if (ceilingSeconds == 0) return 0;
    uint32_t shift = *quickRestarts < 31 ? *quickRestarts : 31;
    ++*quickRestarts;
    uint64_t delay = (uint64_t)FIRST_RESTART_DELAY_MS << shift;
    uint64_t ceiling = (uint64_t)ceilingSeconds * 1000u;
    return delay < ceiling ? delay : ceiling;
}
