// The exit hook (see exit_script.h).
#include "service/exit_script.h"

#include <string.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "service/child_start.h"

void RunExitScript(const char* serviceName, const char* workingDirectory)
{
    if (!PathExists("exit.bat", workingDirectory)) {
        // Only "not there" means that there is no script.  Any other answer
        // (access denied, a bad path) hides a script that was meant to run.
        uint32_t error = plat_get_last_error();
        if (error == PLAT_ERROR_FILE_NOT_FOUND || error == PLAT_ERROR_PATH_NOT_FOUND) return;
        char reason[SYSTEM_MESSAGE_SIZE];
        char text[SYSTEM_MESSAGE_SIZE + 64];
        SystemErrorText(error, reason, sizeof reason);
        text_format(text, sizeof text, "exit.bat could not be looked for - %s", reason);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return;
    }

    // "cmd /c exit.bat" would not run the file: cmd splits a command name at
    // its first dot and takes "exit" for its own EXIT built-in.  "call" makes
    // cmd look the name up as a file, found in the current directory.  The
    // system's own cmd.exe is named by its full path: by a bare name Windows
    // would look in talvex.exe's folder first, where a planted one could run
    // as the service's account.
    char system[PATH_TEXT_SIZE];
    char commandLine[PATH_TEXT_SIZE + 32];
    uint32_t length = plat_system_directory(system, sizeof system);
    if (length == 0 || length >= sizeof system) {
        if (length != 0) plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
        char text[SYSTEM_MESSAGE_SIZE];
        SystemErrorText(plat_get_last_error(), text, sizeof text);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return;
    }
    text_format(commandLine, sizeof commandLine, "\"%s\\cmd.exe\" /c call exit.bat", system);
    PlatStartupInfo startup;
    PlatProcessInfo process;
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    // The script is meant to outlive the service: it runs in no job.
    if (StartProcess(commandLine, workingDirectory, &process, &startup, 0, nullptr, nullptr, nullptr)) {
        // The script runs on its own; nobody waits for it or reads its end.
        plat_close_handle(process.thread);
        plat_close_handle(process.process);
        return;
    }
    char text[SYSTEM_MESSAGE_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    LogServiceEvent(serviceName, text, EVENT_ERROR);
}
