// The in-memory platform (see fake.h).  Everything runs on the calling
// thread: child steps, control requests and thread bodies run when the code
// waits or sleeps, at the virtual time they are due.
#include "fake/fake.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <set>

#include "common/console.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "diag/log_file.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace fs = std::filesystem;

// The read end of an output pipe is an ordinary pipe handle of the fake's,
// not inheritable, behind the record.
struct PlatOutputPipe {
    PlatHandle handle;
};

namespace {

enum : uint32_t { ERROR_PATH_NOT_FOUND = 3, ERROR_ENVVAR_NOT_FOUND = 203, ERROR_NO_DATA = 232, STILL_ACTIVE = 259 };
// A run that passes a week of virtual time never ends.
const uint64_t TIME_CAP_MS = 7ull * 24 * 3600 * 1000;

struct Fault { int nth; uint32_t error; bool persistent; };
struct Timer { uint64_t at, seq; std::function<void()> fn; };
// reader_child: the child that reads the pipe, if any.  A pipe made with
// the system's default size holds 4096 bytes; a larger size is not limited.
// `refill`: what the writing child writes again behind every read (a child
// that writes as fast as it is read); `refills_now` counts those of the
// current millisecond.
struct Pipe {
    std::string data, refill;
    size_t capacity;
    int readers = 1, writers = 1, reader_child = -1;
    bool watchable = false;
    uint64_t refill_ms = 0, refills_now = 0;
};
enum Kind { PIPE_READ, PIPE_WRITE, PROCESS, THREAD, EVENT, JOB, KEY, SC, SOURCE, LIB, STD, FILE_OUT, FILE_IN };
// id: the pipe, child, thread, event or job, or a file's descriptor; path: the registry key, service or library.
struct Object { Kind kind; int id; bool inheritable; std::string path; bool nowait = false; };
struct Child {
    uint32_t pid, code = STILL_ACTIVE;
    FakeScript script;
    int in = -1, out = -1, err = -1, job = -1;
    bool ended = false, reads = false, suspended = false;
    std::string input;
};
struct Thread { PlatThreadFn fn; void* parameter; bool ended; };
struct Value { uint32_t type; std::string data; };

struct State {
    std::map<std::string, Fault> faults;
    std::map<std::string, int> counts;
    std::vector<std::string> call_order;
    uint64_t now = 0, seq = 0;
    int64_t wall_step = 0;
    int jobs = 0;
    std::vector<Timer> timers;
    std::string transcript, child_details;
    std::map<std::string, std::map<std::string, Value>> registry;   // lower-case paths and names
    std::map<uintptr_t, Object> handles;
    uintptr_t next_handle = 0x100;
    std::vector<Pipe> pipes;
    std::deque<PlatOutputPipe> output_pipes;   // records live until the reset, as a process's would
    std::vector<Child> children;
    std::vector<FakeScript> scripts;
    size_t next_script = 0;
    std::vector<Thread> threads;
    std::vector<bool> events;
    std::vector<FakeService> services;
    std::string service_to_start, ansi_service_name;
    std::vector<std::string> wide_command_line;
    PlatControlHandlerFn handler = nullptr;
    PlatConsoleHandlerFn console_handler = nullptr;
    PlatHandle std_handles[3] = {};
    uint32_t attached = 1;   // the process whose console the wrapper is attached to (1: its own)
    std::map<std::string, std::pair<std::string, std::string>> env;   // upper-case name -> name, value
    std::string module_path = "C:\\talvex\\talvex.exe", current_directory = "C:\\svc";
    std::map<std::string, std::string> libraries = {{"talvexmsg.dll", "C:\\talvex\\talvexMSG.dll"},
                                                    {"talvexutil.dll", "C:\\talvex\\talvexUtil.dll"}};
    uint32_t os_major = 6;
    int env_blocks = 0;
    fs::path root;
    // The files: free space (-1: no end), files held open by another
    // program, and the virtual time of each file's last write.
    int64_t disk_space = -1;
    std::set<std::string> held;
    std::map<std::string, int64_t> written_at;
};

State S;
uint32_t last_error = 0;
char* console_buffer = nullptr;
size_t console_size = 0;

std::string mapped(std::string s, int (*map)(int))
{
    for (char& c : s) c = (char)map((unsigned char)c);
    return s;
}
std::string lower(const std::string& s) { return mapped(s, tolower); }
std::string upper(const std::string& s) { return mapped(s, toupper); }

// Counts the call and answers whether it must fail (with the last error set).
bool fails(const char* call)
{
    if (++S.counts[call] == 1) S.call_order.push_back(call);
    auto it = S.faults.find(call);
    if (it == S.faults.end() || --it->second.nth > 0) return false;
    last_error = it->second.error;
    if (!it->second.persistent) S.faults.erase(it);
    return true;
}

void note(const char* fmt, ...)
{
    char line[16384];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    S.transcript += std::to_string(S.now) + " " + line + "\n";
}

// A text in double quotes, with line ends and other control characters
// shown as escapes.
std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        char escape[8];
        snprintf(escape, sizeof escape, c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\x%02x", c);
        out += c < 32 || c == 127 ? std::string(escape) : std::string(1, (char)c);
    }
    return out + "\"";
}

