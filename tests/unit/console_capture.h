// Reading back what the administration code printed through ConsoleOut,
// which the fixtures point at a temporary file.
#ifndef TALVEX_TESTS_UNIT_CONSOLE_CAPTURE_H
#define TALVEX_TESTS_UNIT_CONSOLE_CAPTURE_H

#include <stdio.h>
#include <unistd.h>

#include <string>

// Everything written to the capture file so far.
inline std::string read_capture(FILE* capture)
{
    fflush(capture);
    rewind(capture);
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, capture)) > 0) text.append(buf, n);
    return text;
}

// Empties the capture file, so the next read starts afresh.
inline bool clear_capture(FILE* capture)
{
    rewind(capture);
    return ftruncate(fileno(capture), 0) == 0;
}

#endif
