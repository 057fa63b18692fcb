// Process entry: the usage text, the mode table with its exit codes, and the
// service-dispatcher path.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"
#include "fake/fake_service.h"
#include "front/entry.h"
#include "service/service_status.h"
#include "unit/console_capture.h"

namespace {

const char kUsage[] =
    "\n"
    "Usage:\n"
    "\n"
    "  talvex -install <ServiceName> <options> to install the service\n"
    "\n"
    "    Where <options> include:\n"
    "\n"
    "      -a\n"
    "         Automatically start the service (default - not autostart)\n"
    "      -wd <path>\n"
    "         Container's working directory (default - current working directory)\n"
    "      -jre <path>\n"
    "         Full path to java.exe (required)\n"
    "      -jargs \"<args>\"\n"
    "         Additional JVM args\n"
    "      -cp \"<classpath>\"\n"
    "         Container classpath (required)\n"
    "      -bcp \"<classpath>\"\n"
    "         Container bootclasspath (required)\n"
    "      -home \"<path>\"\n"
    "         Orvane installation root directory (required)\n"
    "      -xml <path>\n"
    "         Path to container boot file (default - \".\\container.ini\")\n"
    "      -dsxml <path>\n"
    "         Path to Directory Service boot file (required if container loads DS)\n"
    "      -starttimeout | -t <seconds>\n"
    "         Container startup timeout (default - infinite)\n"
    "      -stoptimeout | -s <seconds>\n"
    "         Container shutdown timeout (default - 600)\n"
    "      -pwd <password>\n"
    "         Bootfile encryption password (not required unless PBE has been used)\n"
    "\n"
    "  talvex -start   <ServiceName> to start the service (does not wait)\n"
    "\n"
    "  talvex -stop    <ServiceName> to stop the service (does not wait)\n"
    "\n"
    "  talvex -remove  <ServiceName> to remove the service\n"
    "\n"
    "  talvex -dump    <ServiceName> to request a Java thread dump from a running service (sends Ctrl+Break)\n";

const char kDispatcherNotice[] =
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

const char kModulePath[] = "C:\\Program Files\\talvex\\talvex.exe";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";

class FrontTest : public ::testing::Test {
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
        LogFile = nullptr;
        DebugEnabled = 0;
        ResetServiceStatus();
        ResetInstallOptions();
    }

    // Process-start state, with nothing printed yet; table rows call it
    // before each run.
    void fresh()
    {
        fake_reset();
        ResetServiceStatus();
        ResetInstallOptions();
        LogFile = nullptr;
        DebugEnabled = 0;
        fake_set_module_path(kModulePath);
        take();
    }

    // Runs the entry point with exactly these arguments (argv[0] first; none
    // at all gives argc 0) and keeps their storage alive for texts that point
    // into it.
    int run(const std::vector<std::string>& args)
    {
        storage_ = args;
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        return talvex_main((int)storage_.size(), argv_.data());
    }

    // What was printed since the last call.
    std::string take()
    {
        std::string text = read_capture(capture_);
        EXPECT_TRUE(clear_capture(capture_));
        return text;
    }

    // What a valid install command line needs to find on the machine.
    void install_prerequisites()
    {
        fake_set_current_directory("C:\\work");
        fake_fs_mkdir("C:\\work");
        fake_fs_mkdir("D:\\svc");
        fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
        fake_fs_mkdir("D:\\orvane");
        fake_add_library("talvexMSG.dll", "C:\\talvex\\talvexMSG.dll");
        fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
    }

    // The service body cannot start Java: in the -test mode and under the
    // dispatcher it ends at its first launch instead of running for ever.
    void java_cannot_start() { fake_fail("CreateProcessA", PLAT_ERROR_FILE_NOT_FOUND, 1, true); }

    FILE* capture_ = nullptr;
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
};

// --- mode selection ------------------------------------------------------------

// The usage text is compared byte for byte wherever it is printed.
TEST_F(FrontTest, WordsThatAreNoCommandPrintTheUsageAndExitZero)
{
    const std::vector<std::vector<std::string>> lines = {
        {"talvex", "install", "svc"},    // no dash
        {"talvex", "-INSTALL", "svc"},   // other letter case
        {"talvex", "-Stop", "svc"},
        {"talvex", "-"},                 // an empty word
        {"talvex", "-", "svc"},
        {"talvex", "-installx", "svc"},  // letters added
        {"talvex", "-sto", "svc"},       // letters missing
        {"talvex", "-bogus"},
        {"talvex", "--stop", "svc"},
        {"talvex", "svc"},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line[1]);
        fresh();
        EXPECT_EQ(0, run(line));
        EXPECT_EQ(kUsage, take());
        EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
        EXPECT_EQ(0, fake_dispatcher_call_count());
    }
}

