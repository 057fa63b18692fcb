// Pipes, child processes, the input flusher thread, the shutdown command and
// the exit script: the ways the supervisor talks to its two children and to
// the system around them.
#include "service/child_process.h"

#include <string.h>

#include <mutex>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"

namespace {

enum : uint32_t {
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ENVVAR_NOT_FOUND = 203,
    SW_HIDE_VALUE = 0,
    // The buffer suggested for the pipes that carry the children's output.
    // With the system's default (about 4 KB under Wine) a child that writes
    // fast stops in every WriteFile until the supervisor's next poll; 1 MB
    // holds what a child writes at some 100 MB/s between two polls of a busy
    // child, so that it goes on while the supervisor copies.  The input
    // pipes carry a few bytes and keep the default.
    OUTPUT_PIPE_BUFFER_SIZE = 1048576,
};

const char SHUTDOWN_COMMAND[] = "shutdown\n";
const uint32_t SHUTDOWN_COMMAND_LENGTH = sizeof SHUTDOWN_COMMAND - 1;

// The container's standard input is written by two threads: the flusher's
// keep-alive newlines and the supervisor's "shutdown\n".  Its pipe does not
// wait, so a write may take only part of a message when the container has
// stopped reading; the rest of "shutdown\n" follows at the next polls, and
// the lock keeps a newline from landing in between.  ShutdownWritten is how
// much of the command is through while one is on its way; InputWritten how
// many bytes have gone into the pipe since it was last emptied, from which
// the stall watch tells how many the container has read.
std::mutex InputLock;
int ShutdownOnItsWay = 0;
uint32_t ShutdownWritten = 0;
uint64_t InputWritten = 0;

enum : uint32_t {
    // The container's input pipe keeps the system's default buffer (4 KB
    // under Wine); what is left in it is read out in pieces of this size.
    INPUT_DISCARD_SIZE = 4096,
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

int initPipe(PlatOutputPipe** keptRead, PlatHandle* childWrite)
{
    // The supervisor of a quiet container waits on its output pipes, which
    // need a read end that can be waited on; an ordinary pipe will do when
    // one cannot be made, and is looked into every few seconds instead.
    *keptRead = nullptr;
    *childWrite = PLAT_INVALID_HANDLE;
    return plat_output_pipe_create(keptRead, childWrite, OUTPUT_PIPE_BUFFER_SIZE, 1) ||
           plat_output_pipe_create(keptRead, childWrite, OUTPUT_PIPE_BUFFER_SIZE, 0);
}

int initInputPipe(PlatHandle* childRead, PlatHandle* keptWrite)
{
    PlatHandle readEnd = PLAT_INVALID_HANDLE;
    PlatHandle writeEnd = PLAT_INVALID_HANDLE;
    *childRead = PLAT_INVALID_HANDLE;
    *keptWrite = PLAT_INVALID_HANDLE;
    if (!plat_create_pipe(&readEnd, &writeEnd, 0)) return 0;
    // Both ends of a new pipe are inheritable; the wrapper keeps a private
    // copy of its end, which a child started later with handle inheritance
    // would otherwise receive as well.  A write to a child's input must never
    // wait for the child to read: a hung JVM that leaves its input unread
    // would stop whoever writes.
    int kept = plat_duplicate_private(writeEnd, keptWrite);
    if (kept && !plat_pipe_nowait(*keptWrite)) {
        kept = 0;
        uint32_t error = plat_get_last_error();
        plat_close_handle(*keptWrite);
        plat_set_last_error(error);
    }
    uint32_t error = plat_get_last_error();
    plat_close_handle(writeEnd);
    if (!kept) {
        // Nothing half-made stays open: the caller gets neither end.
        plat_close_handle(readEnd);
        *keptWrite = PLAT_INVALID_HANDLE;
        plat_set_last_error(error);
        return 0;
    }
    *childRead = readEnd;
    return 1;
}

size_t DrainPipe(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog)
{
    uint32_t waiting = 0;
    return DrainPipeCounted(pipe, buffer, size, copyToLog, &waiting);
}

size_t DrainPipeCounted(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog, uint32_t* waiting)
{
    if (size == 0) return 0;
    buffer[0] = '\0';
    if (size < 2) return 0;

    // Only what the pipe already holds is read, so the call never blocks
    // whether the child is silent, busy or gone.  Bytes that an earlier look
    // of the same drain found and that are still unread are there for
    // certain: the kept end has no other reader.  Under Wine every look is a
    // round trip to the server, as costly as the read itself.
    if (*waiting == 0) {
        uint32_t available = 0;
        if (!plat_output_pipe_peek(pipe, &available)) return 0;
        *waiting = available;
    }
    if (*waiting == 0) return 0;
    uint32_t want = *waiting;
    if ((size_t)want > size - 1) want = (uint32_t)(size - 1);

    uint32_t got = 0;
    if (!plat_output_pipe_read(pipe, buffer, want, &got)) got = 0;
    if (got > want) got = want;
    buffer[got] = '\0';
    // A read that failed or came back short leaves the count in doubt: the
    // next call looks again.
    *waiting = got == want ? *waiting - got : 0;
    if (got == 0) return 0;
    // Every byte goes to the log, a NUL among them too.
    if (copyToLog) log_raw(buffer, got);
    return got;
}

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
        path->wasSet = length != 0 || plat_get_last_error() != ERROR_ENVVAR_NOT_FOUND;
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
        for (const char* entry = environment; *entry != '\0'; entry += strlen(entry) + 1)
            log_debug("%s\n", entry);
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

uint32_t InputFlusherThread(void* parameter)
{
    FlusherBlock* block = (FlusherBlock*)parameter;
    log_always("NT Service starting input flusher thread\n");
    while (block->stop == 0) {
        {
            // A newline that does not fit is skipped; none goes in between
            // the parts of a shutdown command that is on its way.
            std::lock_guard<std::mutex> guard(InputLock);
            uint32_t written = 0;
            if (!ShutdownOnItsWay && plat_write_file(block->input, "\n", 1, &written) && written <= 1)
                InputWritten += written;
        }
        // The supervisor sets the wake event right after the stop flag, so a
        // stop ends the wait at once instead of after a whole interval.  A
        // wait that fails at once would turn this loop into a busy writer;
        // it sleeps the interval instead.
        if (block->wake == nullptr || plat_wait(block->wake, FLUSH_INTERVAL_MS) == PLAT_WAIT_FAILED)
            plat_sleep(FLUSH_INTERVAL_MS);
    }
    log_always("NT Service exiting input flusher thread\n");
    return 0;
}

void ResetShutdownCommand(void)
{
    std::lock_guard<std::mutex> guard(InputLock);
    ShutdownOnItsWay = 0;
    InputWritten = 0;
}

int SendShutdownCommand(PlatHandle containerInput)
{
    std::lock_guard<std::mutex> guard(InputLock);
    int starting = !ShutdownOnItsWay;
    if (starting) {
        log_debug("DEBUG: stop service initiated\n");
        ShutdownOnItsWay = 1;
        ShutdownWritten = 0;
    }
    uint32_t written = 0;
    uint32_t rest = SHUTDOWN_COMMAND_LENGTH - ShutdownWritten;
    if (plat_write_file(containerInput, SHUTDOWN_COMMAND + ShutdownWritten, rest, &written) && written <= rest) {
        ShutdownWritten += written;
        InputWritten += written;
    }
    int complete = ShutdownWritten == SHUTDOWN_COMMAND_LENGTH;
    if (complete) {
        ShutdownOnItsWay = 0;
        log_debug("DEBUG: shutdown written\n");
    }
    if (starting) log_debug("DEBUG: stop service ended\n");
    return complete;
}

int LookAtContainerInput(PlatHandle childEnd, uint32_t* unread, uint64_t* read)
{
    // The count and the look are taken together: a newline written between
    // them would make a container that read nothing look like one that read.
    std::lock_guard<std::mutex> guard(InputLock);
    if (!plat_peek_pipe(childEnd, unread)) return 0;
    *read = InputWritten > *unread ? InputWritten - *unread : 0;
    return 1;
}

void DiscardContainerInput(PlatHandle childEnd)
{
    // Nobody else reads the pipe now and nobody writes it: what the peek
    // finds can be read without waiting.
    std::lock_guard<std::mutex> guard(InputLock);
    char stale[INPUT_DISCARD_SIZE];
    uint32_t available = 0;
    while (plat_peek_pipe(childEnd, &available) && available > 0) {
        uint32_t got = 0;
        uint32_t want = available < sizeof stale ? available : (uint32_t)sizeof stale;
        if (!plat_read_file(childEnd, stale, want, &got) || got == 0) break;
    }
    InputWritten = 0;
}

void RunExitScript(const char* serviceName, const char* workingDirectory)
{
    if (!PathExists("exit.bat", workingDirectory)) {
        // Only "not there" means that there is no script.  Any other answer
        // (access denied, a bad path) hides a script that was meant to run.
        uint32_t error = plat_get_last_error();
        if (error == PLAT_ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        char reason[SYSTEM_MESSAGE_SIZE];
        char text[SYSTEM_MESSAGE_SIZE + 64];
        SystemErrorText(error, reason, sizeof reason);
        text_format(text, sizeof text, "exit.bat could not be looked for - %s", reason);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return;
    }

    // "cmd /c exit.bat" would not run the file: cmd splits a command name at
    // its first dot and takes "exit" for its own EXIT built-in.  "call" makes
    // cmd look the name up as a file, found in the current directory.  The
    // system's own cmd.exe is named by its full path: by a bare name Windows
    // would look in talvex.exe's folder first, where a planted one could run
    // as the service's account.
    char system[PATH_TEXT_SIZE];
    char commandLine[PATH_TEXT_SIZE + 32];
    uint32_t length = plat_system_directory(system, sizeof system);
    if (length == 0 || length >= sizeof system) {
        if (length != 0) plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
        char text[SYSTEM_MESSAGE_SIZE];
        SystemErrorText(plat_get_last_error(), text, sizeof text);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return;
    }
    text_format(commandLine, sizeof commandLine, "\"%s\\cmd.exe\" /c call exit.bat", system);
    PlatStartupInfo startup;
    PlatProcessInfo process;
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    // The script is meant to outlive the service: it runs in no job.
    if (StartProcess(commandLine, workingDirectory, &process, &startup, 0, nullptr, nullptr, nullptr)) {
        // The script runs on its own; nobody waits for it or reads its end.
        plat_close_handle(process.thread);
        plat_close_handle(process.process);
        return;
    }
    char text[SYSTEM_MESSAGE_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    LogServiceEvent(serviceName, text, EVENT_ERROR);
}
