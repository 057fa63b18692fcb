// The client side of the service manager, used by the administration
// commands.
#include <windows.h>
#include <string.h>
#include <wchar.h>

#include "common/platform.h"

ScHandle plat_open_sc_manager(uint32_t access)
{
    return (ScHandle)OpenSCManagerA(NULL, NULL, access);
}

ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access)
{
    return (ScHandle)OpenServiceA((SC_HANDLE)scm, name, access);
}

ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access,
                             const PlatServiceConfig* cfg)
{
    // A null account name runs the service as LocalSystem; none of the
    // accounts the installer names takes a password.
    return (ScHandle)CreateServiceA((SC_HANDLE)scm, name, cfg->display_name, access,
                                    cfg->service_type, cfg->start_type, cfg->error_control,
                                    cfg->binary_path, NULL, NULL, cfg->dependencies, cfg->account, NULL);
}

int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg)
{
    // A null account and password leave the service's account as it is.
    return ChangeServiceConfigA((SC_HANDLE)svc, cfg->service_type, cfg->start_type,
                                cfg->error_control, cfg->binary_path, NULL, NULL,
                                cfg->dependencies, cfg->account, NULL, cfg->display_name)
               ? 1
               : 0;
}

int plat_query_service_account(ScHandle svc, char* buf, uint32_t cap)
{
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } answer;
    DWORD needed = 0;
    if (!QueryServiceConfigA((SC_HANDLE)svc, &answer.config, sizeof answer, &needed)) return 0;
    const char* account = answer.config.lpServiceStartName != NULL ? answer.config.lpServiceStartName : "LocalSystem";
    if (strlen(account) >= cap) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buf, account, strlen(account) + 1);
    return 1;
}

int plat_set_service_description(ScHandle svc, const char* description)
{
    // The record's field is not const, but the manager only reads it.
    SERVICE_DESCRIPTIONA info;
    info.lpDescription = (LPSTR)description;
    return ChangeServiceConfig2A((SC_HANDLE)svc, SERVICE_CONFIG_DESCRIPTION, &info) ? 1 : 0;
}

int plat_set_service_failure_actions_flag(ScHandle svc, int on_non_crash_failures)
{
    SERVICE_FAILURE_ACTIONS_FLAG info;
    info.fFailureActionsOnNonCrashFailures = on_non_crash_failures ? TRUE : FALSE;
    return ChangeServiceConfig2A((SC_HANDLE)svc, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info) ? 1 : 0;
}

int plat_set_service_preshutdown_timeout(ScHandle svc, uint32_t milliseconds)
{
    SERVICE_PRESHUTDOWN_INFO info;
    info.dwPreshutdownTimeout = milliseconds;
    return ChangeServiceConfig2A((SC_HANDLE)svc, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info) ? 1 : 0;
}

int plat_delete_service(ScHandle svc)
{
    return DeleteService((SC_HANDLE)svc) ? 1 : 0;
}

int plat_start_service(ScHandle svc)
{
    return StartServiceA((SC_HANDLE)svc, 0, NULL) ? 1 : 0;
}

int plat_control_service(ScHandle svc, uint32_t control)
{
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof status);
    return ControlService((SC_HANDLE)svc, control, &status) ? 1 : 0;
}

int plat_query_service_state(ScHandle svc, uint32_t* state)
{
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof status);
    if (!QueryServiceStatus((SC_HANDLE)svc, &status)) return 0;
    *state = status.dwCurrentState;
    return 1;
}

int plat_query_service_process(ScHandle svc, uint32_t* process_id)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    ZeroMemory(&status, sizeof status);
    if (!QueryServiceStatusEx((SC_HANDLE)svc, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status, &needed))
        return 0;
    *process_id = status.dwProcessId;
    return 1;
}

int plat_set_service_sid_type(ScHandle svc, uint32_t sid_type)
{
    SERVICE_SID_INFO info;
    info.dwServiceSidType = sid_type;
    return ChangeServiceConfig2A((SC_HANDLE)svc, SERVICE_CONFIG_SERVICE_SID_INFO, &info) ? 1 : 0;
}

typedef LPWSTR*(WINAPI* CommandLineToArgvWFn)(LPCWSTR, int*);

// CommandLineToArgvW lives in shell32, which brings user32 with it: a service
// that loads user32 takes a share of the desktop heap that Windows gives
// services sparingly.  Only the commands typed at a prompt ask for the wide
// command line, so shell32 is loaded for them alone.
int plat_command_argument_is_exact(int index, const char* text)
{
    HMODULE shell = LoadLibraryA("shell32.dll");
    CommandLineToArgvWFn split =
        shell != NULL ? (CommandLineToArgvWFn)(void*)GetProcAddress(shell, "CommandLineToArgvW") : NULL;
    int count = 0;
    LPWSTR* arguments = split != NULL ? split(GetCommandLineW(), &count) : NULL;
    int exact = 0;
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (arguments != NULL && index >= 0 && index < count && length > 0) {
        WCHAR* widened = (WCHAR*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)length * sizeof(WCHAR));
        if (widened != NULL && MultiByteToWideChar(CP_ACP, 0, text, -1, widened, length) == length)
            exact = wcscmp(widened, arguments[index]) == 0 ? 1 : 0;
        if (widened != NULL) HeapFree(GetProcessHeap(), 0, widened);
    }
    if (arguments != NULL) LocalFree(arguments);
    if (shell != NULL) FreeLibrary(shell);
    return exact;
}

void plat_close_service_handle(ScHandle handle)
{
    CloseServiceHandle((SC_HANDLE)handle);
}
