// The pure policies, as tables of time and counts: how long a poll waits,
// how long a restart waits, which error outputs become events, when the log
// is rotated, and what follows a launch cycle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/log_rotation.h"
#include "service/cycle_step.h"
#include "service/error_budget.h"
#include "service/poll_pacing.h"
#include "service/restart_throttle.h"

TEST(Policies, PollPacing)
{
    struct Row {
        const char* what;
        PaceInput in;   // awaitingStart, mayRest, silentMs, polledBytes, pollIntervalMs, heldErrors, canWatchOutput, dutyInMs
        uint32_t ms;
        int watch;
    } const rows[] = {
        {"a start awaited, its output waited on", {1, 0, 0, 5000, 50, 0, 1, 0}, 100, 1},
        {"a start just awaited, pipes not waited on", {1, 0, 0, 0, 0, 0, 0, 0}, 1, 0},
        {"... awaited for 800 ms", {1, 0, 800, 5000, 50, 0, 0, 0}, 51, 0},
        {"... awaited for long", {1, 0, 10000, 0, 0, 0, 0, 0}, 100, 0},
        {"a child just active", {0, 0, 0, 0, 0, 0, 1, 0}, 4, 0},
        {"a child silent for 200 ms, a duty later", {0, 0, 200, 0, 0, 0, 1, 30000}, 54, 0},
        {"a container writing 128 KiB in 50 ms", {0, 0, 0, 131072, 50, 0, 1, 0}, 50, 0},
        {"a container writing 1 MB in 50 ms", {0, 0, 0, 1048576, 50, 0, 1, 0}, 6, 0},
        {"a container writing 100 bytes in a poll", {0, 0, 0, 100, 10, 0, 1, 0}, 100, 0},
        {"a container writing fast right after a poll", {0, 0, 0, 1048576, 0, 0, 1, 0}, 1, 0},
        {"a container up and nearly quiet", {0, 1, 1999, 0, 0, 0, 1, 0}, 100, 0},
        {"a container up and quiet", {0, 1, 2000, 0, 0, 0, 1, 0}, 60000, 1},
        {"... with error output held back", {0, 1, 2000, 0, 0, 1, 1, 0}, 2000, 1},
        {"... with pipes that cannot be waited on", {0, 1, 5000, 0, 0, 0, 0, 0}, 2000, 0},
        {"a container up and quiet, a duty in 15 s", {0, 1, 2000, 0, 0, 0, 1, 15000}, 15000, 1},
        {"a start awaited, a duty sooner than the wait", {1, 0, 10000, 0, 0, 0, 1, 30}, 30, 1},
    };
    for (const Row& row : rows) {
        PaceWait wait = NextPollWait(&row.in);
        EXPECT_EQ(std::to_string(wait.ms) + " " + std::to_string(wait.watchOutput),
                  std::to_string(row.ms) + " " + std::to_string(row.watch))
            << row.what;
    }
}

// Quick restarts wait 1, 2, 4 ... s up to the ceiling; a container that was
// up a minute starts the count again; a ceiling of 0 never waits.
TEST(Policies, RestartThrottle)
{
    struct Row {
        uint64_t upMs;
        uint32_t ceiling;
    } const rows[] = {{100, 40}, {100, 40}, {59999, 40}, {100, 40}, {100, 40}, {100, 40}, {100, 40},
                      {100, 40}, {60000, 40}, {100, 40}, {100, 0},   {100, 3},  {100, 3},  {100, 0xFFFFFFFF}};
    uint32_t quick = 0;
    std::string seen;
    for (const Row& row : rows) {
        uint64_t delay = RestartDelayMs(row.upMs, row.ceiling, &quick);
        seen += std::to_string(delay) + "/" + std::to_string(quick) + " ";
    }
    EXPECT_EQ(seen, "1000/1 2000/2 4000/3 8000/4 16000/5 32000/6 40000/7 40000/8 0/0 1000/1 0/1 2000/2 3000/3 8000/4 ");
    quick = 40;
    EXPECT_EQ(RestartDelayMs(0, 0xFFFFFFFF, &quick), (uint64_t)1000 << 31);
}

