// Fault injection: every platform call that the service body, the install
// command and the four control commands make is made to fail, once at its
// first call, from its first call on, and once at its last call of a clean
// run, each as a test of its own.
//
// The calls come from fake_calls_seen() after a clean run of each scenario,
// so a call that the code starts to make later is covered without editing
// this file.  Every faulty run must
//  - end: the virtual clock is capped, and a run that passes the cap has its
//    children ended and fails the test;
//  - end in a defined state: ServiceMain's STOPPED report was the last one
//    attempted, no child of the run is left running, no process, thread or
//    event handle, registry key, service handle, event source or environment
//    block is left open;
//  - either behave exactly as the clean run did (the failure was absorbed),
//    or report the failure where the system reports failures: a non-zero
//    service exit code, an error or warning event, a log line or, for the
//    commands, a message and the exit code 1.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TALVEX_LSAN_DISABLE() __lsan_disable()
#define TALVEX_LSAN_ENABLE() __lsan_enable()
#else
#define TALVEX_LSAN_DISABLE() ((void)0)
#define TALVEX_LSAN_ENABLE() ((void)0)
#endif

#include "common/console.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_process.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"
#include "fake/fake_service.h"
#include "front/entry.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace {

// --- scenarios -------------------------------------------------------------------

enum class Scenario { Service, Install, Start, Stop, Dump, Remove };

const char* ScenarioName(Scenario s)
{
    static const char* const names[] = {"Service", "Install", "Start", "Stop", "Dump", "Remove"};
    return names[(int)s];
}

enum class Mode { FirstCallOnce, FromFirstCallOn, LastCallOnce };

const char* ModeName(Mode m)
{
    static const char* const names[] = {"FirstCallOnce", "FromFirstCallOn", "LastCallOnce"};
    return names[(int)m];
}

struct Fault {
    Scenario scenario;
    std::string call;
    Mode mode;
    int nth;   // the call that fails, counted from the start of the run
};

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char kEventSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";
const char kLogPath[] = "D:\\svc\\svc.out";
const char kLauncherMatch[] = "LaunchContainer";
const char kContainerMatch[] = "com.example.Container";

// The virtual time a run may take.  The clean service run takes about seven
// virtual seconds; every time limit of the service is far below an hour
// except the shutdown timeout, which the scenario sets to 60 s.
const uint64_t kVirtualTimeCapMs = 3600ull * 1000;
// Real time after which a run that never returns (one that spins without
// ever waiting on the virtual clock) aborts the test program.
const int kWatchdogSeconds = 120;

// What the children write; all of it must reach the log in a run that
// behaves as the clean one.
const char kLauncherOut[] = "launcher: writing the start script\n";
const char kLauncherErr[] = "launcher: note on standard error\n";
const char kFirstContainerOut[] = "container 1 up\n";
const char kFirstContainerErr[] = "container 1: note on standard error\n";
const char kSecondContainerOut[] = "container 2 up\n";
const char kSecondContainerErr[] = "container 2: note on standard error\n";
const char kThreadDump[] = "Full thread dump\n";

