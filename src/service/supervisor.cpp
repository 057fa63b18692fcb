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
// reads; RunService alone decides from it what follows and what the run's
// exit code is.
#include "service/supervisor.h"

#include <stddef.h>
#include <string.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/service_config.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "diag/metrics_file.h"
#include "service/child_process.h"
#include "service/error_budget.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/poll_pacing.h"
#include "service/restart_throttle.h"
#include "service/service_status.h"
#include "service/stall_watch.h"
#include "service/start_script.h"

uint64_t ReferenceStartTime = 0;

namespace {

enum : uint32_t {
    SIX_MINUTES_SECONDS = 360,
    STOP_PENDING_INTERVAL_MS = 5000,
    FLUSHER_JOIN_MS = 10000,
    RESTART_EXIT_CODE = 14,
    // A stalled container that is to be restarted is given this long to
    // write the thread dump it was asked for.
    STALL_RESTART_AFTER_MS = 10000,
    METRICS_INTERVAL_MS = 15000,
};

enum {
    EVENT_TEXT_SIZE = 2048,
    // A masked password may be longer than the password itself.
    TRACE_LINE_SIZE = 2 * COMMAND_LINE_SIZE,
};

// STARTF_USESTDHANDLES | STARTF_FORCEONFEEDBACK: the children's standard
// handles are the pipe ends of the start record.
const uint32_t CHILD_START_FLAGS = PLAT_STARTF_USESTDHANDLES | PLAT_STARTF_FORCEONFEEDBACK;

// The six pipes, made once per run and shared by every cycle.  The kept ends
// are the supervisor's own (not inheritable); the child ends become the
// children's standard handles.
struct Pipes {
    PlatOutputPipe *launcherOut, *containerOut, *launcherErr, *containerErr;
    PlatHandle launcherOutChild, containerOutChild, launcherErrChild, containerErrChild;
    PlatHandle launcherInChild, launcherIn;
    PlatHandle containerInChild, containerIn;
    PlatHandle savedStdOut, savedStdErr;
};

// How a phase ended, and so what follows it.
enum OutcomeKind {
    OUTCOME_NONE,       // nothing has decided it yet
    OUTCOME_ENDED,      // a normal end: phase 2 follows a launcher, a container's ends the run
    OUTCOME_RESTART,    // the container asked for a new cycle
    OUTCOME_FAILED,     // the run ends with `code`
    OUTCOME_STOPPED,    // a stop request ended it: the run ends cleanly
    OUTCOME_STALLED,    // the stall watch ended the container: a new cycle, as after a restart
};

struct Outcome {
    OutcomeKind kind;
    uint32_t code;
    // With a restart: the container answered a stop with it, and the stop
    // ends the next cycle at once.
    int stopPending;
};

// The first failure explains the end of a phase; later ones are consequences
// of it.  A restart, asked for by the container or by the stall watch, is not
// undone by any.
void outcome_fail(Outcome* outcome, uint32_t code)
{
    if (outcome->kind == OUTCOME_FAILED || outcome->kind == OUTCOME_RESTART || outcome->kind == OUTCOME_STALLED) return;
    outcome->kind = OUTCOME_FAILED;
    outcome->code = code;
}

// The service-specific exit code for an announced code text: its value when
// the service manager can show it, else 1 (a failure must never read as 0).
uint32_t service_code_from_text(const char* codeText)
{
    long value = ExitCodeValue(codeText);
    return value > 0 ? (uint32_t)value : 1u;
}

struct Run {
    const char* serviceName;
    Pipes pipes;
    int sixMinuteWarningGiven;
    // The launch cycle's job: closing it ends whatever the cycle's children
    // left running, and the system closes it when this process dies.
    PlatHandle job;
    int jobWarningGiven;
    // When the current container came up (or was started); the quick
    // restarts in a row are counted in the figures.
    uint64_t upTick;
    ErrorBudget errors;
    // Whether the container's output pipes turned out not to be waitable.
    int outputUnwatched;
    // The metrics file, the figures the run keeps for it, when it is next
    // due, and the service's and the container's state it last showed.
    MetricsFile metrics;
    MetricsFigures figures;
    uint64_t nextMetricsTick;
    uint32_t metricsState;

