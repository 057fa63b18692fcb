// The rotation's decisions (see log_rotation.h).
#include "diag/log_rotation.h"

#include "common/platform.h"
#include "common/text.h"

namespace {

const int64_t SECONDS_PER_DAY = 86400;

}  // namespace

int LogRotationDue(const LogWriteFacts* facts)
{
    if (facts->size == 0 || facts->nowTick < facts->retryTick) return 0;
    int full = facts->limit != 0 && facts->size + facts->count > facts->limit;
    // A clock set back across midnight does not begin a new file: the date
    // must move on, not merely change.
    int newDay = facts->daily && facts->fileDate != 0 && facts->today > facts->fileDate;
    return full || newDay;
}

uint32_t LogStartGenerations(uint64_t limit, int daily, uint32_t generations, uint32_t fileDate, uint32_t today)
{
    if (daily && limit == 0 && fileDate >= today) return 0;
    return generations;
}

int LogGenerationExpired(int64_t lastWrite, int64_t now, uint32_t maxAgeDays)
{
    return maxAgeDays != 0 && now - lastWrite > (int64_t)maxAgeDays * SECONDS_PER_DAY;
}

LogRotationPlan PlanLogRotation(LogNames names, uint32_t generations)
{
    LogRotationPlan plan = {0, 0, LOG_ROTATION_NEW};
    if (names.current == PLAT_ENTRY_NONE) return plan;
    if (names.current != PLAT_ENTRY_FILE) {
        plan.result = LOG_ROTATION_NO_LOG;
        return plan;
    }
    // A directory or device where a file would have to go is never replaced:
    // the files younger than it stay where they are, and so does the log.
    if (names.gap <= generations && names.gapKind != PLAT_ENTRY_NONE) {
        plan.inTheWay = names.gap;
        plan.result = LOG_ROTATION_APPEND;
        return plan;
    }
    plan.moves = names.gap <= generations ? names.gap : generations;
    return plan;
}

int LogSuffixGeneration(const char* rest, uint32_t* generation, int* compressed)
{
    // ".<n>": the number as the rotation writes it, without leading zeros.
    if (rest[0] != '.' || rest[1] < '1' || rest[1] > '9') return 0;
    uint64_t number = 0;
    const char* end = rest + 1;
    for (; *end >= '0' && *end <= '9'; ++end)
        if (number <= UINT32_MAX) number = number * 10 + (uint64_t)(*end - '0');
    *compressed = text_equal_nocase(end, ".gz");
    if (*end != '\0' && !*compressed) return 0;
    *generation = number <= UINT32_MAX ? (uint32_t)number : UINT32_MAX;
    return 1;
}

int LogSuffixIsOwn(const char* rest)
{
    if (rest[0] == '\0' || text_equal_nocase(rest, ".gz") || text_equal_nocase(rest, ".gz.tmp")) return 1;
    uint32_t generation;
    int compressed;
    return LogSuffixGeneration(rest, &generation, &compressed);
}
