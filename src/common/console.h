// Messages of the administration commands and the usage text go to standard
// output through console_printf, so that tests can read exactly what an
// administrator would see.
#ifndef TALVEX_COMMON_CONSOLE_H
#define TALVEX_COMMON_CONSOLE_H

#include <stdio.h>

// The stream console_printf writes to; null means stdout.  Tests point it at a
// capture file.
extern FILE* ConsoleOut;
// The same for standard error (null: stderr), where -test says its events.
extern FILE* ConsoleErr;

void console_printf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void console_eprintf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
