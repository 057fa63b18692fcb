// handles: prints the number of handles every running process of a given
// executable name holds, one "pid count" line each:
//
//   handles.exe talvex.exe
//
// Wine 8 answers GetProcessHandleCount about another process with 0, so the
// entries of the system handle table (NtQuerySystemInformation, class 16) are
// counted instead.  Exit code 0 when at least one process was counted.
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>

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

int main(int argc, char** argv)
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
    if (argc != 2 || status != 0) return 1;
    int counted = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process;
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more; more = Process32Next(snapshot, &process)) {
        if (_stricmp(process.szExeFile, argv[1]) != 0) continue;
        long count = 0;
        for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].ownerPid == process.th32ProcessID;
        printf("%lu %ld\n", process.th32ProcessID, count);
        ++counted;
    }
    return counted > 0 ? 0 : 1;
}
