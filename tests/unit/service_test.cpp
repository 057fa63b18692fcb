// Whole service runs on the virtual clock: what the service manager, the
// event log, the children and the log file see, from the first START_PENDING
// to the final STOPPED.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "diag/log_file.h"
#include "runs.h"
#include "service/child_pipes.h"
#include "service/container_input.h"
#include "service/service_main.h"
#include "service/service_status.h"

namespace {

class ServiceRun : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    // A fault armed to fire once that never fired tested nothing.
    void TearDown() override { EXPECT_EQ(fake_unfired_faults(), ""); }
    void reset()
    {
        fake_reset();
        set_up_service();
    }
};

// A child that reads its input and never writes, answers or ends by itself,
// and a container that comes up and then does the same.
const FakeScript SILENT = {reads_input()};
const FakeScript DEAF_CONTAINER = {writes(200, "\b"), reads_input()};

TEST_F(ServiceRun, StartsTheContainerThatTheLauncherDescribesAndStopsItWithShutdown)
{
    fake_control_at(1000, CONTROL_USER_DUMP);
    fake_control_at(3000, CONTROL_STOP);
    EXPECT_EQ(run_as_service({LAUNCHER, CONTAINER}), R"(status START_PENDING cp=1 wait=15000 accept=0x0 exit=0/0
status START_PENDING cp=2 wait=15000 accept=0x0 exit=0/0
status START_PENDING cp=3 wait=15000 accept=0x0 exit=0/0
child 1000 started
child 1000 in job 0
status RUNNING cp=0 wait=15000 accept=0x105 exit=0/0
child 1000 ended 0
child 1004 started
child 1004 in job 0
event 0x40000001 type 4 "svc"
status RUNNING cp=0 wait=0 accept=0x105 exit=0/0
control 129 -> 0
ctrl-break child 1004
status STOP_PENDING cp=1 wait=0 accept=0x105 exit=0/0
control 1 -> 0
stdin of child 1004 "shutdown\n"
status STOP_PENDING cp=2 wait=15000 accept=0x105 exit=0/0
child 1004 ended 0
event 0x40000002 type 4 "svc"
status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    EXPECT_EQ(log_text(), "launched\n"
        "\a0\aup\n"
        "\bFull thread dump\n"
        "bye\n"
        "\a0\aNT Service starting input flusher thread\r\n"
        "NT Service exiting input flusher thread\r\n");
    EXPECT_EQ(fake_child_details(), R"(""C:\jre\bin\java.exe"  -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp "a.jar;b.jar" -Dno_pwd_encryption=true -Dlumora.home="C:\orvane" -Dlumora.mf.winsvc.utilDir="C:\talvex" com.lumora.mf.framework.agent.ci.LaunchContainer "container.ini"" dir=C:\svc PATH=C:\Windows\system32 flags=0x224 startup=0x141/0 title=1 inherit=1
""C:\jre\bin\java.exe" -cp c.jar Container\n" dir=C:\svc\run PATH=C:\jre\bin;C:\Windows\system32 flags=0x224 startup=0x141/0 title=1 inherit=1
)");
    EXPECT_EQ(fake_live_children(), 0);
    EXPECT_EQ(open_handles(), 0);
}

TEST_F(ServiceRun, RestartsOnCodeFourteenWithoutSwallowingAStopAnsweredByIt)
{
    FakeScript restarting = {writes(200, "\b"), writes(1000, "\a14\a"), ends_with(1010, 14)};
    FakeScript answeringStopWithRestart = {writes(200, "\b"), answers_shutdown_with("\a14\a")};
    fake_control_at(5000, CONTROL_STOP);
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, restarting, LAUNCHER, answeringStopWithRestart, LAUNCHER}),
                         {"in job", "event", "terminate", "RUNNING", "STOP_PENDING cp=3", "STOPPED"}),
              R"(child 1000 in job 0
status RUNNING cp=0 wait=15000 accept=0x105 exit=0/0
child 1004 in job 0
event 0x40000001 type 4 "svc"
event 0x40000007 type 4 "svc"
event 0x80000005 type 2 "svc" "Restart of the container delayed by 1 s after 1 quick restart"
child 1008 in job 1
status RUNNING cp=0 wait=15000 accept=0x105 exit=0/0
child 1012 in job 1
event 0x40000001 type 4 "svc"
event 0x40000007 type 4 "svc"
child 1016 in job 2
status STOP_PENDING cp=3 wait=15000 accept=0x105 exit=0/0
event 0x80000005 type 2 "svc" "Service stop requested during container launch - terminating process"
terminate child 1016
status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
}

