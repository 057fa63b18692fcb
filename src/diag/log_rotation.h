// When the log file is rotated, what a rotation may move and which rotated
// files are old enough to go: decisions made from sizes, dates, limits and
// what the file system holds, with no call of their own, so that every case
// can be tried as a table.
#ifndef TALVEX_DIAG_LOG_ROTATION_H
#define TALVEX_DIAG_LOG_ROTATION_H

#include <stddef.h>
#include <stdint.h>

#include "common/helpers.h"

enum {
    // Working directory, one backslash, the service name and ".out".
    LOG_FILE_PATH_SIZE = PATH_TEXT_SIZE + 1 + (SERVICE_NAME_SIZE - 1) + 4,
};

// What the rotation found at the log's names.  `current` is the kind of
// entry (PLAT_ENTRY_*) at "<name>.out".  Going up from "<name>.out.1", `gap`
// is the number of the first generation that holds no regular file (neither
// "<name>.out.<n>" nor its compressed "<name>.out.<n>.gz"), and `gapKind`
// what is there instead (PLAT_ENTRY_NONE: nothing); when every generation up
// to the count holds a file, `gap` is the count plus one.
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

// What the writing knows before a write of `count` bytes to a file that
// holds `size`.  Dates are local calendar dates as yyyymmdd numbers.
struct LogWriteFacts {
    uint64_t size;
    size_t count;
    uint64_t limit;        // the size limit (0: none)
    int daily;             // 1: each local day begins a new file
    uint32_t fileDate;     // the date of the file's last write (0: not known)
    uint32_t today;
    uint64_t nowTick;
    uint64_t retryTick;    // when a rotation that could not move the file may be tried again
};

enum : uint32_t {
    // The most rotated files a log keeps: each rotation looks at every name up
    // to the count, and a count in the billions would walk them all.
    LOG_GENERATIONS_MOST = 1000,
};

// 1 when the write rotates the file first: a file that is not empty and
// would pass the limit, or, rotating daily, was last written on an earlier
// day; never within a minute of a rotation that could not move the file.
int LogRotationDue(const LogWriteFacts* facts);
// How many rotated files a run's start keeps as it rotates, 0 when it goes
// on at the end of the file instead.  A start rotates as any rotation does,
// keeping every generation; only rotating daily without a size limit does a
// start on the day of the file's last write go on at its end.
uint32_t LogStartGenerations(uint64_t limit, int daily, uint32_t generations, uint32_t fileDate, uint32_t today);
// 1 when a rotated file last written at `lastWrite` is older than
// `maxAgeDays` (0: no age limit) at `now` (seconds since 1970).
int LogGenerationExpired(int64_t lastWrite, int64_t now, uint32_t maxAgeDays);
// The moves that make room for a new "<name>.out" while keeping
// `generations` rotated files.  A shift goes no further than the first free
// name, so that a rotation tried again after a failure moves only what it
// must; the oldest generation is replaced only when every name up to it
// holds a file.
LogRotationPlan PlanLogRotation(LogNames names, uint32_t generations);
// 1 when `rest`, what follows "<name>.out" in a path, makes it one of the
// log's own names: the file itself (""), a generation (".<n>" with n of 1 or
// more, or ".<n>.gz"), its compressed form (".gz") or the compressor's
// temporary file (".gz.tmp").  Letter case is ignored, as Windows ignores it.
int LogSuffixIsOwn(const char* rest);
// 1 when `rest` names a generation, ".<n>" or ".<n>.gz" (case ignored), with
// its number (UINT32_MAX for any past 32 bits) and whether it is the
// compressed form.
int LogSuffixGeneration(const char* rest, uint32_t* generation, int* compressed);

#endif
