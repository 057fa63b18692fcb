// The start script reader on arbitrary files, with arbitrary working
// directory and boot file lengths.
//
// Input: a flags byte (bit 0: the script exists, bit 1: debug tracing on),
// the working directory and the boot file (up to their 2047-character
// capacity, so script names past the 4096-byte name buffer are reached), and
// the rest as the script's bytes.  The three output buffers are blocks of
// exactly the caller's sizes holding the previous phase's values.  The result
// is compared with a model of the line reads written here.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/service_config.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fuzz_support.h"
#include "service/start_script.h"

namespace {

const char kLogPath[] = "C:\\logs\\svc.out";
const size_t kNameCapacity = 4096;

// What the C runtime's text mode hands the reader: CR LF becomes LF.
std::string TextMode(const std::string& raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
}

// fgets: at most cap - 1 bytes, stopping after a line feed; false at the end
// of the file when nothing was read.
bool ReadLine(const std::string& file, size_t* pos, size_t cap, std::string* line)
{
    if (*pos >= file.size()) return false;
    size_t start = *pos;
    while (*pos < file.size() && *pos - start < cap - 1) {
        char c = file[(*pos)++];
        if (c == '\n') break;
    }
    *line = file.substr(start, *pos - start);
    return true;
}

std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string Field(const char* block, size_t size) { return std::string(block, fuzz_terminated_length(block, size)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_reset();
    FuzzReader in{data, size};
    uint8_t flags = in.u8();
    bool exists = (flags & 1) != 0;
    bool debug = (flags & 2) != 0;
    std::string wd = UpToNul(in.text(CONFIG_PATH_SIZE - 1));
    std::string boot = UpToNul(in.text(CONFIG_PATH_SIZE - 1));
    std::string raw = in.rest();

    ServiceConfig* config = (ServiceConfig*)calloc(1, sizeof(ServiceConfig));
    text_copy(config->WorkingDirectory, sizeof config->WorkingDirectory, wd.c_str());
    text_copy(config->BootFile, sizeof config->BootFile, boot.c_str());

    bool absolute = boot.size() > 2 && (boot[0] == '\\' || boot[1] == ':');
    std::string name = absolute ? boot + ".bat" : wd + "\\" + boot + ".bat";
    bool nameFits = name.size() < kNameCapacity;
    if (exists && nameFits) fake_fs_write(name, raw);
    if (debug) {
        fake_fs_mkdir("C:\\logs");
        LogFile = plat_fopen(kLogPath, "wb");
        DebugEnabled = 1;
    }

    char* commandLine = fuzz_exact_copy(std::string(COMMAND_LINE_SIZE - 1, 'c'));
    char* pathLine = fuzz_exact_copy(std::string(PATH_TEXT_SIZE - 1, 'p'));
    char* workingDirectory = fuzz_exact_copy(std::string(PATH_TEXT_SIZE - 1, 'w'));
    int result = ReadStartScript("svc", commandLine, pathLine, workingDirectory, config);

    // Every buffer ends within its capacity whatever happened.
    FUZZ_CHECK(fuzz_terminated_length(commandLine, COMMAND_LINE_SIZE) < COMMAND_LINE_SIZE);
    FUZZ_CHECK(fuzz_terminated_length(pathLine, PATH_TEXT_SIZE) < PATH_TEXT_SIZE);
    FUZZ_CHECK(fuzz_terminated_length(workingDirectory, PATH_TEXT_SIZE) < PATH_TEXT_SIZE);

    std::vector<FakeEvent> events = fake_events();
    if (!exists || !nameFits) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(events.size() == 1);
        FUZZ_CHECK(events[0].id == EVENT_LAUNCH_FAILED);
        FUZZ_CHECK(events[0].strings.size() == 2);
        FUZZ_CHECK(events[0].strings[1] == "Failed to open container start script (for phase 2)");
        if (debug && nameFits)
            FUZZ_CHECK(fake_fs_read(kLogPath) ==
                       "DEBUG: Phase 2: Failed to open phase 2 start script (" + name + ")\n");
    } else {
        std::string file = TextMode(raw);
        size_t pos = 0;
        std::string line, pathModel, commandModel, wdModel;
        bool ok = false;
        const char* reason = "has fewer than four lines";
        if (ReadLine(file, &pos, PATH_TEXT_SIZE, &line) && ReadLine(file, &pos, PATH_TEXT_SIZE, &line)) {
            std::string seen = UpToNul(line);
            size_t first = seen.find('"');
            if (first == std::string::npos) {
                reason = "line 2 holds no quoted working directory";
            } else {
                size_t last = seen.rfind('"');
                wdModel = last > first ? seen.substr(first + 1, last - first - 1) : seen.substr(first + 1);
                if (ReadLine(file, &pos, PATH_TEXT_SIZE, &pathModel) &&
                    ReadLine(file, &pos, COMMAND_LINE_SIZE, &commandModel))
                    ok = true;
            }
        }
        if (ok) {
            FUZZ_CHECK(result == 1);
            FUZZ_CHECK(events.empty());
            FUZZ_CHECK(Field(workingDirectory, PATH_TEXT_SIZE) == wdModel);
            FUZZ_CHECK(Field(pathLine, PATH_TEXT_SIZE) == UpToNul(pathModel));
            FUZZ_CHECK(Field(commandLine, COMMAND_LINE_SIZE) == UpToNul(commandModel));
        } else {
            // A refused script leaves nothing that a later start could use.
            FUZZ_CHECK(result == 0);
            FUZZ_CHECK(workingDirectory[0] == '\0' && pathLine[0] == '\0' && commandLine[0] == '\0');
            FUZZ_CHECK(events.size() == 1);
            FUZZ_CHECK(events[0].id == EVENT_LAUNCH_FAILED);
            FUZZ_CHECK(events[0].strings.size() == 2);
            FUZZ_CHECK(events[0].strings[1] == "Container start script " + name + " " + reason);
        }
    }

    free(commandLine);
    free(pathLine);
    free(workingDirectory);
    free(config);
    return 0;
}
