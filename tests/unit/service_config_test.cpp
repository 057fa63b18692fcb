// Service parameters: the registry walk, the string value helpers and the
// loader with its derived fields and defaults.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "config/service_config.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"

namespace {

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";

class ServiceConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        memset(&config_, 0x5A, sizeof config_);   // the loader must not rely on a clean record
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
        DebugEnabled = 0;
    }

    std::string output()
    {
        fflush(capture_);
        rewind(capture_);
        std::string text;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, capture_)) > 0) text.append(buf, n);
        return text;
    }

    void load() { ASSERT_EQ(1, LoadServiceConfig("svc", &config_)); }

    void expect_defaults()
    {
        EXPECT_STREQ("", config_.WorkingDirectory);
        EXPECT_STREQ("", config_.JavaExe);
        EXPECT_STREQ("", config_.JavaArgs);
        EXPECT_STREQ("", config_.Classpath);
        EXPECT_STREQ("", config_.BootClasspath);
        EXPECT_STREQ("", config_.OrvaneHome);
        EXPECT_STREQ(".\\container.ini", config_.BootFile);
        EXPECT_STREQ("", config_.DirectoryServiceBootFile);
        EXPECT_STREQ("", config_.TimeoutSeconds);
        EXPECT_STREQ("", config_.ShutdownTimeoutSeconds);
        EXPECT_STREQ("", config_.PBE);
        EXPECT_STREQ("", config_.UtilDir);
        EXPECT_STREQ("", config_.LogContainerOutput);
        EXPECT_STREQ("", config_.Debug);
        EXPECT_STREQ("", config_.ClasspathOption);
        EXPECT_STREQ("", config_.BootClasspathOption);
        EXPECT_EQ(0, config_.StartTimeout);
        EXPECT_EQ(600, config_.ShutdownTimeout);
        EXPECT_EQ(1u, config_.LogContainerOutputEnabled);
        EXPECT_EQ(0u, DebugEnabled);
    }

    FILE* capture_ = nullptr;
    ServiceConfig config_;
};

// --- the registry walk ---------------------------------------------------------

TEST_F(ServiceConfigTest, OpenRegistryPathKeepsOnlyTheFinalKeyOpen)
{
    fake_reg_put_sz(kParams, "JavaExe", "D:\\jdk\\bin\\java.exe");
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = OpenRegistryPath(path);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(1, fake_reg_open_key_count());
    EXPECT_EQ(std::vector<std::string>{kParams}, fake_reg_open_key_paths());
    char text[64] = "";
    QueryRegistryString(key, "JavaExe", text, sizeof text);
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", text);
    plat_reg_close(key);
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
}

TEST_F(ServiceConfigTest, OpenRegistryPathWithAMissingStepClosesEveryKeyOfTheWalk)
{
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Other");
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    EXPECT_EQ(nullptr, OpenRegistryPath(path));
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
    // The walk stops at the missing third step.
    std::vector<std::string> asked = {"SYSTEM", "SYSTEM\\CurrentControlSet",
                                      "SYSTEM\\CurrentControlSet\\Services"};
    EXPECT_EQ(asked, fake_reg_requested_paths());
    // Nothing is created and nothing is printed.
    EXPECT_FALSE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_EQ("", output());
}

TEST_F(ServiceConfigTest, OpenRegistryPathClosesTheWalkWhenAnOpenFails)
{
    fake_reg_create_key(kParams);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    for (int failing = 1; failing <= 5; ++failing) {
        fake_reset();
        fake_reg_create_key(kParams);
        fake_fail("RegOpenKeyExA", PLAT_ERROR_ACCESS_DENIED, failing);
        EXPECT_EQ(nullptr, OpenRegistryPath(path)) << "step " << failing;
        EXPECT_EQ(0, fake_reg_open_key_count()) << "step " << failing;
        EXPECT_EQ(0, fake_reg_bad_close_count()) << "step " << failing;
        EXPECT_EQ(failing, fake_call_count("RegOpenKeyExA")) << "the walk must stop at step " << failing;
    }
}

TEST_F(ServiceConfigTest, CreateRegistryPathMakesMissingKeysAndReturnsAWritableKey)
{
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Services");
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "EventLog", "Application",
                                "svc", nullptr};
    RegKey key = CreateRegistryPath(path);
    ASSERT_NE(nullptr, key);
    EXPECT_TRUE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc"));
    EXPECT_EQ(1, fake_reg_open_key_count());
    EXPECT_EQ(1, SetRegistryString(key, "EventMessageFile", "C:\\talvex\\talvexMSG.dll", PLAT_REG_EXPAND_SZ));
    plat_reg_close(key);
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(fake_reg_get("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc",
                             "EventMessageFile", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_EXPAND_SZ, type);
    EXPECT_EQ("C:\\talvex\\talvexMSG.dll", bytes);
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
}

