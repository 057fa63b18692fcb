// The read ends this process keeps of the pipes that carry its children's
// output.
//
// An anonymous pipe's read end cannot be waited on for data.  The read end of
// a watchable pipe is a named pipe of this process's own, opened for
// overlapped I/O instead: a wait for output starts a one-byte read on it,
// whose event the system sets when a byte arrives or the writer has gone, and
// cancels that read when the wait ends for another reason.  (A read of no
// bytes, which would leave the data in the pipe, takes the data that arrives
// under Wine 8.)  A byte that such a read took is held in the pipe's record
// and comes first in the next peek and read, so the callers see the pipe's
// bytes as they were written.  The record lives behind the pointer the caller
// holds, as libuv keeps a pipe's read state in its handle.
#include <windows.h>

#include <stdio.h>

#include "common/platform.h"

struct PlatOutputPipe {
    HANDLE handle;      // the read end, private to this process
    int watchable;      // opened for overlapped I/O
    HANDLE event;       // manual reset; made at the first wait
    OVERLAPPED overlapped;
    char byte;          // what the last watch read took
    int held;           // whether byte waits to be read
    int pending;        // whether a watch read is under way
};

namespace {

SECURITY_ATTRIBUTES attributes(BOOL inheritable)
{
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof sa);
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = NULL;   // the default security of this process's token
    sa.bInheritHandle = inheritable;
    return sa;
}

// A named pipe of this process alone: the first instance, so that nobody can
// have made it beforehand, and one instance only, so that nobody can connect
// besides the child's end.
int make_watchable(HANDLE* r, HANDLE* w, DWORD buffer_size)
{
    static LONG counter = 0;
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\talvex-output.%lu.%lu", (unsigned long)GetCurrentProcessId(),
             (unsigned long)InterlockedIncrement(&counter));
    SECURITY_ATTRIBUTES kept = attributes(FALSE);
    SECURITY_ATTRIBUTES child = attributes(TRUE);
    *r = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, buffer_size,
                          0, &kept);
    if (*r == INVALID_HANDLE_VALUE) return 0;
    *w = CreateFileA(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &child, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (*w != INVALID_HANDLE_VALUE) return 1;
    DWORD error = GetLastError();
    CloseHandle(*r);
    SetLastError(error);
    return 0;
}

// An anonymous pipe whose read end no child inherits.
int make_ordinary(HANDLE* r, HANDLE* w, DWORD buffer_size)
{
    if (!plat_create_pipe((PlatHandle*)r, (PlatHandle*)w, buffer_size)) return 0;
    if (SetHandleInformation(*r, HANDLE_FLAG_INHERIT, 0)) return 1;
    DWORD error = GetLastError();
    CloseHandle(*r);
    CloseHandle(*w);
    SetLastError(error);
    return 0;
}

