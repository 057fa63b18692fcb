// The platform seam.
//
// Every operating-system call the logic makes goes through one of the plain
// functions declared here.  src/platform/win32 defines them with the ANSI
// Win32 calls named beside each one; tests/fake defines them in memory.  The
// build links exactly one of the two.  No function here holds policy: each maps
// to one or a few system calls and reports the way that call does, so that
// every decision, message and buffer stays in the shared code.
//
// Conventions:
//  - Functions that stand for a call that sets the thread's last error return
//    1 on success and 0 on failure and leave the code for plat_get_last_error().
//  - Registry functions return the Win32 error code (0 is success), as the
//    registry API does.
//  - Error codes are Win32 codes on both implementations.
#ifndef TALVEX_COMMON_PLATFORM_H
#define TALVEX_COMMON_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// ---------------------------------------------------------------------------
// Handles and constants
// ---------------------------------------------------------------------------

typedef void* PlatHandle;     // kernel object: pipe end, process, thread, event
typedef void* RegKey;         // open registry key
typedef void* ScHandle;       // service manager or service
typedef void* StatusHandle;   // SERVICE_STATUS_HANDLE
typedef void* EventSource;    // event source from RegisterEventSourceA
typedef void* LibHandle;      // loaded library (HMODULE)

#define PLAT_INVALID_HANDLE ((PlatHandle)(intptr_t)-1)

// Win32 error codes the logic names.
enum {
    PLAT_NO_ERROR = 0,
    PLAT_ERROR_FILE_NOT_FOUND = 2,
    PLAT_ERROR_PATH_NOT_FOUND = 3,
    PLAT_ERROR_ACCESS_DENIED = 5,
    PLAT_ERROR_INVALID_HANDLE = 6,
    PLAT_ERROR_NOT_ENOUGH_MEMORY = 8,
    PLAT_ERROR_OUTOFMEMORY = 14,
    PLAT_ERROR_INVALID_PARAMETER = 87,
    PLAT_ERROR_DISK_FULL = 112,
    PLAT_ERROR_INSUFFICIENT_BUFFER = 122,
    PLAT_ERROR_MORE_DATA = 234,
    PLAT_ERROR_CALL_NOT_IMPLEMENTED = 120,
    PLAT_ERROR_BROKEN_PIPE = 109,
    PLAT_ERROR_ENVVAR_NOT_FOUND = 203,
    PLAT_ERROR_FILENAME_EXCED_RANGE = 206,
    PLAT_ERROR_SERVICE_SPECIFIC_ERROR = 1066,
    PLAT_ERROR_SERVICE_DOES_NOT_EXIST = 1060,
    PLAT_ERROR_SERVICE_ALREADY_RUNNING = 1056,
    PLAT_ERROR_SERVICE_NOT_ACTIVE = 1062,
    PLAT_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063,
    PLAT_ERROR_SERVICE_EXISTS = 1073,
};

// WaitForSingleObject results.
enum {
    PLAT_WAIT_OBJECT_0 = 0,
    PLAT_WAIT_TIMEOUT = 258,
    PLAT_WAIT_FAILED = 0xFFFFFFFFu,
};
// The wait time that never runs out (INFINITE).
enum : uint32_t { PLAT_WAIT_INFINITE = 0xFFFFFFFFu };

