// The service body over the fake platform: scripted launchers and containers
// on the virtual clock, the service manager's view of the run, the events and
// the log file.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "common/platform.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_process.h"
#include "fake/fake_registry.h"
#include "fake/fake_service.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace {

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char kScriptPath[] = "D:\\svc\\container.ini.bat";
const char kLogPath[] = "D:\\svc\\svc.out";
const char kLauncherMatch[] = "LaunchContainer";
const char kContainerMatch[] = "com.example.Container";
const char kContainerLine[] = "\"D:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\n";
const char kScript[] =
    "@echo off\n"
    "cd /d \"D:\\svc\\run\"\n"
    "set PATH=D:\\jre\\bin;%PATH%\n"
    "\"D:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\n";

const uint32_t kStopped = SERVICE_STATE_STOPPED;
const uint32_t kStartPending = SERVICE_STATE_START_PENDING;
const uint32_t kStopPending = SERVICE_STATE_STOP_PENDING;
const uint32_t kRunning = SERVICE_STATE_RUNNING;

const uint64_t kVirtualTimeLimitMs = 2ull * 3600 * 1000;

struct TimedReport {
    uint64_t at_ms;
    PlatServiceStatus status;
};

// Every report the service manager accepted, with the virtual time it came.
std::vector<TimedReport> g_reports;

FakeChildScript& StopAt(FakeChildScript& script, uint64_t ms)
{
    return script.at(ms, [](FakeChild&) { fake_send_control(CONTROL_STOP); });
}

FakeChildScript& DumpAt(FakeChildScript& script, uint64_t ms)
{
    return script.at(ms, [](FakeChild&) { fake_send_control(CONTROL_USER_DUMP); });
}

// A launcher that ends after ms without writing anything.
FakeChildScript SilentLauncher(uint64_t ms)
{
    FakeChildScript s;
    s.exit_at(ms, 0);
    return s;
}

// A container that never signals its start and never answers "shutdown".
FakeChildScript DeafContainer()
{
    FakeChildScript s;
    s.reads_input();
    return s;
}

size_t Count(const std::string& haystack, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) ++n;
    return n;
}

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        ResetServiceStatus();
        ReferenceStartTime = 0;
        g_reports.clear();
        fake_on_set_status([](const PlatServiceStatus& s) { g_reports.push_back(TimedReport{fake_now_ms(), s}); });
        // A supervisor that never lets go of a child would poll the virtual
        // clock forever: past two virtual hours every wait and every exit
        // code query fails, which ends every polling loop, and the test
        // fails.
        fake_on_wait([](PlatHandle, uint32_t) {
            static bool tripped;
            if (fake_now_ms() < kVirtualTimeLimitMs) {
                tripped = false;
                return;
            }
            if (tripped) return;
            tripped = true;
            ADD_FAILURE() << "the run did not end within two virtual hours";
            fake_fail("WaitForSingleObject", PLAT_ERROR_INVALID_HANDLE, 1, true);
            fake_fail("GetExitCodeProcess", PLAT_ERROR_INVALID_HANDLE, 1, true);
        });

        fake_fs_mkdir("D:\\svc\\run");
        Param("WorkingDirectory", "D:\\svc");
        Param("JavaExe", "C:\\jre\\bin\\java.exe");
        Param("JavaArgs", "-Xmx64m");
        Param("Classpath", "D:\\orvane\\lib\\agent.jar");
        Param("OrvaneHome", "D:\\orvane");
        Param("UtilDir", "D:\\orvane\\bin");
        Param("TimeoutSeconds", "0");
        Param("ShutdownTimeoutSeconds", "600");
        fake_fs_write(kScriptPath, kScript);
    }

    void TearDown() override
    {
        fake_on_set_status(nullptr);
        fake_on_wait(nullptr);
        LogFile = nullptr;
        DebugEnabled = 0;
        ResetServiceStatus();
    }

    // Puts everything back for the next row of a table within one test.
    void Fresh()
    {
        TearDown();
        SetUp();
    }

    static void Param(const std::string& name, const std::string& value)
    {
        fake_reg_put_sz(kParams, name, value);
    }

    static void Launcher(const FakeChildScript& script, bool everyTime = false)
    {
        fake_add_child(kLauncherMatch, script, everyTime);
    }
    static void Container(const FakeChildScript& script, bool everyTime = false)
    {
        fake_add_child(kContainerMatch, script, everyTime);
    }

    // Runs the service as the service manager does, through its main function.
    static void RunAsService()
    {
        char name[] = "svc";
        char* argv[] = {name, nullptr};
        ServiceMain(1, argv);
    }

    // Runs the body as the -test command does: no handle, every report lost.
    static uint32_t RunAsTest()
    {
        char name[] = "svc";
        char* argv[] = {name, nullptr};
        return RunService(1, argv);
    }

    static PlatServiceStatus FinalReport()
    {
        EXPECT_FALSE(g_reports.empty());
        if (g_reports.empty()) return PlatServiceStatus{};
        return g_reports.back().status;
    }

    static void ExpectSuccessfulEnd()
    {
        PlatServiceStatus last = FinalReport();
        EXPECT_EQ(kStopped, last.current_state);
        EXPECT_EQ(0u, last.win32_exit_code);
        EXPECT_EQ(0u, last.service_specific_exit_code);
    }

    static void ExpectFailedEnd(uint32_t serviceCode)
    {
        PlatServiceStatus last = FinalReport();
        EXPECT_EQ(kStopped, last.current_state);
        EXPECT_EQ((uint32_t)PLAT_ERROR_SERVICE_SPECIFIC_ERROR, last.win32_exit_code);
        EXPECT_EQ(serviceCode, last.service_specific_exit_code);
    }

    // The stop-pending reports with a wait hint: the shutdown command's and
    // the periodic ones while the container ends.
    static size_t PeriodicStopPendingCount()
    {
        size_t n = 0;
        for (const auto& r : g_reports)
            if (r.status.current_state == kStopPending && r.status.wait_hint == 15000) ++n;
        return n;
    }

    static std::vector<uint32_t> States()
    {
        std::vector<uint32_t> states;
        for (const auto& r : g_reports) states.push_back(r.status.current_state);
        return states;
    }

    // The texts of the warning and error events with one id, in order.
    static std::vector<std::string> Texts(uint32_t id)
    {
        std::vector<std::string> texts;
        for (const auto& e : fake_events_with_id(id)) texts.push_back(e.strings.size() > 1 ? e.strings[1] : "");
        return texts;
    }

    static size_t CountChildren(const std::string& match)
    {
        size_t n = 0;
        for (size_t i = 0; i < fake_child_count(); ++i)
            if (fake_child(i).command_line.find(match) != std::string::npos) ++n;
        return n;
    }

    static FakeChild* NthChild(const std::string& match, size_t nth)
    {
        for (size_t i = 0; i < fake_child_count(); ++i)
            if (fake_child(i).command_line.find(match) != std::string::npos && nth-- == 0) return &fake_child(i);
        return nullptr;
    }
};