// What ends a run on its own: the events, and the exit code the service
// manager is given.
TEST_F(ServiceRun, FailuresEndTheRunWithAnEventAndTheirExitCode)
{
    const std::string outside = "event 0x80000005 type 2 \"svc\" \"Launcher and container run without a job object and "
                                "may outlive the service - system text 2.\\r\\n\"\n";
    const FakeScript okContainer = {writes(200, "\b\a0\a"), ends_with(210, 0)};
    const std::string startedAndEnded = "event 0x40000001 type 4 \"svc\"\nevent 0x40000002 type 4 \"svc\"\n";
    struct Row {
        const char* what;
        std::vector<FakeScript> children;
        const char* fail;   // a call that fails once, with error 2, at its nth call
        int nth;            // -1: the launch command is too long
        const char* exit;   // the win32/service-specific exit codes
        std::string expected;
    } rows[] = {
        {"launcher announces 3", {{writes(100, "\a3\a"), ends_with(110, 3)}}, "", 0, "1066/3",
         "event 0xc0000003 type 1 \"svc\" \"3\"\n"},
        {"launcher's later marker is abnormal", {{writes(100, "\a0\a"), writes(150, "x\a7\ay\a0\a"), ends_with(160, 7)}}, "",
         0, "1066/7", "event 0xc0000003 type 1 \"svc\" \"7\"\n"},
        {"launcher's marker straddles a read", {{writes(100, std::string(8190, 'l') + "\a0\a"), ends_with(110, 0)}, okContainer},
         "", 0, "0/0", startedAndEnded},
        {"launcher ends with only a stray BEL", {{writes(100, "done\a\n"), ends_with(110, 0)}}, "", 0, "1066/999",
         "event 0xc0000003 type 1 \"svc\" \"999\"\n"},
        {"container's markers after NUL bytes, one in two writes", {LAUNCHER, {writes(200, std::string("up\0 \n\b\0\a1", 9)),
         writes(300, "4\a"), ends_with(310, 14)}, LAUNCHER, okContainer}, "", 0, "0/0",
         "event 0x40000001 type 4 \"svc\"\nevent 0x40000007 type 4 \"svc\"\nevent 0x80000005 type 2 \"svc\" "
         "\"Restart of the container delayed by 1 s after 1 quick restart\"\nevent 0x40000001 type 4 \"svc\"\n"
         "event 0x40000002 type 4 \"svc\"\n"},
        {"container ends with only a stray BEL", {LAUNCHER, {writes(200, "\bBuild finished\a (beep)\n"), ends_with(300, 0)}},
         "", 0, "1066/999", "event 0x40000001 type 4 \"svc\"\nevent 0xc0000004 type 1 \"svc\" \"999\"\n"},
        {"launcher without marker, container ends without one", {{ends_with(100, 0)}, {writes(200, "\b"), ends_with(300, 3)}},
         "", 0, "1066/1",
         "event 0x40000001 type 4 \"svc\"\nevent 0xc0000004 type 1 \"svc\" \"none announced (process exit "
         "status 3)\"\n"},
        {"container announces 5", {LAUNCHER, {writes(200, "\b"), writes(300, "\a5\a"), ends_with(310, 5)}}, "", 0, "1066/5",
         "event 0x40000001 type 4 \"svc\"\nevent 0xc0000004 type 1 \"svc\" \"5\"\n"},
        {"container announces -2", {LAUNCHER, {writes(200, "\a-2\a"), ends_with(310, 0)}}, "", 0, "1066/1",
         "event 0xc0000004 type 1 \"svc\" \"-2\"\n"},
        {"container announces 0 on its own", {LAUNCHER, okContainer}, "", 0, "0/0",
         startedAndEnded},
        {"launcher cannot start", {}, "CreateProcessA", 1, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"system text 2.\\r\\n\"\n"},
        {"container cannot start", {LAUNCHER}, "CreateProcessA", 2, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"system text 2.\\r\\n\"\n"},
        {"no start script", {LAUNCHER}, "fopen", 1, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"Failed to open container start script (for phase 2)\"\n"},
        {"standard output not restored", {SILENT}, "SetStdHandle", 1, "1066/1",
         "event 0x80000005 type 2 \"svc\" \"SetStdHandle for STDOUT after StartProcess failed\"\nterminate child 1000\n"},
        {"standard error not restored", {SILENT}, "SetStdHandle", 2, "1066/1",
         "event 0x80000005 type 2 \"svc\" \"SetStdHandle for STDERR after StartProcess failed\"\nterminate child 1000\n"},
        {"no flusher thread", {LAUNCHER, DEAF_CONTAINER}, "CreateThread", 1, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"system text 2.\\r\\n\"\nterminate child 1004\n"},
        {"no memory for the flusher", {LAUNCHER, DEAF_CONTAINER}, "HeapAlloc", 1, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"system text 14.\\r\\n\"\n"},
        {"launcher ends with status 1 and no marker", {{ends_with(100, 1)}}, "", 0, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"The launcher ended with process exit status 1 and no exit code\"\n"},
        {"no job for either cycle", {LAUNCHER, {writes(200, "\b\a14\a"), ends_with(300, 14)}, {ends_with(100, 1)}},
         "CreateJobObjectA", 1, "1066/1",
         outside + "event 0x40000001 type 4 \"svc\"\nevent 0x40000007 type 4 \"svc\"\nevent 0x80000005 type 2 "
                   "\"svc\" \"Restart of the container delayed by 1 s after 1 quick restart\"\nevent 0xc0000003 "
                   "type 1 \"svc\" \"The launcher ended with process exit status 1 and no exit code\"\n"},
        {"a child outside the job", {LAUNCHER, {writes(200, "\b\a0\a"), ends_with(300, 0)}}, "AssignProcessToJobObject", 1,
         "0/0", outside + startedAndEnded},
        {"launch command too long", {}, "", -1, "1066/1",
         "event 0xc0000003 type 1 \"svc\" \"The launcher command line is longer than 32766 characters\"\n"},
        {"a failed wait while the launcher runs is not its end", {LAUNCHER, okContainer},
         "WaitForMultipleObjects", 1, "0/0", startedAndEnded},
        {"launcher cannot be watched", {SILENT}, "GetExitCodeProcess", 1, "1066/1",
         "event 0xc0000006 type 1 \"svc\" \"The launcher process can no longer be watched - system text "
         "2.\\r\\n\"\nterminate child 1000\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // With FailureAction "restart" a failure is followed by one warning
        // and, after the throttle's wait, a new cycle, which the stop at 8 s
        // ends.
        for (bool restart : {false, true}) {
            reset();
            if (row.nth < 0) put_parameter("JavaArgs", std::string(20000, 'j')), put_parameter("Classpath", std::string(20000, 'c'));
            if (row.nth > 0) fake_fail(row.fail, 2, row.nth, row.fail == std::string("CreateJobObjectA"));
            // A child that cannot be watched: its wait fails and so does the question for its exit code.
            if (row.fail == std::string("GetExitCodeProcess")) fake_fail("WaitForMultipleObjects", 6, 1);
            std::vector<FakeScript> children = row.children;
            if (restart) {
                put_parameter("FailureAction", "restart");
                children.insert(children.end(), {LAUNCHER, CONTAINER});
                fake_control_at(8000, CONTROL_STOP);
            }
            std::string t = run_as_service(children), code = strchr(row.exit, '/') + 1;
            bool failed = std::string(row.exit) != "0/0";
            if (!restart) {
                EXPECT_EQ(lines_with(t, {"event", "terminate"}), row.expected);
            } else if (failed) {
                EXPECT_NE(t.find("failed with exit code " + code + "; a new launch cycle starts in "), std::string::npos) << t;
            }
            EXPECT_NE(t.find(std::string("STOPPED cp=0 wait=0 accept=0x105 exit=") + (restart ? "0/0" : row.exit) + "\n"),
                      std::string::npos);
            EXPECT_EQ(fake_live_children(), 0);
        }
    }
}

// With FailureAction "restart" (each kind of failure: the table above) the
// waits double as the throttle's do, at least 1 s and at most 60 s without a
// ceiling; a stop during the wait ends the run with 0; in the console a
// failure ends the run.
TEST_F(ServiceRun, AFailedCycleStartsANewOneWithFailureActionRestart)
{
    const FakeScript fails5 = {writes(200, "\b\a5\a"), ends_with(210, 5)};
    const FakeScript L3 = {writes(100, "\a3\a"), ends_with(110, 3)};
    auto upThen = [](int code) {
        std::string marker = "\a" + std::to_string(code) + "\a";
        return FakeScript{writes(200, "\b"), writes(70000, marker), ends_with(70010, code)};
    };
    struct Row {
        const char* what;
        std::vector<FakeScript> children;
        uint64_t stopAt;
        std::string expected;   // the warnings' delays and exit codes, the launchers' starts, the end
    } rows[] = {
        {"launchers announcing 3, without a ceiling", {L3, L3, LAUNCHER, CONTAINER}, 8000, "3 1|3 2|0/0"},
        {"a stop during the wait", {LAUNCHER, fails5}, 500, "5 1|0/0"},
        {"container up for a minute, then 5", {LAUNCHER, upThen(5), LAUNCHER, CONTAINER}, 80000, "5 1|0/0"},
        {"launchers failing after a long restart", {LAUNCHER, upThen(14), L3, L3, LAUNCHER, CONTAINER}, 80000, "3 1|3 2|0/0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        put_parameter("FailureAction", "Restart");
        if (strstr(row.what, "without a ceiling")) put_parameter("RestartDelayMaxSeconds", "0");
        fake_control_at(row.stopAt, CONTROL_STOP);
        std::string t = run_as_service(row.children), seen;
        for (size_t at = t.find("exit code "); at != std::string::npos; at = t.find("exit code ", at + 1))
            seen += t.substr(at + 10, t.find(';', at) - at - 10) + " " + t.substr(t.find("starts in ", at) + 10, 1) + "|";
        size_t end = t.find("exit=", t.find("status STOPPED"));
        EXPECT_EQ(seen + t.substr(end + 5, t.find('\n', end) - end - 5), row.expected) << t;
        EXPECT_EQ(fake_live_children(), 0);
    }
    // The console sees the failure: the run ends with it.
    reset();
    put_parameter("FailureAction", "restart");
    fake_children({LAUNCHER, fails5, LAUNCHER, CONTAINER});
    EXPECT_EQ(run_talvex({"talvex", "-test", "svc"}), 1);
}

// Each of the six pipes has its own warning when it cannot be made.
TEST_F(ServiceRun, PipesThatCannotBeMadeEndTheRunBeforeAnyChild)
{
    std::string events;
    for (int nth = 1; nth <= 7; ++nth) {
        reset();
        // The four output pipes fall back to ordinary pipes; the input pipes are ordinary.
        if (nth <= 4) fake_fail("CreateNamedPipeA", 8, nth), fake_fail("CreatePipe", 8, 1);
        else fake_fail(nth <= 6 ? "CreatePipe" : "DuplicateHandle", 8, nth <= 6 ? nth - 4 : 2);
        std::string t = run_as_service({LAUNCHER});
        events += lines_with(t, {"event"});
        EXPECT_NE(t.find("STOPPED cp=0 wait=0 accept=0x105 exit=1066/1\n"), std::string::npos);
    }
    EXPECT_EQ(events, R"(event 0x80000005 type 2 "svc" "initPipe for the Launchers STDOUT failed"
event 0x80000005 type 2 "svc" "initPipe for the Containers STDOUT failed"
event 0x80000005 type 2 "svc" "initPipe for the Launchers STDERR failed"
event 0x80000005 type 2 "svc" "initPipe for the Containers STDERR failed"
event 0x80000005 type 2 "svc" "initInputPipe for the Launchers STDIN failed"
event 0x80000005 type 2 "svc" "initInputPipe for the Containers STDIN failed"
event 0x80000005 type 2 "svc" "initInputPipe for the Containers STDIN failed"
)");
    // Five whole pipes, two ends each; nothing of the sixth.
    EXPECT_EQ(open_handles(true), 10);
}

// The time limits, each counted from the launcher's start or the stop
// request, on the virtual clock.
TEST_F(ServiceRun, TimeLimitsAndWarnings)
{
    struct Row {
        const char* what;
        const char* start, *shutdown;
        std::vector<FakeScript> children;
        uint64_t stopAt;
        std::string expected;
    } rows[] = {
        {"the wall clock an hour forward", "30", "600", {LAUNCHER, {writes(20000, "\b"), answers_shutdown_with("\a0\a")}}, 40000, R"(20110 event 0x40000001 type 4 "svc"
40050 event 0x40000002 type 4 "svc"
40050 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
        {"the wall clock an hour back", "30", "600", {LAUNCHER, SILENT}, 0, R"(30010 event 0x80000005 type 2 "svc" "Elapsed time exceed timeout"
30010 terminate child 1004
30010 event 0xc0000003 type 1 "svc" "1"
30010 status STOPPED cp=0 wait=0 accept=0x105 exit=1066/1
)"},
        {"start timeout in phase 1", "30", "600", {SILENT}, 0, R"(30000 event 0x80000005 type 2 "svc" "Elapsed time exceed timeout"
30000 terminate child 1000
30000 event 0xc0000003 type 1 "svc" "1"
30000 status STOPPED cp=0 wait=0 accept=0x105 exit=1066/1
)"},
        {"a slow launcher is warned about once", "0", "600", {{writes(420000, "\a0\a"), ends_with(420010, 0)}, CONTAINER}, 430000, R"(360000 event 0x80000005 type 2 "svc" "Container can't launch (phase 1). Elapsed time 6 minutes."
420210 event 0x40000001 type 4 "svc"
430050 event 0x40000002 type 4 "svc"
430050 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
        {"a container that does not come up", "0", "12", {LAUNCHER, SILENT}, 430000, R"(360010 event 0x80000005 type 2 "svc" "Container can't start (phase 2). Elapsed time 6 minutes."
435000 status STOP_PENDING cp=3 wait=15000 accept=0x105 exit=0/0
440000 status STOP_PENDING cp=4 wait=15000 accept=0x105 exit=0/0
442000 event 0xc0000006 type 1 "svc" "Elapsed time exceeds shutdown timeout"
442000 terminate child 1004
442000 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
        {"shutdown timeout", "0", "12", {LAUNCHER, DEAF_CONTAINER}, 1000, R"(310 event 0x40000001 type 4 "svc"
6009 status STOP_PENDING cp=3 wait=15000 accept=0x105 exit=0/0
11009 status STOP_PENDING cp=4 wait=15000 accept=0x105 exit=0/0
13009 event 0xc0000006 type 1 "svc" "Elapsed time exceeds shutdown timeout"
13009 terminate child 1004
13009 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
        {"no shutdown timeout, a negative start timeout", "-5", "0", {LAUNCHER, {reads_input(), ends_with(6500, 0)}}, 1000, R"(6000 status STOP_PENDING cp=3 wait=15000 accept=0x105 exit=0/0
6610 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
        {"stop in phase 1", "0", "600", {SILENT}, 1000, R"(1000 event 0x80000005 type 2 "svc" "Service stop requested during container launch - terminating process"
1000 terminate child 1000
1000 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        put_parameter("TimeoutSeconds", row.start);
        put_parameter("ShutdownTimeoutSeconds", row.shutdown);
        int64_t step = strstr(row.what, "forward") ? 3600 : strstr(row.what, "back") ? -3600 : 0;
        fake_at(5000, [step] { fake_step_wall_clock(step); });
        if (row.stopAt != 0) fake_control_at(row.stopAt, CONTROL_STOP);
        EXPECT_EQ(lines_with(run_as_service(row.children, true), {"event", "terminate", "STOPPED", "STOP_PENDING cp=3", "STOP_PENDING cp=4"}),
                  row.expected);
    }
}

// A stop always ends the run: also when the container's input is full, when
// it printed a stray BEL, and when it announced its code and runs on.
TEST_F(ServiceRun, AStopAlwaysEndsTheRun)
{
    struct Row {
        const char* what;
        std::vector<FakeScript> children;
        std::string expected;
    } rows[] = {
        {"input full", {LAUNCHER, {writes(200, "\b"), fills_input(4096)}}, R"(event 0x40000001 type 4 "svc"
event 0xc0000006 type 1 "svc" "Elapsed time exceeds shutdown timeout"
terminate child 1004
)"},
        {"input nearly full", {LAUNCHER, {writes(200, "\b"), fills_input(4093), reads_input(2000), answers_shutdown_with("\a0\a")}},
         R"(event 0x40000001 type 4 "svc"
stdin of child 1004 "shu"
stdin of child 1004 "tdown\n"
event 0x40000002 type 4 "svc"
)"},
        {"stray BEL", {LAUNCHER, {writes(200, "up\n\bBuild finished\a (beep)\n"), answers_shutdown_with("\a0\a")}}, R"(event 0x40000001 type 4 "svc"
stdin of child 1004 "shutdown\n"
event 0x40000002 type 4 "svc"
)"},
        {"announced 0 and runs on", {LAUNCHER, {writes(200, "\b\a0\a"), reads_input()}}, R"(event 0x40000001 type 4 "svc"
event 0x40000002 type 4 "svc"
stdin of child 1004 "shutdown\n"
event 0xc0000006 type 1 "svc" "Elapsed time exceeds shutdown timeout"
terminate child 1004
)"},
        {"announced 14 and runs on", {LAUNCHER, {writes(200, "\b\a14\a"), answers_shutdown_with("")}, SILENT}, R"(event 0x40000001 type 4 "svc"
event 0x40000007 type 4 "svc"
stdin of child 1004 "shutdown\n"
event 0x80000005 type 2 "svc" "Service stop requested during container launch - terminating process"
terminate child 1008
)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        put_parameter("ShutdownTimeoutSeconds", "5");
        fake_control_at(1000, CONTROL_STOP);
        std::string t = run_as_service(row.children);
        EXPECT_EQ(lines_with(t, {"event", "stdin", "terminate"}), row.expected);
        EXPECT_NE(t.find("STOPPED cp=0 wait=0 accept=0x105 exit=0/0\n"), std::string::npos);
    }
}

// Quick restarts wait, with a warning (the doubling is the throttle's own
// table); a container that was up a minute starts the count again; a stop
// during a delay ends the run at once; a ceiling of 0 never waits.
TEST_F(ServiceRun, QuickRestartsAreThrottled)
{
    FakeScript quick = {writes(100, "\b\a14\a"), ends_with(110, 14)};
    FakeScript slow = {writes(100, "\b"), writes(61000, "\a14\a"), ends_with(61010, 14)};
    put_parameter("RestartDelayMaxSeconds", "40");
    std::string t = run_as_service({LAUNCHER, quick, LAUNCHER, quick, LAUNCHER, slow, LAUNCHER, quick, LAUNCHER,
                                    {writes(100, "\b\a0\a"), ends_with(110, 0)}}, true);
    EXPECT_EQ(lines_with(t, {"delayed", "STOPPED"}), R"(220 event 0x80000005 type 2 "svc" "Restart of the container delayed by 1 s after 1 quick restart"
1440 event 0x80000005 type 2 "svc" "Restart of the container delayed by 2 s after 2 quick restarts"
64780 event 0x80000005 type 2 "svc" "Restart of the container delayed by 1 s after 1 quick restart"
66000 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    reset();
    fake_control_at(700, CONTROL_STOP);
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, quick, LAUNCHER}, true), {"started", "delayed", "STOPPED"}), R"(0 child 1000 started
110 child 1004 started
220 event 0x80000005 type 2 "svc" "Restart of the container delayed by 1 s after 1 quick restart"
700 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    reset();
    put_parameter("RestartDelayMaxSeconds", "0");
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, quick, LAUNCHER, quick}), {"delayed"}), "");
}

// Error events are limited to 10 a second with a burst of 20; what is held
// back is counted in a summary, after a minute of it or once it has stopped,
// and every byte is in the log all the same.
TEST_F(ServiceRun, AnErrorFloodIsSummedUp)
{
    // 100 KB a second: a poll every 100 ms, which reads two chunks.
    FakeScript flood = {writes(100, "\b"), writes(90000, "\a0\a"), ends_with(90010, 0)};
    for (uint64_t ms = 200; ms < 70200; ms += 50) flood.push_back(writes_error(ms, std::string(4999, 'e') + "\n"));
    std::string t = run_as_service({LAUNCHER, flood}, true);
    EXPECT_EQ(lines_with(t, {"further"}), R"(62310 event 0x80000005 type 2 "svc" "601 further error outputs of the container were not written as events; see C:\svc\svc.out"
76334 event 0x80000005 type 2 "svc" "79 further error outputs of the container were not written as events; see C:\svc\svc.out"
)");
    EXPECT_EQ(occurrences(t, "type 1 \"svc\" \"eee"), 1400u - 601 - 79);
    EXPECT_EQ(occurrences(log_text(), std::string(4999, 'e') + "\n"), 1400u);
}

// A container's output is read at the pace it comes: a quiet one's as it
// comes (over ordinary pipes, when no others can be made, it is looked for
// every two seconds); one that writes as fast as it is read never holds back
// a stop, and one that writes steadily is read in chunks a few times a
// second, not in the few bytes of each millisecond.
TEST_F(ServiceRun, OutputIsReadAtThePaceItComes)
{
    FakeScript late = {writes(200, "\b"), writes_error(30001, "late\n"), writes(40001, "\a0\a"), ends_with(40011, 0)};
    std::string events;
    for (bool watchable : {true, false}) {
        reset();
        if (!watchable) fake_fail("CreateNamedPipeA", 8, 1, true);
        events += lines_with(run_as_service({LAUNCHER, late}, true), {"late", "0x40000002"});
    }
    EXPECT_EQ(events, R"(30111 event 0xc0000006 type 1 "svc" "late\n"
40111 event 0x40000002 type 4 "svc"
30336 event 0xc0000006 type 1 "svc" "late\n"
40121 event 0x40000002 type 4 "svc"
)");

    reset();
    fake_control_at(1000, CONTROL_STOP);
    FakeScript endless = {writes(200, "\b"), keeps_writing(300, std::string(100, 'x')), answers_shutdown_with("\a0\a")};
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, endless}, true), {"stdin", "STOPPED"}),
              "1000 stdin of child 1004 \"shutdown\\n\"\n1050 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0\n");

    // Polls, looks into the pipes and reads while the container writes
    // `bytes` every millisecond from 1110 on, for `ms` ms: 1 MB a second is
    // read every 100 ms (the longest a poll waits), 50 MB a second about every
    // 3 ms, 128 KiB at a time, each poll with a look into the error pipe and
    // a read of the output: output that flows is read without a look first
    // (and looked for again only when that read took all it could).
    struct Steady { int bytes, ms, fewest, most; } const rows[] = {{1000, 1000, 8, 12}, {50000, 200, 65, 100}};
    for (const Steady& row : rows) {
        reset();
        FakeScript steady = {writes(200, "\b"), ends_with(3000, 0)};
        for (int ms = 1000; ms < 1000 + row.ms; ++ms) steady.push_back(writes(ms, std::string(row.bytes, 'y')));
        int polls = 0, looks = 0, reads = 0;
        auto count_calls = [&](int sign) {
            for (const auto& call : fake_calls()) {
                if (call.first == "WaitForMultipleObjects") polls += sign * call.second;
                if (call.first == "PeekNamedPipe") looks += sign * call.second;
                if (call.first == "ReadFile") reads += sign * call.second;
            }
        };
        fake_at(1110, [&] { count_calls(-1); });
        fake_at(1110 + row.ms, [&] { count_calls(1); });
        run_as_service({LAUNCHER, steady});
        EXPECT_GE(polls, row.fewest) << row.bytes;
        EXPECT_LE(polls, row.most) << row.bytes;
        EXPECT_LE(looks, polls + polls / 4 + 2) << row.bytes;
        EXPECT_LE(reads, polls + polls / 8) << row.bytes;
        EXPECT_EQ(occurrences(log_text(), "y"), (size_t)row.ms * row.bytes);
    }
    // A container that writes a line at a time is read into as much of the
    // buffer as it needs, not the whole 256 KiB.
    reset();
    FakeScript lines = {writes(200, "\b"), ends_with(3000, 0)};
    for (int ms = 1000; ms < 2000; ms += 10) lines.push_back(writes(ms, std::string(99, 'z') + "\n"));
    run_as_service({LAUNCHER, lines});
    EXPECT_GT(fake_largest_take(), 0u);
    EXPECT_LE(fake_largest_take(), 8192u);

    // A quiet container that reads its input rests a minute at a time: the
    // stall watch looks when the supervisor wakes anyway.
    reset();
    FakeScript quiet = {writes(200, "\b"), ends_with(700000, 0)};
    int waits = 0;
    auto count_waits = [&waits](int sign) {
        for (const auto& call : fake_calls())
            if (call.first == "WaitForMultipleObjects") waits += sign * call.second;
    };
    fake_at(60000, [&] { count_waits(-1); });
    fake_at(600000, [&] { count_waits(1); });
    run_as_service({LAUNCHER, quiet});
    EXPECT_GE(waits, 8);
    EXPECT_LE(waits, 10);
}