// Service states (SERVICE_STATUS.dwCurrentState) and the controls the
// service takes: stop, interrogate, shutdown, preshutdown and three controls
// of its own (128 removes, 129 asks for a thread dump, 130 rotates the log).
enum : uint32_t {
    SERVICE_STATE_STOPPED = 1,
    SERVICE_STATE_START_PENDING = 2,
    SERVICE_STATE_STOP_PENDING = 3,
    SERVICE_STATE_RUNNING = 4,
};
enum : uint32_t {
    CONTROL_STOP = 1,
    CONTROL_INTERROGATE = 4,
    CONTROL_SHUTDOWN = 5,
    CONTROL_PRESHUTDOWN = 15,
    CONTROL_USER_REMOVE = 128,
    CONTROL_USER_DUMP = 129,
    CONTROL_USER_ROTATE = 130,
};
// The service type of a service in a process of its own.
enum : uint32_t { PLAT_SERVICE_WIN32_OWN_PROCESS = 0x10 };
// Access rights to the service manager and to a service.
enum : uint32_t {
    SC_MANAGER_CONNECT_ACCESS = 0x1,
    SC_MANAGER_ALL_ACCESS_RIGHTS = 0xF003F,
    SERVICE_QUERY_STATUS_ACCESS = 0x4,
    SERVICE_ALL_ACCESS_RIGHTS = 0xF01FF,
};
// GetExitCodeProcess's answer for a process that has not ended.
enum : uint32_t { PLAT_STILL_ACTIVE = 259 };
// STARTUPINFOA.dwFlags, and the creation flags of a child:
// CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, and CREATE_SUSPENDED.
enum : uint32_t {
    PLAT_STARTF_USESHOWWINDOW = 0x1,
    PLAT_STARTF_FORCEONFEEDBACK = 0x40,
    PLAT_STARTF_USESTDHANDLES = 0x100,
    PLAT_CREATE_NEW_GROUP_NORMAL_PRIORITY = 0x220,
    PLAT_CREATE_SUSPENDED = 0x4,
};

// Registry value types.
enum { PLAT_REG_SZ = 1, PLAT_REG_EXPAND_SZ = 2, PLAT_REG_BINARY = 3, PLAT_REG_DWORD = 4, PLAT_REG_MULTI_SZ = 7 };

// Standard handle selectors (GetStdHandle / SetStdHandle).
enum { PLAT_STD_INPUT = 0, PLAT_STD_OUTPUT = 1, PLAT_STD_ERROR = 2 };

// ---------------------------------------------------------------------------
// Last error and system message texts
// ---------------------------------------------------------------------------

uint32_t plat_get_last_error(void);                       // GetLastError
void plat_set_last_error(uint32_t code);                  // SetLastError

// FormatMessageA(FROM_SYSTEM | IGNORE_INSERTS) for `code` in `language`
// (0 or 0x400) into buf.  Returns the length of the text, which keeps the
// system's own trailing line break, or 0 when the system has no text for the
// code or it does not fit `cap` (buf then holds "").
size_t plat_system_message(uint32_t code, uint32_t language, char* buf, size_t cap);
// FormatMessageA from the message table of the library `module` (loaded as
// data only), with `strings` as the insertion strings %1, %2 ...  Returns the
// length of the text, 0 when the library or the message cannot be had or the
// text does not fit.
size_t plat_module_message(const char* module, uint32_t id, const char* const* strings, char* buf, size_t cap);

// ---------------------------------------------------------------------------
// Registry (advapi32); root is always HKEY_LOCAL_MACHINE
// ---------------------------------------------------------------------------

RegKey plat_reg_root(void);                               // HKEY_LOCAL_MACHINE
// RegOpenKeyExA(parent, name, 0, KEY_READ).
long plat_reg_open(RegKey parent, const char* name, RegKey* out);
// RegCreateKeyExA(parent, name, 0, NULL, REG_OPTION_NON_VOLATILE,
// KEY_READ | KEY_WRITE, inheritable default security, out, NULL).
long plat_reg_create(RegKey parent, const char* name, RegKey* out);
// RegQueryValueExA: *size is the capacity on entry and the stored data length
// on return, *type the value's type.  ERROR_MORE_DATA when the data does not
// fit; buf is then unspecified.
long plat_reg_query(RegKey key, const char* name, uint32_t* type, void* buf, uint32_t* size);
// RegSetValueExA.
long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size);
// RegDeleteKeyA.
long plat_reg_delete_key(RegKey parent, const char* name);
// RegSetKeySecurity with the DACL of an SDDL text, its protection from
// inheritance included.  1 on success, else 0 with the reason as last error.
int plat_reg_protect(RegKey key, const char* sddl);
// LookupAccountNameA, the SID as text ("S-1-5-..."); 1 on success, else 0
// with the reason as last error.
int plat_account_sid(const char* account, char* buf, uint32_t cap);
// RegCloseKey.
void plat_reg_close(RegKey key);

// ---------------------------------------------------------------------------
// Service dispatcher and status (advapi32)
// ---------------------------------------------------------------------------

// SERVICE_STATUS, field for field.
struct PlatServiceStatus {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
    uint32_t service_specific_exit_code;
    uint32_t check_point;
    uint32_t wait_hint;
};

