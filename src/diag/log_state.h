// The log file's state, shared by the files that keep it: the writes and
// the gaps (log_file.cpp), the generations of rotated files
// (log_generations.cpp) and their compressor (log_compressor.cpp).  All of
// it is under LogLock.  Internal to those files.
#ifndef TALVEX_DIAG_LOG_STATE_H
#define TALVEX_DIAG_LOG_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "common/helpers.h"
#include "common/platform.h"
#include "diag/log_rotation.h"

enum {
    // "<path>.<generation>.gz", the generation at most ten digits, and the
    // compressor's "<path>.gz.tmp".
    LOG_GENERATION_PATH_SIZE = LOG_FILE_PATH_SIZE + 16,
    // A system error text, and an event about the log with one.
    LOG_REASON_SIZE = 512,
    LOG_EVENT_SIZE = 2 * LOG_GENERATION_PATH_SIZE + LOG_REASON_SIZE,
};

// How long a rotation that could not move the file waits before it is tried
// again (tick count milliseconds).
const uint64_t LOG_ROTATION_RETRY_MS = 60000;

extern std::mutex LogLock;

// What the writing remembers between writes; CloseLogFile puts it back to
// these values.
struct LogState {
    // The rotation: the limit in bytes (0: none), how many rotated files are
    // kept, what the open file holds, and when a rotation that could not
    // move the file may be tried again.
    uint64_t limit = 0;
    uint32_t generations = 1;
    uint64_t size = 0;
    uint64_t rotationRetryTick = 0;
    // When a log that could not be opened may be tried again.
    uint64_t reopenTick = 0;
    // A loss: output that did not reach the file since the last write that
    // did, and the system's reason for the first of it.
    int losing = 0;
    uint64_t lostBytes = 0;
    uint32_t lostError = 0;
    // 1 while the file ends with a line feed (or holds nothing), so that the
    // note about a gap begins a line of its own.
    int atLineStart = 1;
    // The event source: a copy, since the compressor may still say
    // something after the run that named the log has ended.
    char serviceName[SERVICE_NAME_SIZE] = "";
    // What becomes of rotated files: a new file each local day, the age in
    // days past which they are deleted (0: none), and their compression.
    int daily = 0;
    uint32_t maxAgeDays = 0;
    int compress = 0;
    // Whether every line begins with the local time its first byte came at.
    int timestamps = 0;
    // The local date (yyyymmdd) of the last write to the open file when it
    // was opened (a new file's: today), and today's as looked up in the
    // second `todaySecond`.  A file that a new day could not rotate keeps its
    // date, so that the rotation is tried again.
    uint32_t fileDate = 0;
    uint32_t today = 0;
    int64_t todaySecond = -1;
    // The events said once per run.
    int rotationWarningGiven = 0;
    int openWarningGiven = 0;
    int notFileErrorGiven = 0;
    int compressWarningGiven = 0;
    // For the metrics: bytes written, bytes lost at earlier gaps (the
    // current loss is lostBytes), rotations.
    uint64_t bytesWritten = 0;
    uint64_t bytesLostBefore = 0;
    uint64_t rotations = 0;
};
extern LogState Log;

// The compressor thread, under LogLock like the rest.  `busy` is 1 from the
// thread's creation until it has found nothing more to compress; `generation`
// is the number of the rotated file it reads, kept up to date by the shifts
// (0: none, or the file has been deleted).
struct Compressor {
    PlatHandle thread = nullptr;
    int busy = 0;
    uint32_t generation = 0;
};
extern Compressor Compression;

// The two names a rotated file may have: as written, and compressed.
enum LogForm { FORM_PLAIN, FORM_GZIP, FORM_COUNT };

void log_event(uint32_t eventId, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Says once per run that a name the log needs holds a directory or device.
void warn_not_a_file(const char* path);

// The name of generation `generation` (0: the log itself) in form `form`,
// and the compressor's temporary file, "<name>.out.gz.tmp".
void generation_path(uint32_t generation, LogForm form, char* path, size_t size);
void compressor_temporary(char* path, size_t size);
// What is at a name; an entry that cannot be looked at is taken for a file.
uint32_t entry_kind(const char* path);
// Deletes one form of a rotated file; the compressor forgets a plain file it
// was reading.  1 when it is gone.
int delete_generation(uint32_t n, LogForm form, const char* path);
// The shift that makes room for a new "<name>.out" while keeping
// `generations` rotated files; *movedCurrent is 1 when "<name>.out" itself
// moved.  Then the files above the count are dropped.
LogRotationResult shift_generations(uint32_t generations, int* movedCurrent);
void drop_beyond(uint32_t generations);
// The upkeep of the rotated files, at every rotation and a run's start: the
// old ones are deleted, from generation `first` up, the others compressed.
void keep_up_rotated(uint32_t first);
// Starts the compressor thread unless it runs or compression is off.
void start_compressor(void);

#endif
