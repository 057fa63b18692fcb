// Application event log entries under the service's own event source, and the
// registration of that source, which tells the Event Viewer where the texts
// of our event ids live (talvexMSG.dll).
#include "diag/event_log.h"

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "config/service_config.h"

namespace {

// ReportEventA's event types.
enum : uint16_t {
    EVENT_TYPE_ERROR = 1,
    EVENT_TYPE_WARNING = 2,
    EVENT_TYPE_INFORMATION = 4,
};

// Event types the Application log accepts from our source: error, warning and
// information.
const uint32_t EVENT_TYPES_SUPPORTED = 7;

struct EventKind {
    uint32_t id;
    uint16_t type;
    uint16_t strings;
};

// Information events name the service only; warnings and errors also carry
// the text the caller passed (%2 in the message file).
const EventKind EVENT_KINDS[] = {
    {EVENT_CONTAINER_STARTED, EVENT_TYPE_INFORMATION, 1},
    {EVENT_CONTAINER_ENDED, EVENT_TYPE_INFORMATION, 1},
    {EVENT_CONTAINER_RESTART, EVENT_TYPE_INFORMATION, 1},
    {EVENT_WARNING, EVENT_TYPE_WARNING, 2},
    {EVENT_LAUNCH_FAILED, EVENT_TYPE_ERROR, 2},
    {EVENT_CONTAINER_FAILED, EVENT_TYPE_ERROR, 2},
    {EVENT_ERROR, EVENT_TYPE_ERROR, 2},
};

// The type and string count of an id.  Every id the service raises is in the
// table; any other one is classed by its severity bits (the top two bits of
// a Windows message id) so that it is still reported sensibly.
EventKind event_kind(uint32_t eventId)
{
    for (const EventKind& kind : EVENT_KINDS)
        if (kind.id == eventId) return kind;
    switch (eventId >> 30) {
    case 3: return EventKind{eventId, EVENT_TYPE_ERROR, 2};
    case 2: return EventKind{eventId, EVENT_TYPE_WARNING, 2};
    default: return EventKind{eventId, EVENT_TYPE_INFORMATION, 1};
    }
}

// Prints a registry failure: the format ends where the system's text, with
// its own line break, ends.
void print_registry_failure(const char* format, long code)
{
    char message[SYSTEM_MESSAGE_SIZE];
    SystemMessage((uint32_t)code, message, sizeof message);
    console_printf(format, message);
}

}  // namespace

void LogServiceEvent(const char* sourceName, const char* text, uint32_t eventId)
{
    if (sourceName == nullptr) return;
    EventKind kind = event_kind(eventId);
    // The handle is opened and closed here for every event, so that this
    // function keeps no state and any thread may call it.
    EventSource source = plat_register_event_source(sourceName);
    if (source == nullptr) return;
    const char* strings[2] = {sourceName, text != nullptr ? text : ""};
    plat_report_event(source, kind.type, kind.id, kind.strings, strings);
    plat_deregister_event_source(source);
}

int AddEventSource(const char* serviceName)
{
    // An empty name would make the Application key itself the source and
    // write our values into it.
    if (serviceName == nullptr || serviceName[0] == '\0') {
        print_registry_failure("Error registering event source due to: %s", PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* path[] = {"SYSTEM", "CurrentControlSet", "Services", "EventLog", "Application",
                          serviceName, nullptr};
    RegKey key = CreateRegistryPath(path);
    // A failed write of the message file path has printed its own message;
    // the source is still usable by its id numbers, so the install goes on.
    SetRegistryString(key, "EventMessageFile", Options.MessageDllPath, PLAT_REG_EXPAND_SZ);
    uint32_t types = EVENT_TYPES_SUPPORTED;
    int ok = 1;
    long rc = plat_reg_set(key, "TypesSupported", PLAT_REG_DWORD, &types, sizeof types);
    if (rc != 0) {
        print_registry_failure("Error registering event source due to: %s", rc);
        ok = 0;
    }
    if (key != nullptr) plat_reg_close(key);
    return ok;
}

int RemoveEventSource(const char* serviceName)
{
    // RegDeleteKeyA with an empty name would aim at the Application key.
    if (serviceName == nullptr || serviceName[0] == '\0') {
        print_registry_failure("Error deleting event source due to: %s", PLAT_ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* path[] = {"SYSTEM", "CurrentControlSet", "Services", "EventLog", "Application", nullptr};
    RegKey key = CreateRegistryPath(path);
    int ok = 1;
    long rc = plat_reg_delete_key(key, serviceName);
    if (rc != 0) {
        print_registry_failure("Error deleting event source due to: %s", rc);
        ok = 0;
    }
    if (key != nullptr) plat_reg_close(key);
    return ok;
}
