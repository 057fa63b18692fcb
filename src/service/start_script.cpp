// The phase-2 start script that the launcher writes next to the boot file.
//
// The wrapper never runs the script: it takes the container's working
// directory (line 2, between the first and the last double quote), its PATH
// line (line 3) and its command line (line 4) and starts the container
// itself, so that the container's output reaches the supervisor's pipes.
#include "service/start_script.h"

#include <stdio.h>
#include <string.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"

namespace {

enum {
    SCRIPT_NAME_SIZE = 4096,
    SCRIPT_LINE_SIZE = 2048,
    SCRIPT_EVENT_SIZE = SCRIPT_NAME_SIZE + 128,
};

// The script is "<BootFile>.bat".  A boot file longer than two characters
// that starts with a backslash or has a colon second is taken as it is;
// anything else lies in the working directory.  A name that does not fit its
// buffer is reported as not openable rather than opened cut.
int build_script_name(char* name, size_t capacity, const ServiceConfig* config)
{
    memset(name, 0, capacity);
    const char* boot = config->BootFile;
    int absolute = strlen(boot) > 2 && (boot[0] == '\\' || boot[1] == ':');
    if (absolute) return text_format(name, capacity, "%s.bat", boot);
    return text_format(name, capacity, "%s\\%s.bat", config->WorkingDirectory, boot);
}

void refuse_script(const char* serviceName, const char* scriptName, const char* reason)
{
    char text[SCRIPT_EVENT_SIZE];
    text_format(text, sizeof text, "Container start script %s %s", scriptName, reason);
    LogServiceEvent(serviceName, text, EVENT_LAUNCH_FAILED);
}

}  // namespace

int ReadStartScript(const char* serviceName, char* commandLine, char* pathLine,
                    char* workingDirectory, const ServiceConfig* config)
{
    char name[SCRIPT_NAME_SIZE];
    FILE* script = nullptr;
    if (build_script_name(name, sizeof name, config)) script = plat_fopen(name, "r");
    if (script == nullptr) {
        log_debug("DEBUG: Phase 2: Failed to open phase 2 start script (%s)\n", name);
        LogServiceEvent(serviceName, "Failed to open container start script (for phase 2)",
                        EVENT_LAUNCH_FAILED);
        return 0;
    }

    // Text mode drops the carriage return of each CR LF, so the lines keep
    // only their line feed, as the container's command line expects.
    char line[SCRIPT_LINE_SIZE];
    int ok = 0;
    const char* reason = "has fewer than four lines";
    if (fgets(line, sizeof line, script) != nullptr && fgets(line, sizeof line, script) != nullptr) {
        char* first = strchr(line, '"');
        char* last = strrchr(line, '"');
        if (first == nullptr) {
            reason = "line 2 holds no quoted working directory";
        } else {
            // With a single quote the terminator replaces that same quote, so
            // the directory runs to the end of the line.
            *last = '\0';
            text_copy(workingDirectory, PATH_TEXT_SIZE, first + 1);
            if (fgets(pathLine, PATH_TEXT_SIZE, script) != nullptr &&
                fgets(commandLine, COMMAND_LINE_SIZE, script) != nullptr)
                ok = 1;
        }
    }
    fclose(script);

    if (!ok) {
        // A refused script leaves nothing behind that a later start could
        // mistake for the container's values.
        workingDirectory[0] = '\0';
        pathLine[0] = '\0';
        commandLine[0] = '\0';
        refuse_script(serviceName, name, reason);
        return 0;
    }
    return 1;
}
