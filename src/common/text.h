// Bounded text helpers.  Every copy and format into a fixed buffer goes
// through these, so nothing can write past a buffer whatever the input.  Each
// returns 1 when the whole result fit and 0 when it was cut; the buffer always
// ends up NUL-terminated within its capacity (when the capacity is not 0).
#ifndef TALVEX_COMMON_TEXT_H
#define TALVEX_COMMON_TEXT_H

#include <stdarg.h>
#include <stddef.h>

int text_copy(char* dst, size_t cap, const char* src);
int text_append(char* dst, size_t cap, const char* src);
int text_format(char* dst, size_t cap, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
int text_vformat(char* dst, size_t cap, const char* fmt, va_list args);
// Appends a formatted piece after the text already in dst.
int text_append_format(char* dst, size_t cap, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// Appends value as it must stand between double quotes on a Windows command
// line to reach the program whole: each quote escaped, and the backslashes
// before a quote or before the end doubled.  A value without either is
// appended unchanged.
int text_append_quoted(char* dst, size_t cap, const char* value);
// Case-insensitive comparison of two ASCII texts: 1 when equal; with `_n`,
// of their first n characters at the most.
int text_equal_nocase(const char* a, const char* b);
int text_equal_nocase_n(const char* a, const char* b, size_t n);

#endif