TEST_F(ServiceConfigTest, CreateRegistryPathClosesTheWalkWhenACreateFails)
{
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    fake_fail("RegCreateKeyExA", PLAT_ERROR_ACCESS_DENIED, 4);
    EXPECT_EQ(nullptr, CreateRegistryPath(path));
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
    EXPECT_TRUE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_FALSE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\svc"));
    EXPECT_EQ("", output());
}

// --- QueryRegistryString -------------------------------------------------------

TEST_F(ServiceConfigTest, QueryRegistryStringReadsValuesWithAndWithoutTheirNul)
{
    fake_reg_put_sz(kParams, "Plain", "abc", false);
    fake_reg_put_sz(kParams, "Terminated", "abc", true);
    fake_reg_put_sz(kParams, "Empty", "", false);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = OpenRegistryPath(path);
    ASSERT_NE(nullptr, key);
    char text[16];
    memset(text, 'Q', sizeof text);
    QueryRegistryString(key, "Plain", text, sizeof text);
    EXPECT_STREQ("abc", text);
    memset(text, 'Q', sizeof text);
    QueryRegistryString(key, "Terminated", text, sizeof text);
    EXPECT_STREQ("abc", text);
    memset(text, 'Q', sizeof text);
    QueryRegistryString(key, "Empty", text, sizeof text);
    EXPECT_STREQ("", text);
    plat_reg_close(key);
}

TEST_F(ServiceConfigTest, QueryRegistryStringLeavesTheBufferAloneForAMissingValue)
{
    fake_reg_create_key(kParams);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = OpenRegistryPath(path);
    char text[16] = "before";
    QueryRegistryString(key, "Nothing", text, sizeof text);
    EXPECT_STREQ("before", text);
    plat_reg_close(key);
    // A null key (a failed walk) is a failed read too.
    QueryRegistryString(nullptr, "Nothing", text, sizeof text);
    EXPECT_STREQ("before", text);
}

TEST_F(ServiceConfigTest, QueryRegistryStringRefusesValuesOfCapacityBytesOrMore)
{
    const uint32_t cap = 8;
    fake_reg_put_sz(kParams, "Fits", std::string(cap - 1, 'a'), false);
    fake_reg_put_sz(kParams, "FitsWithNul", std::string(cap - 1, 'b'), true);
    fake_reg_put_sz(kParams, "Exact", std::string(cap, 'c'), false);
    fake_reg_put_sz(kParams, "Longer", std::string(cap + 5, 'd'), false);
    fake_reg_put_sz(kParams, "ExactWithNul", std::string(cap, 'e'), true);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = OpenRegistryPath(path);
    ASSERT_NE(nullptr, key);

    // Each read goes into a larger array so that a write past the capacity
    // would be seen in the guard bytes.
    char area[cap + 8];
    auto read = [&](const char* name) {
        memset(area, 'G', sizeof area);
        QueryRegistryString(key, name, area, cap);
        for (size_t i = cap; i < sizeof area; ++i)
            EXPECT_EQ('G', area[i]) << name << " wrote past the capacity at " << i;
        EXPECT_NE(nullptr, memchr(area, '\0', cap)) << name << " is not terminated";
        return std::string(area);
    };
    EXPECT_EQ(std::string(cap - 1, 'a'), read("Fits"));
    EXPECT_EQ(std::string(cap - 1, 'b'), read("FitsWithNul"));
    EXPECT_EQ("", read("Exact"));
    EXPECT_EQ("", read("Longer"));
    EXPECT_EQ("", read("ExactWithNul"));
    plat_reg_close(key);
}

TEST_F(ServiceConfigTest, QueryRegistryStringTakesAnyTypeAsText)
{
    fake_reg_put(kParams, "Odd", PLAT_REG_DWORD, "42");
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = OpenRegistryPath(path);
    char text[16] = "";
    QueryRegistryString(key, "Odd", text, sizeof text);
    EXPECT_STREQ("42", text);
    plat_reg_close(key);
}

// --- SetRegistryString ---------------------------------------------------------

