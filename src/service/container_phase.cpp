// Phase 2 of a launch cycle: the container that the start script describes,
// from its start to its end, with its stop, its start limits and the watch
// over its standard input.
#include <string.h>

#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/run.h"
#include "service/service_status.h"
#include "service/stall_watch.h"

namespace {

enum : uint32_t {
    STOP_PENDING_INTERVAL_MS = 5000,
    RESTART_EXIT_CODE = 14,
    // A stalled container that is to be restarted is given this long to
    // write the thread dump it was asked for.
    STALL_RESTART_AFTER_MS = 10000,
    // A read without a look first takes a whole number of pages.
    TAKE_UNIT = 4096,
};

// Where a container is in its life.
enum ContainerPhase {
    CONTAINER_STARTING,   // its start marker is awaited: the start limits apply
    CONTAINER_UP,         // it has signalled its start
    CONTAINER_STOPPING,   // "shutdown" went to it: the shutdown timeout applies, STOP_PENDING every 5 s
    CONTAINER_ENDING,     // the supervisor ended it (a limit ran out) or lost it: only its end is awaited
};

struct ContainerWatch {
    ChildWatch w;
    ContainerPhase phase;
    // A stop that came before the start marker leaves the start limits in
    // force, counted from the stop.
    int cameUp;
    // A stop request was taken up for it: its end is the answer to that
    // request, whatever code it announced.
    int stopTaken;
    uint32_t lastStopPendingTick;
    // The stall watch: what its looks saw, when the next one is due, and
    // when a stalled container is to be ended (0: not).
    StallWatch stall;
    uint64_t nextLookTick;
    uint64_t stallRestartTick;
    uint32_t stalledMinutes;
    // What the last poll read of its standard output.
    size_t lastDrained;
};

// Its first well-formed marker was taken; later ones are ignored.
int announced(const ContainerWatch* c)
{
    return c->w.markers.wellFormedSeen;
}

// What the container's exit code, in run->containerCode, means: a normal end,
// a restart, or a failure that the run ends with.
void judge_container_code(Run* run, ContainerWatch* c)
{
    long value = ExitCodeValue(run->containerCode);
    run->figures.exitCodeAnnounced = 1;
    run->figures.lastExitCode = value;
    if (value == 0) {
        service_event(run, "", EVENT_CONTAINER_ENDED);
        if (c->w.outcome.kind == OUTCOME_NONE) c->w.outcome.kind = OUTCOME_ENDED;
    } else if (value == RESTART_EXIT_CODE) {
        service_event(run, "", EVENT_CONTAINER_RESTART);
        c->w.outcome.kind = OUTCOME_RESTART;
    } else {
        service_event(run, run->containerCode, EVENT_CONTAINER_FAILED);
        OutcomeFail(&c->w.outcome, service_code_from_text(run->containerCode));
    }
}

// Starts the thread that keeps the container's standard input moving.  On
// failure the event and the debug line are written and the outcome fails.
int start_flusher(Run* run, Outcome* outcome)
{
    if (StartInputFlusher(&run->input)) return 1;
    char text[EVENT_TEXT_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    service_event(run, text, EVENT_LAUNCH_FAILED);
    log_debug("DEBUG: Unable to create Input Flusher thread: %s\n", text);
    OutcomeFail(outcome, 1);
    return 0;
}

// Output that came at the last poll is read without a look first, into as
// much of the buffer as twice what came then: the system touches every page
// that a read could fill, and a container that writes little keeps the
// buffer's pages untouched.
uint32_t take_size(const ContainerWatch* c)
{
    if (c->lastDrained == 0) return 0;
    size_t want = (c->lastDrained * 2 + TAKE_UNIT - 1) / TAKE_UNIT * TAKE_UNIT;
    return want < OUTPUT_CHUNK_SIZE - 1 ? (uint32_t)want : OUTPUT_CHUNK_SIZE - 1;
}

// The container's standard output: copied to the log (unless that is off),
// looked at for its start marker and for its first exit-code marker.
void drain_container_output(Run* run, ContainerWatch* c, ChildState state)
{
    size_t got = 0, total = 0;
    PollDrain drain = {0, 0, take_size(c)};
    while ((got = drain_next(run->pipes.containerOut, run->output, OUTPUT_CHUNK_SIZE,
                             run->config.LogContainerOutputEnabled ? 1 : 0, state, &drain)) > 0) {
        total += got;
        c->w.polledBytes += got;
        c->w.lastActivityTick = plat_tick_count();
        if (!c->cameUp && HasStartMarker(run->output, got)) {
            c->cameUp = 1;
            if (c->phase == CONTAINER_STARTING) c->phase = CONTAINER_UP;
            run->upTick = plat_tick_count64();
            run->cameUp = 1;
            run->figures.containerUp = 1;
            c->nextLookTick = run->upTick + StallLookIntervalMs(run->config.InputStallMs);
            service_event(run, "", EVENT_CONTAINER_STARTED);
        }
        size_t at = 0;
        if (!announced(c) &&
            MarkerReaderNext(&c->w.markers, run->output, got, &at, run->containerCode, sizeof run->containerCode))
            judge_container_code(run, c);
    }
    c->lastDrained = total;
}

// Sends what is still to go of "shutdown\n"; once all of it is through, the
// stop is reported as pending.
void send_shutdown(Run* run, ContainerWatch* c)
{
    if (SendShutdownCommand(&run->input)) ReportServiceStatus(SERVICE_STATE_STOP_PENDING, 0, STATUS_WAIT_HINT_MS);
}

// A stop is pending until the container has ended, also after it announced
// its exit code: the shutdown timeout bounds the wait, and the service
// manager, which gives up on a service whose pending state is not refreshed
// within its wait hint, hears of it every 5 s.
void keep_stopping(Run* run, ContainerWatch* c, ChildState state)
{
    if (c->phase != CONTAINER_STOPPING) return;
    if (run->config.ShutdownTimeout != 0 && elapsed_at_least(run, (uint32_t)run->config.ShutdownTimeout)) {
        service_event(run, "Elapsed time exceeds shutdown timeout", EVENT_ERROR);
        plat_terminate_process(c->w.child.process, 0);
        c->phase = CONTAINER_ENDING;
        return;
    }
    // What of "shutdown\n" did not fit the container's input follows at
    // every poll until it is through.
    if (!ShutdownSent(&run->input) && state == CHILD_RUNNING) send_shutdown(run, c);
    if ((uint32_t)(plat_tick_count() - c->lastStopPendingTick) >= STOP_PENDING_INTERVAL_MS) {
        log_debug("DEBUG: reporting SERVICE_STOP_PENDING to SCM (%ld)\n", (long)(int32_t)c->lastStopPendingTick);
        ReportServiceStatus(SERVICE_STATE_STOP_PENDING, 0, STATUS_WAIT_HINT_MS);
        c->lastStopPendingTick = plat_tick_count();
    }
}

void take_stop(Run* run, ContainerWatch* c)
{
    if (!Requests.StopRequested.exchange(0)) return;
    c->stopTaken = 1;
    if (c->phase != CONTAINER_ENDING) c->phase = CONTAINER_STOPPING;
    send_shutdown(run, c);
    c->lastStopPendingTick = plat_tick_count();
    c->w.lastActivityTick = c->lastStopPendingTick;
    run->limitsFrom = plat_tick_count64();
}

// The stall watch runs from the container's start marker on, and never
// during a stop or once the container has announced its end.
int stall_watched(const Run* run, const ContainerWatch* c)
{
    return run->config.InputStallMs != 0 && c->phase == CONTAINER_UP && !announced(c);
}

void report_stall(Run* run, ContainerWatch* c, uint32_t unread, uint64_t waitedMs)
{
    ++run->figures.inputStalls;
    c->stalledMinutes = (uint32_t)(waitedMs / 60000);
    request_dump(&c->w);
    char text[EVENT_TEXT_SIZE];
    text_format(text, sizeof text, "The container has not read its standard input for %lu minutes (%lu bytes "
                "unread); a thread dump was requested", (unsigned long)c->stalledMinutes, (unsigned long)unread);
    service_event(run, text, EVENT_WARNING);
    if (run->config.InputStallRestart) c->stallRestartTick = plat_tick_count64() + STALL_RESTART_AFTER_MS;
}

// Ends a stalled container for a new cycle.  Its end is awaited as any
// other; the cycle's job, closed as soon as the phase returns, ends whatever
// it started.
void restart_stalled(Run* run, ContainerWatch* c)
{
    plat_terminate_process(c->w.child.process, 0);
    char text[EVENT_TEXT_SIZE];
    text_format(text, sizeof text, "The container was restarted after its standard input stalled for %lu minutes",
                (unsigned long)c->stalledMinutes);
    service_event(run, text, EVENT_WARNING);
    c->phase = CONTAINER_ENDING;
    c->w.outcome.kind = OUTCOME_STALLED;
}

// Looks into the container's standard input when a look is due.  The
// supervisor keeps the child's end of the pipe, and a look there counts the
// bytes that the container has not read yet, and so those it has read.
void watch_input(Run* run, ContainerWatch* c)
{
    if (!stall_watched(run, c)) return;
    uint64_t now = plat_tick_count64();
    if (c->stallRestartTick != 0 && now >= c->stallRestartTick) {
        restart_stalled(run, c);
        return;
    }
    if (now < c->nextLookTick) return;
    c->nextLookTick = now + StallLookIntervalMs(run->config.InputStallMs);
    uint32_t unread = 0;
    uint64_t read = 0;
    // A look that fails tells nothing; the next one looks again.
    if (!LookAtContainerInput(&run->input, &unread, &read)) return;
    run->figures.inputUnreadBytes = unread;
    uint64_t waitedMs = 0;
    StallVerdict verdict = StallWatchLook(&c->stall, run->config.InputStallMs, now, unread, read, &waitedMs);
    if (verdict == STALL_BEGINS) report_stall(run, c, unread, waitedMs);
    if (verdict == STALL_ENDS)
        log_always("The container reads its standard input again, after %llu s\n", (unsigned long long)(waitedMs / 1000));
}

// When the stall watch needs the supervisor awake (0: never): to end a
// stalled container, or for a look of its own.
uint64_t stall_wake_tick(const Run* run, const ContainerWatch* c)
{
    if (!stall_watched(run, c)) return 0;
    if (c->stallRestartTick != 0) return c->stallRestartTick;
    return StallWatchWakeTick(&c->stall, run->config.InputStallMs, c->nextLookTick);
}

// One poll of the container: the wait, its output and error output, a stop
// and its progress, the start limits, a dump, the stall watch, the metrics.
ChildState poll_container(Run* run, ContainerWatch* c)
{
    PlatOutputPipe* const outputs[2] = {run->pipes.containerOut, run->pipes.containerErr};
    PaceInput in = pace_input(run, &c->w);
    in.awaitingStart = !c->cameUp;
    in.mayRest = c->phase == CONTAINER_UP && !announced(c);
    uint64_t stallWake = stall_wake_tick(run, c);
    if (stallWake != 0) duty_at(&in, stallWake);
    ChildState state = wait_for_child(run, &c->w, NextPollWait(&in), outputs);
    if (state == CHILD_LOST) c->phase = CONTAINER_ENDING;
    if (!c->cameUp) six_minute_warning(run, &c->w);
    // A stop goes out before the output is read: the container stops while
    // this poll reads what it wrote.
    keep_stopping(run, c, state);
    take_stop(run, c);

    drain_container_output(run, c, state);
    drain_errors(run, &c->w, run->pipes.containerErr, state);
    report_held_errors(run, 0);
    if (!c->cameUp && c->phase != CONTAINER_ENDING && start_timeout_due(run, &c->w)) {
        end_for_start_timeout(run, &c->w);
        c->phase = CONTAINER_ENDING;
    }
    pass_on_dump(&c->w);
    watch_input(run, c);
    write_metrics_when_due(run);
    return state;
}

// A container that ended on its own without announcing an exit code has
// failed in a way nobody else reports.  The text stands in the event's
// message "the container ended with exit code %2".
void report_silent_end(Run* run, ContainerWatch* c)
{
    // Only malformed markers: it ended abnormally, as one whose marker reads "999".
    if (MarkerReaderMalformedEnd(&c->w.markers, run->containerCode, sizeof run->containerCode)) {
        judge_container_code(run, c);
        return;
    }
    char text[EVENT_TEXT_SIZE];
    uint32_t status = 0;
    if (plat_process_exit_code(c->w.child.process, &status))
        text_format(text, sizeof text, "none announced (process exit status %lu)", (unsigned long)status);
    else
        text_copy(text, sizeof text, "none announced");
    service_event(run, text, EVENT_CONTAINER_FAILED);
    OutcomeFail(&c->w.outcome, 1);
}

}  // namespace

Outcome run_container(Run* run, int* stopTaken)
{
    ContainerWatch c;
    memset(&c, 0, sizeof c);
    *stopTaken = 0;
    c.w.role = "container";
    c.w.sixMinuteWarning = "Container can't start (phase 2). Elapsed time 6 minutes.";
    log_debug("DEBUG: phase 2 working directory2=%s\nDEBUG: phase 2 command=\n%s\n", run->workingDirectory,
              run->commandLine);
    // The input pipe is the run's, shared by every container: what the last
    // one left unread is not the new one's to read.
    ResetContainerInput(&run->input);
    if (!start_child(run, &c.w, run->pipes.containerInChild, run->pipes.containerOutChild,
                     run->pipes.containerErrChild, run->workingDirectory, run->pathLine))
        return c.w.outcome;
    run->upTick = plat_tick_count64();
    run->figures.containerStartTime = plat_time_seconds();
    log_debug("DEBUG: Phase 2 - CreateProcess complete, pid=%ld\n", (long)c.w.child.process_id);

    if (!start_flusher(run, &c.w.outcome)) {
        // The run ends here; a container left behind would outlive the
        // service, with nobody to stop it or to read its output.
        abandon_child(&c.w.child);
        return c.w.outcome;
    }
    if (!run->config.LogContainerOutputEnabled) log_always("\n<container stdout suppressed from log>\n");

    while (poll_container(run, &c) == CHILD_RUNNING) {
    }

    // The flusher's thread ends while the container's handles are closed.
    TellInputFlusherToStop(&run->input);
    run->figures.containerUp = 0;
    if (!announced(&c) && !c.stopTaken && c.phase != CONTAINER_ENDING) report_silent_end(run, &c);
    close_child(&c.w.child);
    StopInputFlusher(&run->input);
    *stopTaken = c.stopTaken;
    if (c.w.outcome.kind == OUTCOME_NONE) c.w.outcome.kind = OUTCOME_ENDED;
    return c.w.outcome;
}
