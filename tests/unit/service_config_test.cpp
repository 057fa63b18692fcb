// Service parameters: the registry walk, the value reader and the loader
// with its derived fields and defaults.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "config/service_config.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"
#include "unit/console_capture.h"

namespace {

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char* const kParamsWalk[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};

class ServiceConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fresh();
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
        DebugEnabled = 0;
    }

    void fresh()
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        memset(&config_, 0x5A, sizeof config_);   // the loader must not rely on a clean record
    }

    std::string output()
    {
        return read_capture(capture_);
    }

    void load() { ASSERT_EQ(1, LoadServiceConfig("svc", &config_)); }

    void expect_defaults()
    {
        const char* const empty[] = {
            config_.WorkingDirectory, config_.JavaExe, config_.JavaArgs, config_.Classpath,
            config_.BootClasspath, config_.OrvaneHome, config_.DirectoryServiceBootFile, config_.TimeoutSeconds,
            config_.ShutdownTimeoutSeconds, config_.PBE, config_.UtilDir, config_.LogContainerOutput,
            config_.Debug, config_.ClasspathOption, config_.BootClasspathOption,
        };
        for (const char* field : empty) EXPECT_STREQ("", field);
        EXPECT_STREQ(".\\container.ini", config_.BootFile);
        EXPECT_EQ(0, config_.StartTimeout);
        EXPECT_EQ(600, config_.ShutdownTimeout);
        EXPECT_EQ(1u, config_.LogContainerOutputEnabled);
        EXPECT_EQ(0u, DebugEnabled);
    }

    void expect_no_key_left_open()
    {
        EXPECT_EQ(0, fake_reg_open_key_count());
        EXPECT_EQ(0, fake_reg_bad_close_count());
    }

    FILE* capture_ = nullptr;
    ServiceConfig config_;
};

// --- the registry walk ---------------------------------------------------------

// CreateRegistryPath and SetRegistryString are exercised through the
// installer's and the event source's tests, which check every key and value
// they leave, the message of a failed write, and that no key stays open.

TEST_F(ServiceConfigTest, OpenRegistryPathKeepsOnlyTheFinalKeyOpen)
{
    fake_reg_put_sz(kParams, "JavaExe", "D:\\jdk\\bin\\java.exe");
    RegKey key = OpenRegistryPath(kParamsWalk);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(std::vector<std::string>{kParams}, fake_reg_open_key_paths());
    char text[64] = "";
    QueryRegistryString(key, "JavaExe", text, sizeof text);
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", text);
    plat_reg_close(key);
    expect_no_key_left_open();
}

TEST_F(ServiceConfigTest, OpenRegistryPathWithAMissingStepClosesEveryKeyOfTheWalk)
{
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Other");
    EXPECT_EQ(nullptr, OpenRegistryPath(kParamsWalk));
    expect_no_key_left_open();
    // The walk stops at the missing third step.
    std::vector<std::string> asked = {"SYSTEM", "SYSTEM\\CurrentControlSet", "SYSTEM\\CurrentControlSet\\Services"};
    EXPECT_EQ(asked, fake_reg_requested_paths());
    // Nothing is created and nothing is printed.
    EXPECT_FALSE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_EQ("", output());
}

TEST_F(ServiceConfigTest, OpenRegistryPathClosesTheWalkWhenAnOpenFails)
{
    for (int failing = 1; failing <= 5; ++failing) {
        SCOPED_TRACE("step " + std::to_string(failing));
        fresh();
        fake_reg_create_key(kParams);
        fake_fail("RegOpenKeyExA", PLAT_ERROR_ACCESS_DENIED, failing);
        EXPECT_EQ(nullptr, OpenRegistryPath(kParamsWalk));
        expect_no_key_left_open();
        EXPECT_EQ(failing, fake_call_count("RegOpenKeyExA")) << "the walk must stop at the failed step";
    }
}

// --- QueryRegistryString -------------------------------------------------------

