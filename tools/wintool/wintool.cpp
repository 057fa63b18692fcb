// wintool: what the Wine scenarios and the benchmarks ask of Windows and its
// service manager.
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
//   wintool.exe services create <list file>
//                                           creates the services of the list, one a
//                                           line: name, a tab, the binary's command
//                                           line, and further tabs each before a
//                                           "value=data" pair for its Parameters key
//   wintool.exe services start|stop|delete <service>...
//                                           starts (stops) them and waits until each
//                                           is RUNNING (STOPPED); delete stops those
//                                           that run and deletes them and their keys
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
    QueryFn query = (QueryFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
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

// --- several services at once: one program for many, as each "wine sc"
// costs a Wine process start ------------------------------------------------

enum { COMMAND_SIZE = 8192 };

static void fail(const char* what)
{
    fprintf(stderr, "wintool: %s failed (error %lu)\n", what, (unsigned long)GetLastError());
}

static double now_ms()
{
    return (double)GetTickCount64();
}

enum { SERVICES_WAIT_MS = 60000 };

// Waits until every service that could be opened is in the state; returns
// 0 after SERVICES_WAIT_MS.
int await_state(SC_HANDLE* handles, int count, DWORD state)
{
    for (double start = now_ms(); now_ms() - start < SERVICES_WAIT_MS; Sleep(10)) {
        int all = 1;
        SERVICE_STATUS status;
        for (int i = 0; i < count && all; ++i)
            all = handles[i] == NULL || (QueryServiceStatus(handles[i], &status) && status.dwCurrentState == state);
        if (all) return 1;
    }
    fprintf(stderr, "wintool: not every service reached state %lu within %d ms\n", (unsigned long)state,
            SERVICES_WAIT_MS);
    return 0;
}

// Writes the "value=data" pairs after the first two fields of a list line
// under the service's Parameters key.
int write_parameters(const char* service, char* pairs)
{
    char key[512];
    snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters", service);
    HKEY handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &handle, NULL) != ERROR_SUCCESS) {
        fail("RegCreateKeyExA");
        return 0;
    }
    int ok = 1;
    for (char* pair = strtok(pairs, "\t"); pair != NULL && ok; pair = strtok(NULL, "\t")) {
        char* equals = strchr(pair, '=');
        if (equals == NULL) continue;
        *equals = '\0';
        ok = RegSetValueExA(handle, pair, 0, REG_SZ, (const BYTE*)(equals + 1), (DWORD)strlen(equals + 1) + 1) ==
             ERROR_SUCCESS;
    }
    RegCloseKey(handle);
    return ok;
}

int create_services(SC_HANDLE manager, const char* list_path)
{
    FILE* list = fopen(list_path, "r");
    if (list == NULL) {
        fail("opening the list of services");
        return 1;
    }
    char line[COMMAND_SIZE];
    int result = 0;
    while (result == 0 && fgets(line, sizeof line, list) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char* tab = strchr(line, '\t');
        if (tab == NULL) continue;
        *tab = '\0';
        char* binary = tab + 1;
        char* pairs = strchr(binary, '\t');
        if (pairs != NULL) *pairs++ = '\0';
        SC_HANDLE service = CreateServiceA(manager, line, line, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, NULL, NULL, NULL,
                                           NULL, NULL);
        if (service == NULL) {
            fail("CreateServiceA");
            fprintf(stderr, "wintool: for %s\n", line);
            result = 1;
            break;
        }
        CloseServiceHandle(service);
        if (pairs != NULL && !write_parameters(line, pairs)) result = 1;
    }
    fclose(list);
    return result;
}

enum ServicesVerb { SERVICES_START, SERVICES_STOP, SERVICES_DELETE };

// Starts or stops every named service and waits for them all; or stops
// those that run, waits for them all, and deletes them with their keys (a
// service that is not there is no failure then, and one that will not stop
// is deleted all the same).
int control_services(SC_HANDLE manager, ServicesVerb verb, char** names, int count)
{
    enum { MOST_SERVICES = 64 };
    if (count > MOST_SERVICES) {
        fprintf(stderr, "wintool: at most %d services at once\n", (int)MOST_SERVICES);
        return 1;
    }
    SC_HANDLE handles[MOST_SERVICES];
    int result = 0;
    for (int i = 0; i < count; ++i) {
        handles[i] = OpenServiceA(manager, names[i], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        SERVICE_STATUS status;
        int sent = 1;
        if (handles[i] == NULL) {
            sent = verb == SERVICES_DELETE && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        } else if (verb == SERVICES_START) {
            sent = StartServiceA(handles[i], 0, NULL);
        } else if (verb == SERVICES_STOP ||
                   (QueryServiceStatus(handles[i], &status) && status.dwCurrentState != SERVICE_STOPPED)) {
            sent = ControlService(handles[i], SERVICE_CONTROL_STOP, &status) || verb == SERVICES_DELETE;
        }
        if (!sent) {
            fail(verb == SERVICES_START ? "StartServiceA" : handles[i] == NULL ? "OpenServiceA" : "ControlService");
            fprintf(stderr, "wintool: for %s\n", names[i]);
            result = 1;
        }
    }
    if ((result == 0 || verb == SERVICES_DELETE) &&
        !await_state(handles, count, verb == SERVICES_START ? SERVICE_RUNNING : SERVICE_STOPPED) &&
        verb != SERVICES_DELETE)
        result = 1;
    for (int i = 0; i < count; ++i) {
        if (handles[i] == NULL) continue;
        if (verb == SERVICES_DELETE) {
            if (!DeleteService(handles[i])) result = 1;
            char key[512];
            snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Services\\%s", names[i]);
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
        }
        CloseServiceHandle(handles[i]);
    }
    return result;
}

int run_services(const char* verb, char** names, int count)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        fail("OpenSCManagerA");
        return 1;
    }
    int result = 2;
    if (strcmp(verb, "create") == 0 && count == 1)
        result = create_services(manager, names[0]);
    else if (strcmp(verb, "start") == 0)
        result = control_services(manager, SERVICES_START, names, count);
    else if (strcmp(verb, "stop") == 0)
        result = control_services(manager, SERVICES_STOP, names, count);
    else if (strcmp(verb, "delete") == 0)
        result = control_services(manager, SERVICES_DELETE, names, count);
    CloseServiceHandle(manager);
    if (result == 2) fprintf(stderr, "wintool: services create <list file> | start|stop|delete <service>...\n");
    return result;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3]);
    if (argc >= 4 && strcmp(argv[1], "services") == 0) return run_services(argv[2], argv + 3, argc - 3);
    if (argc == 5 && strcmp(argv[1], "reg") == 0) return reg(argv[2], argv[3], argv[4]);
    if (argc >= 4 && strcmp(argv[1], "service") == 0) return service(argv[2], argv[3], argc > 4 ? argv[4] : "");
    if (argc == 3 && strcmp(argv[1], "run") == 0) return run(argv[2]);
    if (argc == 3 && strcmp(argv[1], "handles") == 0) return handles(argv[2]);
    if (argc == 3 && strcmp(argv[1], "sddl") == 0) return sddl(argv[2]);
    return 2;
}
