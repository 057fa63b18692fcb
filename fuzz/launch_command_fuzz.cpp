// The launcher's command line from arbitrary field contents and lengths, and
// its masked copy for the trace.
//
// Input: a flags byte (bit 0: a buffer capacity other than the supervisor's
// 4096, bit 1: the same for the masked copy), the capacities, then the nine
// fields the line is made of, each up to its full capacity.  The fields reach
// the line through the registry and LoadServiceConfig, as in the service.
// Buffers are blocks of exactly their capacity.  The line must be the model's
// byte for byte when it fits and be refused, empty, when it does not.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/helpers.h"
#include "config/service_config.h"
#include "fake/fake_registry.h"
#include "fuzz_support.h"
#include "service/launch_command.h"

namespace {

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const std::string kProperty = "-Dlumora.mf.password=";
const std::string kMask = "********";

std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string Put(FuzzReader& in, const char* name, size_t capacity)
{
    std::string value = UpToNul(in.text(capacity - 1));
    fake_reg_put_sz(kParams, name, value);
    return value;
}

// The masked copy: the configured password whole where it stands complete
// after the property, any other value up to the next blank.
std::string MaskModel(const std::string& line, const std::string& password)
{
    std::string out;
    size_t rest = 0;
    for (size_t found = line.find(kProperty, rest); found != std::string::npos; found = line.find(kProperty, rest)) {
        size_t value = found + kProperty.size();
        out += line.substr(rest, value - rest) + kMask;
        size_t end;
        if (!password.empty() && line.compare(value, password.size(), password) == 0 &&
            (value + password.size() == line.size() || line[value + password.size()] == ' '))
            end = value + password.size();
        else
            end = line.find(' ', value) == std::string::npos ? line.size() : line.find(' ', value);
        rest = end;
    }
    return out + line.substr(rest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_reset();
    FuzzReader in{data, size};
    uint8_t flags = in.u8();
    size_t capacity = (flags & 1) ? 1 + in.u16() % COMMAND_LINE_SIZE : COMMAND_LINE_SIZE;
    size_t maskCapacity = (flags & 2) ? 1 + in.u16() % COMMAND_LINE_SIZE : COMMAND_LINE_SIZE;

    std::string javaExe = Put(in, "JavaExe", CONFIG_PATH_SIZE);
    std::string javaArgs = Put(in, "JavaArgs", CONFIG_PATH_SIZE);
    std::string classpath = Put(in, "Classpath", CONFIG_PATH_SIZE);
    std::string bootClasspath = Put(in, "BootClasspath", CONFIG_PATH_SIZE);
    std::string password = Put(in, "PBE", CONFIG_SHORT_SIZE);
    std::string home = Put(in, "OrvaneHome", CONFIG_PATH_SIZE);
    std::string utilDir = Put(in, "UtilDir", CONFIG_UTIL_DIR_SIZE);
    std::string bootFile = Put(in, "BootFile", CONFIG_PATH_SIZE);
    std::string dsBootFile = Put(in, "DirectoryServiceBootFile", CONFIG_PATH_SIZE);
    if (bootFile.empty()) bootFile = ".\\container.ini";

    ServiceConfig* config = (ServiceConfig*)malloc(sizeof(ServiceConfig));
    LoadServiceConfig("svc", config);

    std::string line = "\"" + javaExe + "\" " + javaArgs +
                       " -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false"
                       " -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true " +
                       (classpath.empty() ? "" : "-cp \"" + classpath + "\"");
    if (!bootClasspath.empty()) line += " \"-Xbootclasspath/p:" + bootClasspath + "\"";
    line += password.empty() ? " -Dno_pwd_encryption=true" : " " + kProperty + password;
    line += " -Dlumora.home=\"" + home + "\" -Dlumora.mf.winsvc.utilDir=\"" + utilDir +
            "\" com.lumora.mf.framework.agent.ci.LaunchContainer \"" + bootFile + "\"";
    if (!dsBootFile.empty()) line += " \"" + dsBootFile + "\"";

    char* buffer = fuzz_dirty_block(capacity);
    int fits = BuildLaunchCommand(buffer, capacity, config);
    size_t length = fuzz_terminated_length(buffer, capacity);
    FUZZ_CHECK(length < capacity);
    FUZZ_CHECK(fits == (line.size() < capacity ? 1 : 0));
    FUZZ_CHECK(std::string(buffer, length) == (fits ? line : std::string()));

    // The masked copy is made of the model's line, so that it is exercised
    // also when the line itself does not fit the launch buffer.
    char* masked = fuzz_dirty_block(maskCapacity);
    int maskFits = MaskLaunchCommand(line.c_str(), config->PBE, masked, maskCapacity);
    size_t maskedLength = fuzz_terminated_length(masked, maskCapacity);
    std::string maskExpected = MaskModel(line, password);
    FUZZ_CHECK(maskedLength < maskCapacity);
    FUZZ_CHECK(maskFits == (maskExpected.size() < maskCapacity ? 1 : 0));
    if (maskFits)
        FUZZ_CHECK(std::string(masked, maskedLength) == maskExpected);
    else
        FUZZ_CHECK(maskExpected.compare(0, maskedLength, masked, maskedLength) == 0);

    free(masked);
    free(buffer);
    free(config);
    return 0;
}
