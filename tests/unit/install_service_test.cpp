// Service installation: creating and reconfiguring the service with its
// settings, the binary path's quoting, the description, the twelve Parameters
// values, the event source, and every failure of the sequence.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "admin/install_service.h"
#include "common/console.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"

namespace {

const char PARAMETERS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char EVENT_SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";

const std::vector<std::string> VALUE_NAMES = {
    "WorkingDirectory", "JavaExe", "JavaArgs", "Classpath", "BootClasspath", "OrvaneHome",
    "BootFile", "DirectoryServiceBootFile", "TimeoutSeconds", "ShutdownTimeoutSeconds", "PBE", "UtilDir",
};

class InstallServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetInstallOptions();
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fake_set_module_path("C:\\talvex\\talvex.exe");
        // A complete set as ParseInstallOptions leaves it.
        Options.WorkingDirectory = "D:\\svc";
        Options.JavaExe = "D:\\jdk\\bin\\java.exe";
        Options.JavaArgs = "-Xmx1g";
        Options.Classpath = "a.jar;b.jar";
        Options.BootClasspath = "";
        Options.OrvaneHome = "D:\\orvane";
        Options.BootFile = ".\\container.ini";
        Options.DirectoryServiceBootFile = "";
        Options.TimeoutSeconds = "0";
        Options.ShutdownTimeoutSeconds = "600";
        Options.PBE = "secret";
        strcpy(Options.MessageDllPath, "C:\\talvex\\talvexMSG.dll");
        strcpy(Options.UtilDir, "C:\\talvex");
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
    }

    std::string output()
    {
        fflush(capture_);
        std::string text;
        rewind(capture_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, capture_)) > 0) text.append(buf, n);
        fclose(capture_);
        capture_ = tmpfile();
        ConsoleOut = capture_;
        return text;
    }

    // The bytes and type of a value; "<missing>" when there is none.
    static std::string value(const std::string& key, const std::string& name, uint32_t* type = nullptr)
    {
        uint32_t t = 0;
        std::string bytes;
        if (!fake_reg_get(key, name, &t, &bytes)) return "<missing>";
        if (type) *type = t;
        return bytes;
    }

    FILE* capture_ = nullptr;
};

const char DESCRIPTION[] = "Runs the Quillet Orvane management framework container in the working directory 'D:\\svc'.";

// --- a new service -------------------------------------------------------------

