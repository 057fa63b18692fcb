// benchref: the reference programs of the benchmarks, and the client that
// times a service stop.  Each reference does what talvex does in the plainest
// way the platform allows, so that a figure of talvex divided by (or minus)
// its reference says what talvex itself costs, whatever the machine and its
// load.
//
//   benchref pipe <output file> <directory> <command line>
//       starts the command with its standard output on an anonymous pipe of
//       the system's default size and copies everything that arrives into the
//       file with a ReadFile that blocks until data is there: the best any
//       reader can do through a pipe.  Prints "bytes=N ms=T".
//   benchref lazy-pipe <output file> <directory> <command line>
//       the same through a pipe of 1 MB, read only every 50 ms: a reader that
//       costs the writer next to nothing, for comparison with small writes
//       (with larger writes the pipe fills between two reads).
//   benchref launch <count> <directory> <command line>
//       runs the command <count> times, each time from its creation to its
//       end, and prints "launch ms=T" per run.
//   benchref cycle <count> <directory> <launcher command line>, with the
//   container's command line on the request's second line (as-service only)
//       a restart as the plainest supervisor makes it, <count> times: the
//       launcher from its creation to its end (then its output is read),
//       then the container from its creation to its start marker; "cycle
//       ms=T" each.
//       The container is then stopped, untimed.
//   benchref start-ref <output file> <directory> <launcher command line>,
//   with the container's command line on the request's second line
//   (as-service only)
//       a start as the plainest supervisor makes it: the launcher from its
//       creation to its end, then the container, whose output goes into the
//       file as it arrives until its start marker has gone by.  The container
//       is then stopped.  What is timed is the client's (benchref start).
//   benchref container <count> <directory> <command line>
//       starts the command <count> times and prints, per run, the time from
//       its creation to its start marker (BS on its standard output) and the
//       time from writing "shutdown\n" to its standard input to its end:
//       "container start_ms=S stop_ms=T".
//   benchref stop <service>
//       sends the stop control to a running service and prints the time until
//       the service manager reports it STOPPED: "stop ms=T".
//   benchref start <service> <file>
//       starts the service and prints the time until the file holds a start
//       marker (BS): "start ms=T".  The file is looked at every millisecond,
//       its size first (which costs Wine no round trip to its server), its
//       new bytes only when it grew.
//   benchref dump <service> <log file>
//       sends the thread dump control (129) to a running talvex service (or
//       keep-alive reference) and prints the time until its log file holds
//       one more line saying that Ctrl+Break could not be sent (Wine cannot
//       deliver it; on Windows the attempt leaves no line): "dump ms=T".
//   benchref as-service <request file> <output file>
//       a service that runs the measurement that the request file's one line
//       names ("pipe <output file> <directory> <command line>", "launch
//       <count> <directory> <command line>", "container ...", or "cycle ..."
//       and "start-ref ...", whose container command line is the second
//       line), writes what
//       it prints into the output file and stops.  The children of a service
//       start without the console of their parent, as talvex's children do,
//       and pay for a console of their own (under Wine, a conhost.exe that
//       starts beside them).
//   benchref service <command line>
//       the idle reference service, registered with this line (after the
//       word "service") as its child: it reports RUNNING, starts the child on
//       pipes and blocks until the child ends or a stop control arrives, which
//       it passes on as "shutdown\n".  No polling, no copying, no thread of
//       its own: what any supervisor needs at the least.
//   benchref keepalive-service <command line>
//       the same service, which also writes a newline to the child's standard
//       input every 2 s from a thread of its own, as talvex's input flusher
//       does: what a supervisor that keeps a quiet child's input moving needs
//       at the least.  Its stop does what talvex's must before STOPPED:
//       "shutdown\n", STOP_PENDING reported once it has gone, the child's end,
//       the child's output read to its end, one event, the thread's end with
//       the one line it writes in a log file kept open from the start
//       ("<service name>.log" beside benchref.exe), and a look for an exit
//       script.  Its answer to the dump control (129) does what
//       talvex's must: it moves to the child's console, sends Ctrl+Break to
//       the child's process group and, when that fails (as it does under
//       Wine), writes the system's text of the error in that log.
//
// Exit code 0 on success; 2 for a bad command line; 1 when a step failed (the
// reason is on standard error).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum {
    COMMAND_SIZE = 8192,
    COPY_BUFFER_SIZE = 65536,
    LAZY_PIPE_SIZE = 1048576,
    LAZY_READ_PAUSE_MS = 50,
    STOP_TIMEOUT_MS = 60000,
    // The user control that asks a talvex service for a thread dump.
    DUMP_CONTROL = 129,
    // CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, as talvex starts its
    // children.
    CHILD_CREATION_FLAGS = 0x220,
};