// A container that leaves its input unread for the stall time is reported
// once, with a thread dump, and said to read again when it does; an action
// that is neither of the two keeps the report alone.
TEST_F(ServiceRun, AContainerThatStopsReadingIsReported)
{
    put_parameter("InputStallAction", "reboot");
    fake_control_at(1000000, CONTROL_STOP);
    FakeScript stalling = {writes(200, "\b"), fills_input(10), answers_break_with("Full thread dump\n"), reads_input(900000),
                           answers_shutdown_with("\a0\a")};
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, stalling}, true), {"event 0x8", "ctrl-break", "STOPPED"}),
              R"(0 event 0x80000005 type 2 "svc" "InputStallAction "reboot" is neither "report" nor "restart"; "report" is used"
601334 ctrl-break child 1004
601334 event 0x80000005 type 2 "svc" "The container has not read its standard input for 10 minutes (10 bytes unread); a thread dump was requested"
1000050 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    EXPECT_EQ(lines_with(log_text(), {"dump", "again"}),
              "\a0\a\bFull thread dump\nThe container reads its standard input again, after 902 s\r\n");
}

// The samples of a metrics text by name, each checked to follow its HELP and
// TYPE lines (a counter exactly when its name ends in _total) and to carry
// the service's label.
std::map<std::string, std::string> metric_samples(const std::string& text)
{
    std::map<std::string, std::string> samples;
    std::string described, typed;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# HELP ", 0) == 0) {
            described = line.substr(7, line.find(' ', 7) - 7);
        } else if (line.rfind("# TYPE ", 0) == 0) {
            bool total = described.size() > 6 && described.compare(described.size() - 6, 6, "_total") == 0;
            EXPECT_EQ(line, "# TYPE " + described + (total ? " counter" : " gauge"));
            typed = described;
        } else {
            size_t label = line.find("{service=\"svc\"} ");
            EXPECT_EQ(line.substr(0, label), typed) << line;
            if (label != std::string::npos) samples[typed] = line.substr(label + 16);
        }
    }
    return samples;
}

