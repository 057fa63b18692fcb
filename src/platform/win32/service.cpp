// The service side of the service manager: the dispatcher, the control
// handler, status reports, and the version check that decides which controls
// the service accepts.
//
// The system calls the entry points registered here with the WINAPI calling
// convention, while the logic's callbacks are plain C++ functions.  On x64 the
// two are the same, but a 32-bit build would corrupt the stack if the logic's
// pointers were handed over directly, so the system gets the trampolines below
// and the logic's pointers wait in file-scope variables.  A process has one
// dispatcher and one service, so one variable each is enough.
#include <windows.h>

#include "common/platform.h"

static PlatServiceMainFn g_service_main;
static PlatControlHandlerFn g_control_handler;

static VOID WINAPI service_main_trampoline(DWORD argc, LPSTR* argv)
{
    if (g_service_main != NULL) g_service_main(argc, argv);
}

static DWORD WINAPI control_handler_trampoline(DWORD control, DWORD event_type, LPVOID event_data,
                                               LPVOID context)
{
    if (g_control_handler == NULL) return ERROR_CALL_NOT_IMPLEMENTED;
    return g_control_handler(control, event_type, event_data, context);
}

int plat_start_service_dispatcher(PlatServiceMainFn service_main)
{
    g_service_main = service_main;
    // The table's name field is not const in the API; the process runs one
    // service of type SERVICE_WIN32_OWN_PROCESS, for which the manager ignores
    // the name, so an empty one is given.
    static char own_process_name[] = "";
    SERVICE_TABLE_ENTRYA table[2];
    table[0].lpServiceName = own_process_name;
    table[0].lpServiceProc = service_main_trampoline;
    table[1].lpServiceName = NULL;
    table[1].lpServiceProc = NULL;
    return StartServiceCtrlDispatcherA(table) ? 1 : 0;
}

StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler)
{
    g_control_handler = handler;
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(name, control_handler_trampoline, NULL);
    return (StatusHandle)handle;
}

int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* status)
{
    SERVICE_STATUS record;
    record.dwServiceType = status->service_type;
    record.dwCurrentState = status->current_state;
    record.dwControlsAccepted = status->controls_accepted;
    record.dwWin32ExitCode = status->win32_exit_code;
    record.dwServiceSpecificExitCode = status->service_specific_exit_code;
    record.dwCheckPoint = status->check_point;
    record.dwWaitHint = status->wait_hint;
    return SetServiceStatus((SERVICE_STATUS_HANDLE)handle, &record) ? 1 : 0;
}

#if defined(_MSC_VER)
// GetVersionExA is marked deprecated in newer SDKs because it reports the
// version the executable is manifested for; that is all the preshutdown test
// needs (Vista, 6.0, or later), so the warning is silenced here only.
#pragma warning(disable : 4996)
#endif

uint32_t plat_current_process_id(void)
{
    return GetCurrentProcessId();
}

int plat_os_major_version(uint32_t* major)
{
    OSVERSIONINFOEXA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA((OSVERSIONINFOA*)&info)) return 0;
    *major = info.dwMajorVersion;
    return 1;
}
