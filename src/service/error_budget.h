// How many of the children's error outputs become events.
#ifndef TALVEX_SERVICE_ERROR_BUDGET_H
#define TALVEX_SERVICE_ERROR_BUDGET_H

#include <stdint.h>

// A bucket of events, refilled with time, and the output held back beyond it
// since the last summary.  Times are tick counts in ms.
struct ErrorBudget {
    uint64_t tokens;        // thousandths of an event
    uint64_t refilledTick;
    uint32_t held;          // outputs held back since the last summary
    uint64_t heldSinceTick;
    uint64_t lastHeldTick;
};

// A full bucket at `now`.
void ErrorBudgetStart(ErrorBudget* budget, uint64_t now);
// One error output at `now`: 1 when it may be written as an event, 0 when it
// is held back (and counted).
int ErrorBudgetTake(ErrorBudget* budget, uint64_t now);
// Whether the held-back outputs are to be summed up now: once they have
// stopped for a while, every minute while they go on, and when the run ends.
// The caller writes the summary and sets held to 0.
int ErrorSummaryDue(const ErrorBudget* budget, uint64_t now, int runEnds);

#endif