// --- a normal run ----------------------------------------------------------------

TEST_F(SupervisorTest, NormalStartAndStopReportsTheExactSequence)
{
    PlatHandle out = fake_std_handle(PLAT_STD_OUTPUT);
    PlatHandle err = fake_std_handle(PLAT_STD_ERROR);
    Launcher(fake_launcher_script(0, 300));
    FakeChildScript container = fake_container_script(1000, 400);
    StopAt(container, 5000);
    Container(container);

    RunAsService();

    struct Expected {
        uint32_t state, controls, checkpoint, waitHint;
    } const expected[] = {
        {kStartPending, 0, 1, 15000},    // ServiceMain
        {kStartPending, 0, 2, 15000},    // parameters loaded, log file open
        {kStartPending, 0, 3, 15000},    // pipes made
        {kRunning, 0x105, 0, 15000},     // launcher started
        {kStopPending, 0x105, 1, 0},     // the stop control itself
        {kStopPending, 0x105, 2, 15000}, // "shutdown" written
        {kStopped, 0x105, 0, 0},
    };
    ASSERT_EQ(sizeof expected / sizeof expected[0], g_reports.size());
    for (size_t i = 0; i < g_reports.size(); ++i) {
        const PlatServiceStatus& s = g_reports[i].status;
        EXPECT_EQ(expected[i].state, s.current_state) << "report " << i;
        EXPECT_EQ(expected[i].controls, s.controls_accepted) << "report " << i;
        EXPECT_EQ(expected[i].checkpoint, s.check_point) << "report " << i;
        EXPECT_EQ(expected[i].waitHint, s.wait_hint) << "report " << i;
        EXPECT_EQ(0x10u, s.service_type) << "report " << i;
    }
    ExpectSuccessfulEnd();

    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_STARTED).size());
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
    EXPECT_EQ(2u, fake_events().size());

    ASSERT_EQ(2u, fake_child_count());
    FakeChild& launcher = fake_child(0);
    FakeChild& child = fake_child(1);
    EXPECT_EQ("D:\\svc", launcher.current_directory);
    EXPECT_EQ(1, launcher.inherit_handles);
    EXPECT_EQ(launcher.command_line, launcher.title);
    EXPECT_EQ(0x141u, launcher.startup.flags);
    EXPECT_EQ(kContainerLine, child.command_line);
    EXPECT_EQ("D:\\svc\\run", child.current_directory);
    EXPECT_EQ("D:\\jre\\bin;C:\\Windows\\system32;C:\\Windows", child.path);
    EXPECT_EQ("C:\\Windows\\system32;C:\\Windows", fake_env_get("PATH"));
    EXPECT_EQ("shutdown\n", child.input);
    EXPECT_FALSE(child.terminated);
    EXPECT_FALSE(launcher.terminated);

    // Only the six pipes outlive the run: every process, thread and event
    // handle was closed, and none twice.
    EXPECT_EQ(12, fake_open_handle_count());
    EXPECT_EQ(0, fake_bad_handle_count());
    EXPECT_EQ(0, fake_blocked_read_count());
    ASSERT_EQ(1u, fake_thread_count());
    EXPECT_TRUE(fake_thread(0).ran);
    EXPECT_FALSE(fake_thread(0).terminated);

    // The standard handles are saved once around the pipes and put back.
    EXPECT_EQ(out, fake_std_handle(PLAT_STD_OUTPUT));
    EXPECT_EQ(err, fake_std_handle(PLAT_STD_ERROR));
    EXPECT_EQ(2, fake_call_count("GetStdHandle"));
    EXPECT_EQ(2, fake_call_count("SetStdHandle"));
    // Without debug mode no trace line is written.
    EXPECT_EQ(std::string::npos, fake_fs_read(kLogPath).find("DEBUG:"));
}