    // The large buffers, from here on, are each written before they are
    // read, so a run does not clear them: clearing would commit some 300 KB
    // of memory that an idle service never touches.
    ServiceConfig config;
    char commandLine[COMMAND_LINE_SIZE];
    char pathLine[PATH_LINE_SIZE];
    char workingDirectory[PATH_TEXT_SIZE];
    char chunk[READ_CHUNK_SIZE];
    char output[OUTPUT_CHUNK_SIZE];
    char launcherCode[EXIT_CODE_TEXT_SIZE];
    char containerCode[EXIT_CODE_TEXT_SIZE];
};

// What both phases keep of the child they watch.
struct ChildWatch {
    PlatProcessInfo child;
    const char* role;               // "launcher" or "container", for events
    const char* sixMinuteWarning;
    MarkerReader markers;
    Outcome outcome;
    int startTimeoutFired;
    // The pacing of the polls: the child's last activity (its start, output,
    // a request passed on to it), the last poll, the time between the last
    // two, and what the last one read.
    uint32_t lastActivityTick;
    uint32_t lastPollTick;
    uint32_t pollInterval;
    size_t polledBytes;
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
    int shutdownSent;               // all of "shutdown\n" reached its input
    uint32_t lastStopPendingTick;
    // The stall watch: what its looks saw, when the next one is due, and
    // when a stalled container is to be ended (0: not).
    StallWatch stall;
    uint64_t nextLookTick;
    uint64_t stallRestartTick;
    uint32_t stalledMinutes;
};

// Its first well-formed marker was taken; later ones are ignored.
int announced(const ContainerWatch* c)
{
    return c->w.markers.wellFormedSeen;
}

void service_event(const Run* run, const char* text, uint32_t eventId)
{
    LogServiceEvent(run->serviceName, text, eventId);
}

// A child that runs without the cycle's job may outlive the service; that is
// said once per run.
void warn_without_job(Run* run, uint32_t code)
{
    if (code == 0 || run->jobWarningGiven) return;
    run->jobWarningGiven = 1;
    char reason[EVENT_TEXT_SIZE];
    char text[EVENT_TEXT_SIZE + 128];
    SystemErrorText(code, reason, sizeof reason);
    text_format(text, sizeof text, "Launcher and container run without a job object and may outlive the service - %s",
                reason);
    service_event(run, text, EVENT_WARNING);
}

// The last system error as an event; the phase fails with 1.
void report_system_error(Run* run, Outcome* outcome)
{
    char text[EVENT_TEXT_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    service_event(run, text, EVENT_LAUNCH_FAILED);
    outcome_fail(outcome, 1);
}

// Ends a child that the run can no longer supervise and closes its handles,
// so that no JVM outlives the service that started it.  TerminateProcess
// returns before the child has gone; nothing here needs to wait for that.
void close_child(PlatProcessInfo* child)
{
    plat_close_handle(child->thread);
    plat_close_handle(child->process);
}

void abandon_child(PlatProcessInfo* child)
{
    plat_terminate_process(child->process, 0);
    close_child(child);
}

// Starts a child with its three pipe ends, in the cycle's job.  On failure
// the event is written and the outcome fails.
int start_child(Run* run, ChildWatch* w, PlatHandle input, PlatHandle output, PlatHandle error,
                const char* directory, const char* pathLine)
{
    PlatStartupInfo startup;
    memset(&startup, 0, sizeof startup);
    startup.title = run->commandLine;
    startup.flags = CHILD_START_FLAGS;
    startup.std_input = input;
    startup.std_output = output;
    startup.std_error = error;
    memset(&w->child, 0, sizeof w->child);
    uint32_t jobError = 0;
    if (!StartProcess(run->commandLine, directory, &w->child, &startup, 1, pathLine, run->job, &jobError)) {
        report_system_error(run, &w->outcome);
        return 0;
    }
    warn_without_job(run, jobError);
    w->lastActivityTick = plat_tick_count();
    w->lastPollTick = w->lastActivityTick;
    return 1;
}

// What one poll learnt about a child.
enum ChildState { CHILD_ENDED, CHILD_RUNNING, CHILD_LOST };

// Waits for the child to end or a request to arrive, and with output pipes
// given, for output in one of them.  A failed wait says nothing about the
// child, so the exit code is asked instead, and the interval is slept so that
// the poll keeps its rhythm.  When even that cannot be read, the child cannot
// be supervised: it is reported, ended and lost.  Pipes that cannot be waited
// on are not waited on again in this run.
ChildState wait_for_child(Run* run, ChildWatch* w, PaceWait pace, PlatOutputPipe* const* outputs)
{
    PlatHandle process = w->child.process;
    uint32_t result;
    if (pace.watchOutput) {
        result = plat_wait_output(process, Requests.Wake, outputs, 2, pace.ms);
        if (result == PLAT_WAIT_FAILED) run->outputUnwatched = 1;
        if (result == PLAT_WAIT_FAILED || result >= PLAT_WAIT_OBJECT_0 + 2) result = PLAT_WAIT_TIMEOUT;
    } else {
        result = plat_wait_either(process, Requests.Wake, pace.ms);
    }
    uint32_t now = plat_tick_count();
    w->pollInterval = now - w->lastPollTick;
    w->lastPollTick = now;
    w->polledBytes = 0;
    if (result == PLAT_WAIT_TIMEOUT || result == PLAT_WAIT_OBJECT_0 + 1) return CHILD_RUNNING;
    if (result == PLAT_WAIT_OBJECT_0) return CHILD_ENDED;
    uint32_t status = 0;
    if (plat_process_exit_code(process, &status)) {
        if (status != PLAT_STILL_ACTIVE) return CHILD_ENDED;
        plat_sleep(pace.ms);
        return CHILD_RUNNING;
    }
    char reason[EVENT_TEXT_SIZE];
    char text[EVENT_TEXT_SIZE];
    SystemErrorText(plat_get_last_error(), reason, sizeof reason);
    text_format(text, sizeof text, "The %s process can no longer be watched - %s", w->role, reason);
    service_event(run, text, EVENT_ERROR);
    plat_terminate_process(process, 0);
    outcome_fail(&w->outcome, 1);
    return CHILD_LOST;
}

// Brings the pacing's time until the next timed duty forward to `dueTick`.
void duty_at(PaceInput* in, uint64_t dueTick)
{
    uint64_t now = plat_tick_count64();
    uint32_t dueIn = dueTick > now ? (uint32_t)(dueTick - now) : 1;
    if (in->dutyInMs == 0 || dueIn < in->dutyInMs) in->dutyInMs = dueIn;
}

// The pacing input that both phases share.
PaceInput pace_input(const Run* run, const ChildWatch* w)
{
    PaceInput in;
    memset(&in, 0, sizeof in);
    in.awaitingStart = 1;
    in.silentMs = plat_tick_count() - w->lastActivityTick;
    in.polledBytes = w->polledBytes;
    in.pollIntervalMs = w->pollInterval;
    in.heldErrors = run->errors.held != 0;
    in.canWatchOutput = !run->outputUnwatched && Requests.Wake != nullptr;
    if (run->metrics.path[0] != '\0') duty_at(&in, run->nextMetricsTick);
    return in;
}

// Writes the metrics file with the run's figures.
void write_metrics(Run* run, uint32_t serviceUp)
{
    MetricsFigures figures = run->figures;
    figures.serviceUp = serviceUp;
    LogFileCounts log;
    GetLogFileCounts(&log);
    figures.logBytes = log.bytesWritten;
    figures.logBytesLost = log.bytesLost;
    figures.logRotations = log.rotations;
    MetricsFileWrite(&run->metrics, &figures);
    run->nextMetricsTick = plat_tick_count64() + METRICS_INTERVAL_MS;
}

// The metrics file is written whenever the service's state or the
// container's changes, and every 15 s in between.
void write_metrics_when_due(Run* run)
{
    if (run->metrics.path[0] == '\0') return;
    uint32_t serviceState = ServiceStatus.status.current_state;
    uint32_t state = serviceState * 2 + run->figures.containerUp;
    if (state == run->metricsState && plat_tick_count64() < run->nextMetricsTick) return;
    run->metricsState = state;
    write_metrics(run, serviceState == SERVICE_STATE_RUNNING);
}

void six_minute_warning(Run* run, const ChildWatch* w)
{
    if (run->sixMinuteWarningGiven || !ElapsedAtLeast(SIX_MINUTES_SECONDS)) return;
    run->sixMinuteWarningGiven = 1;
    service_event(run, w->sixMinuteWarning, EVENT_WARNING);
}

// One poll's drain of a pipe: the bytes the last look found that are still
// unread, and whether the pipe was looked into.
struct PollDrain {
    uint32_t waiting;
    int looked;
};

// The next piece of a poll's drain of a pipe: the number of bytes read into
// buffer, 0 when the drain is over.  While the child runs, a poll reads what
// its first look into the pipe found and leaves what came since to the next
// poll: a child that writes without pause would otherwise keep the
// supervisor reading the few bytes of each moment, at a round trip to the
// Wine server each, and away from its requests.  A child that has ended is
// drained until its pipe is empty.
size_t drain_next(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog, ChildState state, PollDrain* drain)
{
    if (drain->looked && drain->waiting == 0 && state == CHILD_RUNNING) return 0;
    drain->looked = 1;
    return DrainPipeCounted(pipe, buffer, size, copyToLog, &drain->waiting);
}

// Everything a child wrote to its standard error is an error event, within
// the error budget; the bytes reach the log file as well.
void drain_errors(Run* run, ChildWatch* w, PlatOutputPipe* pipe, ChildState state)
{
    size_t got = 0;
    PollDrain drain = {0, 0};
    while ((got = drain_next(pipe, run->chunk, READ_CHUNK_SIZE, 1, state, &drain)) > 0) {
        w->polledBytes += got;
        w->lastActivityTick = plat_tick_count();
        if (ErrorBudgetTake(&run->errors, plat_tick_count64())) {
            service_event(run, run->chunk, EVENT_ERROR);
            ++run->figures.errorEvents;
        } else {
            ++run->figures.errorEventsHeld;
        }
    }
}

// Says how much error output was held back, when that is due.
void report_held_errors(Run* run, int runEnds)
{
    if (!ErrorSummaryDue(&run->errors, plat_tick_count64(), runEnds)) return;
    char text[EVENT_TEXT_SIZE + LOG_FILE_PATH_SIZE];
    text_format(text, sizeof text, "%lu further error outputs of the container were not written as events; see %s",
                (unsigned long)run->errors.held, LogFilePath);
    service_event(run, text, EVENT_WARNING);
    run->errors.held = 0;
}

void end_for_start_timeout(Run* run, ChildWatch* w)
{
    w->startTimeoutFired = 1;
    service_event(run, "Elapsed time exceed timeout", EVENT_WARNING);
    plat_terminate_process(w->child.process, 0);
    service_event(run, "1", EVENT_LAUNCH_FAILED);
    outcome_fail(&w->outcome, 1);
}

int start_timeout_due(const Run* run, const ChildWatch* w)
{
    return !w->startTimeoutFired && run->config.StartTimeout != 0 &&
           ElapsedAtLeast((uint32_t)run->config.StartTimeout);
}

// Asks the child for a thread dump, and polls it soon for its answer.
void request_dump(ChildWatch* w)
{
    SendCtrlBreak(&w->child);
    w->lastActivityTick = plat_tick_count();
}

void pass_on_dump(ChildWatch* w)
{
    if (Requests.DumpRequested.exchange(0)) request_dump(w);
}

int create_pipes(Run* run)
{
    Pipes* p = &run->pipes;
    struct PipeStep {
        PlatOutputPipe** output;   // the kept read end of an output pipe, or null
        PlatHandle* kept;          // the kept write end of an input pipe
        PlatHandle* child;
        const char* failure;
    } const steps[] = {
        {&p->launcherOut, nullptr, &p->launcherOutChild, "initPipe for the Launchers STDOUT failed"},
        {&p->containerOut, nullptr, &p->containerOutChild, "initPipe for the Containers STDOUT failed"},
        {&p->launcherErr, nullptr, &p->launcherErrChild, "initPipe for the Launchers STDERR failed"},
        {&p->containerErr, nullptr, &p->containerErrChild, "initPipe for the Containers STDERR failed"},
        {nullptr, &p->launcherIn, &p->launcherInChild, "initInputPipe for the Launchers STDIN failed"},
        {nullptr, &p->containerIn, &p->containerInChild, "initInputPipe for the Containers STDIN failed"},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        // The process's own standard handles are saved before the pipes that
        // stand in for them, so that they can be put back after each launch.
        if (i == 0) p->savedStdOut = plat_get_std_handle(PLAT_STD_OUTPUT);
        if (i == 2) p->savedStdErr = plat_get_std_handle(PLAT_STD_ERROR);
        int made = steps[i].output != nullptr ? initPipe(steps[i].output, steps[i].child)
                                              : initInputPipe(steps[i].child, steps[i].kept);
        if (!made) {
            service_event(run, steps[i].failure, EVENT_WARNING);
            return 0;
        }
    }
    return 1;
}

void trace_launch_command(const Run* run)
{
    if (!DebugEnabled) return;
    // The child gets the real line; the log file never shows the password.
    char traced[TRACE_LINE_SIZE];
    MaskLaunchCommand(run->commandLine, run->config.PBE, traced, sizeof traced);
    log_debug("DEBUG: phase 1 command=\n%s\n", traced);
}

// ---------------------------------------------------------------------------
// Phase 1: the launcher
// ---------------------------------------------------------------------------

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
    outcome_fail(&w->outcome, service_code_from_text(run->launcherCode));
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
        outcome_fail(&w->outcome, 1);
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
    ReferenceStartTime = plat_tick_count64();

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
    outcome_fail(&w->outcome, 1);
    return 0;
}

// One poll of the launcher, in the order its steps have always had.
ChildState poll_launcher(Run* run, ChildWatch* w, int* stopPending)
{
    PaceInput in = pace_input(run, w);
    ChildState state = wait_for_child(run, w, NextPollWait(&in), nullptr);
    six_minute_warning(run, w);

    // Every marker of the launcher counts: a normal one cannot undo an
    // abnormal one that came before it.
    PollDrain drain = {0, 0};
    size_t got = 0;
    while ((got = drain_next(run->pipes.launcherOut, run->chunk, READ_CHUNK_SIZE, 1, state, &drain)) > 0) {
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
    outcome_fail(&w->outcome, 1);
}

// Phase 1: ENDED when the start script was read and phase 2 follows.
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
        outcome_fail(&w.outcome, 1);
        return w.outcome;
    }
    w.outcome.kind = OUTCOME_ENDED;
    return w.outcome;
}

