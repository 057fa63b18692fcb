// The in-band marker protocol on the children's standard output.
#ifndef TALVEX_SERVICE_EXIT_MARKER_H
#define TALVEX_SERVICE_EXIT_MARKER_H

#include <stddef.h>

enum { MARKER_BEL = 0x07, MARKER_BS = 0x08, EXIT_CODE_TEXT_SIZE = 10 };

// Extracts the code text between the first and last BEL of chunk into buffer
// ("999" when there is none usable).  Returns 1 when it converts to 0.
int ParseExitCodeMarker(const char* chunk, char* buffer, size_t size);
// The numeric value of an exit-code text as the children mean it (decimal,
// leading blanks skipped, optional sign, 0 when there are no digits).
long ExitCodeValue(const char* codeText);

#endif