TEST_F(SupervisorTest, TheLogFileHoldsTheChildrensOutputByteForByte)
{
    FakeChildScript launcher;
    launcher.out_at(100, "launcher says hello\r\n").out_at(200, "\a0\a\r\n").exit_at(250, 0);
    Launcher(launcher);
    FakeChildScript container = fake_container_script(500, 100);
    container.out_at(700, "container up\r\nwith \x01 odd bytes\n");
    container.err_at(900, "a warning on stderr\n");
    StopAt(container, 2000);
    Container(container);

    RunAsService();

    EXPECT_EQ(std::string("launcher says hello\r\n\a0\a\r\n") + "\b" + "container up\r\nwith \x01 odd bytes\n" +
                  "a warning on stderr\n" + "\a0\a" + "NT Service starting input flusher thread\n" +
                  "NT Service exiting input flusher thread\n",
              fake_fs_read(kLogPath));
    EXPECT_EQ(std::vector<std::string>{"a warning on stderr\n"}, Texts(EVENT_ERROR));
}

TEST_F(SupervisorTest, ContainerOutputCanBeKeptOutOfTheLog)
{
    Param("LogContainerOutput", "FALSE");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = fake_container_script(500, 100);
    container.out_at(600, "secret output\n").err_at(700, "error output\n");
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    std::string log = fake_fs_read(kLogPath);
    EXPECT_EQ(1u, Count(log, "\n<container stdout suppressed from log>\n"));
    EXPECT_EQ(std::string::npos, log.find("secret output"));
    EXPECT_NE(std::string::npos, log.find("error output\n"));
    // The markers still count when the output is not copied.
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_STARTED).size());
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, ContainerEndingWithCodeZeroOnItsOwnEndsTheService)
{
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(200, "\b").out_at(3000, "\a0\a").exit_at(3100, 0);
    Container(container);

    RunAsService();

    EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStartPending, kRunning, kStopped}), States());
    ExpectSuccessfulEnd();
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
}

// --- phase 1 --------------------------------------------------------------------------

TEST_F(SupervisorTest, LauncherWithoutAnyMarkerLeadsToPhaseTwo)
{
    Launcher(SilentLauncher(500));
    FakeChildScript container = fake_container_script(100, 100);
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    EXPECT_EQ(1u, CountChildren(kContainerMatch));
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, AbnormalMarkerAfterANormalOneAbortsTheLaunch)
{
    Param("Debug", "1");
    FakeChildScript launcher;
    launcher.out_at(100, "\a0\a").out_at(300, "\a3\a").exit_at(400, 3);
    Launcher(launcher);
    Container(fake_container_script(100, 100));

    RunAsService();

    EXPECT_EQ(0u, CountChildren(kContainerMatch));
    EXPECT_EQ(std::vector<std::string>{"3"}, Texts(EVENT_LAUNCH_FAILED));
    std::string log = fake_fs_read(kLogPath);
    size_t normal = log.find("DEBUG: Phase 1: Normal exit code (0) detected.\n");
    size_t abnormal = log.find("DEBUG: Phase 1: Abnormal exit code (3) detected.\n");
    EXPECT_NE(std::string::npos, normal);
    EXPECT_NE(std::string::npos, abnormal);
    EXPECT_LT(normal, abnormal);
    ExpectFailedEnd(3);
}

