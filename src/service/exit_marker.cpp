// The in-band marker protocol on the children's standard output.
//
// A child announces its exit code as BEL, the code in decimal, BEL, and its
// start as one BS.  The children write each marker whole, but a pipe hands it
// over in whatever pieces the reads happen to cut: a read may stop inside a
// marker, and a 64 KiB read of a busy container often does.  So a marker is
// looked for in the stream, not in one read: an open marker is kept between
// reads until its closing BEL, a line end or its tenth character decides it.
// Ordinary output may carry a stray BEL (a build tool's beep) or NUL bytes;
// neither hides nor fakes a marker.
#include "service/exit_marker.h"

#include <stdlib.h>
#include <string.h>

#include "common/text.h"

namespace {

// What a child that wrote only malformed markers is reported as.
const char MALFORMED_CODE_TEXT[] = "999";

}  // namespace

void MarkerReaderReset(MarkerReader* reader)
{
    memset(reader, 0, sizeof *reader);
}

int MarkerReaderNext(MarkerReader* reader, const char* bytes, size_t length, size_t* offset, char* code,
                     size_t codeSize)
{
    size_t at = *offset;
    while (at < length) {
        if (!reader->open) {
            const char* bel = (const char*)memchr(bytes + at, MARKER_BEL, length - at);
            if (bel == nullptr) break;
            at = (size_t)(bel - bytes) + 1;
            reader->open = 1;
            reader->length = 0;
            continue;
        }
        char c = bytes[at++];
        if (c == MARKER_BEL) {
            // The closing BEL is taken with its marker and never opens the next.
            reader->open = 0;
            if (reader->length == 0) {
                reader->malformedSeen = 1;
                continue;
            }
            reader->wellFormedSeen = 1;
            reader->text[reader->length] = '\0';
            // The text may hold a NUL byte; it is copied as far as a text goes.
            text_copy(code, codeSize, reader->text);
            *offset = at;
            return 1;
        }
        if (c == '\r' || c == '\n' || reader->length == EXIT_CODE_TEXT_MAX) {
            // No marker spans a line or ten characters: the BEL was ordinary
            // output, and so is what followed it.
            reader->open = 0;
            reader->malformedSeen = 1;
            continue;
        }
        reader->text[reader->length++] = c;
    }
    *offset = length;
    return 0;
}

int MarkerReaderMalformedEnd(const MarkerReader* reader, char* code, size_t codeSize)
{
    if (reader->wellFormedSeen || !(reader->malformedSeen || reader->open)) return 0;
    text_copy(code, codeSize, MALFORMED_CODE_TEXT);
    return 1;
}

int HasStartMarker(const char* bytes, size_t length)
{
    return memchr(bytes, MARKER_BS, length) != nullptr;
}

long ExitCodeValue(const char* codeText)
{
    // strtol in the C locale is exactly the conversion the children rely on:
    // leading white space skipped, an optional sign, digits up to the first
    // non-digit, and 0 when there are none.  Nine characters cannot overflow.
    return strtol(codeText, nullptr, 10);
}