PlatHandle new_handle(Kind kind, int id, bool inheritable, const std::string& path = "")
{
    S.handles[S.next_handle] = Object{kind, id, inheritable, path};
    return (PlatHandle)(S.next_handle += 4, S.next_handle - 4);
}

Object* object(void* handle)
{
    auto it = S.handles.find((uintptr_t)handle);
    return it == S.handles.end() ? nullptr : &it->second;
}

void add_timer(uint64_t at, std::function<void()> fn) { S.timers.push_back(Timer{at, S.seq++, std::move(fn)}); }

// Runs the earliest timer due by `until`; false when there is none.
bool run_next_timer(uint64_t until)
{
    auto next = S.timers.end();
    for (auto it = S.timers.begin(); it != S.timers.end(); ++it)
        if (it->at <= until && (next == S.timers.end() || it->at < next->at || (it->at == next->at && it->seq < next->seq)))
            next = it;
    if (next == S.timers.end()) return false;
    Timer timer = std::move(*next);
    S.timers.erase(next);
    S.now = std::max(S.now, timer.at);
    timer.fn();
    return true;
}

void advance_to(uint64_t until)
{
    if (until > TIME_CAP_MS) {
        fprintf(stderr, "fake: the virtual clock passed a week: the run never ends\n");
        abort();
    }
    while (run_next_timer(until)) {
    }
    S.now = std::max(S.now, until);
}

void child_end(Child& child, uint32_t code)
{
    if (child.ended) return;
    child.ended = true;
    child.code = code;
    if (child.in >= 0) S.pipes[child.in].readers--, S.pipes[child.in].reader_child = -1;
    for (int p : {child.out, child.err})
        if (p >= 0) S.pipes[p].writers--, S.pipes[p].refill.clear();
    note("child %u ended %u", child.pid, code);
}

void child_write(Child& child, int pipe, const std::string& text)
{
    if (!child.ended && pipe >= 0) S.pipes[pipe].data += text;
}

// The child reads what waits on its standard input and answers "shutdown".
void child_read(int index)
{
    Child& child = S.children[index];
    if (child.ended || !child.reads) return;
    bool before = child.input.find("shutdown\n") != std::string::npos;
    child.input += S.pipes[child.in].data;
    S.pipes[child.in].data.clear();
    for (const FakeStep& step : child.script)
        if (step.kind == 's' && !before && child.input.find("shutdown\n") != std::string::npos)
            add_timer(S.now + step.ms, [index, step] {
                child_write(S.children[index], S.children[index].out, step.text);
                child_end(S.children[index], 0);
            });
}

// The child's timed steps, from now.  'f' fills its standard input now and
// makes it stop reading until a 'd' step makes it begin again.
void schedule_steps(int index)
{
    for (const FakeStep& step : S.children[index].script) {
        if (step.kind == 'f' && S.children[index].in >= 0) {
            S.children[index].reads = false;
            Pipe& in = S.pipes[S.children[index].in];
            in.data.append(std::min<size_t>(std::stoul(step.text), in.capacity - in.data.size()), '\n');
        }
        if (step.kind == 'o' || step.kind == 'e' || step.kind == 'x' || step.kind == 'd' || step.kind == 'w')
            add_timer(S.now + step.ms, [index, step] {
                Child& c = S.children[index];
                if (step.kind == 'x') child_end(c, (uint32_t)atoi(step.text.c_str()));
                else if (step.kind == 'w') S.pipes[c.out].refill = step.text, child_write(c, c.out, step.text);
                else if (step.kind == 'd') c.reads = true, child_read(index);
                else child_write(c, step.kind == 'o' ? c.out : c.err, step.text);
            });
    }
}

Child* child_of(PlatHandle handle)
{
    Object* o = object(handle);
    return o != nullptr && o->kind == PROCESS ? &S.children[o->id] : nullptr;
}

// A Windows path as a path under the scratch folder: lower case, relative
// paths from the current directory, "." and empty parts dropped.
fs::path host_path(const std::string& windows_path)
{
    std::string p = lower(windows_path), cwd = lower(S.current_directory);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() < 2 || p[1] != ':') p = p[0] == '\\' ? cwd.substr(0, 2) + p : cwd + "\\" + p;
    fs::path out = S.root / p.substr(0, 1);
    for (size_t start = 3, end; start <= p.size(); start = end + 1) {
        end = std::min(p.find('\\', start), p.size());
        std::string part = p.substr(start, end - start);
        if (!part.empty() && part != ".") out /= part;
    }
    return out;
}

// Makes a key and every key above it.
void make_key(const std::string& path)
{
    for (size_t end = path.find('\\'); end != std::string::npos; end = path.find('\\', end + 1))
        S.registry[path.substr(0, end)];
    S.registry[path];
}

std::string key_path(RegKey parent, const char* name)
{
    Object* o = object(parent);
    return lower(o == nullptr ? std::string(name) : o->path + "\\" + name);
}