TEST_F(SupervisorTest, FailedLaunchEndsTheRunWithoutAContainer)
{
    FakeChildScript malformed;
    malformed.out_at(100, "\a\a").exit_at(200, 0);
    struct Row {
        FakeChildScript launcher;
        bool withoutScript;
        std::string text;
        uint32_t code;
    } rows[] = {
        // 14 asks for a restart only from a running container.
        {fake_launcher_script(14, 100), false, "14", 14},
        {malformed, false, "999", 999},
        {fake_launcher_script(0, 100), true, "Failed to open container start script (for phase 2)", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Fresh();
        if (row.withoutScript) fake_fs_remove(kScriptPath);
        Launcher(row.launcher);
        RunAsService();
        EXPECT_EQ(std::vector<std::string>{row.text}, Texts(EVENT_LAUNCH_FAILED));
        EXPECT_TRUE(fake_events_with_id(EVENT_CONTAINER_RESTART).empty());
        EXPECT_EQ(0u, CountChildren(kContainerMatch));
        ExpectFailedEnd(row.code);
    }
}

TEST_F(SupervisorTest, StopDuringPhaseOneTerminatesTheLauncher)
{
    fake_fs_write("D:\\svc\\exit.bat", "@echo bye\n");
    FakeChildScript launcher;
    StopAt(launcher, 1000);
    Launcher(launcher);

    RunAsService();

    EXPECT_EQ(std::vector<std::string>{"Service stop requested during container launch - terminating process"},
              Texts(EVENT_WARNING));
    FakeChild* l = NthChild(kLauncherMatch, 0);
    ASSERT_NE(nullptr, l);
    EXPECT_TRUE(l->terminated);
    EXPECT_EQ(0u, l->exit_code);
    EXPECT_LE(l->end_ms - l->start_ms, 1100u) << "the stop is taken up at the next poll";
    EXPECT_EQ("", l->input) << "a launcher gets no shutdown command";
    EXPECT_EQ(0u, CountChildren(kContainerMatch));
    EXPECT_EQ(0u, Requests.StopRequested);
    EXPECT_EQ(1u, CountChildren("exit.bat"));
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, LauncherStderrBecomesErrorEvents)
{
    FakeChildScript launcher;
    launcher.err_at(100, "Error: no boot file\n").out_at(150, "\a2\a").exit_at(200, 2);
    Launcher(launcher);
    RunAsService();
    EXPECT_EQ(std::vector<std::string>{"Error: no boot file\n"}, Texts(EVENT_ERROR));
    EXPECT_NE(std::string::npos, fake_fs_read(kLogPath).find("Error: no boot file\n"));
    ExpectFailedEnd(2);
}

TEST_F(SupervisorTest, TooLongLaunchCommandIsRefused)
{
    Param("JavaArgs", std::string(2000, 'a'));
    Param("OrvaneHome", std::string(2000, 'h'));
    fake_fs_write("D:\\svc\\exit.bat", "@echo bye\n");
    RunAsService();
    EXPECT_EQ(std::vector<std::string>{"The launcher command line is longer than 4095 characters"},
              Texts(EVENT_LAUNCH_FAILED));
    EXPECT_EQ(0u, CountChildren(kLauncherMatch));
    EXPECT_EQ(1u, CountChildren("exit.bat"));
    ExpectFailedEnd(1);
}

// --- phase 2 markers ------------------------------------------------------------------

TEST_F(SupervisorTest, StartMarkerCountsOnceAndBeforeTheExitMarkerOfTheSameChunk)
{
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(300, "\bup\b\a0\a").out_at(400, "\b").exit_at(500, 0);
    Container(container);

    RunAsService();

    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(EVENT_CONTAINER_STARTED, events[0].id);
    EXPECT_EQ(EVENT_CONTAINER_ENDED, events[1].id);
    EXPECT_EQ(1u, events[0].strings.size()) << "information events carry only the source";
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, ContainerFailureIsReportedWithItsCode)
{
    struct Row {
        std::string text;
        uint32_t code;
        FakeChildScript container;
    } rows[] = {
        {"5", 5, {}},
        {"-2", 1, {}},
        {"Container ended without reporting an exit code (process exit status 3)", 1, {}},
        {"999", 999, {}},
    };
    rows[0].container.out_at(100, "\b").out_at(400, "\a5\a").exit_at(500, 5);
    rows[1].container.out_at(100, "\b\a-2\a").exit_at(200, 0);
    rows[2].container.out_at(100, "\b").exit_at(2000, 3);
    // The marker is split over two reads: the first chunk with a BEL gives
    // "999" and the later ones, with a valid code, are not looked at any more.
    rows[3].container.out_at(100, "\b").out_at(500, "bye\a").out_at(700, "0\a").out_at(800, "\a0\a").exit_at(900, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Fresh();
        Launcher(fake_launcher_script(0, 100));
        Container(row.container);
        RunAsService();
        EXPECT_EQ(std::vector<std::string>{row.text}, Texts(EVENT_CONTAINER_FAILED));
        EXPECT_TRUE(fake_events_with_id(EVENT_CONTAINER_ENDED).empty());
        ExpectFailedEnd(row.code);
    }
}

// --- restart ------------------------------------------------------------------------------

TEST_F(SupervisorTest, RestartOnFourteenRunsANewCycleWithTheSameParameters)
{
    fake_fs_write("D:\\svc\\exit.bat", "@echo bye\n");
    FakeChildScript launcher1 = fake_launcher_script(0, 200);
    launcher1.out_at(100, "first launcher\n");
    Launcher(launcher1);
    FakeChildScript container1;
    container1.out_at(100, "\b").out_at(1000, "\a14\a").exit_at(1100, 0);
    // A parameter changed while the service runs is not picked up by the restart.
    container1.at(500, [](FakeChild&) { fake_reg_put_sz(kParams, "JavaArgs", "-Xmx999m"); });
    Container(container1);
    FakeChildScript launcher2 = fake_launcher_script(0, 200);
    launcher2.out_at(100, "second launcher\n");
    // The second launcher writes a new script: the restart reads it again.
    launcher2.at(150, [](FakeChild&) {
        fake_fs_write(kScriptPath, "x\ncd /d \"D:\\svc\\run2\"\nset PATH=D:\\jre2;%PATH%\n"
                                   "\"D:\\jre\\bin\\java.exe\" com.example.Container second\n");
    });
    Launcher(launcher2);
    FakeChildScript container2 = fake_container_script(100, 100);
    StopAt(container2, 1000);
    Container(container2);

    RunAsService();

    EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStartPending, kRunning, kRunning, kStopPending,
                                     kStopPending, kStopped}),
              States());
    ExpectSuccessfulEnd();
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_RESTART).size());
    EXPECT_EQ(2u, fake_events_with_id(EVENT_CONTAINER_STARTED).size());

    FakeChild* l1 = NthChild(kLauncherMatch, 0);
    FakeChild* l2 = NthChild(kLauncherMatch, 1);
    ASSERT_NE(nullptr, l2);
    EXPECT_EQ(l1->command_line, l2->command_line);
    EXPECT_EQ(std::string::npos, l2->command_line.find("-Xmx999m"));
    FakeChild* c2 = NthChild(kContainerMatch, 1);
    ASSERT_NE(nullptr, c2);
    EXPECT_EQ("\"D:\\jre\\bin\\java.exe\" com.example.Container second\n", c2->command_line);
    EXPECT_EQ("D:\\svc\\run2", c2->current_directory);

    // Same pipes, same log file, one exit script.
    EXPECT_EQ(6, fake_call_count("CreatePipe"));
    std::string log = fake_fs_read(kLogPath);
    EXPECT_LT(log.find("first launcher\n"), log.find("second launcher\n"));
    EXPECT_EQ(1u, CountChildren("exit.bat"));
    EXPECT_EQ(12, fake_open_handle_count());
}

