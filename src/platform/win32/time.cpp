// Wall-clock time, its local asctime text and date, and the tick count.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "common/platform.h"

int64_t plat_time_seconds(void)
{
    // The 64-bit variant keeps the count right after 2038 even in a build
    // whose time_t is 32 bits wide.
    return (int64_t)_time64(NULL);
}

void plat_asctime_local(int64_t seconds, char* buf, size_t cap)
{
    if (cap == 0) return;
    buf[0] = '\0';
    __time64_t t = (__time64_t)seconds;
    struct tm parts;
    if (_localtime64_s(&parts, &t) != 0) return;
    // The runtime's asctime text is 24 characters, a line feed and the NUL.
    char text[26];
    if (asctime_s(text, sizeof text, &parts) != 0) return;
    size_t length = strlen(text);
    if (length >= cap) length = cap - 1;
    memcpy(buf, text, length);
    buf[length] = '\0';
}

uint32_t plat_local_date(int64_t seconds)
{
    __time64_t t = (__time64_t)seconds;
    struct tm parts;
    if (_localtime64_s(&parts, &t) != 0) return 0;
    return (uint32_t)((parts.tm_year + 1900) * 10000 + (parts.tm_mon + 1) * 100 + parts.tm_mday);
}

uint32_t plat_tick_count(void)
{
    return GetTickCount();
}

uint64_t plat_tick_count64(void)
{
    return GetTickCount64();
}

void plat_local_time_text(char* buf, size_t cap)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(buf, cap, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond, now.wMilliseconds);
}
