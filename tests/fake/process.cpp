// Pipes, processes, threads and events.  A wait moves the clock from one due
// step or request to the next until the object is signalled or the time is
// up; a thread's body runs, to its end, when it is waited on.
#include "fake/state.h"

int fake::make_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size, bool watchable)
{
    S.pipes.emplace_back();
    S.pipes.back().watchable = watchable;
    S.pipes.back().capacity = buffer_size == 0 ? 4096 : SIZE_MAX / 2;
    *read_end = new_handle(PIPE_READ, (int)S.pipes.size() - 1, true);
    *write_end = new_handle(PIPE_WRITE, (int)S.pipes.size() - 1, true);
    return 1;
}

// An event that ends the wait is reset by it; the read end of a watchable
// pipe is signalled while it holds data.
uint32_t fake::wait_objects(std::vector<PlatHandle> handles, uint32_t milliseconds)
{
    std::vector<Object*> o;
    for (PlatHandle h : handles) {
        o.push_back(object(h));
        if (o.back() == nullptr || (o.back()->kind == PIPE_READ && !S.pipes[o.back()->id].watchable))
            return last_error = PLAT_ERROR_INVALID_HANDLE, PLAT_WAIT_FAILED;
    }
    if (o[0]->kind == THREAD && o[0]->id >= 0) {
        Thread& t = S.threads[o[0]->id];
        if (!t.ended) t.ended = true, t.fn(t.parameter);
        return PLAT_WAIT_OBJECT_0;
    }
    auto signalled = [&o]() -> int {
        for (size_t i = 0; i < o.size(); ++i) {
            if (o[i]->kind == PROCESS && S.children[o[i]->id].ended) return (int)i;
            if (o[i]->kind == EVENT && S.events[o[i]->id]) return S.events[o[i]->id] = false, (int)i;
            if (o[i]->kind == PIPE_READ && !S.pipes[o[i]->id].data.empty()) return (int)i;
        }
        return -1;
    };
    // A run that waits again and again while no time passes spins: it would
    // never end on the real system's clock either.
    S.waits_at_instant = S.now == S.instant ? S.waits_at_instant + 1 : 0;
    S.instant = S.now;
    if (S.waits_at_instant > 100000) {
        fprintf(stderr, "fake: 100,000 waits at one instant: the run spins\n");
        abort();
    }
    uint64_t deadline = milliseconds == 0xFFFFFFFFu ? TIME_CAP_MS : S.now + milliseconds;
    int which;
    while ((which = signalled()) < 0)
        if (!run_next_timer(deadline)) {
            if (milliseconds == 0xFFFFFFFFu) return last_error = 1460, PLAT_WAIT_FAILED;   // ERROR_TIMEOUT
            advance_to(deadline);
            return PLAT_WAIT_TIMEOUT;
        }
    return PLAT_WAIT_OBJECT_0 + (uint32_t)which;
}

int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{
    return fails("CreatePipe") ? 0 : make_pipe(read_end, write_end, buffer_size, false);
}

int plat_duplicate_private(PlatHandle source, PlatHandle* out)
{
    if (fails("DuplicateHandle")) return 0;
    Object o = *object(source);
    (o.kind == PIPE_READ ? S.pipes[o.id].readers : S.pipes[o.id].writers)++;
    *out = new_handle(o.kind, o.id, false);
    return 1;
}

int plat_close_handle(PlatHandle handle)
{
    if (fails("CloseHandle")) return 0;
    Object* o = object(handle);
    if (o == nullptr) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    if (o->kind == PIPE_READ) S.pipes[o->id].readers--;
    if (o->kind == PIPE_WRITE) S.pipes[o->id].writers--;
    int job = o->kind == JOB ? o->id : -1;
    S.handles.erase((uintptr_t)handle);
    for (Child& child : S.children)
        if (job >= 0 && child.job == job && !child.ended) note("job %d ends child %u", job, child.pid), child_end(child, 1);
    return 1;
}

int plat_peek_pipe(PlatHandle pipe, uint32_t* available)
{
    if (fails("PeekNamedPipe")) return 0;
    Pipe& p = S.pipes[object(pipe)->id];
    if (p.data.empty() && p.writers == 0) return last_error = PLAT_ERROR_BROKEN_PIPE, 0;
    *available = (uint32_t)p.data.size();
    return 1;
}

int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written)
{
    if (fails("WriteFile")) return 0;
    if (object(h)->kind == FILE_OUT) return write_to_disk(object(h)->path, buf, size, written);
    Pipe& p = S.pipes[object(h)->id];
    if (p.readers == 0) return last_error = ERROR_NO_DATA, 0;
    *written = (uint32_t)std::min<size_t>(size, p.capacity - p.data.size());
    if (*written < size && !object(h)->nowait) {
        fprintf(stderr, "fake: a write to a full pipe would block the writer for good\n");
        abort();
    }
    p.data.append((const char*)buf, *written);
    if (p.reader_child >= 0 && *written > 0) {
        note("stdin of child %u %s", S.children[p.reader_child].pid, quoted(std::string((const char*)buf, *written)).c_str());
        child_read(p.reader_child);
    }
    return 1;
}