TEST_F(SupervisorTest, RestartAnsweringShutdownStartsANewCycleThatTheStopEnds)
{
    Launcher(fake_launcher_script(0, 100));
    Launcher(fake_launcher_script(0, 60000));
    FakeChildScript container1;
    container1.out_at(100, "\b").exit_on_input("shutdown\n", 100, 0, "\a14\a");
    StopAt(container1, 1000);
    Container(container1);

    RunAsService();

    // The new cycle begins, as a restart request always does, but the stop
    // that the container answered is kept: its launcher is ended at once.
    EXPECT_EQ(2u, CountChildren(kLauncherMatch));
    EXPECT_EQ(1u, CountChildren(kContainerMatch));
    FakeChild* l2 = NthChild(kLauncherMatch, 1);
    ASSERT_NE(nullptr, l2);
    EXPECT_TRUE(l2->terminated);
    EXPECT_LE(l2->end_ms - l2->start_ms, 100u) << "terminated at its first poll";
    EXPECT_EQ(std::vector<std::string>{"Service stop requested during container launch - terminating process"},
              Texts(EVENT_WARNING));
    EXPECT_EQ(kStopped, States().back());
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, StopAfterTheExitMarkerWaitsForTheNextLauncher)
{
    Launcher(fake_launcher_script(0, 100));
    Launcher(fake_launcher_script(0, 60000));
    FakeChildScript container;
    container.reads_input().out_at(100, "\b").out_at(1000, "\a14\a").exit_at(3000, 0);
    StopAt(container, 1500);
    Container(container);

    RunAsService();

    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("", c->input) << "no shutdown after the container announced its end";
    EXPECT_FALSE(c->terminated);
    FakeChild* l2 = NthChild(kLauncherMatch, 1);
    ASSERT_NE(nullptr, l2);
    EXPECT_TRUE(l2->terminated);
    EXPECT_LE(l2->end_ms - l2->start_ms, 100u) << "terminated at its first poll";
    EXPECT_EQ(std::vector<std::string>{"Service stop requested during container launch - terminating process"},
              Texts(EVENT_WARNING));
    EXPECT_EQ(1u, CountChildren(kContainerMatch));
    EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStartPending, kRunning, kStopPending, kRunning,
                                     kStopped}),
              States());
    ExpectSuccessfulEnd();
}

// --- stopping -------------------------------------------------------------------------------

TEST_F(SupervisorTest, StopInPhaseTwoSendsShutdownOnceAndReportsEveryFiveSeconds)
{
    Param("Debug", "yes");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(100, "\b").exit_on_input("shutdown\n", 12500, 0, "");
    StopAt(container, 2000);
    Container(container);

    RunAsService();

    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("shutdown\n", c->input);

    // After the control's own report: the one of the shutdown command, then
    // one every 5 s until the container has ended.
    std::vector<TimedReport> pending;
    for (const auto& r : g_reports)
        if (r.status.current_state == kStopPending) pending.push_back(r);
    ASSERT_EQ(4u, pending.size());
    EXPECT_EQ(0u, pending[0].status.wait_hint);
    for (size_t i = 1; i < pending.size(); ++i) {
        EXPECT_EQ(15000u, pending[i].status.wait_hint);
        EXPECT_EQ(i + 1, pending[i].status.check_point);
    }
    for (size_t i = 2; i < pending.size(); ++i) {
        uint64_t gap = pending[i].at_ms - pending[i - 1].at_ms;
        EXPECT_GE(gap, 5000u);
        EXPECT_LT(gap, 5200u);
    }
    std::string log = fake_fs_read(kLogPath);
    EXPECT_EQ(2u, Count(log, "DEBUG: reporting SERVICE_STOP_PENDING to SCM ("));
    // The first periodic line shows the tick of the stop request.
    char first[80];
    snprintf(first, sizeof first, "DEBUG: reporting SERVICE_STOP_PENDING to SCM (%ld)\n",
             (long)(1000000 + pending[1].at_ms));
    EXPECT_NE(std::string::npos, log.find(first)) << log;
    EXPECT_TRUE(fake_events_with_id(EVENT_CONTAINER_FAILED).empty())
        << "a container that ends after shutdown without a marker has answered the stop";
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, ShutdownTimeoutTerminatesTheContainer)
{
    Param("ShutdownTimeoutSeconds", "20");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = DeafContainer();
    container.out_at(100, "\b");
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_TRUE(c->terminated);
    EXPECT_EQ(0u, c->exit_code);
    // Limits count in whole seconds of wall-clock time, so the stop's own
    // second may be cut short.
    uint64_t sinceStop = c->end_ms - (c->start_ms + 1000);
    EXPECT_GE(sinceStop, 19000u);
    EXPECT_LE(sinceStop, 20200u);
    EXPECT_EQ(std::vector<std::string>{"Elapsed time exceeds shutdown timeout"}, Texts(EVENT_ERROR));
    EXPECT_TRUE(fake_events_with_id(EVENT_CONTAINER_FAILED).empty());
    EXPECT_EQ(1u + 3u, PeriodicStopPendingCount()) << "the shutdown command's report and one at 5, 10 and 15 s";
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, ShutdownTimeoutZeroNeverTerminates)
{
    Param("ShutdownTimeoutSeconds", "0");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = DeafContainer();
    container.out_at(100, "\b").exit_at(40000, 0);
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    FakeChild* c = NthChild(kContainerMatch, 0);
    EXPECT_FALSE(c->terminated);
    EXPECT_TRUE(fake_events_with_id(EVENT_ERROR).empty());
    EXPECT_EQ(1u + 7u, PeriodicStopPendingCount());
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, ContainerAnnouncingAFailureWhileStoppingFailsTheService)
{
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(100, "\b").exit_on_input("shutdown\n", 100, 9, "\a9\a");
    StopAt(container, 1000);
    Container(container);
    RunAsService();
    EXPECT_EQ(std::vector<std::string>{"9"}, Texts(EVENT_CONTAINER_FAILED));
    ExpectFailedEnd(9);
}