// Values of capacity bytes or more are refused whole; the buffer always ends
// NUL-terminated within its capacity, and a failed read leaves it alone.
TEST_F(ServiceConfigTest, QueryRegistryStringReadsWhatFitsAndNothingMore)
{
    const uint32_t cap = 8;
    const struct {
        const char* name;
        uint32_t type;
        std::string stored;   // the value's bytes, or "<none>" for a missing value
        std::string read;
    } rows[] = {
        {"Plain", PLAT_REG_SZ, "abc", "abc"},
        {"Terminated", PLAT_REG_SZ, std::string("abc\0", 4), "abc"},
        {"Empty", PLAT_REG_SZ, "", ""},
        {"Fits", PLAT_REG_SZ, std::string(cap - 1, 'a'), std::string(cap - 1, 'a')},
        {"FitsWithNul", PLAT_REG_SZ, std::string(cap - 1, 'b') + '\0', std::string(cap - 1, 'b')},
        {"Exact", PLAT_REG_SZ, std::string(cap, 'c'), ""},
        {"ExactWithNul", PLAT_REG_SZ, std::string(cap, 'e') + '\0', ""},
        {"Longer", PLAT_REG_SZ, std::string(cap + 5, 'd'), ""},
        // Any type is taken as text.
        {"Odd", PLAT_REG_DWORD, "42", "42"},
        {"Missing", 0, "<none>", "before"},
    };
    for (const auto& row : rows) {
        if (row.stored != "<none>") fake_reg_put(kParams, row.name, row.type, row.stored);
    }
    fake_reg_create_key(kParams);
    RegKey key = OpenRegistryPath(kParamsWalk);
    ASSERT_NE(nullptr, key);
    // Each read goes into a larger array so that a write past the capacity
    // would be seen in the guard bytes.
    char area[cap + 8];
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        memset(area, 'G', sizeof area);
        strcpy(area, "before");
        QueryRegistryString(key, row.name, area, cap);
        for (size_t i = cap; i < sizeof area; ++i) EXPECT_EQ('G', area[i]) << "written past the capacity at " << i;
        ASSERT_NE(nullptr, memchr(area, '\0', cap)) << "not terminated";
        EXPECT_EQ(row.read, std::string(area));
    }
    plat_reg_close(key);
    // A null key (a failed walk) is a failed read too.
    QueryRegistryString(nullptr, "Plain", area, cap);
    EXPECT_STREQ("before", area);
}

// --- LoadServiceConfig ---------------------------------------------------------

