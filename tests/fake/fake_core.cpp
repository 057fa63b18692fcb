// In-memory platform: last error, failure injection, clock, heap, files,
// modules and system texts.
#include "fake/fake_core.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>

#include "common/platform.h"

namespace {

struct FailRule {
    std::string call;
    uint32_t error;
    int remaining;      // calls still to pass before the failing one
    bool persistent;
};

// A stream the logic writes a file through.  open_memstream keeps pointers to
// buf and size, so every one lives at a stable address until the next reset.
struct MemStream {
    FILE* stream = nullptr;
    char* buf = nullptr;
    size_t size = 0;
};

struct FakeFile {
    std::string content;          // contents when no writer is open
    MemStream* writer = nullptr;  // the open writer, if any
};

thread_local uint32_t g_last_error = 0;
std::vector<FailRule> g_rules;
std::map<std::string, int> g_counts;
std::vector<std::string> g_seen;
std::vector<void (*)()>& reset_hooks()
{
    static std::vector<void (*)()> hooks;
    return hooks;
}
std::vector<void (*)(uint64_t)>& advance_hooks()
{
    static std::vector<void (*)(uint64_t)> hooks;
    return hooks;
}

uint64_t g_now_ms = 0;
int64_t g_wall_base = 1767225600;   // 2026-01-01 00:00:00 UTC at g_now_ms == 0
uint32_t g_tick_base = 1000000;
std::string g_line_end = "\n";

std::map<std::string, FakeFile> g_files;
// Every stream handed out since the last reset, tracked or not: the logic may
// still hold one whose file was replaced or renamed.  Closed at reset.
std::vector<MemStream*> g_streams;
std::map<std::string, bool> g_dirs;
std::string g_module_path = "C:\\talvex\\talvex.exe";
std::string g_current_dir = "C:\\work";
std::map<std::string, std::string> g_libraries;   // key: lower-case bare name
std::vector<std::string> g_loaded;                // handle i+1 -> full path
std::map<uint32_t, std::string> g_messages;

std::string lower(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

// Windows path rules, enough for the tests: case-insensitive, forward slashes
// taken as backslashes, runs of separators and "." components dropped.
std::string norm(const std::string& path)
{
    std::string p = lower(path);
    for (auto& c : p)
        if (c == '/') c = '\\';
    std::vector<std::string> parts;
    std::string cur;
    bool unc = p.size() >= 2 && p[0] == '\\' && p[1] == '\\';
    for (size_t i = 0; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '\\') {
            if (!cur.empty() && cur != ".") parts.push_back(cur);
            cur.clear();
        } else {
            cur += p[i];
        }
    }
    std::string out = unc ? "\\\\" : (p.size() && p[0] == '\\' ? "\\" : "");
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '\\';
        out += parts[i];
    }
    return out;
}

std::string g_current_dir_for_resolve();

// A relative path names an entry under the current directory, as on Windows.
std::string resolve(const std::string& path)
{
    bool absolute = (!path.empty() && (path[0] == '\\' || path[0] == '/')) ||
                    (path.size() > 1 && path[1] == ':');
    return absolute ? norm(path) : norm(g_current_dir_for_resolve() + "\\" + path);
}

std::string parent_of(const std::string& normalised)
{
    size_t pos = normalised.rfind('\\');
    if (pos == std::string::npos) return "";
    return normalised.substr(0, pos);
}

