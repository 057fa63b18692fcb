// Modules, file-system entries, the current directory and C runtime streams.
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
// The C runtime's fopen is what the log file and the start script are opened
// with ("wt" asks for its text mode); the secure variant adds nothing here.
#pragma warning(disable : 4996)
#endif

uint32_t plat_system_directory(char* buf, uint32_t cap)
{
    return GetSystemDirectoryA(buf, cap);
}

FILE* plat_fopen(const char* path, const char* mode)
{
    // "N": the handle is not inheritable.  The service's children inherit
    // handles (their pipe ends), and a child that held the log file open
    // would keep it from being renamed when it is rotated.
    char privateMode[16];
    snprintf(privateMode, sizeof privateMode, "%sN", mode);
    return fopen(path, privateMode);
}

int plat_rename_replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

const char* plat_text_line_end(void)
{
    return "\r\n";
}
