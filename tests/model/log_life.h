// The life of a log file, as a model-based test: a sequence of operations
// (writes, rotations of every kind, starts with every setting, days and ages
// passing, compression and its failures, files held by other programs,
// directories in the way, a full disk, a killed run) applied both to the real
// log on the in-memory platform and to a small model of what must be on
// disk, compared after every step.
#ifndef TALVEX_TESTS_MODEL_LOG_LIFE_H
#define TALVEX_TESTS_MODEL_LOG_LIFE_H

#include <stdint.h>

#include <functional>
#include <string>

// Where the choices come from: next(n) gives a number below n (a seeded
// generator, or a fuzzer's input).
typedef std::function<uint32_t(uint32_t)> LifeChoice;

// Runs `steps` operations from a fresh platform.  Returns "" when disk and
// model agree after every step; otherwise the steps so far, one a line, and
// what differs, so that the sequence can be read and replayed.
std::string RunLogLife(const LifeChoice& next, int steps);

#endif
