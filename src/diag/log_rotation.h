// When the log file is rotated, and what a rotation may move: decisions made
// from sizes, limits and what the file system holds, with no call of their
// own, so that every case can be tried as a table.
#ifndef TALVEX_DIAG_LOG_ROTATION_H
#define TALVEX_DIAG_LOG_ROTATION_H

#include <stddef.h>
#include <stdint.h>

// What the rotation found at the log's names.  `current` is the kind of
// entry (PLAT_ENTRY_*) at "<name>.out".  Going up from "<name>.out.1", `gap`
// is the number of the first generation that holds no regular file, and
// `gapKind` what is there instead (PLAT_ENTRY_NONE: nothing); when every
// generation up to the count holds a file, `gap` is the count plus one.
struct LogNames {
    uint32_t current;
    uint32_t gap;
    uint32_t gapKind;
};

enum LogRotationResult {
    LOG_ROTATION_NEW,      // after the moves, "<name>.out" is a new file
    LOG_ROTATION_APPEND,   // writing goes on at the end of "<name>.out"
    LOG_ROTATION_NO_LOG,   // "<name>.out" is not a file: there is no log
};

struct LogRotationPlan {
    // "<name>.out.<moves-1>" down to "<name>.out" each move up one number,
    // the oldest first; the first one that cannot be moved ends the shift.
    uint32_t moves;
    // The number of a generation that is not a file and stops the shift
    // (0: none).
    uint32_t inTheWay;
    LogRotationResult result;
};

// 1 when a write of `count` bytes rotates a file that holds `size`: with a
// limit (0: none), a file that is not empty and would pass it, unless a
// rotation that could not move the file was tried less than a minute before
// (`retryTick`, on the tick count `nowTick`).
int LogRotationDue(uint64_t size, size_t count, uint64_t limit, uint64_t nowTick, uint64_t retryTick);
// The moves that make room for a new "<name>.out" while keeping
// `generations` rotated files.  A shift goes no further than the first free
// name, so that a rotation tried again after a failure moves only what it
// must; the oldest generation is replaced only when every name up to it
// holds a file.
LogRotationPlan PlanLogRotation(LogNames names, uint32_t generations);

#endif
