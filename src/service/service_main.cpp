// The service main function that the dispatcher runs: it registers the
// control handler, reports the start, makes sure the name it was started
// under is its own and runs the service body.
#include "service/service_main.h"

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace {

enum : uint32_t {
    // The service-specific exit code of a run that never reaches the body
    // (no name, or a name that is not the service's own): the code of a run
    // whose parameters are missing, as the supervisor uses it.
    REFUSED_RUN_EXIT_CODE = 1,
};

enum { REASON_TEXT_SIZE = 2048, EVENT_TEXT_SIZE = REASON_TEXT_SIZE + 512 };

// An error event: what failed, " - " and the system's text for `code`.
void log_system_failure(const char* name, const char* what, uint32_t code)
{
    char reason[REASON_TEXT_SIZE];
    char text[EVENT_TEXT_SIZE + REASON_TEXT_SIZE];
    SystemErrorText(code, reason, sizeof reason);
    text_format(text, sizeof text, "%s - %s", what, reason);
    LogServiceEvent(name, text, EVENT_ERROR);
}

// The dispatcher hands the service its name converted to the ANSI code page,
// in which a character the code page lacks becomes a look-alike: "Svc" and a
// Greek capital omega is started as "SvcO", and under that name the body
// would run another service's parameters and write to its log.  Nor does the
// control handler's registration tell: for a service of its own process
// Windows registers it whatever the name.  The service manager knows which
// process runs which service, so the name is the service's own exactly when
// the service of that name runs in this process.  A name that cannot be
// checked is refused as well.
int started_under_own_name(const char* name)
{
    ScHandle manager = plat_open_sc_manager(SC_MANAGER_CONNECT_ACCESS);
    ScHandle service = manager != nullptr ? plat_open_service(manager, name, SERVICE_QUERY_STATUS_ACCESS) : nullptr;
    uint32_t processId = 0;
    int asked = service != nullptr && plat_query_service_process(service, &processId);
    uint32_t code = plat_get_last_error();
    if (service != nullptr) plat_close_service_handle(service);
    if (manager != nullptr) plat_close_service_handle(manager);
    if (asked && processId == plat_current_process_id()) return 1;

    char text[EVENT_TEXT_SIZE];
    if (asked || (manager != nullptr && service == nullptr && code == PLAT_ERROR_SERVICE_DOES_NOT_EXIST)) {
        text_format(text, sizeof text, "The service was started under the name %s, which is not its own; nothing was run",
                    name);
        LogServiceEvent(name, text, EVENT_ERROR);
    } else {
        text_format(text, sizeof text, "The service could not check that %s is its own name; nothing was run", name);
        log_system_failure(name, text, code);
    }
    return 0;
}

}  // namespace

void ServiceMain(uint32_t argc, char** argv)
{
    // The dispatcher always passes the service name first.  Without it the
    // body could not find its parameters or name its log file, so the service
    // registers under the name of its dispatch table entry ("") and reports
    // at once that it failed, rather than running the body with no name.
    static char emptyName[] = "";
    int named = argc > 0 && argv != nullptr && argv[0] != nullptr;
    char* name = named ? argv[0] : emptyName;

    StatusHandle handle = plat_register_control_handler(name, ServiceControlHandler);
    if (handle == nullptr) {
        // Without a handle no state can reach the service manager, which
        // only sees a service that never started.  The event says why.
        log_system_failure(name, "RegisterServiceCtrlHandlerEx failed", plat_get_last_error());
        return;
    }

    BeginServiceStatus(handle);

    // Nothing of the service's parameters is read before its name is known
    // to be its own.
    uint32_t serviceExitCode = REFUSED_RUN_EXIT_CODE;
    if (named && started_under_own_name(name)) serviceExitCode = RunService((int)argc, argv);
    ReportServiceStopped(serviceExitCode);
}

