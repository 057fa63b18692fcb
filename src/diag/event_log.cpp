// Application event log entries under the service's own event source.
#include "diag/event_log.h"

#include <string.h>

#include "common/console.h"
#include "common/platform.h"
#include "common/text.h"

namespace {

// ReportEventA's event types.
enum : uint16_t {
    EVENT_TYPE_ERROR = 1,
    EVENT_TYPE_WARNING = 2,
    EVENT_TYPE_INFORMATION = 4,
};

enum { ECHO_TEXT_SIZE = 8192 };

const char MESSAGE_LIBRARY[] = "talvexMSG.dll";

// Whether events are also said on the console (-test).
int EchoToConsole = 0;

// An event as Event Viewer shows it: its level, the id's low 16 bits, and
// the message file's text with the insertion strings (the strings alone
// when the message file cannot be had).
void echo_event(uint16_t type, uint32_t eventId, uint16_t count, const char* const* strings)
{
    char text[ECHO_TEXT_SIZE];
    if (plat_module_message(MESSAGE_LIBRARY, eventId, strings, text, sizeof text) == 0)
        text_format(text, sizeof text, count > 1 ? "%s: %s" : "%s", strings[0], strings[1]);
    const char* level = type == EVENT_TYPE_ERROR ? "Error" : type == EVENT_TYPE_WARNING ? "Warning" : "Information";
    size_t length = strlen(text);
    // The message file's texts end with a line end of their own.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
    console_eprintf("%s %lu: %s\n", level, (unsigned long)(eventId & 0xFFFF), text);
}

}  // namespace

void EchoEventsToConsole(int on)
{
    EchoToConsole = on;
}

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
    const char* strings[2] = {sourceName, text != nullptr ? text : ""};
    if (EchoToConsole) echo_event(type, eventId, count, strings);
    EventSource source = plat_register_event_source(sourceName);
    if (source == nullptr) return;
    plat_report_event(source, type, eventId, count, strings);
    plat_deregister_event_source(source);
}