const char SHUTDOWN_COMMAND[] = "shutdown\n";

double g_tick_ms = 0.0;
// Where the launch and container measurements print: standard output, or the
// output file of a measurement run as a service.
FILE* g_out = stdout;

double now_ms()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return (double)count.QuadPart * g_tick_ms;
}

void fail(const char* what)
{
    fprintf(stderr, "benchref: %s failed (error %lu)\n", what, (unsigned long)GetLastError());
}

// The text after the first `skip` words of a command line, so that quoting
// inside it reaches the child intact.
const char* words_after(const char* p, int skip)
{
    for (int word = 0; word < skip; ++word) {
        while (*p == ' ' || *p == '\t') ++p;
        int quoted = 0;
        while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '"') quoted = !quoted;
            ++p;
        }
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

// The command line after the first `skip` words of this program's own line,
// as the system gave it.
const char* command_after(int skip)
{
    return words_after(GetCommandLineA(), skip);
}

// One child on three anonymous pipes of the default size.  The ends this
// program keeps are not inheritable, so that the child's end of its output
// pipe is the only writer and a read reports the pipe broken when the child
// has gone.
struct Child {
    PROCESS_INFORMATION process;
    HANDLE input;    // write end of the child's standard input
    HANDLE output;   // read end of the child's standard output and error
};

// The lazy reader's pipe size and pause between reads; 0: the default size,
// no pause.
DWORD g_output_pipe_size = 0;
DWORD g_read_pause_ms = 0;

int make_pipe(HANDLE* read_end, HANDLE* write_end, HANDLE* kept, DWORD size)
{
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof sa);
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    if (!CreatePipe(read_end, write_end, &sa, size)) return 0;
    return SetHandleInformation(*kept, HANDLE_FLAG_INHERIT, 0) ? 1 : 0;
}

int start_child(const char* command, const char* directory, Child* child)
{
    HANDLE in_read = NULL, in_write = NULL, out_read = NULL, out_write = NULL;
    if (!make_pipe(&in_read, &in_write, &in_write, 0) ||
        !make_pipe(&out_read, &out_write, &out_read, g_output_pipe_size)) {
        fail("CreatePipe");
        return 0;
    }
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    // As talvex starts its children: the command line as the console's
    // title, and the standard handles on the pipes.
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEONFEEDBACK;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = out_write;
    char line[COMMAND_SIZE], title[COMMAND_SIZE];
    snprintf(line, sizeof line, "%s", command);
    snprintf(title, sizeof title, "%s", command);
    si.lpTitle = title;
    ZeroMemory(&child->process, sizeof child->process);
    BOOL started = CreateProcessA(NULL, line, NULL, NULL, TRUE, CHILD_CREATION_FLAGS, NULL,
                                  directory[0] ? directory : NULL, &si, &child->process);
    DWORD error = GetLastError();
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        SetLastError(error);
        fail("CreateProcessA");
        return 0;
    }
    child->input = in_write;
    child->output = out_read;
    return 1;
}

void close_child(Child* child)
{
    CloseHandle(child->process.hThread);
    CloseHandle(child->process.hProcess);
    CloseHandle(child->input);
    CloseHandle(child->output);
}