void SetUpServiceScenario()
{
    fake_set_console(false);   // a service has no console of its own
    fake_fs_mkdir("D:\\svc\\run");
    fake_fs_mkdir("D:\\orvane\\bin");
    const char* const params[][2] = {
        {"WorkingDirectory", "D:\\svc"},        {"JavaExe", "C:\\jre\\bin\\java.exe"},
        {"JavaArgs", "-Xmx64m"},                {"Classpath", "D:\\orvane\\lib\\agent.jar"},
        {"OrvaneHome", "D:\\orvane"},           {"UtilDir", "D:\\orvane\\bin"},
        {"BootFile", "container.ini"},          {"TimeoutSeconds", "0"},
        {"ShutdownTimeoutSeconds", "60"},       {"PBE", "secret"},
        {"Debug", "1"},
    };
    for (const auto& p : params) fake_reg_put_sz(kParams, p[0], p[1]);
    fake_fs_write("D:\\svc\\container.ini.bat",
                  "@echo off\r\n"
                  "cd /d \"D:\\svc\\run\"\r\n"
                  "set PATH=D:\\jre\\bin;%PATH%\r\n"
                  "\"D:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\r\n");
    fake_fs_write("D:\\svc\\exit.bat", "@echo stopped\r\n");

    // Every launcher talks on both streams and ends normally.
    FakeChildScript launcher;
    launcher.out_at(100, kLauncherOut).err_at(150, kLauncherErr).out_at(400, "\a0\a").exit_at(410, 0);
    fake_add_child(kLauncherMatch, launcher, true);

    // The first container asks for a restart.
    FakeChildScript first;
    first.reads_input();
    first.out_at(200, std::string("\b") + kFirstContainerOut).err_at(300, kFirstContainerErr);
    first.out_at(1000, "\a14\a").exit_at(1010, 0);
    fake_add_child(kContainerMatch, first);

    // The second one is asked for a thread dump and then stopped.
    FakeChildScript second = fake_container_script(200, 300);
    second.out_at(250, kSecondContainerOut).err_at(300, kSecondContainerErr);
    second.at(1500, [](FakeChild&) { fake_send_control(CONTROL_USER_DUMP); });
    second.at(3000, [](FakeChild&) { fake_send_control(CONTROL_STOP); });
    fake_add_child(kContainerMatch, second);

    // Anything else (the exit script, a container of an unplanned cycle)
    // ends at once without a word.
    FakeChildScript quiet;
    quiet.exit_at(10, 0);
    fake_set_default_child(quiet);
}

void RunServiceScenario()
{
    char name[] = "svc";
    char* argv[] = {name, nullptr};
    ServiceMain(1, argv);
}

void SetUpInstallScenario()
{
    fake_set_module_path("C:\\talvex\\talvex.exe");
    fake_set_current_directory("C:\\work");
    fake_fs_mkdir("C:\\work");
    fake_fs_mkdir("D:\\svc");
    fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
    fake_fs_mkdir("D:\\orvane");
    fake_add_library("talvexMSG.dll", "C:\\talvex\\talvexMSG.dll");
    fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
}

void SetUpControlScenario(Scenario s)
{
    uint32_t state = (s == Scenario::Start || s == Scenario::Remove) ? FAKE_SERVICE_STOPPED : FAKE_SERVICE_RUNNING;
    FakeService& service = fake_scm_add_service("svc", state);
    service.binary_path = "C:\\talvex\\talvex.exe";
    fake_reg_put_sz(kParams, "WorkingDirectory", "D:\\svc");
    fake_reg_put(kEventSource, "EventMessageFile", PLAT_REG_EXPAND_SZ, std::string("C:\\talvex\\talvexMSG.dll"));
}

int RunCommand(const std::vector<std::string>& words)
{
    std::vector<std::string> storage = words;
    std::vector<char*> argv;
    for (auto& w : storage) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return talvex_main((int)storage.size(), argv.data());
}

int RunCommandScenario(Scenario s)
{
    switch (s) {
    case Scenario::Install:
        return RunCommand({"talvex", "-install", "svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp",
                           "a.jar;b.jar", "-home", "D:\\orvane"});
    case Scenario::Start: return RunCommand({"talvex", "-start", "svc"});
    case Scenario::Stop: return RunCommand({"talvex", "-stop", "svc"});
    case Scenario::Dump: return RunCommand({"talvex", "-dump", "svc"});
    default: return RunCommand({"talvex", "-remove", "svc"});
    }
}

// --- the process-wide state of one run ------------------------------------------------

FILE* g_console = nullptr;
bool g_ran_away = false;

void ResetProcessState()
{
    fake_reset();
    LogFile = nullptr;
    DebugEnabled = 0;
    ResetServiceStatus();
    ResetInstallOptions();
    ReferenceStartTime = 0;
    g_ran_away = false;
    if (g_console != nullptr) fclose(g_console);
    g_console = tmpfile();
    ConsoleOut = g_console;
    // A run that polls past the cap is ended from outside: its children end,
    // so every polling loop sees its child gone at the next wait, and a stop
    // is requested for any cycle still to come.
    fake_on_wait([](PlatHandle, uint32_t) {
        if (fake_now_ms() < kVirtualTimeCapMs) return;
        g_ran_away = true;
        Requests.StopRequested = 1;
        for (size_t i = 0; i < fake_child_count(); ++i)
            if (!fake_child(i).ended) fake_child(i).exit(1);
    });
}

