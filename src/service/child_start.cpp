// A child started, hidden, in its own process group and the cycle's job, with
// the PATH its start script asks for; and the thread dump asked of it.
#include "service/child_start.h"

#include <string.h>

#include "common/helpers.h"
#include "common/text.h"
#include "diag/log_file.h"
#include "service/service_environment.h"

namespace {

enum : uint32_t {
    SW_HIDE_VALUE = 0,
};

// Removes carriage returns and line feeds from the end of a value, never
// looking at its first character.
void trim_line_ends(char* value)
{
    size_t length = strlen(value);
    for (size_t i = length; i > 1; --i) {
        if (value[i - 1] != '\r' && value[i - 1] != '\n') break;
        value[i - 1] = '\0';
    }
}

// Reads PATH into buffer; "" when it is not set or did not fit.
uint32_t read_path(char* buffer, uint32_t size)
{
    uint32_t length = plat_get_env("PATH", buffer, size);
    if (length == 0 || length >= size) buffer[0] = '\0';
    return length;
}

}  // namespace

namespace {

// A PATH set for one child's start, and what to put back afterwards.
struct PathOverride {
    char* saved;            // the wrapper's own PATH
    uint32_t savedSize;
    int wasSet;             // whether the wrapper had a PATH at all
    char* expanded;         // the child's PATH
};

void release_path_override(PathOverride* path)
{
    plat_heap_free(path->saved);
    plat_heap_free(path->expanded);
    path->saved = nullptr;
    path->expanded = nullptr;
}

// Saves the wrapper's PATH and sets the value of a start-script line in its
// place, expanded.  Fails (memory ran out) before the environment was
// touched, with the last error set and nothing kept.
int apply_path_override(const char* value, PathOverride* path)
{
    memset(path, 0, sizeof *path);
    path->savedSize = PATH_TEXT_SIZE;
    path->saved = (char*)plat_heap_alloc(path->savedSize);
    path->expanded = (char*)plat_heap_alloc(PATH_TEXT_SIZE);
    if (path->saved == nullptr || path->expanded == nullptr) goto out_of_memory;
    {
        // GetEnvironmentVariableA answers 0 both for an empty PATH and for
        // none at all; only the last error tells them apart, and the restore
        // must know, to remove a PATH that the wrapper never had.
        plat_set_last_error(PLAT_NO_ERROR);
        uint32_t length = read_path(path->saved, path->savedSize);
        path->wasSet = length != 0 || plat_get_last_error() != PLAT_ERROR_ENVVAR_NOT_FOUND;
        log_debug("The size of the old environment variables %ld\n", (long)length);
        log_debug("The old path setting == %s\n", path->saved);
        if (length > path->savedSize) {
            log_debug("Reallocating space for oldPathSetting\n");
            char* larger = (char*)plat_heap_realloc(path->saved, length);
            if (larger == nullptr) goto out_of_memory;
            path->saved = larger;
            path->savedSize = length;
            read_path(path->saved, path->savedSize);
        }

        uint32_t expandedSize = PATH_TEXT_SIZE;
        uint32_t needed = plat_expand_env(value, path->expanded, expandedSize);
        if (needed > expandedSize) {
            log_debug("Reallocating space for expandedPath\n");
            char* larger = (char*)plat_heap_realloc(path->expanded, needed);
            if (larger == nullptr) goto out_of_memory;
            path->expanded = larger;
            expandedSize = needed;
            needed = plat_expand_env(value, path->expanded, expandedSize);
        }
        // A failed expansion leaves the buffer undefined; set an empty value
        // rather than whatever it held.
        if (needed == 0 || needed > expandedSize) path->expanded[0] = '\0';
        trim_line_ends(path->expanded);
        log_debug("The new path setting expanded == %s\n", path->expanded);
        plat_set_env("PATH", path->expanded);
        return 1;
    }
out_of_memory:
    release_path_override(path);
    plat_set_last_error(PLAT_ERROR_OUTOFMEMORY);
    return 0;
}

void restore_path(PathOverride* path)
{
    plat_set_env("PATH", path->wasSet ? path->saved : nullptr);
    if (DebugEnabled) {
        read_path(path->saved, path->savedSize);
        log_debug("Reset path to %s\n", path->saved);
    }
    release_path_override(path);
}

// Creates the child, in the job when one is given: a child meant for a job
// starts suspended and runs only once it is in the job, so that nothing it
// starts can escape the job.  Returns the creation's result with its own
// error as the last error.
int create_child(char* commandLine, const char* currentDirectory, PlatProcessInfo* process,
                 const PlatStartupInfo* startup, int inheritHandles, PlatHandle job, uint32_t* jobError)
{
    uint32_t flags = PLAT_CREATE_NEW_GROUP_NORMAL_PRIORITY | (job != nullptr ? PLAT_CREATE_SUSPENDED : 0u);
    int started = plat_create_process(commandLine, currentDirectory, inheritHandles, flags, startup, process);
    uint32_t createError = plat_get_last_error();
    if (started && job != nullptr) {
        if (!plat_assign_to_job(job, process->process) && jobError != nullptr) *jobError = plat_get_last_error();
        if (!plat_resume_thread(process->thread)) {
            // A child that cannot be let run is no use to anyone.
            createError = plat_get_last_error();
            plat_terminate_process(process->process, 0);
            plat_close_handle(process->thread);
            plat_close_handle(process->process);
            started = 0;
        }
    }
    plat_set_last_error(createError);
    return started;
}

}  // namespace

