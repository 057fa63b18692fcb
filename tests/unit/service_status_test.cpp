// Service entry, status reporting and control handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_registry.h"
#include "fake/fake_service.h"
#include "service/service_status.h"

namespace {

const uint32_t STOPPED = SERVICE_STATE_STOPPED;
const uint32_t START_PENDING = SERVICE_STATE_START_PENDING;
const uint32_t STOP_PENDING = SERVICE_STATE_STOP_PENDING;
const uint32_t RUNNING = SERVICE_STATE_RUNNING;

// 2026-01-06 13:07:09 in the fake's local time (UTC), a Tuesday.
const int64_t kStartTime = 1767225600 + 5 * 86400 + 13 * 3600 + 7 * 60 + 9;

PlatServiceStatus status(uint32_t state, uint32_t accepted, uint32_t checkpoint, uint32_t waitHint,
                         uint32_t exitCode = 0, uint32_t specific = 0)
{
    return PlatServiceStatus{0x10, state, accepted, exitCode, specific, checkpoint, waitHint};
}

void ExpectStatus(const PlatServiceStatus& want, const PlatServiceStatus& got, const std::string& what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(want.service_type, got.service_type);
    EXPECT_EQ(want.current_state, got.current_state);
    EXPECT_EQ(want.controls_accepted, got.controls_accepted);
    EXPECT_EQ(want.win32_exit_code, got.win32_exit_code);
    EXPECT_EQ(want.service_specific_exit_code, got.service_specific_exit_code);
    EXPECT_EQ(want.check_point, got.check_point);
    EXPECT_EQ(want.wait_hint, got.wait_hint);
}

void ExpectReports(const std::vector<PlatServiceStatus>& want)
{
    std::vector<PlatServiceStatus> got = fake_status_reports();
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) ExpectStatus(want[i], got[i], "report " + std::to_string(i));
}

struct Report {
    uint32_t state, exitCode, waitHint;
};

class ServiceStatusTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    void TearDown() override
    {
        LogFile = nullptr;
        DebugEnabled = 0;
        ResetServiceStatus();
    }

    void fresh()
    {
        fake_reset();
        ResetServiceStatus();
        LogFile = nullptr;
        DebugEnabled = 0;
        fake_set_wall_clock(kStartTime);
    }

    // What ServiceMain leaves behind: a registered handle and the version.
    void registered(bool vista = true)
    {
        ServiceStatus.handle = fake_status_handle();
        ServiceStatus.vistaOrLater = vista ? 1 : 0;
        ServiceStatus.status.service_type = 0x10;
    }

    void report(const std::vector<Report>& reports)
    {
        for (const Report& r : reports) ReportServiceStatus(r.state, r.exitCode, r.waitHint);
    }

    void open_log()
    {
        fake_fs_mkdir("D:\\svc");
        LogFile = plat_fopen("D:\\svc\\svc.out", "wb");
        ASSERT_NE(nullptr, LogFile);
    }

    std::string log_text() { return fake_fs_read("D:\\svc\\svc.out"); }

    // The service body runs inside ServiceMain.  Java cannot be started, so
    // the body ends at its first launch with a failure instead of running a
    // container for ever.
    void run_service_main(const char* serviceName)
    {
        fake_fail("CreateProcessA", PLAT_ERROR_FILE_NOT_FOUND, 1, true);
        std::string name = serviceName;
        char* argv[] = {&name[0], nullptr};
        ServiceMain(1, argv);
    }
};

// --- the reporting rule --------------------------------------------------------