int run_pipe(const char* output_path, const char* directory, const char* command)
{
    HANDLE file = CreateFileA(output_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fail("CreateFileA");
        return 1;
    }
    Child child;
    double start = now_ms();
    if (!start_child(command, directory, &child)) {
        CloseHandle(file);
        return 1;
    }
    static char buffer[LAZY_PIPE_SIZE];
    DWORD size = g_read_pause_ms != 0 ? (DWORD)sizeof buffer : (DWORD)COPY_BUFFER_SIZE;
    unsigned long long total = 0;
    DWORD got = 0;
    // Each piece goes to the file before the next read, as talvex's copy does.
    while (ReadFile(child.output, buffer, size, &got, NULL) && got > 0) {
        if (g_read_pause_ms != 0) Sleep(g_read_pause_ms);
        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, NULL) || written != got) {
            fail("WriteFile");
            break;
        }
        total += got;
    }
    double end = now_ms();
    WaitForSingleObject(child.process.hProcess, INFINITE);
    close_child(&child);
    CloseHandle(file);
    fprintf(g_out, "bytes=%llu ms=%.1f\n", total, end - start);
    return 0;
}

int run_launch(int count, const char* directory, const char* command)
{
    for (int i = 0; i < count; ++i) {
        Child child;
        double start = now_ms();
        if (!start_child(command, directory, &child)) return 1;
        WaitForSingleObject(child.process.hProcess, INFINITE);
        double end = now_ms();
        close_child(&child);
        fprintf(g_out, "launch ms=%.1f\n", end - start);
        fflush(g_out);
    }
    return 0;
}

// Reads the child's output until its start marker has gone by; with a file,
// each piece goes into it as it arrives, as talvex copies output to its log.
int await_start_marker(HANDLE output, HANDLE copy)
{
    char buffer[512];
    DWORD got = 0, written = 0;
    while (ReadFile(output, buffer, sizeof buffer, &got, NULL) && got > 0) {
        if (copy != NULL) WriteFile(copy, buffer, got, &written, NULL);
        if (memchr(buffer, '\b', got) != NULL) return 1;
    }
    return 0;
}

int run_container(int count, const char* directory, const char* command)
{
    for (int i = 0; i < count; ++i) {
        Child child;
        double start = now_ms();
        if (!start_child(command, directory, &child)) return 1;
        if (!await_start_marker(child.output, NULL)) {
            fprintf(stderr, "benchref: the child ended without a start marker\n");
            close_child(&child);
            return 1;
        }
        double up = now_ms();
        // Let the child settle into its wait for input, as a container that
        // has been running for a while has.
        Sleep(300);
        DWORD written = 0;
        double stop = now_ms();
        WriteFile(child.input, SHUTDOWN_COMMAND, sizeof SHUTDOWN_COMMAND - 1, &written, NULL);
        WaitForSingleObject(child.process.hProcess, INFINITE);
        double end = now_ms();
        close_child(&child);
        fprintf(g_out, "container start_ms=%.1f stop_ms=%.1f\n", up - start, end - stop);
        fflush(g_out);
    }
    return 0;
}

// Runs the launcher from its creation to its end.  Its few lines fit its
// pipe; they are read once it has ended, since the end of the pipe may come
// later than the launcher's (a console host started for it may hold the
// pipe).
int run_launcher_through(const char* launcher, const char* directory)
{
    static char buffer[COPY_BUFFER_SIZE];
    Child first;
    if (!start_child(launcher, directory, &first)) return 0;
    WaitForSingleObject(first.process.hProcess, INFINITE);
    DWORD got = 0, available = 0;
    while (PeekNamedPipe(first.output, NULL, 0, NULL, &available, NULL) && available > 0 &&
           ReadFile(first.output, buffer, sizeof buffer, &got, NULL)) {
    }
    close_child(&first);
    return 1;
}

// Starts the container and reads its output up to its start marker (into
// the file, if one is given); then, untimed, tells it to shut down and waits
// for its end.  Returns the time of the marker, or a negative value when it
// never came.
double run_container_to_marker(const char* container, const char* directory, HANDLE copy)
{
    Child second;
    if (!start_child(container, directory, &second)) return -1.0;
    int up = await_start_marker(second.output, copy);
    double end = now_ms();
    DWORD written = 0;
    WriteFile(second.input, SHUTDOWN_COMMAND, sizeof SHUTDOWN_COMMAND - 1, &written, NULL);
    WaitForSingleObject(second.process.hProcess, INFINITE);
    close_child(&second);
    if (!up) fprintf(g_out, "benchref: the container ended without a start marker\n");
    return up ? end : -1.0;
}

