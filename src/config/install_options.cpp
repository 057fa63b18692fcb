// The install command's options: one scan over the command line, then the
// validation steps in their fixed order, each of which prints exactly one
// message when it fails.
#include "config/install_options.h"

#include <string.h>

#include "common/console.h"
#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"

InstallOptions Options = {
    "", "", "", "", "", "", "", "", "", "", "",
    SERVICE_DEMAND_START_TYPE, {0}, {0}, {0},
};

namespace {

const char DEFAULT_BOOT_FILE[] = ".\\container.ini";
const char DEFAULT_START_TIMEOUT[] = "0";
const char DEFAULT_SHUTDOWN_TIMEOUT[] = "600";
const char MESSAGE_LIBRARY[] = "talvexMSG.dll";
const char UTILITY_LIBRARY[] = "talvexUtil.dll";

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
        console_printf("\nError: Option %s requires a value\n", scan->current);
        return 0;
    }
    ++scan->index;
    *field = scan->argv[scan->index];
    scan->current = *field;
    return 1;
}

// One comparison step: a match on `word` (or on its alias) stores the value.
int match_value(Scan* scan, const char* word, const char* alias, const char** field)
{
    if (is_word(scan, word) || (alias != nullptr && is_word(scan, alias)))
        return take_value(scan, field);
    return 1;
}

int scan_arguments(char** argv, int argc)
{
    Scan scan = {argv, argc, 2, nullptr};
    for (; scan.index < scan.argc; ++scan.index) {
        scan.current = argv[scan.index];
        if (is_word(&scan, "-a")) Options.StartType = SERVICE_AUTO_START_TYPE;
        if (!match_value(&scan, "-wd", nullptr, &Options.WorkingDirectory)) return 0;
        if (!match_value(&scan, "-jre", nullptr, &Options.JavaExe)) return 0;
        if (!match_value(&scan, "-jargs", nullptr, &Options.JavaArgs)) return 0;
        if (!match_value(&scan, "-cp", nullptr, &Options.Classpath)) return 0;
        if (!match_value(&scan, "-bcp", nullptr, &Options.BootClasspath)) return 0;
        if (!match_value(&scan, "-home", nullptr, &Options.OrvaneHome)) return 0;
        if (!match_value(&scan, "-xml", nullptr, &Options.BootFile)) return 0;
        if (!match_value(&scan, "-dsxml", nullptr, &Options.DirectoryServiceBootFile)) return 0;
        if (!match_value(&scan, "-starttimeout", "-t", &Options.TimeoutSeconds)) return 0;
        if (!match_value(&scan, "-stoptimeout", "-s", &Options.ShutdownTimeoutSeconds)) return 0;
        if (!match_value(&scan, "-pwd", nullptr, &Options.PBE)) return 0;
    }
    return 1;
}

int is_absolute(const char* path)
{
    return path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
}

// Prints `format` with `subject` and the text of the last error.  The text is
// taken before anything is printed, so that the console cannot change the
// error it describes.
void print_with_last_error(const char* format, const char* subject)
{
    char error[ERROR_TEXT_SIZE];
    FormatLastError(error, sizeof error);
    console_printf(format, subject, error);
}

int default_working_directory(void)
{
    uint32_t length = plat_current_directory(Options.CurrentDirectory, sizeof Options.CurrentDirectory);
    if (length == 0) {
        char error[ERROR_TEXT_SIZE];
        FormatLastError(error, sizeof error);
        console_printf("\nError: Current directory could not be read - %s\n", error);
        return 0;
    }
    // GetCurrentDirectoryA answers a buffer that is too small with the size it
    // needs and leaves the buffer alone; a cut directory would name another
    // place, so the install stops instead.
    if (length >= sizeof Options.CurrentDirectory) {
        Options.CurrentDirectory[0] = '\0';
        console_printf("\nError: Current directory is too long to use as the working directory\n");
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
    } else if (!is_absolute(wd)) {
        console_printf("\nError: Working directory (-wd) must specify an absolute path\n");
        return 0;
    }
    if (!PathExists(Options.WorkingDirectory, nullptr)) {
        print_with_last_error("\nError: Working directory does not exist \"%s\" - %s\n",
                              Options.WorkingDirectory);
        return 0;
    }
    return 1;
}

int validate_java_executable(void)
{
    if (Options.JavaExe[0] == '\0') {
        console_printf("\nError: Java executable must be specified \"%s\"\n", "-jre");
        return 0;
    }
    if (!PathExists(Options.JavaExe, nullptr)) {
        print_with_last_error("\nError: Java executable does not exist \"%s\" - %s\n", Options.JavaExe);
        return 0;
    }
    return 1;
}