// --- time limits -------------------------------------------------------------------------------

TEST_F(SupervisorTest, SixMinuteWarningNamesThePhaseAndCountsFromTheLauncherStart)
{
    struct Row {
        uint64_t launcherMs;
        bool succeeds;
        std::vector<std::string> warnings;
        FakeChildScript container;
    } rows[] = {
        // A warning in phase 1 suppresses the one of phase 2.
        {400000, true, {"Container can't launch (phase 1). Elapsed time 6 minutes."}, {}},
        // 10 s of launcher and 355 s of a container that never signals its
        // start: 365 s since the launcher started.
        {10000, false, {"Container can't start (phase 2). Elapsed time 6 minutes."}, {}},
        // A container that signalled its start gets no warning.
        {100, true, {}, {}},
    };
    rows[0].container.out_at(400000, "\a0\a").exit_at(400100, 0);
    rows[1].container.out_at(355000, "\a0\a").exit_at(355000, 0);
    rows[2].container.out_at(1000, "\b").out_at(400000, "\a0\a").exit_at(400100, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.launcherMs);
        Fresh();
        Launcher(fake_launcher_script(0, row.launcherMs));
        Container(row.container);
        RunAsService();
        EXPECT_EQ(row.warnings, Texts(EVENT_WARNING));
        if (row.succeeds) ExpectSuccessfulEnd();
    }
}

TEST_F(SupervisorTest, SixMinuteWarningIsWrittenOncePerCycle)
{
    Launcher(fake_launcher_script(0, 370000), true);
    FakeChildScript container1;
    container1.out_at(100, "\b").out_at(1000, "\a14\a").exit_at(1100, 0);
    Container(container1);
    FakeChildScript container2;
    container2.out_at(400000, "\a0\a").exit_at(400100, 0);
    Container(container2);

    RunAsService();

    EXPECT_EQ((std::vector<std::string>{"Container can't launch (phase 1). Elapsed time 6 minutes.",
                                        "Container can't launch (phase 1). Elapsed time 6 minutes."}),
              Texts(EVENT_WARNING));
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, StartTimeoutCountsFromTheLauncherStartAndEndsTheChildOfItsPhase)
{
    // In phase 1 the launcher never ends; in phase 2 a container that never
    // signals its start follows 5 s of launcher.
    for (int phase : {1, 2}) {
        SCOPED_TRACE(phase);
        Fresh();
        Param("TimeoutSeconds", "30");
        if (phase == 1) {
            Launcher(FakeChildScript());
        } else {
            Launcher(fake_launcher_script(0, 5000));
            Container(DeafContainer());
        }

        RunAsService();

        FakeChild* l = NthChild(kLauncherMatch, 0);
        FakeChild* ended = phase == 1 ? l : NthChild(kContainerMatch, 0);
        ASSERT_NE(nullptr, ended);
        EXPECT_TRUE(ended->terminated);
        EXPECT_GE(ended->end_ms - l->start_ms, 30000u);
        EXPECT_LE(ended->end_ms - l->start_ms, phase == 1 ? 30100u : 30200u);
        EXPECT_EQ(std::vector<std::string>{"Elapsed time exceed timeout"}, Texts(EVENT_WARNING));
        EXPECT_EQ(std::vector<std::string>{"1"}, Texts(EVENT_LAUNCH_FAILED));
        std::vector<FakeEvent> events = fake_events();
        ASSERT_EQ(2u, events.size());
        EXPECT_EQ(EVENT_WARNING, events[0].id) << "the warning comes before the error";
        EXPECT_EQ(phase == 1 ? 0u : 1u, CountChildren(kContainerMatch));
        ExpectFailedEnd(1);
    }
}

TEST_F(SupervisorTest, AStopRequestRestartsTheStartTimeoutClock)
{
    Param("TimeoutSeconds", "30");
    Launcher(fake_launcher_script(0, 5000));
    FakeChildScript container = DeafContainer();
    StopAt(container, 20000);
    Container(container);

    RunAsService();

    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_TRUE(c->terminated);
    uint64_t sinceStop = c->end_ms - (c->start_ms + 20000);
    EXPECT_GE(sinceStop, 29000u);
    EXPECT_LE(sinceStop, 30200u);
    EXPECT_EQ(std::vector<std::string>{"Elapsed time exceed timeout"}, Texts(EVENT_WARNING));
    ExpectFailedEnd(1);
}

TEST_F(SupervisorTest, NegativeTimeoutsAreNeverReached)
{
    Param("TimeoutSeconds", "-5");
    Param("ShutdownTimeoutSeconds", "-1");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = DeafContainer();
    container.exit_at(50000, 0);
    StopAt(container, 20000);
    Container(container);

    RunAsService();

    EXPECT_FALSE(NthChild(kContainerMatch, 0)->terminated);
    EXPECT_TRUE(fake_events_with_id(EVENT_LAUNCH_FAILED).empty());
    EXPECT_TRUE(fake_events_with_id(EVENT_ERROR).empty());
}

TEST(ElapsedAtLeast, ComparesWholeSecondsFromTheReferenceTime)
{
    fake_reset();
    ReferenceStartTime = plat_time_seconds();
    EXPECT_TRUE(ElapsedAtLeast(0));
    EXPECT_FALSE(ElapsedAtLeast(1));
    fake_advance(999);
    EXPECT_FALSE(ElapsedAtLeast(1));
    fake_advance(1);
    EXPECT_TRUE(ElapsedAtLeast(1));
    // A limit read from a negative parameter is more than 68 years.
    EXPECT_FALSE(ElapsedAtLeast((uint32_t)-5));
    ReferenceStartTime = 0;
    EXPECT_TRUE(ElapsedAtLeast(1000000000u)) << "zero means long ago";
}