void default_messages()
{
    g_messages.clear();
    g_messages[0] = "The operation completed successfully.\r\n";
    g_messages[2] = "The system cannot find the file specified.\r\n";
    g_messages[3] = "The system cannot find the path specified.\r\n";
    g_messages[5] = "Access is denied.\r\n";
    g_messages[6] = "The handle is invalid.\r\n";
    g_messages[8] = "Not enough memory resources are available to process this command.\r\n";
    g_messages[14] = "Not enough memory resources are available to complete this operation.\r\n";
    g_messages[87] = "The parameter is incorrect.\r\n";
    g_messages[109] = "The pipe has been ended.\r\n";
    g_messages[120] = "This function is not supported on this system.\r\n";
    g_messages[122] = "The data area passed to a system call is too small.\r\n";
    g_messages[126] = "The specified module could not be found.\r\n";
    g_messages[206] = "The filename or extension is too long.\r\n";
    g_messages[234] = "More data is available.\r\n";
    g_messages[1056] = "An instance of the service is already running.\r\n";
    g_messages[1060] = "The specified service does not exist as an installed service.\r\n";
    g_messages[1061] = "The service cannot accept control messages at this time.\r\n";
    g_messages[1062] = "The service has not been started.\r\n";
    g_messages[1063] = "The service process could not connect to the service controller.\r\n";
    g_messages[1066] = "The service has returned a service-specific error code.\r\n";
    g_messages[1072] = "The specified service has been marked for deletion.\r\n";
    g_messages[1073] = "The specified service already exists.\r\n";
}

void close_streams();
bool dir_exists(const std::string& normalised);

void core_reset()
{
    g_last_error = 0;
    g_rules.clear();
    g_counts.clear();
    g_seen.clear();
    g_now_ms = 0;
    g_wall_base = 1767225600;
    g_tick_base = 1000000;
    g_line_end = "\n";
    g_files.clear();
    close_streams();
    g_dirs.clear();
    g_module_path = "C:\\talvex\\talvex.exe";
    g_current_dir = "C:\\work";
    g_libraries.clear();
    g_loaded.clear();
    default_messages();
}

void close_streams()
{
    for (MemStream* m : g_streams) {
        fclose(m->stream);
        free(m->buf);
        delete m;
    }
    g_streams.clear();
}

// Streams the logic still holds when the test program ends (it never closes
// its log) are closed here, before the leak checker looks.
struct CoreRegistration {
    CoreRegistration() { default_messages(); }
    ~CoreRegistration() { close_streams(); }
} g_core_registration;

// The root of a drive (or of the current drive) always exists.
bool dir_exists(const std::string& normalised)
{
    if (normalised.empty() || normalised == "\\") return true;
    if (normalised.size() == 2 && normalised[1] == ':') return true;
    return g_dirs.count(normalised) != 0;
}

std::string g_current_dir_for_resolve() { return g_current_dir; }

FakeFile* find_file(const std::string& path)
{
    auto it = g_files.find(resolve(path));
    return it == g_files.end() ? nullptr : &it->second;
}

std::string file_content(FakeFile& f)
{
    if (f.writer) {
        fflush(f.writer->stream);
        return std::string(f.writer->buf ? f.writer->buf : "", f.writer->size);
    }
    return f.content;
}

void close_writer(FakeFile& f)
{
    if (!f.writer) return;
    f.content = file_content(f);
    // The logic keeps its stream open for the life of the process; the fake
    // never closes it behind the logic's back, it only stops tracking it.
    f.writer = nullptr;
}

}  // namespace

// --- control API -------------------------------------------------------------

void fake_on_reset(void (*reset)()) { reset_hooks().push_back(reset); }

void fake_reset()
{
    core_reset();
    for (auto hook : reset_hooks()) hook();
}

void fake_fail(const char* call, uint32_t error, int nth, bool persistent)
{
    g_rules.push_back(FailRule{call, error, nth > 0 ? nth - 1 : 0, persistent});
}

bool fake_should_fail(const char* call)
{
    if (g_counts[call]++ == 0) g_seen.push_back(call);
    for (auto it = g_rules.begin(); it != g_rules.end(); ++it) {
        if (it->call != call) continue;
        if (it->remaining > 0) {
            --it->remaining;
            continue;
        }
        g_last_error = it->error;
        if (!it->persistent) g_rules.erase(it);
        return true;
    }
    return false;
}

int fake_call_count(const char* call)
{
    auto it = g_counts.find(call);
    return it == g_counts.end() ? 0 : it->second;
}

std::vector<std::string> fake_calls_seen() { return g_seen; }

uint64_t fake_now_ms() { return g_now_ms; }

