// Helpers shared by the configuration, administration and service code.
#ifndef TALVEX_COMMON_HELPERS_H
#define TALVEX_COMMON_HELPERS_H

#include <stddef.h>
#include <stdint.h>

// Capacities named once.
enum {
    PATH_TEXT_SIZE = 2048,     // paths and command-line pieces
    COMMAND_LINE_SIZE = 32767, // a whole command line, as long as CreateProcess takes
    PATH_LINE_SIZE = 32767,    // a start script's PATH line, as long as an environment value
    SHORT_TEXT_SIZE = 512,     // short values
    MODULE_PATH_SIZE = 260,    // module paths (MAX_PATH)
    SERVICE_NAME_SIZE = 257,   // a service name as the service manager allows it (256), and its end
    ERROR_TEXT_SIZE = 256,     // FormatLastError texts
    SYSTEM_MESSAGE_SIZE = 2048 // registry failure texts
};

// What stands in a log for a secret: a password, a value of Environment.
extern const char SECRET_MASK[];

// 1 for a path that names its drive or begins with a backslash; other paths
// are relative to some directory.
int PathIsAbsolute(const char* path);
// 1 when the file system has an entry at `path`.  An absolute path (first
// character a backslash or second a colon) is tested unchanged; a relative one
// is joined to `base` with one backslash when a base is given.  A joined path
// longer than 2047 characters is not tested and counts as missing, with
// ERROR_FILENAME_EXCED_RANGE (206) as the last error.
int PathExists(const char* path, const char* base);

// The calling thread's last error as "<system text> (0x<code>)", without the
// system's line break; "" when the system has no text or it does not fit.
// The administration commands print their failures this way.
void FormatLastError(char* buffer, size_t size);
// The system's text for an error code in the user's language, with the line
// break every system text ends in; "" when the system has none.  The registry
// failures of the administration commands print it as it is.
size_t SystemMessage(uint32_t code, char* text, size_t capacity);
// SystemMessage, or "error <code>" when the system has no text: an event or a
// log line never carries an empty reason.
void SystemErrorText(uint32_t code, char* text, size_t capacity);

#endif