// Ends a watch read that is still under way, keeping the byte it may have
// taken in the meantime.
void settle_watch(PlatOutputPipe* p)
{
    if (!p->pending) return;
    DWORD got = 0;
    if (!GetOverlappedResult(p->handle, &p->overlapped, &got, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
        CancelIoEx(p->handle, &p->overlapped);
        got = 0;
        GetOverlappedResult(p->handle, &p->overlapped, &got, TRUE);
    }
    if (got == 1) p->held = 1;
    p->pending = 0;
}

// Starts an overlapped read into buf.  Returns 0 with the last error when it
// failed at once, else 1: under way or done, as GetOverlappedResult tells.
int start_read(PlatOutputPipe* p, void* buf, DWORD size)
{
    if (p->event == NULL && (p->event = CreateEventA(NULL, TRUE, FALSE, NULL)) == NULL) return 0;
    ZeroMemory(&p->overlapped, sizeof p->overlapped);
    p->overlapped.hEvent = p->event;
    return ReadFile(p->handle, buf, size, NULL, &p->overlapped) || GetLastError() == ERROR_IO_PENDING;
}

// Starts a watch read.  Returns 1 when it is under way, 0 when a byte is
// already there, -1 with the last error when the pipe cannot be watched (its
// writers gone, say): a wait that ended at once again and again would keep
// the caller busy.
int arm_watch(PlatOutputPipe* p)
{
    if (p->held) return 0;
    if (!start_read(p, &p->byte, 1)) return -1;
    DWORD got = 0;
    if (!GetOverlappedResult(p->handle, &p->overlapped, &got, FALSE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) return -1;
        p->pending = 1;
        return 1;
    }
    if (got != 1) {
        SetLastError(ERROR_NO_DATA);
        return -1;
    }
    p->held = 1;
    return 0;
}

// A read of bytes the pipe holds, waiting for its end.  An overlapped read
// here goes without an event, which the system would reset with a round trip
// to the Wine server of its own: the read completes on the handle itself.
BOOL read_now(PlatOutputPipe* p, void* buf, DWORD size, DWORD* got)
{
    *got = 0;
    if (!p->watchable) return ReadFile(p->handle, buf, size, got, NULL);
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    if (!ReadFile(p->handle, buf, size, NULL, &overlapped) && GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(p->handle, &overlapped, got, TRUE);
}

}  // namespace

int plat_output_pipe_create(PlatOutputPipe** read_end, PlatHandle* write_end, uint32_t buffer_size, int watchable)
{
    PlatOutputPipe* p = (PlatOutputPipe*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *p);
    if (p == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    HANDLE w = NULL;
    if (!(watchable ? make_watchable(&p->handle, &w, buffer_size) : make_ordinary(&p->handle, &w, buffer_size))) {
        DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, p);
        SetLastError(error);
        return 0;
    }
    p->watchable = watchable;
    *read_end = p;
    *write_end = (PlatHandle)w;
    return 1;
}

int plat_output_pipe_peek(PlatOutputPipe* p, uint32_t* available)
{
    settle_watch(p);
    DWORD count = 0;
    if (!PeekNamedPipe(p->handle, NULL, 0, NULL, &count, NULL)) {
        // A held byte is still there to read after the writer has gone.
        if (!p->held) return 0;
        count = 0;
    }
    *available = count + (p->held ? 1 : 0);
    return 1;
}

int plat_output_pipe_read(PlatOutputPipe* p, void* buf, uint32_t size, uint32_t* got)
{
    settle_watch(p);
    DWORD count = 0;
    *got = 0;
    char* bytes = (char*)buf;
    if (p->held && size > 0) {
        // The held byte comes first; the rest is read only when the pipe
        // reports more, so that the read never waits for bytes to come.
        bytes[0] = p->byte;
        p->held = 0;
        *got = 1;
        DWORD more = 0;
        if (size > 1 && PeekNamedPipe(p->handle, NULL, 0, NULL, &more, NULL) && more > 0 &&
            read_now(p, bytes + 1, more < size - 1 ? more : size - 1, &count))
            *got += count;
        return 1;
    }
    BOOL ok = read_now(p, buf, size, &count);
    *got = count;
    return ok ? 1 : 0;
}

int plat_output_pipe_take(PlatOutputPipe* p, void* buf, uint32_t size, uint32_t* got)
{
    *got = 0;
    settle_watch(p);
    if (!p->watchable || p->held) {
        // An ordinary pipe's read would wait for bytes to come, and a held
        // byte comes before the pipe's own.
        uint32_t available = 0;
        if (!plat_output_pipe_peek(p, &available)) return 0;
        if (available == 0 || size == 0) return 1;
        return plat_output_pipe_read(p, buf, available < size ? available : size, got);
    }
    // A read of a pipe that holds bytes ends at once with what is there.  One
    // that finds it empty stays under way and is cancelled; bytes that came
    // in the meantime are the read's all the same.
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    DWORD count = 0;
    if (!ReadFile(p->handle, buf, size, NULL, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        CancelIoEx(p->handle, &overlapped);
    }
    if (!GetOverlappedResult(p->handle, &overlapped, &count, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED)
        return 0;
    *got = count;
    return 1;
}

uint32_t plat_wait_output(PlatHandle process, PlatHandle event, PlatOutputPipe* const* pipes, uint32_t count,
                          uint32_t milliseconds)
{
    enum { MOST_PIPES = 4 };
    if (count > MOST_PIPES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PLAT_WAIT_FAILED;
    }
    // The pipes are armed in order until one cannot be: the armed ones are
    // the first n - 2, and handle 2 + i is pipe i's.
    PlatOutputPipe* armed[MOST_PIPES];
    HANDLE handles[2 + MOST_PIPES] = {(HANDLE)process, (HANDLE)event};
    DWORD n = 2;
    int failed = 0;
    int ready = -1;   // a pipe that has something to say already
    for (uint32_t i = 0; i < count; ++i) {
        PlatOutputPipe* p = pipes[i];
        if (!p->watchable) SetLastError(ERROR_INVALID_HANDLE);
        int started = p->watchable ? arm_watch(p) : -1;
        if (started < 0) {
            failed = 1;
            break;
        }
        if (started == 0) {
            ready = (int)i;
            break;
        }
        armed[n - 2] = p;
        handles[n++] = p->event;
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
