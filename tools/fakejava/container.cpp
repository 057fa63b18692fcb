// The container role: announces that it is up, runs until it is told
// "shutdown" on its standard input (or until its boot file says it ends),
// and prints a thread dump on Ctrl+Break.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fakejava.h"

namespace {

HANDLE g_shutdown = NULL;   // auto-reset: set once per "shutdown" line
char g_name[FJ_TEXT_SIZE];
int g_reportEmptyLines = 0;
// A reader that hangs for a while: from g_stopReadingAt on (when
// g_stopsReading is set) it reads nothing more, for g_readAgainAfterMs or
// for good (FJ_NEVER).  Set before the reader thread starts.
int g_stopsReading = 0;
DWORD g_stopReadingAt = 0;
long g_readAgainAfterMs = FJ_NEVER;

const char THREAD_DUMP[] =
    "Full thread dump fakejava " FJ_VERSION " (talvex stand-in JVM):\r\n"
    "\r\n"
    "\"main\" prio=5 tid=0x0001 WAITING\r\n"
    "   java.lang.Thread.State: WAITING (on a shutdown request)\r\n"
    "        at talvex.fakejava.Container.awaitShutdown(Container.java:42)\r\n"
    "        at talvex.fakejava.Container.main(Container.java:17)\r\n"
    "\r\n"
    "\"stdin-reader\" daemon prio=5 tid=0x0002 RUNNABLE\r\n"
    "   java.lang.Thread.State: RUNNABLE\r\n"
    "        at talvex.fakejava.Container.readCommands(Container.java:64)\r\n"
    "\r\n";

// Runs on a thread the system creates.  Ctrl+Break is the thread-dump
// request: answer it and keep running, as a JVM does.  Everything else takes
// the default way out.
BOOL WINAPI on_console_event(DWORD type)
{
    if (type == CTRL_BREAK_EVENT) {
        OutText(0, THREAD_DUMP);
        return TRUE;
    }
    return FALSE;
}

void handle_command(char* line)
{
    size_t length = strlen(line);
    while (length && (line[length - 1] == '\r' || line[length - 1] == ' ')) line[--length] = '\0';
    // The service writes an empty line every two seconds to keep the input
    // moving; it means nothing.
    if (length == 0) {
        static int emptyLines = 0;
        if (g_reportEmptyLines > 0 && ++emptyLines % g_reportEmptyLines == 0)
            OutFormat(0, "%s container: empty line\r\n", g_name);
        return;
    }
    if (strcmp(line, "shutdown") == 0) {
        SetEvent(g_shutdown);
        return;
    }
    OutFormat(0, "%s container: unknown command \"%s\"\r\n", g_name, line);
}

// Once the time to stop reading has come, the reader hangs as a stuck
// command listener does, and the bytes written to it stay in the pipe.
void hang_when_due(void)
{
    if (!g_stopsReading || (long)(GetTickCount() - g_stopReadingAt) < 0) return;
    g_stopsReading = 0;
    OutFormat(0, "%s container: stops reading its standard input\r\n", g_name);
    Sleep(g_readAgainAfterMs == FJ_NEVER ? INFINITE : (DWORD)g_readAgainAfterMs);
    OutFormat(0, "%s container: reads its standard input again\r\n", g_name);
}

// Reads standard input line by line until it ends.
DWORD WINAPI read_commands(LPVOID)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == NULL || in == INVALID_HANDLE_VALUE) return 0;
    char line[FJ_TEXT_SIZE];
    size_t used = 0;
    char buffer[512];
    DWORD got = 0;
    for (;;) {
        hang_when_due();
        if (!ReadFile(in, buffer, sizeof buffer, &got, NULL) || got == 0) break;
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                line[used] = '\0';
                handle_command(line);
                used = 0;
            } else if (used + 1 < sizeof line) {
                line[used++] = buffer[i];
            }
        }
    }
    return 0;
}

// Counts this container's runs in "<boot file>.runs", so a boot file can
// ask for a restart on the first runs only.
long next_run_number(const char* bootFile)
{
    char counter[FJ_PATH_SIZE + 8];
    snprintf(counter, sizeof counter, "%s.runs", bootFile);
    long runs = 0;
    FILE* file = fopen(counter, "r");
    if (file != nullptr) {
        if (fscanf(file, "%ld", &runs) != 1) runs = 0;
        fclose(file);
    }
    ++runs;
    file = fopen(counter, "w");
    if (file != nullptr) {
        fprintf(file, "%ld\n", runs);
        fclose(file);
    }
    return runs;
}

void print_environment(const char* names)
{
    char list[FJ_TEXT_SIZE];
    snprintf(list, sizeof list, "%s", names);
    for (char* name = strtok(list, ", "); name != nullptr; name = strtok(nullptr, ", ")) {
        char value[32768];
        DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
        if (length == 0 || length >= sizeof value)
            OutFormat(0, "%s container: %s is not set\r\n", g_name, name);
        else
            OutFormat(0, "%s container: %s=%s\r\n", g_name, name, value);
    }
}

void write_volume(unsigned long long total, unsigned long pieceSize)
{
    char* piece = (char*)malloc(pieceSize);
    if (piece == nullptr) return;
    // Printable lines, free of marker characters.
    static const char line[] = "fakejava output: the quick brown fox jumps over the lazy dog 0123\r\n";
    for (unsigned long i = 0; i < pieceSize; ++i) piece[i] = line[i % (sizeof line - 1)];
    while (total > 0) {
        unsigned long n = total < pieceSize ? (unsigned long)total : pieceSize;
        OutWrite(0, piece, n);
        total -= n;
    }
    free(piece);
}