int run_cycle(int count, const char* directory, const char* launcher, const char* container)
{
    for (int i = 0; i < count; ++i) {
        double start = now_ms();
        if (!run_launcher_through(launcher, directory)) return 1;
        double end = run_container_to_marker(container, directory, NULL);
        if (end < 0) return 1;
        fprintf(g_out, "cycle ms=%.1f\n", end - start);
        fflush(g_out);
    }
    return 0;
}

int run_start_ref(const char* output_path, const char* directory, const char* launcher, const char* container)
{
    HANDLE file = CreateFileA(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fail("CreateFileA");
        return 1;
    }
    int result = run_launcher_through(launcher, directory) && run_container_to_marker(container, directory, file) >= 0
                     ? 0
                     : 1;
    CloseHandle(file);
    return result;
}

// What a timed control waits for: 1 once it is there, 0 while it is not,
// -1 when it cannot be told.
typedef int (*Arrived)(SC_HANDLE service);

// No service control has the code 0: time_control starts the service instead.
const DWORD START_INSTEAD_OF_CONTROL = 0;

// Sends the control to the service and prints "<label> ms=T": the time until
// arrived() says so, looked at every millisecond.
int time_control(const char* service, DWORD access, DWORD control, const char* label, Arrived arrived)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE handle = manager != NULL ? OpenServiceA(manager, service, access) : NULL;
    if (handle == NULL) {
        fail("OpenServiceA");
        if (manager != NULL) CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_STATUS status;
    int result = 1;
    double start = now_ms();
    if (arrived(handle) < 0) {
        fail("looking for the control's effect");
    } else if (control == START_INSTEAD_OF_CONTROL ? !StartServiceA(handle, 0, NULL)
                                                   : !ControlService(handle, control, &status)) {
        fail(control == START_INSTEAD_OF_CONTROL ? "StartServiceA" : "ControlService");
    } else {
        for (;;) {
            double elapsed = now_ms() - start;
            int seen = arrived(handle);
            if (seen > 0) {
                printf("%s ms=%.1f\n", label, elapsed);
                result = 0;
            }
            if (seen < 0) fail("looking for the control's effect");
            if (seen == 0 && elapsed > STOP_TIMEOUT_MS)
                fprintf(stderr, "benchref: no %s of %s within %d ms\n", label, service, STOP_TIMEOUT_MS);
            if (seen != 0 || elapsed > STOP_TIMEOUT_MS) break;
            Sleep(1);
        }
    }
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return result;
}

int stopped(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) return -1;
    return status.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
}

int run_stop(const char* service)
{
    return time_control(service, SERVICE_STOP | SERVICE_QUERY_STATUS, SERVICE_CONTROL_STOP, "stop", stopped);
}

// Occurrences of the dump attempt's line in the log file; -1 when the file
// cannot be read.
long dump_lines(const char* path)
{
    static const char LINE[] = "Ctrl+Break could not be sent";
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return -1;
    static char buffer[1 << 20];
    long count = 0;
    size_t kept = 0;
    DWORD got = 0;
    // Reads in pieces, keeping the end of each piece in front of the next
    // one, so that a line across two pieces is counted once.
    while (ReadFile(file, buffer + kept, (DWORD)(sizeof buffer - 1 - kept), &got, NULL) && got > 0) {
        size_t length = kept + got;
        buffer[length] = '\0';
        const char* p = buffer;
        while ((p = strstr(p, LINE)) != NULL) {
            ++count;
            p += sizeof LINE - 1;
        }
        kept = length < sizeof LINE - 1 ? length : sizeof LINE - 2;
        memmove(buffer, buffer + length - kept, kept);
    }
    CloseHandle(file);
    return count;
}

