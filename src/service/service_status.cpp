// The service side that faces the Service Control Manager.
//
// Two threads write the status record: the dispatcher's thread, which runs
// ServiceControlHandler, and the service thread, which runs ServiceMain and
// the supervisor.  Every change of the record and the SetServiceStatus call
// that sends it happen under one lock, so the manager never receives a record
// whose state comes from one report and whose checkpoint or wait hint comes
// from another, and no two pending reports carry the same checkpoint.
#include "service/service_status.h"

#include <mutex>

#include "common/text.h"
#include "diag/log_file.h"

// The checkpoint counter starts at 1: the first pending report carries 1.
ServiceStatusRecord ServiceStatus = {PlatServiceStatus(), nullptr, 1, 0};
ControlRequests Requests;

namespace {

enum : uint32_t {
    ACCEPT_STOP_AND_SHUTDOWN = 0x5,      // SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
    ACCEPT_PRESHUTDOWN = 0x100,          // SERVICE_ACCEPT_PRESHUTDOWN, Vista and later
    VISTA_MAJOR_VERSION = 6,
};

enum { ASCTIME_SIZE = 64 };


std::mutex StatusLock;
// Keeps a handler from setting the wake event while the run closes it.
std::mutex WakeLock;

void wake_supervisor(void)
{
    std::lock_guard<std::mutex> guard(WakeLock);
    if (Requests.Wake != nullptr) plat_set_event(Requests.Wake);
}

// Applies the reporting rule to the record and sends it.  The caller holds
// StatusLock.
int send_status_locked(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint)
{
    PlatServiceStatus& s = ServiceStatus.status;
    // While START_PENDING the service cannot act on a stop yet, so it accepts
    // no controls and the manager only interrogates it.  Preshutdown exists
    // from Vista on; older systems reject the flag.
    if (state == SERVICE_STATE_START_PENDING)
        s.controls_accepted = 0;
    else if (ServiceStatus.vistaOrLater)
        s.controls_accepted = ACCEPT_STOP_AND_SHUTDOWN | ACCEPT_PRESHUTDOWN;
    else
        s.controls_accepted = ACCEPT_STOP_AND_SHUTDOWN;
    s.current_state = state;
    s.win32_exit_code = win32ExitCode;
    s.wait_hint = waitHint;
    // The manager watches the checkpoint of a pending state grow to see that
    // the service makes progress; a settled state carries none.  Both pending
    // states share one counter.
    if (state == SERVICE_STATE_RUNNING || state == SERVICE_STATE_STOPPED) {
        s.check_point = 0;
        ServiceStatus.checkpointCounter = 1;
    } else {
        s.check_point = ServiceStatus.checkpointCounter++;
    }
    // A failed report is not recorded anywhere: in the -test mode there is no
    // handle and every report fails, and a line per report would flood the
    // log.  The service runs on either way.
    return plat_set_service_status(ServiceStatus.handle, &s);
}

int report_current_state(void)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    return send_status_locked(ServiceStatus.status.current_state, 0, 0);
}

int is_running(void)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    return ServiceStatus.status.current_state == SERVICE_STATE_RUNNING;
}

// The stop-type controls: STOP_PENDING is reported, and only then is the
// request left for the supervisor.  The supervisor, once it sees the request,
// reports STOP_PENDING with the wait hint of the shutdown; were the flag set
// first, that report could reach the manager before this one, whose wait
// hint of 0 would then be the last word.  The flag is set before the wake,
// so that a supervisor woken up always finds it.
void handle_stop_control(uint32_t control)
{
    ReportServiceStatus(SERVICE_STATE_STOP_PENDING, 0, 0);
    if (control == CONTROL_USER_REMOVE)
        ServiceRemove();
    else
        ServiceStop(control);
}

void current_asctime(char* text, size_t capacity)
{
    plat_asctime_local(plat_time_seconds(), text, capacity);
}

}  // namespace

int ReportServiceStatus(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    return send_status_locked(state, win32ExitCode, waitHint);
}

