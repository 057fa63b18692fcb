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
// The C runtime locks a stream for the length of one fwrite, so each line is
// handed over in a single fwrite and lines of different threads never tear.
#include "diag/log_file.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "common/platform.h"
#include "common/text.h"

FILE* LogFile = nullptr;
uint32_t DebugEnabled = 0;

namespace {

enum {
    // Room for the longest line the service writes itself: a 4096-byte
    // command line after its label.  Longer texts (an environment entry, a
    // long PATH) are formatted again into a block of their own size.
    LOG_FORMAT_SIZE = 8192,
    // The formatted text after each "\n" became the platform's line end.
    // Text that grows past it is written in several pieces.
    LOG_OUTPUT_SIZE = 2 * LOG_FORMAT_SIZE,
    // The service control manager refuses service names longer than this.
    SERVICE_NAME_MAX = 256,
    // Working directory, one backslash, the service name and ".out.1".
    LOG_PATH_SIZE = CONFIG_PATH_SIZE + 1 + SERVICE_NAME_MAX + 6,
};

const char LOG_MASK[] = "********";

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
void write_formatted(FILE* stream, int flush, const char* fmt, va_list args)
{
    if (stream == nullptr) return;
    va_list again;
    va_copy(again, args);
    char text[LOG_FORMAT_SIZE];
    int length = vsnprintf(text, sizeof text, fmt, args);
    if (length >= 0 && (size_t)length < sizeof text) {
        write_converted(stream, text, (size_t)length);
    } else if (length >= 0) {
        char* block = (char*)malloc((size_t)length + 1);
        if (block != nullptr) {
            vsnprintf(block, (size_t)length + 1, fmt, again);
            write_converted(stream, block, (size_t)length);
            free(block);
        } else {
            vfprintf(stream, fmt, again);
        }
    }
    va_end(again);
    if (flush) fflush(stream);
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
    write_formatted(LogFile, 0, fmt, args);
    va_end(args);
}

}  // namespace

void OpenLogFile(const char* directory, const char* serviceName)
{
    // One log file per process: a restart of the container pair within the
    // same run goes on writing to it.
    if (LogFile != nullptr) return;
    if (directory == nullptr || serviceName == nullptr) return;

    // The backslash is added whatever the directory ends with; Windows takes
    // a doubled separator as one, and an empty directory names the root of
    // the current drive.
    char path[LOG_PATH_SIZE];
    char previous[LOG_PATH_SIZE];
    if (!text_format(path, sizeof path, "%s\\%s.out", directory, serviceName)) return;
    if (!text_format(previous, sizeof previous, "%s.1", path)) return;

    // Keep the last run's log for whoever investigates why the service was
    // restarted; one generation is enough.  A failed rename (the old copy
    // held open by a viewer, say) must not cost the service its log, so the
    // new file is opened either way.
    if (plat_path_has_entry(path)) plat_rename_replace(path, previous);

    // A log that cannot be opened is not reported: the service runs on
    // without it, and every write is skipped.
    LogFile = plat_fopen(path, "wb");
}

void DumpServiceConfig(const ServiceConfig* config)
{
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
    fflush(LogFile);
}

void log_always(const char* fmt, ...)
{
    if (LogFile == nullptr) return;
    va_list args;
    va_start(args, fmt);
    write_formatted(LogFile, 1, fmt, args);
    va_end(args);
}

void log_debug(const char* fmt, ...)
{
    if (DebugEnabled != 1 || LogFile == nullptr) return;
    va_list args;
    va_start(args, fmt);
    write_formatted(LogFile, 1, fmt, args);
    va_end(args);
}

void log_always_to(FILE* stream, const char* fmt, ...)
{
    if (stream == nullptr) return;
    va_list args;
    va_start(args, fmt);
    write_formatted(stream, 1, fmt, args);
    va_end(args);
}

void log_raw(const void* bytes, size_t count)
{
    if (LogFile == nullptr || count == 0) return;
    fwrite(bytes, 1, count, LogFile);
    fflush(LogFile);
}
