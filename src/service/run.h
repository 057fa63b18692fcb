// The service body's own record of a run, and what its phases share: a
// child started and waited for, the polls' pacing and drains, the time
// limits, the events, the metrics.  Internal to the service body's files
// (supervisor.cpp, launcher_phase.cpp, container_phase.cpp, child_watch.cpp,
// run_metrics.cpp).
#ifndef TALVEX_SERVICE_RUN_H
#define TALVEX_SERVICE_RUN_H

#include <stddef.h>
#include <stdint.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "config/service_config.h"
#include "diag/metrics_file.h"
#include "service/child_pipes.h"
#include "service/container_input.h"
#include "service/cycle_step.h"
#include "service/error_budget.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/poll_pacing.h"
#include "service/start_script.h"

enum {
    EVENT_TEXT_SIZE = 2048,
};

struct Run {
    const char* serviceName;
    Pipes pipes;
    ContainerInput input;
    // The monotonic tick count (milliseconds) from which the time limits
    // count: each launcher's start, and a stop request taken up in phase 2.
    uint64_t limitsFrom;
    int sixMinuteWarningGiven;
    // The launch cycle's job: closing it ends whatever the cycle's children
    // left running, and the system closes it when this process dies.
    PlatHandle job;
    int jobWarningGiven;
    // When the current container came up (or was started), and whether the
    // cycle's container has come up; the quick restarts in a row are counted
    // in the figures.
    uint64_t upTick;
    int cameUp;
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
    // two, what the last one read, and whether output in a pipe ended its
    // wait.
    uint32_t lastActivityTick;
    uint32_t lastPollTick;
    uint32_t pollInterval;
    size_t polledBytes;
    int wokenByOutput;
};

// What one poll learnt about a child.
enum ChildState { CHILD_ENDED, CHILD_RUNNING, CHILD_LOST };

// One poll's drain of a pipe: the bytes the last look found that are still
// unread, whether the pipe was looked into, and, when it is to be read
// without a look (TakePipe), the most bytes that read is to take (0: look
// first).
struct PollDrain {
    uint32_t waiting;
    int looked;
    uint32_t take;
};

void service_event(const Run* run, const char* text, uint32_t eventId);
// A child that runs without the cycle's job may outlive the service; that is
// said once per run.
void warn_without_job(Run* run, uint32_t code);
// The last system error as an event; the phase fails with 1.
void report_system_error(Run* run, Outcome* outcome);
// The service-specific exit code for an announced code text: its value when
// the service manager can show it, else 1 (a failure must never read as 0).
uint32_t service_code_from_text(const char* codeText);
// Whether `limitSeconds` have passed since the time limits' reference.
int elapsed_at_least(const Run* run, uint32_t limitSeconds);

// Starts a child with its three pipe ends, in the cycle's job.  On failure
// the event is written and the outcome fails.
int start_child(Run* run, ChildWatch* w, PlatHandle input, PlatHandle output, PlatHandle error,
                const char* directory, const char* pathLine);
// Closes a child's handles; abandoning it ends it first, so that no JVM that
// the run can no longer supervise outlives the service that started it.
void close_child(PlatProcessInfo* child);
void abandon_child(PlatProcessInfo* child);
// Waits for the child to end or a request to arrive, and with output pipes
// given, for output in one of them.
ChildState wait_for_child(Run* run, ChildWatch* w, PaceWait pace, PlatOutputPipe* const* outputs);
// The pacing input that both phases share, and a timed duty that brings the
// next poll forward.
PaceInput pace_input(Run* run, const ChildWatch* w);
void duty_at(PaceInput* in, uint64_t dueTick);
void six_minute_warning(Run* run, const ChildWatch* w);
// The next piece of a poll's drain of a pipe: the number of bytes read into
// buffer, 0 when the drain is over.
size_t drain_next(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog, ChildState state, PollDrain* drain);
// Everything a child wrote to its standard error is an error event, within
// the error budget; the bytes reach the log file as well.
void drain_errors(Run* run, ChildWatch* w, PlatOutputPipe* pipe, ChildState state);
// Says how much error output was held back, when that is due.
void report_held_errors(Run* run, int runEnds);
int start_timeout_due(const Run* run, const ChildWatch* w);
void end_for_start_timeout(Run* run, ChildWatch* w);
// Asks the child for a thread dump, and polls it soon for its answer; with a
// dump requested by the administrator only.
void request_dump(ChildWatch* w);
void pass_on_dump(ChildWatch* w);

// The metrics file: written with the run's figures, and whenever the
// service's state or the container's changes, and every 15 s in between.
void write_metrics(Run* run, uint32_t serviceUp);
void write_metrics_when_due(Run* run);

// The phases.  Phase 1 is ENDED when the start script was read and phase 2
// follows; phase 2 reports whether a stop was taken up in it.
Outcome run_launcher(Run* run, int stopPending);
Outcome run_container(Run* run, int* stopTaken);

#endif