std::string metrics_file()
{
    std::string text;
    fake_read_file("C:\\svc\\metrics\\svc.prom", &text);
    return text;
}

// A run with a restart the container asks for, a stall that restarts it, and
// a stall during a stop, which is not reported: the events, and the metrics
// file while it runs and at its end.  The metrics folder appears only after
// the first writes, and an agent holds the file for a while.
TEST_F(ServiceRun, AStalledContainerIsRestartedAndTheMetricsSayWhatHappened)
{
    put_parameter("InputStallMinutes", "1");
    put_parameter("InputStallAction", "Restart");
    put_parameter("ShutdownTimeoutSeconds", "120");
    put_parameter("MetricsFile", "metrics\\svc.prom");
    fake_write_file("C:\\svc\\svc.out", "the last run\n");
    FakeScript quick = {writes(100, "\b\a14\a"), writes_error(100, "oops\n"), ends_with(110, 14)};
    FakeScript stalling = {writes(200, "\b"), fills_input(10), answers_break_with("dump\n")};
    std::string during;
    fake_at(20000, [] { fake_make_dir("C:\\svc\\metrics"); });
    fake_at(50000, [&during] {
        for (const auto& sample : metric_samples(metrics_file())) during += sample.first + "=" + sample.second + " ";
        fake_hold_file("C:\\svc\\metrics\\svc.prom", true);
    });
    fake_at(80000, [] { fake_hold_file("C:\\svc\\metrics\\svc.prom", false); });
    fake_control_at(120000, CONTROL_STOP);
    std::string t = run_as_service({LAUNCHER, quick, LAUNCHER, stalling, LAUNCHER, stalling}, true);
    EXPECT_EQ(lines_with(t, {"event 0x8", "ctrl-break", "terminate", "STOPPED"}), R"(1 event 0x80000005 type 2 "svc" "The metrics file C:\svc\metrics\svc.prom cannot be written; the service runs on without it - system text 3.\r\n"
220 event 0x80000005 type 2 "svc" "Restart of the container delayed by 1 s after 1 quick restart"
61530 event 0x80000005 type 2 "svc" "The metrics file C:\svc\metrics\svc.prom cannot be replaced; the next write tries again - system text 32.\r\n"
62554 ctrl-break child 1012
62554 event 0x80000005 type 2 "svc" "The container has not read its standard input for 1 minutes (10 bytes unread); a thread dump was requested"
72554 terminate child 1012
72554 event 0x80000005 type 2 "svc" "The container was restarted after its standard input stalled for 1 minutes"
240000 terminate child 1020
240000 status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    EXPECT_EQ(during, "talvex_container_restarts_total=1 talvex_container_start_time_seconds=1800000001 "
                      "talvex_container_up=1 talvex_cycle_failures_total=0 talvex_error_events_held_total=0 talvex_error_events_total=1 "
                      "talvex_input_stalls_total=0 talvex_input_unread_bytes=10 talvex_last_exit_code=14 "
                      "talvex_launch_cycles_total=2 talvex_log_bytes_lost_total=0 talvex_log_bytes_total=118 "
                      "talvex_log_rotations_total=1 talvex_quick_restarts=1 talvex_restart_delay_seconds=1 "
                      "talvex_service_up=1 ");
    std::string seen;
    for (const auto& sample : metric_samples(metrics_file())) seen += sample.first + "=" + sample.second + " ";
    EXPECT_EQ(seen, "talvex_container_restarts_total=1 talvex_container_start_time_seconds=1800000072 "
                    "talvex_container_up=0 talvex_cycle_failures_total=0 talvex_error_events_held_total=0 talvex_error_events_total=1 "
                    "talvex_input_stalls_total=1 talvex_input_unread_bytes=10 talvex_last_exit_code=14 "
                    "talvex_launch_cycles_total=3 talvex_log_bytes_lost_total=0 talvex_log_bytes_total=" +
                        std::to_string(log_text().size()) + " talvex_log_rotations_total=1 talvex_quick_restarts=0 "
                        "talvex_restart_delay_seconds=0 talvex_service_up=0 ");
    EXPECT_FALSE(fake_read_file("C:\\svc\\metrics\\svc.prom.tmp", &seen));
}

// The keep-alive newline never lands between the parts of a shutdown
// command that a full input took only in part.
TEST_F(ServiceRun, KeepAliveWaitsForAShutdownOnItsWay)
{
    PlatOutputPipe* readEnd;
    PlatHandle writeEnd;
    uint32_t count;
    ASSERT_TRUE(plat_output_pipe_create(&readEnd, &writeEnd, 0, 0) && plat_pipe_nowait(writeEnd));
    plat_write_file(writeEnd, std::string(4093, 'x').c_str(), 4093, &count);
    ContainerInput input = {};
    input.keptEnd = writeEnd;
    EXPECT_EQ(SendShutdownCommand(&input), 0);
    char buffer[READ_CHUNK_SIZE];
    EXPECT_EQ(DrainPipe(readEnd, buffer, sizeof buffer, 0), 4096u);
    EXPECT_STREQ(buffer + 4093, "shu");
    input.wake = plat_create_event();
    fake_at(5000, [&input] { input.stop = 1, plat_set_event(input.wake); });
    InputFlusherThread(&input);
    EXPECT_EQ(SendShutdownCommand(&input), 1);
    input.stop = 0;
    fake_at(9000, [&input] { input.stop = 1, plat_set_event(input.wake); });
    InputFlusherThread(&input);
    EXPECT_EQ(DrainPipe(readEnd, buffer, sizeof buffer, 0), 8u);
    EXPECT_STREQ(buffer, "tdown\n\n\n");
}

// The debug trace: every step in the log, the password never; dumps in both
// phases, and a shutdown that times out.
TEST_F(ServiceRun, DebugTraceWithDumpsAndStandardError)
{
    put_parameter("Debug", "1");
    put_parameter("PBE", "pass word");
    put_parameter("LogContainerOutput", "FALSE");
    put_parameter("ShutdownTimeoutSeconds", "6");
    FakeScript launcher = {writes_error(50, "launcher warning\r\n"), writes(100, "\a0\a"), ends_with(110, 0)};
    FakeScript container = {writes(200, "up\n\b"), writes_error(300, "container error\r\n"), reads_input()};
    fake_control_at(20, CONTROL_USER_DUMP);
    fake_fail("GenerateConsoleCtrlEvent", 5, 2);
    fake_control_at(2500, CONTROL_USER_DUMP);
    fake_control_at(3000, CONTROL_STOP);
    EXPECT_EQ(lines_with(run_as_service({launcher, container}), {"event", "ctrl-break", "control", "stdin", "terminate"}), R"(control 129 -> 0
ctrl-break child 1000
event 0xc0000006 type 1 "svc" "launcher warning\r\n"
event 0x40000001 type 4 "svc"
event 0xc0000006 type 1 "svc" "container error\r\n"
control 129 -> 0
control 1 -> 0
stdin of child 1004 "shutdown\n"
event 0xc0000006 type 1 "svc" "Elapsed time exceeds shutdown timeout"
terminate child 1004
)");
    EXPECT_EQ(log_text(), "DEBUG: WorkingDirectory=C:\\svc\r\n"
        "DEBUG: JavaExe=C:\\jre\\bin\\java.exe\r\n"
        "DEBUG: JavaArgs=\r\n"
        "DEBUG: Classpath=a.jar;b.jar\r\n"
        "DEBUG: BootClasspath=\r\n"
        "DEBUG: OrvaneHome=C:\\orvane\r\n"
        "DEBUG: BootFile=container.ini\r\n"
        "DEBUG: DirectoryServiceBootFile=\r\n"
        "DEBUG: TimeoutSeconds=0\r\n"
        "DEBUG: PBE=********\r\n"
        "DEBUG: UtilDir=C:\\talvex\r\n"
        "DEBUG: LogContainerOutput=FALSE\r\n"
        "DEBUG: init service complete\r\n"
        "DEBUG: phase 1 command=\r\n"
        "\"C:\\jre\\bin\\java.exe\"  -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp \"a.jar;b.jar\" \"-Dlumora.mf.password=********\" -Dlumora.home=\"C:\\orvane\" -Dlumora.mf.winsvc.utilDir=\"C:\\talvex\" com.lumora.mf.framework.agent.ci.LaunchContainer \"container.ini\"\r\n"
        "\r\n"
        "Printing environment variables (hopefully!!)\r\n"
        "PATH=C:\\Windows\\system32\r\n"
        "DEBUG: Phase 1 - CreateProcess complete, pid=1000\r\n"
        "launcher warning\r\n"
        "\a0\aDEBUG: Phase 1: Normal exit code (0) detected.\r\n"
        "DEBUG: phase 2 working directory2=C:\\svc\\run\r\n"
        "DEBUG: phase 2 command=\r\n"
        "\"C:\\jre\\bin\\java.exe\" -cp c.jar Container\r\n"
        "\r\n"
        "\r\n"
        "Printing environment variables (hopefully!!)\r\n"
        "PATH=C:\\Windows\\system32\r\n"
        "The size of the old environment variables 19\r\n"
        "The old path setting == C:\\Windows\\system32\r\n"
        "The new path setting expanded == C:\\jre\\bin;C:\\Windows\\system32\r\n"
        "Reset path to C:\\Windows\\system32\r\n"
        "DEBUG: Phase 2 - CreateProcess complete, pid=1004\r\n"
        "\r\n"
        "<container stdout suppressed from log>\r\n"
        "container error\r\n"
        "Ctrl+Break could not be sent due to: system text 5.\r\n"
        "\r\n"
        "\r\n"
        "DEBUG: ServiceStop: with control code 1 at Fri Jan 15 08:00:03 2027\r\n"
        "DEBUG: stop service initiated\r\n"
        "DEBUG: shutdown written\r\n"
        "DEBUG: stop service ended\r\n"
        "DEBUG: reporting SERVICE_STOP_PENDING to SCM (3000)\r\n"
        "NT Service starting input flusher thread\r\n"
        "NT Service exiting input flusher thread\r\n");
}

// Every control the handler is given, while the container runs, and the
// console's controls in a run in the console (-test).
TEST_F(ServiceRun, ControlsAndWhatTheyAreAnswered)
{
    fake_control_at(1000, CONTROL_INTERROGATE);
    fake_control_at(1050, CONTROL_USER_DUMP);
    fake_control_at(1100, 2);
    fake_control_at(1200, CONTROL_SHUTDOWN);
    fake_control_at(1300, CONTROL_PRESHUTDOWN);
    fake_control_at(1400, CONTROL_USER_REMOVE);
    FakeScript slowStop = {writes(200, "\b"), answers_shutdown_with("\a0\a", 300)};
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER, slowStop}), {"control", "STOP", "RUNNING", "stdin", "break"}), R"(status RUNNING cp=0 wait=15000 accept=0x105 exit=0/0
status RUNNING cp=0 wait=0 accept=0x105 exit=0/0
control 4 -> 0
status RUNNING cp=0 wait=0 accept=0x105 exit=0/0
control 129 -> 0
ctrl-break child 1004
control 2 -> 120
status STOP_PENDING cp=1 wait=0 accept=0x105 exit=0/0
control 5 -> 0
stdin of child 1004 "shutdown\n"
status STOP_PENDING cp=2 wait=15000 accept=0x105 exit=0/0
status STOP_PENDING cp=3 wait=0 accept=0x105 exit=0/0
control 15 -> 0
stdin of child 1004 "shutdown\n"
status STOP_PENDING cp=4 wait=15000 accept=0x105 exit=0/0
status STOP_PENDING cp=5 wait=0 accept=0x105 exit=0/0
control 128 -> 0
stdin of child 1004 "shutdown\n"
status STOP_PENDING cp=6 wait=15000 accept=0x105 exit=0/0
status STOPPED cp=0 wait=0 accept=0x105 exit=0/0
)");
    // Preshutdown is offered from Windows Vista (6) on only.
    for (const char* fail : {"", "GetVersionExA"}) {
        reset();
        fake_set_os_major(5);
        if (fail[0] != '\0') fake_set_os_major(6), fake_fail(fail, 5);
        fake_control_at(1000, CONTROL_STOP);
        EXPECT_EQ(lines_with(run_as_service({LAUNCHER, CONTAINER}), {"RUNNING"}),
                  "status RUNNING cp=0 wait=15000 accept=0x5 exit=0/0\n");
    }
    // Without a service manager a console shutdown event (6) stops the run,
    // which ends with exit code 0; other console events are not its own.
    reset();
    fake_children({LAUNCHER, CONTAINER});
    fake_control_at(1000, 2, true);
    fake_control_at(1500, 6, true);
    EXPECT_EQ(run_talvex({"talvex", "-test", "svc", "ignored"}), 0);
    EXPECT_EQ(lines_with(fake_transcript(false), {"control", "status", "stdin", "0x40000002"}),
              "console control 2 -> 0\nconsole control 6 -> 1\nstdin of child 1004 \"shutdown\\n\"\nevent 0x40000002 type 4 \"svc\"\n");
    // -test says every event on standard error as Event Viewer would show
    // it, with the strings alone when the message file cannot be had.
    std::string said = fake_console();
    reset();
    fake_set_library("talvexMSG.dll", "");
    EXPECT_EQ(run_talvex({"talvex", "-test", "gone"}), 1);
    EXPECT_EQ(said + fake_console(), "Information 1: message 1: svc | \nInformation 2: message 2: svc | \nError 6: gone: The "
                                     "parameters of service gone are missing: HKLM\\SYSTEM\\CurrentControlSet\\Services\\gone\\Parameters\n");
}

