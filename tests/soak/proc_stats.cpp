// proc_stats: prints the handle count and the private memory of every running
// process with a given executable name, one line each:
//
//   proc_stats.exe talvex.exe
//   pid=1234 handles=57 private=1523712
//
// The soak test reads talvex.exe's figures with it while the service runs.
// GetProcessHandleCount and GetProcessMemoryInfo are asked first.  Wine 8
// answers both for another process with zeros, so a zero handle count is
// replaced by the number of entries the system's handle table
// (NtQuerySystemInformation, SystemHandleInformation) lists for the process,
// and a zero private figure is printed as such for the caller to replace.
// Exit code 0 when at least one process was measured, 1 otherwise.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// SYSTEM_HANDLE_INFORMATION as ntdll fills it for class 16.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
typedef LONG(NTAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
const ULONG SYSTEM_HANDLE_INFORMATION = 16;
const LONG STATUS_INFO_LENGTH_MISMATCH = (LONG)0xC0000004;

// Entries of the system handle table owned by pid, or -1 when the table
// cannot be read.
long HandlesInSystemTable(DWORD pid)
{
    QuerySystemInformation query =
        (QuerySystemInformation)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == nullptr) return -1;
    ULONG size = 1 << 16;
    for (int attempt = 0; attempt < 12; ++attempt, size *= 2) {
        HandleTable* table = (HandleTable*)malloc(size);
        if (table == nullptr) return -1;
        ULONG needed = 0;
        LONG status = query(SYSTEM_HANDLE_INFORMATION, table, size, &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH) {
            free(table);
            continue;
        }
        long count = -1;
        if (status == 0) {
            count = 0;
            for (ULONG i = 0; i < table->count; ++i)
                if (table->entries[i].ownerPid == pid) ++count;
        }
        free(table);
        return count;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: proc_stats <executable name>\n");
        return 2;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "CreateToolhelp32Snapshot failed: %lu\n", GetLastError());
        return 1;
    }
    int measured = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, argv[1]) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (process == NULL) {
            fprintf(stderr, "OpenProcess %lu failed: %lu\n", entry.th32ProcessID, GetLastError());
            continue;
        }
        DWORD handles = 0;
        if (!GetProcessHandleCount(process, &handles)) handles = 0;
        long listed = handles != 0 ? (long)handles : HandlesInSystemTable(entry.th32ProcessID);
        PROCESS_MEMORY_COUNTERS_EX memory;
        memset(&memory, 0, sizeof memory);
        memory.cb = sizeof memory;
        if (!GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&memory, sizeof memory)) memory.PrivateUsage = 0;
        CloseHandle(process);
        if (listed < 0) {
            fprintf(stderr, "the handles of process %lu cannot be counted\n", entry.th32ProcessID);
            continue;
        }
        printf("pid=%lu handles=%ld private=%llu\n", entry.th32ProcessID, listed,
               (unsigned long long)memory.PrivateUsage);
        ++measured;
    }
    CloseHandle(snapshot);
    return measured > 0 ? 0 : 1;
}