const char* g_log_path = "";
long g_dump_lines_before = -1;

// The log holds one more dump attempt than before the control.
int dump_attempted(SC_HANDLE)
{
    long lines = dump_lines(g_log_path);
    if (lines < 0) return -1;
    if (g_dump_lines_before < 0) g_dump_lines_before = lines;
    return lines > g_dump_lines_before ? 1 : 0;
}

int run_dump(const char* service, const char* log_path)
{
    g_log_path = log_path;
    return time_control(service, SERVICE_USER_DEFINED_CONTROL, DUMP_CONTROL, "dump", dump_attempted);
}

const char* g_marker_path = "";
unsigned long long g_marker_scanned = 0;

// The file holds a start marker.  Its size is asked first, by path, which
// Wine answers without its server; only bytes that came since the last look
// are read.  A file that is not there yet holds none.
int start_marker_written(SC_HANDLE)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(g_marker_path, GetFileExInfoStandard, &data)) return 0;
    unsigned long long size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    if (size <= g_marker_scanned) return 0;
    HANDLE file = CreateFileA(g_marker_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER from;
    from.QuadPart = (LONGLONG)g_marker_scanned;
    static char buffer[COPY_BUFFER_SIZE];
    DWORD got = 0;
    int seen = 0;
    if (SetFilePointerEx(file, from, NULL, FILE_BEGIN)) {
        while (!seen && ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
            seen = memchr(buffer, '\b', got) != NULL;
            g_marker_scanned += got;
        }
    }
    CloseHandle(file);
    return seen;
}

int run_start(const char* service, const char* path)
{
    g_marker_path = path;
    return time_control(service, SERVICE_START, START_INSTEAD_OF_CONTROL, "start", start_marker_written);
}

// --- the idle reference service ---------------------------------------------------

SERVICE_STATUS_HANDLE g_status_handle = NULL;
HANDLE g_stop_event = NULL;
HANDLE g_dump_event = NULL;
const char* g_child_command = "";
// The keep-alive reference's interval; 0: none.
DWORD g_keepalive_ms = 0;

void report(DWORD state)
{
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 15000;
    SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(g_stop_event);
        return NO_ERROR;
    }
    if (control == DUMP_CONTROL && g_dump_event != NULL) {
        SetEvent(g_dump_event);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The keep-alive reference's log file, beside benchref.exe and named after
// the service, opened for appending as talvex opens its own.
HANDLE open_reference_log(const char* service)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    char* slash = length > 0 && length < sizeof path ? strrchr(path, '\\') : NULL;
    if (slash == NULL || (size_t)(slash + 1 - path) + strlen(service) + 5 > sizeof path) return INVALID_HANDLE_VALUE;
    snprintf(slash + 1, sizeof path - (size_t)(slash + 1 - path), "%s.log", service);
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The event talvex writes when its container has ended on a stop.
void report_end(const char* service)
{
    HANDLE source = RegisterEventSourceA(NULL, service);
    if (source != NULL) {
        const char* strings[1] = {"the container has ended"};
        ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000002, NULL, 1, 0, strings, NULL);
        DeregisterEventSource(source);
    }
}

// What talvex does for a thread dump: the child's console, Ctrl+Break to its
// process group, and the line its failure leaves in the log.
void send_dump(const Child* child, HANDLE log)
{
    FreeConsole();
    AttachConsole(child->process.dwProcessId);
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->process.dwProcessId)) return;
    DWORD code = GetLastError();
    char* text = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                   code, 0x400, (LPSTR)&text, 0, NULL);
    char line[512];
    int length = snprintf(line, sizeof line, "Ctrl+Break could not be sent due to: %s\n", text != NULL ? text : "");
    if (text != NULL) LocalFree(text);
    DWORD written = 0;
    if (log != INVALID_HANDLE_VALUE && length > 0)
        WriteFile(log, line, (DWORD)(length < (int)sizeof line ? length : (int)sizeof line - 1), &written, NULL);
}

