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
#include "diag/gzip_file.h"
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
    // "<path>.<generation>.gz", the generation at most ten digits, and the
    // compressor's "<path>.gz.tmp".
    LOG_GENERATION_PATH_SIZE = LOG_FILE_PATH_SIZE + 16,
    // A service name, as the service control manager allows it.
    LOG_SERVICE_NAME_SIZE = 257,
    // A system error text, and an event about the log with one.
    LOG_REASON_SIZE = 512,
    LOG_EVENT_SIZE = 2 * LOG_GENERATION_PATH_SIZE + LOG_REASON_SIZE,
};

// How long a log that could not be opened waits before output tries it
// again, and a rotation that could not move the file before it is tried
// again (tick count milliseconds).
const uint64_t LOG_REOPEN_MS = 10000;
const uint64_t LOG_ROTATION_RETRY_MS = 60000;

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
    // The event source: a copy, since the compressor may still say
    // something after the run that named the log has ended.
    char serviceName[LOG_SERVICE_NAME_SIZE] = "";
    // What becomes of rotated files: a new file each local day, the age in
    // days past which they are deleted (0: none), and their compression.
    int daily = 0;
    uint32_t maxAgeDays = 0;
    int compress = 0;
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
LogState Log;

// The compressor thread, under LogLock like the rest.  `busy` is 1 from the
// thread's creation until it has found nothing more to compress; `generation`
// is the number of the rotated file it reads, kept up to date by the shifts
// (0: none, or the file has been deleted).
struct Compressor {
    PlatHandle thread = nullptr;
    int busy = 0;
    uint32_t generation = 0;
};
Compressor Compression;

// The two names a rotated file may have: as written, and compressed.
enum LogForm { FORM_PLAIN, FORM_GZIP, FORM_COUNT };

