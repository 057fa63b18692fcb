#include "common/text.h"

#include <stdio.h>
#include <stdint.h>
#include <string.h>

int text_copy(char* dst, size_t cap, const char* src)
{
    if (cap == 0) return 0;
    size_t n = strlen(src);
    if (n >= cap) {
        memcpy(dst, src, cap - 1);
        dst[cap - 1] = '\0';
        return 0;
    }
    memcpy(dst, src, n + 1);
    return 1;
}

int text_append(char* dst, size_t cap, const char* src)
{
    if (cap == 0) return 0;
    size_t used = strnlen(dst, cap);
    if (used >= cap) {
        dst[cap - 1] = '\0';
        return 0;
    }
    return text_copy(dst + used, cap - used, src);
}

int text_vformat(char* dst, size_t cap, const char* fmt, va_list args)
{
    if (cap == 0) return 0;
    int n = vsnprintf(dst, cap, fmt, args);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    return (size_t)n < cap;
}

int text_format(char* dst, size_t cap, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int ok = text_vformat(dst, cap, fmt, args);
    va_end(args);
    return ok;
}

int text_append_format(char* dst, size_t cap, const char* fmt, ...)
{
    if (cap == 0) return 0;
    size_t used = strnlen(dst, cap);
    if (used >= cap) {
        dst[cap - 1] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, fmt);
    int ok = text_vformat(dst + used, cap - used, fmt, args);
    va_end(args);
    return ok;
}

int text_equal_nocase_n(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i, ++a, ++b) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z') ca = (unsigned char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (unsigned char)(cb - 'A' + 'a');
        if (ca != cb) return 0;
        if (ca == '\0') return 1;
    }
    return 1;
}

int text_equal_nocase(const char* a, const char* b)
{
    return text_equal_nocase_n(a, b, SIZE_MAX);
}

int text_append_quoted(char* dst, size_t cap, const char* value)
{
    // Inside double quotes a program's argument parser takes \" for a quote
    // and 2n backslashes before a quote for n; backslashes before anything
    // else stand for themselves.  So every quote is escaped, and the
    // backslashes before it, or before the closing quote, are doubled.
    int fits = 1;
    for (const char* p = value; *p != '\0' && fits; ++p) {
        size_t slashes = strspn(p, "\\");
        int beforeQuote = p[slashes] == '"' || p[slashes] == '\0';
        for (size_t i = 0; i < slashes * (beforeQuote ? 2 : 1) && fits; ++i) fits = text_append(dst, cap, "\\");
        p += slashes;
        if (*p == '\0') break;
        char one[3] = {*p, '\0', '\0'};
        if (*p == '"') one[0] = '\\', one[1] = '"';
        fits = fits && text_append(dst, cap, one);
    }
    return fits;
}
