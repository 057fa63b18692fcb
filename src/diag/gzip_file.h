// The compressed copy of a file, in the gzip format that gunzip, 7-Zip and
// Windows tools read.
#ifndef TALVEX_DIAG_GZIP_FILE_H
#define TALVEX_DIAG_GZIP_FILE_H

#include "common/platform.h"

// Reads `in` to its end and writes its gzip form to `out`.  1 on success;
// 0 with the reason as the platform's last error (a write that falls short
// is a full disk).
int GzipFile(PlatHandle in, PlatHandle out);

#endif
