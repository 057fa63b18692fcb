// The compressor of rotated files: a thread of low priority that replaces
// each rotated file with its gzip copy, the youngest first, following a file
// that a rotation moves on while it is read.
#include <string.h>

#include "common/helpers.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/gzip_file.h"
#include "diag/log_file.h"
#include "diag/log_state.h"

namespace {

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

}  // namespace

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
