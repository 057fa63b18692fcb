// The stall watch against a reader of the container's input whose pace
// changes at random: fast, slow, bursty, stopped, or closed for good.
#ifndef TALVEX_TESTS_MODEL_STALL_LIFE_H
#define TALVEX_TESTS_MODEL_STALL_LIFE_H

#include <string>

#include "model/log_life.h"

// Runs one container's life of `phases` paces.  Returns "" when every report
// was of a reader that had read nothing for the whole stall time while bytes
// waited, every such reader was reported in time, and every end of a stall
// followed a read; otherwise the paces and what went wrong.
std::string RunStallLife(const LifeChoice& next, int phases);

#endif