TEST_F(ServiceConfigTest, SetRegistryStringStoresTheTextWithoutItsNul)
{
    fake_reg_create_key(kParams);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = CreateRegistryPath(path);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(1, SetRegistryString(key, "JavaExe", "D:\\jdk\\bin\\java.exe", PLAT_REG_SZ));
    EXPECT_EQ(1, SetRegistryString(key, "JavaArgs", "", PLAT_REG_SZ));
    plat_reg_close(key);

    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(fake_reg_get(kParams, "JavaExe", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_SZ, type);
    EXPECT_EQ(std::string("D:\\jdk\\bin\\java.exe"), bytes);
    ASSERT_TRUE(fake_reg_get(kParams, "JavaArgs", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_SZ, type);
    EXPECT_EQ(0u, bytes.size());
    EXPECT_EQ("", output());
}

TEST_F(ServiceConfigTest, SetRegistryStringPrintsTheSystemTextOnFailure)
{
    fake_reg_create_key(kParams);
    const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", "svc", "Parameters", nullptr};
    RegKey key = CreateRegistryPath(path);
    fake_fail("RegSetValueExA", PLAT_ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, SetRegistryString(key, "JavaExe", "x", PLAT_REG_SZ));
    EXPECT_EQ("Error setting registry value 'JavaExe' due to: Access is denied.\r\n", output());
    EXPECT_FALSE(fake_reg_get(kParams, "JavaExe", nullptr, nullptr));
    plat_reg_close(key);
}

// --- LoadServiceConfig ---------------------------------------------------------

TEST_F(ServiceConfigTest, AMissingParametersKeyGivesTheDefaults)
{
    DebugEnabled = 1;
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Services\\svc");
    load();
    expect_defaults();
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
    EXPECT_EQ("", output());
    // Defaults stay in the record: nothing is written back.
    EXPECT_FALSE(fake_reg_key_exists(kParams));
}

TEST_F(ServiceConfigTest, AnEmptyParametersKeyGivesTheDefaults)
{
    fake_reg_create_key(kParams);
    load();
    expect_defaults();
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_TRUE(fake_reg_value_names(kParams).empty());
}

TEST_F(ServiceConfigTest, AFailedWalkGivesTheDefaultsAndLeavesNoKeyOpen)
{
    fake_reg_put_sz(kParams, "JavaExe", "java.exe");
    fake_fail("RegOpenKeyExA", PLAT_ERROR_ACCESS_DENIED, 4);
    load();
    expect_defaults();
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
}

TEST_F(ServiceConfigTest, EveryValueLandsInItsField)
{
    fake_reg_put_sz(kParams, "WorkingDirectory", "D:\\svc");
    fake_reg_put_sz(kParams, "JavaExe", "D:\\jdk\\bin\\java.exe");
    fake_reg_put_sz(kParams, "JavaArgs", "-Xmx512m -Dx=1");
    fake_reg_put_sz(kParams, "Classpath", "D:\\lib\\a.jar;D:\\lib\\b.jar");
    fake_reg_put_sz(kParams, "BootClasspath", "D:\\lib\\x.jar");
    fake_reg_put_sz(kParams, "OrvaneHome", "D:\\orvane");
    fake_reg_put_sz(kParams, "BootFile", "D:\\svc\\boot.ini");
    fake_reg_put_sz(kParams, "DirectoryServiceBootFile", "D:\\svc\\ds.ini");
    fake_reg_put_sz(kParams, "TimeoutSeconds", "120");
    fake_reg_put_sz(kParams, "ShutdownTimeoutSeconds", "30");
    fake_reg_put_sz(kParams, "PBE", "secret");
    fake_reg_put_sz(kParams, "UtilDir", "C:\\talvex");
    fake_reg_put_sz(kParams, "LogContainerOutput", "yes");
    fake_reg_put_sz(kParams, "Debug", "on");
    load();
    EXPECT_STREQ("D:\\svc", config_.WorkingDirectory);
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", config_.JavaExe);
    EXPECT_STREQ("-Xmx512m -Dx=1", config_.JavaArgs);
    EXPECT_STREQ("D:\\lib\\a.jar;D:\\lib\\b.jar", config_.Classpath);
    EXPECT_STREQ("D:\\lib\\x.jar", config_.BootClasspath);
    EXPECT_STREQ("D:\\orvane", config_.OrvaneHome);
    EXPECT_STREQ("D:\\svc\\boot.ini", config_.BootFile);
    EXPECT_STREQ("D:\\svc\\ds.ini", config_.DirectoryServiceBootFile);
    EXPECT_STREQ("120", config_.TimeoutSeconds);
    EXPECT_STREQ("30", config_.ShutdownTimeoutSeconds);
    EXPECT_STREQ("secret", config_.PBE);
    EXPECT_STREQ("C:\\talvex", config_.UtilDir);
    EXPECT_STREQ("yes", config_.LogContainerOutput);
    EXPECT_STREQ("on", config_.Debug);
    EXPECT_STREQ("-cp \"D:\\lib\\a.jar;D:\\lib\\b.jar\"", config_.ClasspathOption);
    EXPECT_STREQ("\"-Xbootclasspath/p:D:\\lib\\x.jar\"", config_.BootClasspathOption);
    EXPECT_EQ(120, config_.StartTimeout);
    EXPECT_EQ(30, config_.ShutdownTimeout);
    EXPECT_EQ(1u, config_.LogContainerOutputEnabled);
    EXPECT_EQ(1u, DebugEnabled);
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
}

TEST_F(ServiceConfigTest, ValuesStoredWithTheirNulReadTheSame)
{
    fake_reg_put_sz(kParams, "WorkingDirectory", "D:\\svc", true);
    fake_reg_put_sz(kParams, "Classpath", "a;b", true);
    fake_reg_put_sz(kParams, "TimeoutSeconds", "45", true);
    fake_reg_put_sz(kParams, "LogContainerOutput", "false", true);
    load();
    EXPECT_STREQ("D:\\svc", config_.WorkingDirectory);
    EXPECT_STREQ("a;b", config_.Classpath);
    EXPECT_STREQ("-cp \"a;b\"", config_.ClasspathOption);
    EXPECT_EQ(45, config_.StartTimeout);
    EXPECT_EQ(0u, config_.LogContainerOutputEnabled);
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

    fake_reg_put_sz(kParams, "Classpath", "a;b");
    fake_reg_put_sz(kParams, "BootClasspath", "x.jar");
    load();
    EXPECT_STREQ("-cp \"a;b\"", config_.ClasspathOption);
    EXPECT_STREQ("\"-Xbootclasspath/p:x.jar\"", config_.BootClasspathOption);
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
    struct Case {
        const char* text;
        uint32_t enabled;
    } cases[] = {{"false", 0}, {"FALSE", 0}, {"False", 0}, {"fAlSe", 0},  {"no", 1},
                 {"0", 1},     {"off", 1},   {"", 1},      {"false ", 1}, {"falsey", 1}};
    for (const Case& c : cases) {
        fake_reg_put_sz(kParams, "LogContainerOutput", c.text);
        load();
        EXPECT_EQ(c.enabled, config_.LogContainerOutputEnabled) << "\"" << c.text << "\"";
        EXPECT_STREQ(c.text, config_.LogContainerOutput);
    }
}

TEST_F(ServiceConfigTest, AnyNonEmptyDebugTurnsDebuggingOn)
{
    for (const char* text : {"false", "0", "1", " "}) {
        DebugEnabled = 0;
        fake_reg_put_sz(kParams, "Debug", text);
        load();
        EXPECT_EQ(1u, DebugEnabled) << "\"" << text << "\"";
    }
    DebugEnabled = 1;
    fake_reg_put_sz(kParams, "Debug", "");
    load();
    EXPECT_EQ(0u, DebugEnabled);
}

TEST_F(ServiceConfigTest, TimeoutsAreDecimalLikeStrtol)
{
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {{"  45s", 45},        {"abc", 0},          {"-5", -5},          {"+7", 7},
                 {"0", 0},             {"012", 12},         {"0x10", 0},         {"\t 9", 9},
                 {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {"2147483647", INT32_MAX}};
    for (const Case& c : cases) {
        fake_reg_put_sz(kParams, "TimeoutSeconds", c.text);
        fake_reg_put_sz(kParams, "ShutdownTimeoutSeconds", c.text);
        load();
        EXPECT_EQ(c.value, config_.StartTimeout) << "\"" << c.text << "\"";
        EXPECT_EQ(c.value, config_.ShutdownTimeout) << "\"" << c.text << "\"";
        EXPECT_STREQ(c.text, config_.TimeoutSeconds);
    }
}

TEST_F(ServiceConfigTest, PresentButEmptyTimeoutsTakeTheDefaults)
{
    fake_reg_put_sz(kParams, "TimeoutSeconds", "");
    fake_reg_put_sz(kParams, "ShutdownTimeoutSeconds", "");
    load();
    EXPECT_STREQ("", config_.TimeoutSeconds);
    EXPECT_STREQ("", config_.ShutdownTimeoutSeconds);
    EXPECT_EQ(0, config_.StartTimeout);
    EXPECT_EQ(600, config_.ShutdownTimeout);
}

TEST_F(ServiceConfigTest, AnAbsentServiceNameReadsNoKey)
{
    // Values right under the Services key must not be taken for parameters.
    fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services", "JavaExe", "wrong.exe");
    fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services\\Parameters", "JavaExe", "wrong.exe");
    ASSERT_EQ(1, LoadServiceConfig(nullptr, &config_));
    expect_defaults();
    EXPECT_EQ(0, fake_reg_open_key_count());
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
