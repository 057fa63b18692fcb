// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes
// into the values a target needs, a check that aborts (so libFuzzer records
// the input as a crash), and the reset of the fake platform and of the
// logic's process-wide variables before every input.
#ifndef TALVEX_FUZZ_SUPPORT_H
#define TALVEX_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

// Aborts with the failed condition.  A fuzz target reports a wrong result the
// same way as a crash, so that the input is kept as an artifact.
#define FUZZ_CHECK(cond)                                       \
    do {                                                       \
        if (!(cond)) fuzz_fail(__FILE__, __LINE__, #cond);     \
    } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* condition);

// Takes values off the front of the input.  Once the input is used up every
// value is 0 or empty, so a target never needs to check for the end.
struct FuzzReader {
    const uint8_t* data;
    size_t size;

    uint8_t u8();
    uint16_t u16();
    bool empty() const { return size == 0; }
    // At most n bytes.
    std::string bytes(size_t n);
    // A text: length from a 16-bit prefix (taken modulo limit + 1), then
    // either that many input bytes or, when the prefix's top bit asks for it,
    // one input byte repeated, so that long values cost the fuzzer little.
    std::string text(size_t limit);
    std::string rest();
};

// Puts the fake platform and the logic's process-wide state back to the
// start of a process, and points ConsoleOut at an empty capture file.
void fuzz_reset();
// Everything written through console_printf since the last fuzz_reset.
std::string fuzz_console_output();

// A copy of text in a heap block of exactly its length plus the terminator,
// so that AddressSanitizer sees any read past the terminator.
char* fuzz_exact_copy(const std::string& text);
// A heap block of exactly size bytes, filled with a non-NUL byte so that a
// result the code forgot to terminate shows up.
char* fuzz_dirty_block(size_t size);
// Index of the first NUL within size bytes, or size when there is none.
size_t fuzz_terminated_length(const char* block, size_t size);

#endif
