// Last error and system message texts.
#include <windows.h>

#include <string.h>

#include "common/platform.h"

uint32_t plat_get_last_error(void)
{
    return GetLastError();
}

void plat_set_last_error(uint32_t code)
{
    SetLastError(code);
}

size_t plat_system_message(uint32_t code, uint32_t language, char* buf, size_t cap)
{
    if (cap > 0) buf[0] = '\0';
    char* text = NULL;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the lpBuffer argument is really the
    // address of the pointer that receives the system's block.
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        NULL, code, language, (LPSTR)&text, 0, NULL);
    size_t copied = 0;
    int too_long = 0;
    if (length > 0 && text != NULL) {
        if ((size_t)length < cap) {
            memcpy(buf, text, length);
            buf[length] = '\0';
            copied = length;
        } else {
            too_long = 1;
        }
    }
    if (text != NULL) LocalFree(text);
    // A text that does not fit is reported the way FormatMessageA reports a
    // caller's buffer that is too small, so callers can tell it from a code
    // the system has no text for (which keeps FormatMessageA's own error).
    if (too_long) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return copied;
}

size_t plat_module_message(const char* module, uint32_t id, const char* const* strings, char* buf, size_t cap)
{
    if (cap > 0) buf[0] = '\0';
    HMODULE library = LoadLibraryExA(module, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (library == NULL) return 0;
    // With FORMAT_MESSAGE_ARGUMENT_ARRAY the arguments are an array of
    // pointers, one for each insertion string.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, library, id, 0, buf,
                                  (DWORD)cap, (va_list*)strings);
    FreeLibrary(library);
    if (length == 0 || (size_t)length >= cap) {
        if (cap > 0) buf[0] = '\0';
        return 0;
    }
    return length;
}