TEST_F(FrontTest, InstallLinesExitOneOnlyWhenTheInstallationFails)
{
    enum Usage { USAGE_ONLY, USAGE_AFTER_MESSAGE, NO_USAGE };
    const std::vector<std::string> valid = {"talvex", "-install", "svc", "-wd", "D:\\svc", "-jre",
                                            "D:\\jdk\\bin\\java.exe", "-cp", "a.jar;b.jar", "-home", "D:\\orvane"};
    std::vector<std::string> withoutJre = valid;
    withoutJre.erase(withoutJre.begin() + 5, withoutJre.begin() + 7);
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* failingCall;
        int exitCode;
        Usage usage;
        bool installed;
    } rows[] = {
        // Without a name the parser is not even run: its message would show.
        {"no service name", {"talvex", "-install"}, nullptr, 0, USAGE_ONLY, false},
        {"rejected by the parser", withoutJre, nullptr, 0, USAGE_AFTER_MESSAGE, false},
        {"valid", valid, nullptr, 0, NO_USAGE, true},
        {"installation failed", valid, "OpenSCManagerA", 1, NO_USAGE, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        install_prerequisites();
        if (row.failingCall) fake_fail(row.failingCall, PLAT_ERROR_ACCESS_DENIED);
        EXPECT_EQ(row.exitCode, run(row.args));
        std::string text = take();
        const size_t usageLength = sizeof kUsage - 1;
        switch (row.usage) {
        case USAGE_ONLY:
            EXPECT_EQ(kUsage, text);
            break;
        case USAGE_AFTER_MESSAGE:
            ASSERT_GT(text.size(), usageLength);
            EXPECT_EQ(kUsage, text.substr(text.size() - usageLength));
            break;
        case NO_USAGE:
            EXPECT_EQ(std::string::npos, text.find("Usage:"));
            break;
        }
        EXPECT_EQ(row.installed, fake_scm_service("svc") != nullptr);
        std::string javaExe;
        EXPECT_EQ(row.installed, fake_reg_get(kParameters, "JavaExe", nullptr, &javaExe));
        EXPECT_EQ(row.installed ? "D:\\jdk\\bin\\java.exe" : "", javaExe);
    }
}

TEST_F(FrontTest, ControlCommandsRunWithTheNameAndExitOneWhenTheyFail)
{
    const char kNotInstalled[] =
        "OpenService failed - The specified service does not exist as an installed service. (0x424)\n";
    const char kNoName[] = "Error: no service name given.\n";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* output;
    } rows[] = {
        {{"talvex", "-start", "stopped"}, 0, "stopped start requested.\n"},
        {{"talvex", "-stop", "running"}, 0, "running stop requested.\n"},
        {{"talvex", "-dump", "running"}, 0, "running thread dump requested. Check the .out file.\n"},
        {{"talvex", "-remove", "stopped"}, 0, "stopped removed.\n"},
        // Arguments after the name are ignored.
        {{"talvex", "-stop", "running", "other", "-a"}, 0, "running stop requested.\n"},
        {{"talvex", "-start", "running"}, 1, "Service running currently running. Ignoring start request."},
        {{"talvex", "-stop", "stopped"}, 1, "Service stopped already stopped. Ignoring stop request."},
        {{"talvex", "-dump", "stopped"}, 1, "Service stopped currently stopped."},
        {{"talvex", "-remove", "running"}, 1, "Service running currently running. Can't remove running service."},
        {{"talvex", "-stop", "missing"}, 1, kNotInstalled},
        {{"talvex", "-start"}, 1, kNoName},
        {{"talvex", "-stop"}, 1, kNoName},
        {{"talvex", "-dump"}, 1, kNoName},
        {{"talvex", "-remove"}, 1, kNoName},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[1] + " " + (row.args.size() > 2 ? row.args[2] : ""));
        fresh();
        fake_scm_add_service("stopped", FAKE_SERVICE_STOPPED);
        fake_scm_add_service("running", FAKE_SERVICE_RUNNING);
        fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\stopped", "TypesSupported", "");
        EXPECT_EQ(row.exitCode, run(row.args));
        EXPECT_EQ(row.output, take());
    }
}

// --- the -test mode --------------------------------------------------------------

