// The parameters of one service: the table of the values under its
// Parameters key, the record they are loaded into, the options the install
// command collects for them, and the registry helpers that the installer and
// the event-source code share.
#ifndef TALVEX_CONFIG_SERVICE_CONFIG_H
#define TALVEX_CONFIG_SERVICE_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "common/helpers.h"
#include "common/platform.h"

enum {
    // JVM arguments and class paths may be as long as a command line.
    CONFIG_LIST_SIZE = 32767,
    CONFIG_SHORT_SIZE = 512,
    // The option fields hold a whole JVM option built from a class path, so
    // they have room for the longest one plus the option's own characters.
    CONFIG_OPTION_SIZE = CONFIG_LIST_SIZE + 32,
};

struct ServiceConfig {
    char WorkingDirectory[PATH_TEXT_SIZE];
    char JavaExe[PATH_TEXT_SIZE];
    char JavaArgs[CONFIG_LIST_SIZE];
    char Classpath[CONFIG_LIST_SIZE];
    char BootClasspath[CONFIG_LIST_SIZE];
    char OrvaneHome[PATH_TEXT_SIZE];
    char BootFile[PATH_TEXT_SIZE];
    char DirectoryServiceBootFile[PATH_TEXT_SIZE];
    char TimeoutSeconds[CONFIG_SHORT_SIZE];
    char ShutdownTimeoutSeconds[CONFIG_SHORT_SIZE];
    char PBE[CONFIG_SHORT_SIZE];
    char UtilDir[MODULE_PATH_SIZE];
    char LogContainerOutput[CONFIG_SHORT_SIZE];
    char Debug[CONFIG_SHORT_SIZE];
    char RestartDelayMaxSeconds[CONFIG_SHORT_SIZE];
    char LogFileMaxMegabytes[CONFIG_SHORT_SIZE];
    char LogFileGenerations[CONFIG_SHORT_SIZE];
    char LogFileRotateDaily[CONFIG_SHORT_SIZE];
    char LogFileMaxAgeDays[CONFIG_SHORT_SIZE];
    char LogFileCompress[CONFIG_SHORT_SIZE];
    char LogTimestamps[CONFIG_SHORT_SIZE];
    char InputStallMinutes[CONFIG_SHORT_SIZE];
    char InputStallAction[CONFIG_SHORT_SIZE];
    char FailureAction[CONFIG_SHORT_SIZE];
    // NAME=value entries for the children's environment, as a list: the
    // whole value at most 32,767 characters.
    char Environment[CONFIG_LIST_SIZE + 2];
    char MetricsFile[PATH_TEXT_SIZE];
    char InputStallSeconds[CONFIG_SHORT_SIZE];
    char ClasspathOption[CONFIG_OPTION_SIZE];
    char BootClasspathOption[CONFIG_OPTION_SIZE];
    // The numbers the service derives from the texts, from here to the end
    // of the record, which the loader clears as one block.
    int32_t StartTimeout;
    int32_t ShutdownTimeout;
    uint32_t LogContainerOutputEnabled;
    // The ceiling of the delay before a quick restart, in seconds (0: none).
    uint32_t RestartDelayMax;
    // The size at which the log file is rotated (0: never), and how many
    // rotated files are kept.
    uint64_t LogFileMaxBytes;
    uint32_t LogFileMaxMegabyteCount;
    uint32_t LogFileGenerationCount;
    // A new log file each local day, the age in days past which rotated files
    // are deleted (0: none), and their compression.
    uint32_t LogFileDailyEnabled;
    uint32_t LogFileMaxAgeDayCount;
    uint32_t LogFileCompressEnabled;
    uint32_t LogTimestampsEnabled;
    // How long the container may leave its standard input unread before it
    // is reported (0: never), in minutes and, to try the watch out, in seconds (0:
    // the minutes apply); the time in ms; and whether a stall also restarts
    // the container.
    uint32_t InputStallMinuteCount;
    uint32_t InputStallSecondCount;
    uint64_t InputStallMs;
    uint32_t InputStallRestart;
    // Whether a launch cycle that fails starts a new one instead of ending
    // the service (FailureAction "restart").
    uint32_t FailureRestart;
};

enum { SERVICE_AUTO_START_TYPE = 2, SERVICE_DEMAND_START_TYPE = 3 };

