// How many of the children's error outputs become events.
//
// Everything a child writes to its standard error is an error event.  A
// child that floods its standard error would flood the Application log,
// which every other program shares: beyond a bucket of 20 events, refilled
// at 10 a second, output is only counted, and a summary says how much was
// held back (its bytes are in the log file all the same).
#include "service/error_budget.h"

namespace {

enum : uint32_t {
    ERROR_EVENT_BURST = 20,
    ERROR_EVENTS_PER_SECOND = 10,
    TOKENS_PER_EVENT = 1000,
    // Held-back output is summed up once it has stopped for 5 s, or after a
    // minute of it.
    HELD_ERRORS_QUIET_MS = 5000,
    HELD_ERRORS_SUMMARY_MS = 60000,
};

}  // namespace

void ErrorBudgetStart(ErrorBudget* budget, uint64_t now)
{
    *budget = ErrorBudget{};
    budget->tokens = (uint64_t)ERROR_EVENT_BURST * TOKENS_PER_EVENT;
    budget->refilledTick = now;
}

int ErrorBudgetTake(ErrorBudget* budget, uint64_t now)
{
    budget->tokens += (now - budget->refilledTick) * ERROR_EVENTS_PER_SECOND;
    if (budget->tokens > (uint64_t)ERROR_EVENT_BURST * TOKENS_PER_EVENT)
        budget->tokens = (uint64_t)ERROR_EVENT_BURST * TOKENS_PER_EVENT;
    budget->refilledTick = now;
    if (budget->tokens >= TOKENS_PER_EVENT) {
        budget->tokens -= TOKENS_PER_EVENT;
        return 1;
    }
    if (budget->held++ == 0) budget->heldSinceTick = now;
    budget->lastHeldTick = now;
    return 0;
}

int ErrorSummaryDue(const ErrorBudget* budget, uint64_t now, int runEnds)
{
    if (budget->held == 0) return 0;
    return runEnds || now - budget->lastHeldTick >= HELD_ERRORS_QUIET_MS ||
           now - budget->heldSinceTick >= HELD_ERRORS_SUMMARY_MS;
}