TEST_F(ServiceStatusTest, ReportsFollowTheCheckpointAndAcceptedControlsRule)
{
    const struct {
        const char* what;
        bool vista;
        std::vector<Report> calls;
        std::vector<PlatServiceStatus> sent;
    } rows[] = {
        {"a start and a stop",
         true,
         {{START_PENDING, 0, 15000}, {START_PENDING, 0, 15000}, {START_PENDING, 0, 15000}, {RUNNING, 0, 15000},
          {STOP_PENDING, 0, 15000}, {STOP_PENDING, 0, 15000}, {STOP_PENDING, 0, 15000}, {STOPPED, 0, 0}},
         {status(START_PENDING, 0, 1, 15000), status(START_PENDING, 0, 2, 15000), status(START_PENDING, 0, 3, 15000),
          status(RUNNING, 0x105, 0, 15000), status(STOP_PENDING, 0x105, 1, 15000),
          status(STOP_PENDING, 0x105, 2, 15000), status(STOP_PENDING, 0x105, 3, 15000),
          status(STOPPED, 0x105, 0, 0)}},
        {"both pending states share one counter",
         true,
         {{START_PENDING, 0, 15000}, {START_PENDING, 0, 15000}, {STOP_PENDING, 0, 15000}, {RUNNING, 0, 15000},
          {START_PENDING, 0, 15000}},
         {status(START_PENDING, 0, 1, 15000), status(START_PENDING, 0, 2, 15000),
          status(STOP_PENDING, 0x105, 3, 15000), status(RUNNING, 0x105, 0, 15000),
          status(START_PENDING, 0, 1, 15000)}},
        {"older Windows is not offered preshutdown",
         false,
         {{START_PENDING, 0, 15000}, {RUNNING, 0, 15000}, {STOP_PENDING, 0, 15000}, {STOPPED, 0, 0}},
         {status(START_PENDING, 0, 1, 15000), status(RUNNING, 0x5, 0, 15000), status(STOP_PENDING, 0x5, 1, 15000),
          status(STOPPED, 0x5, 0, 0)}},
        {"exit code and wait hint as given", true, {{STOP_PENDING, 1066, 2500}},
         {status(STOP_PENDING, 0x105, 1, 2500, 1066)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        registered(row.vista);
        report(row.calls);
        ExpectReports(row.sent);
    }
}

TEST_F(ServiceStatusTest, TheFinalReportCarriesTheServiceExitCode)
{
    registered();
    EXPECT_EQ(1, ReportServiceStatus(STOP_PENDING, 0, 15000));
    EXPECT_EQ(1, ReportServiceStopped(0));
    EXPECT_EQ(1, ReportServiceStopped(7));
    EXPECT_EQ(1, ReportServiceStopped(0));
    ExpectReports({
        status(STOP_PENDING, 0x105, 1, 15000),
        status(STOPPED, 0x105, 0, 0, 0, 0),
        status(STOPPED, 0x105, 0, 0, 1066, 7),
        status(STOPPED, 0x105, 0, 0, 0, 0),
    });
}

TEST_F(ServiceStatusTest, WithoutAHandleEveryReportFailsAndTheRecordMovesOn)
{
    // The -test mode: no handle, every report is lost, the service runs on.
    EXPECT_EQ(0, ReportServiceStatus(START_PENDING, 0, 15000));
    EXPECT_EQ(0, ReportServiceStatus(START_PENDING, 0, 15000));
    EXPECT_EQ(0, ReportServiceStatus(RUNNING, 0, 15000));
    EXPECT_TRUE(fake_status_reports().empty());
    std::vector<FakeStatusReport> attempts = fake_status_attempts();
    ASSERT_EQ(3u, attempts.size());
    EXPECT_EQ(nullptr, attempts[0].handle);
    EXPECT_EQ(1u, attempts[0].status.check_point);
    EXPECT_EQ(2u, attempts[1].status.check_point);
    EXPECT_EQ(0u, attempts[2].status.check_point);
    // No version was asked for, so the controls are those of older systems.
    EXPECT_EQ(0x5u, attempts[2].status.controls_accepted);
}

TEST_F(ServiceStatusTest, AFailedReportIsLostButTheNextOneIsSent)
{
    registered();
    open_log();
    DebugEnabled = 1;
    fake_fail("SetServiceStatus", PLAT_ERROR_INVALID_HANDLE);
    EXPECT_EQ(0, ReportServiceStatus(START_PENDING, 0, 15000));
    EXPECT_EQ(1, ReportServiceStatus(START_PENDING, 0, 15000));
    ExpectReports({status(START_PENDING, 0, 2, 15000)});
    // A failed report is not written anywhere.
    EXPECT_EQ("", log_text());
}

TEST_F(ServiceStatusTest, VistaOrLaterFollowsTheMajorVersion)
{
    for (uint32_t major : {5u, 6u, 10u}) {
        fake_set_os_major_version(major);
        EXPECT_EQ(major >= 6 ? 1 : 0, IsVistaOrLater()) << major;
    }
    fake_fail("GetVersionExA", PLAT_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(0, IsVistaOrLater());
}

// --- ServiceMain -----------------------------------------------------------------

TEST_F(ServiceStatusTest, ServiceMainRunsTheBodyBetweenStartPendingAndAStoppedReportWithItsExitCode)
{
    fake_reg_create_key("SYSTEM\\CurrentControlSet\\Services\\svc");
    run_service_main("svc");
    EXPECT_TRUE(fake_handler_registered());
    EXPECT_EQ("svc", fake_handler_name());
    std::vector<PlatServiceStatus> reports = fake_status_reports();
    ASSERT_GE(reports.size(), 2u);
    ExpectStatus(status(START_PENDING, 0, 1, 15000), reports.front(), "first report");
    // The body could not start a launcher and returned 1: the final report
    // says that the service failed, not that it stopped cleanly.
    ExpectStatus(status(STOPPED, 0x105, 0, 0, 1066, 1), reports.back(), "last report");
    // The body ran under the dispatcher's name: it looked for its parameters.
    std::vector<std::string> asked = fake_reg_requested_paths();
    const char parameters[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
    EXPECT_NE(asked.end(), std::find(asked.begin(), asked.end(), parameters));
    // The record keeps the handle, so later controls are still answered.
    EXPECT_EQ(fake_status_handle(), ServiceStatus.handle);
}

TEST_F(ServiceStatusTest, ServiceMainOnOlderWindowsOffersStopAndShutdownOnly)
{
    fake_set_os_major_version(5);
    run_service_main("svc");
    std::vector<PlatServiceStatus> reports = fake_status_reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(0u, reports.front().controls_accepted);
    EXPECT_EQ(0x5u, reports.back().controls_accepted);
    EXPECT_EQ(0u, ServiceStatus.vistaOrLater);
}

TEST_F(ServiceStatusTest, ServiceMainWithoutAHandleRunsNothingAndSaysWhyInAnEvent)
{
    fake_fail("RegisterServiceCtrlHandlerExA", PLAT_ERROR_INVALID_PARAMETER);
    char name[] = "svc";
    char* argv[] = {name, nullptr};
    ServiceMain(1, argv);
    EXPECT_TRUE(fake_status_attempts().empty());
    // Not even the version was asked for, nor a parameter read.
    EXPECT_EQ(0, fake_call_count("GetVersionExA"));
    EXPECT_EQ(0, fake_call_count("RegOpenKeyExA"));
    EXPECT_EQ(nullptr, ServiceStatus.handle);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(EVENT_ERROR, events[0].id);
    EXPECT_EQ(
        (std::vector<std::string>{"svc", "RegisterServiceCtrlHandlerEx failed - The parameter is incorrect.\r\n"}),
        events[0].strings);
}

TEST_F(ServiceStatusTest, ServiceMainWithoutANameReportsAFailureWithoutRunningTheBody)
{
    ServiceMain(0, nullptr);
    EXPECT_TRUE(fake_handler_registered());
    EXPECT_EQ("", fake_handler_name());
    ExpectReports({status(START_PENDING, 0, 1, 15000), status(STOPPED, 0x105, 0, 0, 1066, 1)});
    // The body never ran: it would have looked for its parameters first.
    EXPECT_TRUE(fake_reg_requested_paths().empty());
    EXPECT_EQ(0, fake_call_count("CreatePipe"));
}

// --- ServiceControlHandler -------------------------------------------------------

TEST_F(ServiceStatusTest, EveryControlHasItsResultRequestAndReport)
{
    struct Row {
        std::string what;
        std::vector<Report> before;
        uint32_t control;
        uint32_t result;
        uint32_t stop, dump;
        std::vector<PlatServiceStatus> sent;
    };
    const Report running = {RUNNING, 0, 15000};
    const PlatServiceStatus runningSent = status(RUNNING, 0x105, 0, 15000);
    std::vector<Row> rows;
    for (uint32_t control : {CONTROL_STOP, CONTROL_SHUTDOWN, CONTROL_PRESHUTDOWN, CONTROL_USER_REMOVE})
        rows.push_back({"stop-type control " + std::to_string(control), {running}, control, 0, 1, 0,
                        {runningSent, status(STOP_PENDING, 0x105, 1, 0)}});
    rows.push_back({"stop while start pending shares the counter", {{START_PENDING, 0, 15000}}, CONTROL_STOP, 0, 1, 0,
                    {status(START_PENDING, 0, 1, 15000), status(STOP_PENDING, 0x105, 2, 0)}});
    rows.push_back({"interrogate while running", {running}, CONTROL_INTERROGATE, 0, 0, 0,
                    {runningSent, status(RUNNING, 0x105, 0, 0)}});
    rows.push_back({"interrogate while start pending", {{START_PENDING, 0, 15000}}, CONTROL_INTERROGATE, 0, 0, 0,
                    {status(START_PENDING, 0, 1, 15000), status(START_PENDING, 0, 2, 0)}});
    rows.push_back({"interrogate while stop pending", {running, {STOP_PENDING, 0, 15000}}, CONTROL_INTERROGATE, 0, 0,
                    0, {runningSent, status(STOP_PENDING, 0x105, 1, 15000), status(STOP_PENDING, 0x105, 2, 0)}});
    rows.push_back({"dump", {running}, CONTROL_USER_DUMP, 0, 0, 1, {runningSent, status(RUNNING, 0x105, 0, 0)}});
    for (uint32_t control : {0u, 2u, 3u, 6u, 7u, 14u, 16u, 127u, 130u, 255u})
        rows.push_back({"unknown control " + std::to_string(control), {running}, control, 120, 0, 0, {runningSent}});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        registered();
        report(row.before);
        EXPECT_EQ(row.result, ServiceControlHandler(row.control, 0, nullptr, nullptr));
        EXPECT_EQ(row.stop, Requests.StopRequested);
        EXPECT_EQ(row.dump, Requests.DumpRequested);
        ExpectReports(row.sent);
    }
}

TEST_F(ServiceStatusTest, ASecondStopWhileStopPendingRequestsAgainWithTheNextCheckpoint)
{
    registered();
    ReportServiceStatus(RUNNING, 0, 15000);
    ServiceControlHandler(CONTROL_STOP, 0, nullptr, nullptr);
    // The supervisor takes the request up and clears it.
    Requests.StopRequested = 0;
    ServiceControlHandler(CONTROL_STOP, 0, nullptr, nullptr);
    EXPECT_EQ(1u, Requests.StopRequested);
    EXPECT_EQ(STOP_PENDING, ServiceStatus.status.current_state);
    ExpectReports({
        status(RUNNING, 0x105, 0, 15000),
        status(STOP_PENDING, 0x105, 1, 0),
        status(STOP_PENDING, 0x105, 2, 0),
    });
}

// --- trace lines and ConsoleCtrlHandler ----------------------------------------

// Every control and console event, with and without debug mode and without a
// log: the trace line carries the time of the request, only stop-type
// requests and a console shutdown write one, and only in debug mode.
TEST_F(ServiceStatusTest, TraceLinesAreWrittenInDebugModeOnlyWithTheTimeOfTheRequest)
{
    const std::string later = "Tue Jan  6 13:08:10 2026\n";
    const struct {
        bool console;
        uint32_t code;
        int result;
        uint32_t stop, dump;
        std::string trace;
    } rows[] = {
        {false, CONTROL_STOP, 0, 1, 0, "\nDEBUG: ServiceStop: with control code 1 at " + later},
        {false, CONTROL_SHUTDOWN, 0, 1, 0, "\nDEBUG: ServiceStop: with control code 5 at " + later},
        {false, CONTROL_PRESHUTDOWN, 0, 1, 0, "\nDEBUG: ServiceStop: with control code 15 at " + later},
        {false, CONTROL_USER_REMOVE, 0, 1, 0, "\nDEBUG: ServiceRemove: " + later + "\n"},
        {false, CONTROL_USER_DUMP, 0, 0, 1, ""},
        {false, CONTROL_INTERROGATE, 0, 0, 0, ""},
        {true, CONSOLE_SHUTDOWN_EVENT, 1, 1, 0,
         "Initiating shutdown due to console control handler.\n"
         "\nDEBUG: ServiceStop: with control code 6 at " + later},
        // Ctrl+C, Ctrl+Break, close and logoff are passed on.
        {true, 0, 0, 0, 0, ""},
        {true, 1, 0, 0, 0, ""},
        {true, 2, 0, 0, 0, ""},
        {true, 5, 0, 0, 0, ""},
    };
    enum Mode { DEBUG_ON, DEBUG_OFF, NO_LOG };
    for (const auto& row : rows) {
        for (Mode mode : {DEBUG_ON, DEBUG_OFF, NO_LOG}) {
            SCOPED_TRACE((row.console ? "console event " : "control ") + std::to_string(row.code) + " mode " +
                         std::to_string(mode));
            fresh();
            // Without a log there is no handle either, as in the -test mode.
            if (mode != NO_LOG) {
                registered();
                ReportServiceStatus(RUNNING, 0, 15000);
                open_log();
            }
            DebugEnabled = mode == DEBUG_OFF ? 0 : 1;
            fake_advance(61 * 1000);
            size_t attempts = fake_status_attempts().size();
            if (row.console) {
                EXPECT_EQ(row.result, ConsoleCtrlHandler(row.code));
                // The console handler never reports a state.
                EXPECT_EQ(attempts, fake_status_attempts().size());
                if (mode != NO_LOG) {
                    EXPECT_EQ(RUNNING, ServiceStatus.status.current_state);
                }
            } else {
                EXPECT_EQ((uint32_t)row.result, ServiceControlHandler(row.code, 0, nullptr, nullptr));
            }
            EXPECT_EQ(row.stop, Requests.StopRequested);
            EXPECT_EQ(row.dump, Requests.DumpRequested);
            if (mode != NO_LOG) {
                EXPECT_EQ(mode == DEBUG_ON ? row.trace : "", log_text());
            }
        }
    }
}

TEST_F(ServiceStatusTest, ResetPutsTheProcessStartValuesBack)
{
    registered();
    ReportServiceStatus(START_PENDING, 0, 15000);
    ServiceControlHandler(CONTROL_STOP, 0, nullptr, nullptr);
    ServiceControlHandler(CONTROL_USER_DUMP, 0, nullptr, nullptr);
    ResetServiceStatus();
    EXPECT_EQ(nullptr, ServiceStatus.handle);
    EXPECT_EQ(1u, ServiceStatus.checkpointCounter);
    EXPECT_EQ(0u, ServiceStatus.vistaOrLater);
    EXPECT_EQ(0u, ServiceStatus.status.current_state);
    EXPECT_EQ(0u, Requests.StopRequested);
    EXPECT_EQ(0u, Requests.DumpRequested);
}

// --- two threads reporting at once ------------------------------------------------

// The supervisor reports while the dispatcher's thread handles stop controls.
// Every record that reaches the manager must be one report's fields, no two
// SetServiceStatus calls may overlap, and the pending checkpoints must follow
// each other without a repeat or a gap.
TEST_F(ServiceStatusTest, ConcurrentReportsNeverMixTheirFields)
{
    registered();
    std::atomic<int> inside(0);
    std::atomic<int> overlaps(0);
    fake_on_set_status([&](const PlatServiceStatus&) {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::yield();
        inside.fetch_sub(1);
    });
    const int rounds = 2000;
    std::thread supervisor([&] {
        for (int i = 0; i < rounds; ++i) ReportServiceStatus(RUNNING, 7, 3);
    });
    std::thread dispatcher([&] {
        for (int i = 0; i < rounds; ++i) ServiceControlHandler(CONTROL_STOP, 0, nullptr, nullptr);
    });
    supervisor.join();
    dispatcher.join();
    fake_on_set_status(nullptr);

    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(1u, Requests.StopRequested);
    std::vector<PlatServiceStatus> reports = fake_status_reports();
    ASSERT_EQ((size_t)(2 * rounds), reports.size());
    uint32_t expected_checkpoint = 1;
    for (size_t i = 0; i < reports.size(); ++i) {
        const PlatServiceStatus& r = reports[i];
        if (r.current_state == STOP_PENDING) {
            ASSERT_EQ(0u, r.win32_exit_code) << i;
            ASSERT_EQ(0u, r.wait_hint) << i;
            ASSERT_EQ(expected_checkpoint, r.check_point) << i;
            ++expected_checkpoint;
        } else {
            ASSERT_EQ(RUNNING, r.current_state) << i;
            ASSERT_EQ(7u, r.win32_exit_code) << i;
            ASSERT_EQ(3u, r.wait_hint) << i;
            ASSERT_EQ(0u, r.check_point) << i;
            expected_checkpoint = 1;
        }
        ASSERT_EQ(0x105u, r.controls_accepted) << i;
    }
}

}  // namespace
