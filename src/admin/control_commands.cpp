// The four control commands.  They share one frame (open the manager, open
// the service, read its state, refuse or send the request, close both
// handles) and differ only in their row of the table below.
#include "admin/control_commands.h"

#include <stdint.h>

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "admin/event_source.h"

namespace {

struct ControlCommand {
    // The refusal text for a state (printed with the service name and no line
    // break), or null when the request is to be made.
    const char* (*refusal)(uint32_t state);
    int (*request)(ScHandle service);
    const char* success;   // printed with the service name
    const char* failure;   // printed with the system error text
    // What a successful request still has to do; its result is the
    // command's.  Null when success is the whole result.
    int (*after_success)(const char* serviceName);
};

const char* dump_refusal(uint32_t state)
{
    return state == SERVICE_STATE_STOPPED ? "Service %s currently stopped." : nullptr;
}

const char* remove_refusal(uint32_t state)
{
    if (state == SERVICE_STATE_RUNNING || state == SERVICE_STATE_START_PENDING)
        return "Service %s currently running. Can't remove running service.";
    return nullptr;
}

const char* start_refusal(uint32_t state)
{
    if (state == SERVICE_STATE_RUNNING || state == SERVICE_STATE_START_PENDING || state == SERVICE_STATE_STOP_PENDING)
        return "Service %s currently running. Ignoring start request.";
    return nullptr;
}

const char* stop_refusal(uint32_t state)
{
    if (state == SERVICE_STATE_STOPPED) return "Service %s already stopped. Ignoring stop request.";
    if (state == SERVICE_STATE_STOP_PENDING) return "Service %s stop is pending. Ignoring stop request.";
    return nullptr;
}

int request_dump(ScHandle service) { return plat_control_service(service, CONTROL_USER_DUMP); }

int request_delete(ScHandle service) { return plat_delete_service(service); }

int request_start(ScHandle service) { return plat_start_service(service); }

int request_stop(ScHandle service) { return plat_control_service(service, CONTROL_STOP); }

const ControlCommand DUMP_COMMAND = {
    dump_refusal, request_dump,
    "%s thread dump requested. Check the .out file.\n", "thread dump request failed - %s\n", nullptr,
};

// The Parameters key lies under the service's own key, which the manager
// removes with the service; only the event source is left to delete.
const ControlCommand REMOVE_COMMAND = {
    remove_refusal, request_delete, "%s removed.\n", "DeleteService failed - %s\n", RemoveEventSource,
};

const ControlCommand START_COMMAND = {
    start_refusal, request_start, "%s start requested.\n", "StartService failed - %s\n", nullptr,
};

const ControlCommand STOP_COMMAND = {
    stop_refusal, request_stop, "%s stop requested.\n", "StopService failed - %s\n", nullptr,
};

void print_failure(const char* format)
{
    char error[ERROR_TEXT_SIZE];
    FormatLastError(error, sizeof error);
    console_printf(format, error);
}

// Acts on the state the manager reports, never on a guess: a failed state
// query ends the command.
int act_on_service(ScHandle service, const char* serviceName, const ControlCommand* command)
{
    uint32_t state = 0;
    if (!plat_query_service_state(service, &state)) {
        print_failure("QueryServiceStatus failed - %s\n");
        return 0;
    }
    const char* refusal = command->refusal(state);
    if (refusal != nullptr) {
        console_printf(refusal, serviceName);
        return 0;
    }
    if (!command->request(service)) {
        print_failure(command->failure);
        return 0;
    }
    console_printf(command->success, serviceName);
    return command->after_success != nullptr ? command->after_success(serviceName) : 1;
}

int run_control_command(const char* serviceName, const ControlCommand* command)
{
    // Without a name there is nothing to ask the manager about.
    if (serviceName == nullptr) {
        console_printf("Error: no service name given.\n");
        return 0;
    }
    ScHandle manager = plat_open_sc_manager(SC_MANAGER_ALL_ACCESS_RIGHTS);
    if (manager == nullptr) {
        print_failure("OpenSCManager failed - %s\n");
        return 0;
    }
    ScHandle service = plat_open_service(manager, serviceName, SERVICE_ALL_ACCESS_RIGHTS);
    if (service == nullptr) {
        print_failure("OpenService failed - %s\n");
        plat_close_service_handle(manager);
        return 0;
    }
    int result = act_on_service(service, serviceName, command);
    plat_close_service_handle(service);
    plat_close_service_handle(manager);
    return result;
}

}  // namespace

int RemoveServiceCommand(const char* serviceName) { return run_control_command(serviceName, &REMOVE_COMMAND); }

int StartServiceCommand(const char* serviceName) { return run_control_command(serviceName, &START_COMMAND); }

int StopServiceCommand(const char* serviceName) { return run_control_command(serviceName, &STOP_COMMAND); }

int DumpServiceCommand(const char* serviceName) { return run_control_command(serviceName, &DUMP_COMMAND); }
