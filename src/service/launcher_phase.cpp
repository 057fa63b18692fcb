// Phase 1 of a launch cycle: the launcher JVM, which writes the container's
// start script and announces its exit code on its standard output.
#include <string.h>

#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/run.h"
#include "service/service_status.h"

namespace {

enum {
    // A masked password may be longer than the password itself.
    TRACE_LINE_SIZE = 2 * COMMAND_LINE_SIZE,
};

void trace_launch_command(const Run* run)
{
    if (!DebugEnabled) return;
    // The child gets the real line; the log file never shows the password.
    char traced[TRACE_LINE_SIZE];
    MaskLaunchCommand(run->commandLine, run->config.PBE, traced, sizeof traced);
    log_debug("DEBUG: phase 1 command=\n%s\n", traced);
}

// What the launcher's exit code, in run->launcherCode, means: a normal end
// lets phase 2 follow, any other aborts the launch.
void judge_launcher_code(Run* run, ChildWatch* w)
{
    if (ExitCodeValue(run->launcherCode) == 0) {
        log_debug("DEBUG: Phase 1: Normal exit code (%s) detected.\n", run->launcherCode);
        return;
    }
    log_debug("DEBUG: Phase 1: Abnormal exit code (%s) detected.\n", run->launcherCode);
    service_event(run, run->launcherCode, EVENT_LAUNCH_FAILED);
    OutcomeFail(&w->outcome, service_code_from_text(run->launcherCode));
}

// Builds and starts the launcher and tells the service manager.  A stop that
// is on its way keeps being reported as such.
int start_launcher(Run* run, ChildWatch* w, int stopPending)
{
    if (!BuildLaunchCommand(run->commandLine, sizeof run->commandLine, &run->config)) {
        char text[EVENT_TEXT_SIZE];
        text_format(text, sizeof text, "The launcher command line is longer than %lu characters",
                    (unsigned long)(COMMAND_LINE_SIZE - 1));
        service_event(run, text, EVENT_LAUNCH_FAILED);
        OutcomeFail(&w->outcome, 1);
        return 0;
    }
    trace_launch_command(run);
    if (!start_child(run, w, run->pipes.launcherInChild, run->pipes.launcherOutChild, run->pipes.launcherErrChild,
                     run->config.WorkingDirectory, nullptr))
        return 0;
    log_debug("DEBUG: Phase 1 - CreateProcess complete, pid=%ld\n", (long)w->child.process_id);
    // The service manager sees the service running as soon as the launcher
    // exists, and again at every new cycle; but a stop once reported is never
    // taken back, so a cycle that a pending stop will end goes on reporting
    // the stop.
    int stopping = stopPending || Requests.StopRequested ||
                   ServiceStatus.status.current_state == SERVICE_STATE_STOP_PENDING;
    ReportServiceStatus(stopping ? SERVICE_STATE_STOP_PENDING : SERVICE_STATE_RUNNING, 0, STATUS_WAIT_HINT_MS);
    run->limitsFrom = plat_tick_count64();

    // The run ends when a standard handle cannot be put back; the launcher
    // would otherwise run on unsupervised after the service has stopped.
    const char* failure = nullptr;
    if (!plat_set_std_handle(PLAT_STD_OUTPUT, run->pipes.savedStdOut))
        failure = "SetStdHandle for STDOUT after StartProcess failed";
    else if (!plat_set_std_handle(PLAT_STD_ERROR, run->pipes.savedStdErr))
        failure = "SetStdHandle for STDERR after StartProcess failed";
    if (failure == nullptr) return 1;
    service_event(run, failure, EVENT_WARNING);
    abandon_child(&w->child);
    OutcomeFail(&w->outcome, 1);
    return 0;
}

// One poll of the launcher: the wait, the markers on its output, its error
// output, the start limits, a stop, a dump, the metrics.
ChildState poll_launcher(Run* run, ChildWatch* w, int* stopPending)
{
    PlatOutputPipe* const outputs[2] = {run->pipes.launcherOut, run->pipes.launcherErr};
    PaceInput in = pace_input(run, w);
    ChildState state = wait_for_child(run, w, NextPollWait(&in), outputs);
    six_minute_warning(run, w);

    // Every marker of the launcher counts: a normal one cannot undo an
    // abnormal one that came before it.
    PollDrain drain = {0, 0, 0};
    size_t got = 0;
    while ((got = drain_next(run->pipes.launcherOut, run->chunk, READ_CHUNK_SIZE, 1, state, &drain)) > 0) {
        w->polledBytes += got;
        w->lastActivityTick = plat_tick_count();
        size_t at = 0;
        while (MarkerReaderNext(&w->markers, run->chunk, got, &at, run->launcherCode, sizeof run->launcherCode))
            judge_launcher_code(run, w);
    }
    drain_errors(run, w, run->pipes.launcherErr, state);
    report_held_errors(run, 0);

    if (start_timeout_due(run, w)) end_for_start_timeout(run, w);

    if (Requests.StopRequested.exchange(0) | (uint32_t)*stopPending) {
        *stopPending = 0;
        service_event(run, "Service stop requested during container launch - terminating process", EVENT_WARNING);
        plat_terminate_process(w->child.process, 0);
        if (w->outcome.kind != OUTCOME_FAILED) w->outcome.kind = OUTCOME_STOPPED;
    }

    pass_on_dump(w);
    write_metrics_when_due(run);
    return state;
}

// A launcher that ended without a marker that said otherwise is judged by its
// markers' remains and by how its process ended.
void judge_launcher_end(Run* run, ChildWatch* w)
{
    if (w->outcome.kind != OUTCOME_NONE) return;
    // Only malformed markers: it ended abnormally, as one whose marker reads "999".
    if (MarkerReaderMalformedEnd(&w->markers, run->launcherCode, sizeof run->launcherCode)) {
        judge_launcher_code(run, w);
        return;
    }
    // Without any marker only a clean end of its process may lead to the
    // start script, which could otherwise be one that an earlier run left
    // behind.
    uint32_t status = 0;
    if (w->markers.wellFormedSeen || (plat_process_exit_code(w->child.process, &status) && status == 0)) return;
    char text[EVENT_TEXT_SIZE];
    if (status != 0)
        text_format(text, sizeof text, "The launcher ended with process exit status %lu and no exit code",
                    (unsigned long)status);
    else
        text_copy(text, sizeof text, "The launcher ended with no exit code and an unknown process exit status");
    service_event(run, text, EVENT_LAUNCH_FAILED);
    OutcomeFail(&w->outcome, 1);
}

}  // namespace

Outcome run_launcher(Run* run, int stopPending)
{
    ChildWatch w;
    memset(&w, 0, sizeof w);
    w.role = "launcher";
    w.sixMinuteWarning = "Container can't launch (phase 1). Elapsed time 6 minutes.";
    run->sixMinuteWarningGiven = 0;
    if (!start_launcher(run, &w, stopPending)) return w.outcome;

    ChildState state;
    do {
        state = poll_launcher(run, &w, &stopPending);
    } while (state == CHILD_RUNNING);

    judge_launcher_end(run, &w);
    close_child(&w.child);
    if (w.outcome.kind != OUTCOME_NONE) return w.outcome;
    if (!ReadStartScript(run->serviceName, run->commandLine, run->pathLine, run->workingDirectory, &run->config)) {
        OutcomeFail(&w.outcome, 1);
        return w.outcome;
    }
    w.outcome.kind = OUTCOME_ENDED;
    return w.outcome;
}
