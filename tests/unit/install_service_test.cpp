// Service installation: creating and reconfiguring the service with its
// settings, the binary path's quoting, the description, the twelve Parameters
// values, the event source, and every failure of the sequence.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "admin/install_service.h"
#include "common/console.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"
#include "unit/console_capture.h"

namespace {

const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char kEventSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";
const char kDescription[] =
    "Runs the Quillet Orvane management framework container in the working directory 'D:\\svc'.";

const std::vector<std::string> kValueNames = {
    "WorkingDirectory", "JavaExe", "JavaArgs", "Classpath", "BootClasspath", "OrvaneHome",
    "BootFile", "DirectoryServiceBootFile", "TimeoutSeconds", "ShutdownTimeoutSeconds", "PBE", "UtilDir",
};
const std::vector<std::string> kValues = {
    "D:\\svc", "D:\\jdk\\bin\\java.exe", "-Xmx1g", "a.jar;b.jar", "", "D:\\orvane",
    ".\\container.ini", "", "0", "600", "secret", "C:\\talvex",
};

// The bytes and type of a value; "<missing>" when there is none.
std::string value(const std::string& key, const std::string& name, uint32_t* type = nullptr)
{
    uint32_t t = 0;
    std::string bytes;
    if (!fake_reg_get(key, name, &t, &bytes)) return "<missing>";
    if (type) *type = t;
    return bytes;
}

class InstallServiceTest : public ::testing::Test {
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
        ResetInstallOptions();
    }

    // A complete set of options as ParseInstallOptions leaves it.
    void fresh()
    {
        fake_reset();
        ResetInstallOptions();
        fake_set_module_path("C:\\talvex\\talvex.exe");
        const char** fields[] = {&Options.WorkingDirectory, &Options.JavaExe, &Options.JavaArgs,
                                 &Options.Classpath, &Options.BootClasspath, &Options.OrvaneHome,
                                 &Options.BootFile, &Options.DirectoryServiceBootFile, &Options.TimeoutSeconds,
                                 &Options.ShutdownTimeoutSeconds, &Options.PBE};
        for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) *fields[i] = kValues[i].c_str();
        strcpy(Options.MessageDllPath, "C:\\talvex\\talvexMSG.dll");
        strcpy(Options.UtilDir, "C:\\talvex");
        take();
    }

    // What was printed since the last call.
    std::string take()
    {
        std::string text = read_capture(capture_);
        EXPECT_TRUE(clear_capture(capture_));
        return text;
    }

    void expect_nothing_left_open()
    {
        EXPECT_EQ(0, fake_scm_open_handles());
        EXPECT_EQ(0, fake_reg_open_key_count());
    }

    FILE* capture_ = nullptr;
};

// --- a new service -------------------------------------------------------------

TEST_F(InstallServiceTest, NewServiceIsCreatedWithItsSettingsParametersAndEventSource)
{
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", take());
    FakeService* s = fake_scm_service("svc");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0x10u, s->service_type);
    EXPECT_EQ(3u, s->start_type);
    EXPECT_EQ(1u, s->error_control);
    EXPECT_EQ("C:\\talvex\\talvex.exe", s->binary_path);
    EXPECT_EQ("", s->dependencies);
    EXPECT_EQ("svc", s->display_name);
    EXPECT_EQ("LocalSystem", s->account);
    EXPECT_TRUE(s->has_description);
    EXPECT_EQ(kDescription, s->description);
    EXPECT_TRUE(s->failure_actions_flag_set);
    EXPECT_EQ(1, s->failure_actions_on_non_crash);
    EXPECT_EQ(0xF003Fu, fake_scm_manager_access());
    EXPECT_EQ(0xF01FFu, fake_scm_service_access());
    EXPECT_EQ(0, fake_call_count("ChangeServiceConfigA"));
    expect_nothing_left_open();

    // Twelve parameters in order, as text without a terminator.
    EXPECT_EQ(kValueNames, fake_reg_value_names(kParameters));
    for (size_t i = 0; i < kValueNames.size(); ++i) {
        uint32_t type = 0;
        EXPECT_EQ(kValues[i], value(kParameters, kValueNames[i], &type)) << kValueNames[i];
        EXPECT_EQ(1u, type) << kValueNames[i];
    }

    uint32_t type = 0;
    EXPECT_EQ("C:\\talvex\\talvexMSG.dll", value(kEventSource, "EventMessageFile", &type));
    EXPECT_EQ(2u, type);
    EXPECT_EQ(std::string("\x07\0\0\0", 4), value(kEventSource, "TypesSupported", &type));
    EXPECT_EQ(4u, type);
}

