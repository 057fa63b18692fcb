// Modules, files and the current directory.  Files and directories live in
// memory at their full paths, in lower case, as Windows ignores the letter
// case of a name.  An open file is written through its name: the logic never
// moves a file it holds open for writing.  A file opened for reading is read
// from what it held when it was opened, so that it may be renamed or deleted
// meanwhile, as delete sharing allows (nothing writes a file being read).
#include "fake/state.h"

#include <zlib.h>

// The full form of a Windows path: relative paths from the current
// directory, "." and empty parts dropped.
static std::string full_path(const std::string& windows_path)
{
    std::string p = lower(windows_path), cwd = lower(S.current_directory);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() < 2 || p[1] != ':') p = p[0] == '\\' ? cwd.substr(0, 2) + p : cwd + "\\" + p;
    std::string out = p.substr(0, 2);
    for (size_t start = 3, end; start <= p.size(); start = end + 1) {
        end = std::min(p.find('\\', start), p.size());
        std::string part = p.substr(start, end - start);
        if (!part.empty() && part != ".") out += "\\" + part;
    }
    return out;
}

static std::string parent_of(const std::string& full) { return full.substr(0, full.rfind('\\')); }

static Entry* entry(const std::string& full)
{
    auto it = S.files.find(full);
    return it == S.files.end() ? nullptr : &it->second;
}

// Why a path names nothing: its directory is there or is not.
static int missing(const std::string& full)
{
    last_error = entry(parent_of(full)) != nullptr ? PLAT_ERROR_FILE_NOT_FOUND : PLAT_ERROR_PATH_NOT_FOUND;
    return 0;
}

int fake::write_to_disk(const std::string& full, const void* buf, uint32_t size, uint32_t* written)
{
    // A write takes what room the disk has left: a short count while there
    // is some, ERROR_DISK_FULL once there is none.
    size_t room = S.disk_space < 0 ? size : std::min<size_t>(size, (size_t)S.disk_space);
    *written = 0;
    if (room == 0 && size > 0) return last_error = PLAT_ERROR_DISK_FULL, 0;
    Entry& file = S.files[full];
    file.data.append((const char*)buf, room);
    file.last_write = plat_time_seconds();
    *written = (uint32_t)room;
    if (S.disk_space >= 0) S.disk_space -= *written;
    return 1;
}

// A file about to be written: made when it is not there, emptied with
// `truncate`.  A new file takes room on the disk: on a full one it cannot be
// made.  0 with the last error when it cannot be written.
static int make_writable(const std::string& full, bool truncate)
{
    Entry *e = entry(full), *directory = entry(parent_of(full));
    if (e != nullptr && e->directory) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    if (e == nullptr && S.disk_space == 0) return last_error = PLAT_ERROR_DISK_FULL, 0;
    if (directory == nullptr || !directory->directory) return last_error = PLAT_ERROR_PATH_NOT_FOUND, 0;
    if (truncate || e == nullptr) S.files[full] = Entry{false, "", plat_time_seconds()};
    return 1;
}

void fake_make_dir(const std::string& path)
{
    std::string full = full_path(path);
    for (size_t end = full.find('\\'); end != std::string::npos; end = full.find('\\', end + 1))
        S.files.emplace(full.substr(0, end), Entry{true, ""});
    S.files.emplace(full, Entry{true, ""});
}

void fake_remove(const std::string& path)
{
    std::string full = full_path(path);
    for (auto it = S.files.begin(); it != S.files.end();)
        it = it->first == full || it->first.compare(0, full.size() + 1, full + "\\") == 0 ? S.files.erase(it) : std::next(it);
}

void fake_write_file(const std::string& path, const std::string& content)
{
    fake_make_dir(parent_of(full_path(path)));
    S.files[full_path(path)] = Entry{false, content, plat_time_seconds()};
}

bool fake_read_file(const std::string& path, std::string* content)
{
    Entry* e = entry(full_path(path));
    if (e == nullptr || e->directory) return false;
    *content = e->data;
    return true;
}