FakeService* service_of(ScHandle handle) { return fake_service(object(handle)->path); }

void apply_config(FakeService* s, const PlatServiceConfig* cfg)
{
    s->type = cfg->service_type;
    s->start_type = cfg->start_type;
    s->error_control = cfg->error_control;
    s->binary_path = cfg->binary_path;
    s->display_name = cfg->display_name;
    s->dependencies = std::string(cfg->dependencies, strlen(cfg->dependencies) + 1);
}

void remove_root()
{
    if (!S.root.empty()) fs::remove_all(S.root);
}

}  // namespace

// --- control API -------------------------------------------------------------------

void fake_reset()
{
    // The last test's file system goes when the test process ends.
    static const int cleanup_registered = atexit(remove_root);
    (void)cleanup_registered;
    CloseLogFile();
    for (const auto& h : S.handles)
        if (h.second.kind == FILE_OUT || h.second.kind == FILE_IN) close(h.second.id);
    remove_root();
    S = State();
    char dir[] = "/tmp/talvex-fake-XXXXXX";
    S.root = mkdtemp(dir);
    fake_make_dir("C:\\svc");
    fake_set_env("PATH", "C:\\Windows\\system32");
    for (int i = 0; i < 3; ++i) S.std_handles[i] = new_handle(STD, i, false);
    last_error = 0;
    DebugEnabled = 0;
    ReferenceStartTime = 0;
    ResetServiceStatus();
    ResetInstallOptions();
    if (ConsoleOut != nullptr) fclose(ConsoleOut);
    free(console_buffer);
    ConsoleOut = open_memstream(&console_buffer, &console_size);
}

void fake_fail(const std::string& call, uint32_t error, int nth, bool persistent)
{
    S.faults[call] = Fault{nth, error, persistent};
}

std::vector<std::pair<std::string, int>> fake_calls()
{
    std::vector<std::pair<std::string, int>> calls;
    for (const std::string& name : S.call_order) calls.emplace_back(name, S.counts[name]);
    return calls;
}

std::string fake_transcript() { return S.transcript; }
std::string fake_child_details() { return S.child_details; }

std::string fake_console()
{
    fflush(ConsoleOut);
    return std::string(console_buffer, console_size);
}

void fake_reg_put(const std::string& key, const std::string& name, uint32_t type, const std::string& data)
{
    make_key(lower(key));
    S.registry[lower(key)][lower(name)] = Value{type, data};
}

bool fake_reg_get(const std::string& key, const std::string& name, std::string* data, uint32_t* type)
{
    auto& values = S.registry[lower(key)];
    auto v = values.find(lower(name));
    if (v == values.end()) return false;
    *data = v->second.data;
    if (type != nullptr) *type = v->second.type;
    return true;
}

bool fake_reg_key_exists(const std::string& key) { return S.registry.count(lower(key)) != 0; }

void fake_write_file(const std::string& path, const std::string& content)
{
    fs::path p = host_path(path);
    fs::create_directories(p.parent_path());
    FILE* f = fopen(p.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    S.written_at[p.string()] = plat_time_seconds();
}

void fake_make_dir(const std::string& path) { fs::create_directories(host_path(path)); }

bool fake_read_file(const std::string& path, std::string* content)
{
    FILE* f = fopen(host_path(path).c_str(), "rb");
    if (f == nullptr) return false;
    char buffer[4096];
    content->clear();
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) content->append(buffer, n);
    fclose(f);
    return true;
}

void fake_set_module_path(const std::string& path) { S.module_path = path; }
void fake_set_current_directory(const std::string& path) { S.current_directory = path; }
void fake_set_os_major(uint32_t major) { S.os_major = major; }
void fake_set_wide_command_line(const std::vector<std::string>& words) { S.wide_command_line = words; }

void fake_start_as_service(const std::string& name, const std::string& ansi_name)
{
    S.service_to_start = name;
    S.ansi_service_name = ansi_name.empty() ? name : ansi_name;
    if (fake_service(name) == nullptr) fake_add_service(name, SERVICE_STATE_START_PENDING);
    fake_service(name)->process_id = FAKE_PROCESS_ID;
}
void fake_children(const std::vector<FakeScript>& scripts) { S.scripts = scripts; }
void fake_at(uint64_t ms, std::function<void()> fn) { add_timer(ms, std::move(fn)); }
void fake_step_wall_clock(int64_t seconds) { S.wall_step += seconds; }

void fake_set_library(const std::string& name, const std::string& path)
{
    if (path.empty()) S.libraries.erase(lower(name));
    else S.libraries[lower(name)] = path;
}

void fake_set_env(const std::string& name, const char* value)
{
    if (value == nullptr) S.env.erase(upper(name));
    else S.env[upper(name)] = {name, value};
}

std::string fake_get_env(const std::string& name)
{
    auto it = S.env.find(upper(name));
    return it == S.env.end() ? "<unset>" : it->second.second;
}

FakeService* fake_service(const std::string& name)
{
    for (FakeService& s : S.services)
        if (lower(s.name) == lower(name)) return &s;
    return nullptr;
}

