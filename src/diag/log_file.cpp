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
// With a size limit, the file is rotated before a write that would take it
// past the limit: "<name>.out" becomes "<name>.out.1", the older generations
// move up by one, the oldest beyond the count drops out, and a new
// "<name>.out" takes the write.  A write is never split across files.  A
// rotation never destroys a file: the shift starts with the oldest and stops
// at the first file that cannot be moved (held open by a viewer, say), so no
// file is ever moved onto one that stayed; the log then goes on at the end of
// "<name>.out" and the rotation is tried again a minute later.
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

PlatHandle LogFile = nullptr;
uint32_t DebugEnabled = 0;
char LogFilePath[LOG_FILE_PATH_SIZE] = "";

namespace {

enum {
    // Room for the longest line the service writes itself: a 4096-byte
    // command line after its label.  Longer texts (an environment entry, a
    // long PATH) are formatted again into a block of their own size.
    LOG_FORMAT_SIZE = 8192,
    // The formatted text after each "\n" became the platform's line end.
    // Text that grows past it is written in several pieces.
    LOG_OUTPUT_SIZE = 2 * LOG_FORMAT_SIZE,
    // "<path>.<generation>", the generation at most ten digits.
    LOG_GENERATION_PATH_SIZE = LOG_FILE_PATH_SIZE + 12,
    // A system error text, and an event about the log with one.
    LOG_REASON_SIZE = 512,
    LOG_EVENT_SIZE = 2 * LOG_GENERATION_PATH_SIZE + LOG_REASON_SIZE,
};

// How long a log that could not be opened waits before output tries it
// again, and a rotation that could not move the file before it is tried
// again (tick count milliseconds).
const uint64_t LOG_REOPEN_MS = 10000;
const uint64_t LOG_ROTATION_RETRY_MS = 60000;
const char LOG_MASK[] = "********";

std::mutex LogLock;

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
    const char* serviceName = nullptr;
    // The events said once per run.
    int rotationWarningGiven = 0;
    int openWarningGiven = 0;
    int notFileErrorGiven = 0;
};
LogState Log;