void ReleaseProcessState()
{
    fake_on_wait(nullptr);
    fake_reset();
    LogFile = nullptr;
    DebugEnabled = 0;
    ResetServiceStatus();
    ResetInstallOptions();
    ConsoleOut = nullptr;
    if (g_console != nullptr) fclose(g_console);
    g_console = nullptr;
}

std::string ConsoleText()
{
    std::string text;
    if (g_console == nullptr) return text;
    fflush(g_console);
    rewind(g_console);
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, g_console)) > 0) text.append(buf, n);
    return text;
}

// What a run left behind, in the terms its outcome is judged by.
struct Outcome {
    // The service.
    bool statusAttempted = false;
    PlatServiceStatus lastAttempt = {};
    std::vector<std::string> children;   // "launcher", "container" or "other", in start order
    std::vector<bool> childEnded;
    std::vector<std::string> childInput;
    std::vector<int> childBreaks;
    std::string log;
    std::vector<FakeEvent> events;
    // The commands.
    int exitCode = 0;
    std::string output;
    std::string serviceState;            // the service manager's and the registry's view
};

std::string ChildKind(const FakeChild& c)
{
    if (c.command_line.find(kLauncherMatch) != std::string::npos) return "launcher";
    if (c.command_line.find(kContainerMatch) != std::string::npos) return "container";
    return "other";
}

std::string RegistryValue(const std::string& key, const std::string& name)
{
    uint32_t type = 0;
    std::string bytes;
    if (!fake_reg_get(key, name, &type, &bytes)) return "<absent>";
    return std::to_string(type) + ":" + bytes;
}

// The parts of the service manager's and the registry's state that decide
// whether the service can run as installed.  The description and the
// failure-actions flag are left out: a failure to set either is ignored by
// design and does not keep the service from running.
std::string AdminState()
{
    std::string s;
    FakeService* svc = fake_scm_service("svc");
    if (svc == nullptr) {
        s += "no service;";
    } else {
        s += "service deleted=" + std::to_string(svc->deleted) + " state=" + std::to_string(svc->state) +
             " start=" + std::to_string(svc->start_type) + " type=" + std::to_string(svc->service_type) +
             " path=" + svc->binary_path + " display=" + svc->display_name +
             " starts=" + std::to_string(svc->start_requests) + ";";
    }
    for (const FakeControl& c : fake_scm_controls()) s += "control " + std::to_string(c.control) + ";";
    for (const std::string& name : fake_reg_value_names(kParams)) s += name + "=" + RegistryValue(kParams, name) + ";";
    s += "source=" + RegistryValue(kEventSource, "EventMessageFile") + "/" + RegistryValue(kEventSource, "TypesSupported");
    return s;
}

Outcome Capture(Scenario scenario, int exitCode)
{
    Outcome o;
    std::vector<FakeStatusReport> attempts = fake_status_attempts();
    o.statusAttempted = !attempts.empty();
    if (o.statusAttempted) o.lastAttempt = attempts.back().status;
    for (size_t i = 0; i < fake_child_count(); ++i) {
        const FakeChild& c = fake_child(i);
        o.children.push_back(ChildKind(c));
        o.childEnded.push_back(c.ended);
        o.childInput.push_back(c.input);
        o.childBreaks.push_back(c.ctrl_breaks);
    }
    o.log = fake_fs_read(kLogPath);
    o.events = fake_events();
    o.exitCode = exitCode;
    o.output = ConsoleText();
    if (scenario != Scenario::Service) o.serviceState = AdminState();
    return o;
}

Outcome RunScenario(Scenario scenario)
{
    if (scenario == Scenario::Service) {
        RunServiceScenario();
        return Capture(scenario, 0);
    }
    int exitCode = RunCommandScenario(scenario);
    return Capture(scenario, exitCode);
}

void SetUpScenario(Scenario scenario)
{
    if (scenario == Scenario::Service)
        SetUpServiceScenario();
    else if (scenario == Scenario::Install)
        SetUpInstallScenario();
    else
        SetUpControlScenario(scenario);
}

