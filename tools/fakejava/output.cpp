// Standard output and standard error without any buffering of our own: every
// piece goes out in one WriteFile, so a marker always arrives in one piece and
// output written just before the process ends is never lost.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "fakejava.h"

namespace {

CRITICAL_SECTION g_lock;
bool g_ready = false;

}  // namespace

void OutInit(void)
{
    InitializeCriticalSection(&g_lock);
    g_ready = true;
}

void OutWrite(int toStderr, const char* bytes, size_t length)
{
    HANDLE h = GetStdHandle(toStderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == NULL || h == INVALID_HANDLE_VALUE) return;
    // The console control thread writes the thread dump while the main
    // thread may be writing too; the lock keeps each piece whole.
    if (g_ready) EnterCriticalSection(&g_lock);
    while (length > 0) {
        DWORD chunk = length > 0x10000000 ? 0x10000000 : (DWORD)length;
        DWORD written = 0;
        if (!WriteFile(h, bytes, chunk, &written, NULL) || written == 0) break;
        bytes += written;
        length -= written;
    }
    if (g_ready) LeaveCriticalSection(&g_lock);
}

void OutText(int toStderr, const char* text) { OutWrite(toStderr, text, strlen(text)); }

void OutFormat(int toStderr, const char* fmt, ...)
{
    char text[FJ_TEXT_SIZE * 2];
    va_list args;
    va_start(args, fmt);
    int length = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (length < 0) return;
    if ((size_t)length >= sizeof text) length = (int)sizeof text - 1;
    OutWrite(toStderr, text, (size_t)length);
}

void OutExitMarker(int code, long pauseMs)
{
    char marker[32];
    int length = snprintf(marker, sizeof marker, "\a%d\a", code);
    int first = pauseMs > 0 ? 2 : length;
    OutWrite(0, marker, (size_t)first);
    if (first == length) return;
    Sleep((DWORD)pauseMs);
    OutWrite(0, marker + first, (size_t)(length - first));
}

void OwnPath(char* buffer, size_t size)
{
    DWORD length = GetModuleFileNameA(NULL, buffer, (DWORD)size);
    if (length == 0 || length >= size) buffer[0] = '\0';
}

void OwnDirectory(char* buffer, size_t size)
{
    OwnPath(buffer, size);
    char* slash = strrchr(buffer, '\\');
    if (slash != nullptr) *slash = '\0';
}
