// Model-based tests: seeded random lives of the log file and of the stall
// watch, each step checked against a model of what the rules allow.  A
// failure names its seed and lists the steps, which the same seed replays.
#include <gtest/gtest.h>

#include <random>

#include "model/log_life.h"
#include "model/stall_life.h"

static LifeChoice seeded(std::mt19937* generator)
{
    return [generator](uint32_t bound) { return bound == 0 ? 0u : (uint32_t)((*generator)() % bound); };
}

// The log: 400 lives of 80 steps.  The stall watch: 150 lives of 8 phases.
TEST(Models, TheLivesOfTheLogAndOfTheStallWatchKeepTheRules)
{
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        std::mt19937 log(seed), stall(seed);
        ASSERT_EQ(RunLogLife(seeded(&log), 80), "") << "log, seed " << seed;
        ASSERT_EQ(seed <= 150 ? RunStallLife(seeded(&stall), 8) : "", "") << "stall watch, seed " << seed;
    }
}