// A deadline in ms after `up`, or none.
struct Deadline {
    int armed;
    DWORD at;
};

Deadline arm(long afterMs, DWORD up)
{
    Deadline d = {0, 0};
    if (afterMs >= 0) {
        d.armed = 1;
        d.at = up + (DWORD)afterMs;
    }
    return d;
}

// Milliseconds until the deadline; 0 when it has passed.
DWORD remaining(const Deadline& d)
{
    long left = (long)(d.at - GetTickCount());
    return left > 0 ? (DWORD)left : 0;
}

int finish(const JavaCommand* command, const BootSettings* s, int code)
{
    if (command->signal && s->exitMarker) OutExitMarker(code, s->markerPauseMs);
    return code;
}

}  // namespace

int RunContainer(const JavaCommand* command)
{
    if (command->argc < 1) {
        OutText(1, "fakejava container: no boot file given\r\n");
        return 1;
    }
    const char* bootFile = command->argv[0];
    BootSettings s;
    DefaultSettings(&s);
    if (!ReadBootFile(bootFile, &s)) {
        OutFormat(1, "fakejava container: cannot read the boot file %s\r\n", bootFile);
        return 1;
    }
    snprintf(g_name, sizeof g_name, "%s", s.name);
    g_reportEmptyLines = s.reportEmptyLines;
    long run = next_run_number(bootFile);

    g_stopsReading = run == 1 && s.stopReadingAfterMs != FJ_NEVER;
    g_stopReadingAt = GetTickCount() + (DWORD)(s.startDelayMs > 0 ? s.startDelayMs : 0) + (DWORD)s.stopReadingAfterMs;
    g_readAgainAfterMs = s.readAgainAfterMs;
    g_shutdown = CreateEventA(NULL, FALSE, FALSE, NULL);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    HANDLE reader = CreateThread(NULL, 0, read_commands, NULL, 0, NULL);
    if (reader != NULL) CloseHandle(reader);

    if (s.startDelayMs > 0) Sleep((DWORD)s.startDelayMs);
    OutFormat(0, "%s container: up (run %ld, process %lu)\r\n", s.name, run, (unsigned long)GetCurrentProcessId());
    if (s.printCwd) {
        char cwd[FJ_PATH_SIZE];
        DWORD length = GetCurrentDirectoryA(sizeof cwd, cwd);
        OutFormat(0, "%s container: cwd=%s\r\n", s.name, (length > 0 && length < sizeof cwd) ? cwd : "?");
    }
    if (s.printEnv[0] != '\0') print_environment(s.printEnv);
    if (s.containerStdout[0] != '\0') OutText(0, s.containerStdout);
    if (s.startMarker && command->signal) OutWrite(0, "\b", 1);
    if (s.containerStderr[0] != '\0') OutText(1, s.containerStderr);
    if (s.outputBytes > 0) write_volume(s.outputBytes, s.outputWriteSize);
    if (s.stderrFloodMs > 0) {
        unsigned long lines = 0;
        for (DWORD start = GetTickCount(); GetTickCount() - start < (DWORD)s.stderrFloodMs; ++lines)
            OutText(1, "fakejava error flood: the quick brown fox jumps over the lazy dog\r\n");
        OutFormat(0, "%s container: %lu lines of error flood written\r\n", s.name, lines);
    }

    DWORD up = GetTickCount();
    int restart = s.restarts == FJ_ALWAYS || run <= s.restarts;
    Deadline restartAt = arm(restart ? s.restartAfterMs : (long)FJ_NEVER, up);
    Deadline endAt = arm(s.endAfterMs, up);
    Deadline crashAt = arm(s.crashAfterMs, up);

    for (;;) {
        DWORD wait = INFINITE;
        const Deadline* all[] = {&restartAt, &endAt, &crashAt};
        for (const Deadline* d : all)
            if (d->armed && remaining(*d) < wait) wait = remaining(*d);

        if (WaitForSingleObject(g_shutdown, wait) == WAIT_OBJECT_0) {
            if (s.ignoreShutdown) {
                OutFormat(0, "%s container: shutdown requested, ignored\r\n", s.name);
                continue;
            }
            OutFormat(0, "%s container: shutdown requested\r\n", s.name);
            if (s.shutdownDelayMs > 0) Sleep((DWORD)s.shutdownDelayMs);
            OutFormat(0, "%s container: stopped\r\n", s.name);
            return finish(command, &s, s.shutdownCode);
        }
        if (crashAt.armed && remaining(crashAt) == 0) {
            // Dies the way a JVM that crashes does: no marker.
            OutFormat(0, "%s container: simulated crash\r\n", s.name);
            return 1;
        }
        if (restartAt.armed && remaining(restartAt) == 0) {
            if (command->allowRestart) {
                OutFormat(0, "%s container: asking for a restart\r\n", s.name);
                return finish(command, &s, FJ_RESTART_CODE);
            }
            OutFormat(0, "%s container: restarts are not allowed; ending\r\n", s.name);
            return finish(command, &s, 0);
        }
        if (endAt.armed && remaining(endAt) == 0) {
            OutFormat(0, "%s container: ending by itself\r\n", s.name);
            return finish(command, &s, s.endCode);
        }
    }
}