// The clean run of each scenario, and the calls it made with their counts.
struct CleanRun {
    Outcome outcome;
    std::vector<std::string> calls;
    std::map<std::string, int> counts;
};

const CleanRun& Clean(Scenario scenario)
{
    static std::map<Scenario, CleanRun> runs;
    auto it = runs.find(scenario);
    if (it != runs.end()) return it->second;
    ResetProcessState();
    SetUpScenario(scenario);
    CleanRun run;
    run.outcome = RunScenario(scenario);
    run.calls = fake_calls_seen();
    for (const std::string& call : run.calls) run.counts[call] = fake_call_count(call.c_str());
    ReleaseProcessState();
    return runs.emplace(scenario, run).first->second;
}

std::vector<Fault> AllFaults()
{
    std::vector<Fault> faults;
    for (Scenario s : {Scenario::Service, Scenario::Install, Scenario::Start, Scenario::Stop, Scenario::Dump,
                       Scenario::Remove}) {
        const CleanRun& clean = Clean(s);
        for (const std::string& call : clean.calls) {
            faults.push_back(Fault{s, call, Mode::FirstCallOnce, 1});
            faults.push_back(Fault{s, call, Mode::FromFirstCallOn, 1});
            int count = clean.counts.at(call);
            if (count > 1) faults.push_back(Fault{s, call, Mode::LastCallOnce, count});
        }
    }
    return faults;
}

void PrintTo(const Fault& fault, std::ostream* os)
{
    *os << ScenarioName(fault.scenario) << ": " << fault.call << " fails " << ModeName(fault.mode)
        << " (call " << fault.nth << ")";
}

std::string FaultName(const ::testing::TestParamInfo<Fault>& info)
{
    std::string name = std::string(ScenarioName(info.param.scenario)) + "_" + info.param.call + "_" +
                       ModeName(info.param.mode);
    for (char& c : name)
        if (!isalnum((unsigned char)c)) c = '_';
    return name;
}

// The error every injected failure carries: ERROR_GEN_FAILURE, which no
// caller can mistake for one of the answers it handles as normal (a missing
// value, a service that does not exist, a console already attached).
const uint32_t kInjectedError = 31;

// Handles of one kind still open in the fake.  The fake numbers its handles
// from 0x100 in steps of 4; the scan checks that it found every open handle,
// so a change of that numbering fails here instead of passing silently.
std::map<std::string, int> OpenHandlesByKind()
{
    std::map<std::string, int> kinds;
    int wanted = fake_open_handle_count();
    int found = 0;
    for (uintptr_t h = 0x100; found < wanted && h < 0x100 + 4 * 1000000u; h += 4) {
        std::string kind = fake_handle_kind((PlatHandle)h);
        if (kind.empty() || kind == "std") continue;
        ++kinds[kind];
        ++found;
    }
    EXPECT_EQ(wanted, found) << "open handles the scan could not find";
    return kinds;
}

bool IsErrorOrWarning(const FakeEvent& e) { return e.type == 1 || e.type == 2; }

