// Application event log entries under the service's own event source.
#include "diag/event_log.h"

#include "common/platform.h"

namespace {

// ReportEventA's event types.
enum : uint16_t {
    EVENT_TYPE_ERROR = 1,
    EVENT_TYPE_WARNING = 2,
    EVENT_TYPE_INFORMATION = 4,
};

}  // namespace

const uint32_t EVENT_IDS[EVENT_ID_COUNT] = {
    EVENT_CONTAINER_STARTED, EVENT_CONTAINER_ENDED, EVENT_CONTAINER_RESTART, EVENT_WARNING,
    EVENT_LAUNCH_FAILED,     EVENT_CONTAINER_FAILED, EVENT_ERROR,
};

void LogServiceEvent(const char* sourceName, const char* text, uint32_t eventId)
{
    if (sourceName == nullptr) return;
    // The severity, in the top two bits of a Windows message id, gives the
    // event's type.  Information events name the service only; warnings and
    // errors also carry the text the caller passed (%2 in the message file).
    uint32_t severity = eventId >> 30;
    uint16_t type = severity == 3 ? EVENT_TYPE_ERROR : severity == 2 ? EVENT_TYPE_WARNING : EVENT_TYPE_INFORMATION;
    uint16_t count = type == EVENT_TYPE_INFORMATION ? 1 : 2;
    // The handle is opened and closed here for every event, so that this
    // function keeps no state and any thread may call it.
    EventSource source = plat_register_event_source(sourceName);
    if (source == nullptr) return;
    const char* strings[2] = {sourceName, text != nullptr ? text : ""};
    plat_report_event(source, type, eventId, count, strings);
    plat_deregister_event_source(source);
}