void log_event(uint32_t eventId, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void log_event(uint32_t eventId, const char* fmt, ...)
{
    if (Log.serviceName == nullptr) return;
    char text[LOG_EVENT_SIZE];
    va_list args;
    va_start(args, fmt);
    text_vformat(text, sizeof text, fmt, args);
    va_end(args);
    LogServiceEvent(Log.serviceName, text, eventId);
}

// Why output stops reaching the file.
enum LossCause { LOSS_WRITE, LOSS_OPEN, LOSS_NOT_A_FILE };

// Output stops reaching the file.  The first loss of a run that comes from
// a file that could not be opened keeps the warning it always had, and one
// at a name that holds no file has said so already; every other loss begins
// with a warning that output is being lost.
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
size_t put_piece(const char* piece, size_t size, int skip)
{
    return skip ? size : size - write_bytes(piece, size);
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

void warn_not_a_file(const char* path)
{
    if (Log.notFileErrorGiven) return;
    Log.notFileErrorGiven = 1;
    if (strcmp(path, LogFilePath) == 0)
        log_event(EVENT_ERROR, "The log file %s is a directory or device, not a file; the service runs without it", path);
    else
        log_event(EVENT_ERROR, "The log file %s cannot be rotated: %s is a directory or device, not a file",
                  LogFilePath, path);
}

// "<name>.out" for generation 0, "<name>.out.<n>" for the others.
void generation_path(uint32_t generation, char* path, size_t size)
{
    if (generation == 0)
        text_copy(path, size, LogFilePath);
    else
        text_format(path, size, "%s.%lu", LogFilePath, (unsigned long)generation);
}

uint32_t entry_kind(const char* path)
{
    PlatFileInfo info;
    if (plat_path_info(path, &info)) return info.kind;
    // An entry that cannot be looked at is taken for a file: all a rotation
    // does with a file is a rename whose result it checks.
    uint32_t code = plat_get_last_error();
    return code == PLAT_ERROR_FILE_NOT_FOUND || code == PLAT_ERROR_PATH_NOT_FOUND ? PLAT_ENTRY_NONE : PLAT_ENTRY_FILE;
}

// What is at the log's names, up to the first generation without a file.
LogNames find_names(uint32_t generations)
{
    LogNames names = {entry_kind(LogFilePath), generations + 1, PLAT_ENTRY_NONE};
    char path[LOG_GENERATION_PATH_SIZE];
    for (uint32_t n = 1; names.current == PLAT_ENTRY_FILE && n <= generations; ++n) {
        generation_path(n, path, sizeof path);
        uint32_t kind = entry_kind(path);
        if (kind != PLAT_ENTRY_FILE) {
            names.gap = n;
            names.gapKind = kind;
            break;
        }
    }
    return names;
}

// Moves the files up out of the way of a new "<name>.out" as far as they can
// be moved, the oldest first.
LogRotationResult shift_generations(uint32_t generations)
{
    LogRotationPlan plan = PlanLogRotation(find_names(generations), generations);
    char from[LOG_GENERATION_PATH_SIZE];
    char to[LOG_GENERATION_PATH_SIZE];
    if (plan.inTheWay != 0) {
        generation_path(plan.inTheWay, to, sizeof to);
        warn_not_a_file(to);
    }
    for (uint32_t n = plan.moves; n > 0; --n) {
        generation_path(n - 1, from, sizeof from);
        generation_path(n, to, sizeof to);
        // Only the oldest generation may be replaced; any other name was found
        // free or has just been moved on, and a file that has come there since
        // makes the move fail rather than go.
        if (!plat_move_file(from, to, n == generations)) return LOG_ROTATION_APPEND;
    }
    return plan.result;
}

// Opens "<name>.out" for appending, after moving the earlier files out of its
// way when `generations` is not 0.  When the file in use cannot be moved,
// writing goes on at its end rather than losing a byte, one warning says so,
// and the rotation waits a minute before it is tried again.  A log that
// cannot be opened begins a loss and is tried again 10 s later at the
// earliest.
void open_log(uint32_t generations)
{
    uint64_t now = plat_tick_count64();
    LogRotationResult result = LOG_ROTATION_APPEND;
    if (generations != 0) {
        result = shift_generations(generations);
    } else if (entry_kind(LogFilePath) > PLAT_ENTRY_FILE) {
        result = LOG_ROTATION_NO_LOG;
    }
    if (generations != 0 && result == LOG_ROTATION_APPEND) {
        Log.rotationRetryTick = now + LOG_ROTATION_RETRY_MS;
        if (!Log.rotationWarningGiven) {
            Log.rotationWarningGiven = 1;
            log_event(EVENT_WARNING, "The log file %s could not be rotated; the service goes on writing to it",
                      LogFilePath);
        }
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
    Log.lostBytes = 0;
    return 1;
}

// Makes the log ready for `count` bytes of output: a log that could not be
// opened is tried again when its time has come, a file that would pass the
// limit is rotated, and a gap is noted first.  Returns 0 when the output
// cannot reach the file now.  The caller holds LogLock.
int ready_for(size_t count)
{
    uint64_t now = plat_tick_count64();
    if (LogFile == nullptr) {
        if (now >= Log.reopenTick) open_log(0);
    } else if (LogRotationDue(Log.size, count, Log.limit, now, Log.rotationRetryTick)) {
        plat_close_handle(LogFile);
        LogFile = nullptr;
        open_log(Log.generations);
    }
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
        Log.lostBytes += put_converted(bytes, count);
    } else {
        Log.lostBytes += count - write_bytes(bytes, count);
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

// One line of the parameter dump; DumpServiceConfig holds LogLock.
void dump_line(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void dump_line(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    write_formatted(fmt, args);
    va_end(args);
}

}  // namespace

void SetLogFileRotation(uint64_t maxBytes, uint32_t generations)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.limit = maxBytes;
    Log.generations = generations > 0 ? generations : 1;
}

void OpenLogFile(const char* directory, const char* serviceName)
{
    std::lock_guard<std::mutex> guard(LogLock);
    // One log file per process: a restart of the container pair within the
    // same run goes on writing to it.
    if (LogFilePath[0] != '\0') return;
    if (directory == nullptr || serviceName == nullptr) return;

    // The backslash is added whatever the directory ends with; Windows takes
    // a doubled separator as one, and an empty directory names the root of
    // the current drive.
    if (!text_format(LogFilePath, sizeof LogFilePath, "%s\\%s.out", directory, serviceName)) {
        LogFilePath[0] = '\0';
        return;
    }
    Log.serviceName = serviceName;
    // With a limit, the generations hold the most recent output across runs:
    // the previous run's file is the newest of them.  Without one, the last
    // run's log is kept for whoever investigates why the service was
    // restarted; one generation is enough.
    open_log(Log.limit != 0 ? Log.generations : 1);
}

void DumpServiceConfig(const ServiceConfig* config)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (DebugEnabled != 1) return;
    dump_line("DEBUG: %s=%s\n", "WorkingDirectory", config->WorkingDirectory);
    dump_line("DEBUG: %s=%s\n", "JavaExe", config->JavaExe);
    dump_line("DEBUG: %s=%s\n", "JavaArgs", config->JavaArgs);
    dump_line("DEBUG: %s=%s\n", "Classpath", config->Classpath);
    dump_line("DEBUG: %s=%s\n", "BootClasspath", config->BootClasspath);
    dump_line("DEBUG: %s=%s\n", "OrvaneHome", config->OrvaneHome);
    dump_line("DEBUG: %s=%s\n", "BootFile", config->BootFile);
    dump_line("DEBUG: %s=%s\n", "DirectoryServiceBootFile", config->DirectoryServiceBootFile);
    dump_line("DEBUG: %s=%ld\n", "TimeoutSeconds", (long)config->StartTimeout);
    // The boot-file password never reaches the log: the file is readable by
    // whoever may read the working directory.  Whether one is set still
    // shows, which is what a support engineer needs to know.
    dump_line("DEBUG: %s=%s\n", "PBE", config->PBE[0] != '\0' ? LOG_MASK : "");
    dump_line("DEBUG: %s=%s\n", "UtilDir", config->UtilDir);
    if (config->LogContainerOutput[0] != '\0')
        dump_line("DEBUG: %s=%s\n", "LogContainerOutput", config->LogContainerOutput);
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

void CloseLogFile(void)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFile != nullptr) plat_close_handle(LogFile);
    LogFile = nullptr;
    LogFilePath[0] = '\0';
    Log = LogState();
    DebugEnabled = 0;
}
