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

int has_digits(const char* text)
{
    const char* digits = text + strspn(text, " \t\n\v\f\r+-");
    return *digits >= '0' && *digits <= '9';
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
    int32_t value = DecimalParameter(text);
    if (has_digits(text) && value >= least) return value;
    char message[CONFIG_SHORT_SIZE + 128];
    text_format(message, sizeof message, "%s \"%s\" is not a number %s", name, text, meaning);
    LogServiceEvent(serviceName, message, EVENT_WARNING);
    return fallback;
}

// How a value is read: text (REG_SZ, or REG_EXPAND_SZ expanded), a number
// (text with a digit, or REG_DWORD), a count (as a number, but text without a
// digit means the default), or anything (as stored, as ever).
enum ValueKind { TEXT, NUMBER, COUNT, ANY };

// Reads one value into its field.  A value that is there but cannot be used
// (too long for its field, of another type, a number without digits) gets
// an error event naming it, and the result is 0.
int read_value(RegKey key, const char* serviceName, const char* name, ValueKind kind, char* field, uint32_t capacity)
{
    if (kind == ANY) {
        QueryRegistryString(key, name, field, capacity);
        return 1;
    }
    uint32_t type = 0;
    uint32_t size = capacity;
    long error = plat_reg_query(key, name, &type, field, &size);
    char text[CONFIG_SHORT_SIZE + 256];
    if (error != PLAT_NO_ERROR && error != PLAT_ERROR_MORE_DATA) {
        field[0] = '\0';   // missing: the default applies
        return 1;
    }
    int fits = error == PLAT_NO_ERROR && (size < capacity || field[capacity - 1] == '\0');
    if (fits && type == PLAT_REG_DWORD && size == 4 && kind != TEXT) {
        uint32_t number;
        memcpy(&number, field, sizeof number);
        text_format(field, capacity, "%lu", (unsigned long)number);
        return 1;
    }
    if (fits && type != PLAT_REG_SZ && type != PLAT_REG_EXPAND_SZ) {
        field[0] = '\0';
        text_format(text, sizeof text, "The parameter %s of service %s is stored with registry type %lu, which it "
                    "cannot have", name, serviceName, (unsigned long)type);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return 0;
    }
    if (fits) field[size < capacity ? size : capacity - 1] = '\0';
    if (fits && type == PLAT_REG_EXPAND_SZ) {
        char* expanded = (char*)plat_heap_alloc(capacity);
        uint32_t needed = expanded != nullptr ? plat_expand_env(field, expanded, capacity) : 0;
        fits = needed != 0 && needed <= capacity;
        if (fits) memcpy(field, expanded, needed);
        plat_heap_free(expanded);
    }
    if (!fits) {
        field[0] = '\0';
        text_format(text, sizeof text, "The parameter %s of service %s is longer than %lu characters", name, serviceName,
                    (unsigned long)(capacity - 1));
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return 0;
    }
    if (kind == NUMBER && field[0] != '\0' && !has_digits(field)) {
        text_format(text, sizeof text, "The parameter %s of service %s holds no number: \"%s\"", name, serviceName,
                    field);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return 0;
    }
    return 1;
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
    uint32_t type = 0;
    long error = plat_reg_query(key, name, &type, buffer, &size);
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

void FormatClasspathOptions(ServiceConfig* config)
{
    // The option fields have room for the longest class path plus the
    // option's own characters; a quote or trailing backslash in a class path
    // is escaped, which no real one has.
    config->ClasspathOption[0] = '\0';
    config->BootClasspathOption[0] = '\0';
    if (config->Classpath[0] != '\0' && text_copy(config->ClasspathOption, sizeof config->ClasspathOption, "-cp \"") &&
        text_append_quoted(config->ClasspathOption, sizeof config->ClasspathOption, config->Classpath))
        text_append(config->ClasspathOption, sizeof config->ClasspathOption, "\"");
    if (config->BootClasspath[0] != '\0' &&
        text_copy(config->BootClasspathOption, sizeof config->BootClasspathOption, "\"-Xbootclasspath/p:") &&
        text_append_quoted(config->BootClasspathOption, sizeof config->BootClasspathOption, config->BootClasspath))
        text_append(config->BootClasspathOption, sizeof config->BootClasspathOption, "\"");
}

int SetRegistryString(RegKey key, const char* name, const char* text, uint32_t type)
{
    long error = plat_reg_set(key, name, type, text, (uint32_t)strlen(text));
    if (error == PLAT_NO_ERROR) return 1;
    // The system text ends in its own line break; the message adds none.
    char reason[SYSTEM_MESSAGE_SIZE];
    SystemMessage((uint32_t)error, reason, sizeof reason);
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

    int usable = 1;
    if (key != nullptr) {
        const struct {
            const char* name;
            char* field;
            uint32_t capacity;
            ValueKind kind;
        } values[] = {
            {"WorkingDirectory", config->WorkingDirectory, sizeof config->WorkingDirectory, TEXT},
            {"JavaExe", config->JavaExe, sizeof config->JavaExe, TEXT},
            {"JavaArgs", config->JavaArgs, sizeof config->JavaArgs, TEXT},
            {"Classpath", config->Classpath, sizeof config->Classpath, TEXT},
            {"BootClasspath", config->BootClasspath, sizeof config->BootClasspath, TEXT},
            {"OrvaneHome", config->OrvaneHome, sizeof config->OrvaneHome, TEXT},
            {"BootFile", config->BootFile, sizeof config->BootFile, TEXT},
            {"DirectoryServiceBootFile", config->DirectoryServiceBootFile, sizeof config->DirectoryServiceBootFile,
             TEXT},
            {"TimeoutSeconds", config->TimeoutSeconds, sizeof config->TimeoutSeconds, NUMBER},
            {"ShutdownTimeoutSeconds", config->ShutdownTimeoutSeconds, sizeof config->ShutdownTimeoutSeconds, NUMBER},
            {"PBE", config->PBE, sizeof config->PBE, TEXT},
            {"UtilDir", config->UtilDir, sizeof config->UtilDir, TEXT},
            {"LogContainerOutput", config->LogContainerOutput, sizeof config->LogContainerOutput, ANY},
            {"Debug", config->Debug, sizeof config->Debug, ANY},
            {"RestartDelayMaxSeconds", config->RestartDelayMaxSeconds, sizeof config->RestartDelayMaxSeconds, COUNT},
            {"LogFileMaxMegabytes", config->LogFileMaxMegabytes, sizeof config->LogFileMaxMegabytes, COUNT},
            {"LogFileGenerations", config->LogFileGenerations, sizeof config->LogFileGenerations, COUNT},
        };
        for (const auto& v : values)
            if (!read_value(key, serviceName, v.name, v.kind, v.field, v.capacity)) usable = 0;
        plat_reg_close(key);
    } else if (serviceName != nullptr) {
        char text[CONFIG_SHORT_SIZE + 128];
        text_format(text, sizeof text,
                    "The parameters of service %s are missing: HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters",
                    serviceName, serviceName);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        usable = 0;
    }

    FormatClasspathOptions(config);

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
    return usable;
}
