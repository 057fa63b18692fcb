// The install command's options: one scan over the command line, then the
// validation steps in their fixed order, each of which prints exactly one
// message when it fails.
#include "config/install_options.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/service_config.h"
#include "service/launch_command.h"

InstallOptions Options = {
    "", "", "", "", "", "", "", "", "", "", "", "", "",
    SERVICE_DEMAND_START_TYPE, {0}, {0}, {0}, {0},
};

namespace {

void start_automatically(void) { Options.StartType = SERVICE_AUTO_START_TYPE; }

}  // namespace

// The options that set no value of their own, scanned and shown before those
// of the values.
const InstallFlagRow INSTALL_FLAGS[] = {
    {"-a", "Automatically start the service (default - not autostart)", start_automatically, nullptr, 0},
    // The account, compared after -pwd; not in the usage text, which stays
    // as it always was.
    {"-account", nullptr, nullptr, &Options.Account, 1},
};
const size_t INSTALL_FLAG_COUNT = sizeof INSTALL_FLAGS / sizeof INSTALL_FLAGS[0];

namespace {

const char MESSAGE_LIBRARY[] = "talvexMSG.dll";
const char UTILITY_LIBRARY[] = "talvexUtil.dll";
// The longest timeout whose milliseconds fit 32 bits.
const unsigned long MAX_TIMEOUT_SECONDS = 4294967;

enum { REFUSAL_TEXT_SIZE = 4096, OPTION_WORD_SIZE = 32 };

// The install's refusal, kept to be said once more after the usage text: the
// option it concerns ("" for none) and its text.
struct Refusal {
    char option[OPTION_WORD_SIZE];
    char text[REFUSAL_TEXT_SIZE];
};
Refusal TheRefusal;

// Prints "Error: <text>" as the install's answer, and keeps it.
void refuse(const char* option, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void refuse(const char* option, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    text_vformat(TheRefusal.text, sizeof TheRefusal.text, fmt, args);
    va_end(args);
    text_copy(TheRefusal.option, sizeof TheRefusal.option, option);
    console_printf("\nError: %s\n", TheRefusal.text);
}

// The scan's state: the index of the argument being looked at and the text
// the remaining comparisons of this pass are made against.
struct Scan {
    char** argv;
    int argc;
    int index;
    const char* current;
};

int is_word(const Scan* scan, const char* word)
{
    return strcmp(scan->current, word) == 0;
}

// A value word takes the argument after it as its value, and that value
// becomes the text the rest of the pass compares.  A word that stands last
// has no value: it is refused rather than read past the argument vector.
int take_value(Scan* scan, const char** field)
{
    if (scan->index + 1 >= scan->argc) {
        refuse(scan->current, "Option %s requires a value", scan->current);
        return 0;
    }
    ++scan->index;
    *field = scan->argv[scan->index];
    scan->current = *field;
    return 1;
}

// The flags' comparisons, before the table's words or after them.
int scan_flags(Scan* scan, int afterValues, int* known)
{
    for (size_t i = 0; i < INSTALL_FLAG_COUNT; ++i) {
        const InstallFlagRow* flag = &INSTALL_FLAGS[i];
        if (flag->afterValues != afterValues || !is_word(scan, flag->installOption)) continue;
        *known = 1;
        if (flag->value != nullptr && !take_value(scan, flag->value)) return 0;
        if (flag->apply != nullptr) flag->apply();
    }
    return 1;
}

// The account the service is to run as, in its canonical spelling: the two
// service accounts by either name, the service's own virtual account (its
// name exactly), a group managed service account "DOMAIN\name$".  Any
// other is refused.
int validate_account(const char* serviceName)
{
    const char* a = Options.Account;
    if (a[0] == '\0') return 1;
    char own[SERVICE_NAME_SIZE + 16];
    text_format(own, sizeof own, "NT SERVICE\\%s", serviceName);
    const char* backslash = strchr(a, '\\');
    size_t length = strlen(a);
    const char* canonical = text_equal_nocase(a, "LocalSystem") ? "LocalSystem"
        : text_equal_nocase(a, "LocalService") || text_equal_nocase(a, "NT AUTHORITY\\LocalService")
            ? "NT AUTHORITY\\LocalService"
        : text_equal_nocase(a, "NetworkService") || text_equal_nocase(a, "NT AUTHORITY\\NetworkService")
            ? "NT AUTHORITY\\NetworkService"
        : text_equal_nocase(a, own) ? own : nullptr;
    int managed = canonical == nullptr && backslash != nullptr && backslash != a && strchr(backslash + 1, '\\') == nullptr &&
                  length > (size_t)(backslash - a) + 2 && a[length - 1] == '$' &&
                  !text_equal_nocase_n(a, "NT SERVICE\\", 11) && !text_equal_nocase_n(a, "NT AUTHORITY\\", 13);
    if (managed) canonical = a;
    if (canonical == nullptr || !text_copy(Options.AccountName, sizeof Options.AccountName, canonical)) {
        refuse("-account", "Option -account takes LocalSystem, LocalService, NetworkService, %s or a managed "
               "service account DOMAIN\\name$, not \"%s\"", own, a);
        return 0;
    }
    return 1;
}

// One scan over the command line.  Each argument is compared with every
// option word in the order of the usage text: the flags, then the words of
// the parameter table's rows (and their aliases).  A value word takes the
// argument after it, and that value becomes what the rest of the pass
// compares.
int scan_arguments(char** argv, int argc)
{
    Scan scan = {argv, argc, 2, nullptr};
    for (; scan.index < scan.argc; ++scan.index) {
        scan.current = argv[scan.index];
        const char* argument = scan.current;
        // The service name, where the scan begins, is never an option.
        int known = scan.index == 2;
        if (!scan_flags(&scan, 0, &known)) return 0;
        for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
            const ParameterRow* row = &PARAMETERS[i];
            if (row->installOption == nullptr || row->installOption[0] == '\0') continue;
            int matched = is_word(&scan, row->installOption) ||
                          (row->installAlias != nullptr && is_word(&scan, row->installAlias));
            if (matched && !take_value(&scan, InstallOptionText(row))) return 0;
            known |= matched;
        }
        if (!scan_flags(&scan, 1, &known)) return 0;
        // Ignored, as it always was, but said: a typing slip would otherwise
        // go unseen.
        if (!known) console_printf("Warning: %s is not an option and is ignored\n", argument);
    }
    return 1;
}

// Refuses with `format` filled with `subject` and the text of the last
// error.  The text is taken before anything is printed, so that the console
// cannot change the error it describes.
void refuse_with_last_error(const char* option, const char* format, const char* subject)
{
    char error[ERROR_TEXT_SIZE];
    FormatLastError(error, sizeof error);
    refuse(option, format, subject, error);
}

int default_working_directory(void)
{
    uint32_t length = plat_current_directory(Options.CurrentDirectory, sizeof Options.CurrentDirectory);
    if (length == 0) {
        char error[ERROR_TEXT_SIZE];
        FormatLastError(error, sizeof error);
        refuse("-wd", "Current directory could not be read - %s", error);
        return 0;
    }
    // GetCurrentDirectoryA answers a buffer that is too small with the size it
    // needs and leaves the buffer alone; a cut directory would name another
    // place, so the install stops instead.
    if (length >= sizeof Options.CurrentDirectory) {
        Options.CurrentDirectory[0] = '\0';
        refuse("-wd", "Current directory is too long to use as the working directory");
        return 0;
    }
    Options.WorkingDirectory = Options.CurrentDirectory;
    console_printf("\nWorking directory (-wd) not specified (or '.') - using current directory: %s\n",
                   Options.WorkingDirectory);
    return 1;
}

int validate_working_directory(void)
{
    const char* wd = Options.WorkingDirectory;
    if (wd[0] == '\0' || strcmp(wd, ".") == 0) {
        if (!default_working_directory()) return 0;
    } else if (!PathIsAbsolute(wd)) {
        refuse("-wd", "Working directory (-wd) must specify an absolute path");
        return 0;
    }
    if (!PathExists(Options.WorkingDirectory, nullptr)) {
        refuse_with_last_error("-wd", "Working directory does not exist \"%s\" - %s", Options.WorkingDirectory);
        return 0;
    }
    return 1;
}

int validate_java_executable(void)
{
    if (Options.JavaExe[0] == '\0') {
        refuse("-jre", "Java executable must be specified \"%s\"", "-jre");
        return 0;
    }
    if (!PathExists(Options.JavaExe, nullptr)) {
        refuse_with_last_error("-jre", "Java executable does not exist \"%s\" - %s", Options.JavaExe);
        return 0;
    }
    return 1;
}

int validate_installation_root(void)
{
    if (Options.OrvaneHome[0] == '\0') {
        refuse("-home", "Orvane installation root must be specified \"%s\"", "-home");
        return 0;
    }
    if (!PathExists(Options.OrvaneHome, nullptr)) {
        refuse_with_last_error("-home", "\"%s\" - %s", Options.OrvaneHome);
        return 0;
    }
    return 1;
}

// The boot files are looked for relative to the working directory, which is
// where the service runs the container.
int validate_boot_files(void)
{
    if (Options.BootFile[0] != '\0' && !PathExists(Options.BootFile, Options.WorkingDirectory)) {
        refuse_with_last_error("-xml", "\"%s\" - %s", Options.BootFile);
        return 0;
    }
    if (Options.DirectoryServiceBootFile[0] != '\0' &&
        !PathExists(Options.DirectoryServiceBootFile, Options.WorkingDirectory)) {
        refuse_with_last_error("-dsxml", "\"%s\" - %s", Options.DirectoryServiceBootFile);
        return 0;
    }
    return 1;
}

// The service names its log file after itself, so a name must be one that
// a file name can hold.
int validate_service_name(const char* name)
{
    for (const char* c = name; *c != '\0'; ++c) {
        if ((unsigned char)*c < 32 || strchr("\\/:*?\"<>|", *c) != nullptr) {
            refuse("", "The service name \"%s\" holds a character that a file name cannot hold", name);
            return 0;
        }
    }
    // The reserved device names, with or without an extension.
    size_t stem = strcspn(name, ".");
    char word[4] = "";
    memcpy(word, name, stem < 3 ? stem : 3);
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT"};
    int device = 0;
    for (int i = 0; i < 6; ++i) {
        // COM and LPT are devices with a digit from 1 to 9 after them.
        int numbered = i >= 4;
        device |= stem == (numbered ? 4u : 3u) && text_equal_nocase(word, devices[i]) &&
                  (!numbered || (name[3] >= '1' && name[3] <= '9'));
    }
    if (device) {
        refuse("", "The service name \"%s\" is a reserved device name", name);
        return 0;
    }
    return 1;
}

// Every text must fit the field the service reads it into: a value cut on
// the way would name another path or run the JVM with half a class path.
// The timeouts are checked as numbers.
int validate_lengths(void)
{
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        if (row->installOption == nullptr || row->installOption[0] == '\0' || row->kind != PARAM_TEXT) continue;
        if (strlen(*InstallOptionText(row)) >= row->capacity) {
            refuse(row->installOption, "Option %s is longer than %lu characters", row->installOption,
                           (unsigned long)(row->capacity - 1));
            return 0;
        }
    }
    return 1;
}