void fake_add_service(const std::string& name, uint32_t state)
{
    S.services.emplace_back();
    S.services.back().name = name;
    S.services.back().state = state;
}

void fake_control_at(uint64_t ms, uint32_t control, bool console)
{
    add_timer(ms, [control, console] {
        if (console)
            note("console control %u -> %d", control, S.console_handler(control));
        else
            note("control %u -> %u", control, S.handler(control, 0, nullptr, nullptr));
    });
}

int fake_open_handles(bool pipes)
{
    int n = S.env_blocks;
    for (const auto& h : S.handles)
        n += h.second.kind != STD && (pipes || h.second.kind > PIPE_WRITE) && (PlatHandle)h.first != LogFile;
    return n;
}

int fake_live_children()
{
    advance_to(S.now);
    return (int)std::count_if(S.children.begin(), S.children.end(), [](const Child& c) { return !c.ended; });
}

// --- last error, messages ------------------------------------------------------------

uint32_t plat_get_last_error(void) { return last_error; }
void plat_set_last_error(uint32_t code) { last_error = code; }

// Every code below 20000 has a text; the others have none.
size_t plat_system_message(uint32_t code, uint32_t language, char* buf, size_t cap)
{
    int n = code < 20000 ? snprintf(buf, cap, "system text %u.\r\n", code) : -1;
    if (n > 0 && (size_t)n < cap) return (size_t)n;
    if (cap > 0) buf[0] = '\0';
    return 0;
}

// --- registry ------------------------------------------------------------------------

RegKey plat_reg_root(void) { return nullptr; }

long plat_reg_open(RegKey parent, const char* name, RegKey* out)
{
    if (fails("RegOpenKeyExA")) return (long)last_error;
    std::string path = key_path(parent, name);
    if (S.registry.count(path) == 0) return PLAT_ERROR_FILE_NOT_FOUND;
    *out = new_handle(KEY, 0, false, path);
    return 0;
}

long plat_reg_create(RegKey parent, const char* name, RegKey* out)
{
    if (fails("RegCreateKeyExA")) return (long)last_error;
    make_key(key_path(parent, name));
    *out = new_handle(KEY, 0, false, key_path(parent, name));
    return 0;
}

long plat_reg_query(RegKey key, const char* name, uint32_t* type, void* buf, uint32_t* size)
{
    if (fails("RegQueryValueExA")) return (long)last_error;
    auto& values = S.registry[object(key)->path];
    auto it = values.find(lower(name));
    if (it == values.end()) return PLAT_ERROR_FILE_NOT_FOUND;
    *type = it->second.type;
    const std::string& data = it->second.data;
    bool fits = data.size() <= *size;
    if (fits) memcpy(buf, data.data(), data.size());
    *size = (uint32_t)data.size();
    return fits ? 0 : PLAT_ERROR_MORE_DATA;
}

long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    if (fails("RegSetValueExA")) return (long)last_error;
    if (object(key) == nullptr) return PLAT_ERROR_INVALID_HANDLE;
    S.registry[object(key)->path][lower(name)] = Value{type, std::string((const char*)data, size)};
    return 0;
}

long plat_reg_delete_key(RegKey parent, const char* name)
{
    if (fails("RegDeleteKeyA")) return (long)last_error;
    std::string path = key_path(parent, name);
    auto below = S.registry.upper_bound(path);
    if (S.registry.count(path) == 0) return PLAT_ERROR_FILE_NOT_FOUND;
    if (below != S.registry.end() && below->first.compare(0, path.size() + 1, path + "\\") == 0)
        return PLAT_ERROR_ACCESS_DENIED;
    S.registry.erase(path);
    return 0;
}

// The DACL is kept as the SDDL text, under the value name "(security)".
int plat_reg_protect(RegKey key, const char* sddl)
{
    if (fails("RegSetKeySecurity")) return 0;
    S.registry[object(key)->path]["(security)"] = Value{0, sddl};
    return 1;
}

int plat_account_sid(const char* account, char* buf, uint32_t cap)
{
    return fails("LookupAccountNameA") ? 0 : (snprintf(buf, cap, "S-1-5-80-%s", account), 1);
}

void plat_reg_close(RegKey key) { (void)fails("RegCloseKey"), S.handles.erase((uintptr_t)key); }

// --- service dispatcher and status -------------------------------------------------

int plat_start_service_dispatcher(PlatServiceMainFn service_main)
{
    if (fails("StartServiceCtrlDispatcherA")) return 0;
    if (S.service_to_start.empty()) return last_error = PLAT_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 0;
    std::string name = S.ansi_service_name;
    char* argv[] = {&name[0], nullptr};
    service_main(1, argv);
    return 1;
}

StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler)
{
    if (fails("RegisterServiceCtrlHandlerExA")) return nullptr;
    S.handler = handler;
    return (StatusHandle)0x51;
}

