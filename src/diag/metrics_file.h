// The metrics file: the service's figures in the Prometheus text format,
// for a monitoring agent that reads such files from a folder (the Windows
// exporter's textfile collector reads "*.prom").
#ifndef TALVEX_DIAG_METRICS_FILE_H
#define TALVEX_DIAG_METRICS_FILE_H

#include <stdint.h>

#include "common/helpers.h"

enum {
    // A working directory, a backslash and a relative name, each a path.
    METRICS_PATH_SIZE = 2 * PATH_TEXT_SIZE + 1,
    // A service name of up to 256 characters as UTF-8 (up to three bytes
    // each), and escaped (each byte may double).
    METRICS_LABEL_SIZE = 3 * (SERVICE_NAME_SIZE - 1) + 1,
    METRICS_ESCAPED_LABEL_SIZE = 2 * METRICS_LABEL_SIZE,
    // Fifteen metrics with their help texts, each labelled with the name.
    METRICS_TEXT_SIZE = 4096 + 15 * METRICS_ESCAPED_LABEL_SIZE,
};

struct MetricsFigures {
    uint32_t serviceUp;             // 1 while the service is RUNNING
    uint32_t containerUp;           // 1 from a container's start marker to its end
    uint64_t launchCycles;
    uint64_t containerRestarts;     // restarts the container asked for (exit code 14)
    uint32_t quickRestarts;         // in a row
    uint64_t restartDelaySeconds;   // the delay before the latest new cycle
    int exitCodeAnnounced;          // a container has announced an exit code...
    int64_t lastExitCode;           // ... and this was the last one
    int64_t containerStartTime;     // Unix time; 0 before the first container
    uint64_t errorEvents;           // the children's error output written as events...
    uint64_t errorEventsHeld;       // ... and held back by the rate limit
    uint64_t logBytes;
    uint64_t logBytesLost;
    uint64_t logRotations;
    uint32_t inputUnreadBytes;      // in the container's standard input at the last look
    uint64_t inputStalls;
    uint64_t cycleFailures;         // launch cycles that failed
};

struct MetricsFile {
    const char* serviceName;
    char path[METRICS_PATH_SIZE];       // "" when no file is named
    char temporary[METRICS_PATH_SIZE + 4];
    char label[METRICS_ESCAPED_LABEL_SIZE];   // the service label's value
    int writeWarningGiven;
    int renameWarningGiven;
    char text[METRICS_TEXT_SIZE];
};

// Names the file: `name` (the MetricsFile parameter, "" for none), relative
// to `directory` unless it is absolute.  A name too long to use is reported
// as a file that cannot be written; one that names the service's log file
// "<directory>\<serviceName>.out" or one of its generations is refused with
// a warning.  Either way the run goes on without a metrics file.
void MetricsFileOpen(MetricsFile* file, const char* serviceName, const char* directory, const char* name);
// Replaces the file with the figures, when one is named: written under a
// temporary name (never "*.prom", so an agent never reads half a file), then
// renamed over it.  A file that cannot be written, and one that cannot be
// replaced (an agent holds it open), are each said once per run with a
// warning event; the next write tries again.
void MetricsFileWrite(MetricsFile* file, const MetricsFigures* figures);

#endif