// --- dump ----------------------------------------------------------------------------------------

TEST_F(SupervisorTest, DumpGoesToTheLauncherInPhaseOneAndToTheContainerInPhaseTwo)
{
    FakeChildScript launcher = fake_launcher_script(0, 3000);
    DumpAt(launcher, 1000);
    Launcher(launcher);
    FakeChildScript container = fake_container_script(100, 100);
    DumpAt(container, 2000);
    StopAt(container, 4000);
    Container(container);

    RunAsService();

    FakeChild* l = NthChild(kLauncherMatch, 0);
    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ((std::vector<uint32_t>{l->pid, c->pid}), fake_ctrl_breaks_delivered());
    EXPECT_NE(std::string::npos, fake_fs_read(kLogPath).find("Full thread dump\n"));
    EXPECT_EQ(0u, Requests.DumpRequested);
    ExpectSuccessfulEnd();
}

// --- failures of the platform ----------------------------------------------------------------------

TEST_F(SupervisorTest, EachPipeFailureHasItsOwnEventInPipeOrder)
{
    const char* texts[] = {
        "initPipe for the Launchers STDOUT failed",     "initPipe for the Containers STDOUT failed",
        "initPipe for the Launchers STDERR failed",     "initPipe for the Containers STDERR failed",
        "initInputPipe for the Launchers STDIN failed", "initInputPipe for the Containers STDIN failed",
    };
    for (int n = 1; n <= 6; ++n) {
        SetUp();
        fake_fs_write("D:\\svc\\exit.bat", "@echo bye\n");
        fake_fail("CreatePipe", PLAT_ERROR_NOT_ENOUGH_MEMORY, n);

        RunAsService();

        EXPECT_EQ(std::vector<std::string>{texts[n - 1]}, Texts(EVENT_WARNING)) << "pipe " << n;
        EXPECT_EQ(1u, fake_events().size()) << "pipe " << n;
        EXPECT_EQ(n, fake_call_count("CreatePipe")) << "no pipe is made after the failing one";
        // Standard output is saved before pipe 1, standard error before pipe 3.
        EXPECT_EQ(n >= 3 ? 2 : 1, fake_call_count("GetStdHandle")) << "pipe " << n;
        EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStopped}), States()) << "pipe " << n;
        EXPECT_EQ(0u, CountChildren(kLauncherMatch));
        EXPECT_EQ(1u, CountChildren("exit.bat")) << "pipe " << n;
        ExpectFailedEnd(1);
        TearDown();
    }
}

TEST_F(SupervisorTest, FailingToRestoreAStandardHandleEndsTheRun)
{
    const char* texts[] = {"SetStdHandle for STDOUT after StartProcess failed",
                           "SetStdHandle for STDERR after StartProcess failed"};
    for (int n = 1; n <= 2; ++n) {
        SetUp();
        Launcher(fake_launcher_script(0, 100));
        fake_fail("SetStdHandle", PLAT_ERROR_INVALID_HANDLE, n);

        RunAsService();

        EXPECT_EQ(std::vector<std::string>{texts[n - 1]}, Texts(EVENT_WARNING));
        FakeChild* l = NthChild(kLauncherMatch, 0);
        ASSERT_NE(nullptr, l);
        EXPECT_TRUE(l->terminated) << "the launcher does not outlive the run";
        EXPECT_EQ(12, fake_open_handle_count()) << "only the six pipes stay open";
        EXPECT_EQ(0u, CountChildren(kContainerMatch));
        EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStartPending, kRunning, kStopped}), States());
        ExpectFailedEnd(1);
        TearDown();
    }
}

TEST_F(SupervisorTest, LauncherThatCannotStartGivesTheSystemText)
{
    fake_fs_write("D:\\svc\\exit.bat", "@echo bye\n");
    fake_fail("CreateProcessA", PLAT_ERROR_FILE_NOT_FOUND, 1);
    RunAsService();
    EXPECT_EQ(std::vector<std::string>{"The system cannot find the file specified.\r\n"}, Texts(EVENT_LAUNCH_FAILED));
    EXPECT_EQ((std::vector<uint32_t>{kStartPending, kStartPending, kStartPending, kStopped}), States());
    EXPECT_EQ(1u, CountChildren("exit.bat"));
    ExpectFailedEnd(1);
}

TEST_F(SupervisorTest, ContainerThatCannotStartEndsTheService)
{
    Launcher(fake_launcher_script(0, 100));
    fake_fail("CreateProcessA", PLAT_ERROR_ACCESS_DENIED, 2);
    RunAsService();
    EXPECT_EQ(std::vector<std::string>{"Access is denied.\r\n"}, Texts(EVENT_LAUNCH_FAILED));
    EXPECT_EQ(0u, CountChildren(kContainerMatch));
    ExpectFailedEnd(1);
}

