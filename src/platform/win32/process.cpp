// Anonymous pipes, child processes, waits, threads and events.
#include <windows.h>

#include <stdio.h>

#include "common/platform.h"

// A null descriptor gives a pipe the default security of this process's
// token: the owner and the system may use it, nobody else.  The handles
// themselves are inheritable; callers duplicate the end they keep into a
// private handle so that only the child's end reaches the child.
static SECURITY_ATTRIBUTES pipe_attributes(void)
{
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof sa);
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = TRUE;
    return sa;
}

int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{
    SECURITY_ATTRIBUTES sa = pipe_attributes();
    HANDLE r = NULL;
    HANDLE w = NULL;
    if (!CreatePipe(&r, &w, &sa, buffer_size)) return 0;
    *read_end = (PlatHandle)r;
    *write_end = (PlatHandle)w;
    return 1;
}

int plat_duplicate_private(PlatHandle source, PlatHandle* out)
{
    HANDLE self = GetCurrentProcess();
    HANDLE copy = NULL;
    if (!DuplicateHandle(self, (HANDLE)source, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return 0;
    *out = (PlatHandle)copy;
    return 1;
}

int plat_close_handle(PlatHandle handle)
{
    return CloseHandle((HANDLE)handle) ? 1 : 0;
}

int plat_peek_pipe(PlatHandle pipe, uint32_t* available)
{
    DWORD count = 0;
    if (!PeekNamedPipe((HANDLE)pipe, NULL, 0, NULL, &count, NULL)) return 0;
    *available = count;
    return 1;
}

int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written)
{
    DWORD count = 0;
    BOOL ok = WriteFile((HANDLE)h, buf, size, &count, NULL);
    *written = count;
    return ok ? 1 : 0;
}

int plat_pipe_nowait(PlatHandle pipe)
{
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    return SetNamedPipeHandleState((HANDLE)pipe, &mode, NULL, NULL) ? 1 : 0;
}

// Maps the seam's selectors to the system's, or 0 for an unknown one.
static DWORD std_handle_id(int which)
{
    switch (which) {
    case PLAT_STD_INPUT: return STD_INPUT_HANDLE;
    case PLAT_STD_OUTPUT: return STD_OUTPUT_HANDLE;
    case PLAT_STD_ERROR: return STD_ERROR_HANDLE;
    default: return 0;
    }
}

PlatHandle plat_get_std_handle(int which)
{
    DWORD id = std_handle_id(which);
    if (id == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PLAT_INVALID_HANDLE;
    }
    return (PlatHandle)GetStdHandle(id);
}

int plat_set_std_handle(int which, PlatHandle handle)
{
    DWORD id = std_handle_id(which);
    if (id == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return SetStdHandle(id, (HANDLE)handle) ? 1 : 0;
}

int plat_create_process(char* command_line, const char* current_directory, int inherit_handles,
                        uint32_t creation_flags, const PlatStartupInfo* startup,
                        PlatProcessInfo* process)
{
    // The size field tells the system which version of the record it gets;
    // it differs between 32-bit (68) and 64-bit (104) builds.
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (startup != NULL) {
        si.lpTitle = startup->title;
        si.dwFlags = startup->flags;
        si.wShowWindow = startup->show_window;
        si.hStdInput = (HANDLE)startup->std_input;
        si.hStdOutput = (HANDLE)startup->std_output;
        si.hStdError = (HANDLE)startup->std_error;
    }
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    process->process = NULL;
    process->thread = NULL;
    process->process_id = 0;
    process->thread_id = 0;
    // The command line must be writable: CreateProcessA may change it in
    // place while it splits off the program name.  A null environment hands
    // the child this process's environment as it is now.
    if (!CreateProcessA(NULL, command_line, NULL, NULL, inherit_handles ? TRUE : FALSE,
                        creation_flags, NULL, current_directory, &si, &pi)) {
        // Nothing may run between the failure and the return: the caller
        // reads the reason from the last error.
        return 0;
    }
    process->process = (PlatHandle)pi.hProcess;
    process->thread = (PlatHandle)pi.hThread;
    process->process_id = pi.dwProcessId;
    process->thread_id = pi.dwThreadId;
    return 1;
}

int plat_terminate_process(PlatHandle process, uint32_t exit_code)
{
    return TerminateProcess((HANDLE)process, exit_code) ? 1 : 0;
}

PlatHandle plat_create_kill_job(void)
{
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL) return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        DWORD error = GetLastError();
        CloseHandle(job);
        SetLastError(error);
        return NULL;
    }
    return (PlatHandle)job;
}

int plat_assign_to_job(PlatHandle job, PlatHandle process)
{
    return AssignProcessToJobObject((HANDLE)job, (HANDLE)process) ? 1 : 0;
}

int plat_resume_thread(PlatHandle thread)
{
    return ResumeThread((HANDLE)thread) != (DWORD)-1 ? 1 : 0;
}

int plat_process_exit_code(PlatHandle process, uint32_t* code)
{
    DWORD value = 0;
    if (!GetExitCodeProcess((HANDLE)process, &value)) return 0;
    *code = value;
    return 1;
}

uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds)
{
    return WaitForSingleObject((HANDLE)handle, milliseconds);
}

uint32_t plat_wait_either(PlatHandle first, PlatHandle second, uint32_t milliseconds)
{
    if (second == nullptr) return WaitForSingleObject((HANDLE)first, milliseconds);
    HANDLE both[2] = {(HANDLE)first, (HANDLE)second};
    return WaitForMultipleObjects(2, both, FALSE, milliseconds);
}

// A new thread's function and argument.  The system starts threads with the
// WINAPI convention and one argument, so each thread gets its own block that
// carries the logic's plain function to the trampoline, which frees it.  A
// block per thread (not a shared variable) keeps two threads created at the
// same moment from swapping their functions.
struct ThreadStart {
    PlatThreadFn fn;
    void* parameter;
};

static DWORD WINAPI thread_trampoline(LPVOID arg)
{
    ThreadStart start = *(ThreadStart*)arg;
    HeapFree(GetProcessHeap(), 0, arg);
    return start.fn(start.parameter);
}

PlatHandle plat_create_thread(PlatThreadFn fn, void* parameter)
{
    ThreadStart* start = (ThreadStart*)HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart));
    if (start == NULL) {
        // HeapAlloc does not set the last error unless asked to raise.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    start->fn = fn;
    start->parameter = parameter;
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, thread_trampoline, start, 0, &id);
    if (thread == NULL) {
        DWORD reason = GetLastError();
        HeapFree(GetProcessHeap(), 0, start);
        SetLastError(reason);
        return NULL;
    }
    return (PlatHandle)thread;
}

int plat_terminate_thread(PlatHandle thread, uint32_t exit_code)
{
    return TerminateThread((HANDLE)thread, exit_code) ? 1 : 0;
}

int plat_set_thread_priority(PlatHandle thread, int priority)
{
    return SetThreadPriority((HANDLE)thread, priority) ? 1 : 0;
}

PlatHandle plat_create_event(void)
{
    return (PlatHandle)CreateEventA(NULL, FALSE, FALSE, NULL);
}

int plat_set_event(PlatHandle event)
{
    return SetEvent((HANDLE)event) ? 1 : 0;
}

void plat_sleep(uint32_t milliseconds)
{
    Sleep(milliseconds);
}
