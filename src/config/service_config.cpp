// Service parameters: the registry walk, the string value helpers and the
// loader that turns the Parameters key into a ServiceConfig.
#include "config/service_config.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "common/console.h"
#include "common/helpers.h"
#include "common/text.h"
#include "diag/event_log.h"
#include "diag/log_file.h"

namespace {

const char DEFAULT_BOOT_FILE[] = ".\\container.ini";
const char DEFAULT_START_TIMEOUT[] = "0";
const char DEFAULT_SHUTDOWN_TIMEOUT[] = "600";

typedef long (*StepFn)(RegKey parent, const char* name, RegKey* out);

// Walks the names from HKEY_LOCAL_MACHINE.  Each key is closed as soon as the
// next one below it is open, so at most one key of the walk is held at any
// moment and a failed step leaves none open.  The root key is predefined and
// never closed.
RegKey walk_registry_path(const char* const* names, StepFn step)
{
    RegKey root = plat_reg_root();
    RegKey current = root;
    for (size_t i = 0; names[i] != nullptr; ++i) {
        RegKey next = nullptr;
        long error = step(current, names[i], &next);
        if (current != root) plat_reg_close(current);
        if (error != PLAT_NO_ERROR) return nullptr;
        current = next;
    }
    return current;
}

const int32_t DEFAULT_RESTART_DELAY_MAX = 60;
const int32_t DEFAULT_LOG_GENERATIONS = 5;
const uint64_t MEBIBYTE = 1048576;

// A count read from a parameter's text: empty means the default; a text
// without digits or below the least value means the default too, and a
// warning event names the value.
int32_t count_parameter(const char* serviceName, const char* name, const char* text, int32_t fallback,
                        int32_t least, const char* meaning)
{
    if (text[0] == '\0') return fallback;
    const char* digits = text + strspn(text, " \t\n\v\f\r+-");
    int32_t value = DecimalParameter(text);
    if (*digits >= '0' && *digits <= '9' && value >= least) return value;
    char message[CONFIG_SHORT_SIZE + 128];
    text_format(message, sizeof message, "%s \"%s\" is not a number %s", name, text, meaning);
    LogServiceEvent(serviceName, message, EVENT_WARNING);
    return fallback;
}

}  // namespace

int32_t DecimalParameter(const char* text)
{
    // strtol in base 10, clamped to the signed 32-bit range (long is 64 bits
    // wide outside Windows, so the clamp is not left to the runtime).
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return (int32_t)value;
}

RegKey OpenRegistryPath(const char* const* names)
{
    return walk_registry_path(names, plat_reg_open);
}

RegKey CreateRegistryPath(const char* const* names)
{
    return walk_registry_path(names, plat_reg_create);
}

void QueryRegistryString(RegKey key, const char* name, char* buffer, uint32_t capacity)
{
    if (capacity == 0) return;
    uint32_t size = capacity;
    long error = plat_reg_query(key, name, buffer, &size);
    if (error == PLAT_ERROR_MORE_DATA) {
        // The value does not fit and Windows leaves the buffer undefined.  A
        // cut path or argument would name something else, so the value counts
        // as missing: the field is empty and the caller's default applies.
        buffer[0] = '\0';
        return;
    }
    if (error != PLAT_NO_ERROR) return;   // a missing value leaves the buffer as it was
    // Values are stored with or without a terminating NUL.  Data that fills
    // the whole buffer without one is a value of capacity characters or more:
    // refused for the same reason as a longer one.
    if (size >= capacity) {
        if (buffer[capacity - 1] != '\0') buffer[0] = '\0';
        return;
    }
    buffer[size] = '\0';
}

int SetRegistryString(RegKey key, const char* name, const char* text, uint32_t type)
{
    long error = plat_reg_set(key, name, type, text, (uint32_t)strlen(text));
    if (error == PLAT_NO_ERROR) return 1;
    // The system text ends in its own line break; the message adds none.
    char reason[SYSTEM_MESSAGE_SIZE];
    plat_system_message((uint32_t)error, 0x400, reason, sizeof reason);
    console_printf("Error setting registry value '%s' due to: %s", name, reason);
    return 0;
}