// A burst of 20 events, then 10 a second; what is held back is summed up once
// it has stopped for 5 s, after a minute of it, or when the run ends.
TEST(Policies, ErrorBudget)
{
    ErrorBudget budget;
    ErrorBudgetStart(&budget, 1000);
    std::string written;
    for (uint64_t now : std::vector<uint64_t>(25, 1000)) written += std::to_string(ErrorBudgetTake(&budget, now));
    for (uint64_t now : {1099, 1100, 100000}) written += " " + std::to_string(ErrorBudgetTake(&budget, now));
    EXPECT_EQ(written, "1111111111111111111100000 0 1 1");
    EXPECT_EQ(budget.held, 6u);

    std::string due;
    for (uint64_t now : {1100, 6098, 6099}) due += std::to_string(ErrorSummaryDue(&budget, now, 0));
    due += std::to_string(ErrorSummaryDue(&budget, 1100, 1));
    EXPECT_EQ(due, "0011");   // held last at 1099: quiet for 5 s at 6099
    // Output that goes on is summed up a minute after it was first held back.
    ErrorBudgetStart(&budget, 0);
    budget.tokens = 0;
    for (uint64_t now = 0; now < 60000; now += 10) ErrorBudgetTake(&budget, now), budget.tokens = 0;
    EXPECT_EQ(ErrorSummaryDue(&budget, 59999, 0), 0);
    EXPECT_EQ(ErrorSummaryDue(&budget, 60000, 0), 1);
    budget.held = 0;
    EXPECT_EQ(ErrorSummaryDue(&budget, 100000, 1), 0);
}

// The rotation's decisions are the log model's to try in every mix; what it
// never meets is a file whose date could not be known, which a new day does
// not rotate.
TEST(Policies, LogRotationWithoutAFileDate)
{
    LogWriteFacts facts = {500, 10, 0, 1, 0, 20270117, 0, 0};
    EXPECT_EQ(LogRotationDue(&facts), 0);
}

// What follows a cycle: a stop taken up ends the run cleanly, unless the
// container answered it with a restart, whose new cycle the stop then ends at
// once; otherwise a restart or a stall waits for the throttle, and a failure
// ends the run with its code, or with failures restarted starts a new cycle.
TEST(Policies, WhatFollowsACycle)
{
    struct Row {
        OutcomeKind kind;
        int stopTaken, restartFailures;
        const char* step;   // next exitCode stopPending restart failed
    } const rows[] = {
        {OUTCOME_ENDED, 0, 0, "0 0 0 0 0"},   {OUTCOME_FAILED, 0, 0, "0 7 0 0 1"},  {OUTCOME_STOPPED, 0, 0, "0 0 0 0 0"},
        {OUTCOME_RESTART, 0, 0, "1 0 0 1 0"}, {OUTCOME_STALLED, 0, 0, "1 0 0 0 0"}, {OUTCOME_FAILED, 1, 0, "0 0 0 0 0"},
        {OUTCOME_RESTART, 1, 0, "2 0 1 1 0"}, {OUTCOME_STALLED, 1, 0, "0 0 0 0 0"}, {OUTCOME_FAILED, 0, 1, "1 7 0 0 1"},
        {OUTCOME_FAILED, 1, 1, "0 0 0 0 0"},  {OUTCOME_ENDED, 0, 1, "0 0 0 0 0"},   {OUTCOME_STOPPED, 0, 1, "0 0 0 0 0"},
    };
    for (const Row& row : rows) {
        CycleStep s = NextCycleStep(Outcome{row.kind, 7, 0}, row.stopTaken, row.restartFailures);
        EXPECT_EQ(std::to_string(s.next) + " " + std::to_string(s.exitCode) + " " + std::to_string(s.stopPending) + " " +
                      std::to_string(s.restart) + " " + std::to_string(s.failed),
                  row.step)
            << row.kind << " " << row.stopTaken << " " << row.restartFailures;
    }
}
