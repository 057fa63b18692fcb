// Fault injection: every platform call that a service run, an install and
// the four control commands make fails, once at its first call, from its
// first call on, and once at its last call of a clean run.  The calls come
// from the clean run itself, so a call the code starts to make later is
// covered without editing this file.  Every faulty run must end (the fake
// aborts a run that passes a day of virtual time), leave no child running
// and no handle open, end a service run with a STOPPED report, and either
// behave exactly as the clean run did or say that something failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "diag/log_file.h"
#include "runs.h"
#include "service/service_main.h"
#include "service/service_status.h"

namespace {

struct Scenario {
    const char* name;
    std::function<void()> set_up;
    std::vector<std::string> words;   // empty: the process runs as the service
};

void service_set_up()
{
    set_up_service();
    fake_start_as_service("svc");
    put_parameter("ShutdownTimeoutSeconds", "60");
    put_parameter("Debug", "1");
    write_exit_script();
    // A log of an earlier day, rotated, compressed and (the next day) pruned.
    fake_write_file("C:\\svc\\svc.out", "yesterday\n");
    fake_step_wall_clock(86400);
    for (const char* name : {"LogFileRotateDaily", "LogFileCompress"}) put_parameter(name, "true");
    put_parameter("LogFileMaxAgeDays", "1");
    fake_control_at(2000, CONTROL_USER_ROTATE);
    fake_at(2200, [] { fake_step_wall_clock(86400); });
    fake_children({LAUNCHER, {writes(200, "\b"), writes(1000, "\a14\a"), ends_with(1010, 14)}, LAUNCHER, CONTAINER});
    fake_control_at(2500, CONTROL_USER_DUMP);
    fake_control_at(3000, CONTROL_STOP);
}

void install_set_up()
{
    fake_make_dir("C:\\orvane");
    fake_write_file("C:\\jre\\bin\\java.exe", "MZ");
}

std::function<void()> service_in_state(uint32_t state)
{
    return [state] {
        fake_add_service("svc", state);
        fake_reg_put("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc", "TypesSupported", 4, "\x07");
    };
}

const Scenario SCENARIOS[] = {
    {"service", service_set_up, {}},
    {"install", install_set_up, {"talvex", "-install", "svc", "-jre", "C:\\jre\\bin\\java.exe", "-cp", "a", "-home", "C:\\orvane"}},
    {"start", service_in_state(SERVICE_STATE_STOPPED), {"talvex", "-start", "svc"}},
    {"stop", service_in_state(SERVICE_STATE_RUNNING), {"talvex", "-stop", "svc"}},
    {"dump", service_in_state(SERVICE_STATE_RUNNING), {"talvex", "-dump", "svc"}},
    {"remove", service_in_state(SERVICE_STATE_STOPPED), {"talvex", "-remove", "svc"}},
};

// Everything an outside observer sees of a run.
std::string run(const Scenario& s)
{
    char name[] = "svc";
    char* argv[] = {name, nullptr};
    int code = 0;
    if (s.words.empty())
        ServiceMain(1, argv), WaitLogCompression();
    else
        code = run_talvex(s.words);
    return std::to_string(code) + "\n" + fake_transcript() + fake_console() + log_text();
}

// Calls whose failure the system absorbs on purpose, with a difference but
// no report: a status report or event that is lost, a log or environment
// listing that cannot be made, a failed wait, read or write that only shifts
// when output is seen or input arrives, a parameter, PATH or preshutdown
// offer left at its default, a compressor left at normal priority.
const char* const ABSORBED[] = {"SetServiceStatus", "RegisterEventSourceA", "ReportEventA", "fopen",
                                "GetEnvironmentStrings", "GetEnvironmentVariableA", "SetEnvironmentVariableA",
                                "ExpandEnvironmentStringsA", "WaitForSingleObject", "ReadFile", "WriteFile", "RegQueryValueExA",
                                "GetVersionExA", "SetThreadPriority"};

bool says_it_failed(const std::string& outcome)
{
    if (outcome.compare(0, 2, "1\n") == 0) return true;   // the command's exit code
    for (const char* sign : {"type 1 ", "type 2 ", "exit=1066", "failed", "Error", "Unable", "could not"})
        if (outcome.find(sign) != std::string::npos) return true;
    return false;
}

TEST(Faults, EveryCallThatFailsEndsTheRunInADefinedState)
{
    int runs = 0;
    for (const Scenario& s : SCENARIOS) {
        fake_reset();
        s.set_up();
        std::string clean = run(s);
        std::vector<std::pair<std::string, int>> calls = fake_calls();
        for (const auto& call : calls) {
            for (int mode = 0; mode < 3; ++mode) {
                SCOPED_TRACE(std::string(s.name) + ": " + call.first + " fails " +
                             (mode == 0 ? "once" : mode == 1 ? "from the first call on" : "at the last call"));
                fake_reset();
                s.set_up();
                fake_fail(call.first, 5, mode == 2 ? call.second : 1, mode == 1);
                std::string outcome = run(s);
                EXPECT_EQ(fake_unfired_faults(), "");
                ++runs;
                EXPECT_EQ(fake_live_children(), 0);
                if (call.first != "CloseHandle") {
                    EXPECT_EQ(open_handles(), 0);
                }
                bool absorbed = std::find(std::begin(ABSORBED), std::end(ABSORBED), call.first) != std::end(ABSORBED);
                if (outcome != clean && !absorbed) {
                    EXPECT_TRUE(says_it_failed(outcome)) << outcome;
                }
                std::string reports = lines_with(fake_transcript(), {" status "});
                if (s.words.empty() && call.first != "SetServiceStatus" && call.first != "RegisterServiceCtrlHandlerExA") {
                    EXPECT_EQ(reports.find(" status ", reports.find("STOPPED")), std::string::npos) << reports;
                }
            }
        }
    }
    EXPECT_GT(runs, 200);
}

}  // namespace
