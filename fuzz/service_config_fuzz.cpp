// LoadServiceConfig on arbitrary registry values.
//
// Input: the service name, then for each of the 14 Parameters values a tag
// byte (absent; a text with or without a terminating NUL; raw bytes of any
// type) and its bytes, of any length up to well past every field's capacity.
// The loaded record is compared with a model of the loader written here, and
// no key of the walk may stay open.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/service_config.h"
#include "diag/log_file.h"
#include "fake/fake_registry.h"
#include "fuzz_support.h"

namespace {

const size_t kMaxValue = 6000;

struct ValueSpec {
    const char* name;
    size_t offset;
    size_t capacity;
};

#define FIELD(f) #f, offsetof(ServiceConfig, f), sizeof(((ServiceConfig*)nullptr)->f)
const ValueSpec kValues[] = {
    {FIELD(WorkingDirectory)}, {FIELD(JavaExe)},        {FIELD(JavaArgs)},
    {FIELD(Classpath)},        {FIELD(BootClasspath)},  {FIELD(OrvaneHome)},
    {FIELD(BootFile)},         {FIELD(DirectoryServiceBootFile)},
    {FIELD(TimeoutSeconds)},   {FIELD(ShutdownTimeoutSeconds)},
    {FIELD(PBE)},              {FIELD(UtilDir)},        {FIELD(LogContainerOutput)},
    {FIELD(Debug)},
};
#undef FIELD
const size_t kValueCount = sizeof kValues / sizeof kValues[0];

std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// strtol in base 10, clamped to 32 bits.
int32_t Decimal(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i++] - '0');
        if (value > (int64_t)INT32_MAX + 1) value = (int64_t)INT32_MAX + 1;
    }
    value = negative ? -value : value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return (int32_t)value;
}

std::string FieldText(const ServiceConfig* config, size_t offset, size_t capacity)
{
    const char* field = (const char*)config + offset;
    size_t length = fuzz_terminated_length(field, capacity);
    FUZZ_CHECK(length < capacity);
    return std::string(field, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_reset();
    FuzzReader in{data, size};
    std::string name = UpToNul(in.text(300));
    std::string key = "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters";
    bool keyExists = (in.u8() & 1) != 0;
    if (keyExists) fake_reg_create_key(key);
    // Windows refuses a subkey name that starts with a backslash, so such a
    // service finds no parameters even where the key exists.
    bool reachable = keyExists && (name.empty() || name[0] != '\\');

    std::string expected[kValueCount];
    for (size_t v = 0; v < kValueCount; ++v) {
        uint8_t tag = in.u8();
        std::string bytes = in.text(kMaxValue);
        if (!keyExists) continue;
        switch (tag % 4) {
        case 0: continue;                                        // value absent
        case 1: fake_reg_put_sz(key, kValues[v].name, UpToNul(bytes), true); bytes = UpToNul(bytes) + '\0'; break;
        case 2: fake_reg_put_sz(key, kValues[v].name, UpToNul(bytes), false); bytes = UpToNul(bytes); break;
        default: fake_reg_put(key, kValues[v].name, tag >> 2, bytes); break;
        }
        // A value that does not fit its field, terminator included, is
        // refused whole: the field stays empty rather than holding a cut path.
        if (!reachable) continue;
        size_t capacity = kValues[v].capacity;
        bool fits = bytes.size() < capacity || (bytes.size() == capacity && bytes[capacity - 1] == '\0');
        expected[v] = fits ? UpToNul(bytes) : std::string();
    }

    ServiceConfig* config = (ServiceConfig*)malloc(sizeof(ServiceConfig));
    memset(config, 'Q', sizeof *config);
    DebugEnabled = 7;
    int result = LoadServiceConfig(name.c_str(), config);

    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(fake_reg_open_key_count() == 0);
    FUZZ_CHECK(fake_reg_bad_close_count() == 0);
    for (size_t v = 0; v < kValueCount; ++v) {
        std::string field = FieldText(config, kValues[v].offset, kValues[v].capacity);
        if (strcmp(kValues[v].name, "BootFile") == 0 && expected[v].empty())
            FUZZ_CHECK(field == ".\\container.ini");
        else
            FUZZ_CHECK(field == expected[v]);
    }
    enum { CP = 3, BCP = 4, START = 8, STOP = 9, LOGOUT = 12, DEBUG = 13 };
    std::string cpOption = FieldText(config, offsetof(ServiceConfig, ClasspathOption), CONFIG_OPTION_SIZE);
    std::string bcpOption = FieldText(config, offsetof(ServiceConfig, BootClasspathOption), CONFIG_OPTION_SIZE);
    FUZZ_CHECK(cpOption == (expected[CP].empty() ? "" : "-cp \"" + expected[CP] + "\""));
    FUZZ_CHECK(bcpOption == (expected[BCP].empty() ? "" : "\"-Xbootclasspath/p:" + expected[BCP] + "\""));
    FUZZ_CHECK(config->StartTimeout == Decimal(expected[START].empty() ? "0" : expected[START]));
    FUZZ_CHECK(config->ShutdownTimeout == Decimal(expected[STOP].empty() ? "600" : expected[STOP]));
    FUZZ_CHECK(config->LogContainerOutputEnabled == (Lower(expected[LOGOUT]) == "false" ? 0u : 1u));
    FUZZ_CHECK(DebugEnabled == (expected[DEBUG].empty() ? 0u : 1u));

    free(config);
    return 0;
}