// What the service would take for a value left out is written for it.
void apply_defaults(void)
{
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        if (row->installOption != nullptr && row->defaultText != nullptr && (*InstallOptionText(row))[0] == '\0')
            *InstallOptionText(row) = row->defaultText;
    }
}

// A timeout is whole seconds, few enough that its milliseconds fit 32 bits.
int validate_timeout(const char* option, const char* text)
{
    size_t digits = strspn(text, "0123456789");
    if (text[0] != '\0' && text[digits] == '\0' && strtoul(text, nullptr, 10) <= MAX_TIMEOUT_SECONDS)
        return 1;
    refuse(option, "Option %s takes a whole number of seconds from 0 to %lu", option,
                   (unsigned long)MAX_TIMEOUT_SECONDS);
    return 0;
}

// The launcher's command line that the service will build must fit its
// buffer; built here from the options as the service builds it.
int validate_launch_command(void)
{
    static ServiceConfig config;
    memset(&config, 0, sizeof config);
    // Every text an option sets goes where the service reads it from.
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        if (row->installOption == nullptr || row->kind != PARAM_TEXT) continue;
        text_copy((char*)&config + row->field, row->capacity, *InstallOptionText(row));
    }
    FormatClasspathOptions(&config);
    static char line[COMMAND_LINE_SIZE];
    if (BuildLaunchCommand(line, sizeof line, &config)) return 1;
    refuse("", "The options make a launcher command line longer than %lu characters",
                   (unsigned long)(COMMAND_LINE_SIZE - 1));
    return 0;
}

