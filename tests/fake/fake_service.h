// Control API of the in-memory service dispatcher, status reporting, version
// and console handler.
//
//  - The dispatcher: by default StartServiceCtrlDispatcherA fails with 1063
//    (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), as it does for a process that
//    the service manager did not start.  A test can instead have it run the
//    service main it is given, on the calling thread, with a chosen argument
//    vector, and then succeed.
//  - RegisterServiceCtrlHandlerExA records the name and the handler, so that a
//    test can send controls as the service manager would.
//  - SetServiceStatus records every report in order; a null handle fails with
//    ERROR_INVALID_HANDLE (6) as it does on Windows.
//  - GetVersionExA reports a settable major version (6 unless set).
//  - SetConsoleCtrlHandler records the handler.
#ifndef TALVEX_TESTS_FAKE_SERVICE_H
#define TALVEX_TESTS_FAKE_SERVICE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "common/platform.h"

// --- dispatcher --------------------------------------------------------------

// From now on the dispatcher runs the service main it is given with these
// arguments (element 0 is the service name) and returns success.
void fake_dispatcher_run_service(const std::vector<std::string>& args);
// How often StartServiceCtrlDispatcherA was called, and the entry it got last.
int fake_dispatcher_call_count();
PlatServiceMainFn fake_dispatcher_entry();

// --- control handler -----------------------------------------------------------

bool fake_handler_registered();
std::string fake_handler_name();
// The handle RegisterServiceCtrlHandlerExA returns.
StatusHandle fake_status_handle();
// Calls the registered handler as the service manager does and returns its
// result, or FAKE_NO_HANDLER (a value no handler returns) when none is
// registered.
enum : uint32_t { FAKE_NO_HANDLER = 0xFFFFFFFFu };
uint32_t fake_send_control(uint32_t control);

// --- status reports ----------------------------------------------------------

struct FakeStatusReport {
    StatusHandle handle;
    PlatServiceStatus status;
    bool accepted;   // SetServiceStatus succeeded
};

// Every SetServiceStatus call, in order, whether or not it succeeded.
std::vector<FakeStatusReport> fake_status_attempts();
// The reports the service manager accepted, in order.
std::vector<PlatServiceStatus> fake_status_reports();
// Called inside every SetServiceStatus with the record as sent (before it is
// recorded).  Runs on whatever thread reports.
void fake_on_set_status(std::function<void(const PlatServiceStatus&)> hook);

// --- version and console -----------------------------------------------------

void fake_set_os_major_version(uint32_t major);
bool fake_console_handler_set();
PlatConsoleHandlerFn fake_console_handler();
// Calls the recorded console handler with a console event and returns its
// result, or -1 when no handler was set.
int fake_send_console_event(uint32_t ctrl_type);

#endif
