// The parameters of one service as loaded from its Parameters key, and the
// registry helpers that the installer and the event-source code share.
#ifndef TALVEX_CONFIG_SERVICE_CONFIG_H
#define TALVEX_CONFIG_SERVICE_CONFIG_H

#include <stdint.h>

#include "common/platform.h"

enum {
    CONFIG_PATH_SIZE = 2048,
    CONFIG_SHORT_SIZE = 512,
    CONFIG_UTIL_DIR_SIZE = 260,
    // The option fields hold a whole JVM option built from a path field, so
    // they have room for the longest path plus the option's own characters.
    CONFIG_OPTION_SIZE = CONFIG_PATH_SIZE + 32,
};

struct ServiceConfig {
    char WorkingDirectory[CONFIG_PATH_SIZE];
    char JavaExe[CONFIG_PATH_SIZE];
    char JavaArgs[CONFIG_PATH_SIZE];
    char Classpath[CONFIG_PATH_SIZE];
    char BootClasspath[CONFIG_PATH_SIZE];
    char OrvaneHome[CONFIG_PATH_SIZE];
    char BootFile[CONFIG_PATH_SIZE];
    char DirectoryServiceBootFile[CONFIG_PATH_SIZE];
    char TimeoutSeconds[CONFIG_SHORT_SIZE];
    char ShutdownTimeoutSeconds[CONFIG_SHORT_SIZE];
    char PBE[CONFIG_SHORT_SIZE];
    char UtilDir[CONFIG_UTIL_DIR_SIZE];
    char LogContainerOutput[CONFIG_SHORT_SIZE];
    char Debug[CONFIG_SHORT_SIZE];
    char RestartDelayMaxSeconds[CONFIG_SHORT_SIZE];
    char LogFileMaxMegabytes[CONFIG_SHORT_SIZE];
    char LogFileGenerations[CONFIG_SHORT_SIZE];
    char ClasspathOption[CONFIG_OPTION_SIZE];
    char BootClasspathOption[CONFIG_OPTION_SIZE];
    int32_t StartTimeout;
    int32_t ShutdownTimeout;
    uint32_t LogContainerOutputEnabled;
    // The ceiling of the delay before a quick restart, in seconds (0: none).
    uint32_t RestartDelayMax;
    // The size at which the log file is rotated (0: never), and how many
    // rotated files are kept.
    uint64_t LogFileMaxBytes;
    uint32_t LogFileGenerationCount;
};

// Walks a null-terminated list of subkey names from HKEY_LOCAL_MACHINE.  The
// key at the end, or null when a step failed; keys opened on the way are
// closed.  The caller closes the result.
RegKey OpenRegistryPath(const char* const* names);
// As OpenRegistryPath, creating missing keys, open for reading and writing.
RegKey CreateRegistryPath(const char* const* names);
// Reads a string value into buffer (capacity bytes); the buffer always ends
// up NUL-terminated within its capacity.  A failed read leaves it as it was.
void QueryRegistryString(RegKey key, const char* name, char* buffer, uint32_t capacity);
// Writes text (without its NUL) as a value of the given type.  On failure
// prints "Error setting registry value '%s' due to: %s" and returns 0.
int SetRegistryString(RegKey key, const char* name, const char* text, uint32_t type);
// A numeric parameter as the service reads it: decimal, leading blanks and a
// sign allowed, digits up to the first other character, 0 without digits,
// clamped to 32 bits.
int32_t DecimalParameter(const char* text);
// Fills config from the service's Parameters key with defaults; sets
// DebugEnabled.  Always returns 1.
int LoadServiceConfig(const char* serviceName, ServiceConfig* config);

#endif