void fake_set_wall_clock(int64_t seconds) { g_wall_base = seconds - (int64_t)(g_now_ms / 1000); }

void fake_set_tick(uint32_t tick) { g_tick_base = tick - (uint32_t)g_now_ms; }

void fake_advance(uint64_t ms)
{
    g_now_ms += ms;
    for (auto hook : advance_hooks()) hook(g_now_ms);
}

void fake_on_advance(void (*hook)(uint64_t)) { advance_hooks().push_back(hook); }

void fake_fs_mkdir(const std::string& path)
{
    std::string p = resolve(path);
    while (!p.empty()) {
        g_dirs[p] = true;
        p = parent_of(p);
    }
}

void fake_fs_write(const std::string& path, const std::string& content)
{
    FakeFile& f = g_files[resolve(path)];
    close_writer(f);
    f.content = content;
    fake_fs_mkdir(parent_of(resolve(path)));
}

bool fake_fs_exists(const std::string& path)
{
    std::string p = resolve(path);
    return g_files.count(p) || dir_exists(p);
}

std::string fake_fs_read(const std::string& path)
{
    FakeFile* f = find_file(path);
    return f ? file_content(*f) : std::string();
}

void fake_fs_remove(const std::string& path)
{
    auto it = g_files.find(resolve(path));
    if (it == g_files.end()) return;
    close_writer(it->second);
    g_files.erase(it);
}

void fake_set_text_line_end(const char* line_end) { g_line_end = line_end; }

void fake_set_module_path(const std::string& path) { g_module_path = path; }

void fake_add_library(const std::string& name, const std::string& full_path)
{
    g_libraries[lower(name)] = full_path;
}

void fake_set_current_directory(const std::string& path) { g_current_dir = path; }

void fake_set_system_message(uint32_t code, const std::string& text)
{
    if (text.empty())
        g_messages.erase(code);
    else
        g_messages[code] = text;
}

// --- platform: last error and messages ---------------------------------------

uint32_t plat_get_last_error(void) { return g_last_error; }

void plat_set_last_error(uint32_t code) { g_last_error = code; }