void log_event(uint32_t eventId, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

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

// "<name>.out" for generation 0, "<name>.out.<n>" or "<name>.out.<n>.gz"
// for the others.
void generation_path(uint32_t generation, LogForm form, char* path, size_t size)
{
    if (generation == 0)
        text_copy(path, size, LogFilePath);
    else
        text_format(path, size, "%s.%lu%s", LogFilePath, (unsigned long)generation, form == FORM_GZIP ? ".gz" : "");
}

// The compressor's temporary file, "<name>.out.gz.tmp".
void compressor_temporary(char* path, size_t size)
{
    text_format(path, size, "%s.gz.tmp", LogFilePath);
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

// What a generation holds: a directory or device at either of its names is
// in the way; otherwise a file at either name makes it a file.  `path` gets
// the name that decided.
uint32_t generation_kind(uint32_t generation, char* path, size_t size)
{
    uint32_t found = PLAT_ENTRY_NONE;
    char name[LOG_GENERATION_PATH_SIZE];
    for (int form = FORM_PLAIN; form < FORM_COUNT; ++form) {
        generation_path(generation, (LogForm)form, name, sizeof name);
        uint32_t kind = entry_kind(name);
        if (kind > found || (kind == found && form == FORM_PLAIN)) {
            found = kind;
            text_copy(path, size, name);
        }
    }
    return found;
}

// What is at the log's names, up to the first generation without a file.
LogNames find_names(uint32_t generations)
{
    LogNames names = {entry_kind(LogFilePath), generations + 1, PLAT_ENTRY_NONE};
    char path[LOG_GENERATION_PATH_SIZE];
    for (uint32_t n = 1; names.current == PLAT_ENTRY_FILE && n <= generations; ++n) {
        uint32_t kind = generation_kind(n, path, sizeof path);
        if (kind != PLAT_ENTRY_FILE) {
            names.gap = n;
            names.gapKind = kind;
            break;
        }
    }
    return names;
}

// Deletes one name of a rotated file; the compressor forgets a file it was
// compressing, which leaves it nothing to replace.  0 when it stays.
int delete_generation(uint32_t n, LogForm form, const char* path)
{
    if (!plat_delete_file(path)) return 0;
    if (form == FORM_PLAIN && Compression.generation == n) Compression.generation = 0;
    return 1;
}

// Moves generation `from` to the number `from` + 1, each of its names to the
// same kind of name.  Only onto the oldest generation, which drops out, may a
// file be replaced, and a name that the move does not overwrite is deleted
// there; any other name was found free or has just been moved on, and a file
// that has come there since makes the move fail rather than go.
int move_generation(uint32_t from, int oldest)
{
    char source[FORM_COUNT][LOG_GENERATION_PATH_SIZE];
    char target[FORM_COUNT][LOG_GENERATION_PATH_SIZE];
    int present[FORM_COUNT];
    for (int form = FORM_PLAIN; form < FORM_COUNT; ++form) {
        generation_path(from, (LogForm)form, source[form], sizeof source[form]);
        generation_path(from + 1, (LogForm)form, target[form], sizeof target[form]);
        present[form] = (from > 0 || form == FORM_PLAIN) && entry_kind(source[form]) == PLAT_ENTRY_FILE;
    }
    for (int form = FORM_PLAIN; form < FORM_COUNT; ++form)
        if (oldest && !present[form] && entry_kind(target[form]) == PLAT_ENTRY_FILE &&
            !delete_generation(from + 1, (LogForm)form, target[form]))
            return 0;
    // The compressor follows its file; one it was compressing at the oldest
    // number is gone once another file has taken its place, and not before.
    for (int form = FORM_PLAIN; form < FORM_COUNT; ++form) {
        if (!present[form]) continue;
        if (!plat_move_file(source[form], target[form], oldest)) return 0;
        if (form != FORM_PLAIN) continue;
        if (Compression.generation == from + 1) Compression.generation = 0;
        else if (Compression.generation == from && from > 0) Compression.generation = from + 1;
    }
    return 1;
}

// Moves the files up out of the way of a new "<name>.out" as far as they can
// be moved, the oldest first.  *movedCurrent says whether "<name>.out" itself
// moved on.
LogRotationResult shift_generations(uint32_t generations, int* movedCurrent)
{
    *movedCurrent = 0;
    LogRotationPlan plan = PlanLogRotation(find_names(generations), generations);
    if (plan.inTheWay != 0) {
        char path[LOG_GENERATION_PATH_SIZE];
        generation_kind(plan.inTheWay, path, sizeof path);
        warn_not_a_file(path);
    }
    for (uint32_t n = plan.moves; n > 0; --n) {
        if (!move_generation(n - 1, n == generations)) return LOG_ROTATION_APPEND;
    }
    if (plan.moves > 0) {
        *movedCurrent = 1;
        ++Log.rotations;
    }
    return plan.result;
}

// Deletes the rotated files above the count, wherever they are: what is
// left of a larger count after it was lowered, beyond any gap.  Only numbers
// that some count could have written are the log's.
struct Beyond {
    const char* baseName;   // "<name>.out"
    uint32_t generations;
};

void drop_if_beyond(const char* name, void* context)
{
    const Beyond* beyond = (const Beyond*)context;
    size_t length = strlen(beyond->baseName);
    uint32_t n = 0;
    int compressed = 0;
    if (!text_equal_nocase_n(name, beyond->baseName, length) || !LogSuffixGeneration(name + length, &n, &compressed))
        return;
    if (n <= beyond->generations || n > LOG_GENERATIONS_MOST) return;
    char path[LOG_GENERATION_PATH_SIZE];
    LogForm form = compressed ? FORM_GZIP : FORM_PLAIN;
    generation_path(n, form, path, sizeof path);
    if (entry_kind(path) == PLAT_ENTRY_FILE) delete_generation(n, form, path);
}

void drop_beyond(uint32_t generations)
{
    const char* slash = strrchr(LogFilePath, '\\');
    Beyond beyond = {slash != nullptr ? slash + 1 : LogFilePath, generations};
    char pattern[LOG_GENERATION_PATH_SIZE];
    text_format(pattern, sizeof pattern, "%s.*", LogFilePath);
    plat_list_names(pattern, drop_if_beyond, &beyond);
}

// Deletes the rotated files, from generation `first` up, whose last write is
// older than the age limit.  One that cannot be deleted now (held open) is
// tried again at the next rotation.
void prune_generations(uint32_t first)
{
    if (Log.maxAgeDays == 0) return;
    int64_t now = plat_time_seconds();
    char path[LOG_GENERATION_PATH_SIZE];
    for (uint32_t n = first; n <= Log.generations; ++n) {
        for (int form = FORM_PLAIN; form < FORM_COUNT; ++form) {
            generation_path(n, (LogForm)form, path, sizeof path);
            PlatFileInfo info;
            if (!plat_path_info(path, &info) || info.kind != PLAT_ENTRY_FILE) continue;
            if (LogGenerationExpired(info.last_write, now, Log.maxAgeDays)) delete_generation(n, (LogForm)form, path);
        }
    }
}

// Says once per run that a rotated file stays uncompressed, and why.
void warn_not_compressed(const char* path, const char* why, uint32_t code)
{
    if (Log.compressWarningGiven) return;
    Log.compressWarningGiven = 1;
    char reason[LOG_REASON_SIZE];
    SystemErrorText(code, reason, sizeof reason);
    log_event(EVENT_WARNING, "The rotated log file %s %s - %s", path, why, reason);
}

const char NOT_COMPRESSED[] = "could not be compressed; it is kept as it is";
const char NOT_REPLACED[] = "could not be replaced with its compressed copy; it is kept uncompressed";

// The file being compressed: its handle, name and last write.
struct Taken {
    PlatHandle file;
    char path[LOG_GENERATION_PATH_SIZE];
    int64_t lastWrite;
};

// The youngest rotated file that has no compressed copy yet, opened for
// reading and made the compressor's generation.  Returns 0 when there is
// none, or when it could not be opened (said once per run).  The caller holds
// LogLock.
int take_uncompressed(Taken* taken)
{
    char gzip[LOG_GENERATION_PATH_SIZE];
    for (uint32_t n = 1; n <= Log.generations; ++n) {
        generation_path(n, FORM_PLAIN, taken->path, sizeof taken->path);
        generation_path(n, FORM_GZIP, gzip, sizeof gzip);
        PlatFileInfo info;
        if (!plat_path_info(taken->path, &info) || info.kind != PLAT_ENTRY_FILE || entry_kind(gzip) != PLAT_ENTRY_NONE)
            continue;
        taken->lastWrite = info.last_write;
        taken->file = plat_open_read(taken->path);
        if (taken->file == nullptr) {
            warn_not_compressed(taken->path, NOT_COMPRESSED, plat_get_last_error());
            return 0;
        }
        Compression.generation = n;
        return 1;
    }
    return 0;
}

// The compressed copy, whole under its temporary name, takes the place of
// the file it was made from, wherever the shifts have moved that file by
// now; only then is the file itself deleted.  A file that cannot be deleted
// (another program holds it) keeps its place and the copy goes instead: a
// generation is one file, never two that hold the same output.  A file
// deleted meanwhile (age pruning, or the oldest dropping out) leaves nothing
// to replace.  Returns 1 when the file was replaced or is gone; otherwise 0,
// after the warning.  The caller holds LogLock.
int replace_with_copy(const char* temporary, const Taken* taken)
{
    uint32_t n = Compression.generation;
    Compression.generation = 0;
    if (n == 0) return plat_delete_file(temporary), 1;
    char plain[LOG_GENERATION_PATH_SIZE];
    char gzip[LOG_GENERATION_PATH_SIZE];
    generation_path(n, FORM_PLAIN, plain, sizeof plain);
    generation_path(n, FORM_GZIP, gzip, sizeof gzip);
    if (!plat_move_file(temporary, gzip, 0)) {
        uint32_t code = plat_get_last_error();
        plat_delete_file(temporary);
        warn_not_compressed(taken->path, NOT_COMPRESSED, code);
        return 0;
    }
    if (plat_delete_file(plain)) return 1;
    uint32_t code = plat_get_last_error();
    plat_delete_file(gzip);
    warn_not_compressed(plain, NOT_REPLACED, code);
    return 0;
}

// Writes the compressed copy of the taken file under the temporary name,
// with the file's own last write, so that the age limit counts from the
// output's age and not from the compression.  0 with the last error set on
// failure.
int write_copy(const char* temporary, const Taken* taken)
{
    PlatHandle out = plat_create_file(temporary);
    if (out == nullptr) return 0;
    int ok = GzipFile(taken->file, out) && plat_set_file_time(out, taken->lastWrite);
    uint32_t code = plat_get_last_error();
    plat_close_handle(out);
    plat_set_last_error(code);
    return ok;
}

// The compressor thread: compresses the rotated files one by one until none
// is left, or one fails; a file that failed stays as it is and is tried again
// after the next rotation.  The thread says it is done in the same hold of
// the lock in which it finds nothing more to do, so that a rotation never
// counts on a thread that is on its way out.
uint32_t compress_generations(void* parameter)
{
    char temporary[LOG_GENERATION_PATH_SIZE];
    Taken taken;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(LogLock);
            compressor_temporary(temporary, sizeof temporary);
            if (!take_uncompressed(&taken)) {
                Compression.busy = 0;
                return 0;
            }
        }
        int ok = write_copy(temporary, &taken);
        uint32_t code = plat_get_last_error();
        plat_close_handle(taken.file);
        std::lock_guard<std::mutex> guard(LogLock);
        if (ok && replace_with_copy(temporary, &taken)) continue;
        if (!ok) {
            Compression.generation = 0;
            plat_delete_file(temporary);
            warn_not_compressed(taken.path, NOT_COMPRESSED, code);
        }
        Compression.busy = 0;
        return 0;
    }
}

