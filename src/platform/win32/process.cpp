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

// --- watchable read ends ----------------------------------------------------------
//
// A pipe's read end cannot be waited on for data.  The read end of a
// watchable pipe is opened for overlapped I/O instead: a wait for output
// starts a one-byte read on it, whose event the system sets when a byte
// arrives or the writer has gone, and cancels that read when the wait ends
// for another reason.  (A read of no bytes, which would leave the data in the
// pipe, takes the data that arrives under Wine 8.)  A byte that such
// a read took is held here and comes first in the next peek and read, so the
// callers see the pipe's bytes as they were written.  Each read end and each
// duplicate of one has a slot; a handle without a slot is an ordinary pipe.

namespace {

enum { WATCH_SLOTS = 16 };

struct Watch {
    HANDLE handle;      // null: the slot is free
    HANDLE event;       // manual reset; made at the first wait
    OVERLAPPED overlapped;
    char byte;          // what the last watch read took
    int held;           // whether byte waits to be read
    int pending;        // whether a watch read is under way
};

Watch Watches[WATCH_SLOTS];

Watch* watch_of(HANDLE handle)
{
    if (handle == NULL) return NULL;
    for (Watch& w : Watches)
        if (w.handle == handle) return &w;
    return NULL;
}

int add_watch(HANDLE handle)
{
    for (Watch& w : Watches) {
        if (w.handle != NULL) continue;
        ZeroMemory(&w, sizeof w);
        w.handle = handle;
        return 1;
    }
    return 0;
}

// Ends a watch read that is still under way, keeping the byte it may have
// taken in the meantime.
void settle_watch(Watch* w)
{
    if (!w->pending) return;
    DWORD got = 0;
    if (!GetOverlappedResult(w->handle, &w->overlapped, &got, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
        CancelIoEx(w->handle, &w->overlapped);
        got = 0;
        GetOverlappedResult(w->handle, &w->overlapped, &got, TRUE);
    }
    if (got == 1) w->held = 1;
    w->pending = 0;
}

// Starts an overlapped read into buf.  Returns 0 with the last error when it
// failed at once, else 1: under way or done, as GetOverlappedResult tells.
int start_read(Watch* w, void* buf, DWORD size)
{
    if (w->event == NULL && (w->event = CreateEventA(NULL, TRUE, FALSE, NULL)) == NULL) return 0;
    ZeroMemory(&w->overlapped, sizeof w->overlapped);
    w->overlapped.hEvent = w->event;
    return ReadFile(w->handle, buf, size, NULL, &w->overlapped) || GetLastError() == ERROR_IO_PENDING;
}

// Starts a watch read.  Returns 1 when it is under way, 0 when a byte is
// already there, -1 with the last error when the pipe cannot be watched (its
// writers gone, say): a wait that ended at once again and again would keep
// the caller busy.
int arm_watch(Watch* w)
{
    if (w->held) return 0;
    if (!start_read(w, &w->byte, 1)) return -1;
    DWORD got = 0;
    if (!GetOverlappedResult(w->handle, &w->overlapped, &got, FALSE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) return -1;
        w->pending = 1;
        return 1;
    }
    if (got != 1) {
        SetLastError(ERROR_NO_DATA);
        return -1;
    }
    w->held = 1;
    return 0;
}

// A read through a handle opened for overlapped I/O, waiting for its end.
BOOL overlapped_read(Watch* w, void* buf, DWORD size, DWORD* got)
{
    *got = 0;
    return start_read(w, buf, size) && GetOverlappedResult(w->handle, &w->overlapped, got, TRUE);
}

}  // namespace

int plat_create_watchable_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{
    // A name of this process alone; the first instance, so that nobody can
    // have made it beforehand, and one instance only, so that nobody can
    // connect besides the child's end.
    static LONG counter = 0;
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\talvex-output.%lu.%lu", (unsigned long)GetCurrentProcessId(),
             (unsigned long)InterlockedIncrement(&counter));
    SECURITY_ATTRIBUTES sa = pipe_attributes();
    HANDLE r = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                buffer_size, 0, &sa);
    if (r == INVALID_HANDLE_VALUE) return 0;
    HANDLE w = CreateFileA(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &sa, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           NULL);
    if (w == INVALID_HANDLE_VALUE || !add_watch(r)) {
        DWORD error = w == INVALID_HANDLE_VALUE ? GetLastError() : (DWORD)ERROR_TOO_MANY_OPEN_FILES;
        if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
        CloseHandle(r);
        SetLastError(error);
        return 0;
    }
    *read_end = (PlatHandle)r;
    *write_end = (PlatHandle)w;
    return 1;
}

