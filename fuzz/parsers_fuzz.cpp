// One libFuzzer target for every parser of outside input.  The first byte
// picks the parser; the rest, split at 0xFF bytes, gives its inputs.  Every
// input and output buffer is a heap block of exactly its size, so that
// AddressSanitizer sees any byte read or written past it, and the checks are
// only what can never be wrong: no crash, no overrun, every output ends
// within its buffer, every password masked, PATH given back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/helpers.h"
#include "config/install_options.h"
#include "config/service_config.h"
#include "fake/fake.h"
#include "service/child_process.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/start_script.h"

#define CHECK(cond) ((cond) ? (void)0 : (fprintf(stderr, "fuzz check failed: %s\n", #cond), abort()))

namespace {

std::vector<std::string> pieces;

const std::string& piece(size_t i)
{
    static const std::string none;
    return i < pieces.size() ? pieces[i] : none;
}

// A block of exactly size bytes, not terminated, for an output.
char* block(size_t size) { return (char*)memset(malloc(size), 'x', size); }
bool terminated(const char* b, size_t size) { return memchr(b, '\0', size) != nullptr; }

ServiceConfig* load_config()
{
    const char* names[] = {"WorkingDirectory", "JavaExe",   "JavaArgs", "Classpath", "BootClasspath",
                           "OrvaneHome",       "BootFile",  "PBE",      "UtilDir",   "DirectoryServiceBootFile",
                           "TimeoutSeconds",   "Debug"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        fake_reg_put("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters", names[i], 1, piece(i + 1));
    ServiceConfig* config = (ServiceConfig*)malloc(sizeof(ServiceConfig));
    LoadServiceConfig("svc", config);
    for (const char* field : {config->WorkingDirectory, config->JavaArgs, config->Classpath, config->PBE,
                              config->UtilDir, config->ClasspathOption, config->BootClasspathOption})
        CHECK(terminated(field, field == config->UtilDir ? CONFIG_UTIL_DIR_SIZE : CONFIG_SHORT_SIZE));
    return config;
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
    switch (data[0] % 5) {
    case 0: {   // a chunk of child output, as the drain hands it over
        std::string chunk = piece(0).substr(0, READ_CHUNK_SIZE - 1);
        char* text = strdup(chunk.c_str());
        char* code = block(EXIT_CODE_TEXT_SIZE);
        if (ParseExitCodeMarker(text, code, EXIT_CODE_TEXT_SIZE)) CHECK(ExitCodeValue(code) == 0);
        CHECK(terminated(code, EXIT_CODE_TEXT_SIZE));
        free(text);
        free(code);
        break;
    }
    case 1: {   // the start script the launcher wrote
        ServiceConfig* config = load_config();
        fake_write_file(strlen(config->BootFile) > 2 && (config->BootFile[0] == '\\' || config->BootFile[1] == ':')
                            ? std::string(config->BootFile) + ".bat"
                            : std::string(config->WorkingDirectory) + "\\" + config->BootFile + ".bat",
                        piece(0));
        char* command = block(COMMAND_LINE_SIZE);
        char* path = block(PATH_TEXT_SIZE);
        char* directory = block(PATH_TEXT_SIZE);
        if (ReadStartScript("svc", command, path, directory, config))
            CHECK(terminated(command, COMMAND_LINE_SIZE) && terminated(path, PATH_TEXT_SIZE) &&
                  terminated(directory, PATH_TEXT_SIZE));
        free(command), free(path), free(directory), free(config);
        break;
    }
    case 2: {   // the install command line
        fake_write_file("C:\\jre\\java.exe", "");
        std::vector<char*> argv;
        for (const std::string& p : pieces) argv.push_back(strdup(p.c_str()));
        ParseInstallOptions(argv.data(), (int)argv.size());
        CHECK(terminated(Options.UtilDir, sizeof Options.UtilDir));
        for (char* a : argv) free(a);
        break;
    }
    case 3: {   // the launcher's command line and its masked copy for the log
        ServiceConfig* config = load_config();
        char* line = block(COMMAND_LINE_SIZE);
        char* masked = block(2 * COMMAND_LINE_SIZE);
        if (BuildLaunchCommand(line, COMMAND_LINE_SIZE, config)) {
            CHECK(terminated(line, COMMAND_LINE_SIZE));
            // Every password property of a whole masked copy shows the mask.
            if (MaskLaunchCommand(line, config->PBE, masked, 2 * COMMAND_LINE_SIZE))
                for (const char* p = strstr(masked, "-Dlumora.mf.password="); p != nullptr;
                     p = strstr(p + 1, "-Dlumora.mf.password="))
                    CHECK(strncmp(p + 21, "********", 8) == 0);
        }
        free(line), free(masked), free(config);
        break;
    }
    default: {   // the start script's PATH line, applied around a child's start
        fake_set_env("PATH", piece(1).c_str());
        fake_set_env("V", piece(2).c_str());
        std::string before = fake_get_env("PATH");
        std::string line = piece(0).substr(0, PATH_TEXT_SIZE - 1);
        char command[] = "java";
        PlatStartupInfo startup = {};
        PlatProcessInfo process = {};
        StartProcess(command, nullptr, &process, &startup, 1, line.c_str());
        CHECK(fake_get_env("PATH") == before);
        break;
    }
    }
    return 0;
}
