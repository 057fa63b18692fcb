// What both phases do with the child they watch: start it, wait for it at
// the pace the polls keep, drain its error output into events, enforce the
// start limits and pass on dumps (see run.h).
#include <string.h>

#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/child_start.h"
#include "service/run.h"
#include "service/service_status.h"

namespace {

enum : uint32_t {
    SIX_MINUTES_SECONDS = 360,
};

// STARTF_USESTDHANDLES | STARTF_FORCEONFEEDBACK: the children's standard
// handles are the pipe ends of the start record.
const uint32_t CHILD_START_FLAGS = PLAT_STARTF_USESTDHANDLES | PLAT_STARTF_FORCEONFEEDBACK;

}  // namespace

uint32_t service_code_from_text(const char* codeText)
{
    long value = ExitCodeValue(codeText);
    return value > 0 ? (uint32_t)value : 1u;
}

int elapsed_at_least(const Run* run, uint32_t limitSeconds)
{
    // The monotonic tick count: a wall clock set forward or back while the
    // service starts or stops (time sync at boot, a resumed virtual machine)
    // neither fires a limit early nor postpones it.
    return plat_tick_count64() - run->limitsFrom >= (uint64_t)limitSeconds * 1000u;
}

void service_event(const Run* run, const char* text, uint32_t eventId)
{
    LogServiceEvent(run->serviceName, text, eventId);
}

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

void report_system_error(Run* run, Outcome* outcome)
{
    char text[EVENT_TEXT_SIZE];
    SystemErrorText(plat_get_last_error(), text, sizeof text);
    service_event(run, text, EVENT_LAUNCH_FAILED);
    OutcomeFail(outcome, 1);
}

void close_child(PlatProcessInfo* child)
{
    plat_close_handle(child->thread);
    plat_close_handle(child->process);
}

// TerminateProcess returns before the child has gone; nothing here needs to
// wait for that.
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

// Waits for the child to end or a request to arrive, and when the pace says
// so, for output in one of its pipes.  A failed wait says nothing about the
// child, so the exit code is asked instead, and the interval is slept so that
// the poll keeps its rhythm.  When even that cannot be read, the child cannot
// be supervised: it is reported, ended and lost.  Pipes that cannot be waited
// on are not waited on again in this run.
ChildState wait_for_child(Run* run, ChildWatch* w, PaceWait pace, PlatOutputPipe* const* outputs)
{
    PlatHandle process = w->child.process;
    uint32_t result;
    w->wokenByOutput = 0;
    if (pace.watchOutput) {
        // The process and the request event come first, then the pipes.
        const uint32_t pipes = 2, firstPipe = PLAT_WAIT_OBJECT_0 + 2;
        result = plat_wait_output(process, Requests.Wake, outputs, pipes, pace.ms);
        if (result == PLAT_WAIT_FAILED) run->outputUnwatched = 1;
        w->wokenByOutput = result >= firstPipe && result < firstPipe + pipes;
        if (w->wokenByOutput) result = PLAT_WAIT_TIMEOUT;
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
    OutcomeFail(&w->outcome, 1);
    return CHILD_LOST;
}

// Brings the pacing's time until the next timed duty forward to `dueTick`.
void duty_at(PaceInput* in, uint64_t dueTick)
{
    uint64_t now = plat_tick_count64();
    uint32_t dueIn = dueTick > now ? (uint32_t)(dueTick - now) : 1;
    if (in->dutyInMs == 0 || dueIn < in->dutyInMs) in->dutyInMs = dueIn;
}

// The pacing input that both phases share.  Output that ended a wait but
// that no drain could read would end every wait at once: such pipes are not
// waited on again in this run.
PaceInput pace_input(Run* run, const ChildWatch* w)
{
    if (w->wokenByOutput && w->polledBytes == 0) run->outputUnwatched = 1;
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

void six_minute_warning(Run* run, const ChildWatch* w)
{
    if (run->sixMinuteWarningGiven || !elapsed_at_least(run, SIX_MINUTES_SECONDS)) return;
    run->sixMinuteWarningGiven = 1;
    service_event(run, w->sixMinuteWarning, EVENT_WARNING);
}

// The next piece of a poll's drain of a pipe: the number of bytes read into
// buffer, 0 when the drain is over.  While the child runs, a poll reads what
// its first look into the pipe found and leaves what came since to the next
// poll: a child that writes without pause would otherwise keep the
// supervisor reading the few bytes of each moment, at a round trip to the
// Wine server each, and away from its requests.  A child that has ended is
// drained until its pipe is empty.
size_t drain_next(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog, ChildState state, PollDrain* drain)
{
    if (drain->take != 0) {
        // One read; when it took all it could, the pipe may hold more, and
        // what one look then finds is read as well, so that the pace sees the
        // whole backlog and the drain still ends.
        size_t room = drain->take < size - 1 ? (size_t)drain->take + 1 : size;
        size_t got = TakePipe(pipe, buffer, room, copyToLog);
        drain->take = 0;
        drain->looked = got + 1 < room;
        return got;
    }
    if (drain->looked && drain->waiting == 0 && state == CHILD_RUNNING) return 0;
    drain->looked = 1;
    return DrainPipeCounted(pipe, buffer, size, copyToLog, &drain->waiting);
}

// Everything a child wrote to its standard error is an error event, within
// the error budget; the bytes reach the log file as well.
void drain_errors(Run* run, ChildWatch* w, PlatOutputPipe* pipe, ChildState state)
{
    size_t got = 0;
    PollDrain drain = {0, 0, 0};
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
    OutcomeFail(&w->outcome, 1);
}

int start_timeout_due(const Run* run, const ChildWatch* w)
{
    return !w->startTimeoutFired && run->config.StartTimeout != 0 &&
           elapsed_at_least(run, (uint32_t)run->config.StartTimeout);
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
