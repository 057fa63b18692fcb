// The per-service log file and the one way every part of the service writes
// to it.
//
// Every write goes straight to the file through the platform layer, with no
// stream buffer between: a line is in the file when its write returns, and
// the count the system gives back is what the file holds, so a disk that
// fills up shows at the write that it cuts short.  Child output reaches the
// file exactly as the child wrote it; the wrapper's own lines are formatted
// with "\n" and get the platform's line end here.
//
// Four threads write to the file (the supervisor, the input flusher, the
// control handler on the dispatcher's thread and the console control thread).
// Every write, and the rotation that may close the file and open the next
// one, happens under one lock, so lines of different threads never tear and
// no thread writes to a file that has been closed.
//
// Every rotation is the same shift, whatever asked for it (a size limit, a
// new local day, an administrator, a run's start): "<name>.out" becomes
// "<name>.out.1" and each older generation moves up by one, compressed or
// not, as far as the first free name; only a file beyond the count is ever
// replaced or deleted.  A write is never split across files.  A rotation
// never destroys a file: the shift starts with the oldest and stops at the
// first file that cannot be moved (held open by a viewer, say), so no file is
// ever moved onto one that stayed; the log then goes on at the end of
// "<name>.out" and the rotation is tried again a minute later.
//
// Each rotation then deletes what lies above a lowered count and the rotated
// files past their age (never the one it has just moved away from
// "<name>.out"), and has the rotated files compressed to "<name>.out.<n>.gz"
// by a thread of low priority, so that neither holds up a write.  The
// compressor reads a file while it may be moved on: it follows the file's
// generation through the shifts, and replaces the file with its compressed
// copy, under the lock, once that is whole; a copy whose file cannot be
// deleted goes again, so that no generation is ever there twice.
//
// Output that cannot be written (a full disk, a log that cannot be opened)
// is counted, never waited for: the service does not stop or slow down for
// its log.  One event says that output is being lost; when the log takes
// output again, a line at the gap says how many bytes are missing there, and
// an event says the same.
#include "diag/log_file.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "common/helpers.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_rotation.h"
#include "diag/log_state.h"

PlatHandle LogFile = nullptr;
uint32_t DebugEnabled = 0;
char LogFilePath[LOG_FILE_PATH_SIZE] = "";

std::mutex LogLock;
LogState Log;
Compressor Compression;

void log_event(uint32_t eventId, const char* fmt, ...)
{
    if (Log.serviceName[0] == '\0') return;
    char text[LOG_EVENT_SIZE];
    va_list args;
    va_start(args, fmt);
    text_vformat(text, sizeof text, fmt, args);
    va_end(args);
    LogServiceEvent(Log.serviceName, text, eventId);
}

