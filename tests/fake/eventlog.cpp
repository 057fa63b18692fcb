// The event log: every event reported is a line of the transcript.
#include "fake/state.h"

EventSource plat_register_event_source(const char* source)
{
    return fails("RegisterEventSourceA") ? nullptr : new_handle(SOURCE, 0, false, source);
}

int plat_report_event(EventSource source, uint16_t type, uint32_t event_id, uint16_t count, const char** strings)
{
    if (fails("ReportEventA")) return 0;
    std::string line;
    for (uint16_t i = 0; i < count; ++i) line += " " + quoted(strings[i]);
    note("event 0x%08x type %u%s", event_id, type, line.c_str());
    return 1;
}

void plat_deregister_event_source(EventSource h) { (void)fails("DeregisterEventSource"), S.handles.erase((uintptr_t)h); }