bool SameEvent(const FakeEvent& a, const FakeEvent& b)
{
    return a.id == b.id && a.type == b.type && a.strings == b.strings;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Lines of `text` that `reference` does not have.
std::vector<std::string> NewLines(const std::string& text, const std::string& reference)
{
    std::vector<std::string> ref = Lines(reference), added;
    for (const std::string& line : Lines(text))
        if (std::find(ref.begin(), ref.end(), line) == ref.end()) added.push_back(line);
    return added;
}

// Stops the test program when a run never returns; the virtual-time cap
// cannot see a loop that never waits.
class Watchdog {
public:
    Watchdog()
        : thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, std::chrono::seconds(kWatchdogSeconds), [this] { return done_; })) {
                  fprintf(stderr, "fault injection: the run did not return within %d s\n", kWatchdogSeconds);
                  abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// --- the checks ----------------------------------------------------------------------

// Checks what every run must leave, clean or not.  `fault` is the call
// that failed, or "" for the clean run.
void ExpectDefinedEnd(Scenario scenario, const Outcome& o, const std::string& fault)
{
    EXPECT_FALSE(g_ran_away) << "the run went on past " << kVirtualTimeCapMs / 1000 << " virtual seconds";

    // Calls whose failure leaves their own object open: the leak is the
    // platform's, not the code's.
    bool closeFails = fault == "CloseHandle";
    if (!closeFails) {
        std::map<std::string, int> kinds = OpenHandlesByKind();
        EXPECT_EQ(0, kinds["process"]) << "process handles left open";
        EXPECT_EQ(0, kinds["thread"]) << "thread handles left open";
        EXPECT_EQ(0, kinds["event"]) << "event handles left open";
        // The six pipes live as long as the process.
        EXPECT_LE(kinds["pipe-read"] + kinds["pipe-write"], 12);
    }
    EXPECT_EQ(0, fake_bad_handle_count()) << "a handle was used after it was closed, or never made";
    if (fault != "FreeEnvironmentStringsA") {
        EXPECT_EQ(0, fake_env_blocks_outstanding());
    }
    if (fault != "RegCloseKey") {
        EXPECT_EQ(0, fake_reg_open_key_count());
    }
    if (fault != "DeregisterEventSource") {
        EXPECT_EQ(0, fake_event_sources_open());
    }
    if (fault != "CloseServiceHandle") {
        EXPECT_EQ(0, fake_scm_open_handles());
    }

    if (scenario == Scenario::Service) {
        // No launcher or container outlives the run; the exit script is
        // started and let go by design.
        for (size_t i = 0; i < o.children.size(); ++i)
            if (o.children[i] != "other") {
                EXPECT_TRUE(o.childEnded[i]) << o.children[i] << " " << i << " still runs";
            }
        // ServiceMain's STOPPED report is the last one made, whether or
        // not the service manager took it.
        if (fault != "RegisterServiceCtrlHandlerExA") {
            ASSERT_TRUE(o.statusAttempted);
            EXPECT_EQ((uint32_t)SERVICE_STATE_STOPPED, o.lastAttempt.current_state);
            // A failed run is never shown as a clean stop.
            EXPECT_EQ(o.lastAttempt.service_specific_exit_code != 0 ? (uint32_t)PLAT_ERROR_SERVICE_SPECIFIC_ERROR : 0u,
                      o.lastAttempt.win32_exit_code);
        }
    } else {
        EXPECT_TRUE(o.exitCode == 0 || o.exitCode == 1) << o.exitCode;
    }
}

// The children's input without line feeds: the input flusher's "\n" every
// two seconds depends on how long a child ran, not on what it was told.
std::vector<std::string> WithoutNewlines(std::vector<std::string> inputs)
{
    for (std::string& input : inputs) input.erase(std::remove(input.begin(), input.end(), '\n'), input.end());
    return inputs;
}

// The run behaved as the clean one: the same children with the same
// input, dumps and output, the same end.
bool SameBehaviour(Scenario scenario, const Outcome& o, const Outcome& clean, std::string* why)
{
    if (scenario != Scenario::Service) {
        if (o.exitCode != clean.exitCode) *why = "exit code " + std::to_string(o.exitCode);
        else if (o.serviceState != clean.serviceState) *why = "service state " + o.serviceState;
        return why->empty();
    }
    if (o.lastAttempt.service_specific_exit_code != clean.lastAttempt.service_specific_exit_code)
        *why = "service exit code " + std::to_string(o.lastAttempt.service_specific_exit_code);
    else if (o.children != clean.children)
        *why = "a different set of children was started";
    else if (WithoutNewlines(o.childInput) != WithoutNewlines(clean.childInput) || o.childBreaks != clean.childBreaks)
        *why = "the children were told different things";
    else
        for (const char* text : {kLauncherOut, kLauncherErr, kFirstContainerOut, kFirstContainerErr,
                                 kSecondContainerOut, kSecondContainerErr, kThreadDump})
            if (o.log.find(text) == std::string::npos) *why = std::string("the log lacks ") + text;
    return why->empty();
}

// Where the failure was reported, or "" when nowhere.
std::string Report(Scenario scenario, const Outcome& o, const Outcome& clean)
{
    if (scenario != Scenario::Service) {
        // A command reports with a message and the exit code 1.  The one
        // exception is the install command line that the option check
        // rejects: it prints its message and the usage text and ends with 0.
        std::vector<std::string> added = NewLines(o.output, clean.output);
        if (added.empty()) return "";
        bool rejectedInstall = scenario == Scenario::Install && o.output.find("\nUsage:\n") != std::string::npos;
        if (o.exitCode == 1 || rejectedInstall) return "message: " + added.front();
        return "";
    }
    if (o.lastAttempt.service_specific_exit_code != 0)
        return "service exit code " + std::to_string(o.lastAttempt.service_specific_exit_code);
    for (const FakeEvent& e : o.events) {
        if (!IsErrorOrWarning(e)) continue;
        bool known = false;
        for (const FakeEvent& c : clean.events) known = known || SameEvent(e, c);
        if (!known) return "event " + std::to_string(e.id) + ": " + (e.strings.size() > 1 ? e.strings[1] : "");
    }
    for (const std::string& line : NewLines(o.log, clean.log))
        if (line.find("could not") != std::string::npos || line.find("failed") != std::string::npos)
            return "log line: " + line;
    return "";
}

class FaultInjectionTest : public ::testing::TestWithParam<Fault> {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ReleaseProcessState(); }
};