namespace {

enum {
    // Room for the longest line the service writes itself: a 4096-byte
    // command line after its label.  Longer texts (an environment entry, a
    // long PATH) are formatted again into a block of their own size.
    LOG_FORMAT_SIZE = 8192,
    // The formatted text after each "\n" became the platform's line end.
    // Text that grows past it is written in several pieces.
    LOG_OUTPUT_SIZE = 2 * LOG_FORMAT_SIZE,
    // "yyyy-mm-dd hh:mm:ss.mmm " and its end.
    LOG_STAMP_SIZE = 32,
};

// How long a log that could not be opened waits before output tries it
// again (tick count milliseconds).
const uint64_t LOG_REOPEN_MS = 10000;

// Why output stops reaching the file.
enum LossCause { LOSS_WRITE, LOSS_OPEN, LOSS_NOT_A_FILE };

// Output stops reaching the file.  The first loss of a run that comes from
// a file that could not be opened is said by the warning that it cannot be
// opened, and one at a name that holds no file has said so already; every
// other loss begins with a warning that output is being lost.
void begin_loss(uint32_t code, LossCause cause)
{
    if (Log.losing) return;
    Log.losing = 1;
    Log.lostError = code;
    if (cause == LOSS_NOT_A_FILE) return;
    char reason[LOG_REASON_SIZE];
    SystemErrorText(code, reason, sizeof reason);
    if (cause == LOSS_OPEN && !Log.openWarningGiven) {
        Log.openWarningGiven = 1;
        log_event(EVENT_WARNING, "The log file %s cannot be opened; the service runs without it - %s", LogFilePath,
                  reason);
    } else {
        log_event(EVENT_WARNING, "The log file %s cannot be written; output is being lost - %s", LogFilePath, reason);
    }
}

// One write at the end of the file.  Returns how many bytes reached it; a
// write that fails or comes back short begins a loss.  A write that reports
// success and still falls short ran out of room.
size_t write_bytes(const char* bytes, size_t count)
{
    uint32_t written = 0;
    int ok = plat_write_file(LogFile, bytes, (uint32_t)count, &written);
    uint32_t code = ok ? (uint32_t)PLAT_ERROR_DISK_FULL : plat_get_last_error();
    if (written > count) written = (uint32_t)count;
    Log.size += written;
    Log.bytesWritten += written;
    if (written > 0) Log.atLineStart = bytes[written - 1] == '\n';
    if (written < count) begin_loss(code, LOSS_WRITE);
    return written;
}

// The length of text once each line feed that is not already preceded by a
// carriage return has become the platform's line end.
size_t converted_length(const char* text, size_t length, size_t lineEndLength)
{
    size_t total = length;
    for (size_t i = 0; i < length; ++i)
        if (text[i] == '\n' && !(i > 0 && text[i - 1] == '\r')) total += lineEndLength - 1;
    return total;
}

// A piece of converted text, unless an earlier piece of the same text fell
// short.  Returns how many of its bytes did not reach the file.
// With timestamps: the bytes, each line begun with the time (`stamp`) at
// which they reached the service.  Returns how many bytes did not reach the
// file; once a write falls short, the rest is not tried.
size_t put_stamped(const char* bytes, size_t size, const char* stamp)
{
    size_t stampLength = strlen(stamp);
    for (size_t at = 0; at < size;) {
        const char* lineFeed = (const char*)memchr(bytes + at, '\n', size - at);
        size_t piece = lineFeed != nullptr ? (size_t)(lineFeed - bytes) + 1 - at : size - at;
        if (Log.atLineStart && write_bytes(stamp, stampLength) < stampLength) return size - at;
        size_t written = write_bytes(bytes + at, piece);
        if (written < piece) return size - at - written;
        at += piece;
    }
    return 0;
}

size_t put_piece(const char* piece, size_t size, int skip)
{
    if (skip) return size;
    if (!Log.timestamps) return size - write_bytes(piece, size);
    char stamp[LOG_STAMP_SIZE];
    plat_local_time_text(stamp, sizeof stamp);
    text_append(stamp, sizeof stamp, " ");
    return put_stamped(piece, size, stamp);
}

// Writes text with the platform's line ends, one write for the whole text
// whenever it fits the output buffer, which every line of the service does.
// Returns how many of its bytes did not reach the file: once a write falls
// short, the rest of the text is not tried.
size_t put_converted(const char* text, size_t length)
{
    const char* lineEnd = plat_text_line_end();
    size_t lineEndLength = strlen(lineEnd);
    size_t missing = 0;
    char out[LOG_OUTPUT_SIZE];
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        int convert = text[i] == '\n' && !(i > 0 && text[i - 1] == '\r');
        size_t need = convert ? lineEndLength : 1;
        if (used + need > sizeof out) {
            missing += put_piece(out, used, missing > 0);
            used = 0;
        }
        if (convert) {
            memcpy(out + used, lineEnd, lineEndLength);
        } else {
            out[used] = text[i];
        }
        used += need;
    }
    if (used > 0) missing += put_piece(out, used, missing > 0);
    return missing;
}

// Today's local date, looked up at most once a second.
uint32_t local_today(void)
{
    int64_t now = plat_time_seconds();
    if (now != Log.todaySecond) {
        Log.todaySecond = now;
        Log.today = plat_local_date(now);
    }
    return Log.today;
}

