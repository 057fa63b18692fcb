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

// Reads the next line, line feed included, into buffer.  1 when it was read
// whole, 0 at the end of the file, -1 when the line is longer than the
// buffer holds: it is never cut, nor its rest taken for the next line.
int read_line(FILE* script, char* buffer, size_t size)
{
    if (fgets(buffer, (int)size, script) == nullptr) return 0;
    size_t length = strlen(buffer);
    if (length > 0 && buffer[length - 1] == '\n') return 1;
    // A last line without a line feed may fill the buffer and still be whole.
    return fgetc(script) == EOF ? 1 : -1;
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
    // only their line feed, as the container's command line expects.  The
    // first line is not used, whatever its length.
    char line[SCRIPT_LINE_SIZE];
    int read;
    while ((read = read_line(script, line, sizeof line)) < 0) {
    }
    // Lines 2 to 4 and the buffers they go into.
    char* const buffers[] = {line, pathLine, commandLine};
    const size_t sizes[] = {sizeof line, PATH_LINE_SIZE, COMMAND_LINE_SIZE};
    char reason[128] = "has fewer than four lines";
    for (int i = 0; read == 1 && i < 3; ++i) {
        read = read_line(script, buffers[i], sizes[i]);
        if (read < 0)
            text_format(reason, sizeof reason, "line %d is longer than %lu characters", i + 2,
                        (unsigned long)(sizes[i] - 2));
        if (read == 1 && i == 0 && strchr(line, '"') == nullptr) {
            text_copy(reason, sizeof reason, "line 2 holds no quoted working directory");
            read = -1;
        }
    }
    fclose(script);

    if (read != 1) {
        // A refused script leaves nothing behind that a later start could
        // mistake for the container's values.
        workingDirectory[0] = '\0';
        pathLine[0] = '\0';
        commandLine[0] = '\0';
        refuse_script(serviceName, name, reason);
        return 0;
    }
    // With a single quote the terminator replaces that same quote, so the
    // directory runs to the end of the line.
    char* first = strchr(line, '"');
    *strrchr(line, '"') = '\0';
    text_copy(workingDirectory, PATH_TEXT_SIZE, first + 1);
    return 1;
}