typedef void (*PlatServiceMainFn)(uint32_t argc, char** argv);
typedef uint32_t (*PlatControlHandlerFn)(uint32_t control, uint32_t event_type,
                                         void* event_data, void* context);
typedef int (*PlatConsoleHandlerFn)(uint32_t ctrl_type);

// StartServiceCtrlDispatcherA with one entry: name "" and `service_main`.
int plat_start_service_dispatcher(PlatServiceMainFn service_main);
// RegisterServiceCtrlHandlerExA(name, handler, NULL); null on failure.
StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler);
// SetServiceStatus.
int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* status);
// GetVersionExA on a zeroed OSVERSIONINFOEXA: 1 and the major version, or 0.
int plat_os_major_version(uint32_t* major);
// GetCurrentProcessId.
uint32_t plat_current_process_id(void);

// ---------------------------------------------------------------------------
// Service manager client (advapi32)
// ---------------------------------------------------------------------------

struct PlatServiceConfig {
    uint32_t service_type;
    uint32_t start_type;
    uint32_t error_control;
    const char* binary_path;
    const char* dependencies;   // double-NUL-terminated list ("" + NUL = empty list)
    const char* display_name;
    // The account it runs as, with no password; null: LocalSystem for a new
    // service, the account it has for one that is reconfigured.
    const char* account;
};

ScHandle plat_open_sc_manager(uint32_t access);           // OpenSCManagerA(NULL, NULL, access)
ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access);   // OpenServiceA
// CreateServiceA(scm, name, cfg->display_name, access, ..., no group, no tag,
// cfg->dependencies, cfg->account, no password).
ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access,
                             const PlatServiceConfig* cfg);
// ChangeServiceConfigA(svc, ..., no group, no tag, deps, cfg->account, no password, display).
int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg);
// QueryServiceConfigA: the account the service runs as ("LocalSystem", ...).
int plat_query_service_account(ScHandle svc, char* buf, uint32_t cap);
// Gives the SID (its text) modify rights on the directory, inherited by
// what is created in it, beside the entries it has.
int plat_grant_modify(const char* path, const char* sid);
// ChangeServiceConfig2A(SERVICE_CONFIG_DESCRIPTION).
int plat_set_service_description(ScHandle svc, const char* description);
// ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG).
int plat_set_service_failure_actions_flag(ScHandle svc, int on_non_crash_failures);
// ChangeServiceConfig2A(SERVICE_CONFIG_PRESHUTDOWN_INFO): how long the system
// waits for the service after the preshutdown notification.
int plat_set_service_preshutdown_timeout(ScHandle svc, uint32_t milliseconds);
int plat_delete_service(ScHandle svc);                    // DeleteService
int plat_start_service(ScHandle svc);                     // StartServiceA(svc, 0, NULL)
int plat_control_service(ScHandle svc, uint32_t control); // ControlService
int plat_query_service_state(ScHandle svc, uint32_t* state);   // QueryServiceStatus
// QueryServiceStatusEx(SC_STATUS_PROCESS_INFO): the id of the process that
// runs the service, 0 while it runs in none.
int plat_query_service_process(ScHandle svc, uint32_t* process_id);
// ChangeServiceConfig2A(SERVICE_CONFIG_SERVICE_SID_INFO).
int plat_set_service_sid_type(ScHandle svc, uint32_t sid_type);
// Whether argument `index` of the process's command line in its wide form
// (CommandLineToArgvW(GetCommandLineW())) is exactly `text` converted from
// the ANSI code page (MultiByteToWideChar).  The ANSI command line is the
// wide one converted to that code page, in which a character the code page
// lacks becomes a look-alike ("O" for an omega) or '?'.  0 also when the
// argument is missing or the wide command line cannot be read.
int plat_command_argument_is_exact(int index, const char* text);
void plat_close_service_handle(ScHandle handle);          // CloseServiceHandle

// ---------------------------------------------------------------------------
// Event log (advapi32)
// ---------------------------------------------------------------------------

EventSource plat_register_event_source(const char* source);   // RegisterEventSourceA(NULL, source)
// ReportEventA(source, type, 0, id, NULL, count, 0, strings, NULL).
int plat_report_event(EventSource source, uint16_t type, uint32_t event_id,
                      uint16_t count, const char** strings);
void plat_deregister_event_source(EventSource source);    // DeregisterEventSource