int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* s)
{
    if (fails("SetServiceStatus")) return 0;
    if (handle == nullptr) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    static const char* const names[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"};
    char type[32] = "";
    if (s->service_type != 0x10) snprintf(type, sizeof type, " type=0x%x", s->service_type);
    note("status %s cp=%u wait=%u accept=0x%x exit=%u/%u%s", names[s->current_state < 5 ? s->current_state : 0],
         s->check_point, s->wait_hint, s->controls_accepted, s->win32_exit_code, s->service_specific_exit_code, type);
    return 1;
}

int plat_os_major_version(uint32_t* major) { return fails("GetVersionExA") ? 0 : (*major = S.os_major, 1); }
uint32_t plat_current_process_id(void) { return FAKE_PROCESS_ID; }

// --- service manager client ------------------------------------------------------------

ScHandle plat_open_sc_manager(uint32_t access) { return fails("OpenSCManagerA") ? nullptr : new_handle(SC, 0, false); }

ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access)
{
    if (fails("OpenServiceA")) return nullptr;
    if (fake_service(name) == nullptr) return last_error = PLAT_ERROR_SERVICE_DOES_NOT_EXIST, nullptr;
    return new_handle(SC, 0, false, fake_service(name)->name);
}

ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access, const PlatServiceConfig* cfg)
{
    if (fails("CreateServiceA")) return nullptr;
    if (fake_service(name) != nullptr) return last_error = PLAT_ERROR_SERVICE_EXISTS, nullptr;
    fake_add_service(name, SERVICE_STATE_STOPPED);
    apply_config(fake_service(name), cfg);
    return new_handle(SC, 0, false, name);
}

int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg)
{
    return fails("ChangeServiceConfigA") ? 0 : (apply_config(service_of(svc), cfg), 1);
}

int plat_set_service_description(ScHandle svc, const char* description)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->description = description, 1);
}

int plat_set_service_failure_actions_flag(ScHandle svc, int on)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->failure_actions_flag = on, 1);
}

int plat_set_service_preshutdown_timeout(ScHandle svc, uint32_t milliseconds)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->preshutdown_ms = milliseconds, 1);
}

int plat_delete_service(ScHandle svc)
{
    if (fails("DeleteService")) return 0;
    note("delete service %s", service_of(svc)->name.c_str());
    S.services.erase(S.services.begin() + (service_of(svc) - S.services.data()));
    return 1;
}

int plat_start_service(ScHandle svc)
{
    if (fails("StartServiceA")) return 0;
    note("start service %s", service_of(svc)->name.c_str());
    return 1;
}

int plat_control_service(ScHandle svc, uint32_t control)
{
    if (fails("ControlService")) return 0;
    note("control service %s %u", service_of(svc)->name.c_str(), control);
    return 1;
}

int plat_query_service_state(ScHandle svc, uint32_t* state)
{
    return fails("QueryServiceStatus") ? 0 : (*state = service_of(svc)->state, 1);
}

int plat_query_service_process(ScHandle svc, uint32_t* process_id)
{
    return fails("QueryServiceStatusEx") ? 0 : (*process_id = service_of(svc)->process_id, 1);
}

int plat_set_service_sid_type(ScHandle svc, uint32_t sid_type)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->sid_type = sid_type, 1);
}

int plat_command_argument_is_exact(int index, const char* text)
{
    if (fails("CommandLineToArgvW")) return 0;
    return index >= 0 && (size_t)index < S.wide_command_line.size() && S.wide_command_line[index] == text;
}

void plat_close_service_handle(ScHandle h) { (void)fails("CloseServiceHandle"), S.handles.erase((uintptr_t)h); }

// --- event log ---------------------------------------------------------------------------

EventSource plat_register_event_source(const char* source)
{
    return fails("RegisterEventSourceA") ? nullptr : new_handle(SOURCE, 0, false, source);
}

int plat_report_event(EventSource source, uint16_t type, uint32_t event_id, uint16_t count, const char** strings)
{
    if (fails("ReportEventA")) return 0;
    std::string line;
    for (uint16_t i = 0; i < count; ++i) line += " " + quoted(strings[i]);
    note("event 0x%08x type %u%s", event_id, type, line.c_str());
    return 1;
}

void plat_deregister_event_source(EventSource h) { (void)fails("DeregisterEventSource"), S.handles.erase((uintptr_t)h); }

// --- modules, files, current directory --------------------------------------------------

uint32_t plat_module_file_name(LibHandle module, char* buf, uint32_t cap)
{
    if (fails("GetModuleFileNameA")) return 0;
    std::string path = module == nullptr ? S.module_path : object(module)->path;
    size_t copied = std::min<size_t>(path.size(), cap - 1);
    memcpy(buf, path.data(), copied);
    buf[copied] = '\0';
    return path.size() >= cap ? cap : (uint32_t)copied;
}

LibHandle plat_load_library(const char* name)
{
    if (fails("LoadLibraryA")) return nullptr;
    auto it = S.libraries.find(lower(name));
    if (it == S.libraries.end()) return last_error = 126, nullptr;   // ERROR_MOD_NOT_FOUND
    return new_handle(LIB, 0, false, it->second);
}

void plat_free_library(LibHandle module) { (void)fails("FreeLibrary"), S.handles.erase((uintptr_t)module); }

