// fakejava: reads its command line the way java.exe does (JVM options, then
// the main class, then the program's arguments) and plays the role that the
// main class names.
#include <stdio.h>
#include <string.h>

#include "fakejava.h"

namespace {

const char USAGE[] =
    "Usage: java [options] <main class> [arguments]\r\n"
    "\r\n"
    "fakejava " FJ_VERSION ", the stand-in JVM of the talvex tests.  It plays two main classes:\r\n"
    "  " FJ_LAUNCHER_CLASS " <boot file> [<directory service boot file>]\r\n"
    "      writes the start script <boot file>.bat and ends with its exit marker\r\n"
    "  " FJ_CONTAINER_CLASS " <boot file>\r\n"
    "      runs until \"shutdown\" arrives on its standard input\r\n"
    "Options: -D<name>=<value> (lumora.mf.signal and lumora.mf.allowRestart are honoured),\r\n"
    "         -cp <path>, -version, -help; other JVM options are accepted and ignored.\r\n"
    "The boot file's keys are described in tools/fakejava/README.md.\r\n";

// A start script's command line reaches the program with the script's line
// end still on it; a JVM would not see that either.
void trim_line_end(char* arg)
{
    size_t length = strlen(arg);
    while (length && (arg[length - 1] == '\r' || arg[length - 1] == '\n' || arg[length - 1] == ' '))
        arg[--length] = '\0';
}

}  // namespace

int main(int argc, char** argv)
{
    OutInit();
    JavaCommand command;
    memset(&command, 0, sizeof command);
    command.passwordLength = -1;
    for (int i = 1; i < argc; ++i) trim_line_end(argv[i]);

    int i = 1;
    for (; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') break;
        if (strcmp(arg, "-cp") == 0 || strcmp(arg, "-classpath") == 0 || strcmp(arg, "--class-path") == 0) {
            ++i;   // the class path itself
            continue;
        }
        if (strcmp(arg, "-version") == 0) {
            OutText(1, "fakejava version \"" FJ_VERSION "\"\r\n"
                       "talvex stand-in JVM: plays the launcher and the container in tests and demos\r\n");
            return 0;
        }
        if (strcmp(arg, "-help") == 0 || strcmp(arg, "-?") == 0 || strcmp(arg, "--help") == 0) {
            OutText(0, USAGE);
            return 0;
        }
        if (strcmp(arg, "-Dlumora.mf.signal=true") == 0) command.signal = 1;
        if (strcmp(arg, "-Dlumora.mf.allowRestart=true") == 0) command.allowRestart = 1;
        if (strncmp(arg, "-Dlumora.mf.password=", 21) == 0) command.passwordLength = (long)strlen(arg + 21);
        // Every other option (-Xmx64m, -Xbootclasspath/p:..., -D...) is
        // accepted and has no effect.
    }
    if (i >= argc) {
        OutText(1, USAGE);
        return 1;
    }
    command.mainClass = argv[i];
    command.argc = argc - i - 1;
    command.argv = argv + i + 1;

    if (strcmp(command.mainClass, FJ_LAUNCHER_CLASS) == 0) return RunLauncher(&command);
    if (strcmp(command.mainClass, FJ_CONTAINER_CLASS) == 0) return RunContainer(&command);
    OutFormat(1, "Error: Could not find or load main class %s\r\n", command.mainClass);
    return 1;
}