size_t plat_system_message(uint32_t code, uint32_t language, char* buf, size_t cap)
{
    if (cap) buf[0] = '\0';
    if (fake_should_fail("FormatMessageA")) return 0;
    auto it = g_messages.find(code);
    if (it == g_messages.end() || it->second.size() + 1 > cap) {
        plat_set_last_error(it == g_messages.end() ? 317u : (uint32_t)PLAT_ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buf, it->second.c_str(), it->second.size() + 1);
    return it->second.size();
}

// --- platform: modules, files, current directory ------------------------------

uint32_t plat_module_file_name(LibHandle module, char* buf, uint32_t cap)
{
    if (fake_should_fail("GetModuleFileNameA")) return 0;
    std::string name;
    if (module == nullptr) {
        name = g_module_path;
    } else {
        size_t index = (size_t)(uintptr_t)module;
        if (index == 0 || index > g_loaded.size()) {
            g_last_error = PLAT_ERROR_INVALID_HANDLE;
            return 0;
        }
        name = g_loaded[index - 1];
    }
    if (cap == 0) return 0;
    // Like Windows: a name that does not fit is cut, terminated, and the
    // result equals the capacity with ERROR_INSUFFICIENT_BUFFER.
    if (name.size() >= cap) {
        memcpy(buf, name.data(), cap - 1);
        buf[cap - 1] = '\0';
        g_last_error = PLAT_ERROR_INSUFFICIENT_BUFFER;
        return cap;
    }
    memcpy(buf, name.c_str(), name.size() + 1);
    return (uint32_t)name.size();
}

LibHandle plat_load_library(const char* name)
{
    if (fake_should_fail("LoadLibraryA")) return nullptr;
    auto it = g_libraries.find(lower(name));
    if (it == g_libraries.end()) {
        g_last_error = 126;   // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    g_loaded.push_back(it->second);
    return (LibHandle)(uintptr_t)g_loaded.size();
}

void plat_free_library(LibHandle module) { (void)fake_should_fail("FreeLibrary"); }

int plat_path_has_entry(const char* path)
{
    if (fake_should_fail("GetFileAttributesA")) return 0;
    if (fake_fs_exists(path)) return 1;
    std::string p = resolve(path);
    g_last_error = dir_exists(parent_of(p)) ? PLAT_ERROR_FILE_NOT_FOUND : 3;
    return 0;
}

uint32_t plat_current_directory(char* buf, uint32_t cap)
{
    if (fake_should_fail("GetCurrentDirectoryA")) return 0;
    if (g_current_dir.size() + 1 > cap) return (uint32_t)g_current_dir.size() + 1;
    memcpy(buf, g_current_dir.c_str(), g_current_dir.size() + 1);
    return (uint32_t)g_current_dir.size();
}

FILE* plat_fopen(const char* path, const char* mode)
{
    if (fake_should_fail("fopen")) return nullptr;
    std::string p = resolve(path);
    bool text = strchr(mode, 'b') == nullptr;
    if (mode[0] == 'r') {
        FakeFile* f = find_file(path);
        if (!f) {
            g_last_error = PLAT_ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        std::string content = file_content(*f);
        if (text) {
            // Text mode drops the CR of a CR LF pair, as the C runtime does.
            std::string out;
            for (size_t i = 0; i < content.size(); ++i) {
                if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') continue;
                out += content[i];
            }
            content = out;
        }
        // fmemopen needs a buffer that outlives the stream: tmpfile is simpler.
        FILE* stream = tmpfile();
        if (!stream) return nullptr;
        fwrite(content.data(), 1, content.size(), stream);
        rewind(stream);
        return stream;
    }
    if (!dir_exists(parent_of(p))) {
        g_last_error = 3;   // ERROR_PATH_NOT_FOUND
        return nullptr;
    }
    FakeFile& f = g_files[p];
    close_writer(f);
    f.content.clear();
    MemStream* m = new MemStream;
    m->stream = open_memstream(&m->buf, &m->size);
    if (!m->stream) {
        delete m;
        g_last_error = PLAT_ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    g_streams.push_back(m);
    f.writer = m;
    return m->stream;
}

int plat_rename_replace(const char* from, const char* to)
{
    if (fake_should_fail("MoveFileExA")) return 0;
    auto it = g_files.find(resolve(from));
    if (it == g_files.end()) {
        g_last_error = PLAT_ERROR_FILE_NOT_FOUND;
        return 0;
    }
    std::string content = file_content(it->second);
    close_writer(it->second);
    g_files.erase(it);
    FakeFile& target = g_files[resolve(to)];
    close_writer(target);
    target.content = content;
    return 1;
}

const char* plat_text_line_end(void) { return g_line_end.c_str(); }

// --- platform: heap ------------------------------------------------------------

void* plat_heap_alloc(size_t size)
{
    if (fake_should_fail("HeapAlloc")) return nullptr;
    return calloc(1, size ? size : 1);
}

void* plat_heap_realloc(void* block, size_t size)
{
    if (fake_should_fail("HeapReAlloc")) return nullptr;
    return realloc(block, size ? size : 1);
}

void plat_heap_free(void* block) { free(block); }

// --- platform: time --------------------------------------------------------------

int64_t plat_time_seconds(void) { return g_wall_base + (int64_t)(g_now_ms / 1000); }

void plat_asctime_local(int64_t seconds, char* buf, size_t cap)
{
    // The fake's local time is UTC, so trace lines are the same on every machine.
    time_t t = (time_t)seconds;
    struct tm parts;
    gmtime_r(&t, &parts);
    char text[64];
    strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &parts);
    if (cap == 0) return;
    strncpy(buf, text, cap - 1);
    buf[cap - 1] = '\0';
}

uint32_t plat_tick_count(void) { return g_tick_base + (uint32_t)g_now_ms; }

void plat_sleep(uint32_t milliseconds) { fake_advance(milliseconds); }