// The keep-alive reference's newline comes from a thread of its own, as
// talvex's input flusher writes it, which a stop ends and waits for: the
// thread writes the one log line of the stop on its way out.
struct KeepAlive {
    HANDLE input;
    HANDLE log;
    HANDLE stop;
};

DWORD WINAPI keep_alive(LPVOID parameter)
{
    KeepAlive* k = (KeepAlive*)parameter;
    DWORD written = 0;
    while (WaitForSingleObject(k->stop, g_keepalive_ms) == WAIT_TIMEOUT) WriteFile(k->input, "\n", 1, &written, NULL);
    static const char LINE[] = "NT Service exiting input flusher thread\r\n";
    if (k->log != INVALID_HANDLE_VALUE) WriteFile(k->log, LINE, sizeof LINE - 1, &written, NULL);
    return 0;
}

// What talvex must do after its container's end on a stop, besides the event
// and the log line: the child's output read to its end and copied to the log,
// and a look for an exit script (none is there).
void finish_child(const Child* child, HANDLE log)
{
    char buffer[4096];
    DWORD got = 0, written = 0;
    while (ReadFile(child->output, buffer, sizeof buffer, &got, NULL) && got > 0)
        if (log != INVALID_HANDLE_VALUE) WriteFile(log, buffer, got, &written, NULL);
    GetFileAttributesA("exit.bat");
}

void WINAPI service_main(DWORD argc, LPSTR* argv)
{
    const char* service = argc > 0 ? argv[0] : "";
    g_status_handle = RegisterServiceCtrlHandlerExA(service, control_handler, NULL);
    if (g_status_handle == NULL) return;
    HANDLE log = g_keepalive_ms ? open_reference_log(service) : INVALID_HANDLE_VALUE;
    g_stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (g_keepalive_ms) g_dump_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    Child child;
    if (g_stop_event == NULL || !start_child(g_child_command, "", &child)) {
        if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
        report(SERVICE_STOPPED);
        return;
    }
    KeepAlive keeper = {child.input, log, NULL};
    HANDLE keeperThread = NULL;
    if (g_keepalive_ms && (keeper.stop = CreateEventA(NULL, TRUE, FALSE, NULL)) != NULL)
        keeperThread = CreateThread(NULL, 0, keep_alive, &keeper, 0, NULL);
    report(SERVICE_RUNNING);
    HANDLE waited[3] = {child.process.hProcess, g_stop_event, g_dump_event};
    DWORD result;
    DWORD written = 0;
    for (;;) {
        result = WaitForMultipleObjects(g_dump_event != NULL ? 3 : 2, waited, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 2) send_dump(&child, log);
        else break;
    }
    if (result == WAIT_OBJECT_0 + 1) {
        WriteFile(child.input, SHUTDOWN_COMMAND, sizeof SHUTDOWN_COMMAND - 1, &written, NULL);
        // talvex reports the stop as pending once "shutdown" has gone, with
        // the wait hint of the shutdown.
        if (g_keepalive_ms) report(SERVICE_STOP_PENDING);
        WaitForSingleObject(child.process.hProcess, INFINITE);
        if (g_keepalive_ms) {
            finish_child(&child, log);
            report_end(service);
        }
    }
    if (keeperThread != NULL) {
        SetEvent(keeper.stop);
        WaitForSingleObject(keeperThread, INFINITE);
        CloseHandle(keeperThread);
    }
    if (keeper.stop != NULL) CloseHandle(keeper.stop);
    close_child(&child);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    report(SERVICE_STOPPED);
}

// --- a measurement run as a service ----------------------------------------------

char g_request[COMMAND_SIZE];
char g_second_line[COMMAND_SIZE];
const char* g_output_path = "";

