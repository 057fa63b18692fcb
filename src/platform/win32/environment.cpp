// The process environment.
#include <windows.h>

#include <limits.h>

#include "common/platform.h"

char* plat_environment_block(void)
{
    // The ANSI block is exported as GetEnvironmentStrings without a suffix;
    // a build with UNICODE defined would turn this into the wide call, which
    // the char* result type refuses at compile time.
    return GetEnvironmentStrings();
}

void plat_free_environment_block(char* block)
{
    FreeEnvironmentStringsA(block);
}

uint32_t plat_get_env(const char* name, char* buf, uint32_t cap)
{
    return GetEnvironmentVariableA(name, buf, cap);
}

int plat_set_env(const char* name, const char* value)
{
    return SetEnvironmentVariableA(name, value) ? 1 : 0;
}

uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap)
{
    return ExpandEnvironmentStringsA(src, dst, cap);
}

int plat_ansi_to_utf8(const char* text, char* buf, uint32_t cap)
{
    // A service name holds at most 256 characters; anything longer is not
    // converted here.
    WCHAR wide[1024];
    int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, 1024);
    if (length == 0) return 0;
    if (cap > (uint32_t)INT_MAX) cap = (uint32_t)INT_MAX;
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, buf, (int)cap, NULL, NULL) != 0) return 1;
    if (cap > 0) buf[0] = '\0';
    return 0;
}
