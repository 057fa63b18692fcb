// The service body: launch cycles of launcher and container.
//
// Each cycle runs the launcher JVM (phase 1), which writes the container's
// start script and announces its exit code on its standard output, and then
// the container that the script describes (phase 2).  The supervisor runs on
// one thread and works by polling: it waits on the current child's process
// handle, and on the event that the control handlers set with every request,
// for a short while (poll_pacing.cpp says how long), then drains the child's
// pipes, evaluates the markers, enforces the time limits and takes up the
// requests that the control handlers left in Requests.  Only the marker on a
// child's output says how it ended; the process exit status is looked at only
// to explain a child that ended without one.
//
// Each phase returns an Outcome and changes nothing that another function
// reads; what follows a cycle, and the run's exit code, is NextCycleStep's
// decision on it (cycle_step.cpp).  The phases are launcher_phase.cpp and
// container_phase.cpp; what both do with their child is child_watch.cpp.
#include "service/supervisor.h"

#include <stddef.h>
#include <string.h>

#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/exit_script.h"
#include "service/restart_throttle.h"
#include "service/run.h"
#include "service/service_environment.h"
#include "service/service_status.h"

namespace {

int initialise(Run* run)
{
    SetLogFileRotation(run->config.LogFileMaxBytes, run->config.LogFileGenerationCount);
    SetLogFileUpkeep((int)run->config.LogFileDailyEnabled, run->config.LogFileMaxAgeDayCount,
                     (int)run->config.LogFileCompressEnabled);
    SetLogFileTimestamps((int)run->config.LogTimestampsEnabled);
    OpenLogFile(run->config.WorkingDirectory, run->serviceName);
    DumpServiceConfig(&run->config);
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
    if (!CreatePipes(&run->pipes, run->serviceName)) return 0;
    ApplyServiceEnvironment(run->serviceName, run->config.Environment);
    run->input.keptEnd = run->pipes.containerIn;
    run->input.childEnd = run->pipes.containerInChild;
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
    plat_set_console_handler(ConsoleCtrlHandler);
    log_debug("DEBUG: init service complete\n");
    return 1;
}

// Waits `delay` ms before a new cycle, taking up a stop at once and leaving a
// dump for the next launcher.  Returns 0 when a stop ended the wait, and
// with it the run.
int wait_before_cycle(Run* run, uint64_t delay)
{
    for (uint64_t start = plat_tick_count64(), waited = 0; waited < delay; waited = plat_tick_count64() - start) {
        if (Requests.StopRequested.exchange(0)) return 0;
        report_held_errors(run, 0);
        write_metrics_when_due(run);
        // A request ends the wait at once; the held-back error summary is
        // looked at every two seconds.
        uint32_t slice = delay - waited < QUIET_POLL_MS ? (uint32_t)(delay - waited) : QUIET_POLL_MS;
        if (Requests.Wake == nullptr || plat_wait(Requests.Wake, slice) == PLAT_WAIT_FAILED) plat_sleep(POLL_WAIT_MS);
    }
    return 1;
}

// Before the cycle after a quick restart the container asked for.
int throttle_restart(Run* run)
{
    // A stop that waits already ends the next launcher at its first poll.
    if (Requests.StopRequested) return 1;
    uint64_t delay = RestartDelayMs(plat_tick_count64() - run->upTick, run->config.RestartDelayMax,
                                    &run->figures.quickRestarts);
    run->figures.restartDelaySeconds = delay / 1000;
    if (delay == 0) return 1;
    char text[EVENT_TEXT_SIZE];
    text_format(text, sizeof text, "Restart of the container delayed by %lu s after %lu quick restart%s",
                (unsigned long)(delay / 1000), (unsigned long)run->figures.quickRestarts,
                run->figures.quickRestarts == 1 ? "" : "s");
    service_event(run, text, EVENT_WARNING);
    return wait_before_cycle(run, delay);
}

// Before the cycle after one that failed, with FailureAction "restart": the
// throttle's doubling (a cycle that failed before its container came up, or
// within a minute of it, is a quick restart), its ceiling or 60 s, and at
// least a second, so that a service whose JRE is missing does not spin.
int retry_failed_cycle(Run* run, uint32_t code)
{
    uint64_t upMs = run->cameUp ? plat_tick_count64() - run->upTick : 0;
    uint32_t ceiling = run->config.RestartDelayMax != 0 ? run->config.RestartDelayMax : 60;
    uint64_t delay = RestartDelayMs(upMs, ceiling, &run->figures.quickRestarts);
    if (delay < 1000) delay = 1000;
    run->figures.restartDelaySeconds = delay / 1000;
    char text[EVENT_TEXT_SIZE];
    text_format(text, sizeof text, "The launch cycle failed with exit code %lu; a new launch cycle starts in %lu s",
                (unsigned long)code, (unsigned long)(delay / 1000));
    service_event(run, text, EVENT_WARNING);
    return wait_before_cycle(run, delay);
}

// Runs launch cycles until one ends the run; returns the run's exit code.
uint32_t run_cycles(Run* run)
{
    int stopPending = 0;
    for (;;) {
        run->job = plat_create_kill_job();
        if (run->job == nullptr) warn_without_job(run, plat_get_last_error());
        ++run->figures.launchCycles;
        run->cameUp = 0;
        int stopTaken = 0;
        Outcome outcome = run_launcher(run, stopPending);
        if (outcome.kind == OUTCOME_ENDED) outcome = run_container(run, &stopTaken);
        // Whatever the cycle's children left running ends with its job, so
        // that a new cycle starts clean.
        if (run->job != nullptr) plat_close_handle(run->job);
        run->job = nullptr;
        // In the console (-test) a failure ends the run, so that it is seen.
        int restartFailures = run->config.FailureRestart && ServiceStatus.handle != nullptr;
        CycleStep step = NextCycleStep(outcome, stopTaken, restartFailures);
        if (step.restart) ++run->figures.containerRestarts;
        if (step.failed) ++run->figures.cycleFailures;
        if (step.next == CYCLE_END_RUN) return step.exitCode;
        stopPending = step.stopPending;
        if (step.failed && !retry_failed_cycle(run, step.exitCode)) return 0;
        if (!step.failed && step.next == CYCLE_AGAIN && !throttle_restart(run)) return 0;
    }
}

// One run's state.  The service body runs once per process, so the record
// lives in static storage rather than on the service thread's stack.
Run TheRun;

}  // namespace

void ResetSupervisor(void)
{
    memset(&TheRun, 0, offsetof(Run, config));
}

uint32_t RunService(int argc, char** argv)
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) return 1;

    Run* run = &TheRun;
    memset(run, 0, offsetof(Run, config));
    run->serviceName = argv[0];
    // A run whose parameters cannot be used does nothing but say so: not
    // even the log file or the exit hook, whose directory is not known.
    if (!LoadServiceConfig(run->serviceName, &run->config)) return 1;

    OpenRequestWake();
    ErrorBudgetStart(&run->errors, plat_tick_count64());
    MetricsFileOpen(&run->metrics, run->serviceName, run->config.WorkingDirectory, run->config.MetricsFile);
    uint32_t exitCode = initialise(run) ? run_cycles(run) : 1;
    report_held_errors(run, 1);
    write_metrics(run, 0);
    RunExitScript(run->serviceName, run->config.WorkingDirectory);
    CloseRequestWake();
    return exitCode;
}
