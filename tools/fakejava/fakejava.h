// fakejava: a stand-in java.exe that plays the two Java children of a talvex
// service, the launcher and the container, with behaviour scripted by the
// boot file it is given.  See README.md for the boot-file keys.
#ifndef TALVEX_FAKEJAVA_H
#define TALVEX_FAKEJAVA_H

#include <stddef.h>

enum {
    FJ_TEXT_SIZE = 4096,
    FJ_PATH_SIZE = 2048,
    FJ_NEVER = -1,          // a delay that never runs out
    FJ_ALWAYS = -1,         // container.restarts: on every run
    FJ_RESTART_CODE = 14,
};

#define FJ_VERSION "1.0.0"
#define FJ_LAUNCHER_CLASS "com.lumora.mf.framework.agent.ci.LaunchContainer"
#define FJ_CONTAINER_CLASS "talvex.fakejava.Container"

// What the boot file asks for.  Every field has a default, so an empty boot
// file gives a well-behaved launcher and container.
struct BootSettings {
    char name[FJ_TEXT_SIZE];              // shown in the programs' own output

    // Launcher (phase 1).
    int launcherExitCode;                 // the code in its exit marker and its process exit code
    long launcherDelayMs;                 // time before it writes the script and ends
    char launcherStdout[FJ_TEXT_SIZE];
    char launcherStderr[FJ_TEXT_SIZE];
    int writeScript;                      // 0: no start script is written
    int launcherCrash;                    // 1: ends with code 1, no script, no marker

    // Container (phase 2).
    char containerDir[FJ_PATH_SIZE];      // line 2 of the script ("" = the boot file's directory)
    char pathLine[FJ_TEXT_SIZE];          // line 3 of the script ("" = set PATH=<own dir>;%PATH%)
    long startDelayMs;                    // time before it is up
    int startMarker;                      // 0: never prints the start marker
    char containerStdout[FJ_TEXT_SIZE];
    char containerStderr[FJ_TEXT_SIZE];
    unsigned long long outputBytes;       // a volume of output once it is up
    unsigned long outputWriteSize;        // ... written in pieces of this size
    char printEnv[FJ_TEXT_SIZE];          // names of variables to print, comma-separated
    int printCwd;                         // 1: prints its current directory
    int reportEmptyLines;                 // N: says so for every Nth empty line it reads
    int ignoreShutdown;                   // 1: reads "shutdown" and goes on running
    long shutdownDelayMs;                 // time between "shutdown" and its end
    int shutdownCode;                     // the code it ends with on "shutdown"
    long endAfterMs;                      // ends by itself this long after it is up
    int endCode;                          // ... with this code
    long restarts;                        // asks for a restart on its first N runs (FJ_ALWAYS: every run)
    long restartAfterMs;                  // ... this long after it is up
    long crashAfterMs;                    // ends with code 1 and no marker this long after it is up
    long stderrFloodMs;                   // writes lines to standard error as fast as it can this long
    int exitMarker;                       // 0: never prints an exit marker
    long markerPauseMs;                   // N: its exit marker comes in two writes, N ms apart
    long stopReadingAfterMs;              // on its first run, stops reading its input this long after it is up...
    long readAgainAfterMs;                // ... and reads it again this long after that
};

// The Java system properties and arguments of this run.
struct JavaCommand {
    int signal;            // -Dlumora.mf.signal=true: markers are written
    int allowRestart;      // -Dlumora.mf.allowRestart=true: exit code 14 may be used
    long passwordLength;   // the length of -Dlumora.mf.password's value, -1 without one
    const char* mainClass;
    int argc;              // program arguments after the main class
    char** argv;
};

// boot_file.cpp
void DefaultSettings(BootSettings* settings);
// Reads key=value lines.  Problems are reported on standard error; returns 0
// only when the file cannot be opened.
int ReadBootFile(const char* path, BootSettings* settings);

// output.cpp: unbuffered writes, each one WriteFile call, serialised between
// the main thread and the console control thread.
void OutInit(void);
void OutWrite(int toStderr, const char* bytes, size_t length);
void OutText(int toStderr, const char* text);
void OutFormat(int toStderr, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// BEL <code> BEL in one write.
// BEL, the code and BEL; with a pause, BEL and the code's first character,
// then the rest `pauseMs` later, as a pipe may hand a marker over in pieces.
void OutExitMarker(int code, long pauseMs = 0);
// The directory of this executable, without a trailing backslash.
void OwnDirectory(char* buffer, size_t size);
void OwnPath(char* buffer, size_t size);

// launcher.cpp, container.cpp: each returns the process exit code.
int RunLauncher(const JavaCommand* command);
int RunContainer(const JavaCommand* command);

#endif
