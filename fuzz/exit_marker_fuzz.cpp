// The exit-code marker on an arbitrary chunk of child output.
//
// Input: one byte that picks the code buffer's size (4 to 10 bytes, the range
// the parser is documented for), then the chunk's bytes.  The chunk is handed
// over as DrainPipe produces it: at most 8191 bytes with a NUL after them, in
// a block of exactly that size.  The code buffer is a block of exactly its
// size too, so any write past it is caught.  The result is checked against a
// model of the marker rule written independently here.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "service/exit_marker.h"

namespace {

const size_t kMaxChunk = 8191;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The decimal value of a code text: leading white space, an optional sign,
// digits up to the first non-digit, 0 without digits.  At most 9 characters,
// so 64 bits never overflow.
int64_t ModelValue(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i++] - '0');
    return negative ? -value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader in{data, size};
    size_t bufferSize = 4 + in.u8() % (EXIT_CODE_TEXT_SIZE - 3);
    std::string chunk = in.bytes(kMaxChunk);

    char* chunkBlock = fuzz_exact_copy(chunk);
    char* code = fuzz_dirty_block(bufferSize);
    int normal = ParseExitCodeMarker(chunkBlock, code, bufferSize);

    // Markers are looked for up to the chunk's first NUL only.
    std::string seen = chunk.substr(0, strlen(chunkBlock));
    std::string expectedText = "999";
    int expectedNormal = 0;
    size_t first = seen.find('\a');
    if (first != std::string::npos) {
        size_t last = seen.rfind('\a');
        if (last > first + 1 && last - first - 1 < bufferSize) {
            expectedText = seen.substr(first + 1, last - first - 1);
            expectedNormal = ModelValue(expectedText) == 0 ? 1 : 0;
        }
    }

    size_t length = fuzz_terminated_length(code, bufferSize);
    FUZZ_CHECK(length < bufferSize);
    FUZZ_CHECK(std::string(code, length) == expectedText);
    FUZZ_CHECK(normal == expectedNormal);
    FUZZ_CHECK(ExitCodeValue(code) == ModelValue(expectedText));

    free(code);
    free(chunkBlock);
    return 0;
}
