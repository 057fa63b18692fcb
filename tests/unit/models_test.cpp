// Model-based tests: seeded random lives of the log file and of the stall
// watch, each step checked against a model of what the rules allow.  A
// failure names its seed and lists the steps, which the same seed replays.
#include <gtest/gtest.h>

#include <random>

#include "model/log_life.h"
#include "model/stall_life.h"

namespace {

LifeChoice seeded(std::mt19937* generator)
{
    return [generator](uint32_t bound) { return bound == 0 ? 0u : (uint32_t)((*generator)() % bound); };
}

}  // namespace

TEST(Models, TheLogsLifeLosesNoByteTheRulesKeep)
{
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        std::mt19937 generator(seed);
        std::string failure = RunLogLife(seeded(&generator), 80);
        ASSERT_EQ(failure, "") << "seed " << seed;
    }
}

TEST(Models, TheStallWatchReportsOnlyAReaderThatReadsNothing)
{
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        std::mt19937 generator(seed);
        std::string failure = RunStallLife(seeded(&generator), 8);
        ASSERT_EQ(failure, "") << "seed " << seed;
    }
}
