// One libFuzzer target for every parser of outside input, and for the
// models of the log's and the stall watch's lives.  The first byte picks the
// parser or the model; the rest, split at 0xFF bytes, gives its inputs.  Every
// output buffer is a heap block of exactly its size, so that AddressSanitizer
// sees any byte written past it, and the checks are only what can never be
// wrong: no crash, no overrun, every output ends within its buffer, every
// password masked, PATH given back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "config/install_options.h"
#include "config/service_config.h"
#include "fake/fake.h"
#include "model/log_life.h"
#include "model/stall_life.h"
#include "service/child_start.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/start_script.h"

#define CHECK(cond) ((cond) ? (void)0 : (fprintf(stderr, "fuzz check failed: %s\n", #cond), abort()))

namespace {

std::vector<std::string> pieces;

const char* piece(size_t i) { return i < pieces.size() ? pieces[i].c_str() : ""; }

// A block of exactly size bytes, not terminated, for an output.
char* block(size_t size) { return (char*)memset(malloc(size), 'x', size); }
bool terminated(const char* b, size_t size) { return memchr(b, '\0', size) != nullptr; }

ServiceConfig* load_config()
{
    const char* names[] = {"WorkingDirectory", "JavaExe", "JavaArgs", "Classpath", "BootClasspath", "OrvaneHome",
                           "BootFile", "PBE", "UtilDir", "DirectoryServiceBootFile", "TimeoutSeconds", "Debug"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        fake_reg_put("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters", names[i], 1, piece(i + 1));
    ServiceConfig* config = (ServiceConfig*)malloc(sizeof(ServiceConfig));
    LoadServiceConfig("svc", config);
    CHECK(terminated(config->ClasspathOption, CONFIG_OPTION_SIZE) && terminated(config->PBE, CONFIG_SHORT_SIZE));
    return config;
}

// Every code a child's output announces, and "999" for one that ended with
// only malformed markers, reading the output in pieces of the given lengths
// (the rest in one piece).
std::string markers_in(const std::string& output, const std::vector<size_t>& lengths)
{
    MarkerReader reader;
    MarkerReaderReset(&reader);
    std::string verdict;
    char* code = block(EXIT_CODE_TEXT_SIZE);
    for (size_t i = 0, from = 0; from < output.size(); ++i) {
        size_t to = i < lengths.size() ? std::min(from + lengths[i], output.size()) : output.size();
        for (size_t at = 0; MarkerReaderNext(&reader, output.data() + from, to - from, &at, code, EXIT_CODE_TEXT_SIZE);) {
            CHECK(terminated(code, EXIT_CODE_TEXT_SIZE));
            verdict += std::string(code) + "\n";
        }
        from = to;
    }
    if (MarkerReaderMalformedEnd(&reader, code, EXIT_CODE_TEXT_SIZE)) verdict += "end 999";
    free(code);
    return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    fake_reset();
    pieces.assign(1, "");
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF) pieces.emplace_back();
        else pieces.back() += (char)data[i];
    }
    ServiceConfig* config = load_config();
    char* out = block(2 * COMMAND_LINE_SIZE);
    char* line = block(COMMAND_LINE_SIZE);
    char* path = block(PATH_TEXT_SIZE);
    // The models' choices, byte by byte from the rest of the input (0 once it
    // is used up).
    size_t taken = 1;
    LifeChoice choice = [&](uint32_t bound) { return bound == 0 || taken >= size ? 0u : data[taken++] % bound; };
    switch (data[0] % 7) {
    case 0: {   // a child's output: cut anywhere, it announces what it announces whole
        std::vector<size_t> lengths;
        for (char c : pieces.size() > 1 ? pieces[1] : std::string()) lengths.push_back((uint8_t)c % 16 + 1);
        CHECK(markers_in(pieces[0], lengths) == markers_in(pieces[0], {}));
        break;
    }
    case 1:   // the start script the launcher wrote
        fake_write_file(strlen(config->BootFile) > 2 && (config->BootFile[0] == '\\' || config->BootFile[1] == ':')
                            ? std::string(config->BootFile) + ".bat"
                            : std::string(config->WorkingDirectory) + "\\" + config->BootFile + ".bat",
                        pieces[0]);
        if (ReadStartScript("svc", line, path, out, config))
            CHECK(terminated(line, COMMAND_LINE_SIZE) && terminated(path, PATH_TEXT_SIZE) &&
                  terminated(out, PATH_TEXT_SIZE));
        break;
    case 2: {   // the install command line
        fake_write_file("C:\\jre\\java.exe", "");
        std::vector<char*> argv;
        for (const std::string& p : pieces) argv.push_back(strdup(p.c_str()));
        ParseInstallOptions(argv.data(), (int)argv.size());
        CHECK(terminated(Options.UtilDirectory, sizeof Options.UtilDirectory));
        for (char* a : argv) free(a);
        break;
    }
    case 3:   // the launcher's command line and its masked copy for the log
        if (BuildLaunchCommand(line, COMMAND_LINE_SIZE, config) &&
            MaskLaunchCommand(line, config->PBE, out, 2 * COMMAND_LINE_SIZE))
            for (const char* p = strstr(out, "-Dlumora.mf.password="); p != nullptr;
                 p = strstr(p + 1, "-Dlumora.mf.password="))
                CHECK(strncmp(p + 21, "********", 8) == 0);
        break;
    case 5: {   // the log's life: disk and model agree after every step
        std::string failure = RunLogLife(choice, (int)std::min<size_t>(size / 3, 200));
        if (!failure.empty()) fprintf(stderr, "%s", failure.c_str()), abort();
        break;
    }
    case 6: {   // the stall watch's life
        std::string failure = RunStallLife(choice, (int)std::min<size_t>(size / 4, 12));
        if (!failure.empty()) fprintf(stderr, "%s", failure.c_str()), abort();
        break;
    }
    default: {   // the start script's PATH line, applied around a child's start
        fake_set_env("V", piece(2));
        std::string before = fake_get_env("PATH");
        char command[] = "java";
        PlatStartupInfo startup = {};
        PlatProcessInfo process = {};
        StartProcess(command, nullptr, &process, &startup, 1, pieces[0].substr(0, PATH_TEXT_SIZE - 1).c_str(), nullptr,
                     nullptr);
        CHECK(fake_get_env("PATH") == before);
    }
    }
    free(out), free(line), free(path), free(config);
    return 0;
}