// ServiceMain without a control handler, without a name or under a name not
// its own never runs the body.
TEST_F(ServiceRun, ServiceMainThatCannotRunTheBodySaysSo)
{
    // Started as "svc" and an omega, whose ANSI name is that of svc (stopped,
    // running in another process, or not there at all): nothing of svc's is
    // read or run, and the run ends as one without parameters.
    const std::string notOwn = "The service was started under the name svc, which is not its own; nothing was run";
    for (int row = 0; row < 4; ++row) {
        SCOPED_TRACE(row);
        reset();
        if (row < 2) fake_add_service("svc", SERVICE_STATE_STOPPED + 3 * row), fake_service("svc")->process_id = 77 * row;
        if (row == 3) fake_fail("OpenSCManagerA", 5);
        fake_children({LAUNCHER});
        fake_start_as_service("svc\xce\xa9", "svc");
        run_talvex({"C:\\talvex\\talvex.exe"});
        EXPECT_EQ(fake_transcript(false), "status START_PENDING cp=1 wait=15000 accept=0x0 exit=0/0\nevent 0xc0000006 type 1 \"svc\" \"" +
                                         (row < 3 ? notOwn : "The service could not check that svc is its own name; "
                                                             "nothing was run - system text 5.\\r\\n") +
                                         "\"\nstatus STOPPED cp=0 wait=0 accept=0x105 exit=1066/1\n");
        for (const auto& call : fake_calls()) EXPECT_NE(call.first, "RegOpenKeyExA");
        EXPECT_EQ(log_text(), "");
        EXPECT_EQ(open_handles(), 0);
    }
    reset();
    fake_fail("RegisterServiceCtrlHandlerExA", 5);
    EXPECT_EQ(run_as_service({LAUNCHER}), R"(event 0xc0000006 type 1 "svc" "RegisterServiceCtrlHandlerEx failed - system text 5.\r\n"
)");
    // Without parameters there is no working directory: nothing is started,
    // and no log file lands in a drive's root.
    fake_reset();
    EXPECT_EQ(lines_with(run_as_service({LAUNCHER}), {"event", "STOPPED", "child"}), R"(event 0xc0000006 type 1 "svc" "The parameters of service svc are missing: HKLM\SYSTEM\CurrentControlSet\Services\svc\Parameters"
status STOPPED cp=0 wait=0 accept=0x105 exit=1066/1
)");
    std::string stray;
    EXPECT_FALSE(fake_read_file("\\svc.out", &stray));
    reset();
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake_transcript(false), R"(status START_PENDING cp=1 wait=15000 accept=0x0 exit=0/0
status STOPPED cp=0 wait=0 accept=0x105 exit=1066/1
)");
}