int plat_pipe_nowait(PlatHandle pipe) { return fails("SetNamedPipeHandleState") ? 0 : (object(pipe)->nowait = true, 1); }

PlatHandle plat_get_std_handle(int which) { return fails("GetStdHandle") ? PLAT_INVALID_HANDLE : S.std_handles[which]; }
int plat_set_std_handle(int which, PlatHandle h) { return fails("SetStdHandle") ? 0 : (S.std_handles[which] = h, 1); }

int plat_create_process(char* command_line, const char* current_directory, int inherit_handles,
                        uint32_t creation_flags, const PlatStartupInfo* startup, PlatProcessInfo* process)
{
    if (fails("CreateProcessA")) return 0;
    int index = (int)S.children.size();
    S.children.emplace_back();
    Child& child = S.children.back();
    child.pid = 1000 + 4 * (uint32_t)index;
    child.script = script_for(command_line);
    PlatHandle ends[3] = {startup->std_input, startup->std_output, startup->std_error};
    int* pipes[3] = {&child.in, &child.out, &child.err};
    for (int i = 0; i < 3 && inherit_handles && (startup->flags & PLAT_STARTF_USESTDHANDLES); ++i) {
        Object* o = object(ends[i]);
        if (o == nullptr || !o->inheritable || o->kind > PIPE_WRITE) continue;
        *pipes[i] = o->id;
        if (i == 0) S.pipes[o->id].readers++, S.pipes[o->id].reader_child = index;
        else S.pipes[o->id].writers++;
    }
    for (const FakeStep& step : child.script)
        child.reads |= step.kind == FakeStep::ANSWER_LINE || (step.kind == FakeStep::READ && step.ms == 0);
    note("child %u started", child.pid);
    char details[16384];
    snprintf(details, sizeof details, "%s dir=%s PATH=%s flags=0x%x startup=0x%x/%u title=%d inherit=%d\n",
             quoted(command_line).c_str(), current_directory != nullptr ? current_directory : "(none)",
             fake_get_env("PATH").c_str(), creation_flags, startup->flags, startup->show_window,
             startup->title == command_line, inherit_handles);
    S.child_details += details;
    child.suspended = (creation_flags & PLAT_CREATE_SUSPENDED) != 0;
    if (!child.suspended) child_start(index);
    process->process = new_handle(PROCESS, index, false);
    process->thread = new_handle(THREAD, -1 - index, false);
    process->process_id = child.pid;
    process->thread_id = child.pid + 1;
    return 1;
}

std::string fake_child_details() { return S.child_details; }

int plat_terminate_process(PlatHandle process, uint32_t exit_code)
{
    if (fails("TerminateProcess")) return 0;
    Child* child = child_of(process);
    if (child == nullptr || child->ended) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    note("terminate child %u", child->pid);
    child_end(*child, exit_code);
    return 1;
}

PlatHandle plat_create_kill_job(void) { return fails("CreateJobObjectA") ? nullptr : new_handle(JOB, S.jobs++, false); }

int plat_assign_to_job(PlatHandle job, PlatHandle process)
{
    if (fails("AssignProcessToJobObject")) return 0;
    child_of(process)->job = object(job)->id;
    note("child %u in job %d", child_of(process)->pid, object(job)->id);
    return 1;
}

int plat_resume_thread(PlatHandle thread)
{
    if (fails("ResumeThread")) return 0;
    Child& child = S.children[-1 - object(thread)->id];
    if (child.suspended) child.suspended = false, child_start(-1 - object(thread)->id);
    return 1;
}

int plat_process_exit_code(PlatHandle process, uint32_t* code)
{
    return fails("GetExitCodeProcess") ? 0 : (*code = child_of(process)->code, 1);
}

uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds)
{
    return fails("WaitForSingleObject") ? PLAT_WAIT_FAILED : wait_objects({handle}, milliseconds);
}

uint32_t plat_wait_either(PlatHandle first, PlatHandle second, uint32_t milliseconds)
{
    if (second == nullptr) return plat_wait(first, milliseconds);
    return fails("WaitForMultipleObjects") ? PLAT_WAIT_FAILED : wait_objects({first, second}, milliseconds);
}

PlatHandle plat_create_thread(PlatThreadFn fn, void* parameter)
{
    if (fails("CreateThread")) return nullptr;
    S.threads.push_back(Thread{fn, parameter, false});
    return new_handle(THREAD, (int)S.threads.size() - 1, false);
}

int plat_terminate_thread(PlatHandle thread, uint32_t exit_code)
{
    return fails("TerminateThread") ? 0 : (S.threads[object(thread)->id].ended = true, 1);
}

int plat_set_thread_priority(PlatHandle thread, int priority)
{
    return fails("SetThreadPriority") ? 0 : (note("thread %d priority %d", object(thread)->id, priority), 1);
}

PlatHandle plat_create_event(void)
{
    if (fails("CreateEventA")) return nullptr;
    S.events.push_back(false);
    return new_handle(EVENT, (int)S.events.size() - 1, false);
}

int plat_set_event(PlatHandle event) { return fails("SetEvent") ? 0 : (S.events[object(event)->id] = true, 1); }
void plat_sleep(uint32_t milliseconds) { (void)fails("Sleep"), advance_to(S.now + milliseconds); }