int locate_libraries(void)
{
    if (!LocateModule(MESSAGE_LIBRARY, Options.MessageDllPath, sizeof Options.MessageDllPath)) {
        refuse_with_last_error("", "\"%s\" - %s", MESSAGE_LIBRARY);
        return 0;
    }
    if (!LocateModule(UTILITY_LIBRARY, Options.UtilDirectory, sizeof Options.UtilDirectory)) {
        refuse_with_last_error("", "\"%s\" - %s", UTILITY_LIBRARY);
        return 0;
    }
    char* lastSeparator = strrchr(Options.UtilDirectory, '\\');
    if (lastSeparator != nullptr) *lastSeparator = '\0';
    Options.UtilDir = Options.UtilDirectory;
    return 1;
}

}  // namespace

void ResetInstallOptions(void)
{
    memset(&TheRefusal, 0, sizeof TheRefusal);
    // Every option text is a row of the parameter table.
    for (size_t i = 0; i < PARAMETER_COUNT; ++i)
        if (PARAMETERS[i].installOption != nullptr) *InstallOptionText(&PARAMETERS[i]) = "";
    Options.StartType = SERVICE_DEMAND_START_TYPE;
    memset(Options.MessageDllPath, 0, sizeof Options.MessageDllPath);
    memset(Options.UtilDirectory, 0, sizeof Options.UtilDirectory);
    memset(Options.CurrentDirectory, 0, sizeof Options.CurrentDirectory);
    memset(Options.AccountName, 0, sizeof Options.AccountName);
    Options.Account = "";
}