TEST_F(ServiceConfigTest, NoParametersToReadGiveTheDefaults)
{
    const struct {
        const char* what;
        const char* serviceName;
        std::function<void()> setup;
    } rows[] = {
        {"missing Parameters key", "svc", [] { fake_reg_create_key("SYSTEM\\CurrentControlSet\\Services\\svc"); }},
        {"empty Parameters key", "svc", [] { fake_reg_create_key(kParams); }},
        {"failed walk", "svc",
         [] {
             fake_reg_put_sz(kParams, "JavaExe", "java.exe");
             fake_fail("RegOpenKeyExA", PLAT_ERROR_ACCESS_DENIED, 4);
         }},
        // Values right under the Services key must not be taken for parameters.
        {"no service name", nullptr,
         [] {
             fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services", "JavaExe", "wrong.exe");
             fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services\\Parameters", "JavaExe", "wrong.exe");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        row.setup();
        bool existed = fake_reg_key_exists(kParams);
        std::vector<std::string> names = fake_reg_value_names(kParams);
        DebugEnabled = 1;
        ASSERT_EQ(1, LoadServiceConfig(row.serviceName, &config_));
        expect_defaults();
        expect_no_key_left_open();
        // Defaults stay in the record: nothing is written back or printed.
        EXPECT_EQ(existed, fake_reg_key_exists(kParams));
        EXPECT_EQ(names, fake_reg_value_names(kParams));
        EXPECT_EQ("", output());
    }
}

// Every value lands in its field and the derived fields follow, whether the
// values were stored with their terminating NUL or without.
TEST_F(ServiceConfigTest, EveryValueLandsInItsField)
{
    const struct {
        const char* name;
        const char* text;
        const char* field;
    } rows[] = {
        {"WorkingDirectory", "D:\\svc", config_.WorkingDirectory},
        {"JavaExe", "D:\\jdk\\bin\\java.exe", config_.JavaExe},
        {"JavaArgs", "-Xmx512m -Dx=1", config_.JavaArgs},
        {"Classpath", "D:\\lib\\a.jar;D:\\lib\\b.jar", config_.Classpath},
        {"BootClasspath", "D:\\lib\\x.jar", config_.BootClasspath},
        {"OrvaneHome", "D:\\orvane", config_.OrvaneHome},
        {"BootFile", "D:\\svc\\boot.ini", config_.BootFile},
        {"DirectoryServiceBootFile", "D:\\svc\\ds.ini", config_.DirectoryServiceBootFile},
        {"TimeoutSeconds", "120", config_.TimeoutSeconds},
        {"ShutdownTimeoutSeconds", "30", config_.ShutdownTimeoutSeconds},
        {"PBE", "secret", config_.PBE},
        {"UtilDir", "C:\\talvex", config_.UtilDir},
        {"LogContainerOutput", "false", config_.LogContainerOutput},
        {"Debug", "on", config_.Debug},
    };
    for (bool withNul : {false, true}) {
        SCOPED_TRACE(withNul ? "stored with NUL" : "stored without NUL");
        fresh();
        for (const auto& row : rows) fake_reg_put_sz(kParams, row.name, row.text, withNul);
        load();
        for (const auto& row : rows) EXPECT_STREQ(row.text, row.field) << row.name;
        EXPECT_STREQ("-cp \"D:\\lib\\a.jar;D:\\lib\\b.jar\"", config_.ClasspathOption);
        EXPECT_STREQ("\"-Xbootclasspath/p:D:\\lib\\x.jar\"", config_.BootClasspathOption);
        EXPECT_EQ(120, config_.StartTimeout);
        EXPECT_EQ(30, config_.ShutdownTimeout);
        EXPECT_EQ(0u, config_.LogContainerOutputEnabled);
        EXPECT_EQ(1u, DebugEnabled);
        expect_no_key_left_open();
    }
}

TEST_F(ServiceConfigTest, AMissingValueLeavesOnlyItsFieldEmpty)
{
    fake_reg_put_sz(kParams, "WorkingDirectory", "D:\\svc");
    fake_reg_put_sz(kParams, "JavaExe", "java.exe");
    fake_reg_put_sz(kParams, "JavaArgs", "-server");
    // The second read of the key fails; the others go on.
    fake_fail("RegQueryValueExA", PLAT_ERROR_ACCESS_DENIED, 2);
    load();
    EXPECT_STREQ("D:\\svc", config_.WorkingDirectory);
    EXPECT_STREQ("", config_.JavaExe);
    EXPECT_STREQ("-server", config_.JavaArgs);
    EXPECT_EQ(14, fake_call_count("RegQueryValueExA"));
}

TEST_F(ServiceConfigTest, EmptyClasspathsGiveNoOption)
{
    fake_reg_put_sz(kParams, "Classpath", "");
    fake_reg_put_sz(kParams, "BootClasspath", "");
    load();
    EXPECT_STREQ("", config_.ClasspathOption);
    EXPECT_STREQ("", config_.BootClasspathOption);
}

TEST_F(ServiceConfigTest, TheLongestClasspathsGiveWholeOptions)
{
    std::string classpath(CONFIG_PATH_SIZE - 1, 'c');
    std::string bootClasspath(CONFIG_PATH_SIZE - 1, 'b');
    fake_reg_put_sz(kParams, "Classpath", classpath);
    fake_reg_put_sz(kParams, "BootClasspath", bootClasspath);
    load();
    EXPECT_EQ(classpath, config_.Classpath);
    EXPECT_EQ("-cp \"" + classpath + "\"", std::string(config_.ClasspathOption));
    EXPECT_EQ("\"-Xbootclasspath/p:" + bootClasspath + "\"", std::string(config_.BootClasspathOption));
}

TEST_F(ServiceConfigTest, ValuesTooLongForTheirFieldCountAsMissing)
{
    fake_reg_put_sz(kParams, "BootFile", std::string(CONFIG_PATH_SIZE, 'f'));
    fake_reg_put_sz(kParams, "Classpath", std::string(CONFIG_PATH_SIZE + 100, 'c'));
    fake_reg_put_sz(kParams, "ShutdownTimeoutSeconds", "1" + std::string(CONFIG_SHORT_SIZE, '0'));
    fake_reg_put_sz(kParams, "UtilDir", std::string(CONFIG_UTIL_DIR_SIZE, 'u'));
    fake_reg_put_sz(kParams, "JavaExe", std::string(CONFIG_PATH_SIZE - 1, 'j'));
    fake_reg_put_sz(kParams, "PBE", std::string(CONFIG_SHORT_SIZE - 1, 'p'), true);
    load();
    EXPECT_STREQ(".\\container.ini", config_.BootFile);
    EXPECT_STREQ("", config_.Classpath);
    EXPECT_STREQ("", config_.ClasspathOption);
    EXPECT_STREQ("", config_.ShutdownTimeoutSeconds);
    EXPECT_EQ(600, config_.ShutdownTimeout);
    EXPECT_STREQ("", config_.UtilDir);
    // One character less fits.
    EXPECT_EQ(std::string(CONFIG_PATH_SIZE - 1, 'j'), config_.JavaExe);
    EXPECT_EQ(std::string(CONFIG_SHORT_SIZE - 1, 'p'), config_.PBE);
}

TEST_F(ServiceConfigTest, LogContainerOutputIsOffOnlyForFalseInAnyCase)
{
    const struct {
        const char* text;
        uint32_t enabled;
    } rows[] = {{"false", 0}, {"FALSE", 0}, {"False", 0}, {"fAlSe", 0},  {"no", 1},
                {"0", 1},     {"off", 1},   {"", 1},      {"false ", 1}, {"falsey", 1}};
    for (const auto& row : rows) {
        fake_reg_put_sz(kParams, "LogContainerOutput", row.text);
        load();
        EXPECT_EQ(row.enabled, config_.LogContainerOutputEnabled) << "\"" << row.text << "\"";
        EXPECT_STREQ(row.text, config_.LogContainerOutput);
    }
}

TEST_F(ServiceConfigTest, AnyNonEmptyDebugTurnsDebuggingOn)
{
    for (const char* text : {"false", "0", "1", " ", ""}) {
        DebugEnabled = text[0] == '\0' ? 1 : 0;
        fake_reg_put_sz(kParams, "Debug", text);
        load();
        EXPECT_EQ(text[0] == '\0' ? 0u : 1u, DebugEnabled) << "\"" << text << "\"";
    }
}

TEST_F(ServiceConfigTest, TimeoutsAreDecimalLikeStrtolAndEmptyOnesTakeTheDefaults)
{
    const struct {
        const char* text;
        int32_t start, shutdown;
    } rows[] = {{"  45s", 45, 45},   {"abc", 0, 0},   {"-5", -5, -5},           {"+7", 7, 7},
                {"0", 0, 0},         {"012", 12, 12}, {"0x10", 0, 0},           {"\t 9", 9, 9},
                {"99999999999", INT32_MAX, INT32_MAX}, {"-99999999999", INT32_MIN, INT32_MIN},
                {"2147483647", INT32_MAX, INT32_MAX},  {"", 0, 600}};
    for (const auto& row : rows) {
        fake_reg_put_sz(kParams, "TimeoutSeconds", row.text);
        fake_reg_put_sz(kParams, "ShutdownTimeoutSeconds", row.text);
        load();
        EXPECT_EQ(row.start, config_.StartTimeout) << "\"" << row.text << "\"";
        EXPECT_EQ(row.shutdown, config_.ShutdownTimeout) << "\"" << row.text << "\"";
        EXPECT_STREQ(row.text, config_.TimeoutSeconds);
        EXPECT_STREQ(row.text, config_.ShutdownTimeoutSeconds);
    }
}

TEST_F(ServiceConfigTest, ServiceNamesMatchWithoutRegardToCase)
{
    fake_reg_put_sz(kParams, "JavaExe", "java.exe");
    ASSERT_EQ(1, LoadServiceConfig("SVC", &config_));
    EXPECT_STREQ("java.exe", config_.JavaExe);
    ASSERT_EQ(1, LoadServiceConfig("other", &config_));
    EXPECT_STREQ("", config_.JavaExe);
}

}  // namespace
