// In-memory service dispatcher, control-handler registration, status reports,
// operating system version and console control handler.
#include "fake/fake_service.h"

#include <mutex>

#include "fake/fake_core.h"

namespace {

// The handle the fake hands out for a registered handler.
StatusHandle const kStatusHandle = (StatusHandle)(uintptr_t)0x5EC0;

// Reports can come from two threads at once (the handler's and the
// service's); the fake's own records are guarded so that a test that sends
// them concurrently reads a consistent list.
std::mutex g_lock;

bool g_run_service = false;
std::vector<std::string> g_service_args;
int g_dispatcher_calls = 0;
PlatServiceMainFn g_dispatcher_entry = nullptr;

bool g_registered = false;
std::string g_handler_name;
PlatControlHandlerFn g_handler = nullptr;

std::vector<FakeStatusReport> g_attempts;
std::function<void(const PlatServiceStatus&)> g_status_hook;

uint32_t g_major = 6;
PlatConsoleHandlerFn g_console_handler = nullptr;

void service_reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_run_service = false;
    g_service_args.clear();
    g_dispatcher_calls = 0;
    g_dispatcher_entry = nullptr;
    g_registered = false;
    g_handler_name.clear();
    g_handler = nullptr;
    g_attempts.clear();
    g_status_hook = nullptr;
    g_major = 6;
    g_console_handler = nullptr;
}

struct ServiceRegistration {
    ServiceRegistration() { fake_on_reset(service_reset); }
} g_service_registration;

}  // namespace

// --- control API -------------------------------------------------------------

void fake_dispatcher_run_service(const std::vector<std::string>& args)
{
    g_run_service = true;
    g_service_args = args;
}

int fake_dispatcher_call_count() { return g_dispatcher_calls; }

PlatServiceMainFn fake_dispatcher_entry() { return g_dispatcher_entry; }

bool fake_handler_registered() { return g_registered; }

std::string fake_handler_name() { return g_handler_name; }

StatusHandle fake_status_handle() { return kStatusHandle; }

uint32_t fake_send_control(uint32_t control)
{
    if (!g_handler) return FAKE_NO_HANDLER;
    return g_handler(control, 0, nullptr, nullptr);
}

std::vector<FakeStatusReport> fake_status_attempts()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_attempts;
}

std::vector<PlatServiceStatus> fake_status_reports()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<PlatServiceStatus> reports;
    for (auto& a : g_attempts)
        if (a.accepted) reports.push_back(a.status);
    return reports;
}

void fake_on_set_status(std::function<void(const PlatServiceStatus&)> hook)
{
    g_status_hook = std::move(hook);
}

void fake_set_os_major_version(uint32_t major) { g_major = major; }

bool fake_console_handler_set() { return g_console_handler != nullptr; }

PlatConsoleHandlerFn fake_console_handler() { return g_console_handler; }

int fake_send_console_event(uint32_t ctrl_type)
{
    if (!g_console_handler) return -1;
    return g_console_handler(ctrl_type);
}

// --- platform ----------------------------------------------------------------

int plat_start_service_dispatcher(PlatServiceMainFn service_main)
{
    ++g_dispatcher_calls;
    g_dispatcher_entry = service_main;
    if (fake_should_fail("StartServiceCtrlDispatcherA")) return 0;
    if (!g_run_service) {
        plat_set_last_error(PLAT_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return 0;
    }
    // The service manager passes the service name as the first argument.
    std::vector<std::string> storage = g_service_args;
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    service_main((uint32_t)storage.size(), argv.data());
    return 1;
}

StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler)
{
    if (fake_should_fail("RegisterServiceCtrlHandlerExA")) return nullptr;
    g_registered = true;
    g_handler_name = name ? name : "";
    g_handler = handler;
    return kStatusHandle;
}

int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* status)
{
    bool failed;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        failed = fake_should_fail("SetServiceStatus");
    }
    if (!failed && handle != kStatusHandle) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        failed = true;
    }
    if (g_status_hook) g_status_hook(*status);
    std::lock_guard<std::mutex> guard(g_lock);
    g_attempts.push_back(FakeStatusReport{handle, *status, !failed});
    return failed ? 0 : 1;
}

int plat_os_major_version(uint32_t* major)
{
    if (fake_should_fail("GetVersionExA")) {
        *major = 0;
        return 0;
    }
    *major = g_major;
    return 1;
}

int plat_set_console_handler(PlatConsoleHandlerFn handler)
{
    if (fake_should_fail("SetConsoleCtrlHandler")) return 0;
    g_console_handler = handler;
    return 1;
}
