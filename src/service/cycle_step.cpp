// What follows a launch cycle (see cycle_step.h).
#include "service/cycle_step.h"

void OutcomeFail(Outcome* outcome, uint32_t code)
{
    if (outcome->kind == OUTCOME_FAILED || outcome->kind == OUTCOME_RESTART || outcome->kind == OUTCOME_STALLED) return;
    outcome->kind = OUTCOME_FAILED;
    outcome->code = code;
}

CycleStep NextCycleStep(Outcome outcome, int stopTaken, int restartFailures)
{
    int restart = outcome.kind == OUTCOME_RESTART;
    int failed = outcome.kind == OUTCOME_FAILED;
    if (stopTaken) {
        if (!restart) return CycleStep{CYCLE_END_RUN, 0, 0, 0, 0};
        return CycleStep{CYCLE_AGAIN_NOW, 0, 1, 1, 0};
    }
    if (restart || outcome.kind == OUTCOME_STALLED || (failed && restartFailures))
        return CycleStep{CYCLE_AGAIN, failed ? outcome.code : 0u, 0, restart, failed};
    return CycleStep{CYCLE_END_RUN, failed ? outcome.code : 0u, 0, 0, failed};
}