TEST_P(FaultInjectionTest, EndsDefinedAndReportsWhatItCouldNotDo)
{
    const Fault& fault = GetParam();
    const CleanRun& clean = Clean(fault.scenario);
    ResetProcessState();
    SetUpScenario(fault.scenario);
    fake_fail(fault.call.c_str(), kInjectedError, fault.nth, fault.mode == Mode::FromFirstCallOn);
    // A failed FreeEnvironmentStringsA keeps its block, on Windows as in the
    // fake; that block is the platform's leak, not one of the code's.
    bool platformLeaks = fault.call == "FreeEnvironmentStringsA";
    if (platformLeaks) TALVEX_LSAN_DISABLE();
    Outcome o;
    {
        Watchdog watchdog;
        o = RunScenario(fault.scenario);
    }
    if (platformLeaks) TALVEX_LSAN_ENABLE();
    EXPECT_GE(fake_call_count(fault.call.c_str()), fault.nth) << "the failing call was never made";

    ExpectDefinedEnd(fault.scenario, o, fault.call);
    // A log file that cannot be opened is by design not reported: the
    // service runs on without it.
    bool silentByDesign = fault.call == "fopen" && fault.nth == 1 && fault.mode != Mode::FromFirstCallOn;
    std::string why;
    if (!silentByDesign && !SameBehaviour(fault.scenario, o, clean.outcome, &why)) {
        EXPECT_NE("", Report(fault.scenario, o, clean.outcome))
            << "the failure changed the run (" << why << ") and was reported nowhere";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCall, FaultInjectionTest, ::testing::ValuesIn(AllFaults()), FaultName);

// The clean runs themselves are the reference: each must end defined, and
// the service run must have gone through a start, a restart, a dump and a
// stop, or the faults above would be measured against the wrong thing.
class CleanRunTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ReleaseProcessState(); }
};

TEST_F(CleanRunTest, ServiceRunStartsRestartsDumpsAndStops)
{
    SetUpServiceScenario();
    Outcome o = RunScenario(Scenario::Service);
    ExpectDefinedEnd(Scenario::Service, o, "");
    EXPECT_EQ((std::vector<std::string>{"launcher", "container", "launcher", "container", "other"}), o.children);
    ASSERT_TRUE(o.statusAttempted);
    EXPECT_EQ((uint32_t)SERVICE_STATE_STOPPED, o.lastAttempt.current_state);
    EXPECT_EQ(0u, o.lastAttempt.service_specific_exit_code);
    EXPECT_EQ(1, o.childBreaks[3]);
    EXPECT_NE(std::string::npos, o.childInput[3].find("shutdown\n"));
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_RESTART).size());
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
    for (const char* text : {kLauncherOut, kLauncherErr, kFirstContainerOut, kFirstContainerErr, kSecondContainerOut,
                             kSecondContainerErr, kThreadDump})
        EXPECT_NE(std::string::npos, o.log.find(text)) << text;
    EXPECT_FALSE(g_ran_away);
    // The calls that matter most are among those the faults cover.
    std::vector<std::string> calls = fake_calls_seen();
    for (const char* call : {"RegisterServiceCtrlHandlerExA", "SetServiceStatus", "RegOpenKeyExA", "CreatePipe",
                             "DuplicateHandle", "CreateProcessA", "WaitForSingleObject", "PeekNamedPipe", "ReadFile",
                             "WriteFile", "CreateThread", "GenerateConsoleCtrlEvent", "ReportEventA", "fopen",
                             "GetEnvironmentVariableA", "ExpandEnvironmentStringsA", "SetEnvironmentVariableA",
                             "HeapAlloc", "CloseHandle"})
        EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), call)) << call;
}

