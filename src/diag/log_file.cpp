// The per-service log file and the one way every part of the service writes
// to it.
//
// The stream is opened in binary mode so that child output reaches the file
// exactly as the child wrote it: a text-mode stream on Windows would turn a
// child's own CR LF into CR CR LF.  The wrapper's own lines are formatted with
// "\n" and get the platform's line end here instead.
//
// Four threads write to the stream (the supervisor, the input flusher, the
// control handler on the dispatcher's thread and the console control thread).
// Every write, and the rotation that may close the stream and open the next
// one, happens under one lock, so lines of different threads never tear and
// no thread writes to a stream that has been closed.
//
// With a size limit, the file is rotated before a write that would take it
// past the limit: "<name>.out" becomes "<name>.out.1", the older generations
// move up by one, the oldest beyond the count drops out, and a new
// "<name>.out" takes the write.  A write is never split across files.
#include "diag/log_file.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"

FILE* LogFile = nullptr;
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
};

const char LOG_MASK[] = "********";

std::mutex LogLock;
// The rotation: the limit in bytes (0: none), how many rotated files are
// kept, what the open file holds, and whether the warning about a failed
// rotation was written in this run.
uint64_t LogLimit = 0;
uint32_t LogGenerations = 1;
uint64_t LogSize = 0;
const char* LogServiceName = nullptr;
int RotationWarningGiven = 0;
int OpenWarningGiven = 0;

// Moves "<path>.<n-1>" to "<path>.<n>" down to "<path>" to "<path>.1".  Returns
// 0 when the current file could not be moved away.
int shift_generations(void)
{
    char from[LOG_GENERATION_PATH_SIZE];
    char to[LOG_GENERATION_PATH_SIZE];
    for (uint32_t n = LogGenerations; n > 1; --n) {
        text_format(from, sizeof from, "%s.%lu", LogFilePath, (unsigned long)(n - 1));
        text_format(to, sizeof to, "%s.%lu", LogFilePath, (unsigned long)n);
        if (plat_path_has_entry(from)) plat_rename_replace(from, to);
    }
    text_format(to, sizeof to, "%s.1", LogFilePath);
    return !plat_path_has_entry(LogFilePath) || plat_rename_replace(LogFilePath, to);
}

// Opens a new "<name>.out", after moving the earlier files out of its way.
// When the file in use cannot be moved (held open by a viewer, say), writing
// goes on at its end rather than losing a byte, and one warning says so.
// A log that cannot be opened (locked, a missing directory, no space) is said
// once per run; the service runs on without it.
void warn_unopened(void)
{
    if (LogFile != nullptr || OpenWarningGiven || LogServiceName == nullptr) return;
    OpenWarningGiven = 1;
    uint32_t code = plat_get_last_error();
    char reason[512];
    char text[LOG_FILE_PATH_SIZE + 640];
    if (plat_system_message(code, 0x400, reason, sizeof reason) == 0)
        text_format(reason, sizeof reason, "error %lu", (unsigned long)code);
    text_format(text, sizeof text, "The log file %s cannot be opened; the service runs without it - %s", LogFilePath,
                reason);
    LogServiceEvent(LogServiceName, text, EVENT_WARNING);
}

void open_next_file(int keepGenerations)
{
    int moved = keepGenerations ? shift_generations() : 1;
    LogFile = moved ? plat_fopen(LogFilePath, "wb") : plat_fopen(LogFilePath, "ab");
    warn_unopened();
    LogSize = 0;
    if (LogFile != nullptr && !moved) {
        fseek(LogFile, 0, SEEK_END);
        LogSize = (uint64_t)ftell(LogFile);
    }
    if (!moved && !RotationWarningGiven && LogServiceName != nullptr) {
        RotationWarningGiven = 1;
        char text[LOG_FILE_PATH_SIZE + 128];
        text_format(text, sizeof text, "The log file %s could not be rotated; the service goes on writing to it",
                    LogFilePath);
        LogServiceEvent(LogServiceName, text, EVENT_WARNING);
    }
}

// Makes room for a write of `count` bytes: with a limit, a file that would
// pass it is rotated first, unless it is still empty.  The caller holds
// LogLock.
void reserve(size_t count)
{
    if (LogLimit != 0 && LogFile != nullptr && LogSize > 0 && LogSize + count > LogLimit) {
        fclose(LogFile);
        open_next_file(1);
    }
    LogSize += count;
}