int StartProcess(char* commandLine, const char* currentDirectory, PlatProcessInfo* process,
                 PlatStartupInfo* startup, int inheritHandles, const char* pathLine, PlatHandle job,
                 uint32_t* jobError)
{
    if (jobError != nullptr) *jobError = 0;
    char* environment = plat_environment_block();
    if (DebugEnabled && environment != nullptr) {
        log_debug("\nPrinting environment variables (hopefully!!)\n");
        for (const char* entry = environment; *entry != '\0'; entry += strlen(entry) + 1) {
            // A variable of the Environment value may hold a secret.
            if (MaskedVariable(entry)) log_debug("%.*s=%s\n", (int)strcspn(entry, "="), entry, SECRET_MASK);
            else log_debug("%s\n", entry);
        }
    }

    // The override's value is what follows the first "=" of the line; a line
    // without one carries no value and so overrides nothing.  The temporary
    // PATH is in force both for the system's search for the program and as
    // the environment the child inherits.
    const char* equals = pathLine != nullptr ? strchr(pathLine, '=') : nullptr;
    PathOverride path;
    if (equals != nullptr && !apply_path_override(equals + 1, &path)) {
        plat_free_environment_block(environment);
        return 0;
    }

    startup->flags |= PLAT_STARTF_USESHOWWINDOW;
    startup->show_window = SW_HIDE_VALUE;
    int started = create_child(commandLine, currentDirectory, process, startup, inheritHandles, job, jobError);
    uint32_t createError = plat_get_last_error();

    plat_free_environment_block(environment);
    if (equals != nullptr) restore_path(&path);
    // The caller reports a failed start with the creation's own error code.
    plat_set_last_error(createError);
    return started;
}

uint32_t SendCtrlBreak(const PlatProcessInfo* process)
{
    // A console control event reaches only processes attached to the caller's
    // console.  A child may have a console of its own (when the wrapper runs
    // without one, as a service does), so the wrapper moves to the child's
    // console first; whether it had a console to leave does not matter.
    plat_free_console();
    plat_attach_console(process->process_id);
    // Every child is the root of its own process group, whose id is its pid.
    if (plat_send_ctrl_break(process->process_id)) return 0;

    uint32_t code = plat_get_last_error();
    char text[SYSTEM_MESSAGE_SIZE];
    SystemErrorText(code, text, sizeof text);
    log_always("Ctrl+Break could not be sent due to: %s\n", text);
    return code;
}
