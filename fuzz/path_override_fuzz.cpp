// StartProcess's temporary PATH from arbitrary start-script lines and
// environments.
//
// Input: a flags byte (bit 0: the wrapper has a PATH, bit 1: debug tracing,
// bit 2: the process creation fails), the wrapper's PATH (up to 6000
// characters, past the 2048-byte first read), three variables a PATH line may
// refer to, and the PATH line itself (at most 2047 characters, as line 3 of
// the start script is read).  The child must see the line's value expanded
// and without its trailing line ends, and the wrapper's PATH must be back as
// it was afterwards, with no handle or environment block left behind.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "common/helpers.h"
#include "common/platform.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_process.h"
#include "fuzz_support.h"
#include "service/child_process.h"

namespace {

const char kLogPath[] = "C:\\logs\\svc.out";
const size_t kMaxPath = 6000;
const size_t kMaxVariable = 3000;

std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

// %NAME% references replaced by the variable's value; a name that is not
// defined stays as written, and its closing "%" may open the next reference.
std::string Expand(const std::string& text, const std::map<std::string, std::string>& env)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            auto it = env.find(Upper(text.substr(i + 1, close - i - 1)));
            if (it != env.end()) {
                out += it->second;
                i = close + 1;
            } else {
                out += text.substr(i, close - i);
                i = close;
            }
            continue;
        }
        out += text[i++];
    }
    return out;
}

// Line ends come off the end, but the first character always stays.
std::string TrimLineEnds(std::string value)
{
    while (value.size() > 1 && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_reset();
    FuzzReader in{data, size};
    uint8_t flags = in.u8();
    bool hasPath = (flags & 1) != 0;
    bool debug = (flags & 2) != 0;
    bool createFails = (flags & 4) != 0;

    std::map<std::string, std::string> env;
    fake_env_clear();
    std::string oldPath = UpToNul(in.text(kMaxPath));
    if (hasPath) env["PATH"] = oldPath;
    env["JRE"] = UpToNul(in.text(kMaxVariable));
    env["A"] = UpToNul(in.text(kMaxVariable));
    env["SYSTEMROOT"] = UpToNul(in.text(kMaxVariable));
    for (auto& kv : env) fake_env_set(kv.first, kv.second);
    std::string line = UpToNul(in.text(PATH_TEXT_SIZE - 1));

    if (debug) {
        fake_fs_mkdir("C:\\logs");
        LogFile = plat_fopen(kLogPath, "wb");
        DebugEnabled = 1;
    }
    if (createFails) fake_fail("CreateProcessA", PLAT_ERROR_FILE_NOT_FOUND);

    char* commandLine = fuzz_exact_copy("\"C:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\n");
    char* pathLine = fuzz_exact_copy(line);
    PlatProcessInfo process;
    PlatStartupInfo startup;
    memset(&process, 0, sizeof process);
    memset(&startup, 0, sizeof startup);
    int handlesBefore = fake_open_handle_count();
    int started = StartProcess(commandLine, "D:\\run", &process, &startup, 1, pathLine);

    FUZZ_CHECK(started == (createFails ? 0 : 1));
    if (createFails) FUZZ_CHECK(plat_get_last_error() == PLAT_ERROR_FILE_NOT_FOUND);
    // The wrapper's own PATH is back, whole, whatever its length.
    FUZZ_CHECK(fake_env_has("PATH") == hasPath);
    if (hasPath) FUZZ_CHECK(fake_env_get("PATH") == oldPath);
    FUZZ_CHECK(fake_env_blocks_outstanding() == 0);
    FUZZ_CHECK((startup.flags & CHILD_STARTF_USESHOWWINDOW) != 0 && startup.show_window == 0);

    if (started) {
        FakeChild* child = fake_last_child();
        FUZZ_CHECK(child != nullptr);
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            // A line without "=" carries no value and overrides nothing.
            FUZZ_CHECK(child->path_defined == hasPath);
            if (hasPath) FUZZ_CHECK(child->path == oldPath);
        } else {
            FUZZ_CHECK(child->path_defined);
            FUZZ_CHECK(child->path == TrimLineEnds(Expand(line.substr(equals + 1), env)));
        }
        plat_close_handle(process.thread);
        plat_close_handle(process.process);
    }
    FUZZ_CHECK(fake_open_handle_count() == handlesBefore);
    FUZZ_CHECK(fake_bad_handle_count() == 0);

    free(pathLine);
    free(commandLine);
    return 0;
}
