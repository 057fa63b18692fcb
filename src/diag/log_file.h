// The per-service log file "<WorkingDirectory>\<ServiceName>.out" and the
// writing convention every part of the service follows:
//  - each line is one write that goes straight to the file, so the file is
//    complete up to its last line at every moment;
//  - lines are skipped while no log file is named;
//  - debug lines are written only while DebugEnabled is 1;
//  - the wrapper's own lines end in the platform's text line end ("\n" in a
//    format becomes CR LF on Windows), while child output is copied byte for
//    byte as it was read from the pipe.
// Output that cannot reach the file (a full disk, a log that cannot be
// opened) is counted and reported, never waited for.
#ifndef TALVEX_DIAG_LOG_FILE_H
#define TALVEX_DIAG_LOG_FILE_H

#include <stddef.h>
#include <stdint.h>

#include "common/platform.h"
#include "common/helpers.h"
#include "diag/log_rotation.h"

// The open log file; null until OpenLogFile succeeds, and while a file that
// could not be opened waits to be tried again.
extern PlatHandle LogFile;
// "<directory>\<serviceName>.out" once OpenLogFile has named it.
extern char LogFilePath[LOG_FILE_PATH_SIZE];
// 1 when the Debug parameter is non-empty (set by LoadServiceConfig).
extern uint32_t DebugEnabled;

// Names and opens (once per process) "<directory>\<serviceName>.out",
// rotating the previous run's file to "<...>.out.1" as every rotation does
// (unless it is rotated daily without a size limit and was last written
// today), and deleting a compressed copy that an earlier run left unfinished.  A file that cannot be opened leaves
// LogFile null; it is tried again, at most every 10 s, while output arrives,
// and appended to once it opens.
void OpenLogFile(const char* directory, const char* serviceName);
// "<directory>\<serviceName>.out", the log file's name; 0 when it does not
// fit `size`.
int LogFileName(const char* directory, const char* serviceName, char* path, size_t size);
// Before OpenLogFile: rotate the file before a write that would take it past
// maxBytes (0: never), keeping `generations` rotated files (1 to 1000).
void SetLogFileRotation(uint64_t maxBytes, uint32_t generations);
// Before OpenLogFile: what becomes of the log's files besides the size
// limit.  `daily`: rotate at the first write of a new local day, and at the
// start of a run when the file was last written on an earlier day (without a
// size limit the start then keeps the file of the same day).  `maxAgeDays`
// (0: none): at each rotation and at the start, delete the rotated files last
// written longer ago, but never the file that the rotation itself has just
// moved away.  `compress`: replace each rotated file with its gzip
// copy "<...>.out.<n>.gz", made by a thread of low priority.
void SetLogFileUpkeep(int daily, uint32_t maxAgeDays, int compress);
// With `on`, every line of the log, the children's and the service's own,
// begins with the local time at which its first byte reached talvex
// ("yyyy-mm-dd hh:mm:ss.mmm "), and the service's own lines always begin a
// line of their own.  Off (the default), children's bytes are copied as
// they came.
void SetLogFileTimestamps(int on);
// Rotates the log now, as an administrator asks with control code 130;
// quick, since the compression goes on in the background.  An empty file is
// left as it is.
void RotateLogFile(void);
// Waits until the compressor has no more rotated files to compress (at once
// when it is not running).
void WaitLogCompression(void);
// Waits for the compressor, closes the log and forgets its path and rotation
// (the end of a process).
void CloseLogFile(void);

// What the log has taken since the process started: bytes written, bytes of
// output lost, and rotations.
struct LogFileCounts {
    uint64_t bytesWritten;
    uint64_t bytesLost;
    uint64_t rotations;
};
void GetLogFileCounts(LogFileCounts* counts);

// A formatted line (or lines) written whatever DebugEnabled says.
void log_always(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A formatted line written only while DebugEnabled is 1.
void log_debug(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Copies bytes to LogFile exactly as given (NUL and CR LF included).
void log_raw(const void* bytes, size_t count);

#endif
