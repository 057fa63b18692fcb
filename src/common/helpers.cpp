#include "common/helpers.h"

#include <string.h>

#include "common/platform.h"
#include "common/text.h"

const char SECRET_MASK[] = "********";

int PathIsAbsolute(const char* path)
{
    return path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
}

int PathExists(const char* path, const char* base)
{
    char full[PATH_TEXT_SIZE];
    memset(full, 0, sizeof full);
    int fits;
    if (PathIsAbsolute(path) || base == nullptr) {
        fits = text_copy(full, sizeof full, path);
    } else {
        fits = text_format(full, sizeof full, "%s\\%s", base, path);
    }
    if (!fits) {
        // A cut path could name a different, existing entry; refuse it instead.
        plat_set_last_error(PLAT_ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return plat_path_has_entry(full);
}

namespace {

// FormatMessageA's languages: the neutral one that FormatLastError asks for,
// and "language neutral, default sublanguage", the user's own, for the rest.
enum : uint32_t { LANGUAGE_NEUTRAL = 0, LANGUAGE_USER_DEFAULT = 0x400 };

// Every system text the logic shows comes through here.
size_t system_message(uint32_t code, uint32_t language, char* text, size_t capacity)
{
    return plat_system_message(code, language, text, capacity);
}

}  // namespace

void FormatLastError(char* buffer, size_t size)
{
    uint32_t code = plat_get_last_error();
    char message[4096];
    size_t length = system_message(code, LANGUAGE_NEUTRAL, message, sizeof message);
    if (size == 0) return;
    buffer[0] = '\0';
    // The room test keeps the system's own arithmetic: the text, the code in
    // brackets and the terminator always fit when this holds.
    if (length == 0 || size < length + 14) return;
    if (length >= 2) message[length - 2] = '\0';
    text_format(buffer, size, "%s (0x%lx)", message, (unsigned long)code);
}

size_t SystemMessage(uint32_t code, char* text, size_t capacity)
{
    return system_message(code, LANGUAGE_USER_DEFAULT, text, capacity);
}

void SystemErrorText(uint32_t code, char* text, size_t capacity)
{
    if (SystemMessage(code, text, capacity) == 0) text_format(text, capacity, "error %lu", (unsigned long)code);
}