// The log's files, newest first, as "<suffix>=<text>" lines (a compressed
// one decompressed).
std::string log_files()
{
    std::string seen, data;
    for (std::string suffix : {"", ".1", ".1.gz", ".2", ".2.gz", ".3", ".3.gz", ".gz.tmp"}) {
        if (!fake_read_file("C:\\svc\\svc.out" + suffix, &data)) continue;
        if (suffix.size() > 2 && suffix.substr(suffix.size() - 3) == ".gz") data = fake_gunzip(data);
        seen += suffix + "=" + data + "|\n";
    }
    return seen;
}

// Logs that look after themselves: a start on a later day rotates, and
// deletes what is past the age limit; code 130 rotates while RUNNING; the
// first write after midnight rotates and prunes again; the rotated files are
// compressed by a thread of low priority, every byte in one file, in order.
// A file that cannot be compressed stays, with one warning per run.  (The
// log's life in every mix of these is the log model's.)
TEST_F(ServiceRun, LogsLookAfterThemselves)
{
    for (const char* value : {"LogFileGenerations=3", "LogFileRotateDaily=TRUE", "LogFileMaxAgeDays=1", "LogFileCompress=true"})
        put_parameter(std::string(value).substr(0, strchr(value, '=') - value), strchr(value, '=') + 1);
    fake_write_file("C:\\svc\\svc.out.1", "old\n");        // 15 January 2027, 08:00
    fake_step_wall_clock(25 * 3600);
    fake_write_file("C:\\svc\\svc.out", "yesterday\n");    // 16 January, 09:00
    fake_step_wall_clock(24 * 3600);
    fake_control_at(3000, CONTROL_USER_ROTATE);
    fake_at(4000, [] { fake_step_wall_clock(15 * 3600); });   // past midnight
    fake_control_at(6000, CONTROL_STOP);
    fake_control_at(6020, CONTROL_USER_ROTATE);
    FakeScript container = {writes(200, "up\n\b"), writes(2000, "before\n"), writes(3500, "evening\n"),
                            writes(5000, "after midnight\n"), answers_shutdown_with("bye\n\a0\a")};
    std::string t = run_as_service({LAUNCHER, container});
    WaitLogCompression();
    EXPECT_EQ(lines_with(t, {"130", "priority", "0x8"}), "thread 0 priority -2\ncontrol 130 -> 0\ncontrol 130 -> 120\n");
    const std::string lastRun = "after midnight\nbye\n\a0\aNT Service starting input flusher thread\r\n"
                                "NT Service exiting input flusher thread\r\n";
    EXPECT_EQ(log_files(), "=" + lastRun + "|\n.1.gz=evening\n|\n.2.gz=launched\n\a0\aup\n\bbefore\n|\n");
    // A start on the day of the last write goes on with the same file and
    // still compresses what an earlier run rotated: here a file that another
    // program holds so that it cannot be read, which stays as it is.
    fake_write_file("C:\\svc\\other.out.1", "rotated\n");
    fake_write_file("C:\\svc\\other.out", "today\n");
    CloseLogFile();
    SetLogFileRotation(0, 3);
    SetLogFileUpkeep(1, 1, 1);
    size_t before = fake_transcript(false).size();
    fake_fail("CreateFileA", 32, 2);
    OpenLogFile("C:\\svc", "other");
    WaitLogCompression();
    std::string kept;
    EXPECT_TRUE(fake_read_file("C:\\svc\\other.out.1", &kept));
    EXPECT_EQ(lines_with(fake_transcript(false).substr(before), {"event"}) + kept,
              "event 0x80000005 type 2 \"other\" \"The rotated log file C:\\svc\\other.out.1 could not be compressed; "
              "it is kept as it is - system text 32.\\r\\n\"\nrotated\n");
}