TEST_F(InstallServiceTest, BinaryPathIsQuotedWholeWhenItHoldsABlank)
{
    const std::string longest = "D:\\a b\\" + std::string(500, 'x') + ".exe";   // 511 characters
    const struct {
        std::string module, binary;
    } rows[] = {
        {"D:\\Program Files\\x\\talvex.exe", "\"D:\\Program Files\\x\\talvex.exe\""},
        {"D:\\tools\\x\\talvex.exe", "D:\\tools\\x\\talvex.exe"},
        {longest, "\"" + longest + "\""},
    };
    for (const auto& row : rows) {
        fresh();
        fake_set_module_path(row.module);
        EXPECT_EQ(1, InstallService("svc"));
        EXPECT_EQ(row.binary, fake_scm_service("svc")->binary_path);
    }
}

TEST_F(InstallServiceTest, AutomaticStartIsPassedOn)
{
    Options.StartType = SERVICE_AUTO_START_TYPE;
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ(2u, fake_scm_service("svc")->start_type);
}

TEST_F(InstallServiceTest, DescriptionNamesTheDefaultedWorkingDirectory)
{
    fake_set_current_directory("C:\\work");
    fake_fs_mkdir("C:\\work");
    fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
    fake_fs_mkdir("D:\\orvane");
    fake_add_library("talvexMSG.dll", "C:\\talvex\\talvexMSG.dll");
    fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
    ResetInstallOptions();
    char* argv[] = {(char*)"talvex", (char*)"-install", (char*)"svc", (char*)"-jre",
                    (char*)"D:\\jdk\\bin\\java.exe", (char*)"-cp", (char*)"x", (char*)"-home",
                    (char*)"D:\\orvane", nullptr};
    ASSERT_EQ(1, ParseInstallOptions(argv, 9));
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("Runs the Quillet Orvane management framework container in the working directory 'C:\\work'.",
              fake_scm_service("svc")->description);
    EXPECT_EQ("C:\\work", value(kParameters, "WorkingDirectory"));
}

TEST_F(InstallServiceTest, DescriptionIsBoundedByItsBuffer)
{
    std::string longDir = "D:\\" + std::string(5000, 'd');
    Options.WorkingDirectory = longDir.c_str();
    EXPECT_EQ(1, InstallService("svc"));
    const std::string& description = fake_scm_service("svc")->description;
    EXPECT_EQ(4095u, description.size());
    EXPECT_EQ(0u, description.find("Runs the Quillet Orvane management framework container in the working "
                                   "directory 'D:\\ddd"));
    EXPECT_EQ(longDir, value(kParameters, "WorkingDirectory"));
}

// --- an existing service ---------------------------------------------------------

// Installing over an existing service sets every setting of the table again
// (the account is left alone) and rewrites every value.
TEST_F(InstallServiceTest, InstallingAgainReconfiguresAndRewritesEverything)
{
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", take());
    FakeService* s = fake_scm_service("svc");
    s->start_type = 2;
    s->binary_path = "C:\\old\\talvex.exe";
    s->dependencies = std::string("Tcpip\0Dnscache", 14);
    s->display_name = "Old display name";
    s->account = ".\\orvane";
    s->failure_actions_flag_set = false;
    fake_reg_put_sz(kParameters, "JavaArgs", "stale");
    fake_reg_put_sz(kEventSource, "EventMessageFile", "stale");
    Options.WorkingDirectory = "E:\\other";
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc changed.\n", take());
    EXPECT_EQ(3u, s->start_type);
    EXPECT_EQ("C:\\talvex\\talvex.exe", s->binary_path);
    EXPECT_EQ("", s->dependencies);
    EXPECT_EQ("svc", s->display_name);
    EXPECT_EQ(".\\orvane", s->account);
    EXPECT_EQ("Runs the Quillet Orvane management framework container in the working directory 'E:\\other'.",
              s->description);
    EXPECT_TRUE(s->failure_actions_flag_set);
    EXPECT_EQ(1, fake_call_count("CreateServiceA"));
    EXPECT_EQ("-Xmx1g", value(kParameters, "JavaArgs"));
    EXPECT_EQ("E:\\other", value(kParameters, "WorkingDirectory"));
    EXPECT_EQ("C:\\talvex\\talvexMSG.dll", value(kEventSource, "EventMessageFile"));
    expect_nothing_left_open();
}

TEST_F(InstallServiceTest, RefusedReconfigurationIsSilentAndTheRestGoesOn)
{
    FakeService& old = fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    old.start_type = 2;
    fake_fail("ChangeServiceConfigA", 5);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("", take());
    EXPECT_EQ(2u, fake_scm_service("svc")->start_type);
    EXPECT_EQ(kDescription, fake_scm_service("svc")->description);
    EXPECT_EQ("D:\\svc", value(kParameters, "WorkingDirectory"));
    EXPECT_TRUE(fake_reg_key_exists(kEventSource));
}

