// The service body: launch cycles of launcher and container.
//
// Each cycle runs the launcher JVM (phase 1), which writes the container's
// start script and announces its exit code on its standard output, and then
// the container that the script describes (phase 2).  The supervisor runs on
// one thread and works by polling: it waits on the current child's process
// handle, and on the event that the control handlers set with every request,
// for a short while, then drains the child's pipes, evaluates the markers,
// enforces the time limits and takes up the requests that the control
// handlers left in Requests.  A request or the child's end therefore ends the
// wait at once; output waits for the poll, except that of a quiet container,
// whose pipes the rest waits on as well.  Only the marker on a child's output
// says how it ended; the process exit status is looked at only to explain a
// container that ended without one.
#include "service/supervisor.h"

#include <string.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/service_config.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/child_process.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/service_status.h"
#include "service/start_script.h"

uint64_t ReferenceStartTime = 0;

namespace {

enum : uint32_t {
    // How long one poll waits for the current child to end.
    POLL_WAIT_MS = 100,
    // A child that has just written something, or has just been started, is
    // polled again after this long; the wait then grows back to POLL_WAIT_MS
    // by a quarter of the time the child has been silent, and a child that
    // falls silent costs some twenty extra polls.  A started container that
    // is writing is paced instead (PACE_BYTES).
    BUSY_WAIT_MS = 4,
    BUSY_BACKOFF_DIVISOR = 4,
    // While a child's start is awaited (the launcher's run, the container's
    // start marker), the first wait is 1 ms and the wait grows by a
    // sixteenth only: the next step of the cycle waits for that output, and
    // a restart or a start is late by no more than a sixteenth of the
    // child's own time.
    STARTING_WAIT_MS = 1,
    STARTING_BACKOFF_DIVISOR = 16,
    // A container that has signalled its start, has nothing pending and has
    // been silent this long rests: the wait for its end and for requests
    // waits on its output pipes too, so that its output reaches the log at
    // once, and lasts a minute, or two seconds while held-back error output
    // waits for its summary.  Pipes that cannot be waited on are looked into
    // every two seconds instead.  Under Wine every wakeup and every look is a
    // few round trips to the Wine server, at some 0.1 ms of CPU each.
    QUIET_AFTER_MS = 2000,
    QUIET_POLL_MS = 2000,
    QUIET_REST_MS = 60000,
    // A started container that is writing is polled again when its pipes
    // hold about this much, at the rate of its output since the poll before,
    // but after 1 ms at the least and POLL_WAIT_MS at the most.  Every look
    // and every read is a round trip to the Wine server, which the child's
    // own writes wait for as well: a container that writes steadily in small
    // pieces is read a few times a second in whole chunks, rather than a few
    // bytes every few milliseconds, and one that writes fast is kept up with.
    PACE_BYTES = 65536,
    SIX_MINUTES_SECONDS = 360,
    // A container that asks for a restart before it has been up this long
    // restarts "quickly", and the next cycle waits first: 1 s, doubled for
    // every further quick restart, up to the configured ceiling.
    QUICK_RESTART_MS = 60000,
    FIRST_RESTART_DELAY_MS = 1000,
    // Error events from the children's standard error: a bucket of 20
    // events, refilled at 10 a second.  Held-back output is counted and
    // summed up once it has stopped for 5 s, or after a minute of it.
    ERROR_EVENT_BURST = 20,
    ERROR_EVENTS_PER_SECOND = 10,
    HELD_ERRORS_QUIET_MS = 5000,
    HELD_ERRORS_SUMMARY_MS = 60000,
    STOP_PENDING_INTERVAL_MS = 5000,
    STATUS_WAIT_HINT_MS = 15000,
    FLUSHER_JOIN_MS = 10000,
    RESTART_EXIT_CODE = 14,
    // GetExitCodeProcess's answer for a process that has not ended.
    STILL_ACTIVE_STATUS = 259,
    // FormatMessageA's "language neutral, default sublanguage".
    SYSTEM_LANGUAGE = 0x400,
};

enum {
    EVENT_TEXT_SIZE = 2048,
    // A masked password may be longer than the password itself.
    TRACE_LINE_SIZE = 2 * COMMAND_LINE_SIZE,
};

// STARTF_USESTDHANDLES | STARTF_FORCEONFEEDBACK: the children's standard
// handles are the pipe ends of the start record.
const uint32_t CHILD_START_FLAGS = CHILD_STARTF_USESTDHANDLES | CHILD_STARTF_FORCEONFEEDBACK;

// The six pipes, made once per run and shared by every cycle.  The kept ends
// are the supervisor's own (not inheritable); the child ends become the
// children's standard handles.
struct Pipes {
    PlatHandle launcherOut, launcherOutChild;
    PlatHandle containerOut, containerOutChild;
    PlatHandle launcherErr, launcherErrChild;
    PlatHandle containerErr, containerErrChild;
    PlatHandle launcherInChild, launcherIn;
    PlatHandle containerInChild, containerIn;
    PlatHandle savedStdOut, savedStdErr;
};

struct Run {
    const char* serviceName;
    ServiceConfig config;
    Pipes pipes;
    char commandLine[COMMAND_LINE_SIZE];
    char pathLine[PATH_LINE_SIZE];
    char workingDirectory[PATH_TEXT_SIZE];
    char chunk[READ_CHUNK_SIZE];
    char output[OUTPUT_CHUNK_SIZE];
    char launcherCode[EXIT_CODE_TEXT_SIZE];
    char containerCode[EXIT_CODE_TEXT_SIZE];
    int restartRequested;
    int sixMinuteWarningGiven;
    // The launch cycle's job: closing it ends whatever the cycle's children
    // left running, and the system closes it when this process dies.
    PlatHandle job;
    int jobWarningGiven;
    int unconfigured;
    // The restart throttle: when the current container came up (or was
    // started), and how many quick restarts came in a row.
    uint64_t upTick;
    uint32_t quickRestarts;
    // The error event rate limit, per run: the bucket's fill in thousandths
    // of an event, when it was last refilled, and the output held back since
    // the last summary (how many chunks, since when, the latest one).
    uint64_t errorTokens;
    uint64_t tokensTick;
    uint32_t heldErrors;
    uint64_t heldSinceTick;
    uint64_t lastHeldTick;
    // Whether the container's output pipes turned out not to be waitable.
    int outputUnwatched;
    // The outcome of the cycle that ends the run: whether it failed, and the
    // service-specific exit code that the final STOPPED report carries.
    int failed;
    uint32_t failureCode;
};

// The first failure of a cycle explains the end of the run; later ones are
// consequences of it.
void record_failure(Run* run, uint32_t code)
{
    if (run->failed) return;
    run->failed = 1;
    run->failureCode = code;
}

// The service-specific exit code for an announced code text: its value when
// the service manager can show it, else 1 (a failure must never read as 0).
uint32_t service_code_from_text(const char* codeText)
{
    long value = ExitCodeValue(codeText);
    return value > 0 ? (uint32_t)value : 1u;
}

void service_event(const Run* run, const char* text, uint32_t eventId)
{
    LogServiceEvent(run->serviceName, text, eventId);
}

// The system's text for the calling thread's last error, with the system's
// own line break, as the event log shows it.
void last_error_text(char* text, size_t capacity)
{
    uint32_t code = plat_get_last_error();
    if (plat_system_message(code, SYSTEM_LANGUAGE, text, capacity) == 0)
        text_format(text, capacity, "error %lu", (unsigned long)code);
}

// The text of a system error code, with the system's own line break.
void error_text(uint32_t code, char* text, size_t capacity)
{
    if (plat_system_message(code, SYSTEM_LANGUAGE, text, capacity) == 0)
        text_format(text, capacity, "error %lu", (unsigned long)code);
}

// A child that runs without the cycle's job may outlive the service; that is
// said once per run.
void warn_without_job(Run* run, uint32_t code)
{
    if (code == 0 || run->jobWarningGiven) return;
    run->jobWarningGiven = 1;
    char reason[EVENT_TEXT_SIZE];
    char text[EVENT_TEXT_SIZE + 128];
    error_text(code, reason, sizeof reason);
    text_format(text, sizeof text, "Launcher and container run without a job object and may outlive the service - %s",
                reason);
    service_event(run, text, EVENT_WARNING);
}

void open_cycle_job(Run* run)
{
    run->job = plat_create_kill_job();
    if (run->job == nullptr) warn_without_job(run, plat_get_last_error());
}

void close_cycle_job(Run* run)
{
    if (run->job != nullptr) plat_close_handle(run->job);
    run->job = nullptr;
}

void report_system_error(Run* run)
{
    char text[EVENT_TEXT_SIZE];
    last_error_text(text, sizeof text);
    service_event(run, text, EVENT_LAUNCH_FAILED);
    record_failure(run, 1);
}

// Ends a child that the run can no longer supervise and closes its handles,
// so that no JVM outlives the service that started it.  TerminateProcess
// returns before the child has gone; nothing here needs to wait for that.
void abandon_child(PlatProcessInfo* child)
{
    plat_terminate_process(child->process, 0);
    plat_close_handle(child->thread);
    plat_close_handle(child->process);
}

// What one poll learnt about a child.
enum ChildState { CHILD_ENDED, CHILD_RUNNING, CHILD_LOST };

// Waits up to one poll interval for a child to end or a request to arrive,
// and with output pipes given, for output in one of them.  A failed wait says
// nothing about the child, so the exit code is asked instead, and the
// interval is slept so that the poll keeps its rhythm.  When even that cannot
// be read, the child cannot be supervised: it is reported, ended and lost.
// Pipes that cannot be waited on are not waited on again in this run.
ChildState poll_child(Run* run, PlatHandle process, uint32_t milliseconds, const char* role,
                      const PlatHandle* outputs)
{
    uint32_t result;
    if (outputs != nullptr) {
        result = plat_wait_output(process, Requests.Wake, outputs, 2, milliseconds);
        if (result == PLAT_WAIT_FAILED) {
            run->outputUnwatched = 1;
            return CHILD_RUNNING;
        }
        if (result >= PLAT_WAIT_OBJECT_0 + 2) return CHILD_RUNNING;
    } else {
        result = plat_wait_either(process, Requests.Wake, milliseconds);
    }
    if (result == PLAT_WAIT_TIMEOUT || result == PLAT_WAIT_OBJECT_0 + 1) return CHILD_RUNNING;
    if (result == PLAT_WAIT_OBJECT_0) return CHILD_ENDED;
    uint32_t status = 0;
    if (plat_process_exit_code(process, &status)) {
        if (status != STILL_ACTIVE_STATUS) return CHILD_ENDED;
        plat_sleep(milliseconds);
        return CHILD_RUNNING;
    }
    char reason[EVENT_TEXT_SIZE];
    char text[EVENT_TEXT_SIZE];
    last_error_text(reason, sizeof reason);
    text_format(text, sizeof text, "The %s process can no longer be watched - %s", role, reason);
    service_event(run, text, EVENT_ERROR);
    plat_terminate_process(process, 0);
    record_failure(run, 1);
    return CHILD_LOST;
}

// One poll's drain of a pipe: the bytes the last look found that are still
// unread, and whether the pipe was looked into.
struct PollDrain {
    uint32_t waiting;
    int looked;
};

// The next chunk of a poll's drain of a pipe: the number of bytes read into
// buffer, 0 when the drain is over.  While the child runs, a poll reads what
// its first look into the pipe found and leaves what came since to the next
// poll: a child that writes without pause would otherwise keep the
// supervisor reading the few bytes of each moment, at a round trip to the
// Wine server each, and away from its requests.  A child that has ended is
// drained until its pipe is empty.
size_t drain_next(PlatHandle pipe, char* buffer, size_t size, int copyToLog, ChildState state, PollDrain* drain)
{
    if (drain->looked && drain->waiting == 0 && state == CHILD_RUNNING) return 0;
    drain->looked = 1;
    return DrainPipeCounted(pipe, buffer, size, copyToLog, &drain->waiting);
}

void prepare_startup(PlatStartupInfo* startup, char* title, PlatHandle input, PlatHandle output,
                    PlatHandle error)
{
    memset(startup, 0, sizeof *startup);
    startup->title = title;
    startup->flags = CHILD_START_FLAGS;
    startup->std_input = input;
    startup->std_output = output;
    startup->std_error = error;
}

// Everything a child wrote to its standard error is an error event; the
// bytes reach the log file as well.  A child that floods its standard error
// would flood the Application log, which every other program shares: beyond
// the rate limit, output is only counted, and its bytes are in the log file
// all the same.  Returns the number of bytes read.
size_t drain_errors(Run* run, PlatHandle pipe, ChildState state)
{
    size_t found = 0;
    size_t got = 0;
    PollDrain drain = {0, 0};
    while ((got = drain_next(pipe, run->chunk, READ_CHUNK_SIZE, 1, state, &drain)) > 0) {
        found += got;
        uint64_t now = plat_tick_count64();
        run->errorTokens += (now - run->tokensTick) * ERROR_EVENTS_PER_SECOND;
        if (run->errorTokens > ERROR_EVENT_BURST * 1000u) run->errorTokens = ERROR_EVENT_BURST * 1000u;
        run->tokensTick = now;
        if (run->errorTokens >= 1000) {
            run->errorTokens -= 1000;
            service_event(run, run->chunk, EVENT_ERROR);
            continue;
        }
        if (run->heldErrors++ == 0) run->heldSinceTick = now;
        run->lastHeldTick = now;
    }
    return found;
}

// Says how much error output was held back: once it has stopped for a
// while, every minute while it goes on, and at the end of the run.
void report_held_errors(Run* run, int runEnds)
{
    uint64_t now = plat_tick_count64();
    if (run->heldErrors == 0 || (!runEnds && now - run->lastHeldTick < HELD_ERRORS_QUIET_MS &&
                                 now - run->heldSinceTick < HELD_ERRORS_SUMMARY_MS))
        return;
    char text[EVENT_TEXT_SIZE + LOG_FILE_PATH_SIZE];
    text_format(text, sizeof text, "%lu further error outputs of the container were not written as events; see %s",
                (unsigned long)run->heldErrors, LogFilePath);
    service_event(run, text, EVENT_WARNING);
    run->heldErrors = 0;
}

// Before the cycle after a quick restart: waits, taking up a stop at once
// and leaving a dump for the next launcher.  Returns 0 when a stop ended the
// wait, and with it the run.
int throttle_restart(Run* run)
{
    // A stop that waits already ends the next launcher at its first poll.
    if (Requests.StopRequested) return 1;
    if (plat_tick_count64() - run->upTick >= QUICK_RESTART_MS) {
        run->quickRestarts = 0;
        return 1;
    }
    if (run->config.RestartDelayMax == 0) return 1;
    uint32_t shift = run->quickRestarts < 31 ? run->quickRestarts : 31;
    ++run->quickRestarts;
    uint64_t delay = (uint64_t)FIRST_RESTART_DELAY_MS << shift;
    if (delay > (uint64_t)run->config.RestartDelayMax * 1000u) delay = (uint64_t)run->config.RestartDelayMax * 1000u;
    char text[EVENT_TEXT_SIZE];
    text_format(text, sizeof text, "Restart of the container delayed by %lu s after %lu quick restarts",
                (unsigned long)(delay / 1000), (unsigned long)run->quickRestarts);
    service_event(run, text, EVENT_WARNING);
    for (uint64_t start = plat_tick_count64(), waited = 0; waited < delay; waited = plat_tick_count64() - start) {
        if (Requests.StopRequested) {
            Requests.StopRequested = 0;
            return 0;
        }
        report_held_errors(run, 0);
        // A request ends the wait at once; the held-back error summary is
        // looked at every two seconds.
        uint32_t slice = delay - waited < QUIET_POLL_MS ? (uint32_t)(delay - waited) : QUIET_POLL_MS;
        if (Requests.Wake == nullptr || plat_wait(Requests.Wake, slice) == PLAT_WAIT_FAILED) plat_sleep(POLL_WAIT_MS);
    }
    return 1;
}

// How long the next poll waits, given the tick count of the child's last
// activity (its start, output, or a request passed on to it) and whether its
// start is awaited.
uint32_t next_poll_wait(uint32_t lastActivityTick, int starting)
{
    uint32_t silent = plat_tick_count() - lastActivityTick;
    uint32_t wait = starting ? STARTING_WAIT_MS + silent / STARTING_BACKOFF_DIVISOR
                             : BUSY_WAIT_MS + silent / BUSY_BACKOFF_DIVISOR;
    return wait < POLL_WAIT_MS ? wait : POLL_WAIT_MS;
}

// The wait after a poll that read `bytes` of a started container's output
// `interval` ms after the poll before.
uint32_t paced_wait(size_t bytes, uint32_t interval)
{
    uint64_t wait = (uint64_t)(interval != 0 ? interval : 1) * PACE_BYTES / bytes;
    if (wait < 1) return 1;
    return wait < POLL_WAIT_MS ? (uint32_t)wait : POLL_WAIT_MS;
}

// How long the container's next poll waits, and whether it waits on the
// output pipes.  A container that is up, has nothing pending and has been
// silent for a while rests: its end, every request and its output end the
// wait all the same, and no time limit is armed in this state (the start
// limits end with the start marker, the shutdown limits begin with a stop
// request).  The last poll read `polledBytes` of output `pollInterval` ms
// after the one before.
uint32_t container_poll_wait(const Run* run, int containerStarted, int stopPending, int exitCodeSeen,
                             uint32_t lastActivityTick, size_t polledBytes, uint32_t pollInterval,
                             int* watchOutput)
{
    *watchOutput = 0;
    if (containerStarted && !stopPending && !exitCodeSeen &&
        (uint32_t)(plat_tick_count() - lastActivityTick) >= QUIET_AFTER_MS) {
        *watchOutput = !run->outputUnwatched && Requests.Wake != nullptr;
        return run->heldErrors != 0 || !*watchOutput ? QUIET_POLL_MS : QUIET_REST_MS;
    }
    if (containerStarted && polledBytes > 0) return paced_wait(polledBytes, pollInterval);
    return next_poll_wait(lastActivityTick, !containerStarted);
}

int create_pipes(Run* run)
{
    Pipes* p = &run->pipes;
    struct PipeStep {
        PlatHandle* kept;
        PlatHandle* child;
        int input;
        const char* failure;
    } const steps[] = {
        {&p->launcherOut, &p->launcherOutChild, 0, "initPipe for the Launchers STDOUT failed"},
        {&p->containerOut, &p->containerOutChild, 0, "initPipe for the Containers STDOUT failed"},
        {&p->launcherErr, &p->launcherErrChild, 0, "initPipe for the Launchers STDERR failed"},
        {&p->containerErr, &p->containerErrChild, 0, "initPipe for the Containers STDERR failed"},
        {&p->launcherIn, &p->launcherInChild, 1, "initInputPipe for the Launchers STDIN failed"},
        {&p->containerIn, &p->containerInChild, 1, "initInputPipe for the Containers STDIN failed"},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        // The process's own standard handles are saved before the pipes that
        // stand in for them, so that they can be put back after each launch.
        if (i == 0) p->savedStdOut = plat_get_std_handle(PLAT_STD_OUTPUT);
        if (i == 2) p->savedStdErr = plat_get_std_handle(PLAT_STD_ERROR);
        int made = steps[i].input ? initInputPipe(steps[i].child, steps[i].kept)
                                  : initPipe(steps[i].kept, steps[i].child);
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

// What the launcher's exit code, in run->launcherCode, means: a normal end
// lets phase 2 follow, any other aborts the launch.
void judge_launcher_code(Run* run, int* launchAborted)
{
    if (ExitCodeValue(run->launcherCode) == 0) {
        log_debug("DEBUG: Phase 1: Normal exit code (%s) detected.\n", run->launcherCode);
        return;
    }
    log_debug("DEBUG: Phase 1: Abnormal exit code (%s) detected.\n", run->launcherCode);
    service_event(run, run->launcherCode, EVENT_LAUNCH_FAILED);
    *launchAborted = 1;
    record_failure(run, service_code_from_text(run->launcherCode));
}

// Phase 1.  Returns 1 when the start script was read and phase 2 follows.
int run_launcher(Run* run)
{
    if (!BuildLaunchCommand(run->commandLine, sizeof run->commandLine, &run->config)) {
        char text[EVENT_TEXT_SIZE];
        text_format(text, sizeof text, "The launcher command line is longer than %lu characters",
                    (unsigned long)(COMMAND_LINE_SIZE - 1));
        service_event(run, text, EVENT_LAUNCH_FAILED);
        record_failure(run, 1);
        return 0;
    }
    trace_launch_command(run);

    PlatStartupInfo startup;
    prepare_startup(&startup, run->commandLine, run->pipes.launcherInChild, run->pipes.launcherOutChild,
                   run->pipes.launcherErrChild);
    PlatProcessInfo launcher;
    memset(&launcher, 0, sizeof launcher);
    uint32_t jobError = 0;
    if (!StartProcess(run->commandLine, run->config.WorkingDirectory, &launcher, &startup, 1, nullptr, run->job,
                      &jobError)) {
        report_system_error(run);
        return 0;
    }
    warn_without_job(run, jobError);
    log_debug("DEBUG: Phase 1 - CreateProcess complete, pid=%ld\n", (long)launcher.process_id);
    // The service manager sees the service running as soon as the launcher
    // exists, and again at every new cycle; but a stop once reported is never
    // taken back, so a cycle that a pending stop will end (the container
    // answered "shutdown" with a restart) goes on reporting the stop.
    int stopping = Requests.StopRequested || ServiceStatus.status.current_state == SERVICE_STATE_STOP_PENDING;
    ReportServiceStatus(stopping ? SERVICE_STATE_STOP_PENDING : SERVICE_STATE_RUNNING, 0, STATUS_WAIT_HINT_MS);
    ReferenceStartTime = plat_tick_count64();

    // The run ends when a standard handle cannot be put back; the launcher
    // would otherwise run on unsupervised after the service has stopped.
    if (!plat_set_std_handle(PLAT_STD_OUTPUT, run->pipes.savedStdOut)) {
        service_event(run, "SetStdHandle for STDOUT after StartProcess failed", EVENT_WARNING);
        abandon_child(&launcher);
        record_failure(run, 1);
        return 0;
    }
    if (!plat_set_std_handle(PLAT_STD_ERROR, run->pipes.savedStdErr)) {
        service_event(run, "SetStdHandle for STDERR after StartProcess failed", EVENT_WARNING);
        abandon_child(&launcher);
        record_failure(run, 1);
        return 0;
    }

    int launchAborted = 0;
    int markerSeen = 0;
    int startTimeoutFired = 0;
    MarkerReader markers;
    MarkerReaderReset(&markers);
    run->sixMinuteWarningGiven = 0;
    uint32_t lastActivityTick = plat_tick_count();
    for (;;) {
        ChildState state = poll_child(run, launcher.process, next_poll_wait(lastActivityTick, 1), "launcher", nullptr);
        // A launcher that was lost may not have finished its start script.
        if (state == CHILD_LOST) launchAborted = 1;

        if (!run->sixMinuteWarningGiven && ElapsedAtLeast(SIX_MINUTES_SECONDS)) {
            run->sixMinuteWarningGiven = 1;
            service_event(run, "Container can't launch (phase 1). Elapsed time 6 minutes.", EVENT_WARNING);
        }

        // Every marker of the launcher counts: a normal one cannot undo an
        // abnormal one that came before it.
        PollDrain drain = {0, 0};
        size_t got = 0;
        while ((got = drain_next(run->pipes.launcherOut, run->chunk, READ_CHUNK_SIZE, 1, state, &drain)) > 0) {
            lastActivityTick = plat_tick_count();
            size_t at = 0;
            while (MarkerReaderNext(&markers, run->chunk, got, &at, run->launcherCode, sizeof run->launcherCode)) {
                markerSeen = 1;
                judge_launcher_code(run, &launchAborted);
            }
        }

        if (drain_errors(run, run->pipes.launcherErr, state) > 0) lastActivityTick = plat_tick_count();
        report_held_errors(run, 0);

        if (!startTimeoutFired && run->config.StartTimeout != 0 &&
            ElapsedAtLeast((uint32_t)run->config.StartTimeout)) {
            startTimeoutFired = 1;
            service_event(run, "Elapsed time exceed timeout", EVENT_WARNING);
            plat_terminate_process(launcher.process, 0);
            service_event(run, "1", EVENT_LAUNCH_FAILED);
            launchAborted = 1;
            record_failure(run, 1);
        }

        if (Requests.StopRequested) {
            service_event(run, "Service stop requested during container launch - terminating process", EVENT_WARNING);
            plat_terminate_process(launcher.process, 0);
            Requests.StopRequested = 0;
            launchAborted = 1;
        }

        if (Requests.DumpRequested) {
            Requests.DumpRequested = 0;
            SendCtrlBreak(&launcher);
        }

        if (state != CHILD_RUNNING) break;
    }
    // A launcher whose only markers were malformed ended abnormally, as one
    // whose marker reads "999".
    if (!launchAborted && MarkerReaderMalformedEnd(&markers, run->launcherCode, sizeof run->launcherCode)) {
        markerSeen = 1;
        judge_launcher_code(run, &launchAborted);
    }
    // A launcher that ended without any marker is judged by how its process
    // ended: only a clean end may lead to the start script, which could
    // otherwise be one that an earlier run left behind.
    uint32_t status = 0;
    if (!launchAborted && !markerSeen && (!plat_process_exit_code(launcher.process, &status) || status != 0)) {
        char text[EVENT_TEXT_SIZE];
        if (status != 0)
            text_format(text, sizeof text, "The launcher ended with process exit status %lu and no exit code",
                        (unsigned long)status);
        else
            text_copy(text, sizeof text, "The launcher ended with no exit code and an unknown process exit status");
        service_event(run, text, EVENT_LAUNCH_FAILED);
        record_failure(run, 1);
        launchAborted = 1;
    }
    plat_close_handle(launcher.thread);
    plat_close_handle(launcher.process);

    if (launchAborted) return 0;
    if (!ReadStartScript(run->serviceName, run->commandLine, run->pathLine, run->workingDirectory,
                         &run->config)) {
        record_failure(run, 1);
        return 0;
    }
    return 1;
}

// Starts the thread that keeps the container's standard input moving.  On
// failure the event and the debug line are written and null is returned.
FlusherBlock* start_flusher(Run* run, PlatHandle* thread)
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
    last_error_text(text, sizeof text);
    if (block != nullptr) {
        if (block->wake != nullptr) plat_close_handle(block->wake);
        plat_heap_free(block);
    }
    service_event(run, text, EVENT_LAUNCH_FAILED);
    log_debug("DEBUG: Unable to create Input Flusher thread: %s\n", text);
    record_failure(run, 1);
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

// A container that ended on its own without announcing an exit code has
// failed in a way nobody else reports.  The text stands in the event's
// message "the container ended with exit code %2".
void report_silent_end(Run* run, PlatHandle process)
{
    char text[EVENT_TEXT_SIZE];
    uint32_t status = 0;
    if (plat_process_exit_code(process, &status))
        text_format(text, sizeof text, "none announced (process exit status %lu)", (unsigned long)status);
    else
        text_copy(text, sizeof text, "none announced");
    service_event(run, text, EVENT_CONTAINER_FAILED);
    record_failure(run, 1);
}

// What the container's exit code, in run->containerCode, means: a normal end,
// a restart, or a failure that the run ends with.
void judge_container_code(Run* run)
{
    long value = ExitCodeValue(run->containerCode);
    if (value == 0) {
        service_event(run, "", EVENT_CONTAINER_ENDED);
    } else if (value == RESTART_EXIT_CODE) {
        service_event(run, "", EVENT_CONTAINER_RESTART);
        run->restartRequested = 1;
    } else {
        service_event(run, run->containerCode, EVENT_CONTAINER_FAILED);
        record_failure(run, service_code_from_text(run->containerCode));
    }
}

// Phase 2.  Returns 1 when the container asked for a new cycle.
int run_container(Run* run)
{
    PlatStartupInfo startup;
    prepare_startup(&startup, run->commandLine, run->pipes.containerInChild, run->pipes.containerOutChild,
                   run->pipes.containerErrChild);
    log_debug("DEBUG: phase 2 working directory2=%s\nDEBUG: phase 2 command=\n%s\n", run->workingDirectory,
              run->commandLine);
    PlatProcessInfo container;
    memset(&container, 0, sizeof container);
    uint32_t jobError = 0;
    if (!StartProcess(run->commandLine, run->workingDirectory, &container, &startup, 1, run->pathLine, run->job,
                      &jobError)) {
        report_system_error(run);
        return 0;
    }
    warn_without_job(run, jobError);
    ResetShutdownCommand();
    run->upTick = plat_tick_count64();
    log_debug("DEBUG: Phase 2 - CreateProcess complete, pid=%ld\n", (long)container.process_id);

    int containerStarted = 0;
    int exitCodeSeen = 0;
    MarkerReader markers;
    MarkerReaderReset(&markers);
    // Whether a stop request was taken up for this container: its end is then
    // the answer to that request, whatever code it announced.  Until the
    // container has ended, the stop is pending: reported every 5 s, bounded by
    // the shutdown timeout, "shutdown\n" completed while it is not through.
    int stopTaken = 0;
    int stopPending = 0;
    int shutdownWritten = 0;
    int startTimeoutFired = 0;
    // Whether the container could no longer be watched; that was reported.
    int lost = 0;
    uint32_t lastStopPendingTick = 0;

    PlatHandle flusherThread;
    FlusherBlock* flusher = start_flusher(run, &flusherThread);
    if (flusher == nullptr) {
        // The run ends here; a container left behind would outlive the
        // service, with nobody to stop it or to read its output.
        abandon_child(&container);
        return 0;
    }

    if (!run->config.LogContainerOutputEnabled) log_always("\n<container stdout suppressed from log>\n");

    const PlatHandle outputs[2] = {run->pipes.containerOut, run->pipes.containerErr};
    uint32_t lastActivityTick = plat_tick_count();
    uint32_t lastPollTick = lastActivityTick;
    uint32_t pollInterval = 0;
    size_t polledBytes = 0;
    for (;;) {
        int watchOutput = 0;
        uint32_t wait = container_poll_wait(run, containerStarted, stopPending, exitCodeSeen, lastActivityTick,
                                            polledBytes, pollInterval, &watchOutput);
        ChildState state = poll_child(run, container.process, wait, "container", watchOutput ? outputs : nullptr);
        if (state == CHILD_LOST) lost = 1;
        pollInterval = plat_tick_count() - lastPollTick;
        lastPollTick += pollInterval;
        polledBytes = 0;

        if (!containerStarted && !run->sixMinuteWarningGiven && ElapsedAtLeast(SIX_MINUTES_SECONDS)) {
            run->sixMinuteWarningGiven = 1;
            service_event(run, "Container can't start (phase 2). Elapsed time 6 minutes.", EVENT_WARNING);
        }

        size_t got = 0;
        PollDrain drain = {0, 0};
        while ((got = drain_next(run->pipes.containerOut, run->output, OUTPUT_CHUNK_SIZE,
                                 run->config.LogContainerOutputEnabled ? 1 : 0, state, &drain)) > 0) {
            polledBytes += got;
            lastActivityTick = plat_tick_count();
            if (!containerStarted && HasStartMarker(run->output, got)) {
                containerStarted = 1;
                run->upTick = plat_tick_count64();
                service_event(run, "", EVENT_CONTAINER_STARTED);
            }
            // Only the container's first marker counts.
            size_t at = 0;
            if (!exitCodeSeen &&
                MarkerReaderNext(&markers, run->output, got, &at, run->containerCode, sizeof run->containerCode)) {
                exitCodeSeen = 1;
                judge_container_code(run);
            }
        }

        got = drain_errors(run, run->pipes.containerErr, state);
        if (got > 0) lastActivityTick = plat_tick_count();
        polledBytes += got;
        report_held_errors(run, 0);

        // A stop is pending until the container has ended, also after it
        // announced its exit code: the shutdown timeout bounds the wait.
        if (stopPending) {
            if (run->config.ShutdownTimeout != 0 && ElapsedAtLeast((uint32_t)run->config.ShutdownTimeout)) {
                service_event(run, "Elapsed time exceeds shutdown timeout", EVENT_ERROR);
                plat_terminate_process(container.process, 0);
                stopPending = 0;
            } else if (!shutdownWritten && state == CHILD_RUNNING) {
                // What of "shutdown\n" did not fit the container's input
                // follows at every poll until it is through.
                shutdownWritten = SendShutdownCommand(run->pipes.containerIn);
            }
            if (stopPending && (uint32_t)(plat_tick_count() - lastStopPendingTick) >= STOP_PENDING_INTERVAL_MS) {
                // The service manager gives up on a service whose pending
                // state is not refreshed within its wait hint.
                log_debug("DEBUG: reporting SERVICE_STOP_PENDING to SCM (%ld)\n",
                          (long)(int32_t)lastStopPendingTick);
                ReportServiceStatus(SERVICE_STATE_STOP_PENDING, 0, STATUS_WAIT_HINT_MS);
                lastStopPendingTick = plat_tick_count();
            }
        }

        if (Requests.StopRequested) {
            stopPending = 1;
            stopTaken = 1;
            Requests.StopRequested = 0;
            shutdownWritten = SendShutdownCommand(run->pipes.containerIn);
            lastStopPendingTick = plat_tick_count();
            lastActivityTick = lastStopPendingTick;
            ReferenceStartTime = plat_tick_count64();
        }

        if (!containerStarted && !startTimeoutFired && run->config.StartTimeout != 0 &&
            ElapsedAtLeast((uint32_t)run->config.StartTimeout)) {
            startTimeoutFired = 1;
            service_event(run, "Elapsed time exceed timeout", EVENT_WARNING);
            plat_terminate_process(container.process, 0);
            service_event(run, "1", EVENT_LAUNCH_FAILED);
            record_failure(run, 1);
        }

        if (Requests.DumpRequested) {
            Requests.DumpRequested = 0;
            SendCtrlBreak(&container);
            lastActivityTick = plat_tick_count();
        }

        if (state != CHILD_RUNNING) break;
    }

    stop_flusher(flusher, flusherThread);
    if (!exitCodeSeen && !stopTaken && !startTimeoutFired && !lost) {
        // Only malformed markers: the container ended abnormally, as one
        // whose marker reads "999".
        if (MarkerReaderMalformedEnd(&markers, run->containerCode, sizeof run->containerCode))
            judge_container_code(run);
        else
            report_silent_end(run, container.process);
    }
    plat_close_handle(container.thread);
    plat_close_handle(container.process);

    if (stopTaken) {
        // The administrator asked for the stop, and it ended the container:
        // the service ends cleanly whatever code the container announced,
        // so that no recovery action restarts a service that was stopped.
        // Nor does a restart the container asked for swallow the stop: the
        // request is put back, and the next cycle's launcher is ended at its
        // first poll.
        run->failed = 0;
        run->failureCode = 0;
        if (run->restartRequested) Requests.StopRequested = 1;
    }
    if (run->restartRequested) {
        run->restartRequested = 0;
        return 1;
    }
    return 0;
}

int initialise(Run* run)
{
    // A run whose parameters cannot be used does nothing but say so: not
    // even the log file or the exit hook, whose directory is not known.
    if (!LoadServiceConfig(run->serviceName, &run->config)) {
        run->unconfigured = 1;
        record_failure(run, 1);
        return 0;
    }
    SetLogFileRotation(run->config.LogFileMaxBytes, run->config.LogFileGenerationCount);
    OpenLogFile(run->config.WorkingDirectory, run->serviceName);
    DumpServiceConfig(&run->config);
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);

    if (!create_pipes(run)) {
        record_failure(run, 1);
        return 0;
    }
    ReportServiceStatus(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
    plat_set_console_handler(ConsoleCtrlHandler);
    log_debug("DEBUG: init service complete\n");
    return 1;
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

uint32_t RunService(int argc, char** argv)
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) return 1;

    Run* run = &TheRun;
    memset(run, 0, sizeof *run);
    run->serviceName = argv[0];
    ReferenceStartTime = 0;
    OpenRequestWake();
    run->errorTokens = ERROR_EVENT_BURST * 1000u;
    run->tokensTick = plat_tick_count64();

    if (initialise(run)) {
        for (;;) {
            // Only the cycle that ends the run decides its outcome.
            run->failed = 0;
            run->failureCode = 0;
            open_cycle_job(run);
            int nextCycle = run_launcher(run) && run_container(run);
            // Whatever the cycle's children left running ends with its job,
            // so that a new cycle starts clean.
            close_cycle_job(run);
            if (!nextCycle || !throttle_restart(run)) break;
        }
    }

    report_held_errors(run, 1);
    if (!run->unconfigured) RunExitScript(run->serviceName, run->config.WorkingDirectory);
    CloseRequestWake();
    return run->failed ? run->failureCode : 0;
}
