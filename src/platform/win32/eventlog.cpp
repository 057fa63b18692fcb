// Application event log reports.
#include <windows.h>

#include "common/platform.h"

EventSource plat_register_event_source(const char* source)
{
    return (EventSource)RegisterEventSourceA(NULL, source);
}

int plat_report_event(EventSource source, uint16_t type, uint32_t event_id, uint16_t count,
                      const char** strings)
{
    return ReportEventA((HANDLE)source, type, 0, event_id, NULL, count, 0, strings, NULL) ? 1 : 0;
}

void plat_deregister_event_source(EventSource source)
{
    DeregisterEventSource((HANDLE)source);
}