// The exit script: started through "call" in the working directory, not
// waited for; one that cannot be looked for or started is an error event.
TEST_F(ServiceRun, ExitScript)
{
    struct Row {
        const char* fail;
        uint32_t error;
        std::string expected;
    } rows[] = {
        {"", 0, "child 1004 started\n"},
        {"GetFileAttributesA", 5, "event 0xc0000006 type 1 \"svc\" \"exit.bat could not be looked for - system text 5.\\r\\n\"\n"},
        {"GetFileAttributesA", 3, ""},
        {"CreateProcessA", 2, "event 0xc0000006 type 1 \"svc\" \"system text 2.\\r\\n\"\n"},
    };
    for (const Row& row : rows) {
        reset();
        write_exit_script();
        // The exit script's look-up is the run's first; its start the second.
        if (row.error != 0) fake_fail(row.fail, row.error, row.fail == std::string("CreateProcessA") ? 2 : 1);
        std::string t = run_as_service({{writes(100, "\a3\a"), ends_with(110, 3)}});
        EXPECT_EQ(lines_with(t, {"exit.bat", "system text", "1004"}), row.expected);
        if (row.error == 0) {
            EXPECT_EQ(lines_with(fake_child_details(), {"exit"}), R"(""C:\Windows\system32\cmd.exe" /c call exit.bat" dir=C:\svc PATH=C:\Windows\system32 flags=0x220 startup=0x1/0 title=0 inherit=0
)");
        }
    }
}