int plat_duplicate_private(PlatHandle source, PlatHandle* out)
{
    HANDLE self = GetCurrentProcess();
    HANDLE copy = NULL;
    if (!DuplicateHandle(self, (HANDLE)source, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return 0;
    // The copy of a watchable read end is one as well.
    if (watch_of((HANDLE)source) != NULL && !add_watch(copy)) {
        CloseHandle(copy);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return 0;
    }
    *out = (PlatHandle)copy;
    return 1;
}

int plat_close_handle(PlatHandle handle)
{
    Watch* w = watch_of((HANDLE)handle);
    if (w != NULL) {
        settle_watch(w);
        if (w->event != NULL) CloseHandle(w->event);
        ZeroMemory(w, sizeof *w);
    }
    return CloseHandle((HANDLE)handle) ? 1 : 0;
}

int plat_peek_pipe(PlatHandle pipe, uint32_t* available)
{
    Watch* w = watch_of((HANDLE)pipe);
    if (w != NULL) settle_watch(w);
    DWORD count = 0;
    if (!PeekNamedPipe((HANDLE)pipe, NULL, 0, NULL, &count, NULL)) {
        // A held byte is still there to read after the writer has gone.
        if (w == NULL || !w->held) return 0;
        count = 0;
    }
    *available = count + (w != NULL && w->held ? 1 : 0);
    return 1;
}

int plat_read_file(PlatHandle h, void* buf, uint32_t size, uint32_t* got)
{
    Watch* w = watch_of((HANDLE)h);
    DWORD count = 0;
    if (w == NULL) {
        BOOL ok = ReadFile((HANDLE)h, buf, size, &count, NULL);
        *got = count;
        return ok ? 1 : 0;
    }
    settle_watch(w);
    *got = 0;
    char* bytes = (char*)buf;
    if (w->held && size > 0) {
        // The held byte comes first; the rest is read only when the pipe
        // reports more, so that the read never waits for bytes to come.
        bytes[0] = w->byte;
        w->held = 0;
        *got = 1;
        DWORD more = 0;
        if (size > 1 && PeekNamedPipe((HANDLE)h, NULL, 0, NULL, &more, NULL) && more > 0 &&
            overlapped_read(w, bytes + 1, more < size - 1 ? more : size - 1, &count))
            *got += count;
        return 1;
    }
    BOOL ok = overlapped_read(w, buf, size, &count);
    *got = count;
    return ok ? 1 : 0;
}

uint32_t plat_wait_output(PlatHandle process, PlatHandle event, const PlatHandle* pipes, uint32_t count,
                          uint32_t milliseconds)
{
    enum { MOST_PIPES = 4 };
    if (count > MOST_PIPES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PLAT_WAIT_FAILED;
    }
    // The pipes are armed in order until one cannot be: the armed ones are
    // the first n - 2, and handle 2 + i is pipe i's.
    Watch* armed[MOST_PIPES];
    HANDLE handles[2 + MOST_PIPES] = {(HANDLE)process, (HANDLE)event};
    DWORD n = 2;
    int failed = 0;
    int ready = -1;   // a pipe that has something to say already
    for (uint32_t i = 0; i < count; ++i) {
        Watch* w = watch_of((HANDLE)pipes[i]);
        if (w == NULL) SetLastError(ERROR_INVALID_HANDLE);
        int started = w != NULL ? arm_watch(w) : -1;
        if (started < 0) {
            failed = 1;
            break;
        }
        if (started == 0) {
            ready = (int)i;
            break;
        }
        armed[n - 2] = w;
        handles[n++] = w->event;
    }
    uint32_t result = PLAT_WAIT_FAILED;
    DWORD error = failed ? GetLastError() : 0;
    if (ready >= 0) {
        result = PLAT_WAIT_OBJECT_0 + 2 + (uint32_t)ready;
    } else if (!failed) {
        DWORD which = WaitForMultipleObjects(n, handles, FALSE, milliseconds);
        error = GetLastError();
        if (which == WAIT_TIMEOUT) result = PLAT_WAIT_TIMEOUT;
        else if (which < WAIT_OBJECT_0 + n) result = PLAT_WAIT_OBJECT_0 + which;
    }
    // Nothing stays under way once the wait is over: the next read finds the
    // pipe's bytes in order.
    for (DWORD k = 0; k + 2 < n; ++k) settle_watch(armed[k]);
    SetLastError(error);
    return result;
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
