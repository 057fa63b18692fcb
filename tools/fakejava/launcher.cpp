// The launcher role: writes the start script "<boot file>.bat" that tells the
// service how to start the container, and ends with its exit marker.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "fakejava.h"

namespace {

// The boot file as a full path, so that the container finds it from any
// working directory.
void full_path(const char* path, char* out, size_t size)
{
    DWORD length = GetFullPathNameA(path, (DWORD)size, out, NULL);
    if (length == 0 || length >= size) snprintf(out, size, "%s", path);
}

// Writes the four lines the service reads: anything, the working directory in
// double quotes, the PATH line and the container's command line.  The file is
// also a working batch file: run by hand it starts the container.
int write_start_script(const char* bootFile, const BootSettings* s, const JavaCommand* command)
{
    char scriptName[FJ_PATH_SIZE + 8];
    snprintf(scriptName, sizeof scriptName, "%s.bat", bootFile);

    char bootPath[FJ_PATH_SIZE];
    full_path(bootFile, bootPath, sizeof bootPath);
    char directory[FJ_PATH_SIZE];
    if (s->containerDir[0] != '\0') {
        snprintf(directory, sizeof directory, "%s", s->containerDir);
    } else {
        snprintf(directory, sizeof directory, "%s", bootPath);
        char* slash = strrchr(directory, '\\');
        if (slash != nullptr) *slash = '\0';
    }
    char exe[FJ_PATH_SIZE];
    char exeDir[FJ_PATH_SIZE];
    OwnPath(exe, sizeof exe);
    OwnDirectory(exeDir, sizeof exeDir);

    char pathLine[FJ_TEXT_SIZE];
    if (s->pathLine[0] != '\0')
        snprintf(pathLine, sizeof pathLine, "%s", s->pathLine);
    else
        snprintf(pathLine, sizeof pathLine, "set PATH=%s;%%PATH%%", exeDir);

    // The container gets the launcher's marker and restart properties, as a
    // real launcher passes its settings on.
    char commandLine[FJ_TEXT_SIZE];
    snprintf(commandLine, sizeof commandLine, "\"%s\"%s%s %s \"%s\"", exe,
             command->signal ? " -Dlumora.mf.signal=true" : "",
             command->allowRestart ? " -Dlumora.mf.allowRestart=true" : "", FJ_CONTAINER_CLASS, bootPath);

    FILE* file = fopen(scriptName, "wb");
    if (file == nullptr) {
        OutFormat(1, "%s launcher: cannot write the start script %s\r\n", s->name, scriptName);
        return 0;
    }
    fprintf(file, "@echo off\r\ncd /d \"%s\"\r\n%s\r\n%s\r\n", directory, pathLine, commandLine);
    int ok = fclose(file) == 0;
    if (!ok) {
        OutFormat(1, "%s launcher: cannot write the start script %s\r\n", s->name, scriptName);
        return 0;
    }
    OutFormat(0, "%s launcher: wrote the start script %s\r\n", s->name, scriptName);
    return 1;
}

int fail(const JavaCommand* command, int code)
{
    if (command->signal) OutExitMarker(code);
    return code;
}

}  // namespace

int RunLauncher(const JavaCommand* command)
{
    if (command->argc < 1) {
        OutText(1, "fakejava launcher: no boot file given\r\n");
        return fail(command, 1);
    }
    const char* bootFile = command->argv[0];
    BootSettings s;
    DefaultSettings(&s);
    if (!ReadBootFile(bootFile, &s)) {
        OutFormat(1, "fakejava launcher: cannot read the boot file %s\r\n", bootFile);
        return fail(command, 1);
    }

    OutFormat(0, "%s launcher: boot file %s\r\n", s.name, bootFile);
    // Only the length: the password itself never goes to the log.
    if (command->passwordLength >= 0)
        OutFormat(0, "%s launcher: a password of %ld characters\r\n", s.name, command->passwordLength);
    if (command->argc > 1) OutFormat(0, "%s launcher: directory service boot file %s\r\n", s.name, command->argv[1]);
    if (s.launcherDelayMs > 0) Sleep((DWORD)s.launcherDelayMs);
    if (s.launcherStdout[0] != '\0') OutText(0, s.launcherStdout);
    if (s.launcherStderr[0] != '\0') OutText(1, s.launcherStderr);

    if (s.launcherCrash) {
        // Ends the way a JVM that dies does: no script, no marker.
        OutFormat(0, "%s launcher: simulated crash\r\n", s.name);
        return 1;
    }
    if (s.writeScript && !write_start_script(bootFile, &s, command)) return fail(command, 1);
    if (command->signal) OutExitMarker(s.launcherExitCode);
    return s.launcherExitCode;
}