TEST_F(SupervisorTest, FlusherThatCannotStartEndsTheServiceWithoutTheContainer)
{
    // The thread cannot be created, or before it the block it works on cannot
    // be allocated: without a PATH override the container start allocates
    // nothing, so the next allocation after the launcher is the block's.
    for (bool blockFails : {false, true}) {
        SCOPED_TRACE(blockFails ? "block" : "thread");
        Fresh();
        Param("Debug", "1");
        FakeChildScript launcher = fake_launcher_script(0, 100);
        if (blockFails) {
            fake_fs_write(kScriptPath, "x\ncd /d \"D:\\svc\\run\"\nrem no path\n\"java\" com.example.Container\n");
            launcher.at(99, [](FakeChild&) { fake_fail("HeapAlloc", 0, 1); });
        } else {
            fake_fail("CreateThread", PLAT_ERROR_NOT_ENOUGH_MEMORY, 1);
        }
        Launcher(launcher);
        Container(fake_container_script(100, 100));

        RunAsService();

        const std::string text = "Not enough memory resources are available to process this command.\r\n";
        EXPECT_EQ(std::vector<std::string>{text}, Texts(EVENT_LAUNCH_FAILED));
        EXPECT_NE(std::string::npos,
                  fake_fs_read(kLogPath).find("DEBUG: Unable to create Input Flusher thread: " + text + "\n"));
        EXPECT_EQ(blockFails ? 0 : 1, fake_call_count("CreateThread"));
        FakeChild* c = NthChild(kContainerMatch, 0);
        ASSERT_NE(nullptr, c);
        EXPECT_TRUE(c->terminated) << "the container does not outlive the run";
        EXPECT_EQ(12, fake_open_handle_count()) << "only the six pipes stay open";
        ExpectFailedEnd(1);
    }
}

TEST_F(SupervisorTest, AHangingFlusherIsTerminatedAfterTenSeconds)
{
    fake_threads_hang(true);
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(100, "\b").out_at(500, "\a0\a").exit_at(600, 0);
    Container(container);

    RunAsService();

    ASSERT_EQ(1u, fake_thread_count());
    EXPECT_TRUE(fake_thread(0).terminated);
    EXPECT_EQ(12, fake_open_handle_count());
    ExpectSuccessfulEnd();
}

TEST_F(SupervisorTest, FailedWaitDoesNotEndThePollWhileTheChildRuns)
{
    FakeChildScript launcher = SilentLauncher(100000);
    launcher.at(1000, [](FakeChild&) { fake_fail("WaitForSingleObject", PLAT_ERROR_INVALID_HANDLE, 1); });
    Launcher(launcher);
    FakeChildScript container = fake_container_script(100, 100);
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    EXPECT_EQ(1u, CountChildren(kContainerMatch));
    // The launcher's exit code still said it ran, so the container waited
    // for its end.
    EXPECT_FALSE(NthChild(kLauncherMatch, 0)->terminated);
    EXPECT_LE(NthChild(kLauncherMatch, 0)->end_ms, NthChild(kContainerMatch, 0)->start_ms);
    ExpectSuccessfulEnd();
}

// --- tracing ---------------------------------------------------------------------------------------

TEST_F(SupervisorTest, DebugTraceShowsEachStepAndHidesThePassword)
{
    Param("Debug", "1");
    Param("PBE", "top secret");
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = fake_container_script(100, 100);
    StopAt(container, 1000);
    Container(container);

    RunAsService();

    FakeChild* l = NthChild(kLauncherMatch, 0);
    FakeChild* c = NthChild(kContainerMatch, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_NE(std::string::npos, l->command_line.find(" -Dlumora.mf.password=top secret -Dlumora.home="));

    std::string masked = l->command_line;
    masked.replace(masked.find("top secret"), 10, "********");
    std::string log = fake_fs_read(kLogPath);
    EXPECT_EQ(std::string::npos, log.find("top secret -D")) << "the password must not reach the log";
    const std::string lines[] = {
        "DEBUG: init service complete\n",
        "DEBUG: phase 1 command=\n" + masked + "\n",
        "DEBUG: Phase 1 - CreateProcess complete, pid=" + std::to_string(l->pid) + "\n",
        "DEBUG: Phase 1: Normal exit code (0) detected.\n",
        std::string("DEBUG: phase 2 working directory2=D:\\svc\\run\nDEBUG: phase 2 command=\n") + kContainerLine + "\n",
        "DEBUG: Phase 2 - CreateProcess complete, pid=" + std::to_string(c->pid) + "\n",
    };
    size_t at = 0;
    for (const auto& line : lines) {
        size_t found = log.find(line, at);
        EXPECT_NE(std::string::npos, found) << "missing or out of order: " << line;
        if (found != std::string::npos) at = found + line.size();
    }
}

// --- the -test mode ------------------------------------------------------------------------------

TEST_F(SupervisorTest, TestModeRunsTheSameBodyWithoutTheServiceManager)
{
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container;
    container.out_at(100, "\bcontainer output\n").out_at(2000, "\a0\a").exit_at(2100, 0);
    Container(container);

    EXPECT_EQ(0u, RunAsTest());

    EXPECT_TRUE(fake_status_reports().empty()) << "no report reaches a service manager";
    EXPECT_GE(fake_status_attempts().size(), 3u) << "the reports are still attempted";
    EXPECT_NE(std::string::npos, fake_fs_read(kLogPath).find("container output\n"));
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
}

TEST_F(SupervisorTest, TestModeStopsOnAConsoleShutdownEvent)
{
    Launcher(fake_launcher_script(0, 100));
    FakeChildScript container = fake_container_script(100, 100);
    container.at(1000, [](FakeChild&) { fake_send_console_event(6); });
    Container(container);

    EXPECT_EQ(0u, RunAsTest());
    EXPECT_EQ("shutdown\n", NthChild(kContainerMatch, 0)->input);
}

TEST_F(SupervisorTest, TestModeReturnsTheFailureCode)
{
    Launcher(fake_launcher_script(7, 100));
    EXPECT_EQ(7u, RunAsTest());
}

}  // namespace