TEST_F(InstallServiceTest, DescriptionAndFailureActionsFailuresAreIgnored)
{
    fake_fail("ChangeServiceConfig2A", 87);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", take());
    EXPECT_FALSE(fake_scm_service("svc")->has_description);
    EXPECT_TRUE(fake_scm_service("svc")->failure_actions_flag_set);

    // The second call of the next install is the failure-actions flag.
    fake_scm_service("svc")->failure_actions_flag_set = false;
    fake_fail("ChangeServiceConfig2A", 87, 2);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc changed.\n", take());
    EXPECT_TRUE(fake_scm_service("svc")->has_description);
    EXPECT_FALSE(fake_scm_service("svc")->failure_actions_flag_set);
    EXPECT_TRUE(fake_reg_key_exists(kEventSource));
}

// --- failures --------------------------------------------------------------------

// Each failure ends the install at once with its message; what was done
// before stays (nothing is rolled back) and nothing after it happens.
TEST_F(InstallServiceTest, EachFailureEndsTheInstallWithItsMessage)
{
    const std::string denied = "Access is denied.";
    const struct {
        const char* what;
        std::function<void()> setup;
        std::string output;
        bool service, parameters, eventSource;
    } rows[] = {
        {"own path unavailable", [] { fake_fail("GetModuleFileNameA", 5); },
         "Unable to install svc - " + denied + " (0x5)\n", false, false, false},
        {"own path cut by its buffer", [] { fake_set_module_path("D:\\" + std::string(520, 'x') + ".exe"); },
         "Unable to install svc - The data area passed to a system call is too small. (0x7a)\n", false, false, false},
        {"manager that cannot be opened", [] { fake_fail("OpenSCManagerA", 5); },
         "OpenSCManager failed - " + denied + " (0x5)\n", false, false, false},
        {"service that cannot be created", [] { fake_fail("CreateServiceA", 5); },
         "CreateService failed - " + denied + " (0x5)\n", false, false, false},
        // Whatever the reason OpenServiceA failed, creating is tried; here the
        // service exists but could not be opened, so the creation fails too.
        {"service that cannot be opened",
         [] {
             fake_scm_add_service("svc");
             fake_fail("OpenServiceA", 5);
         },
         "CreateService failed - The specified service already exists. (0x431)\n", true, false, false},
        // The walk creates SYSTEM, CurrentControlSet, Services, svc, Parameters;
        // the missing key shows at the first write.
        {"Parameters key that cannot be created", [] { fake_fail("RegCreateKeyExA", 5, 5); },
         "svc installed.\nError setting registry value 'WorkingDirectory' due to: The handle is invalid.\r\n", true,
         false, false},
        {"fifth value that cannot be written", [] { fake_fail("RegSetValueExA", 5, 5); },
         "svc installed.\nError setting registry value 'BootClasspath' due to: " + denied + "\r\n", true, true,
         false},
        // Twelve parameters, then EventMessageFile, then TypesSupported.
        {"event source that cannot be registered", [] { fake_fail("RegSetValueExA", 5, 14); },
         "svc installed.\nError registering event source due to: " + denied + "\r\n", true, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        row.setup();
        EXPECT_EQ(0, InstallService("svc"));
        EXPECT_EQ(row.output, take());
        EXPECT_EQ(row.service, fake_scm_service("svc") != nullptr);
        EXPECT_EQ(row.parameters, fake_reg_key_exists(kParameters));
        EXPECT_EQ(row.eventSource, fake_reg_key_exists(kEventSource));
        expect_nothing_left_open();
    }
}

TEST_F(InstallServiceTest, FailedFifthValueLeavesTheFirstFourAndNoEventSource)
{
    for (const std::string& name : kValueNames) fake_reg_put_sz(kParameters, name, "old " + name);
    fake_fail("RegSetValueExA", 5, 5);
    EXPECT_EQ(0, InstallService("svc"));
    for (size_t i = 0; i < kValueNames.size(); ++i)
        EXPECT_EQ(i < 4 ? kValues[i] : "old " + kValueNames[i], value(kParameters, kValueNames[i])) << kValueNames[i];
    EXPECT_EQ(5, fake_call_count("RegSetValueExA"));
    EXPECT_FALSE(fake_reg_key_exists(kEventSource));
}

TEST_F(InstallServiceTest, FailedEventSourceRegistrationComesAfterEveryParameter)
{
    fake_fail("RegSetValueExA", 5, 14);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ(kValueNames, fake_reg_value_names(kParameters));
    EXPECT_EQ("C:\\talvex", value(kParameters, "UtilDir"));
}

}  // namespace