TEST_F(CleanRunTest, CommandsSucceedAndChangeWhatTheyShould)
{
    for (Scenario s : {Scenario::Install, Scenario::Start, Scenario::Stop, Scenario::Dump, Scenario::Remove}) {
        ResetProcessState();
        SetUpScenario(s);
        Outcome o = RunScenario(s);
        EXPECT_EQ(0, o.exitCode) << ScenarioName(s) << ": " << o.output;
        EXPECT_EQ(0, fake_scm_open_handles()) << ScenarioName(s);
        EXPECT_EQ(0, fake_reg_open_key_count()) << ScenarioName(s);
    }
    ResetProcessState();
    SetUpScenario(Scenario::Install);
    RunScenario(Scenario::Install);
    ASSERT_NE(nullptr, fake_scm_service("svc"));
    EXPECT_EQ("C:\\talvex\\talvex.exe", fake_scm_service("svc")->binary_path);
    EXPECT_EQ("1:D:\\svc", RegistryValue(kParams, "WorkingDirectory"));
    EXPECT_EQ("2:C:\\talvex\\talvexMSG.dll", RegistryValue(kEventSource, "EventMessageFile"));
}

}  // namespace

// --- what the faults above found, pinned down one by one ------------------------------

class FoundFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        SetUpServiceScenario();
    }
    void TearDown() override { ReleaseProcessState(); }

    static std::vector<std::string> Texts(uint32_t id)
    {
        std::vector<std::string> texts;
        for (const FakeEvent& e : fake_events_with_id(id)) texts.push_back(e.strings.size() > 1 ? e.strings[1] : "");
        return texts;
    }
};

TEST_F(FoundFaultTest, FailedWaitsAreNotTakenForTheChildsEnd)
{
    // Every wait fails, but the exit code still says whether a child runs,
    // so the run goes exactly as the clean one: no container is started
    // before its launcher has ended.
    fake_fail("WaitForSingleObject", kInjectedError, 1, true);
    Outcome o = RunScenario(Scenario::Service);
    const Outcome& clean = Clean(Scenario::Service).outcome;
    EXPECT_EQ(clean.children, o.children);
    ASSERT_GE(fake_child_count(), 2u);
    EXPECT_FALSE(fake_child(0).terminated);
    EXPECT_LE(fake_child(0).end_ms, fake_child(1).start_ms) << "the container started while its launcher ran";
    EXPECT_EQ(0u, o.lastAttempt.service_specific_exit_code);
    ExpectDefinedEnd(Scenario::Service, o, "WaitForSingleObject");
}

TEST_F(FoundFaultTest, ChildThatCanNoLongerBeWatchedIsEndedAndReported)
{
    fake_fail("WaitForSingleObject", 6, 1, true);
    fake_fail("GetExitCodeProcess", 6, 1, true);
    Outcome o = RunScenario(Scenario::Service);
    EXPECT_EQ(std::vector<std::string>{"The launcher process can no longer be watched - The handle is invalid.\r\n"},
              Texts(EVENT_ERROR));
    ASSERT_GE(fake_child_count(), 1u);
    EXPECT_TRUE(fake_child(0).terminated);
    EXPECT_EQ((std::vector<std::string>{"launcher", "other"}), o.children) << "no container after a lost launcher";
    EXPECT_EQ(1u, o.lastAttempt.service_specific_exit_code);
    ExpectDefinedEnd(Scenario::Service, o, "WaitForSingleObject");
}

