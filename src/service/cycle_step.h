// How a phase of a launch cycle ended, and what follows a cycle: a pure
// decision on its outcome and on whether a stop was taken up in it.
#ifndef TALVEX_SERVICE_CYCLE_STEP_H
#define TALVEX_SERVICE_CYCLE_STEP_H

#include <stdint.h>

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
void OutcomeFail(Outcome* outcome, uint32_t code);

enum CycleNext {
    CYCLE_END_RUN,      // the run ends with `exitCode`
    CYCLE_AGAIN,        // a new cycle, after the restart throttle's wait
    CYCLE_AGAIN_NOW,    // a new cycle at once: a stop waits to end it
};

struct CycleStep {
    CycleNext next;
    uint32_t exitCode;
    int stopPending;    // the stop that the next cycle's launcher takes up
    int restart;        // the container asked for it (the figures count it)
    int failed;         // the cycle failed (the figures count it)
};

// What follows a cycle whose last phase ended with `outcome`, when a stop
// was taken up in it (`stopTaken`) or not.  An administrator's stop ends the
// run cleanly whatever code the container announced, so that no recovery
// action restarts a service that was stopped; nor does a restart the
// container asked for swallow the stop, which then ends the next cycle.  A
// cycle that failed ends the run with its code, or with `restartFailures`
// starts a new cycle after the throttle's wait.
CycleStep NextCycleStep(Outcome outcome, int stopTaken, int restartFailures);

#endif
