// The service side of the service manager: the dispatcher that runs
// ServiceMain, the control handler it registers, and the status reports it
// sends (written to the transcript).
#include "fake/state.h"

void fake_start_as_service(const std::string& name, const std::string& ansi_name)
{
    S.service_to_start = name;
    S.ansi_service_name = ansi_name.empty() ? name : ansi_name;
    if (fake_service(name) == nullptr) fake_add_service(name, SERVICE_STATE_START_PENDING);
    fake_service(name)->process_id = FAKE_PROCESS_ID;
}

void fake_set_os_major(uint32_t major) { S.os_major = major; }

void fake_control_at(uint64_t ms, uint32_t control, bool console)
{
    add_timer(ms, [control, console] {
        if (console)
            note("console control %u -> %d", control, S.console_handler(control));
        else
            note("control %u -> %u", control, S.handler(control, 0, nullptr, nullptr));
    });
}

int plat_start_service_dispatcher(PlatServiceMainFn service_main)
{
    if (fails("StartServiceCtrlDispatcherA")) return 0;
    if (S.service_to_start.empty()) return last_error = PLAT_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 0;
    std::string name = S.ansi_service_name;
    char* argv[] = {&name[0], nullptr};
    service_main(1, argv);
    return 1;
}

StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler)
{
    if (fails("RegisterServiceCtrlHandlerExA")) return nullptr;
    S.handler = handler;
    return (StatusHandle)0x51;
}

int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* s)
{
    if (fails("SetServiceStatus")) return 0;
    if (handle == nullptr) return last_error = PLAT_ERROR_INVALID_HANDLE, 0;
    static const char* const names[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"};
    char type[32] = "";
    if (s->service_type != 0x10) snprintf(type, sizeof type, " type=0x%x", s->service_type);
    note("status %s cp=%u wait=%u accept=0x%x exit=%u/%u%s", names[s->current_state < 5 ? s->current_state : 0],
         s->check_point, s->wait_hint, s->controls_accepted, s->win32_exit_code, s->service_specific_exit_code, type);
    return 1;
}

int plat_os_major_version(uint32_t* major) { return fails("GetVersionExA") ? 0 : (*major = S.os_major, 1); }
uint32_t plat_current_process_id(void) { return FAKE_PROCESS_ID; }
