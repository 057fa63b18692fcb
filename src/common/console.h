// Messages of the administration commands and the usage text go to standard
// output through console_printf, so that tests can read exactly what an
// administrator would see.
#ifndef TALVEX_COMMON_CONSOLE_H
#define TALVEX_COMMON_CONSOLE_H

#include <stdio.h>

// The stream console_printf writes to; null means stdout.  Tests point it at a
// capture file.
extern FILE* ConsoleOut;

void console_printf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