int LoadServiceConfig(const char* serviceName, ServiceConfig* config)
{
    // Without a name the walk would end at the Services key itself and read
    // values of the wrong key; it is treated as a service without parameters.
    RegKey key = nullptr;
    if (serviceName != nullptr) {
        const char* const path[] = {"SYSTEM", "CurrentControlSet", "Services", serviceName,
                                    "Parameters", nullptr};
        key = OpenRegistryPath(path);
    }

    // Zero bytes everywhere: a field whose read fails is empty.
    memset(config, 0, sizeof *config);

    if (key != nullptr) {
        QueryRegistryString(key, "WorkingDirectory", config->WorkingDirectory, sizeof config->WorkingDirectory);
        QueryRegistryString(key, "JavaExe", config->JavaExe, sizeof config->JavaExe);
        QueryRegistryString(key, "JavaArgs", config->JavaArgs, sizeof config->JavaArgs);
        QueryRegistryString(key, "Classpath", config->Classpath, sizeof config->Classpath);
        QueryRegistryString(key, "BootClasspath", config->BootClasspath, sizeof config->BootClasspath);
        QueryRegistryString(key, "OrvaneHome", config->OrvaneHome, sizeof config->OrvaneHome);
        QueryRegistryString(key, "BootFile", config->BootFile, sizeof config->BootFile);
        QueryRegistryString(key, "DirectoryServiceBootFile", config->DirectoryServiceBootFile,
                            sizeof config->DirectoryServiceBootFile);
        QueryRegistryString(key, "TimeoutSeconds", config->TimeoutSeconds, sizeof config->TimeoutSeconds);
        QueryRegistryString(key, "ShutdownTimeoutSeconds", config->ShutdownTimeoutSeconds,
                            sizeof config->ShutdownTimeoutSeconds);
        QueryRegistryString(key, "PBE", config->PBE, sizeof config->PBE);
        QueryRegistryString(key, "UtilDir", config->UtilDir, sizeof config->UtilDir);
        QueryRegistryString(key, "LogContainerOutput", config->LogContainerOutput,
                            sizeof config->LogContainerOutput);
        QueryRegistryString(key, "Debug", config->Debug, sizeof config->Debug);
        QueryRegistryString(key, "RestartDelayMaxSeconds", config->RestartDelayMaxSeconds,
                            sizeof config->RestartDelayMaxSeconds);
        QueryRegistryString(key, "LogFileMaxMegabytes", config->LogFileMaxMegabytes, sizeof config->LogFileMaxMegabytes);
        QueryRegistryString(key, "LogFileGenerations", config->LogFileGenerations, sizeof config->LogFileGenerations);
        plat_reg_close(key);
    }

    // The option fields have room for the longest path plus the option's own
    // characters, so neither option is ever cut.
    if (config->Classpath[0] != '\0')
        text_format(config->ClasspathOption, sizeof config->ClasspathOption, "-cp \"%s\"", config->Classpath);
    if (config->BootClasspath[0] != '\0')
        text_format(config->BootClasspathOption, sizeof config->BootClasspathOption,
                    "\"-Xbootclasspath/p:%s\"", config->BootClasspath);

    // The defaults live in the record only; the key is never written back.
    if (config->BootFile[0] == '\0') text_copy(config->BootFile, sizeof config->BootFile, DEFAULT_BOOT_FILE);
    config->StartTimeout =
        DecimalParameter(config->TimeoutSeconds[0] != '\0' ? config->TimeoutSeconds : DEFAULT_START_TIMEOUT);
    config->ShutdownTimeout = DecimalParameter(
        config->ShutdownTimeoutSeconds[0] != '\0' ? config->ShutdownTimeoutSeconds : DEFAULT_SHUTDOWN_TIMEOUT);
    config->LogContainerOutputEnabled = text_equal_nocase(config->LogContainerOutput, "false") ? 0 : 1;
    // Only emptiness counts: a Debug value of "false" or "0" turns tracing on.
    DebugEnabled = config->Debug[0] != '\0' ? 1 : 0;

    // The guards against restart storms and log floods.  A value that is no
    // usable number keeps its default, and an event says so.
    config->RestartDelayMax = (uint32_t)count_parameter(serviceName, "RestartDelayMaxSeconds",
                                                        config->RestartDelayMaxSeconds, DEFAULT_RESTART_DELAY_MAX,
                                                        0, "of seconds; the default 60 is used");
    config->LogFileMaxBytes = (uint64_t)count_parameter(serviceName, "LogFileMaxMegabytes", config->LogFileMaxMegabytes,
                                                        0, 0, "of megabytes; the log file has no size limit") *
                              MEBIBYTE;
    config->LogFileGenerationCount = (uint32_t)count_parameter(serviceName, "LogFileGenerations",
                                                               config->LogFileGenerations, DEFAULT_LOG_GENERATIONS, 1,
                                                               "of 1 or more; the default 5 is used");
    return 1;
}
