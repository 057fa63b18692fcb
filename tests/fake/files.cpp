// Modules, files and the current directory.  Files live at their Windows
// paths under a scratch folder of the host's, one per reset.
#include <fcntl.h>
#include <unistd.h>

#include "fake/state.h"

namespace fake {

static void remove_root()
{
    if (!S.root.empty()) fs::remove_all(S.root);
}

// Lower case, relative paths from the current directory, "." and empty
// parts dropped.
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

void remove_files()
{
    // The last test's file system goes when the test process ends.
    static const int cleanup_registered = atexit(remove_root);
    (void)cleanup_registered;
    for (const auto& h : S.handles)
        if (h.second.kind == FILE_OUT) close(h.second.id);
    remove_root();
}

void make_files()
{
    char dir[] = "/tmp/talvex-fake-XXXXXX";
    S.root = mkdtemp(dir);
    fake_make_dir("C:\\svc");
}

}  // namespace fake

void fake_write_file(const std::string& path, const std::string& content)
{
    fs::path p = host_path(path);
    fs::create_directories(p.parent_path());
    FILE* f = fopen(p.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
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

void fake_hold_file(const std::string& path, bool held)
{
    if (held) S.held.insert(host_path(path).string());
    else S.held.erase(host_path(path).string());
}

void fake_set_disk_space(int64_t bytes) { S.disk_space = bytes; }
void fake_set_module_path(const std::string& path) { S.module_path = path; }
void fake_set_current_directory(const std::string& path) { S.current_directory = path; }

void fake_set_library(const std::string& name, const std::string& path)
{
    if (path.empty()) S.libraries.erase(lower(name));
    else S.libraries[lower(name)] = path;
}

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

// A new file takes room on the disk: on a full one it cannot be made.
PlatHandle plat_open_append(const char* path)
{
    if (fails("CreateFileA")) return nullptr;
    fs::path p = host_path(path);
    std::error_code ec;
    if (S.disk_space == 0 && !fs::exists(p, ec)) return last_error = PLAT_ERROR_DISK_FULL, nullptr;
    int fd = open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return last_error = fs::is_directory(p, ec) ? (uint32_t)PLAT_ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND, nullptr;
    S.written_at.emplace(p.string(), plat_time_seconds());
    return new_handle(FILE_OUT, fd, false, p.string());
}

int plat_file_info(PlatHandle file, PlatFileInfo* info)
{
    *info = PlatFileInfo{PLAT_ENTRY_FILE, 0, S.written_at[object(file)->path]};
    if (fails("GetFileInformationByHandle")) return 0;
    std::error_code ec;
    info->size = fs::file_size(object(file)->path, ec);
    return 1;
}

const char* plat_text_line_end(void) { return "\r\n"; }
