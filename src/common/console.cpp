#include "common/console.h"

#include <stdarg.h>

FILE* ConsoleOut = nullptr;
FILE* ConsoleErr = nullptr;

void console_printf(const char* fmt, ...)
{
    FILE* out = ConsoleOut ? ConsoleOut : stdout;
    va_list args;
    va_start(args, fmt);
    vfprintf(out, fmt, args);
    va_end(args);
    fflush(out);
}

void console_eprintf(const char* fmt, ...)
{
    FILE* out = ConsoleErr ? ConsoleErr : stderr;
    va_list args;
    va_start(args, fmt);
    vfprintf(out, fmt, args);
    va_end(args);
    fflush(out);
}
