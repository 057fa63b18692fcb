// The rotation's decisions (see log_rotation.h).
#include "diag/log_rotation.h"

#include "common/platform.h"

int LogRotationDue(uint64_t size, size_t count, uint64_t limit, uint64_t nowTick, uint64_t retryTick)
{
    return limit != 0 && size > 0 && size + count > limit && nowTick >= retryTick;
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
