// The children's standard handles (see child_pipes.h).
#include "service/child_pipes.h"

#include "diag/event_log.h"
#include "diag/log_file.h"

namespace {

enum : uint32_t {
    // The buffer suggested for the pipes that carry the children's output.
    // With the system's default (about 4 KB under Wine) a child that writes
    // fast stops in every WriteFile until the supervisor's next poll; 1 MB
    // holds what a child writes at some 100 MB/s between two polls of a busy
    // child, so that it goes on while the supervisor copies.  The input
    // pipes carry a few bytes and keep the default.
    OUTPUT_PIPE_BUFFER_SIZE = 1048576,
};

// What a read of at most `want` bytes brought: no more than asked, the
// buffer NUL-terminated after it, every byte (a NUL among them too) copied
// to the log when that is asked for.
uint32_t keep_read(char* buffer, uint32_t got, uint32_t want, int copyToLog)
{
    if (got > want) got = want;
    buffer[got] = '\0';
    if (got != 0 && copyToLog) log_raw(buffer, got);
    return got;
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
    got = keep_read(buffer, got, want, copyToLog);
    // A read that failed or came back short leaves the count in doubt: the
    // next call looks again.
    *waiting = got == want ? *waiting - got : 0;
    return got;
}

size_t TakePipe(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog)
{
    if (size == 0) return 0;
    buffer[0] = '\0';
    if (size < 2) return 0;
    uint32_t want = size - 1 > UINT32_MAX ? UINT32_MAX : (uint32_t)(size - 1);
    uint32_t got = 0;
    if (!plat_output_pipe_take(pipe, buffer, want, &got)) got = 0;
    return keep_read(buffer, got, want, copyToLog);
}

int CreatePipes(Pipes* p, const char* serviceName)
{
    struct PipeStep {
        PlatOutputPipe** output;   // the kept read end of an output pipe, or null
        PlatHandle* kept;          // the kept write end of an input pipe
        PlatHandle* child;
        const char* failure;
    } const steps[] = {
        {&p->launcherOut, nullptr, &p->launcherOutChild, "initPipe for the Launchers STDOUT failed"},
        {&p->containerOut, nullptr, &p->containerOutChild, "initPipe for the Containers STDOUT failed"},
        {&p->launcherErr, nullptr, &p->launcherErrChild, "initPipe for the Launchers STDERR failed"},
        {&p->containerErr, nullptr, &p->containerErrChild, "initPipe for the Containers STDERR failed"},
        {nullptr, &p->launcherIn, &p->launcherInChild, "initInputPipe for the Launchers STDIN failed"},
        {nullptr, &p->containerIn, &p->containerInChild, "initInputPipe for the Containers STDIN failed"},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        // The process's own standard handles are saved before the pipes that
        // stand in for them, so that they can be put back after each launch.
        if (i == 0) p->savedStdOut = plat_get_std_handle(PLAT_STD_OUTPUT);
        if (i == 2) p->savedStdErr = plat_get_std_handle(PLAT_STD_ERROR);
        int made = steps[i].output != nullptr ? initPipe(steps[i].output, steps[i].child)
                                              : initInputPipe(steps[i].child, steps[i].kept);
        if (!made) {
            LogServiceEvent(serviceName, steps[i].failure, EVENT_WARNING);
            return 0;
        }
    }
    return 1;
}