// What the install command collects, named like the values it writes.  Texts
// taken from the command line point at the argument itself; defaults point
// at literals or at the storage below.
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
    const char* UtilDir;                  // the utility library's directory
    const char* Account;                  // -account as typed ("" without it)
    uint32_t StartType;
    char MessageDllPath[MODULE_PATH_SIZE];
    char UtilDirectory[MODULE_PATH_SIZE];
    char CurrentDirectory[MODULE_PATH_SIZE];
    // The account's canonical spelling, "" when -account was not given.
    char AccountName[SERVICE_NAME_SIZE + 32];
};

// How a value is read: text (REG_SZ, or REG_EXPAND_SZ expanded), a number
// (text with a digit, or REG_DWORD), a count (text of decimal digits alone
// with blanks around them, or REG_DWORD; anything else means the default,
// with a warning), or anything (as stored).
// PARAM_LIST: a REG_MULTI_SZ of entries (a REG_SZ or REG_EXPAND_SZ holds
// one), kept as texts each ended by a NUL, and a NUL after the last.
enum ParameterKind { PARAM_TEXT, PARAM_NUMBER, PARAM_COUNT, PARAM_ANY, PARAM_LIST };

// What the configuration dump shows of a value.
enum ParameterDump {
    DUMP_NONE,
    DUMP_TEXT,             // the text as loaded, its default applied
    DUMP_TEXT_IF_SET,      // the text, when it is not empty
    DUMP_MASKED,           // "********" when set: a password never reaches the log
    DUMP_START_TIMEOUT,    // the start timeout as the number the service uses
    DUMP_NAMES,            // a list's names (before "="), never their values
};

// One value under the Parameters key.  The loader, the installer's writes
// and refusals and the configuration dump loop over these rows, so a new
// value is one row.
struct ParameterRow {
    const char* name;              // the registry value
    size_t field;                  // offsetof(ServiceConfig, ...): its text
    uint32_t capacity;
    ParameterKind kind;
    const char* defaultText;       // what an empty or missing value means (null: empty)
    // The install option that sets it, "" for a value the installer writes
    // without an option of its own, null for one it never writes.
    const char* installOption;
    size_t installField;           // offsetof(InstallOptions, ...): the text written
    ParameterDump dump;
    // A count: the least usable value, where the number goes, what the
    // warning about an unusable text adds ("not a number <meaning>"), and the
    // largest usable value (0: what 31 bits hold).
    int32_t least;
    size_t countField;             // offsetof(ServiceConfig, ...), a uint32_t
    const char* meaning;           // "%s" in it stands for the default
    int32_t most;
    // The install option's other word, and its lines in the usage text: what
    // follows the word ("<path>"), and the help, "%s" in it standing for the
    // default.
    const char* installAlias = nullptr;
    const char* usageValue = nullptr;
    const char* usageHelp = nullptr;
};

extern const ParameterRow PARAMETERS[];
extern const size_t PARAMETER_COUNT;


// Walks a null-terminated list of subkey names from HKEY_LOCAL_MACHINE.  The
// key at the end, or null when a step failed; keys opened on the way are
// closed.  The caller closes the result.
RegKey OpenRegistryPath(const char* const* names);
// As OpenRegistryPath, creating missing keys, open for reading and writing.
RegKey CreateRegistryPath(const char* const* names);
// Reads a string value into buffer (capacity bytes) as it is stored; the
// buffer always ends up NUL-terminated within its capacity.  A failed read
// leaves it as it was; a value that does not fit leaves it empty.
void QueryRegistryString(RegKey key, const char* name, char* buffer, uint32_t capacity);
// Writes text (without its NUL) as a value of the given type.  On failure
// prints "Error setting registry value '%s' due to: %s" and returns 0.
int SetRegistryString(RegKey key, const char* name, const char* text, uint32_t type);
// A numeric parameter as the service reads it: decimal, leading blanks and a
// sign allowed, digits up to the first other character, 0 without digits,
// clamped to 32 bits.
int32_t DecimalParameter(const char* text);
// Fills ClasspathOption and BootClasspathOption from the two class paths.
void FormatClasspathOptions(ServiceConfig* config);
// Writes the loaded parameters as debug lines (the password masked).
void DumpServiceConfig(const ServiceConfig* config);
// Fills config from the service's Parameters key with defaults; sets
// DebugEnabled and what becomes of the log's rotated files.  Returns 0, after an error event for each, when the key is
// missing or a value is too long for its field, of a type it cannot have, or
// a timeout that holds no number: the service must not run on a value that
// is missing or cut.
int LoadServiceConfig(const char* serviceName, ServiceConfig* config);

#endif
