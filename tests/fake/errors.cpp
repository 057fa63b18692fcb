// The last error, and the system's texts for error codes.
#include "fake/state.h"

uint32_t plat_get_last_error(void) { return last_error; }
void plat_set_last_error(uint32_t code) { last_error = code; }

// Every code below 20000 has a text; the others have none.
size_t plat_system_message(uint32_t code, uint32_t language, char* buf, size_t cap)
{
    int n = code < 20000 ? snprintf(buf, cap, "system text %u.\r\n", code) : -1;
    if (n > 0 && (size_t)n < cap) return (size_t)n;
    if (cap > 0) buf[0] = '\0';
    return 0;
}

// The message file's texts, as "message <id>: %1 | %2" with the strings put
// in; a message library that is not there has none.
size_t plat_module_message(const char* module, uint32_t id, const char* const* strings, char* buf, size_t cap)
{
    bool there = !fails("FormatMessageA") && S.libraries.count(lower(module)) > 0;
    int n = there ? snprintf(buf, cap, "message %u: %s | %s\r\n", id & 0xFFFF, strings[0], strings[1]) : -1;
    if (n > 0 && (size_t)n < cap) return (size_t)n;
    if (cap > 0) buf[0] = '\0';
    return 0;
}
