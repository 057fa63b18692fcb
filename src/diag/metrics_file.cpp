// The metrics file.
//
// An agent may read the file at any moment, and Windows lets a file be
// renamed over another atomically: the figures are written to a temporary
// file beside it, which is then renamed over the file, so that a reader sees
// either the old figures or the new ones, never half of them.  A reader that
// holds the file open without delete sharing makes the rename fail; the
// temporary file then waits for the next write, which tries again.
#include "diag/metrics_file.h"

#include <stdio.h>
#include <string.h>

#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "diag/log_rotation.h"

namespace {

const char CANNOT_WRITE[] = "cannot be written; the service runs on without it";

enum { METRICS_EVENT_SIZE = 2 * METRICS_PATH_SIZE + LOG_FILE_PATH_SIZE + SYSTEM_MESSAGE_SIZE + 256 };

struct Metric {
    const char* name;
    const char* type;
    const char* help;
    int64_t value;
    int present;
};

// A label value as the text format wants it: UTF-8, with backslash, double
// quote and line feed escaped.  0 when the name cannot be converted.
int label_value(char* label, size_t size, const char* serviceName)
{
    char utf8[METRICS_LABEL_SIZE];
    if (!plat_ansi_to_utf8(serviceName, utf8, sizeof utf8)) return 0;
    label[0] = '\0';
    char one[3] = {0, 0, 0};
    for (const char* c = utf8; *c != '\0'; ++c) {
        one[0] = *c == '\\' || *c == '"' || *c == '\n' ? '\\' : *c;
        one[1] = *c == '\n' ? 'n' : *c == '\\' || *c == '"' ? *c : '\0';
        if (!text_append(label, size, one)) return 0;
    }
    return 1;
}

// The whole text; 0 when it does not fit.
int format_metrics(char* text, size_t size, const char* label, const MetricsFigures* f)
{
    const Metric metrics[] = {
        {"talvex_service_up", "gauge", "1 while the service is RUNNING, else 0.", f->serviceUp, 1},
        {"talvex_container_up", "gauge", "1 while a container is up, from its start marker to its end.",
         f->containerUp, 1},
        {"talvex_launch_cycles_total", "counter", "Launch cycles started (a launcher, then a container).",
         (int64_t)f->launchCycles, 1},
        {"talvex_container_restarts_total", "counter", "Restarts the container asked for with exit code 14.",
         (int64_t)f->containerRestarts, 1},
        {"talvex_quick_restarts", "gauge", "Restarts in a row of containers that were up less than a minute.",
         f->quickRestarts, 1},
        {"talvex_restart_delay_seconds", "gauge", "How long the latest launch cycle waited after a quick restart.",
         (int64_t)f->restartDelaySeconds, 1},
        {"talvex_last_exit_code", "gauge", "The exit code the last container announced.", f->lastExitCode,
         f->exitCodeAnnounced},
        {"talvex_container_start_time_seconds", "gauge", "When the latest container was started, in Unix time.",
         f->containerStartTime, f->containerStartTime != 0},
        {"talvex_log_bytes_total", "counter", "Bytes written to the log file.", (int64_t)f->logBytes, 1},
        {"talvex_log_bytes_lost_total", "counter", "Bytes of output that could not be written to the log file.",
         (int64_t)f->logBytesLost, 1},
        {"talvex_error_events_total", "counter", "Error output of the children written as error events.",
         (int64_t)f->errorEvents, 1},
        {"talvex_error_events_held_total", "counter", "Error output held back by the rate limit of error events.",
         (int64_t)f->errorEventsHeld, 1},
        {"talvex_log_rotations_total", "counter", "Rotations of the log file.", (int64_t)f->logRotations, 1},
        {"talvex_input_unread_bytes", "gauge", "Bytes the container had left unread in its standard input at the last look.",
         f->inputUnreadBytes, 1},
        {"talvex_input_stalls_total", "counter", "Times the container left its standard input unread for the stall time.",
         (int64_t)f->inputStalls, 1},
        {"talvex_cycle_failures_total", "counter", "Launch cycles that failed.", (int64_t)f->cycleFailures, 1},
    };
    text[0] = '\0';
    int fits = 1;
    for (const Metric& m : metrics) {
        fits &= text_append_format(text, size, "# HELP %s %s\n# TYPE %s %s\n", m.name, m.help, m.name, m.type);
        if (!m.present) continue;
        fits &= text_append_format(text, size, "%s{service=\"%s\"} %lld\n", m.name, label, (long long)m.value);
    }
    return fits;
}

// Says once per run that the file cannot be written, or cannot be replaced.
void warn_once(MetricsFile* file, int* given, const char* what)
{
    if (*given) return;
    *given = 1;
    char reason[SYSTEM_MESSAGE_SIZE];
    char text[METRICS_EVENT_SIZE];
    SystemErrorText(plat_get_last_error(), reason, sizeof reason);
    text_format(text, sizeof text, "The metrics file %s %s - %s", file->path, what, reason);
    LogServiceEvent(file->serviceName, text, EVENT_WARNING);
}

// Writes the text to the temporary file; 0 with the last error set on failure.
int write_temporary(const MetricsFile* file)
{
    FILE* out = plat_fopen(file->temporary, "wb");
    if (out == nullptr) return 0;
    size_t length = strlen(file->text);
    int written = fwrite(file->text, 1, length, out) == length;
    uint32_t error = plat_get_last_error();
    // Closing flushes the stream: a disk that is full shows here at the latest.
    written &= fclose(out) == 0;
    if (!written && error == PLAT_NO_ERROR) error = PLAT_ERROR_DISK_FULL;
    if (!written) plat_set_last_error(error);
    return written;
}

// 1 when `path` is the service's log file or one of its generations, as
// full paths compare: the metrics file's renames would replace the log.
int names_the_log(const char* path, const char* logPath)
{
    char full[METRICS_PATH_SIZE];
    char log[METRICS_PATH_SIZE];
    uint32_t fullLength = plat_full_path(path, full, sizeof full);
    uint32_t logLength = plat_full_path(logPath, log, sizeof log);
    if (fullLength == 0 || fullLength >= sizeof full || logLength == 0 || logLength >= sizeof log) return 0;
    return fullLength >= logLength && text_equal_nocase_n(full, log, logLength) && LogSuffixIsOwn(full + logLength);
}

}  // namespace