// ---------------------------------------------------------------------------
// Modules, files and the current directory (kernel32)
// ---------------------------------------------------------------------------

// GetModuleFileNameA(module, buf, cap); module null is the executable.  Returns
// the length copied; a result equal to cap means the name was cut.
uint32_t plat_module_file_name(LibHandle module, char* buf, uint32_t cap);
LibHandle plat_load_library(const char* name);           // LoadLibraryA
void plat_free_library(LibHandle module);                 // FreeLibrary
// GetFileAttributesA != INVALID_FILE_ATTRIBUTES; on 0 the last error says why.
int plat_path_has_entry(const char* path);
// GetCurrentDirectoryA(cap, buf): the length, the size needed when cap is too
// small, or 0 on failure.
uint32_t plat_current_directory(char* buf, uint32_t cap);
// GetSystemDirectoryA(buf, cap), with the same results.
uint32_t plat_system_directory(char* buf, uint32_t cap);
// Opens a file through the C runtime (fopen), with a handle that no child
// process inherits.  Modes as fopen's.  Null on failure.
FILE* plat_fopen(const char* path, const char* mode);
// MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING when `replace` is set):
// without it, a file at `to` makes the move fail with ERROR_ALREADY_EXISTS.
int plat_move_file(const char* from, const char* to, int replace);

// What a path names, as GetFileAttributesExA sees it.
enum { PLAT_ENTRY_NONE = 0, PLAT_ENTRY_FILE = 1, PLAT_ENTRY_DIRECTORY = 2, PLAT_ENTRY_DEVICE = 3 };
struct PlatFileInfo {
    uint32_t kind;         // PLAT_ENTRY_FILE, _DIRECTORY or _DEVICE
    uint64_t size;         // bytes, for a file
    int64_t last_write;    // seconds since 1970
};
// GetFileAttributesExA(GetFileExInfoStandard).  0 with the last error when
// the path names nothing (2 or 3) or cannot be looked at.
int plat_path_info(const char* path, PlatFileInfo* info);
// CreateFileA(path, FILE_APPEND_DATA, read, write and delete sharing, not
// inheritable, OPEN_ALWAYS): every write through the handle lands at the
// file's end.  Written with plat_write_file, closed with plat_close_handle.
// Null on failure.
PlatHandle plat_open_append(const char* path);
// GetFileType and GetFileInformationByHandle: what an open handle reaches
// (PLAT_ENTRY_DEVICE for anything but a file on a disk), its size and last
// write time.  0 with the last error on failure.
int plat_file_info(PlatHandle file, PlatFileInfo* info);
// CreateFileA(path, GENERIC_READ, read, write and delete sharing, not
// inheritable, OPEN_EXISTING): the file can be renamed or deleted while it is
// read, and the handle follows it.  Read with plat_read_file, closed with
// plat_close_handle.  Null on failure.
PlatHandle plat_open_read(const char* path);
// CreateFileA(path, GENERIC_WRITE, read sharing, not inheritable,
// CREATE_ALWAYS): a new, empty file.  Null on failure.
PlatHandle plat_create_file(const char* path);
// ReadFile, of a file or of a pipe's read end; *got is 0 at the end of a
// file.  A pipe's read waits until the pipe holds something.
int plat_read_file(PlatHandle file, void* buf, uint32_t size, uint32_t* got);
// SetFileTime with the last write time alone (seconds since 1970), on a file
// opened for writing.
int plat_set_file_time(PlatHandle file, int64_t last_write);
// GetFullPathNameA: the absolute form of a path, "." and ".." resolved and
// the trailing dots and blanks of its last part dropped, as Windows names
// files.  Returns the length, the size needed when cap is too small, or 0 on
// failure.
uint32_t plat_full_path(const char* path, char* buf, uint32_t cap);
// DeleteFileA.
int plat_delete_file(const char* path);
// FindFirstFileA / FindNextFileA: calls each(name, context) with the name
// (without its folder) of every file and directory that `pattern`, a path
// whose last part ends in "*", matches.  A pattern that matches nothing is
// listed; 0 when the folder cannot be listed.
typedef void (*PlatNameFn)(const char* name, void* context);
int plat_list_names(const char* pattern, PlatNameFn each, void* context);
// The line end that the platform's text files use: "\r\n" or "\n".
const char* plat_text_line_end(void);