int plat_path_has_entry(const char* path)
{
    if (fails("GetFileAttributesA")) return 0;
    fs::path p = host_path(path);
    std::error_code ec;
    if (fs::exists(p, ec)) return 1;
    last_error = fs::exists(p.parent_path(), ec) ? (uint32_t)PLAT_ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return 0;
}

uint32_t plat_current_directory(char* buf, uint32_t cap)
{
    if (fails("GetCurrentDirectoryA")) return 0;
    const std::string& d = S.current_directory;
    if (d.size() + 1 > cap) return (uint32_t)d.size() + 1;
    memcpy(buf, d.c_str(), d.size() + 1);
    return (uint32_t)d.size();
}

uint32_t plat_system_directory(char* buf, uint32_t cap)
{
    return fails("GetSystemDirectoryA") ? 0 : (uint32_t)snprintf(buf, cap, "C:\\Windows\\system32");
}

FILE* plat_fopen(const char* path, const char* mode)
{
    if (fails("fopen")) return nullptr;
    if (strchr(mode, 'b') != nullptr || mode[0] != 'r') {
        FILE* f = fopen(host_path(path).c_str(), mode);
        if (f == nullptr) last_error = ERROR_PATH_NOT_FOUND;
        return f;
    }
    // A text-mode read, as on Windows: each CR LF reads as LF.
    std::string text;
    if (!fake_read_file(path, &text)) return nullptr;
    for (size_t i = text.find("\r\n"); i != std::string::npos; i = text.find("\r\n", i)) text.erase(i, 1);
    FILE* stream = tmpfile();
    fwrite(text.data(), 1, text.size(), stream);
    rewind(stream);
    return stream;
}

int plat_move_file(const char* from, const char* to, int replace)
{
    if (fails("MoveFileExA")) return 0;
    fs::path source = host_path(from), target = host_path(to);
    if (S.held.count(source.string()) || S.held.count(target.string())) return last_error = 32, 0;   // ERROR_SHARING_VIOLATION
    std::error_code ec;
    if (fs::is_directory(target, ec)) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    if (!replace && fs::exists(target, ec)) return last_error = 183, 0;   // ERROR_ALREADY_EXISTS
    fs::rename(source, target, ec);
    if (ec) return last_error = PLAT_ERROR_FILE_NOT_FOUND, 0;
    S.written_at[target.string()] = S.written_at[source.string()];
    return 1;
}

int plat_path_info(const char* path, PlatFileInfo* info)
{
    *info = PlatFileInfo{};
    if (fails("GetFileAttributesExA")) return 0;
    fs::path p = host_path(path);
    std::error_code ec;
    if (!fs::exists(p, ec))
        return last_error = fs::exists(p.parent_path(), ec) ? (uint32_t)PLAT_ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, 0;
    info->kind = fs::is_directory(p, ec) ? PLAT_ENTRY_DIRECTORY : fs::is_regular_file(p, ec) ? PLAT_ENTRY_FILE : PLAT_ENTRY_DEVICE;
    info->size = info->kind == PLAT_ENTRY_FILE ? fs::file_size(p, ec) : 0;
    info->last_write = S.written_at[p.string()];
    return 1;
}

namespace {

// A file opened for appending, or made new and empty (`truncate`).  A new
// file takes room on the disk: on a full one it cannot be made.
PlatHandle open_for_writing(const char* path, bool truncate)
{
    if (fails("CreateFileA")) return nullptr;
    fs::path p = host_path(path);
    std::error_code ec;
    if (S.disk_space == 0 && !fs::exists(p, ec)) return last_error = PLAT_ERROR_DISK_FULL, nullptr;
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    if (fd < 0) return last_error = fs::is_directory(p, ec) ? (uint32_t)PLAT_ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND, nullptr;
    if (truncate || S.written_at.count(p.string()) == 0) S.written_at[p.string()] = plat_time_seconds();
    return new_handle(FILE_OUT, fd, false, p.string());
}

}  // namespace

PlatHandle plat_open_append(const char* path) { return open_for_writing(path, false); }

int plat_file_info(PlatHandle file, PlatFileInfo* info)
{
    *info = PlatFileInfo{PLAT_ENTRY_FILE, 0, S.written_at[object(file)->path]};
    if (fails("GetFileInformationByHandle")) return 0;
    std::error_code ec;
    info->size = fs::file_size(object(file)->path, ec);
    return 1;
}

namespace {

// A write takes what room the disk has left: a short count while there is
// some, ERROR_DISK_FULL once there is none.
int write_to_disk(Object* file, const void* buf, uint32_t size, uint32_t* written)
{
    size_t room = S.disk_space < 0 ? size : std::min<size_t>(size, (size_t)S.disk_space);
    *written = 0;
    if (room == 0 && size > 0) return last_error = PLAT_ERROR_DISK_FULL, 0;
    *written = (uint32_t)::write(file->id, buf, room);
    if (S.disk_space >= 0) S.disk_space -= *written;
    S.written_at[file->path] = plat_time_seconds();
    return 1;
}

}  // namespace