// The Environment value's entries, in order, a later one seeing an earlier
// one, reach the children; a PATH entry reaches the launcher; entries that are
// not NAME=value are skipped with a warning; the trace shows names only.
TEST_F(ServiceRun, EnvironmentOfItsOwn)
{
    put_parameter("Debug", "1");
    fake_reg_put(PARAMETERS_KEY, "Environment", PLAT_REG_MULTI_SZ,
                 std::string("A=1\0B=%A%2\0noequals\0=x\0PATH=C:\\p;%PATH%\0b=3\0", 44));
    fake_control_at(1000, CONTROL_STOP);
    std::string t = run_as_service({LAUNCHER, CONTAINER});
    EXPECT_EQ(fake_get_env("A") + " " + fake_get_env("B"), "1 3");
    EXPECT_EQ(lines_with(t, {"Environment entry"}),
              "event 0x80000005 type 2 \"svc\" \"The Environment entry \"noequals\" is not NAME=value; it is skipped\"\n"
              "event 0x80000005 type 2 \"svc\" \"The Environment entry \"=x\" is not NAME=value; it is skipped\"\n");
    EXPECT_NE(fake_child_details().find("PATH=C:\\p;C:\\Windows\\system32 flags"), std::string::npos) << fake_child_details();
    std::string log = log_text();
    EXPECT_EQ(lines_with(log, {"DEBUG: Environment", "=********"}),
              "DEBUG: Environment A\r\nDEBUG: Environment B\r\nDEBUG: Environment noequals\r\nDEBUG: Environment \r\n"
              "DEBUG: Environment PATH\r\nDEBUG: Environment b\r\nA=********\r\nb=********\r\nPATH=********\r\n"
              "A=********\r\nb=********\r\nPATH=********\r\n");
    EXPECT_EQ(log.find("=3"), std::string::npos);
}

// With LogTimestamps every line begins with the time its first byte came at,
// one stamp for a line that comes in several reads; the service's own lines
// begin a line of their own.
TEST_F(ServiceRun, LogTimestamps)
{
    put_parameter("LogTimestamps", "TRUE");
    fake_control_at(1000, CONTROL_STOP);
    run_as_service({LAUNCHER, {writes(200, "\bpar"), writes(300, "tial\n"), answers_shutdown_with("bye\n\a0\a")}});
    EXPECT_EQ(log_text(), "2027-01-15 08:00:00.100 launched\n2027-01-15 08:00:00.100 \a0\a\bpartial\n"
                          "2027-01-15 08:00:01.050 bye\n2027-01-15 08:00:01.050 \a0\a\r\n"
                          "2027-01-15 08:00:01.050 NT Service starting input flusher thread\r\n"
                          "2027-01-15 08:00:01.050 NT Service exiting input flusher thread\r\n");
}

// The PATH line of the start script: the child gets the expanded value, the
// wrapper gets its own PATH back.
TEST_F(ServiceRun, PathLineOfTheStartScript)
{
    const char* unset = nullptr;
    std::string longPath(3000, 'p'), longSaved(2500, 's');
    struct Row {
        std::string line;
        const char* before;
        std::string child, after;
    } rows[] = {
        {"set PATH=%JRE%\\bin;%PATH%", "C:\\old", "C:\\jre\\bin;C:\\old", "C:\\old"},
        {"set PATH=%LONG%", longSaved.c_str(), longPath, longSaved},
        {"no equals sign", "C:\\old", "C:\\old", "C:\\old"},
        {"set PATH=C:\\x", unset, "C:\\x", "<unset>"},
        {"set PATH=", "", "\n", ""},
    };
    for (const Row& row : rows) {
        reset();
        fake_set_env("JRE", "C:\\jre");
        fake_set_env("LONG", longPath.c_str());
        fake_set_env("PATH", row.before);
        fake_write_file("C:\\svc\\container.ini.bat",
                        "@echo off\r\ncd /d \"C:\\svc\\run\"\r\n" + row.line + "\r\njava Container\r\n");
        run_as_service({LAUNCHER, {ends_with(100, 0)}});
        EXPECT_NE(fake_child_details().find("Container\\n\" dir=C:\\svc\\run PATH=" + row.child + " flags"),
                  std::string::npos)
            << row.line << "\n" << fake_child_details();
        EXPECT_EQ(fake_get_env("PATH"), row.after);
    }
}

}  // namespace