// ---------------------------------------------------------------------------
// Environment (kernel32)
// ---------------------------------------------------------------------------

char* plat_environment_block(void);                      // GetEnvironmentStrings
void plat_free_environment_block(char* block);            // FreeEnvironmentStringsA
// GetEnvironmentVariableA: length without NUL, or the size needed (with NUL)
// when cap is too small, or 0 when the variable is not set.
uint32_t plat_get_env(const char* name, char* buf, uint32_t cap);
// SetEnvironmentVariableA; a null value removes the variable.
int plat_set_env(const char* name, const char* value);
// ExpandEnvironmentStringsA: the size needed including the NUL, 0 on failure.
uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap);
// A text in the ANSI code page as UTF-8 (MultiByteToWideChar from CP_ACP,
// then WideCharToMultiByte to CP_UTF8), NUL-terminated within cap.  0 with
// the last error when it cannot be converted or does not fit.
int plat_ansi_to_utf8(const char* text, char* buf, uint32_t cap);

// ---------------------------------------------------------------------------
// Memory (process heap)
// ---------------------------------------------------------------------------

void* plat_heap_alloc(size_t size);                       // HeapAlloc(HEAP_ZERO_MEMORY)
void* plat_heap_realloc(void* block, size_t size);        // HeapReAlloc
void plat_heap_free(void* block);                         // HeapFree

// ---------------------------------------------------------------------------
// Pipes, processes, threads, events (kernel32)
// ---------------------------------------------------------------------------

// CreatePipe with SECURITY_ATTRIBUTES{inheritable, default descriptor} and a
// buffer size suggestion (0 = the system default).  Both ends are inheritable.
int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size);
// DuplicateHandle within this process, not inheritable, DUPLICATE_SAME_ACCESS.
int plat_duplicate_private(PlatHandle source, PlatHandle* out);
int plat_close_handle(PlatHandle handle);                 // CloseHandle
// PeekNamedPipe(pipe, NULL, 0, NULL, &avail, NULL).
int plat_peek_pipe(PlatHandle pipe, uint32_t* available);
int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written);  // WriteFile
// SetNamedPipeHandleState(PIPE_READMODE_BYTE | PIPE_NOWAIT): a write to the
// pipe through this handle never waits; what does not fit is not written
// (WriteFile succeeds with a short count, possibly 0).
int plat_pipe_nowait(PlatHandle pipe);

PlatHandle plat_get_std_handle(int which);                // GetStdHandle
int plat_set_std_handle(int which, PlatHandle handle);    // SetStdHandle

// STARTUPINFOA, reduced to the fields the system sets.  The caller fills it;
// plat_create_process passes it on unchanged.
struct PlatStartupInfo {
    char* title;                 // lpTitle
    uint32_t flags;              // dwFlags
    uint16_t show_window;        // wShowWindow
    PlatHandle std_input;
    PlatHandle std_output;
    PlatHandle std_error;
};

// PROCESS_INFORMATION.
struct PlatProcessInfo {
    PlatHandle process;
    PlatHandle thread;
    uint32_t process_id;
    uint32_t thread_id;
};

// CreateProcessA(NULL, command_line, NULL, NULL, inherit, creation_flags,
// NULL (inherited environment), current_directory, startup, process).
int plat_create_process(char* command_line, const char* current_directory, int inherit_handles,
                        uint32_t creation_flags, const PlatStartupInfo* startup,
                        PlatProcessInfo* process);
int plat_terminate_process(PlatHandle process, uint32_t exit_code);   // TerminateProcess
// CreateJobObjectA with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE: every process in
// the job ends when its last handle is closed, also when this process dies.
// Null on failure.
PlatHandle plat_create_kill_job(void);
int plat_assign_to_job(PlatHandle job, PlatHandle process);       // AssignProcessToJobObject
int plat_resume_thread(PlatHandle thread);                         // ResumeThread
// GetExitCodeProcess; 259 (STILL_ACTIVE) while running.
int plat_process_exit_code(PlatHandle process, uint32_t* code);
// WaitForSingleObject: PLAT_WAIT_OBJECT_0, PLAT_WAIT_TIMEOUT or PLAT_WAIT_FAILED.
uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds);
// WaitForMultipleObjects(2, {first, second}, FALSE, milliseconds):
// PLAT_WAIT_OBJECT_0 when first is signalled (also when both are),
// PLAT_WAIT_OBJECT_0 + 1 when only second is, PLAT_WAIT_TIMEOUT or
// PLAT_WAIT_FAILED.  A null second waits on first alone.
uint32_t plat_wait_either(PlatHandle first, PlatHandle second, uint32_t milliseconds);