TEST_F(FrontTest, TestModeRunsTheBodyUnderTheNameAloneAndExitsZero)
{
    fake_reg_create_key(kParameters);
    java_cannot_start();
    EXPECT_EQ(0, run({"talvex", "-test", "svc", "extra", "-a"}));
    std::vector<std::string> asked = fake_reg_requested_paths();
    EXPECT_NE(asked.end(), std::find(asked.begin(), asked.end(), kParameters));
    for (const std::string& path : asked) EXPECT_EQ(std::string::npos, path.find("extra")) << path;
    // The body's events go under the service name.
    std::vector<FakeEvent> events = fake_events();
    ASSERT_FALSE(events.empty());
    for (const FakeEvent& e : events) EXPECT_EQ("svc", e.source);
    // No service manager is involved.
    EXPECT_EQ(0, fake_dispatcher_call_count());
    EXPECT_FALSE(fake_handler_registered());
    EXPECT_TRUE(fake_status_reports().empty());
    EXPECT_EQ(std::string::npos, take().find("Usage:"));
}

TEST_F(FrontTest, TestModeWithoutAServiceNameIsRefused)
{
    EXPECT_EQ(1, run({"talvex", "-test"}));
    EXPECT_EQ(kUsage, take());
    EXPECT_TRUE(fake_reg_requested_paths().empty());
    EXPECT_TRUE(fake_events().empty());
    EXPECT_EQ(0, fake_call_count("CreateProcessA"));
}

// --- the service-dispatcher path ---------------------------------------------------

TEST_F(FrontTest, WithoutArgumentsAndNotStartedByItsModulePathItPrintsTheUsageOnly)
{
    const std::string tooLong = "C:\\" + std::string(40000, 'd') + "\\talvex.exe";
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* failingCall;
        std::string modulePath;
    } rows[] = {
        {"short name", {"talvex.exe"}, nullptr, kModulePath},
        {"a longer name", {"C:\\Program Files\\talvex\\talvex.exe.bak"}, nullptr, kModulePath},
        {"a shorter name", {"C:\\Program Files\\talvex\\talvex"}, nullptr, kModulePath},
        {"an empty name", {""}, nullptr, kModulePath},
        {"no argument vector", {}, nullptr, kModulePath},
        {"unreadable module path", {kModulePath}, "GetModuleFileNameA", kModulePath},
        {"module path too long for any buffer", {tooLong}, nullptr, tooLong},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        fake_set_module_path(row.modulePath);
        if (row.failingCall) fake_fail(row.failingCall, PLAT_ERROR_ACCESS_DENIED);
        EXPECT_EQ(0, run(row.args));
        EXPECT_EQ(kUsage, take());
        EXPECT_EQ(0, fake_dispatcher_call_count());
        EXPECT_TRUE(fake_events().empty());
    }
}

// Started by its module path, compared without regard to case and however
// long the path is, it takes the dispatcher path.  Outside the service
// manager the call fails: one error event under the executable's path as it
// was given.
TEST_F(FrontTest, ByItsModulePathInAnyCaseAndLengthItTakesTheDispatcherPath)
{
    std::vector<std::pair<std::string, std::string>> paths = {{kModulePath, "c:\\PROGRAM FILES\\Talvex\\TALVEX.EXE"}};
    for (size_t length : {511u, 512u, 600u, 4000u}) {
        std::string path = "C:\\" + std::string(length - 3 - 11, 'd') + "\\talvex.exe";
        paths.push_back({path, path});
    }
    for (const auto& p : paths) {
        SCOPED_TRACE(p.second.size());
        fresh();
        fake_set_module_path(p.first);
        EXPECT_EQ(0, run({p.second}));
        EXPECT_EQ(std::string(kUsage) + kDispatcherNotice, take());
        EXPECT_EQ(1, fake_dispatcher_call_count());
        EXPECT_EQ(&ServiceMain, fake_dispatcher_entry());
        std::vector<FakeEvent> events = fake_events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(p.second, events[0].source);
        EXPECT_EQ(0xC0000006u, events[0].id);
        EXPECT_EQ(1u, events[0].type);
        EXPECT_EQ((std::vector<std::string>{p.second, "StartServiceCtrlDispatcher failed."}), events[0].strings);
    }
}

TEST_F(FrontTest, UnderTheServiceManagerTheDispatcherRunsTheService)
{
    fake_dispatcher_run_service({"svc"});
    java_cannot_start();
    EXPECT_EQ(0, run({kModulePath}));
    EXPECT_EQ(std::string(kUsage) + kDispatcherNotice, take());
    EXPECT_EQ(1, fake_dispatcher_call_count());
    EXPECT_EQ("svc", fake_handler_name());
    std::vector<PlatServiceStatus> reports = fake_status_reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ((uint32_t)SERVICE_STATE_START_PENDING, reports.front().current_state);
    EXPECT_EQ((uint32_t)SERVICE_STATE_STOPPED, reports.back().current_state);
    EXPECT_TRUE(fake_events_with_id(0xC0000006u).empty());
}

}  // namespace