void fake_hold_file(const std::string& path, bool held)
{
    if (held) S.held.insert(host_path(path).string());
    else S.held.erase(host_path(path).string());
}

void fake_set_disk_space(int64_t bytes) { S.disk_space = bytes; }

// Files read and written whole (the compression of rotated log files).  A
// file being read may be renamed or deleted, as delete sharing allows.
PlatHandle plat_open_read(const char* path)
{
    if (fails("CreateFileA")) return nullptr;
    fs::path p = host_path(path);
    std::error_code ec;
    int fd = fs::is_regular_file(p, ec) ? open(p.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return last_error = fs::exists(p, ec) ? PLAT_ERROR_ACCESS_DENIED : PLAT_ERROR_FILE_NOT_FOUND, nullptr;
    return new_handle(FILE_IN, fd, false, p.string());
}

PlatHandle plat_create_file(const char* path) { return open_for_writing(path, true); }

int plat_read_file(PlatHandle file, void* buf, uint32_t size, uint32_t* got)
{
    *got = 0;
    if (fails("ReadFile")) return 0;
    ssize_t n = ::read(object(file)->id, buf, size);
    if (n < 0) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    *got = (uint32_t)n;
    return 1;
}

int plat_delete_file(const char* path)
{
    if (fails("DeleteFileA")) return 0;
    fs::path p = host_path(path);
    std::error_code ec;
    if (S.held.count(p.string())) return last_error = 32, 0;   // ERROR_SHARING_VIOLATION
    if (!fs::is_regular_file(p, ec))
        return last_error = fs::exists(p, ec) ? PLAT_ERROR_ACCESS_DENIED : PLAT_ERROR_FILE_NOT_FOUND, 0;
    fs::remove(p, ec);
    S.written_at.erase(p.string());
    return 1;
}

const char* plat_text_line_end(void) { return "\r\n"; }

// --- environment ---------------------------------------------------------------------------

char* plat_environment_block(void)
{
    if (fails("GetEnvironmentStrings")) return nullptr;
    std::string block;
    for (const auto& e : S.env) block += e.second.first + "=" + e.second.second + '\0';
    S.env_blocks++;
    return (char*)memcpy(malloc(block.size() + 1), block.c_str(), block.size() + 1);
}

void plat_free_environment_block(char* block)
{
    (void)fails("FreeEnvironmentStringsA");
    S.env_blocks -= block != nullptr;
    free(block);
}

uint32_t plat_get_env(const char* name, char* buf, uint32_t cap)
{
    if (fails("GetEnvironmentVariableA")) return 0;
    auto it = S.env.find(upper(name));
    if (it == S.env.end()) return last_error = ERROR_ENVVAR_NOT_FOUND, 0;
    const std::string& v = it->second.second;
    if (v.size() + 1 > cap) return (uint32_t)v.size() + 1;
    memcpy(buf, v.c_str(), v.size() + 1);
    return (uint32_t)v.size();
}

int plat_set_env(const char* name, const char* value)
{
    return fails("SetEnvironmentVariableA") ? 0 : (fake_set_env(name, value), 1);
}

uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap)
{
    if (fails("ExpandEnvironmentStringsA")) return 0;
    std::string out, text = src;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        auto it = end == std::string::npos ? S.env.end() : S.env.find(upper(text.substr(i + 1, end - i - 1)));
        if (it == S.env.end()) out += text[i];
        else out += it->second.second, i = end;
    }
    if (out.size() + 1 <= cap) memcpy(dst, out.c_str(), out.size() + 1);
    return (uint32_t)out.size() + 1;
}

// --- memory ------------------------------------------------------------------------------------

void* plat_heap_alloc(size_t size) { return fails("HeapAlloc") ? nullptr : calloc(1, size); }
void* plat_heap_realloc(void* block, size_t size) { return fails("HeapReAlloc") ? nullptr : realloc(block, size); }
void plat_heap_free(void* block) { free(block); }

// --- pipes, processes, threads, events ---------------------------------------------------------

namespace {

int make_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size, bool watchable)
{
    S.pipes.emplace_back();
    S.pipes.back().watchable = watchable;
    S.pipes.back().capacity = buffer_size == 0 ? 4096 : SIZE_MAX / 2;
    *read_end = new_handle(PIPE_READ, (int)S.pipes.size() - 1, true);
    *write_end = new_handle(PIPE_WRITE, (int)S.pipes.size() - 1, true);
    return 1;
}

}  // namespace

int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{
    return fails("CreatePipe") ? 0 : make_pipe(read_end, write_end, buffer_size, false);
}

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

void plat_output_pipe_close(PlatOutputPipe* pipe) { plat_close_handle(pipe->handle); }

int plat_output_pipe_peek(PlatOutputPipe* pipe, uint32_t* available) { return plat_peek_pipe(pipe->handle, available); }

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
    if (o->kind == FILE_OUT || o->kind == FILE_IN) close(o->id);
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