// The read end this process keeps of a pipe that carries a child's output.
// A watchable one can be waited on for data (plat_wait_output): a named pipe
// of this process's own, its read end opened for overlapped I/O; an ordinary
// one is CreatePipe's.  The read end is private; the write end, for the
// child, is an ordinary inheritable handle.
typedef struct PlatOutputPipe PlatOutputPipe;
// Makes the pipe with a buffer size suggestion (0 = the system default); the
// read end lasts as long as this process.
int plat_output_pipe_create(PlatOutputPipe** read_end, PlatHandle* write_end, uint32_t buffer_size, int watchable);
// PeekNamedPipe's count of the bytes waiting, and ReadFile, on the read end.
int plat_output_pipe_peek(PlatOutputPipe* pipe, uint32_t* available);
int plat_output_pipe_read(PlatOutputPipe* pipe, void* buf, uint32_t size, uint32_t* got);
// Reads what the pipe holds, at most size bytes, without waiting for more
// (*got 0: it was empty).  On a watchable pipe that holds bytes this is one
// round trip to the Wine server where a look and a read are two; one found
// empty costs the read, its cancel and its end.  An ordinary pipe is looked
// into first.
int plat_output_pipe_take(PlatOutputPipe* pipe, void* buf, uint32_t size, uint32_t* got);
// Waits until the process ends (PLAT_WAIT_OBJECT_0), the event is set
// (PLAT_WAIT_OBJECT_0 + 1) or one of up to four watchable read ends has data
// (PLAT_WAIT_OBJECT_0 + 2 + its index), or the time is up (PLAT_WAIT_TIMEOUT).
// PLAT_WAIT_FAILED, with the last error, also for a pipe that is not
// watchable or has lost its writers.
uint32_t plat_wait_output(PlatHandle process, PlatHandle event, PlatOutputPipe* const* pipes, uint32_t count,
                          uint32_t milliseconds);

typedef uint32_t (*PlatThreadFn)(void* parameter);
PlatHandle plat_create_thread(PlatThreadFn fn, void* parameter);  // CreateThread; null on failure
int plat_terminate_thread(PlatHandle thread, uint32_t exit_code); // TerminateThread
// SetThreadPriority.
enum { PLAT_THREAD_PRIORITY_LOWEST = -2 };
int plat_set_thread_priority(PlatHandle thread, int priority);
// CreateEventA(NULL, auto reset, not signalled, NULL): a wait that the event
// ends also resets it.  Null on failure.
PlatHandle plat_create_event(void);
int plat_set_event(PlatHandle event);                     // SetEvent
void plat_sleep(uint32_t milliseconds);                   // Sleep

// ---------------------------------------------------------------------------
// Console (kernel32)
// ---------------------------------------------------------------------------

int plat_set_console_handler(PlatConsoleHandlerFn handler);   // SetConsoleCtrlHandler(h, TRUE)
int plat_free_console(void);                              // FreeConsole
int plat_attach_console(uint32_t process_id);             // AttachConsole
int plat_send_ctrl_break(uint32_t process_group_id);      // GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT)

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

int64_t plat_time_seconds(void);                          // time(): seconds since 1970
// localtime + asctime of `seconds` into buf ("Sun Dec  6 21:00:45 2026\n").
void plat_asctime_local(int64_t seconds, char* buf, size_t cap);
// The local calendar date of `seconds` (localtime) as the number
// yyyymmdd, so that a later date is a larger number; 0 on failure.
uint32_t plat_local_date(int64_t seconds);
// GetLocalTime: the local time now, to the millisecond, as
// "yyyy-mm-dd hh:mm:ss.mmm" (24-hour clock).
void plat_local_time_text(char* buf, size_t cap);
uint32_t plat_tick_count(void);                           // GetTickCount
uint64_t plat_tick_count64(void);                         // GetTickCount64: monotonic, never wraps

#endif
