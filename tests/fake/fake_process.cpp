// In-memory platform: pipes, scripted child processes, threads, events, the
// environment, standard handles and the console.  See fake_process.h for the
// rules it follows.
#include "fake/fake_process.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>

#include "fake/fake_core.h"

namespace {

enum : uint32_t {
    ERROR_NO_DATA = 232,
    ERROR_ENVVAR_NOT_FOUND = 203,
    ERROR_TIMEOUT = 1460,
    STARTF_USESTDHANDLES = 0x100,
};

enum class Kind { PipeRead, PipeWrite, Process, ProcessThread, Thread, Event, Std };

struct HandleEntry {
    Kind kind;
    size_t object;      // index into the table of its kind
    bool inheritable;
};

struct Pipe {
    std::string queue;
    std::string history;
    uint32_t buffer_size = 0;
    int readers = 0;    // open read ends: wrapper handles and children holding one
    int writers = 0;
};

struct Thread {
    PlatHandle handle = nullptr;
    PlatThreadFn fn = nullptr;
    void* parameter = nullptr;
    bool ran = false;
    bool running = false;
    bool ended = false;
    bool terminated = false;
    bool hangs = false;
    uint32_t exit_code = FAKE_STILL_ACTIVE;
};

struct Rule {
    std::string match;
    FakeChildScript script;
    bool every_time;
};

struct Timer {
    uint32_t pid;
    std::function<void(FakeChild&)> action;
};

struct ShortWrite {
    uint32_t bytes;
    PlatHandle handle;
};

struct EnvEntry {
    std::string name;   // as first set, for the block
    std::string value;
};

std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_next_handle = 0x100;
int g_bad_handles = 0;
int g_blocked_reads = 0;
std::vector<Pipe> g_pipes;
std::vector<std::unique_ptr<FakeChild>> g_children;
std::vector<Thread> g_threads;
std::vector<bool> g_events;
std::vector<Rule> g_rules;
FakeChildScript g_default_script;
bool g_has_default = false;
std::multimap<uint64_t, Timer> g_timers;
bool g_in_step = false;
uint64_t g_step_time = 0;
std::vector<ShortWrite> g_short_writes;
bool g_threads_hang = false;
std::function<void(PlatHandle, uint32_t)> g_wait_hook;
const uint64_t RUNAWAY_DEFAULT_MS = 24ull * 60 * 60 * 1000;
uint64_t g_runaway_limit_ms = RUNAWAY_DEFAULT_MS;
std::vector<uint32_t> g_breaks;
uint32_t g_next_pid = 1000;
uint32_t g_console = 1;
uint32_t g_next_console = 2;
std::map<std::string, EnvEntry> g_env;   // key: upper-case name
int g_env_blocks = 0;
PlatHandle g_std[3];
PlatHandle g_std_original[3];
std::string g_std_written[3];

std::string upper(std::string s)
{
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

PlatHandle new_handle(Kind kind, size_t object, bool inheritable)
{
    uintptr_t value = g_next_handle;
    g_next_handle += 4;
    g_handles[value] = HandleEntry{kind, object, inheritable};
    return (PlatHandle)value;
}

// Looks a handle up; an unknown one counts as a bad use and sets the error.
HandleEntry* lookup(PlatHandle handle)
{
    auto it = g_handles.find((uintptr_t)handle);
    if (it == g_handles.end()) {
        ++g_bad_handles;
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

HandleEntry* peek_entry(PlatHandle handle)
{
    auto it = g_handles.find((uintptr_t)handle);
    return it == g_handles.end() ? nullptr : &it->second;
}

Pipe* pipe_of(PlatHandle end)
{
    HandleEntry* e = peek_entry(end);
    if (!e || (e->kind != Kind::PipeRead && e->kind != Kind::PipeWrite)) return nullptr;
    return &g_pipes[e->object];
}

FakeChild* child_by_pid(uint32_t pid)
{
    for (auto& c : g_children)
        if (c->pid == pid) return c.get();
    return nullptr;
}

void schedule(FakeChild& child, uint64_t when, std::function<void(FakeChild&)> action)
{
    g_timers.emplace(when, Timer{child.pid, std::move(action)});
}

// Hands the bytes waiting in a pipe to the live child that reads it, and lets
// its script react.  Indexes, not references: a script may start processes.
void run_due(uint64_t now);

void deliver_input(int pipe)
{
    // What a child was due to do by now happened before this input reached it.
    run_due(fake_now_ms());
    for (size_t i = 0; i < g_children.size(); ++i) {
        FakeChild& c = *g_children[i];
        if (c.ended || c.in_pipe != pipe || !c.script.reads) continue;
        std::string chunk;
        chunk.swap(g_pipes[pipe].queue);
        if (chunk.empty()) return;
        size_t old_size = c.input.size();
        c.input += chunk;
        if (c.script.on_input) c.script.on_input(c, chunk);
        // Each watch fires once per occurrence of its text in the whole input;
        // an occurrence is new when it ends inside this chunk, so one split
        // across two writes is found too.
        for (size_t w = 0; w < c.script.watches.size(); ++w) {
            std::string text = c.script.watches[w].text;
            if (text.empty()) continue;
            size_t from = old_size >= text.size() ? old_size - text.size() + 1 : 0;
            for (size_t pos = c.input.find(text, from); pos != std::string::npos;
                 pos = c.input.find(text, pos + 1))
                c.script.watches[w].action(c);
        }
        return;
    }
}

void release_child_ends(FakeChild& c)
{
    if (c.in_pipe >= 0) --g_pipes[c.in_pipe].readers;
    if (c.out_pipe >= 0) --g_pipes[c.out_pipe].writers;
    if (c.err_pipe >= 0) --g_pipes[c.err_pipe].writers;
    c.in_pipe = c.out_pipe = c.err_pipe = -1;
}

void end_child(FakeChild& c, uint32_t code, bool terminated)
{
    if (c.ended) return;
    c.ended = true;
    c.terminated = terminated;
    c.exit_code = code;
    c.end_ms = fake_now_ms();
    release_child_ends(c);
    for (auto it = g_timers.begin(); it != g_timers.end();) {
        if (it->second.pid == c.pid)
            it = g_timers.erase(it);
        else
            ++it;
    }
}

// Runs every step whose time has come, earliest first; a step may schedule
// more, which run in the same pass when they are due too.
void run_due(uint64_t now)
{
    while (!g_timers.empty() && g_timers.begin()->first <= now) {
        auto it = g_timers.begin();
        uint64_t when = it->first;
        Timer timer = std::move(it->second);
        g_timers.erase(it);
        FakeChild* c = child_by_pid(timer.pid);
        if (!c || c->ended) continue;
        bool was_in_step = g_in_step;
        uint64_t was_time = g_step_time;
        g_in_step = true;
        g_step_time = when;
        timer.action(*c);
        g_in_step = was_in_step;
        g_step_time = was_time;
    }
}

void on_advance(uint64_t now) { run_due(now); }

// Moves the clock until `signalled` holds or `ms` have passed, stopping at
// each scheduled child step on the way.
uint32_t wait_until(const std::function<bool()>& signalled, uint32_t ms)
{
    run_due(fake_now_ms());
    if (signalled()) return PLAT_WAIT_OBJECT_0;
    bool infinite = ms == FAKE_INFINITE;
    uint64_t deadline = fake_now_ms() + (infinite ? 0 : ms);
    for (;;) {
        uint64_t now = fake_now_ms();
        bool have_next = !g_timers.empty();
        uint64_t next = have_next ? g_timers.begin()->first : 0;
        if (infinite && !have_next) {
            plat_set_last_error(ERROR_TIMEOUT);
            return PLAT_WAIT_FAILED;
        }
        uint64_t target = infinite ? next : (have_next && next < deadline ? next : deadline);
        if (target > now) fake_advance(target - now);
        else run_due(now);
        if (signalled()) return PLAT_WAIT_OBJECT_0;
        if (!infinite && fake_now_ms() >= deadline) return PLAT_WAIT_TIMEOUT;
    }
}

// By index: the body may create threads, which moves the table.
void run_thread(size_t index)
{
    g_threads[index].running = true;
    g_threads[index].ran = true;
    uint32_t code = g_threads[index].fn(g_threads[index].parameter);
    Thread& t = g_threads[index];
    t.running = false;
    if (!t.ended) {
        t.ended = true;
        t.exit_code = code;
    }
}

// A child's output goes to its pipe, or is kept as lost when it has none.
void child_write(FakeChild& c, int pipe, const std::string& bytes)
{
    if (c.ended) return;
    if (pipe < 0) {
        c.lost_output += bytes;
        return;
    }
    g_pipes[pipe].queue += bytes;
    g_pipes[pipe].history += bytes;
}

// The pipe a child gets for one standard stream: only an open, inheritable
// end of the right direction passes to a child that inherits handles.
int inherited_pipe(PlatHandle handle, Kind wanted, bool inherits)
{
    if (!inherits) return -1;
    HandleEntry* e = peek_entry(handle);
    if (!e || e->kind != wanted || !e->inheritable) return -1;
    return (int)e->object;
}

void env_defaults()
{
    g_env.clear();
    fake_env_set("PATH", "C:\\Windows\\system32;C:\\Windows");
    fake_env_set("SystemRoot", "C:\\Windows");
    fake_env_set("ComSpec", "C:\\Windows\\system32\\cmd.exe");
}

void process_reset()
{
    g_handles.clear();
    g_next_handle = 0x100;
    g_bad_handles = 0;
    g_blocked_reads = 0;
    g_pipes.clear();
    g_children.clear();
    g_threads.clear();
    g_events.clear();
    g_rules.clear();
    g_default_script = FakeChildScript();
    g_has_default = false;
    g_timers.clear();
    g_in_step = false;
    g_short_writes.clear();
    g_threads_hang = false;
    g_wait_hook = nullptr;
    g_runaway_limit_ms = RUNAWAY_DEFAULT_MS;
    g_breaks.clear();
    g_next_pid = 1000;
    g_console = 1;
    g_next_console = 2;
    env_defaults();
    g_env_blocks = 0;
    for (int i = 0; i < 3; ++i) {
        g_std[i] = new_handle(Kind::Std, (size_t)i, true);
        g_std_original[i] = g_std[i];
        g_std_written[i].clear();
    }
}

struct ProcessRegistration {
    ProcessRegistration()
    {
        fake_on_reset(process_reset);
        fake_on_advance(on_advance);
        process_reset();
    }
} g_process_registration;

}  // namespace

// --- scripts -------------------------------------------------------------------------

FakeChildScript& FakeChildScript::at(uint64_t ms, std::function<void(FakeChild&)> action)
{
    steps.push_back(Step{ms, std::move(action)});
    return *this;
}

FakeChildScript& FakeChildScript::out_at(uint64_t ms, const std::string& bytes)
{
    return at(ms, [bytes](FakeChild& c) { c.write_out(bytes); });
}

FakeChildScript& FakeChildScript::err_at(uint64_t ms, const std::string& bytes)
{
    return at(ms, [bytes](FakeChild& c) { c.write_err(bytes); });
}

FakeChildScript& FakeChildScript::exit_at(uint64_t ms, uint32_t code)
{
    return at(ms, [code](FakeChild& c) { c.exit(code); });
}

FakeChildScript& FakeChildScript::reads_input()
{
    reads = true;
    return *this;
}

FakeChildScript& FakeChildScript::on_text(const std::string& text, std::function<void(FakeChild&)> action)
{
    reads = true;
    watches.push_back(Watch{text, std::move(action)});
    return *this;
}

FakeChildScript& FakeChildScript::exit_on_input(const std::string& text, uint64_t ms, uint32_t code,
                                                const std::string& reply)
{
    return on_text(text, [ms, code, reply](FakeChild& c) {
        if (!reply.empty()) c.write_out(reply);
        if (ms == 0)
            c.exit(code);
        else
            c.after(ms, [code](FakeChild& child) { child.exit(code); });
    });
}

FakeChildScript& FakeChildScript::dump_on_break(const std::string& bytes)
{
    on_ctrl_break = [bytes](FakeChild& c) { c.write_out(bytes); };
    return *this;
}

FakeChildScript fake_launcher_script(uint32_t code, uint64_t run_ms)
{
    FakeChildScript s;
    std::string marker = "\a" + std::to_string(code) + "\a";
    s.at(run_ms, [marker, code](FakeChild& c) {
        c.write_out(marker);
        c.exit(code);
    });
    return s;
}

FakeChildScript fake_container_script(uint64_t up_ms, uint64_t stop_ms)
{
    FakeChildScript s;
    s.out_at(up_ms, "\b");
    s.exit_on_input("shutdown\n", stop_ms, 0, "\a0\a");
    s.dump_on_break("Full thread dump\n");
    return s;
}

// --- children ----------------------------------------------------------------------------

void FakeChild::write_out(const std::string& bytes) { child_write(*this, out_pipe, bytes); }

void FakeChild::write_err(const std::string& bytes) { child_write(*this, err_pipe, bytes); }

void FakeChild::exit(uint32_t code) { end_child(*this, code, false); }

void FakeChild::after(uint64_t ms, std::function<void(FakeChild&)> action)
{
    if (ended) return;
    uint64_t base = g_in_step ? g_step_time : fake_now_ms();
    schedule(*this, base + ms, std::move(action));
}

void fake_add_child(const std::string& match, const FakeChildScript& script, bool every_time)
{
    g_rules.push_back(Rule{match, script, every_time});
}

void fake_set_default_child(const FakeChildScript& script)
{
    g_default_script = script;
    g_has_default = true;
}

size_t fake_child_count() { return g_children.size(); }

FakeChild& fake_child(size_t index) { return *g_children.at(index); }

FakeChild* fake_child_by_pid(uint32_t pid) { return child_by_pid(pid); }

FakeChild* fake_last_child() { return g_children.empty() ? nullptr : g_children.back().get(); }

void fake_run_children() { run_due(fake_now_ms()); }

std::vector<uint32_t> fake_ctrl_breaks_delivered() { return g_breaks; }

// --- handles and pipes --------------------------------------------------------------------

int fake_open_handle_count()
{
    int count = 0;
    for (auto& entry : g_handles)
        if (entry.second.kind != Kind::Std) ++count;
    return count;
}

bool fake_handle_open(PlatHandle handle) { return peek_entry(handle) != nullptr; }

bool fake_handle_inheritable(PlatHandle handle)
{
    HandleEntry* e = peek_entry(handle);
    return e && e->inheritable;
}

std::string fake_handle_kind(PlatHandle handle)
{
    HandleEntry* e = peek_entry(handle);
    if (!e) return "";
    switch (e->kind) {
    case Kind::PipeRead: return "pipe-read";
    case Kind::PipeWrite: return "pipe-write";
    case Kind::Process: return "process";
    case Kind::ProcessThread:
    case Kind::Thread: return "thread";
    case Kind::Event: return "event";
    case Kind::Std: return "std";
    }
    return "";
}

int fake_bad_handle_count() { return g_bad_handles; }

int fake_blocked_read_count() { return g_blocked_reads; }

std::string fake_pipe_peek(PlatHandle end)
{
    Pipe* p = pipe_of(end);
    return p ? p->queue : std::string();
}

std::string fake_pipe_take(PlatHandle end)
{
    Pipe* p = pipe_of(end);
    std::string out;
    if (p) out.swap(p->queue);
    return out;
}

void fake_pipe_put(PlatHandle end, const std::string& bytes)
{
    HandleEntry* e = peek_entry(end);
    if (!e || (e->kind != Kind::PipeRead && e->kind != Kind::PipeWrite)) return;
    g_pipes[e->object].queue += bytes;
    g_pipes[e->object].history += bytes;
    deliver_input((int)e->object);
}

std::string fake_pipe_history(PlatHandle end)
{
    Pipe* p = pipe_of(end);
    return p ? p->history : std::string();
}

uint32_t fake_pipe_buffer_size(PlatHandle end)
{
    Pipe* p = pipe_of(end);
    return p ? p->buffer_size : 0;
}

void fake_short_write(uint32_t bytes, PlatHandle handle) { g_short_writes.push_back(ShortWrite{bytes, handle}); }

// --- threads and events -----------------------------------------------------------------------

size_t fake_thread_count() { return g_threads.size(); }

FakeThreadInfo fake_thread(size_t index)
{
    const Thread& t = g_threads.at(index);
    return FakeThreadInfo{t.handle, t.fn, t.parameter, t.ran, t.ended, t.terminated, t.exit_code};
}

bool fake_run_thread(PlatHandle thread)
{
    for (size_t i = 0; i < g_threads.size(); ++i) {
        const Thread& t = g_threads[i];
        if (t.handle != thread) continue;
        if (t.ran || t.ended || t.running) return false;
        run_thread(i);
        return true;
    }
    return false;
}

void fake_run_threads()
{
    // Index-based: a body may create threads.
    for (size_t i = 0; i < g_threads.size(); ++i) {
        const Thread& t = g_threads[i];
        if (t.ran || t.ended || t.running) continue;
        run_thread(i);
    }
}

void fake_threads_hang(bool hang) { g_threads_hang = hang; }

bool fake_event_is_set(PlatHandle event)
{
    HandleEntry* e = peek_entry(event);
    return e && e->kind == Kind::Event && g_events[e->object];
}

void fake_on_wait(std::function<void(PlatHandle, uint32_t)> hook) { g_wait_hook = std::move(hook); }

void fake_set_runaway_limit(uint64_t ms) { g_runaway_limit_ms = ms; }

// --- environment ----------------------------------------------------------------------------------

void fake_env_defaults() { env_defaults(); }

void fake_env_clear() { g_env.clear(); }

void fake_env_set(const std::string& name, const std::string& value)
{
    auto it = g_env.find(upper(name));
    if (it != g_env.end())
        it->second.value = value;
    else
        g_env[upper(name)] = EnvEntry{name, value};
}

void fake_env_remove(const std::string& name) { g_env.erase(upper(name)); }

bool fake_env_has(const std::string& name) { return g_env.count(upper(name)) != 0; }

std::string fake_env_get(const std::string& name)
{
    auto it = g_env.find(upper(name));
    return it == g_env.end() ? std::string() : it->second.value;
}

int fake_env_blocks_outstanding() { return g_env_blocks; }

// --- standard handles and console -----------------------------------------------------------------

PlatHandle fake_std_handle(int which) { return (which >= 0 && which < 3) ? g_std[which] : nullptr; }

std::string fake_std_written(int which) { return (which >= 0 && which < 3) ? g_std_written[which] : std::string(); }

void fake_set_console(bool has_console) { g_console = has_console ? 1 : 0; }

uint32_t fake_console_id() { return g_console; }

// --- platform: environment ----------------------------------------------------------------------

char* plat_environment_block(void)
{
    if (fake_should_fail("GetEnvironmentStrings")) return nullptr;
    std::string block;
    for (auto& entry : g_env) {
        block += entry.second.name + "=" + entry.second.value;
        block += '\0';
    }
    block += '\0';
    if (block.size() == 1) block += '\0';
    char* out = (char*)malloc(block.size());
    if (!out) {
        plat_set_last_error(PLAT_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    memcpy(out, block.data(), block.size());
    ++g_env_blocks;
    return out;
}

void plat_free_environment_block(char* block)
{
    if (fake_should_fail("FreeEnvironmentStringsA")) return;
    if (!block) return;
    free(block);
    --g_env_blocks;
}

uint32_t plat_get_env(const char* name, char* buf, uint32_t cap)
{
    if (fake_should_fail("GetEnvironmentVariableA")) return 0;
    auto it = g_env.find(upper(name));
    if (it == g_env.end()) {
        plat_set_last_error(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const std::string& value = it->second.value;
    if (value.size() + 1 > cap) return (uint32_t)value.size() + 1;
    memcpy(buf, value.c_str(), value.size() + 1);
    return (uint32_t)value.size();
}

int plat_set_env(const char* name, const char* value)
{
    if (fake_should_fail("SetEnvironmentVariableA")) return 0;
    if (!name || !*name || strchr(name, '=')) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (value)
        fake_env_set(name, value);
    else
        fake_env_remove(name);
    return 1;
}

uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap)
{
    if (fake_should_fail("ExpandEnvironmentStringsA")) return 0;
    std::string out;
    const char* p = src;
    while (*p) {
        const char* close = *p == '%' ? strchr(p + 1, '%') : nullptr;
        if (close && close > p + 1) {
            std::string name(p + 1, close);
            auto it = g_env.find(upper(name));
            if (it != g_env.end()) {
                out += it->second.value;
                p = close + 1;
                continue;
            }
            // An undefined name stays as written; its closing "%" may open
            // the next reference, as on Windows.
            out.append(p, close);
            p = close;
            continue;
        }
        out += *p++;
    }
    uint32_t needed = (uint32_t)out.size() + 1;
    if (needed <= cap) memcpy(dst, out.c_str(), needed);
    return needed;
}

// --- platform: pipes and handles ----------------------------------------------------------------

int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{
    if (fake_should_fail("CreatePipe")) return 0;
    g_pipes.push_back(Pipe());
    Pipe& p = g_pipes.back();
    p.buffer_size = buffer_size;
    p.readers = 1;
    p.writers = 1;
    size_t index = g_pipes.size() - 1;
    *read_end = new_handle(Kind::PipeRead, index, true);
    *write_end = new_handle(Kind::PipeWrite, index, true);
    return 1;
}

int plat_duplicate_private(PlatHandle source, PlatHandle* out)
{
    if (fake_should_fail("DuplicateHandle")) return 0;
    HandleEntry* e = lookup(source);
    if (!e) return 0;
    HandleEntry copy = *e;
    if (copy.kind == Kind::PipeRead) ++g_pipes[copy.object].readers;
    if (copy.kind == Kind::PipeWrite) ++g_pipes[copy.object].writers;
    *out = new_handle(copy.kind, copy.object, false);
    return 1;
}

int plat_close_handle(PlatHandle handle)
{
    if (fake_should_fail("CloseHandle")) return 0;
    HandleEntry* e = lookup(handle);
    if (!e) return 0;
    if (e->kind == Kind::PipeRead) --g_pipes[e->object].readers;
    if (e->kind == Kind::PipeWrite) --g_pipes[e->object].writers;
    g_handles.erase((uintptr_t)handle);
    return 1;
}

int plat_peek_pipe(PlatHandle pipe, uint32_t* available)
{
    if (fake_should_fail("PeekNamedPipe")) return 0;
    HandleEntry* e = lookup(pipe);
    if (!e) return 0;
    if (e->kind != Kind::PipeRead) {
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
        return 0;
    }
    Pipe& p = g_pipes[e->object];
    if (p.queue.empty() && p.writers == 0) {
        plat_set_last_error(PLAT_ERROR_BROKEN_PIPE);
        return 0;
    }
    if (available) *available = (uint32_t)p.queue.size();
    return 1;
}

int plat_read_file(PlatHandle h, void* buf, uint32_t size, uint32_t* got)
{
    if (got) *got = 0;
    if (fake_should_fail("ReadFile")) return 0;
    HandleEntry* e = lookup(h);
    if (!e) return 0;
    if (e->kind != Kind::PipeRead) {
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
        return 0;
    }
    Pipe& p = g_pipes[e->object];
    if (p.queue.empty()) {
        if (p.writers == 0) {
            plat_set_last_error(PLAT_ERROR_BROKEN_PIPE);
            return 0;
        }
        ++g_blocked_reads;
        plat_set_last_error(ERROR_NO_DATA);
        return 0;
    }
    uint32_t n = size < p.queue.size() ? size : (uint32_t)p.queue.size();
    memcpy(buf, p.queue.data(), n);
    p.queue.erase(0, n);
    if (got) *got = n;
    return 1;
}

int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written)
{
    if (written) *written = 0;
    if (fake_should_fail("WriteFile")) return 0;
    HandleEntry* e = lookup(h);
    if (!e) return 0;
    uint32_t n = size;
    for (auto it = g_short_writes.begin(); it != g_short_writes.end(); ++it) {
        if (it->handle && it->handle != h) continue;
        if (it->bytes < n) n = it->bytes;
        g_short_writes.erase(it);
        break;
    }
    if (e->kind == Kind::Std) {
        size_t which = e->object;
        g_std_written[which].append((const char*)buf, n);
        if (written) *written = n;
        return 1;
    }
    if (e->kind != Kind::PipeWrite) {
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
        return 0;
    }
    size_t index = e->object;
    Pipe& p = g_pipes[index];
    if (p.readers == 0) {
        plat_set_last_error(ERROR_NO_DATA);
        return 0;
    }
    p.queue.append((const char*)buf, n);
    p.history.append((const char*)buf, n);
    if (written) *written = n;
    deliver_input((int)index);
    return 1;
}

// --- platform: standard handles ------------------------------------------------------------------

PlatHandle plat_get_std_handle(int which)
{
    if (fake_should_fail("GetStdHandle")) return PLAT_INVALID_HANDLE;
    if (which < 0 || which > 2) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return PLAT_INVALID_HANDLE;
    }
    return g_std[which];
}

int plat_set_std_handle(int which, PlatHandle handle)
{
    if (fake_should_fail("SetStdHandle")) return 0;
    if (which < 0 || which > 2) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    g_std[which] = handle;
    return 1;
}

// --- platform: processes ----------------------------------------------------------------------------

int plat_create_process(char* command_line, const char* current_directory, int inherit_handles,
                        uint32_t creation_flags, const PlatStartupInfo* startup, PlatProcessInfo* process)
{
    if (fake_should_fail("CreateProcessA")) return 0;
    if (!command_line || !startup || !process) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::unique_ptr<FakeChild> holder(new FakeChild);
    FakeChild& c = *holder;
    c.pid = g_next_pid;
    c.tid = g_next_pid + 2;
    g_next_pid += 4;
    c.command_line = command_line;
    c.has_current_directory = current_directory != nullptr;
    c.current_directory = current_directory ? current_directory : "";
    c.path_defined = fake_env_has("PATH");
    c.path = fake_env_get("PATH");
    c.inherit_handles = inherit_handles;
    c.creation_flags = creation_flags;
    c.startup = *startup;
    c.title = startup->title ? startup->title : "";
    c.start_ms = fake_now_ms();
    c.console = g_console ? g_console : g_next_console++;

    bool std_handles = inherit_handles && (startup->flags & STARTF_USESTDHANDLES);
    c.in_pipe = inherited_pipe(startup->std_input, Kind::PipeRead, std_handles);
    c.out_pipe = inherited_pipe(startup->std_output, Kind::PipeWrite, std_handles);
    c.err_pipe = inherited_pipe(startup->std_error, Kind::PipeWrite, std_handles);
    if (c.in_pipe >= 0) ++g_pipes[c.in_pipe].readers;
    if (c.out_pipe >= 0) ++g_pipes[c.out_pipe].writers;
    if (c.err_pipe >= 0) ++g_pipes[c.err_pipe].writers;

    bool chosen = false;
    for (auto it = g_rules.begin(); it != g_rules.end(); ++it) {
        if (c.command_line.find(it->match) == std::string::npos) continue;
        c.script = it->script;
        if (!it->every_time) g_rules.erase(it);
        chosen = true;
        break;
    }
    if (!chosen && g_has_default) c.script = g_default_script;

    size_t index = g_children.size();
    g_children.push_back(std::move(holder));
    FakeChild& child = *g_children.back();
    for (auto& step : child.script.steps) schedule(child, child.start_ms + step.at_ms, step.action);

    process->process = new_handle(Kind::Process, index, false);
    process->thread = new_handle(Kind::ProcessThread, index, false);
    process->process_id = child.pid;
    process->thread_id = child.tid;

    // Input already waiting (left by an earlier child) is read once the child
    // runs, after its own first steps.
    if (child.in_pipe >= 0 && child.script.reads) {
        int pipe = child.in_pipe;
        schedule(child, child.start_ms, [pipe](FakeChild&) { deliver_input(pipe); });
    }
    return 1;
}

int plat_terminate_process(PlatHandle process, uint32_t exit_code)
{
    if (fake_should_fail("TerminateProcess")) return 0;
    HandleEntry* e = lookup(process);
    if (!e) return 0;
    if (e->kind != Kind::Process) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    FakeChild& c = *g_children[e->object];
    if (c.ended) {
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
        return 0;
    }
    end_child(c, exit_code, true);
    return 1;
}

int plat_process_exit_code(PlatHandle process, uint32_t* code)
{
    if (fake_should_fail("GetExitCodeProcess")) return 0;
    HandleEntry* e = lookup(process);
    if (!e) return 0;
    if (e->kind != Kind::Process) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    if (code) *code = g_children[e->object]->exit_code;
    return 1;
}

uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds)
{
    if (g_runaway_limit_ms != 0 && fake_now_ms() > g_runaway_limit_ms) {
        // A polling loop waiting for something that never comes would spin
        // here for ever; stop the test program with a reason instead.
        fprintf(stderr,
                "fake platform: the virtual clock passed %llu ms in plat_wait; a wait loop is "
                "running away (a child without a script never ends)\n",
                (unsigned long long)g_runaway_limit_ms);
        abort();
    }
    if (g_wait_hook) g_wait_hook(handle, milliseconds);
    if (fake_should_fail("WaitForSingleObject")) return PLAT_WAIT_FAILED;
    HandleEntry* e = lookup(handle);
    if (!e) return PLAT_WAIT_FAILED;
    Kind kind = e->kind;
    size_t object = e->object;
    switch (kind) {
    case Kind::Process:
    case Kind::ProcessThread:
        return wait_until([object] { return g_children[object]->ended; }, milliseconds);
    case Kind::Event:
        return wait_until([object] { return (bool)g_events[object]; }, milliseconds);
    case Kind::Thread: {
        const Thread& t = g_threads[object];
        if (!t.ended && !t.ran && !t.running && !t.hangs) run_thread(object);
        return wait_until([object] { return g_threads[object].ended; }, milliseconds);
    }
    default:
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return PLAT_WAIT_FAILED;
    }
}

// --- platform: threads and events --------------------------------------------------------------------

PlatHandle plat_create_thread(PlatThreadFn fn, void* parameter)
{
    if (fake_should_fail("CreateThread")) return nullptr;
    if (!fn) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Thread t;
    t.fn = fn;
    t.parameter = parameter;
    t.hangs = g_threads_hang;
    g_threads.push_back(t);
    PlatHandle h = new_handle(Kind::Thread, g_threads.size() - 1, false);
    g_threads.back().handle = h;
    return h;
}

int plat_terminate_thread(PlatHandle thread, uint32_t exit_code)
{
    if (fake_should_fail("TerminateThread")) return 0;
    HandleEntry* e = lookup(thread);
    if (!e) return 0;
    if (e->kind != Kind::Thread) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    Thread& t = g_threads[e->object];
    if (!t.ended) {
        t.ended = true;
        t.terminated = true;
        t.exit_code = exit_code;
    }
    return 1;
}

PlatHandle plat_create_event(void)
{
    if (fake_should_fail("CreateEventA")) return nullptr;
    g_events.push_back(false);
    return new_handle(Kind::Event, g_events.size() - 1, false);
}

int plat_set_event(PlatHandle event)
{
    if (fake_should_fail("SetEvent")) return 0;
    HandleEntry* e = lookup(event);
    if (!e) return 0;
    if (e->kind != Kind::Event) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    g_events[e->object] = true;
    return 1;
}

// --- platform: console --------------------------------------------------------------------------------

int plat_free_console(void)
{
    if (fake_should_fail("FreeConsole")) return 0;
    if (g_console == 0) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    g_console = 0;
    return 1;
}

int plat_attach_console(uint32_t process_id)
{
    if (fake_should_fail("AttachConsole")) return 0;
    if (g_console != 0) {
        plat_set_last_error(PLAT_ERROR_ACCESS_DENIED);
        return 0;
    }
    FakeChild* c = child_by_pid(process_id);
    if (!c || c->ended) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    g_console = c->console;
    return 1;
}

int plat_send_ctrl_break(uint32_t process_group_id)
{
    if (fake_should_fail("GenerateConsoleCtrlEvent")) return 0;
    run_due(fake_now_ms());
    FakeChild* c = child_by_pid(process_group_id);
    if (!c || c->ended || g_console == 0 || c->console != g_console) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    g_breaks.push_back(c->pid);
    ++c->ctrl_breaks;
    if (c->script.on_ctrl_break) c->script.on_ctrl_break(*c);
    return 1;
}
