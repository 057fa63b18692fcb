// The in-band marker protocol on the children's standard output.
#ifndef TALVEX_SERVICE_EXIT_MARKER_H
#define TALVEX_SERVICE_EXIT_MARKER_H

#include <stddef.h>
#include <stdint.h>

enum {
    MARKER_BEL = 0x07,
    MARKER_BS = 0x08,
    EXIT_CODE_TEXT_SIZE = 10,
    // A code text holds one to this many characters between its two BELs.
    EXIT_CODE_TEXT_MAX = EXIT_CODE_TEXT_SIZE - 1,
};

// Finds exit-code markers in the stream of one child's standard output,
// whatever pieces the reads happen to cut it into.  A well-formed marker is
// BEL, one to nine characters none of which is BEL, CR or LF, and BEL; a BEL
// that cannot open one (a lone BEL, BEL BEL, ten or more characters, a line
// end before the closing BEL) is malformed and only remembered.  Zero-filled
// (or reset) when its child starts.
struct MarkerReader {
    int open;                              // a BEL may still open a marker
    uint32_t length;                       // characters after it so far
    char text[EXIT_CODE_TEXT_SIZE];        // ... and what they are
    int wellFormedSeen;
    int malformedSeen;
};

void MarkerReaderReset(MarkerReader* reader);
// Reads bytes[*offset, length) up to the end of the next well-formed marker.
// Returns 1 with its code text in code (NUL-terminated) and *offset just past
// its closing BEL; returns 0 when the bytes are used up, keeping a marker
// that is still open for the next read.  NUL bytes are ordinary output.
int MarkerReaderNext(MarkerReader* reader, const char* bytes, size_t length, size_t* offset, char* code,
                     size_t codeSize);
// At the child's end: 1 when it wrote no well-formed marker but at least one
// malformed BEL (one left open at the end among them); code then holds
// "999", the text under which such an end is reported.
int MarkerReaderMalformedEnd(const MarkerReader* reader, char* code, size_t codeSize);
// Whether bytes hold the started marker (BS), NUL bytes being ordinary output.
int HasStartMarker(const char* bytes, size_t length);
// The numeric value of an exit-code text as the children mean it (decimal,
// leading blanks skipped, optional sign, 0 when there are no digits).
long ExitCodeValue(const char* codeText);

#endif