// Sets the compressor going, unless it runs already (it then looks for more
// to do before it ends).  The caller holds LogLock.
void start_compressor(void)
{
    if (!Log.compress || Compression.busy) return;
    // The last round has ended; its handle is let go.
    if (Compression.thread != nullptr) plat_close_handle(Compression.thread);
    Compression.thread = plat_create_thread(compress_generations, nullptr);
    if (Compression.thread == nullptr) {
        char newest[LOG_GENERATION_PATH_SIZE];
        generation_path(1, FORM_PLAIN, newest, sizeof newest);
        warn_not_compressed(newest, NOT_COMPRESSED, plat_get_last_error());
        return;
    }
    Compression.busy = 1;
    // Compression is the one thing the service does that may take the CPU for
    // seconds; the supervisor, the flusher and the control handler come first.
    plat_set_thread_priority(Compression.thread, PLAT_THREAD_PRIORITY_LOWEST);
}

// The upkeep of the rotated files, at every rotation and a run's start: the
// old ones are deleted, from generation `first` up, the others compressed.
void keep_up_rotated(uint32_t first)
{
    prune_generations(first);
    start_compressor();
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

}  // namespace

void SetLogFileRotation(uint64_t maxBytes, uint32_t generations)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.limit = maxBytes;
    Log.generations = generations == 0 ? 1 : generations > LOG_GENERATIONS_MOST ? LOG_GENERATIONS_MOST : generations;
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

void WaitLogCompression(void)
{
    PlatHandle thread;
    {
        std::lock_guard<std::mutex> guard(LogLock);
        thread = Compression.thread;
        Compression.thread = nullptr;
    }
    // The thread takes the lock itself, so it is waited for without it.
    if (thread == nullptr) return;
    plat_wait(thread, PLAT_WAIT_INFINITE);
    plat_close_handle(thread);
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
