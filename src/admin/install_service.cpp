// The second half of "-install": registers the service with the service
// control manager (or reconfigures the one already there), then writes its
// Parameters values and its event source.  Nothing is rolled back when a later
// step fails; every step says what went wrong on standard output.
#include "admin/install_service.h"

#include <string.h>

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/install_options.h"
#include "config/service_config.h"
#include "admin/event_source.h"

namespace {

enum {
    MODULE_NAME_SIZE = 512,
    // The module name and the two quotes that enclose it when it has a blank.
    BINARY_PATH_SIZE = MODULE_NAME_SIZE + 2,
    DESCRIPTION_SIZE = 4096,
    SERVICE_ERROR_NORMAL = 1,
    SERVICE_SID_TYPE_UNRESTRICTED = 1,
    // A SID's text is shorter than this.
    SID_TEXT_SIZE = 192,
};

// Windows' own preshutdown timeout, and what a graceful stop is given beyond
// the container's shutdown timeout before the system ends the process.
const uint32_t DEFAULT_PRESHUTDOWN_MS = 180000;
const uint64_t PRESHUTDOWN_MARGIN_MS = 30000;

// At system shutdown a service that accepts preshutdown gets only this long
// before the system ends it: the container's shutdown timeout and a margin,
// or Windows' default where the service waits for the container without
// limit.  A negative timeout never runs out in the service either.
uint32_t preshutdown_timeout(void)
{
    int32_t seconds = DecimalParameter(Options.ShutdownTimeoutSeconds);
    if (seconds == 0) return DEFAULT_PRESHUTDOWN_MS;
    uint64_t milliseconds = (uint64_t)(uint32_t)seconds * 1000u + PRESHUTDOWN_MARGIN_MS;
    return milliseconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)milliseconds;
}

// An empty dependency list: one empty name and the NUL that ends the list.
// Passing it (rather than no list) clears the dependencies of a service that
// is being reconfigured.
const char NO_DEPENDENCIES[] = "\0";

void print_failure(const char* format)
{
    char error[ERROR_TEXT_SIZE];
    FormatLastError(error, sizeof error);
    console_printf(format, error);
}

// The SCM starts the binary path as a command line, so a path with a blank in
// it must be quoted or the SCM would try to run its first word.
int get_binary_path(const char* serviceName, char* binaryPath, size_t capacity)
{
    char moduleName[MODULE_NAME_SIZE];
    uint32_t length = plat_module_file_name(nullptr, moduleName, sizeof moduleName);
    // GetModuleFileNameA reports a name that did not fit by filling the whole
    // buffer; registering a cut path would install a service that cannot run.
    if (length == 0 || length >= sizeof moduleName) {
        // Windows XP reports the cut without setting an error.
        if (length != 0) plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
        char error[ERROR_TEXT_SIZE];
        FormatLastError(error, sizeof error);
        console_printf("Unable to install %s - %s\n", serviceName, error);
        return 0;
    }
    if (strchr(moduleName, ' ') != nullptr)
        text_format(binaryPath, capacity, "\"%s\"", moduleName);
    else
        text_copy(binaryPath, capacity, moduleName);
    return 1;
}

// The parameters hold the boot file's password: the key gets a DACL of its
// own before any value is written, not the one it would inherit, which lets
// every local user read it.  SYSTEM and the Administrators have full
// control; the service's own SID may read, so that a service moved to
// another account can still read its parameters.  Where that SID cannot be
// resolved (Wine), it is left out.
int protect_parameters(const char* serviceName, RegKey key)
{
    char account[SERVICE_NAME_SIZE + 16];
    char sid[SID_TEXT_SIZE];
    char sddl[SID_TEXT_SIZE + 64];
    text_format(account, sizeof account, "NT SERVICE\\%s", serviceName);
    if (plat_account_sid(account, sid, sizeof sid))
        text_format(sddl, sizeof sddl, "D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;%s)", sid);
    else
        text_copy(sddl, sizeof sddl, "D:P(A;;KA;;;SY)(A;;KA;;;BA)");
    if (plat_reg_protect(key, sddl)) return 1;
    char reason[SYSTEM_MESSAGE_SIZE];
    SystemMessage(plat_get_last_error(), reason, sizeof reason);
    console_printf("Error protecting registry key 'Parameters' due to: %s", reason);
    return 0;
}

int write_parameters(const char* serviceName)
{
    const char* path[] = {"SYSTEM", "CurrentControlSet", "Services", serviceName, "Parameters", nullptr};
    // A key that cannot be created is reported by the first write, which then
    // fails on the missing key.
    RegKey key = CreateRegistryPath(path);
    if (key != nullptr && !protect_parameters(serviceName, key)) {
        plat_reg_close(key);
        return 0;
    }
    // Every value the installer has a text for, in the table's order; the
    // others are the administrator's, set by hand.
    int written = 1;
    for (size_t i = 0; i < PARAMETER_COUNT && written; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        if (row->installOption == nullptr) continue;
        written = SetRegistryString(key, row->name, *InstallOptionText(row), PLAT_REG_SZ);
    }
    if (key != nullptr) plat_reg_close(key);
    return written;
}

