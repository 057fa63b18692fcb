// The generations of rotated files: the one shift that every rotation
// makes, what lies above the count, and what is past its age (see
// log_file.cpp for the rule).
#include <string.h>

#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "diag/log_state.h"

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

namespace {

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

}  // namespace

// Deletes one name of a rotated file; the compressor forgets a file it was
// compressing, which leaves it nothing to replace.  0 when it stays.
int delete_generation(uint32_t n, LogForm form, const char* path)
{
    if (!plat_delete_file(path)) return 0;
    if (form == FORM_PLAIN && Compression.generation == n) Compression.generation = 0;
    return 1;
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

void drop_beyond(uint32_t generations)
{
    const char* slash = strrchr(LogFilePath, '\\');
    Beyond beyond = {slash != nullptr ? slash + 1 : LogFilePath, generations};
    char pattern[LOG_GENERATION_PATH_SIZE];
    text_format(pattern, sizeof pattern, "%s.*", LogFilePath);
    plat_list_names(pattern, drop_if_beyond, &beyond);
}

namespace {

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

}  // namespace

void keep_up_rotated(uint32_t first)
{
    prune_generations(first);
    start_compressor();
}
