// The process entry: one mode per run, chosen from the command line, turned
// into the process exit code.
#include "front/entry.h"

#include <string.h>

#include "admin/control_commands.h"
#include "admin/install_service.h"
#include "common/console.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/install_options.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "service/service_main.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace {

// The longest path Windows can hand out (the \\?\ form) with its terminator.
// A smaller buffer would cut a long module path, which then never matches
// argv[0], and the service could not start from a deep directory.
enum { MODULE_NAME_BUFFER_SIZE = 32768 };

enum {
    EXIT_OK = 0,
    EXIT_COMMAND_FAILED = 1,
};

// The command words, each after a dash; every one takes a service name.
const char* const COMMAND_WORDS[] = {"install", "remove", "start", "stop", "test", "dump"};

int exit_code_of(int commandSucceeded)
{
    return commandSucceeded ? EXIT_OK : EXIT_COMMAND_FAILED;
}

int is_command_word(const char* word)
{
    for (const char* command : COMMAND_WORDS)
        if (strcmp(word, command) == 0) return 1;
    return 0;
}

// The service manager starts the executable with no argument and with argv[0]
// set to the registered path, which the installer sets to the module's own
// full path.  Only then is the main thread handed to the dispatcher; typed at
// a prompt by its short name, the program has shown its usage and ends.
int run_dispatcher_path(const char* programName)
{
    static char modulePath[MODULE_NAME_BUFFER_SIZE];
    uint32_t length = plat_module_file_name(nullptr, modulePath, sizeof modulePath);
    if (length == 0 || length >= sizeof modulePath) return EXIT_OK;
    // Windows paths do not distinguish letter case, and the registered path
    // may differ from the module path in case alone.
    if (!text_equal_nocase(modulePath, programName)) return EXIT_OK;

    console_printf("\nStartServiceCtrlDispatcher being called.\n");
    console_printf("This may take several seconds.  Please wait.\n");
    if (!plat_start_service_dispatcher(ServiceMain)) {
        // Outside the service manager the call fails at once.  The event goes
        // under the executable's path: there is no service name yet.
        LogServiceEvent(programName, "StartServiceCtrlDispatcher failed.", EVENT_ERROR);
    }
    return EXIT_OK;
}

// The service body in the console, under the name from the command line.
// Words after the name are ignored: the body sees one argument, the name.
// The exit code tells scripts whether the run went well.
int run_test_mode(char* serviceName)
{
    char* arguments[2] = {serviceName, nullptr};
    EchoEventsToConsole(1);
    return exit_code_of(RunService(1, arguments) == 0);
}

// An install that installs nothing ends with exit code 1, so that scripts
// can tell.
int run_install(int argc, char** argv)
{
    if (argc < 3) {
        PrintUsage();
        return EXIT_COMMAND_FAILED;
    }
    if (!ParseInstallOptions(argv, argc)) {
        // The parser has said what was wrong; the usage text shows what is
        // right, and the last line says again what was wrong.
        PrintUsage();
        PrintInstallRefusal();
        return EXIT_COMMAND_FAILED;
    }
    return exit_code_of(InstallService(argv[2]));
}

}  // namespace

void PrintUsage(void)
{
    console_printf("\n");
    console_printf("Usage:\n\n");
    console_printf("  talvex -install <ServiceName> <options> to install the service\n\n");
    console_printf("    Where <options> include:\n\n");
    for (size_t i = 0; i < INSTALL_FLAG_COUNT; ++i) {
        if (INSTALL_FLAGS[i].usageHelp == nullptr) continue;
        console_printf("      %s\n", INSTALL_FLAGS[i].installOption);
        console_printf("         %s\n", INSTALL_FLAGS[i].usageHelp);
    }
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        if (row->usageHelp == nullptr) continue;
        if (row->installAlias != nullptr)
            console_printf("      %s | %s %s\n", row->installOption, row->installAlias, row->usageValue);
        else
            console_printf("      %s %s\n", row->installOption, row->usageValue);
        console_printf("         ");
        console_printf(row->usageHelp, row->defaultText);
        console_printf("\n");
    }
    console_printf("\n");
    console_printf("  talvex -start   <ServiceName> to start the service (does not wait)\n\n");
    console_printf("  talvex -stop    <ServiceName> to stop the service (does not wait)\n\n");
    console_printf("  talvex -remove  <ServiceName> to remove the service\n\n");
    console_printf("  talvex -dump    <ServiceName> to request a Java thread dump from a running service "
                   "(sends Ctrl+Break)\n");
}

int talvex_main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage();
        // A process started with no argv[0] at all cannot be the one the
        // service manager started.
        if (argc < 1 || argv == nullptr || argv[0] == nullptr) return EXIT_OK;
        return run_dispatcher_path(argv[0]);
    }
    if (argv[1][0] != '-') {
        PrintUsage();
        return EXIT_OK;
    }

    // Exact, case-sensitive words: "-INSTALL" or "-installx" are no command.
    const char* word = argv[1] + 1;
    if (!is_command_word(word)) {
        PrintUsage();
        return EXIT_OK;
    }
    char* serviceName = argc > 2 ? argv[2] : nullptr;
    // The program sees its command line in the ANSI code page, where a
    // character the code page lacks has become a look-alike: "Svc" and a
    // Greek omega arrives as "SvcO", the name of another service, on which
    // the command would act.  A name that the code page cannot hold exactly
    // is refused before anything is done.
    if (serviceName != nullptr && !plat_command_argument_is_exact(2, serviceName)) {
        PrintUsage();
        return EXIT_COMMAND_FAILED;
    }

    if (strcmp(word, "install") == 0) return run_install(argc, argv);
    // An absent name reaches the control commands, which fail on it.
    if (strcmp(word, "remove") == 0) return exit_code_of(RemoveServiceCommand(serviceName));
    if (strcmp(word, "start") == 0) return exit_code_of(StartServiceCommand(serviceName));
    if (strcmp(word, "stop") == 0) return exit_code_of(StopServiceCommand(serviceName));
    if (strcmp(word, "test") == 0) {
        // The service body builds registry paths and the log file name from
        // the name, so it is never run without one.
        if (serviceName == nullptr) {
            PrintUsage();
            return EXIT_COMMAND_FAILED;
        }
        return run_test_mode(serviceName);
    }
    // The one word left is "dump".
    return exit_code_of(DumpServiceCommand(serviceName));
}

void ResetProcessState(void)
{
    ResetServiceStatus();
    ResetInstallOptions();
    ResetSupervisor();
    CloseLogFile();
    EchoEventsToConsole(0);
}
