#include "common/console.h"

#include <stdarg.h>

FILE* ConsoleOut = nullptr;
FILE* ConsoleErr = nullptr;

static void print_to(FILE* out, const char* fmt, va_list args)
{
    vfprintf(out, fmt, args);
    fflush(out);
}

void console_printf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    print_to(ConsoleOut ? ConsoleOut : stdout, fmt, args);
    va_end(args);
}

void console_eprintf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    print_to(ConsoleErr ? ConsoleErr : stderr, fmt, args);
    va_end(args);
}