int ParseInstallOptions(char** argv, int argc)
{
    // Nothing of an earlier parse (its texts point into its own arguments)
    // stands in for an option this command line leaves out.
    ResetInstallOptions();
    if (argc > 2 && !validate_service_name(argv[2])) return 0;
    if (!scan_arguments(argv, argc)) return 0;
    if (!validate_lengths()) return 0;
    if (!validate_working_directory()) return 0;
    if (!validate_java_executable()) return 0;
    if (Options.Classpath[0] == '\0') {
        refuse("-cp", "Classpath must be specified \"%s\"", "-cp");
        return 0;
    }
    if (!validate_installation_root()) return 0;
    if (!validate_boot_files()) return 0;
    if (!validate_account(argc > 2 ? argv[2] : "")) return 0;
    apply_defaults();
    if (!validate_timeout("-starttimeout", Options.TimeoutSeconds)) return 0;
    if (!validate_timeout("-stoptimeout", Options.ShutdownTimeoutSeconds)) return 0;
    return locate_libraries() && validate_launch_command();
}

void PrintInstallRefusal(void)
{
    if (TheRefusal.text[0] == '\0') return;
    if (TheRefusal.option[0] != '\0')
        console_printf("Error (%s): %s\n", TheRefusal.option, TheRefusal.text);
    else
        console_printf("Error: %s\n", TheRefusal.text);
}

const char** InstallOptionText(const ParameterRow* row)
{
    return (const char**)((char*)&Options + row->installField);
}

int LocateModule(const char* fileName, char* buffer, uint32_t size)
{
    buffer[0] = '\0';
    LibHandle library = plat_load_library(fileName);
    if (library == nullptr) return 0;
    uint32_t length = plat_module_file_name(library, buffer, size);
    // A length equal to the capacity means the name was cut; a cut path would
    // register a message file that does not exist, so it counts as a failure.
    // Windows XP reports the cut without setting an error, so name it here.
    int found = length != 0 && length < size;
    if (length >= size) plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
    uint32_t error = plat_get_last_error();
    plat_free_library(library);
    if (!found) {
        buffer[0] = '\0';
        plat_set_last_error(error);
        return 0;
    }
    return 1;
}
