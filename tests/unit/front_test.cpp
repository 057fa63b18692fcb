// Process entry: the usage text, the mode table with its exit codes, and the
// service-dispatcher path.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
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

class FrontTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetServiceStatus();
        ResetInstallOptions();
        LogFile = nullptr;
        DebugEnabled = 0;
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fake_set_module_path(kModulePath);
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

    // Runs the entry point with exactly these arguments (argv[0] first) and
    // keeps their storage alive for texts that point into it.
    int run(std::initializer_list<const char*> args)
    {
        storage_.assign(args.begin(), args.end());
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        return talvex_main((int)storage_.size(), argv_.data());
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

// --- usage text ----------------------------------------------------------------

TEST_F(FrontTest, UsageTextIsExact)
{
    PrintUsage();
    EXPECT_EQ(kUsage, output());
}

// --- mode selection ------------------------------------------------------------

TEST_F(FrontTest, WordsThatAreNoCommandPrintTheUsageAndExitZero)
{
    const std::vector<std::vector<const char*>> lines = {
        {"talvex", "install", "svc"},   // no dash
        {"talvex", "-INSTALL", "svc"},  // other letter case
        {"talvex", "-Stop", "svc"},
        {"talvex", "-"},                // an empty word
        {"talvex", "-", "svc"},
        {"talvex", "-installx", "svc"}, // letters added
        {"talvex", "-sto", "svc"},      // letters missing
        {"talvex", "-bogus"},
        {"talvex", "--stop", "svc"},
        {"talvex", "svc"},
    };
    for (const auto& line : lines) {
        fake_reset();
        fake_set_module_path(kModulePath);
        rewind(capture_);
        ASSERT_EQ(0, ftruncate(fileno(capture_), 0));
        storage_.assign(line.begin(), line.end());
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        EXPECT_EQ(0, talvex_main((int)storage_.size(), argv_.data())) << line[1];
        EXPECT_EQ(kUsage, output()) << line[1];
        EXPECT_EQ(0, fake_call_count("OpenSCManagerA")) << line[1];
        EXPECT_EQ(0, fake_dispatcher_call_count()) << line[1];
    }
}

TEST_F(FrontTest, InstallWithoutAServiceNamePrintsTheUsageWithoutParsing)
{
    install_prerequisites();
    EXPECT_EQ(0, run({"talvex", "-install"}));
    // The parser would have complained about the missing name or options.
    EXPECT_EQ(kUsage, output());
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
    EXPECT_EQ(0, fake_call_count("LoadLibraryA"));
}

TEST_F(FrontTest, ARejectedInstallLinePrintsTheParsersMessageThenTheUsage)
{
    install_prerequisites();
    // -jre is required.
    EXPECT_EQ(0, run({"talvex", "-install", "svc", "-wd", "D:\\svc", "-cp", "a.jar", "-home", "D:\\orvane"}));
    std::string text = output();
    ASSERT_GT(text.size(), sizeof kUsage - 1);
    EXPECT_EQ(kUsage, text.substr(text.size() - (sizeof kUsage - 1)));
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
    EXPECT_EQ(nullptr, fake_scm_service("svc"));
}

TEST_F(FrontTest, AValidInstallLineInstallsAndExitsZero)
{
    install_prerequisites();
    EXPECT_EQ(0, run({"talvex", "-install", "svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp",
                      "a.jar;b.jar", "-home", "D:\\orvane"}));
    ASSERT_NE(nullptr, fake_scm_service("svc"));
    uint32_t type = 0;
    std::string bytes;
    EXPECT_TRUE(fake_reg_get("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters", "JavaExe", &type, &bytes));
    EXPECT_EQ("D:\\jdk\\bin\\java.exe", bytes);
    EXPECT_EQ(std::string::npos, output().find("Usage:"));
}

TEST_F(FrontTest, AFailedInstallExitsOne)
{
    install_prerequisites();
    fake_fail("OpenSCManagerA", PLAT_ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, run({"talvex", "-install", "svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp",
                      "a.jar;b.jar", "-home", "D:\\orvane"}));
    EXPECT_EQ(nullptr, fake_scm_service("svc"));
    EXPECT_EQ(std::string::npos, output().find("Usage:"));
}

TEST_F(FrontTest, StartRunsTheStartCommand)
{
    fake_scm_add_service("svc", FAKE_SERVICE_STOPPED);
    EXPECT_EQ(0, run({"talvex", "-start", "svc"}));
    EXPECT_EQ("svc start requested.\n", output());
    EXPECT_EQ(FAKE_SERVICE_START_PENDING, (int)fake_scm_service("svc")->state);
}

TEST_F(FrontTest, StopRunsTheStopCommand)
{
    fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    EXPECT_EQ(0, run({"talvex", "-stop", "svc"}));
    EXPECT_EQ("svc stop requested.\n", output());
    std::vector<FakeControl> controls = fake_scm_controls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ(1u, controls[0].control);
}

TEST_F(FrontTest, DumpRunsTheDumpCommand)
{
    fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    EXPECT_EQ(0, run({"talvex", "-dump", "svc"}));
    EXPECT_EQ("svc thread dump requested. Check the .out file.\n", output());
    std::vector<FakeControl> controls = fake_scm_controls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ(129u, controls[0].control);
}

TEST_F(FrontTest, RemoveRunsTheRemoveCommand)
{
    fake_scm_add_service("svc", FAKE_SERVICE_STOPPED);
    fake_reg_put_sz("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc", "TypesSupported", "");
    EXPECT_EQ(0, run({"talvex", "-remove", "svc"}));
    EXPECT_EQ(0u, output().rfind("svc removed.\n", 0));
    EXPECT_TRUE(fake_scm_service("svc")->deleted);
}

TEST_F(FrontTest, ControlCommandsThatFailExitOne)
{
    fake_scm_add_service("stopped", FAKE_SERVICE_STOPPED);
    fake_scm_add_service("running", FAKE_SERVICE_RUNNING);
    EXPECT_EQ(1, run({"talvex", "-stop", "stopped"}));
    EXPECT_EQ(1, run({"talvex", "-dump", "stopped"}));
    EXPECT_EQ(1, run({"talvex", "-start", "running"}));
    EXPECT_EQ(1, run({"talvex", "-remove", "running"}));
    EXPECT_EQ(1, run({"talvex", "-stop", "missing"}));
    EXPECT_FALSE(fake_scm_service("running")->deleted);
    EXPECT_EQ(std::string::npos, output().find("Usage:"));
}

TEST_F(FrontTest, ControlCommandsWithoutAServiceNameFailWithExitOne)
{
    fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    for (const char* word : {"-remove", "-start", "-stop", "-dump"}) {
        EXPECT_EQ(1, run({"talvex", word})) << word;
    }
    EXPECT_TRUE(fake_scm_controls().empty());
    EXPECT_FALSE(fake_scm_service("svc")->deleted);
    EXPECT_EQ(std::string::npos, output().find("Usage:"));
}

TEST_F(FrontTest, ArgumentsAfterTheNameAreIgnoredByControlCommands)
{
    fake_scm_add_service("svc", FAKE_SERVICE_RUNNING);
    EXPECT_EQ(0, run({"talvex", "-stop", "svc", "other", "-a"}));
    EXPECT_EQ("svc stop requested.\n", output());
}

// --- the -test mode --------------------------------------------------------------

TEST_F(FrontTest, TestModeRunsTheBodyUnderTheNameAloneAndExitsZero)
{
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters");
    java_cannot_start();
    EXPECT_EQ(0, run({"talvex", "-test", "svc", "extra", "-a"}));
    std::vector<std::string> asked = fake_reg_requested_paths();
    EXPECT_NE(asked.end(), std::find(asked.begin(), asked.end(),
                                     "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters"));
    for (const std::string& path : asked) EXPECT_EQ(std::string::npos, path.find("extra")) << path;
    // The body's events go under the service name.
    std::vector<FakeEvent> events = fake_events();
    ASSERT_FALSE(events.empty());
    for (const FakeEvent& e : events) EXPECT_EQ("svc", e.source);
    // No service manager is involved.
    EXPECT_EQ(0, fake_dispatcher_call_count());
    EXPECT_FALSE(fake_handler_registered());
    EXPECT_TRUE(fake_status_reports().empty());
    EXPECT_EQ(std::string::npos, output().find("Usage:"));
}

TEST_F(FrontTest, TestModeWithoutAServiceNameIsRefused)
{
    EXPECT_EQ(1, run({"talvex", "-test"}));
    EXPECT_EQ(kUsage, output());
    EXPECT_TRUE(fake_reg_requested_paths().empty());
    EXPECT_TRUE(fake_events().empty());
    EXPECT_EQ(0, fake_call_count("CreateProcessA"));
}

// --- the service-dispatcher path ---------------------------------------------------

TEST_F(FrontTest, TypedByItsShortNameItPrintsTheUsageOnly)
{
    EXPECT_EQ(0, run({"talvex.exe"}));
    EXPECT_EQ(kUsage, output());
    EXPECT_EQ(0, fake_dispatcher_call_count());
    EXPECT_TRUE(fake_events().empty());
}

TEST_F(FrontTest, ByItsModulePathInOtherCaseItTakesTheDispatcherPath)
{
    const char* argv0 = "c:\\PROGRAM FILES\\Talvex\\TALVEX.EXE";
    EXPECT_EQ(0, run({argv0}));
    EXPECT_EQ(std::string(kUsage) + kDispatcherNotice, output());
    EXPECT_EQ(1, fake_dispatcher_call_count());
    EXPECT_EQ(&ServiceMain, fake_dispatcher_entry());
    // Outside the service manager the call fails: one error event under the
    // executable's path as it was given.
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(argv0, events[0].source);
    EXPECT_EQ(0xC0000006u, events[0].id);
    EXPECT_EQ(1u, events[0].type);
    std::vector<std::string> strings = {argv0, "StartServiceCtrlDispatcher failed."};
    EXPECT_EQ(strings, events[0].strings);
}

TEST_F(FrontTest, UnderTheServiceManagerTheDispatcherRunsTheService)
{
    fake_dispatcher_run_service({"svc"});
    java_cannot_start();
    EXPECT_EQ(0, run({kModulePath}));
    EXPECT_EQ(std::string(kUsage) + kDispatcherNotice, output());
    EXPECT_EQ(1, fake_dispatcher_call_count());
    EXPECT_EQ("svc", fake_handler_name());
    std::vector<PlatServiceStatus> reports = fake_status_reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ((uint32_t)SERVICE_STATE_START_PENDING, reports.front().current_state);
    EXPECT_EQ((uint32_t)SERVICE_STATE_STOPPED, reports.back().current_state);
    EXPECT_TRUE(fake_events_with_id(0xC0000006u).empty());
}

TEST_F(FrontTest, AnUnreadableModulePathEndsWithTheUsage)
{
    fake_fail("GetModuleFileNameA", PLAT_ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, run({kModulePath}));
    EXPECT_EQ(kUsage, output());
    EXPECT_EQ(0, fake_dispatcher_call_count());
    EXPECT_TRUE(fake_events().empty());
}

TEST_F(FrontTest, AnotherPathEndsWithTheUsage)
{
    EXPECT_EQ(0, run({"C:\\Program Files\\talvex\\talvex.exe.bak"}));
    EXPECT_EQ(0, run({"C:\\Program Files\\talvex\\talvex"}));
    EXPECT_EQ(0, run({""}));
    EXPECT_EQ(std::string(kUsage) + kUsage + kUsage, output());
    EXPECT_EQ(0, fake_dispatcher_call_count());
}

TEST_F(FrontTest, AModulePathOf512CharactersOrMoreStillMatches)
{
    for (size_t length : {511u, 512u, 600u, 4000u}) {
        fake_reset();
        std::string path = "C:\\" + std::string(length - 3 - 11, 'd') + "\\talvex.exe";
        ASSERT_EQ(length, path.size());
        fake_set_module_path(path);
        EXPECT_EQ(0, run({path.c_str()})) << length;
        EXPECT_EQ(1, fake_dispatcher_call_count()) << length;
        EXPECT_EQ(1u, fake_events_with_id(0xC0000006u).size()) << length;
    }
}

TEST_F(FrontTest, AModulePathTooLongForAnyBufferNeverMatches)
{
    std::string path = "C:\\" + std::string(40000, 'd') + "\\talvex.exe";
    fake_set_module_path(path);
    EXPECT_EQ(0, run({path.c_str()}));
    EXPECT_EQ(kUsage, output());
    EXPECT_EQ(0, fake_dispatcher_call_count());
}

TEST_F(FrontTest, NoArgumentVectorAtAllPrintsTheUsage)
{
    char* argv[] = {nullptr};
    EXPECT_EQ(0, talvex_main(0, argv));
    EXPECT_EQ(kUsage, output());
    EXPECT_EQ(0, fake_dispatcher_call_count());
}

}  // namespace