TEST_F(FoundFaultTest, ChildDoesNotOutliveAStepThatFailsAfterItsStart)
{
    // A standard handle that cannot be restored after the launcher's start,
    // and an input flusher that cannot start after the container's.
    struct Row {
        const char* call;
        uint32_t error;
        size_t child;
        const char* kind;
        std::vector<std::string> warnings;
    } rows[] = {
        {"SetStdHandle", 6, 0, "launcher", {"SetStdHandle for STDOUT after StartProcess failed"}},
        {"CreateThread", PLAT_ERROR_NOT_ENOUGH_MEMORY, 1, "container", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        ResetProcessState();
        SetUpServiceScenario();
        fake_fail(row.call, row.error);
        Outcome o = RunScenario(Scenario::Service);
        EXPECT_EQ(row.warnings, Texts(EVENT_WARNING));
        ASSERT_GT(fake_child_count(), row.child);
        EXPECT_EQ(row.kind, o.children[row.child]);
        EXPECT_TRUE(fake_child(row.child).terminated);
        EXPECT_EQ(1u, o.lastAttempt.service_specific_exit_code);
        ExpectDefinedEnd(Scenario::Service, o, row.call);
    }
}

TEST_F(FoundFaultTest, LogFileThatCannotBeOpenedLeavesTheServiceRunning)
{
    fake_fail("fopen", PLAT_ERROR_ACCESS_DENIED);
    Outcome o = RunScenario(Scenario::Service);
    // Losing the log is not reported; the service itself runs on unchanged.
    EXPECT_TRUE(Texts(EVENT_WARNING).empty());
    EXPECT_EQ(Clean(Scenario::Service).outcome.children, o.children);
    EXPECT_EQ(0u, o.lastAttempt.service_specific_exit_code);
    ExpectDefinedEnd(Scenario::Service, o, "fopen");
}

TEST_F(FoundFaultTest, LogFilePathTooLongIsNotCut)
{
    std::string directory = "D:\\" + std::string(2044, 'd');
    std::string name(300, 'n');
    fake_fs_mkdir(directory);
    OpenLogFile(directory.c_str(), name.c_str());
    EXPECT_EQ(nullptr, LogFile);
    EXPECT_EQ(0, fake_call_count("fopen")) << "a cut path would name another file";
}

TEST_F(FoundFaultTest, ExitScriptThatCannotBeLookedForIsReported)
{
    fake_fail("GetFileAttributesA", PLAT_ERROR_ACCESS_DENIED, Clean(Scenario::Service).counts.at("GetFileAttributesA"));
    Outcome o = RunScenario(Scenario::Service);
    std::vector<std::string> errors = Texts(EVENT_ERROR);
    EXPECT_EQ(1, std::count(errors.begin(), errors.end(), "exit.bat could not be looked for - Access is denied.\r\n"));
    EXPECT_EQ("container", o.children.back()) << "the script was not started";
}

TEST_F(FoundFaultTest, MissingExitScriptStaysSilent)
{
    fake_fs_remove("D:\\svc\\exit.bat");
    Outcome o = RunScenario(Scenario::Service);
    // The only error events are the children's own standard error.
    EXPECT_EQ((std::vector<std::string>{kLauncherErr, kFirstContainerErr, kLauncherErr, kSecondContainerErr}),
              Texts(EVENT_ERROR));
    EXPECT_EQ("container", o.children.back());
}

TEST_F(FoundFaultTest, UnregisteredControlHandlerIsAnErrorEvent)
{
    fake_fail("RegisterServiceCtrlHandlerExA", PLAT_ERROR_ACCESS_DENIED);
    Outcome o = RunScenario(Scenario::Service);
    EXPECT_FALSE(o.statusAttempted);
    EXPECT_TRUE(o.children.empty());
    EXPECT_EQ(std::vector<std::string>{"RegisterServiceCtrlHandlerEx failed - Access is denied.\r\n"},
              Texts(EVENT_ERROR));
}