// Opens "<name>.out" for appending, after moving the earlier files out of its
// way when `generations` is not 0: the one place where the log's files are
// rotated, whatever asked for it (a size limit, a new day, an administrator,
// a run's start).  When the file in use cannot be moved,
// writing goes on at its end rather than losing a byte, one warning says so,
// and the rotation waits a minute before it is tried again.  A log that
// cannot be opened begins a loss and is tried again 10 s later at the
// earliest.
void open_log(uint32_t generations)
{
    uint64_t now = plat_tick_count64();
    LogRotationResult result = LOG_ROTATION_APPEND;
    if (generations != 0) {
        int movedCurrent = 0;
        result = shift_generations(generations, &movedCurrent);
        drop_beyond(generations);
        // The file that has just moved away is never deleted for its age by
        // the rotation that moved it: it may be the one that says why the
        // service stopped, days ago.
        keep_up_rotated(movedCurrent ? 2 : 1);
        if (result == LOG_ROTATION_APPEND) {
            Log.rotationRetryTick = now + LOG_ROTATION_RETRY_MS;
            if (!Log.rotationWarningGiven) {
                Log.rotationWarningGiven = 1;
                log_event(EVENT_WARNING, "The log file %s could not be rotated; the service goes on writing to it",
                          LogFilePath);
            }
        }
    } else if (entry_kind(LogFilePath) > PLAT_ENTRY_FILE) {
        result = LOG_ROTATION_NO_LOG;
    }
    PlatFileInfo info = {PLAT_ENTRY_FILE, 0, 0};
    if (result != LOG_ROTATION_NO_LOG) LogFile = plat_open_append(LogFilePath);
    if (LogFile != nullptr && plat_file_info(LogFile, &info) && info.kind != PLAT_ENTRY_FILE) {
        plat_close_handle(LogFile);
        LogFile = nullptr;
        result = LOG_ROTATION_NO_LOG;
    }
    if (result == LOG_ROTATION_NO_LOG) {
        // What opening a directory gives; a device is never written to.
        warn_not_a_file(LogFilePath);
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
    }
    if (LogFile == nullptr) {
        Log.reopenTick = now + LOG_REOPEN_MS;
        begin_loss(plat_get_last_error(), result == LOG_ROTATION_NO_LOG ? LOSS_NOT_A_FILE : LOSS_OPEN);
        return;
    }
    Log.size = info.size;
    if (Log.size == 0) Log.atLineStart = 1;
    Log.fileDate = Log.size > 0 ? plat_local_date(info.last_write) : local_today();
}

// The first write after a loss: a line at the gap says how much output is
// missing there, and an event that the file takes output again.  Returns 0
// when the line could not be written either; the loss then goes on.
int close_gap(void)
{
    if (Log.lostBytes > 0) {
        char reason[LOG_REASON_SIZE];
        SystemErrorText(Log.lostError, reason, sizeof reason);
        // The system's text ends in a line break of its own; the line ends in
        // the service's line end instead, exactly once.
        size_t length = strlen(reason);
        while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n')) reason[--length] = '\0';
        char line[LOG_REASON_SIZE + 80];
        text_format(line, sizeof line, "%sNT Service lost %llu bytes of output here - %s\n", Log.atLineStart ? "" : "\n",
                    (unsigned long long)Log.lostBytes, reason);
        if (put_converted(line, strlen(line)) > 0) return 0;
        log_event(EVENT_WARNING, "The log file %s is written again; %llu bytes of output were lost", LogFilePath,
                  (unsigned long long)Log.lostBytes);
    }
    Log.losing = 0;
    Log.bytesLostBefore += Log.lostBytes;
    Log.lostBytes = 0;
    return 1;
}

// Closes the file, if one is open, and opens the next one after a rotation.
void rotate_open_file(void)
{
    if (LogFile != nullptr) plat_close_handle(LogFile);
    LogFile = nullptr;
    open_log(Log.generations);
}

// Makes the log ready for `count` bytes of output: a log that could not be
// opened is tried again when its time has come, a file that would pass the
// limit or that a new day has come to is rotated, and a gap is noted first.
// Returns 0 when the output cannot reach the file now.  The caller holds
// LogLock.
int ready_for(size_t count)
{
    LogWriteFacts facts = {Log.size, count, Log.limit, Log.daily, Log.fileDate, 0, plat_tick_count64(),
                           Log.rotationRetryTick};
    if (Log.daily) facts.today = local_today();
    if (LogFile == nullptr) {
        if (facts.nowTick >= Log.reopenTick) open_log(0);
    } else if (LogRotationDue(&facts)) {
        rotate_open_file();
    }
    // An empty file, never rotated, takes the date of its first write.
    if (Log.daily && Log.size == 0) Log.fileDate = facts.today;
    return LogFile != nullptr && (!Log.losing || close_gap());
}

// Writes output (text already in the file's form, or the wrapper's own text
// to be converted) and counts what did not reach the file.
void write_output(const char* bytes, size_t count, int convert)
{
    size_t size = convert ? converted_length(bytes, count, strlen(plat_text_line_end())) : count;
    if (size == 0) return;
    if (!ready_for(size)) {
        Log.lostBytes += size;
    } else if (convert) {
        // With timestamps the service's own text begins a line of its own.
        if (Log.timestamps && !Log.atLineStart && bytes[0] != '\n') put_converted("\n", 1);
        Log.lostBytes += put_converted(bytes, count);
    } else {
        Log.lostBytes += put_piece(bytes, count, 0);
    }
}