void MetricsFileOpen(MetricsFile* file, const char* serviceName, const char* directory, const char* name)
{
    memset(file, 0, sizeof *file);
    file->serviceName = serviceName;
    if (name[0] == '\0') return;
    int fits = PathIsAbsolute(name) ? text_copy(file->path, sizeof file->path, name)
                        : text_format(file->path, sizeof file->path, "%s\\%s", directory, name);
    fits &= text_format(file->temporary, sizeof file->temporary, "%s.tmp", file->path);
    if (!fits) {
        plat_set_last_error(PLAT_ERROR_FILENAME_EXCED_RANGE);
        warn_once(file, &file->writeWarningGiven, CANNOT_WRITE);
        file->path[0] = '\0';
        return;
    }
    char logPath[LOG_FILE_PATH_SIZE];
    if (LogFileName(directory, serviceName, logPath, sizeof logPath) && names_the_log(file->path, logPath)) {
        char text[METRICS_EVENT_SIZE];
        text_format(text, sizeof text, "MetricsFile \"%s\" names the log file %s or one of its rotated files, and "
                    "writing it would overwrite the service's log; the service runs without a metrics file",
                    name, logPath);
        LogServiceEvent(serviceName, text, EVENT_WARNING);
        file->path[0] = '\0';
        return;
    }
    if (!label_value(file->label, sizeof file->label, serviceName)) {
        warn_once(file, &file->writeWarningGiven, CANNOT_WRITE);
        file->path[0] = '\0';
    }
}

void MetricsFileWrite(MetricsFile* file, const MetricsFigures* figures)
{
    if (file->path[0] == '\0') return;
    if (!format_metrics(file->text, sizeof file->text, file->label, figures)) {
        plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
        warn_once(file, &file->writeWarningGiven, CANNOT_WRITE);
        return;
    }
    if (!write_temporary(file)) {
        warn_once(file, &file->writeWarningGiven, CANNOT_WRITE);
        return;
    }
    if (!plat_move_file(file->temporary, file->path, 1))
        warn_once(file, &file->renameWarningGiven, "cannot be replaced; the next write tries again");
}
