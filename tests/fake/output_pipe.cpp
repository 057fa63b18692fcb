// The read end of a child's output pipe: an ordinary pipe of the fake's
// behind the record, watchable or not as it was made.
#include "fake/state.h"

int plat_output_pipe_create(PlatOutputPipe** read_end, PlatHandle* write_end, uint32_t buffer_size, int watchable)
{
    if (fails(watchable ? "CreateNamedPipeA" : "CreatePipe")) return 0;
    PlatHandle r;
    make_pipe(&r, write_end, buffer_size, watchable != 0);
    object(r)->inheritable = false;
    S.output_pipes.push_back(PlatOutputPipe{r});
    *read_end = &S.output_pipes.back();
    return 1;
}


int plat_output_pipe_peek(PlatOutputPipe* pipe, uint32_t* available) { return plat_peek_pipe(pipe->handle, available); }

int plat_output_pipe_read(PlatOutputPipe* pipe, void* buf, uint32_t size, uint32_t* got)
{
    if (fails("ReadFile")) return 0;
    Pipe& p = S.pipes[object(pipe->handle)->id];
    if (p.data.empty()) {
        fprintf(stderr, "fake: a read of an empty pipe would block the wrapper for good\n");
        abort();
    }
    *got = (uint32_t)std::min<size_t>(size, p.data.size());
    memcpy(buf, p.data.data(), *got);
    p.data.erase(0, *got);
    if (!p.refill.empty()) {
        p.refills_now = p.refill_ms == S.now ? p.refills_now + 1 : 1;
        p.refill_ms = S.now;
        if (p.refills_now > 100000) {
            fprintf(stderr, "fake: the wrapper read a child's output 100000 times without waiting\n");
            abort();
        }
        p.data += p.refill;
    }
    return 1;
}

int plat_output_pipe_take(PlatOutputPipe* pipe, void* buf, uint32_t size, uint32_t* got)
{
    *got = 0;
    S.largest_take = std::max(S.largest_take, size);
    const Pipe& p = S.pipes[object(pipe->handle)->id];
    // As the system's: an ordinary pipe is looked into first; a watchable
    // one is read at once, which finds it empty or takes what it holds.
    uint32_t available = 0;
    if (!p.watchable && !plat_peek_pipe(pipe->handle, &available)) return 0;
    if (p.data.empty() || size == 0) {
        if (fails("ReadFile")) return 0;
        if (p.writers == 0) return last_error = PLAT_ERROR_BROKEN_PIPE, 0;
        return 1;
    }
    return plat_output_pipe_read(pipe, buf, size, got);
}

uint32_t plat_wait_output(PlatHandle process, PlatHandle event, PlatOutputPipe* const* pipes, uint32_t count,
                          uint32_t milliseconds)
{
    if (fails("WaitForMultipleObjects")) return PLAT_WAIT_FAILED;
    std::vector<PlatHandle> handles = {process, event};
    for (uint32_t i = 0; i < count; ++i) {
        Object* o = object(pipes[i]->handle);
        if (o != nullptr && o->kind == PIPE_READ && S.pipes[o->id].data.empty() && S.pipes[o->id].writers == 0)
            return last_error = PLAT_ERROR_BROKEN_PIPE, PLAT_WAIT_FAILED;
        handles.push_back(pipes[i]->handle);
    }
    return wait_objects(handles, milliseconds);
}