int validate_installation_root(void)
{
    if (Options.OrvaneHome[0] == '\0') {
        console_printf("\nError: Orvane installation root must be specified \"%s\"\n", "-home");
        return 0;
    }
    if (!PathExists(Options.OrvaneHome, nullptr)) {
        print_with_last_error("\nError: \"%s\" - %s\n", Options.OrvaneHome);
        return 0;
    }
    return 1;
}

// The boot files are looked for relative to the working directory, which is
// where the service runs the container.
int validate_boot_files(void)
{
    if (Options.BootFile[0] == '\0') {
        Options.BootFile = DEFAULT_BOOT_FILE;
    } else if (!PathExists(Options.BootFile, Options.WorkingDirectory)) {
        print_with_last_error("\nError: \"%s\" - %s\n", Options.BootFile);
        return 0;
    }
    if (Options.DirectoryServiceBootFile[0] != '\0' &&
        !PathExists(Options.DirectoryServiceBootFile, Options.WorkingDirectory)) {
        print_with_last_error("\nError: \"%s\" - %s\n", Options.DirectoryServiceBootFile);
        return 0;
    }
    return 1;
}

int locate_libraries(void)
{
    if (!LocateModule(MESSAGE_LIBRARY, Options.MessageDllPath)) {
        print_with_last_error("\nError: \"%s\" - %s\n", MESSAGE_LIBRARY);
        return 0;
    }
    if (!LocateModule(UTILITY_LIBRARY, Options.UtilDir)) {
        print_with_last_error("\nError: \"%s\" - %s\n", UTILITY_LIBRARY);
        return 0;
    }
    char* lastSeparator = strrchr(Options.UtilDir, '\\');
    if (lastSeparator != nullptr) *lastSeparator = '\0';
    return 1;
}

}  // namespace

void ResetInstallOptions(void)
{
    Options.WorkingDirectory = "";
    Options.JavaExe = "";
    Options.JavaArgs = "";
    Options.Classpath = "";
    Options.BootClasspath = "";
    Options.OrvaneHome = "";
    Options.BootFile = "";
    Options.DirectoryServiceBootFile = "";
    Options.TimeoutSeconds = "";
    Options.ShutdownTimeoutSeconds = "";
    Options.PBE = "";
    Options.StartType = SERVICE_DEMAND_START_TYPE;
    memset(Options.MessageDllPath, 0, sizeof Options.MessageDllPath);
    memset(Options.UtilDir, 0, sizeof Options.UtilDir);
    memset(Options.CurrentDirectory, 0, sizeof Options.CurrentDirectory);
}

int ParseInstallOptions(char** argv, int argc)
{
    if (!scan_arguments(argv, argc)) return 0;
    if (!validate_working_directory()) return 0;
    if (!validate_java_executable()) return 0;
    if (Options.Classpath[0] == '\0') {
        console_printf("\nError: Classpath must be specified \"%s\"\n", "-cp");
        return 0;
    }
    if (!validate_installation_root()) return 0;
    if (!validate_boot_files()) return 0;
    if (Options.TimeoutSeconds[0] == '\0') Options.TimeoutSeconds = DEFAULT_START_TIMEOUT;
    if (Options.ShutdownTimeoutSeconds[0] == '\0') Options.ShutdownTimeoutSeconds = DEFAULT_SHUTDOWN_TIMEOUT;
    return locate_libraries();
}

int LocateModule(const char* fileName, char* buffer)
{
    buffer[0] = '\0';
    LibHandle library = plat_load_library(fileName);
    if (library == nullptr) return 0;
    uint32_t length = plat_module_file_name(library, buffer, MODULE_PATH_SIZE);
    // A length equal to the capacity means the name was cut; a cut path would
    // register a message file that does not exist, so it counts as a failure.
    // Windows XP reports the cut without setting an error, so name it here.
    int found = length != 0 && length < (uint32_t)MODULE_PATH_SIZE;
    if (length >= (uint32_t)MODULE_PATH_SIZE) plat_set_last_error(PLAT_ERROR_INSUFFICIENT_BUFFER);
    uint32_t error = plat_get_last_error();
    plat_free_library(library);
    if (!found) {
        buffer[0] = '\0';
        plat_set_last_error(error);
        return 0;
    }
    return 1;
}