TEST_F(InstallServiceTest, NewServiceIsCreatedWithTheSettingsOfTheTable)
{
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", output());
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
    EXPECT_EQ(DESCRIPTION, s->description);
    EXPECT_TRUE(s->failure_actions_flag_set);
    EXPECT_EQ(1, s->failure_actions_on_non_crash);
    EXPECT_EQ(0xF003Fu, fake_scm_manager_access());
    EXPECT_EQ(0xF01FFu, fake_scm_service_access());
    EXPECT_EQ(0, fake_call_count("ChangeServiceConfigA"));
    EXPECT_EQ(0, fake_scm_open_handles());
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(InstallServiceTest, TwelveParametersAreWrittenInOrderAsTextWithoutTerminator)
{
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ(VALUE_NAMES, fake_reg_value_names(PARAMETERS_KEY));
    const std::vector<std::string> expected = {
        "D:\\svc", "D:\\jdk\\bin\\java.exe", "-Xmx1g", "a.jar;b.jar", "", "D:\\orvane",
        ".\\container.ini", "", "0", "600", "secret", "C:\\talvex",
    };
    for (size_t i = 0; i < VALUE_NAMES.size(); ++i) {
        SCOPED_TRACE(VALUE_NAMES[i]);
        uint32_t type = 0;
        EXPECT_EQ(expected[i], value(PARAMETERS_KEY, VALUE_NAMES[i], &type));
        EXPECT_EQ(1u, type);
    }
}

TEST_F(InstallServiceTest, EventSourceIsRegisteredWithTheMessageLibrary)
{
    EXPECT_EQ(1, InstallService("svc"));
    uint32_t type = 0;
    EXPECT_EQ("C:\\talvex\\talvexMSG.dll", value(EVENT_SOURCE_KEY, "EventMessageFile", &type));
    EXPECT_EQ(2u, type);
    EXPECT_EQ(std::string("\x07\0\0\0", 4), value(EVENT_SOURCE_KEY, "TypesSupported", &type));
    EXPECT_EQ(4u, type);
}

TEST_F(InstallServiceTest, AutomaticStartIsPassedOn)
{
    Options.StartType = SERVICE_AUTO_START_TYPE;
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ(2u, fake_scm_service("svc")->start_type);
}

TEST_F(InstallServiceTest, BinaryPathWithABlankIsQuoted)
{
    fake_set_module_path("D:\\Program Files\\x\\talvex.exe");
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("\"D:\\Program Files\\x\\talvex.exe\"", fake_scm_service("svc")->binary_path);
}

TEST_F(InstallServiceTest, BinaryPathWithoutABlankIsNotQuoted)
{
    fake_set_module_path("D:\\tools\\x\\talvex.exe");
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("D:\\tools\\x\\talvex.exe", fake_scm_service("svc")->binary_path);
}

TEST_F(InstallServiceTest, LongestModulePathThatFitsIsQuotedWhole)
{
    std::string path = "D:\\a b\\" + std::string(500, 'x') + ".exe";   // 511 characters
    fake_set_module_path(path);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("\"" + path + "\"", fake_scm_service("svc")->binary_path);
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
    output();
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("Runs the Quillet Orvane management framework container in the working directory 'C:\\work'.",
              fake_scm_service("svc")->description);
    EXPECT_EQ("C:\\work", value(PARAMETERS_KEY, "WorkingDirectory"));
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
    EXPECT_EQ(longDir, value(PARAMETERS_KEY, "WorkingDirectory"));
}

// --- an existing service ---------------------------------------------------------

TEST_F(InstallServiceTest, ExistingServiceIsReconfigured)
{
    FakeService& old = fake_scm_add_service("svc", FAKE_SERVICE_STOPPED);
    old.start_type = 2;
    old.binary_path = "C:\\old\\talvex.exe";
    old.dependencies = std::string("Tcpip\0Dnscache", 14);
    old.display_name = "Old display name";
    old.account = ".\\orvane";
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc changed.\n", output());
    FakeService* s = fake_scm_service("svc");
    EXPECT_EQ(3u, s->start_type);
    EXPECT_EQ("C:\\talvex\\talvex.exe", s->binary_path);
    EXPECT_EQ("", s->dependencies);
    EXPECT_EQ("svc", s->display_name);
    EXPECT_EQ(".\\orvane", s->account);
    EXPECT_EQ(DESCRIPTION, s->description);
    EXPECT_TRUE(s->failure_actions_flag_set);
    EXPECT_EQ(0, fake_call_count("CreateServiceA"));
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(InstallServiceTest, InstallingTwiceRewritesEverything)
{
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", output());
    fake_reg_put_sz(PARAMETERS_KEY, "JavaArgs", "stale");
    fake_reg_put_sz(EVENT_SOURCE_KEY, "EventMessageFile", "stale");
    Options.WorkingDirectory = "E:\\other";
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc changed.\n", output());
    EXPECT_EQ("-Xmx1g", value(PARAMETERS_KEY, "JavaArgs"));
    EXPECT_EQ("E:\\other", value(PARAMETERS_KEY, "WorkingDirectory"));
    EXPECT_EQ("C:\\talvex\\talvexMSG.dll", value(EVENT_SOURCE_KEY, "EventMessageFile"));
    EXPECT_EQ("Runs the Quillet Orvane management framework container in the working directory 'E:\\other'.",
              fake_scm_service("svc")->description);
}

TEST_F(InstallServiceTest, RefusedReconfigurationIsSilentAndTheRestGoesOn)
{
    FakeService& old = fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    old.start_type = 2;
    fake_fail("ChangeServiceConfigA", 5);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("", output());
    EXPECT_EQ(2u, fake_scm_service("svc")->start_type);
    EXPECT_EQ(DESCRIPTION, fake_scm_service("svc")->description);
    EXPECT_EQ("D:\\svc", value(PARAMETERS_KEY, "WorkingDirectory"));
    EXPECT_TRUE(fake_reg_key_exists(EVENT_SOURCE_KEY));
}

// --- failures --------------------------------------------------------------------

TEST_F(InstallServiceTest, UnavailableOwnPathChangesNothing)
{
    fake_fail("GetModuleFileNameA", 5);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("Unable to install svc - Access is denied. (0x5)\n", output());
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
    EXPECT_FALSE(fake_reg_key_exists(PARAMETERS_KEY));
}

TEST_F(InstallServiceTest, OwnPathCutByItsBufferIsRefused)
{
    fake_set_module_path("D:\\" + std::string(520, 'x') + ".exe");
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("Unable to install svc - The data area passed to a system call is too small. (0x7a)\n", output());
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
}

TEST_F(InstallServiceTest, ManagerThatCannotBeOpenedChangesNothing)
{
    fake_fail("OpenSCManagerA", 5);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("OpenSCManager failed - Access is denied. (0x5)\n", output());
    EXPECT_EQ(nullptr, fake_scm_service("svc"));
    EXPECT_FALSE(fake_reg_key_exists(PARAMETERS_KEY));
}

TEST_F(InstallServiceTest, ServiceThatCannotBeCreatedChangesNothing)
{
    fake_fail("CreateServiceA", 5);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("CreateService failed - Access is denied. (0x5)\n", output());
    EXPECT_EQ(nullptr, fake_scm_service("svc"));
    EXPECT_FALSE(fake_reg_key_exists(PARAMETERS_KEY));
    EXPECT_FALSE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(InstallServiceTest, ServiceThatCannotBeOpenedIsCreated)
{
    // Whatever the reason OpenServiceA failed, creating is tried; here the
    // service exists but could not be opened, so the creation fails too.
    fake_scm_add_service("svc");
    fake_fail("OpenServiceA", 5);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("CreateService failed - The specified service already exists. (0x431)\n", output());
}

TEST_F(InstallServiceTest, DescriptionAndFailureActionsFailuresAreIgnored)
{
    fake_fail("ChangeServiceConfig2A", 87);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc installed.\n", output());
    EXPECT_FALSE(fake_scm_service("svc")->has_description);
    EXPECT_TRUE(fake_scm_service("svc")->failure_actions_flag_set);

    // The second call of the next install is the failure-actions flag.
    fake_scm_service("svc")->failure_actions_flag_set = false;
    fake_fail("ChangeServiceConfig2A", 87, 2);
    EXPECT_EQ(1, InstallService("svc"));
    EXPECT_EQ("svc changed.\n", output());
    EXPECT_TRUE(fake_scm_service("svc")->has_description);
    EXPECT_FALSE(fake_scm_service("svc")->failure_actions_flag_set);
    EXPECT_TRUE(fake_reg_key_exists(EVENT_SOURCE_KEY));
}

TEST_F(InstallServiceTest, FailedFifthValueLeavesTheFirstFourAndNoEventSource)
{
    for (const std::string& name : VALUE_NAMES) fake_reg_put_sz(PARAMETERS_KEY, name, "old " + name);
    fake_fail("RegSetValueExA", 5, 5);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("svc installed.\nError setting registry value 'BootClasspath' due to: Access is denied.\r\n",
              output());
    EXPECT_EQ("D:\\svc", value(PARAMETERS_KEY, "WorkingDirectory"));
    EXPECT_EQ("D:\\jdk\\bin\\java.exe", value(PARAMETERS_KEY, "JavaExe"));
    EXPECT_EQ("-Xmx1g", value(PARAMETERS_KEY, "JavaArgs"));
    EXPECT_EQ("a.jar;b.jar", value(PARAMETERS_KEY, "Classpath"));
    for (size_t i = 4; i < VALUE_NAMES.size(); ++i)
        EXPECT_EQ("old " + VALUE_NAMES[i], value(PARAMETERS_KEY, VALUE_NAMES[i])) << VALUE_NAMES[i];
    EXPECT_EQ(5, fake_call_count("RegSetValueExA"));
    EXPECT_FALSE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    EXPECT_NE(nullptr, fake_scm_service("svc"));
    EXPECT_EQ(0, fake_scm_open_handles());
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(InstallServiceTest, ParametersKeyThatCannotBeCreatedIsReportedByTheFirstWrite)
{
    // The walk creates SYSTEM, CurrentControlSet, Services, svc, Parameters.
    fake_fail("RegCreateKeyExA", 5, 5);
    EXPECT_EQ(0, InstallService("svc"));
    std::string text = output();
    EXPECT_EQ(0u, text.find("svc installed.\nError setting registry value 'WorkingDirectory' due to: "));
    EXPECT_EQ(1, fake_call_count("RegSetValueExA"));
    EXPECT_FALSE(fake_reg_key_exists(PARAMETERS_KEY));
    EXPECT_FALSE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(InstallServiceTest, FailedEventSourceRegistrationFailsTheInstall)
{
    // Twelve parameters, then EventMessageFile, then TypesSupported.
    fake_fail("RegSetValueExA", 5, 14);
    EXPECT_EQ(0, InstallService("svc"));
    EXPECT_EQ("svc installed.\nError registering event source due to: Access is denied.\r\n", output());
    EXPECT_EQ("C:\\talvex", value(PARAMETERS_KEY, "UtilDir"));
    EXPECT_EQ(0, fake_scm_open_handles());
}

}  // namespace
