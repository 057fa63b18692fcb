// wintool: what the Wine scenarios ask of the Windows side.
//
//   wintool.exe handles <executable name>   "pid count" of every such process
//   wintool.exe sddl <key under HKLM>       the key's DACL as SDDL text
//
// Wine 8 answers GetProcessHandleCount about another process with 0, so the
// handles are the entries of the system handle table (class 16).
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "handles") == 0) return handles(argv[2]);
    if (argc == 3 && strcmp(argv[1], "sddl") == 0) return sddl(argv[2]);
    return 2;
}