// ---------------------------------------------------------------------------
// Phase 2: the container
// ---------------------------------------------------------------------------

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
        outcome_fail(&c->w.outcome, service_code_from_text(run->containerCode));
    }
}

// Starts the thread that keeps the container's standard input moving.  On
// failure the event and the debug line are written and null is returned.
FlusherBlock* start_flusher(Run* run, PlatHandle* thread, Outcome* outcome)
{
    *thread = nullptr;
    FlusherBlock* block = (FlusherBlock*)plat_heap_alloc(sizeof(FlusherBlock));
    if (block != nullptr) {
        block->input = run->pipes.containerIn;
        block->stop = 0;
        // Without its wake event the thread still ends, only up to one
        // flush interval later.
        block->wake = plat_create_event();
        *thread = plat_create_thread(InputFlusherThread, block);
        if (*thread != nullptr) return block;
    } else {
        // HeapAlloc does not set the last error itself.
        plat_set_last_error(PLAT_ERROR_NOT_ENOUGH_MEMORY);
    }

    char text[EVENT_TEXT_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    if (block != nullptr) {
        if (block->wake != nullptr) plat_close_handle(block->wake);
        plat_heap_free(block);
    }
    service_event(run, text, EVENT_LAUNCH_FAILED);
    log_debug("DEBUG: Unable to create Input Flusher thread: %s\n", text);
    outcome_fail(outcome, 1);
    return nullptr;
}

void stop_flusher(FlusherBlock* block, PlatHandle thread)
{
    block->stop = 1;
    if (block->wake != nullptr) plat_set_event(block->wake);
    if (plat_wait(thread, FLUSHER_JOIN_MS) != PLAT_WAIT_OBJECT_0) plat_terminate_thread(thread, 0);
    plat_close_handle(thread);
    if (block->wake != nullptr) plat_close_handle(block->wake);
    plat_heap_free(block);
}

// The container's standard output: copied to the log (unless that is off),
// looked at for its start marker and for its first exit-code marker.
void drain_container_output(Run* run, ContainerWatch* c, ChildState state)
{
    size_t got = 0;
    PollDrain drain = {0, 0};
    while ((got = drain_next(run->pipes.containerOut, run->output, OUTPUT_CHUNK_SIZE,
                             run->config.LogContainerOutputEnabled ? 1 : 0, state, &drain)) > 0) {
        c->w.polledBytes += got;
        c->w.lastActivityTick = plat_tick_count();
        if (!c->cameUp && HasStartMarker(run->output, got)) {
            c->cameUp = 1;
            if (c->phase == CONTAINER_STARTING) c->phase = CONTAINER_UP;
            run->upTick = plat_tick_count64();
            run->figures.containerUp = 1;
            c->nextLookTick = run->upTick + StallLookIntervalMs(run->config.InputStallMs);
            service_event(run, "", EVENT_CONTAINER_STARTED);
        }
        size_t at = 0;
        if (!announced(c) &&
            MarkerReaderNext(&c->w.markers, run->output, got, &at, run->containerCode, sizeof run->containerCode))
            judge_container_code(run, c);
    }
}

// Sends what is still to go of "shutdown\n"; once all of it is through, the
// stop is reported as pending.
void send_shutdown(Run* run, ContainerWatch* c)
{
    c->shutdownSent = SendShutdownCommand(run->pipes.containerIn);
    if (c->shutdownSent) ReportServiceStatus(SERVICE_STATE_STOP_PENDING, 0, STATUS_WAIT_HINT_MS);
}

// A stop is pending until the container has ended, also after it announced
// its exit code: the shutdown timeout bounds the wait, and the service
// manager, which gives up on a service whose pending state is not refreshed
// within its wait hint, hears of it every 5 s.
void keep_stopping(Run* run, ContainerWatch* c, ChildState state)
{
    if (c->phase != CONTAINER_STOPPING) return;
    if (run->config.ShutdownTimeout != 0 && ElapsedAtLeast((uint32_t)run->config.ShutdownTimeout)) {
        service_event(run, "Elapsed time exceeds shutdown timeout", EVENT_ERROR);
        plat_terminate_process(c->w.child.process, 0);
        c->phase = CONTAINER_ENDING;
        return;
    }
    // What of "shutdown\n" did not fit the container's input follows at
    // every poll until it is through.
    if (!c->shutdownSent && state == CHILD_RUNNING) send_shutdown(run, c);
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
    ReferenceStartTime = plat_tick_count64();
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
    if (!LookAtContainerInput(run->pipes.containerInChild, &unread, &read)) return;
    run->figures.inputUnreadBytes = unread;
    uint64_t waitedMs = 0;
    StallVerdict verdict = StallWatchLook(&c->stall, run->config.InputStallMs, now, unread, read, &waitedMs);
    if (verdict == STALL_BEGINS) report_stall(run, c, unread, waitedMs);
    if (verdict == STALL_ENDS)
        log_always("The container reads its standard input again, after %llu s\n", (unsigned long long)(waitedMs / 1000));
}

// One poll of the container, in the order its steps have always had.
ChildState poll_container(Run* run, ContainerWatch* c)
{
    PlatOutputPipe* const outputs[2] = {run->pipes.containerOut, run->pipes.containerErr};
    PaceInput in = pace_input(run, &c->w);
    in.awaitingStart = !c->cameUp;
    in.mayRest = c->phase == CONTAINER_UP && !announced(c);
    if (stall_watched(run, c)) duty_at(&in, c->stallRestartTick != 0 ? c->stallRestartTick : c->nextLookTick);
    ChildState state = wait_for_child(run, &c->w, NextPollWait(&in), outputs);
    if (state == CHILD_LOST) c->phase = CONTAINER_ENDING;
    if (!c->cameUp) six_minute_warning(run, &c->w);

    drain_container_output(run, c, state);
    drain_errors(run, &c->w, run->pipes.containerErr, state);
    report_held_errors(run, 0);

    keep_stopping(run, c, state);
    take_stop(run, c);
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
    outcome_fail(&c->w.outcome, 1);
}

// Phase 2.  The container's end decides the outcome: an administrator's stop
// ends the run cleanly whatever code the container announced, so that no
// recovery action restarts a service that was stopped; nor does a restart
// the container asked for swallow the stop, which then ends the next cycle.
Outcome run_container(Run* run)
{
    ContainerWatch c;
    memset(&c, 0, sizeof c);
    c.w.role = "container";
    c.w.sixMinuteWarning = "Container can't start (phase 2). Elapsed time 6 minutes.";
    log_debug("DEBUG: phase 2 working directory2=%s\nDEBUG: phase 2 command=\n%s\n", run->workingDirectory,
              run->commandLine);
    // The input pipe is the run's, shared by every container: what the last
    // one left unread is not the new one's to read.
    DiscardContainerInput(run->pipes.containerInChild);
    if (!start_child(run, &c.w, run->pipes.containerInChild, run->pipes.containerOutChild,
                     run->pipes.containerErrChild, run->workingDirectory, run->pathLine))
        return c.w.outcome;
    ResetShutdownCommand();
    run->upTick = plat_tick_count64();
    run->figures.containerStartTime = plat_time_seconds();
    log_debug("DEBUG: Phase 2 - CreateProcess complete, pid=%ld\n", (long)c.w.child.process_id);

    PlatHandle flusherThread;
    FlusherBlock* flusher = start_flusher(run, &flusherThread, &c.w.outcome);
    if (flusher == nullptr) {
        // The run ends here; a container left behind would outlive the
        // service, with nobody to stop it or to read its output.
        abandon_child(&c.w.child);
        return c.w.outcome;
    }
    if (!run->config.LogContainerOutputEnabled) log_always("\n<container stdout suppressed from log>\n");

    while (poll_container(run, &c) == CHILD_RUNNING) {
    }

    stop_flusher(flusher, flusherThread);
    run->figures.containerUp = 0;
    if (!announced(&c) && !c.stopTaken && c.phase != CONTAINER_ENDING) report_silent_end(run, &c);
    close_child(&c.w.child);

    Outcome outcome = c.w.outcome;
    if (c.stopTaken) {
        outcome.stopPending = outcome.kind == OUTCOME_RESTART;
        if (!outcome.stopPending) outcome = Outcome{OUTCOME_STOPPED, 0, 0};
    }
    if (outcome.kind == OUTCOME_NONE) outcome.kind = OUTCOME_ENDED;
    return outcome;
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------

int initialise(Run* run)
{
    SetLogFileRotation(run->config.LogFileMaxBytes, run->config.LogFileGenerationCount);
    SetLogFileUpkeep((int)run->config.LogFileDailyEnabled, run->config.LogFileMaxAgeDayCount,
                     (int)run->config.LogFileCompressEnabled);
    OpenLogFile(run->config.WorkingDirectory, run->serviceName);
    DumpServiceConfig(&run->config);
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
    if (!create_pipes(run)) return 0;
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
    plat_set_console_handler(ConsoleCtrlHandler);
    log_debug("DEBUG: init service complete\n");
    return 1;
}

// Before the cycle after a quick restart: waits, taking up a stop at once
// and leaving a dump for the next launcher.  Returns 0 when a stop ended the
// wait, and with it the run.
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

// Runs launch cycles until one ends the run; returns the run's exit code.
uint32_t run_cycles(Run* run)
{
    int stopPending = 0;
    for (;;) {
        run->job = plat_create_kill_job();
        if (run->job == nullptr) warn_without_job(run, plat_get_last_error());
        ++run->figures.launchCycles;
        Outcome outcome = run_launcher(run, stopPending);
        if (outcome.kind == OUTCOME_ENDED) outcome = run_container(run);
        // Whatever the cycle's children left running ends with its job, so
        // that a new cycle starts clean.
        if (run->job != nullptr) plat_close_handle(run->job);
        run->job = nullptr;
        if (outcome.kind == OUTCOME_RESTART) ++run->figures.containerRestarts;
        if (outcome.kind != OUTCOME_RESTART && outcome.kind != OUTCOME_STALLED)
            return outcome.kind == OUTCOME_FAILED ? outcome.code : 0;
        stopPending = outcome.stopPending;
        if (!stopPending && !throttle_restart(run)) return 0;
    }
}

// One run's state.  The service body runs once per process, so the record
// lives in static storage rather than on the service thread's stack.
Run TheRun;

}  // namespace

int ElapsedAtLeast(uint32_t limitSeconds)
{
    // The monotonic tick count: a wall clock set forward or back while the
    // service starts or stops (time sync at boot, a resumed virtual machine)
    // neither fires a limit early nor postpones it.
    return plat_tick_count64() - ReferenceStartTime >= (uint64_t)limitSeconds * 1000u;
}

void ResetSupervisor(void)
{
    ReferenceStartTime = 0;
    memset(&TheRun, 0, sizeof TheRun);
}

uint32_t RunService(int argc, char** argv)
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) return 1;

    Run* run = &TheRun;
    memset(run, 0, offsetof(Run, config));
    run->serviceName = argv[0];
    ReferenceStartTime = 0;
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
