// Modules, file-system entries, the log file's handle, the current directory
// and C runtime streams.
#include <windows.h>

#include <stdio.h>

#include "common/platform.h"

uint32_t plat_module_file_name(LibHandle module, char* buf, uint32_t cap)
{
    DWORD length = GetModuleFileNameA((HMODULE)module, buf, cap);
    // Windows XP (and Wine, which follows it) leaves a cut name without its
    // terminator; later versions end it within the buffer and report
    // ERROR_INSUFFICIENT_BUFFER.  Giving every caller the later behaviour
    // means a cut name can never be read past the end of the buffer.
    if (cap > 0 && length >= cap) {
        buf[cap - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return cap;
    }
    return length;
}

LibHandle plat_load_library(const char* name)
{
    return (LibHandle)LoadLibraryA(name);
}

void plat_free_library(LibHandle module)
{
    FreeLibrary((HMODULE)module);
}

int plat_path_has_entry(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

uint32_t plat_current_directory(char* buf, uint32_t cap)
{
    return GetCurrentDirectoryA(cap, buf);
}

#if defined(_MSC_VER)
// The C runtime's fopen is what the start script is read with (its text mode
// reads CR LF as one line end); the secure variant adds nothing here.
#pragma warning(disable : 4996)
#endif

uint32_t plat_system_directory(char* buf, uint32_t cap)
{
    return GetSystemDirectoryA(buf, cap);
}

FILE* plat_fopen(const char* path, const char* mode)
{
    // "N": the handle is not inheritable.  The service's children inherit
    // handles (their pipe ends), and must not keep a file of the service's
    // open after the service has let it go.
    char privateMode[16];
    snprintf(privateMode, sizeof privateMode, "%sN", mode);
    return fopen(path, privateMode);
}

int plat_move_file(const char* from, const char* to, int replace)
{
    return MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) ? 1 : 0;
}

// The seam's description of an entry from its attributes, size and last
// write time.
static void describe_entry(PlatFileInfo* info, DWORD attributes, DWORD sizeHigh, DWORD sizeLow, FILETIME lastWrite)
{
    info->kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PLAT_ENTRY_DIRECTORY
                 : (attributes & FILE_ATTRIBUTE_DEVICE) ? PLAT_ENTRY_DEVICE
                                                        : PLAT_ENTRY_FILE;
    info->size = ((uint64_t)sizeHigh << 32) | sizeLow;
    // A FILETIME counts 100-nanosecond intervals since 1601; the Unix epoch
    // is 11644473600 seconds later.
    uint64_t ticks = ((uint64_t)lastWrite.dwHighDateTime << 32) | lastWrite.dwLowDateTime;
    info->last_write = (int64_t)(ticks / 10000000u) - 11644473600LL;
}

int plat_path_info(const char* path, PlatFileInfo* info)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    ZeroMemory(info, sizeof *info);
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
    describe_entry(info, data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
    return 1;
}

PlatHandle plat_open_append(const char* path)
{
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every WriteFile land at
    // the end of the file, wherever another writer left it.  The sharing lets
    // a viewer read the file while the service writes it, and a log rotator
    // rename or delete it (the handle then follows the file).  No child may
    // inherit the handle: one that did would hold the file open after the
    // service has moved on from it.
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    return file == INVALID_HANDLE_VALUE ? nullptr : (PlatHandle)file;
}

int plat_file_info(PlatHandle file, PlatFileInfo* info)
{
    ZeroMemory(info, sizeof *info);
    // A reserved device name ("NUL.out", "COM1.out") opens the device itself,
    // whose attributes the path does not show; only the handle's type does.
    if (GetFileType((HANDLE)file) != FILE_TYPE_DISK) {
        info->kind = PLAT_ENTRY_DEVICE;
        return 1;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle((HANDLE)file, &data)) return 0;
    describe_entry(info, data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
    return 1;
}

PlatHandle plat_open_read(const char* path)
{
    // Delete sharing lets a rotation move the file on, or age pruning delete
    // it, while it is being compressed; the read goes on through the handle.
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    return file == INVALID_HANDLE_VALUE ? nullptr : (PlatHandle)file;
}

PlatHandle plat_create_file(const char* path)
{
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    return file == INVALID_HANDLE_VALUE ? nullptr : (PlatHandle)file;
}

int plat_read_file(PlatHandle file, void* buf, uint32_t size, uint32_t* got)
{
    DWORD read = 0;
    BOOL ok = ReadFile((HANDLE)file, buf, size, &read, NULL);
    *got = read;
    return ok ? 1 : 0;
}

int plat_delete_file(const char* path)
{
    return DeleteFileA(path) ? 1 : 0;
}

int plat_list_names(const char* pattern, PlatNameFn each, void* context)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    do {
        each(found.cFileName, context);
    } while (FindNextFileA(search, &found));
    int complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete;
}

const char* plat_text_line_end(void)
{
    return "\r\n";
}

int plat_set_file_time(PlatHandle file, int64_t last_write)
{
    // Seconds since 1970 as 100-nanosecond intervals since 1601.
    uint64_t ticks = (uint64_t)(last_write + 11644473600LL) * 10000000u;
    FILETIME time;
    time.dwLowDateTime = (DWORD)ticks;
    time.dwHighDateTime = (DWORD)(ticks >> 32);
    return SetFileTime((HANDLE)file, NULL, NULL, &time) ? 1 : 0;
}

uint32_t plat_full_path(const char* path, char* buf, uint32_t cap)
{
    return GetFullPathNameA(path, cap, buf, NULL);
}
