// The run's figures in the metrics file (see run.h).
#include "diag/log_file.h"
#include "service/run.h"
#include "service/service_status.h"

namespace {

enum : uint32_t { METRICS_INTERVAL_MS = 15000 };

}  // namespace

// Writes the metrics file with the run's figures.
void write_metrics(Run* run, uint32_t serviceUp)
{
    MetricsFigures figures = run->figures;
    figures.serviceUp = serviceUp;
    LogFileCounts log;
    GetLogFileCounts(&log);
    figures.logBytes = log.bytesWritten;
    figures.logBytesLost = log.bytesLost;
    figures.logRotations = log.rotations;
    MetricsFileWrite(&run->metrics, &figures);
    run->nextMetricsTick = plat_tick_count64() + METRICS_INTERVAL_MS;
}

// The metrics file is written whenever the service's state or the
// container's changes, and every 15 s in between.
void write_metrics_when_due(Run* run)
{
    if (run->metrics.path[0] == '\0') return;
    uint32_t serviceState = ServiceStatus.status.current_state;
    uint32_t state = serviceState * 2 + run->figures.containerUp;
    if (state == run->metricsState && plat_tick_count64() < run->nextMetricsTick) return;
    run->metricsState = state;
    write_metrics(run, serviceState == SERVICE_STATE_RUNNING);
}