// Writes `length` bytes of formatted text, each line feed that is not already
// preceded by a carriage return written as the platform's line end.  One
// fwrite carries the whole text whenever the converted text fits the output
// buffer, which every line of the service does.
void write_converted(FILE* stream, const char* text, size_t length)
{
    const char* line_end = plat_text_line_end();
    size_t line_end_length = strlen(line_end);
    char out[LOG_OUTPUT_SIZE];
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        int convert = text[i] == '\n' && !(i > 0 && text[i - 1] == '\r');
        size_t need = convert ? line_end_length : 1;
        if (used + need > sizeof out) {
            fwrite(out, 1, used, stream);
            used = 0;
        }
        if (convert) {
            memcpy(out + used, line_end, line_end_length);
        } else {
            out[used] = text[i];
        }
        used += need;
    }
    if (used) fwrite(out, 1, used, stream);
}

// Formats one line (or a run of lines) onto the stream.  Nothing is cut: a
// text longer than the fixed buffer is formatted again into a heap block of
// its own size.  Should even that block be refused, the text goes out
// through the runtime's own formatter, whole but with plain line feeds.
void write_formatted(int flush, const char* fmt, va_list args)
{
    if (LogFile == nullptr) return;
    va_list again;
    va_copy(again, args);
    char text[LOG_FORMAT_SIZE];
    int length = vsnprintf(text, sizeof text, fmt, args);
    if (length >= 0) reserve((size_t)length);
    if (LogFile == nullptr) {
        // The rotation could open no new file.
    } else if (length >= 0 && (size_t)length < sizeof text) {
        write_converted(LogFile, text, (size_t)length);
    } else if (length >= 0) {
        char* block = (char*)malloc((size_t)length + 1);
        if (block != nullptr) {
            vsnprintf(block, (size_t)length + 1, fmt, again);
            write_converted(LogFile, block, (size_t)length);
            free(block);
        } else {
            vfprintf(LogFile, fmt, again);
        }
    }
    va_end(again);
    if (flush && LogFile != nullptr) fflush(LogFile);
}

// One line of the parameter dump, not flushed: the dump flushes once at its end.
void dump_line(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void dump_line(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    write_formatted(0, fmt, args);
    va_end(args);
}

}  // namespace

void SetLogFileRotation(uint64_t maxBytes, uint32_t generations)
{
    std::lock_guard<std::mutex> guard(LogLock);
    LogLimit = maxBytes;
    LogGenerations = generations > 0 ? generations : 1;
}

void OpenLogFile(const char* directory, const char* serviceName)
{
    std::lock_guard<std::mutex> guard(LogLock);
    // One log file per process: a restart of the container pair within the
    // same run goes on writing to it.
    if (LogFile != nullptr) return;
    if (directory == nullptr || serviceName == nullptr) return;

    // The backslash is added whatever the directory ends with; Windows takes
    // a doubled separator as one, and an empty directory names the root of
    // the current drive.
    if (!text_format(LogFilePath, sizeof LogFilePath, "%s\\%s.out", directory, serviceName)) {
        LogFilePath[0] = '\0';
        return;
    }
    LogServiceName = serviceName;
    RotationWarningGiven = 0;
    OpenWarningGiven = 0;
    if (LogLimit != 0) {
        // With a limit, the generations hold the most recent output across
        // runs: the previous run's file is the newest of them.
        open_next_file(1);
        return;
    }
    // Keep the last run's log for whoever investigates why the service was
    // restarted; one generation is enough.  A failed rename (the old copy
    // held open by a viewer, say) must not cost the service its log, so the
    // new file is opened either way.
    char previous[LOG_GENERATION_PATH_SIZE];
    text_format(previous, sizeof previous, "%s.1", LogFilePath);
    if (plat_path_has_entry(LogFilePath)) plat_rename_replace(LogFilePath, previous);

    LogFile = plat_fopen(LogFilePath, "wb");
    LogSize = 0;
    warn_unopened();
}

void DumpServiceConfig(const ServiceConfig* config)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (DebugEnabled != 1 || LogFile == nullptr) return;
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
    if (LogFile != nullptr) fflush(LogFile);
}

void log_always(const char* fmt, ...)
{
    std::lock_guard<std::mutex> guard(LogLock);
    va_list args;
    va_start(args, fmt);
    write_formatted(1, fmt, args);
    va_end(args);
}

void log_debug(const char* fmt, ...)
{
    if (DebugEnabled != 1) return;
    std::lock_guard<std::mutex> guard(LogLock);
    va_list args;
    va_start(args, fmt);
    write_formatted(1, fmt, args);
    va_end(args);
}

void log_raw(const void* bytes, size_t count)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFile == nullptr || count == 0) return;
    reserve(count);
    if (LogFile == nullptr) return;
    fwrite(bytes, 1, count, LogFile);
    fflush(LogFile);
}

void CloseLogFile(void)
{
    std::lock_guard<std::mutex> guard(LogLock);
    if (LogFile != nullptr) fclose(LogFile);
    LogFile = nullptr;
    LogFilePath[0] = '\0';
    LogLimit = 0;
    LogGenerations = 1;
}
