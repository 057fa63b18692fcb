// wintool: what the Wine scenarios ask of the Windows side.
//
//   wintool.exe handles <executable name>   "pid count" of every such process
//   wintool.exe sddl <key under HKLM>       the key's DACL as SDDL text
//   wintool.exe service <create|start|state|delete> <name> [<binary path>]
//                                           the wide service calls; state
//                                           prints "state win32-exit service-exit"
//   wintool.exe service control <name> <code>
//                                           ControlService (Wine's sc has no
//                                           control verb)
//   wintool.exe run <command line>          runs it (CreateProcessW); its exit code
//   wintool.exe hold <path> <seconds>       keeps the file open as a viewer does
//                                           (read sharing only), then lets go
//   wintool.exe reg <key under HKLM> <name> <text>
//                                           writes a REG_SZ value, the key made
//
// In the names and the command line "\uXXXX" stands for that character, so
// that a scenario can name one outside the ANSI code page whatever the locale
// it runs under.
//
// Wine 8 answers GetProcessHandleCount about another process with 0, so the
// handles are the entries of the system handle table (class 16).
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType, flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
typedef LONG(NTAPI* QueryFn)(ULONG, PVOID, ULONG, PULONG);

static int handles(const char* exe)
{
    QueryFn query = (QueryFn)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    HandleTable* table = nullptr;
    LONG status = -1;
    for (ULONG size = 1 << 16; query != nullptr && size < (1u << 28); size *= 2) {
        free(table);
        table = (HandleTable*)malloc(size);
        status = query(16, table, size, nullptr);
        if (status != (LONG)0xC0000004) break;   // STATUS_INFO_LENGTH_MISMATCH: try a larger buffer
    }
    if (status != 0) return 1;
    int counted = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process;
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more; more = Process32Next(snapshot, &process)) {
        if (_stricmp(process.szExeFile, exe) != 0) continue;
        long count = 0;
        for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].ownerPid == process.th32ProcessID;
        printf("%lu %ld\n", process.th32ProcessID, count);
        ++counted;
    }
    return counted > 0 ? 0 : 1;
}

static int sddl(const char* path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return 1;
    char descriptor[4096];
    DWORD size = sizeof descriptor;
    char* text = nullptr;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return 1;
    printf("%s\n", text);
    return 0;
}

static std::wstring wide(const char* text)
{
    std::wstring out;
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned code = 0;
        if (p[0] == '\\' && p[1] == 'u' && isxdigit(p[2]) && isxdigit(p[3]) && isxdigit(p[4]) && isxdigit(p[5]) &&
            sscanf(p + 2, "%4x", &code) == 1) {
            out += (wchar_t)code;
            p += 5;
        } else {
            out += (wchar_t)(unsigned char)*p;
        }
    }
    return out;
}

static int service(const char* verb, const char* name, const char* path)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    std::wstring wname = wide(name);
    SC_HANDLE service = strcmp(verb, "create") == 0
                            ? CreateServiceW(manager, wname.c_str(), wname.c_str(), SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             wide(path).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                            : OpenServiceW(manager, wname.c_str(), SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    BOOL ok = service != nullptr;
    if (ok && strcmp(verb, "start") == 0) ok = StartServiceW(service, 0, nullptr);
    if (ok && strcmp(verb, "delete") == 0) ok = DeleteService(service);
    if (ok && strcmp(verb, "control") == 0) ok = ControlService(service, (DWORD)atoi(path), &status);
    if (ok && strcmp(verb, "state") == 0 && (ok = QueryServiceStatus(service, &status)))
        printf("%lu %lu %lu\n", status.dwCurrentState, status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    return ok ? 0 : 1;
}

static int run(const char* commandLine)
{
    std::wstring line = wide(commandLine);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 255;
    DWORD code = 255;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}

static int hold(const char* path, const char* seconds)
{
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    printf("held\n");
    fflush(stdout);
    Sleep((DWORD)atoi(seconds) * 1000);
    CloseHandle(file);
    return 0;
}

static int reg(const char* path, const char* name, const char* text)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 1;
    std::wstring value = wide(text);
    LONG result = RegSetValueExW(key, wide(name).c_str(), 0, REG_SZ, (const BYTE*)value.c_str(),
                                 (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "reg") == 0) return reg(argv[2], argv[3], argv[4]);
    if (argc >= 4 && strcmp(argv[1], "service") == 0) return service(argv[2], argv[3], argc > 4 ? argv[4] : "");
    if (argc == 3 && strcmp(argv[1], "run") == 0) return run(argv[2]);
    if (argc == 3 && strcmp(argv[1], "handles") == 0) return handles(argv[2]);
    if (argc == 3 && strcmp(argv[1], "sddl") == 0) return sddl(argv[2]);
    return 2;
}
