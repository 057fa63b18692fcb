// The process environment.
#include <windows.h>

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