int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written)
{
    if (fails("WriteFile")) return 0;
    if (object(h)->kind == FILE_OUT) return write_to_disk(object(h), buf, size, written);
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
    bool scripted = strstr(command_line, "exit.bat") == nullptr && S.next_script < S.scripts.size();
    child.script = scripted ? S.scripts[S.next_script++] : FakeScript{{0, 'x', "0"}};
    PlatHandle ends[3] = {startup->std_input, startup->std_output, startup->std_error};
    int* pipes[3] = {&child.in, &child.out, &child.err};
    for (int i = 0; i < 3 && inherit_handles && (startup->flags & 0x100); ++i) {
        Object* o = object(ends[i]);
        if (o == nullptr || !o->inheritable || o->kind > PIPE_WRITE) continue;
        *pipes[i] = o->id;
        if (i == 0) S.pipes[o->id].readers++, S.pipes[o->id].reader_child = index;
        else S.pipes[o->id].writers++;
    }
    for (const FakeStep& step : child.script) child.reads |= step.kind == 's' || step.kind == 'r';
    note("child %u started", child.pid);
    char details[16384];
    snprintf(details, sizeof details, "%s dir=%s PATH=%s flags=0x%x startup=0x%x/%u title=%d inherit=%d\n",
             quoted(command_line).c_str(), current_directory != nullptr ? current_directory : "(none)",
             fake_get_env("PATH").c_str(), creation_flags, startup->flags, startup->show_window,
             startup->title == command_line, inherit_handles);
    S.child_details += details;
    child.suspended = (creation_flags & 0x4) != 0;   // CREATE_SUSPENDED
    if (!child.suspended) schedule_steps(index);
    process->process = new_handle(PROCESS, index, false);
    process->thread = new_handle(THREAD, -1 - index, false);
    process->process_id = child.pid;
    process->thread_id = child.pid + 1;
    return 1;
}

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
    if (child.suspended) child.suspended = false, schedule_steps(-1 - object(thread)->id);
    return 1;
}

int plat_process_exit_code(PlatHandle process, uint32_t* code)
{
    return fails("GetExitCodeProcess") ? 0 : (*code = child_of(process)->code, 1);
}

// A wait moves the clock from one due step or request to the next until the
// object is signalled or the time is up.  A thread's body runs, to its end,
// when it is waited on.
namespace {

// Waits on the objects; returns PLAT_WAIT_OBJECT_0 plus the index of the
// first one signalled, or a PLAT_WAIT_ code.  An event that ends the wait is
// reset by it; the read end of a watchable pipe is signalled while it holds
// data.
uint32_t wait_objects(std::vector<PlatHandle> handles, uint32_t milliseconds)
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

}  // namespace

uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds)
{
    return fails("WaitForSingleObject") ? PLAT_WAIT_FAILED : wait_objects({handle}, milliseconds);
}

uint32_t plat_wait_either(PlatHandle first, PlatHandle second, uint32_t milliseconds)
{
    if (second == nullptr) return plat_wait(first, milliseconds);
    return fails("WaitForMultipleObjects") ? PLAT_WAIT_FAILED : wait_objects({first, second}, milliseconds);
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

// --- console -------------------------------------------------------------------------------------

int plat_set_console_handler(PlatConsoleHandlerFn h) { return fails("SetConsoleCtrlHandler") ? 0 : (S.console_handler = h, 1); }
int plat_free_console(void) { return fails("FreeConsole") ? 0 : (S.attached = 0, 1); }
// As on Windows, a process that has a console cannot attach to another one.
int plat_attach_console(uint32_t process_id)
{
    if (fails("AttachConsole")) return 0;
    if (S.attached != 0) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    S.attached = process_id;
    return 1;
}

// A Ctrl+Break reaches a live child only while the wrapper is attached to its console.
int plat_send_ctrl_break(uint32_t process_group_id)
{
    if (fails("GenerateConsoleCtrlEvent")) return 0;
    for (Child& child : S.children) {
        if (child.pid != process_group_id || child.ended || S.attached != child.pid) continue;
        note("ctrl-break child %u", child.pid);
        for (const FakeStep& step : child.script)
            if (step.kind == 'b') child_write(child, child.out, step.text);
        return 1;
    }
    return last_error = PLAT_ERROR_INVALID_PARAMETER, 0;
}

// --- time ------------------------------------------------------------------------------------------

int64_t plat_time_seconds(void) { return 1'800'000'000 + S.wall_step + (int64_t)(S.now / 1000); }
uint32_t plat_tick_count(void) { return (uint32_t)S.now; }

// The fake's local time is UTC, as its asctime text is.
uint32_t plat_local_date(int64_t seconds)
{
    time_t t = (time_t)seconds;
    struct tm parts;
    gmtime_r(&t, &parts);
    return (uint32_t)((parts.tm_year + 1900) * 10000 + (parts.tm_mon + 1) * 100 + parts.tm_mday);
}
uint64_t plat_tick_count64(void) { return S.now; }

void plat_asctime_local(int64_t seconds, char* buf, size_t cap)
{
    time_t t = (time_t)seconds;
    struct tm parts;
    gmtime_r(&t, &parts);
    strftime(buf, cap, "%a %b %e %H:%M:%S %Y\n", &parts);
}