void WINAPI measuring_main(DWORD argc, LPSTR* argv)
{
    g_status_handle = RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", control_handler, NULL);
    if (g_status_handle == NULL) return;
    report(SERVICE_RUNNING);
    char mode[32] = "";
    int count = 0;
    char directory[MAX_PATH] = "";
    g_out = fopen(g_output_path, "w");
    if (g_out == NULL) {
        report(SERVICE_STOPPED);
        return;
    }
    const char* command = words_after(g_request, 3);
    char output[MAX_PATH] = "";
    if (sscanf(g_request, "pipe %259s %259s", output, directory) == 2) {
        run_pipe(output, directory, command);
    } else if (sscanf(g_request, "lazy-pipe %259s %259s", output, directory) == 2) {
        g_output_pipe_size = LAZY_PIPE_SIZE;
        g_read_pause_ms = LAZY_READ_PAUSE_MS;
        run_pipe(output, directory, command);
    } else if (sscanf(g_request, "start-ref %259s %259s", output, directory) == 2) {
        run_start_ref(output, directory, command, g_second_line);
    }
    else if (sscanf(g_request, "%31s %d %259s", mode, &count, directory) != 3)
        fprintf(g_out, "benchref: a request is \"pipe <output file> <directory> <command line>\" or "
                       "\"launch|container <count> <directory> <command line>\"\n");
    else if (strcmp(mode, "launch") == 0)
        run_launch(count, directory, command);
    else if (strcmp(mode, "container") == 0)
        run_container(count, directory, command);
    else if (strcmp(mode, "cycle") == 0)
        run_cycle(count, directory, command, g_second_line);
    // The end of the measurement, for whoever watches the file.
    fprintf(g_out, "done\n");
    fclose(g_out);
    report(SERVICE_STOPPED);
}

int run_as_service(const char* request_path, const char* output_path)
{
    FILE* request = fopen(request_path, "r");
    if (request == NULL || fgets(g_request, sizeof g_request, request) == NULL) {
        fail("reading the request file");
        if (request != NULL) fclose(request);
        return 1;
    }
    if (fgets(g_second_line, sizeof g_second_line, request) == NULL) g_second_line[0] = '\0';
    fclose(request);
    g_request[strcspn(g_request, "\r\n")] = '\0';
    g_second_line[strcspn(g_second_line, "\r\n")] = '\0';
    g_output_path = output_path;
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, measuring_main}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table)) {
        fail("StartServiceCtrlDispatcherA");
        return 1;
    }
    return 0;
}

int run_service(const char* command)
{
    g_child_command = command;
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table)) {
        fail("StartServiceCtrlDispatcherA");
        return 1;
    }
    return 0;
}

int usage()
{
    fprintf(stderr,
            "usage: benchref pipe <output file> <directory> <command line>\n"
            "       benchref launch <count> <directory> <command line>\n"
            "       benchref container <count> <directory> <command line>\n"
            "       benchref stop <service>\n"
            "       benchref start <service> <file>\n"
            "       benchref dump <service> <log file>\n"
            "       benchref as-service <request file> <output file>\n"
            "       benchref service <command line>\n"
            "       benchref keepalive-service <command line>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_tick_ms = 1000.0 / (double)frequency.QuadPart;
    setvbuf(stdout, NULL, _IONBF, 0);

    if (argc < 2) return usage();
    const char* mode = argv[1];
    if (strcmp(mode, "pipe") == 0 && argc >= 5) return run_pipe(argv[2], argv[3], command_after(4));
    if (strcmp(mode, "launch") == 0 && argc >= 5) return run_launch(atoi(argv[2]), argv[3], command_after(4));
    if (strcmp(mode, "container") == 0 && argc >= 5)
        return run_container(atoi(argv[2]), argv[3], command_after(4));
    if (strcmp(mode, "stop") == 0 && argc == 3) return run_stop(argv[2]);
    if (strcmp(mode, "dump") == 0 && argc == 4) return run_dump(argv[2], argv[3]);
    if (strcmp(mode, "start") == 0 && argc == 4) return run_start(argv[2], argv[3]);
    if (strcmp(mode, "as-service") == 0 && argc == 4) return run_as_service(argv[2], argv[3]);
    if (strcmp(mode, "service") == 0 && argc >= 3) return run_service(command_after(2));
    if (strcmp(mode, "keepalive-service") == 0 && argc >= 3) {
        g_keepalive_ms = 2000;
        return run_service(command_after(2));
    }
    return usage();
}