int ReportServiceStopped(uint32_t serviceExitCode)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    uint32_t win32ExitCode = PLAT_NO_ERROR;
    if (serviceExitCode != 0) win32ExitCode = PLAT_ERROR_SERVICE_SPECIFIC_ERROR;
    ServiceStatus.status.service_specific_exit_code = serviceExitCode;
    return send_status_locked(SERVICE_STATE_STOPPED, win32ExitCode, 0);
}

int IsVistaOrLater(void)
{
    // A failed query leaves the major version at 0: the system is then
    // treated as older than Vista and preshutdown is not offered.
    uint32_t major = 0;
    if (!plat_os_major_version(&major)) major = 0;
    return major >= VISTA_MAJOR_VERSION ? 1 : 0;
}

int BeginServiceStatus(StatusHandle handle)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    ServiceStatus.handle = handle;
    ServiceStatus.vistaOrLater = (uint32_t)IsVistaOrLater();
    ServiceStatus.status.service_type = PLAT_SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.status.service_specific_exit_code = 0;
    return send_status_locked(SERVICE_STATE_START_PENDING, 0, STATUS_WAIT_HINT_MS);
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context)
{
    switch (control) {
    case CONTROL_STOP:
    case CONTROL_SHUTDOWN:
    case CONTROL_PRESHUTDOWN:
    case CONTROL_USER_REMOVE:
        handle_stop_control(control);
        return PLAT_NO_ERROR;
    case CONTROL_INTERROGATE:
        report_current_state();
        return PLAT_NO_ERROR;
    case CONTROL_USER_DUMP:
        ServiceDump();
        report_current_state();
        return PLAT_NO_ERROR;
    case CONTROL_USER_ROTATE:
        // Only a running service has a log that is being written; while it
        // starts or stops the code is ignored like any control not offered.
        // The rotation itself is a few renames, quick enough for the
        // dispatcher's thread; compression goes on in the background.
        if (!is_running()) return PLAT_ERROR_CALL_NOT_IMPLEMENTED;
        RotateLogFile();
        report_current_state();
        return PLAT_NO_ERROR;
    default:
        // Pause, continue, parameter change and the rest are not offered;
        // the manager expects this code for a control the handler ignores.
        return PLAT_ERROR_CALL_NOT_IMPLEMENTED;
    }
}

int ConsoleCtrlHandler(uint32_t ctrlType)
{
    // Only a system shutdown seen through the console stops the service.
    // Ctrl+C, Ctrl+Break, close and logoff go on to the next handler in the
    // process's list: a service must survive the interactive user logging off.
    if (ctrlType != CONSOLE_SHUTDOWN_EVENT) return 0;
    log_debug("Initiating shutdown due to console control handler.\n");
    ServiceStop(CONSOLE_SHUTDOWN_EVENT);
    return 1;
}

void ServiceStop(uint32_t controlCode)
{
    char when[ASCTIME_SIZE];
    current_asctime(when, sizeof when);
    // The asctime text ends in a line break, which ends the line.
    log_debug("\nDEBUG: ServiceStop: with control code %ld at %s", (long)controlCode, when);
    Requests.StopRequested = 1;
    wake_supervisor();
}

void ServiceRemove(void)
{
    char when[ASCTIME_SIZE];
    current_asctime(when, sizeof when);
    log_debug("\nDEBUG: ServiceRemove: %s\n", when);
    Requests.StopRequested = 1;
    wake_supervisor();
}

void ServiceDump(void)
{
    Requests.DumpRequested = 1;
    wake_supervisor();
}

void OpenRequestWake(void)
{
    std::lock_guard<std::mutex> guard(WakeLock);
    if (Requests.Wake == nullptr) Requests.Wake = plat_create_event();
}

void CloseRequestWake(void)
{
    std::lock_guard<std::mutex> guard(WakeLock);
    if (Requests.Wake != nullptr) plat_close_handle(Requests.Wake);
    Requests.Wake = nullptr;
}

void ResetServiceStatus(void)
{
    std::lock_guard<std::mutex> guard(StatusLock);
    ServiceStatus = ServiceStatusRecord();
    ServiceStatus.checkpointCounter = 1;
    Requests.StopRequested = 0;
    Requests.DumpRequested = 0;
    Requests.Wake = nullptr;
}
