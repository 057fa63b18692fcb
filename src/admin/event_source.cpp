// The registration of a service's Application event source, which tells the
// Event Viewer where the texts of our event ids live (talvexMSG.dll).
#include "admin/event_source.h"

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "config/service_config.h"

namespace {

// Event types the Application log accepts from our source: error, warning and
// information.
const uint32_t EVENT_TYPES_SUPPORTED = 7;

// Prints a registry failure: the format ends where the system's text, with
// its own line break, ends.
void print_registry_failure(const char* format, long code)
{
    char message[SYSTEM_MESSAGE_SIZE];
    SystemMessage((uint32_t)code, message, sizeof message);
    console_printf(format, message);
}

}  // namespace

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