// Formats one line (or a run of lines) into the file.  Nothing is cut: a
// text longer than the fixed buffer is formatted again into a heap block of
// its own size.  Should even that block be refused, the text is lost, and
// said to be, as output the file could not take.
void write_formatted(const char* fmt, va_list args)
{
    if (LogFilePath[0] == '\0') return;
    va_list again;
    va_copy(again, args);
    char text[LOG_FORMAT_SIZE];
    int length = vsnprintf(text, sizeof text, fmt, args);
    if (length >= 0 && (size_t)length < sizeof text) {
        write_output(text, (size_t)length, 1);
    } else if (length >= 0) {
        char* block = (char*)malloc((size_t)length + 1);
        if (block != nullptr) {
            vsnprintf(block, (size_t)length + 1, fmt, again);
            write_output(block, (size_t)length, 1);
            free(block);
        } else {
            begin_loss(PLAT_ERROR_NOT_ENOUGH_MEMORY, LOSS_WRITE);
            Log.lostBytes += (size_t)length;
        }
    }
    va_end(again);
}

}  // namespace

void SetLogFileRotation(uint64_t maxBytes, uint32_t generations)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.limit = maxBytes;
    Log.generations = generations == 0 ? 1 : generations > LOG_GENERATIONS_MOST ? LOG_GENERATIONS_MOST : generations;
}

void SetLogFileTimestamps(int on)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.timestamps = on;
}

void SetLogFileUpkeep(int daily, uint32_t maxAgeDays, int compress)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.daily = daily;
    Log.maxAgeDays = maxAgeDays;
    Log.compress = compress;
}

void OpenLogFile(const char* directory, const char* serviceName)
{
    std::lock_guard<std::mutex> guard(LogLock);
    // One log file per process: a restart of the container pair within the
    // same run goes on writing to it.
    if (LogFilePath[0] != '\0') return;
    if (directory == nullptr || serviceName == nullptr) return;

    if (!LogFileName(directory, serviceName, LogFilePath, sizeof LogFilePath)) {
        LogFilePath[0] = '\0';
        return;
    }
    text_copy(Log.serviceName, sizeof Log.serviceName, serviceName);
    // A compressed copy that was still being written when the last run ended
    // (stopped or killed) was never finished: the file it was made from is
    // still there.
    char temporary[LOG_GENERATION_PATH_SIZE];
    compressor_temporary(temporary, sizeof temporary);
    if (entry_kind(temporary) == PLAT_ENTRY_FILE) plat_delete_file(temporary);
    // A start rotates as every rotation does, so that the previous run's log
    // is the newest of the generations; rotating daily without a size limit,
    // a run goes on with the file of the same day.
    PlatFileInfo info;
    uint32_t fileDate = plat_path_info(LogFilePath, &info) ? plat_local_date(info.last_write) : 0;
    uint32_t generations = LogStartGenerations(Log.limit, Log.daily, Log.generations, fileDate, local_today());
    open_log(generations);
    if (generations == 0) keep_up_rotated(1);
}

int LogFileName(const char* directory, const char* serviceName, char* path, size_t size)
{
    // The backslash is added whatever the directory ends with; Windows takes
    // a doubled separator as one, and an empty directory names the root of
    // the current drive.
    return text_format(path, size, "%s\\%s.out", directory, serviceName);
}

void log_always(const char* fmt, ...)
{
    std::lock_guard<std::mutex> guard(LogLock);
    va_list args;
    va_start(args, fmt);
    write_formatted(fmt, args);
    va_end(args);
}

void log_debug(const char* fmt, ...)
{
    if (DebugEnabled != 1) return;
    std::lock_guard<std::mutex> guard(LogLock);
    va_list args;
    va_start(args, fmt);
    write_formatted(fmt, args);
    va_end(args);
}

void log_raw(const void* bytes, size_t count)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFilePath[0] != '\0') write_output((const char*)bytes, count, 0);
}

void RotateLogFile(void)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFilePath[0] == '\0') return;
    // An empty file holds nothing to keep, and would push a file that does
    // out of the generations.
    if (LogFile != nullptr && Log.size == 0) return;
    rotate_open_file();
}

void CloseLogFile(void)
{
    WaitLogCompression();
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFile != nullptr) plat_close_handle(LogFile);
    LogFile = nullptr;
    LogFilePath[0] = '\0';
    Log = LogState();
    DebugEnabled = 0;
    Compression = Compressor();
}

void GetLogFileCounts(LogFileCounts* counts)
{
    std::lock_guard<std::mutex> guard(LogLock);
    counts->bytesWritten = Log.bytesWritten;
    counts->bytesLost = Log.bytesLostBefore + Log.lostBytes;
    counts->rotations = Log.rotations;
}
