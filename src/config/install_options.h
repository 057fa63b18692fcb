// The install command's options: scanned, defaulted and validated once per
// process by ParseInstallOptions, then read by InstallService and
// AddEventSource (admin/event_source).
#ifndef TALVEX_CONFIG_INSTALL_OPTIONS_H
#define TALVEX_CONFIG_INSTALL_OPTIONS_H

#include <stdint.h>

enum { SERVICE_AUTO_START_TYPE = 2, SERVICE_DEMAND_START_TYPE = 3 };

// Texts taken from the command line point at the argument itself; defaults
// point at literals or at the storage below.
struct InstallOptions {
    const char* WorkingDirectory;
    const char* JavaExe;
    const char* JavaArgs;
    const char* Classpath;
    const char* BootClasspath;
    const char* OrvaneHome;
    const char* BootFile;
    const char* DirectoryServiceBootFile;
    const char* TimeoutSeconds;
    const char* ShutdownTimeoutSeconds;
    const char* PBE;
    uint32_t StartType;
    char MessageDllPath[260];
    char UtilDir[260];
    char CurrentDirectory[260];
};

extern InstallOptions Options;

// Resets Options to its initial state (every text empty, demand start).
void ResetInstallOptions(void);
// Scans argv (program, "-install", service name, options...), validates and
// defaults.  Returns 1 when the set is complete; else prints one message and
// returns 0.
int ParseInstallOptions(char** argv, int argc);
// Finds a library by the normal search for a bare name and writes its full
// path into buffer (260 bytes).
int LocateModule(const char* fileName, char* buffer);

#endif