// A service under another account than LocalSystem is given modify rights
// on its working directory, which a drive's root is not: rights on a whole
// drive are not given.
int working_directory_for(const char* account)
{
    const char* wd = Options.WorkingDirectory;
    size_t length = strlen(wd);
    while (length > 0 && (wd[length - 1] == '\\' || wd[length - 1] == '/')) --length;
    int root = length <= 2 && (length < 2 || wd[1] == ':');
    if (text_equal_nocase(account, "LocalSystem") || !root) return 1;
    console_printf("\nError (-wd): The working directory %s is a drive's root, on which the account %s is given no "
                   "rights\n", wd, account);
    return 0;
}

// The service's own SID (in its token whatever the account, the SID type
// being unrestricted) may modify the working directory and what is created
// in it: the log, its generations, the start script, the metrics file.
void grant_working_directory(const char* serviceName)
{
    char account[SERVICE_NAME_SIZE + 16];
    char sid[SID_TEXT_SIZE];
    text_format(account, sizeof account, "NT SERVICE\\%s", serviceName);
    if (plat_account_sid(account, sid, sizeof sid) && plat_grant_modify(Options.WorkingDirectory, sid)) return;
    char reason[SYSTEM_MESSAGE_SIZE];
    SystemMessage(plat_get_last_error(), reason, sizeof reason);
    console_printf("Warning: %s could not be given modify rights on %s; give them by hand - %s", account,
                   Options.WorkingDirectory, reason);
}

// Creates the service, or reconfigures the one of that name, as `config`
// says, with `account` (the account it will run as) filled in; null when it
// could not, with the reason printed.
ScHandle register_service(ScHandle manager, const char* serviceName, const PlatServiceConfig* config,
                          char* account, size_t accountSize)
{
    ScHandle service = plat_open_service(manager, serviceName, SERVICE_ALL_ACCESS_RIGHTS);
    // The account the service will run as: the one given, else the one an
    // existing service has.
    if (config->account != nullptr) text_copy(account, accountSize, config->account);
    else if (service != nullptr) plat_query_service_account(service, account, (uint32_t)accountSize);
    if (!working_directory_for(account)) {
        if (service != nullptr) plat_close_service_handle(service);
        return nullptr;
    }
    if (service == nullptr) {
        service = plat_create_service(manager, serviceName, SERVICE_ALL_ACCESS_RIGHTS, config);
        if (service == nullptr) print_failure("CreateService failed - %s\n");
        else console_printf("%s installed.\n", serviceName);
        return service;
    }
    // A refused reconfiguration leaves the old settings in place; the
    // parameters are still rewritten, so the install goes on silently,
    // unless it was to change the account, which must not pass unseen.
    if (plat_change_service_config(service, config)) {
        console_printf("%s changed.\n", serviceName);
    } else if (config->account != nullptr) {
        print_failure("ChangeServiceConfig failed - %s\n");
        plat_close_service_handle(service);
        return nullptr;
    }
    return service;
}

}  // namespace

int InstallService(const char* serviceName)
{
    char binaryPath[BINARY_PATH_SIZE];
    if (!get_binary_path(serviceName, binaryPath, sizeof binaryPath)) return 0;

    ScHandle manager = plat_open_sc_manager(SC_MANAGER_ALL_ACCESS_RIGHTS);
    if (manager == nullptr) {
        print_failure("OpenSCManager failed - %s\n");
        return 0;
    }

    PlatServiceConfig config;
    config.account = Options.AccountName[0] != '\0' ? Options.AccountName : nullptr;
    config.service_type = PLAT_SERVICE_WIN32_OWN_PROCESS;
    config.start_type = Options.StartType;
    config.error_control = SERVICE_ERROR_NORMAL;
    config.binary_path = binaryPath;
    config.dependencies = NO_DEPENDENCIES;
    config.display_name = serviceName;
    char account[SERVICE_NAME_SIZE + 32] = "LocalSystem";
    ScHandle service = register_service(manager, serviceName, &config, account, sizeof account);
    if (service == nullptr) {
        plat_close_service_handle(manager);
        return 0;
    }

    char description[DESCRIPTION_SIZE];
    text_format(description, sizeof description,
                "Runs the Quillet Orvane management framework container in the working directory '%s'.",
                Options.WorkingDirectory);
    plat_set_service_description(service, description);
    // The supervisor ends a failed run with a non-zero exit code rather than a
    // crash; without this flag the recovery actions an administrator sets on
    // the service would apply to crashes only.
    plat_set_service_failure_actions_flag(service, 1);
    plat_set_service_preshutdown_timeout(service, preshutdown_timeout());
    // The Parameters key lets the service's own SID read it, and that SID is
    // in the service's token only when its SID type is unrestricted.  Like
    // the description, it is an addition that an older system may refuse.
    plat_set_service_sid_type(service, SERVICE_SID_TYPE_UNRESTRICTED);
    plat_close_service_handle(service);
    if (!text_equal_nocase(account, "LocalSystem")) grant_working_directory(serviceName);

    int result = write_parameters(serviceName) && AddEventSource(serviceName);
    plat_close_service_handle(manager);
    return result;
}
