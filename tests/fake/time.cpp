// Time: the tick counts are the virtual clock; the wall clock starts in 2027
// and may be stepped apart from them.  The fake's local time is UTC, as its
// asctime text and local date show.
#include <time.h>

#include "fake/state.h"

void fake_step_wall_clock(int64_t seconds) { S.wall_step += seconds; }

int64_t plat_time_seconds(void) { return 1'800'000'000 + S.wall_step + (int64_t)(S.now / 1000); }
uint32_t plat_tick_count(void) { return (uint32_t)S.now; }
uint64_t plat_tick_count64(void) { return S.now; }

void plat_asctime_local(int64_t seconds, char* buf, size_t cap)
{
    time_t t = (time_t)seconds;
    struct tm parts;
    gmtime_r(&t, &parts);
    strftime(buf, cap, "%a %b %e %H:%M:%S %Y\n", &parts);
}

uint32_t plat_local_date(int64_t seconds)
{
    time_t t = (time_t)seconds;
    struct tm parts;
    gmtime_r(&t, &parts);
    return (uint32_t)((parts.tm_year + 1900) * 10000 + (parts.tm_mon + 1) * 100 + parts.tm_mday);
}

// The virtual clock's local time is UTC, to the millisecond of the tick count.
void plat_local_time_text(char* buf, size_t cap)
{
    time_t t = (time_t)plat_time_seconds();
    struct tm parts;
    gmtime_r(&t, &parts);
    char seconds[32];
    strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &parts);
    snprintf(buf, cap, "%s.%03u", seconds, (unsigned)(S.now % 1000));
}