void fake_hold_file(const std::string& path, bool held, uint32_t share)
{
    if (held) S.held[full_path(path)] = share;
    else S.held.erase(full_path(path));
}

std::vector<std::string> fake_list_dir(const std::string& path)
{
    std::string full = full_path(path);
    std::vector<std::string> names;
    for (const auto& f : S.files)
        if (parent_of(f.first) == full && f.first != full) names.push_back(f.first.substr(full.size() + 1));
    return names;
}

// Whether another program's hold keeps the file from what a call asks:
// renaming or deleting it (need 0), or opening it to read or write it.
static bool refused_by_holder(const std::string& full, uint32_t need)
{
    auto it = S.held.find(full);
    if (it == S.held.end() || (need != 0 && (it->second & need) == need)) return false;
    last_error = 32;   // ERROR_SHARING_VIOLATION
    return true;
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
    return entry(full_path(path)) != nullptr ? 1 : missing(full_path(path));
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

// A stream that writes (the logic writes streams in binary mode only) goes
// to the file through its name, as a handle does; one that reads is a copy
// of the file, and a text-mode read, as on Windows, reads each CR LF as LF.
static ssize_t stream_write(void* path, const char* buf, size_t size)
{
    uint32_t written = 0;
    write_to_disk(*(const std::string*)path, buf, (uint32_t)size, &written);
    return written;
}

static int stream_close(void* path)
{
    delete (std::string*)path;
    return 0;
}

FILE* plat_fopen(const char* path, const char* mode)
{
    if (fails("fopen")) return nullptr;
    std::string full = full_path(path), text;
    if (mode[0] != 'r') {
        if (!make_writable(full, mode[0] == 'w')) return nullptr;
        cookie_io_functions_t io = {nullptr, stream_write, nullptr, stream_close};
        return fopencookie(new std::string(full), mode, io);
    }
    if (!fake_read_file(path, &text)) return missing(full), nullptr;
    for (size_t i = text.find("\r\n"); strchr(mode, 'b') == nullptr && i != std::string::npos; i = text.find("\r\n", i))
        text.erase(i, 1);
    FILE* stream = tmpfile();
    fwrite(text.data(), 1, text.size(), stream);
    rewind(stream);
    return stream;
}

int plat_move_file(const char* from, const char* to, int replace)
{
    if (fails("MoveFileExA")) return 0;
    std::string source = full_path(from), target = full_path(to);
    if (refused_by_holder(source, 0) || refused_by_holder(target, 0)) return 0;
    Entry* there = entry(target);
    if (there != nullptr && there->directory) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    if (!replace && there != nullptr) return last_error = 183, 0;   // ERROR_ALREADY_EXISTS
    if (entry(source) == nullptr || entry(parent_of(target)) == nullptr) return last_error = PLAT_ERROR_FILE_NOT_FOUND, 0;
    S.files[target] = *entry(source);
    S.files.erase(source);
    return 1;
}

int plat_path_info(const char* path, PlatFileInfo* info)
{
    *info = PlatFileInfo{};
    if (fails("GetFileAttributesExA")) return 0;
    Entry* e = entry(full_path(path));
    if (e == nullptr) return missing(full_path(path));
    info->kind = e->directory ? PLAT_ENTRY_DIRECTORY : PLAT_ENTRY_FILE;
    info->size = e->directory ? 0 : e->data.size();
    info->last_write = e->last_write;
    return 1;
}

// A file opened for appending, or made new and empty (`truncate`).
static PlatHandle open_for_writing(const char* path, bool truncate)
{
    if (fails("CreateFileA")) return nullptr;
    std::string full = full_path(path);
    if (refused_by_holder(full, FAKE_SHARE_WRITE)) return nullptr;
    return make_writable(full, truncate) ? new_handle(FILE_OUT, 0, false, full) : nullptr;
}

PlatHandle plat_open_append(const char* path) { return open_for_writing(path, false); }
PlatHandle plat_create_file(const char* path) { return open_for_writing(path, true); }

int plat_file_info(PlatHandle file, PlatFileInfo* info)
{
    *info = PlatFileInfo{PLAT_ENTRY_FILE, 0, 0};
    if (fails("GetFileInformationByHandle")) return 0;
    const Entry& e = S.files[object(file)->path];
    info->size = e.data.size();
    info->last_write = e.last_write;
    return 1;
}

PlatHandle plat_open_read(const char* path)
{
    if (fails("CreateFileA")) return nullptr;
    std::string full = full_path(path);
    Entry* e = entry(full);
    if (e == nullptr) return missing(full), nullptr;
    if (e->directory) return last_error = PLAT_ERROR_ACCESS_DENIED, nullptr;
    if (refused_by_holder(full, FAKE_SHARE_READ)) return nullptr;
    PlatHandle file = new_handle(FILE_IN, 0, false, full);
    object(file)->unread = e->data;
    return file;
}

int plat_read_file(PlatHandle file, void* buf, uint32_t size, uint32_t* got)
{
    *got = 0;
    if (fails("ReadFile")) return 0;
    Object* o = object(file);
    if (o != nullptr && o->kind == PIPE_READ) {
        std::string& data = S.pipes[o->id].data;
        if (data.empty()) {
            fprintf(stderr, "fake: a read of an empty pipe would block the wrapper for good\n");
            abort();
        }
        *got = (uint32_t)std::min<size_t>(size, data.size());
        memcpy(buf, data.data(), *got);
        data.erase(0, *got);
        return 1;
    }
    if (o == nullptr || o->kind != FILE_IN) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    *got = (uint32_t)std::min<size_t>(size, o->unread.size());
    memcpy(buf, o->unread.data(), *got);
    o->unread.erase(0, *got);
    return 1;
}

int plat_delete_file(const char* path)
{
    if (fails("DeleteFileA")) return 0;
    std::string full = full_path(path);
    Entry* e = entry(full);
    if (refused_by_holder(full, 0)) return 0;
    if (e == nullptr) return missing(full);
    if (e->directory) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    S.files.erase(full);
    return 1;
}

const char* plat_text_line_end(void) { return "\r\n"; }

int plat_set_file_time(PlatHandle file, int64_t last_write)
{
    if (fails("SetFileTime")) return 0;
    Object* o = object(file);
    if (o == nullptr || o->kind != FILE_OUT) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    S.files[o->path].last_write = last_write;
    return 1;
}

int plat_list_names(const char* pattern, PlatNameFn each, void* context)
{
    if (fails("FindFirstFileA")) return 0;
    std::string full = full_path(pattern);
    size_t slash = full.rfind('\\');
    if (full.empty() || full.back() != '*' || full.find('*') != full.size() - 1) {
        fprintf(stderr, "fake: only a last part that ends in \"*\" is listed: %s\n", pattern);
        abort();
    }
    std::string prefix = full.substr(slash + 1, full.size() - slash - 2);
    if (entry(full.substr(0, slash)) == nullptr) return missing(full.substr(0, slash));
    // A copy: the caller may delete what it is given.
    for (const std::string& name : fake_list_dir(full.substr(0, slash)))
        if (name.compare(0, prefix.size(), prefix) == 0) each(name.c_str(), context);
    return 1;
}

uint32_t plat_full_path(const char* path, char* buf, uint32_t cap)
{
    if (fails("GetFullPathNameA")) return 0;
    std::string full = full_path(path);
    // Windows drops the dots and blanks that end a path's last part.
    while (full.size() > 3 && (full.back() == '.' || full.back() == ' ')) full.pop_back();
    if (full.size() + 1 > cap) return (uint32_t)full.size() + 1;
    memcpy(buf, full.c_str(), full.size() + 1);
    return (uint32_t)full.size();
}

// A gzip file's text, "<not gzip>" when it is none.
std::string fake_gunzip(const std::string& data)
{
    z_stream z = {};
    std::string text;
    char buffer[4096];
    int result = Z_DATA_ERROR;
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "<no zlib>";
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    do {
        z.next_out = (Bytef*)buffer;
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        text.append(buffer, sizeof buffer - z.avail_out);
    } while (result == Z_OK);
    inflateEnd(&z);
    return result == Z_STREAM_END ? text : "<not gzip>";
}
