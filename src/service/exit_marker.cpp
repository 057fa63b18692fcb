// The in-band marker protocol on the children's standard output.
//
// A child announces its exit code as BEL, the code in decimal, BEL, written in
// one piece so that it arrives within one chunk read from the pipe.  Only the
// text between the first and the last BEL of a chunk counts; whatever stands
// around it is ordinary output.
#include "service/exit_marker.h"

#include <stdlib.h>
#include <string.h>

#include "common/text.h"

namespace {

// What a marker that holds no usable code is reported as.
const char MALFORMED_CODE_TEXT[] = "999";

}  // namespace

long ExitCodeValue(const char* codeText)
{
    // strtol in the C locale is exactly the conversion the children rely on:
    // leading white space skipped, an optional sign, digits up to the first
    // non-digit, and 0 when there are none.  Nine characters cannot overflow.
    return strtol(codeText, nullptr, 10);
}

int ParseExitCodeMarker(const char* chunk, char* buffer, size_t size)
{
    text_copy(buffer, size, MALFORMED_CODE_TEXT);

    const char* first = strchr(chunk, MARKER_BEL);
    if (first == nullptr) return 0;
    const char* last = strrchr(chunk, MARKER_BEL);

    ptrdiff_t length = last - first - 1;
    if (length <= 0) return 0;
    if ((size_t)length >= size) return 0;

    memcpy(buffer, first + 1, (size_t)length);
    buffer[length] = '\0';
    return ExitCodeValue(buffer) == 0 ? 1 : 0;
}
