/* talvexUtil.dll.  The library carries no state; its one export reports the
   release it belongs to, which must match talvex.exe beside it. */
#include "talvex_util.h"

#include "talvex_version.h"

const char* TalvexUtilVersion(void)
{
    return TALVEX_VERSION_TEXT;
}
