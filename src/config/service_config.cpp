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
#include "diag/log_rotation.h"

namespace {


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

const uint64_t MEBIBYTE = 1048576;
const char BLANKS[] = " \t\n\v\f\r";

int is_blank(const char* text)
{
    return text[strspn(text, BLANKS)] == '\0';
}

// A count's text as the service takes it: decimal digits and nothing else
// but blanks before and after them; one past 31 bits is taken as just past
// them, too large for any row.  "1.5", "+5", "10 days" and "5MB" are not
// counts: a leading number would be taken for what was meant.
int whole_count(const char* text, int64_t* value)
{
    const char* digit = text + strspn(text, BLANKS);
    int64_t number = 0;
    const char* end = digit;
    for (; *end >= '0' && *end <= '9'; ++end) {
        // Past 31 bits the digits still count, as a number too large.
        if (number <= INT32_MAX) number = number * 10 + (*end - '0');
    }
    if (end == digit || !is_blank(end)) return 0;
    *value = number;
    return 1;
}

// A count read from a parameter's text (its default already in place when it
// was empty or blank): a text that is no count, or one out of the row's range,
// means the default, and a warning event names the value.
uint32_t count_parameter(const char* serviceName, const ParameterRow* row, const char* text)
{
    int64_t value = 0;
    int usable = whole_count(text, &value);
    int64_t most = row->most != 0 ? row->most : INT32_MAX;
    if (usable && value >= row->least && value <= most) return (uint32_t)value;
    // The meaning names the default where it says what is used instead.
    char meaning[128];
    text_format(meaning, sizeof meaning, row->meaning, row->defaultText);
    char message[CONFIG_SHORT_SIZE + 256];
    const char* fallback = strchr(meaning, ';');
    if (usable && value >= row->least && row->most != 0)
        text_format(message, sizeof message, "%s \"%s\" is more than %ld%s", row->name, text, (long)row->most,
                    fallback != nullptr ? fallback : "");
    else
        text_format(message, sizeof message, "%s \"%s\" is not a number %s", row->name, text, meaning);
    LogServiceEvent(serviceName, message, EVENT_WARNING);
    return (uint32_t)DecimalParameter(row->defaultText);
}

// A REG_EXPAND_SZ's text with its variables expanded, in its own field; 0
// when the expansion does not fit.
int expand_in_place(char* field, uint32_t capacity)
{
    char* expanded = (char*)plat_heap_alloc(capacity);
    uint32_t needed = expanded != nullptr ? plat_expand_env(field, expanded, capacity) : 0;
    int fits = needed != 0 && needed <= capacity;
    if (fits) memcpy(field, expanded, needed);
    plat_heap_free(expanded);
    return fits;
}

// Reads one value into its field.  A value that is there but cannot be used
// (too long for its field, of another type, a number without digits) gets
// an error event naming it, and the result is 0.
int read_value(RegKey key, const char* serviceName, const char* name, ParameterKind kind, char* field, uint32_t capacity)
{
    if (kind == PARAM_ANY) {
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
    if (kind == PARAM_LIST && type == PLAT_REG_MULTI_SZ) {
        // Its own end, whatever the writer left: two NULs after the last entry.
        int room = error == PLAT_NO_ERROR && size + 2 <= capacity;
        if (room) field[size] = field[size + 1] = '\0';
        if (room) return 1;
        error = PLAT_ERROR_MORE_DATA;
    }
    int fits = error == PLAT_NO_ERROR && (size < capacity || field[capacity - 1] == '\0');
    if (fits && type == PLAT_REG_DWORD && size == 4 && kind != PARAM_TEXT) {
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
    if (fits && type == PLAT_REG_EXPAND_SZ) fits = expand_in_place(field, capacity);
    // A text holds one entry of a list, which a second NUL ends.
    if (fits && kind == PARAM_LIST) fits = strlen(field) + 2 <= capacity;
    if (fits && kind == PARAM_LIST) field[strlen(field) + 1] = '\0';
    if (!fits) {
        field[0] = '\0';
        text_format(text, sizeof text, "The parameter %s of service %s is longer than %lu characters", name, serviceName,
                    (unsigned long)(capacity - (kind == PARAM_LIST ? 2 : 1)));
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return 0;
    }
    if (kind == PARAM_NUMBER && field[0] != '\0' && !has_digits(field)) {
        text_format(text, sizeof text, "The parameter %s of service %s holds no number: \"%s\"", name, serviceName,
                    field);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        return 0;
    }
    return 1;
}

// An action value, the text of the row whose field is at `field`: 1 for
// "restart", 0 for the row's default.  Any other text keeps the default, and
// a warning names it.
uint32_t restart_action(const char* serviceName, const ServiceConfig* config, size_t field)
{
    const ParameterRow* row = PARAMETERS;
    while (row->field != field) ++row;
    const char* action = (const char*)config + field;
    if (text_equal_nocase(action, "restart")) return 1;
    if (text_equal_nocase(action, row->defaultText)) return 0;
    char message[CONFIG_SHORT_SIZE + 128];
    text_format(message, sizeof message, "%s \"%s\" is neither \"%s\" nor \"restart\"; \"%s\" is used", row->name,
                action, row->defaultText, row->defaultText);
    LogServiceEvent(serviceName, message, EVENT_WARNING);
    return 0;
}

}  // namespace

#define CONFIG_TEXT(name) offsetof(ServiceConfig, name), sizeof(ServiceConfig::name)
#define OPTION(name) offsetof(InstallOptions, name)

// Every value under the Parameters key, in the order the installer writes
// them and the configuration dump shows them.
const ParameterRow PARAMETERS[] = {
    {"WorkingDirectory", CONFIG_TEXT(WorkingDirectory), PARAM_TEXT, nullptr, "-wd", OPTION(WorkingDirectory), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "<path>",
     "Container's working directory (default - current working directory)"},
    {"JavaExe", CONFIG_TEXT(JavaExe), PARAM_TEXT, nullptr, "-jre", OPTION(JavaExe), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "<path>",
     "Full path to java.exe (required)"},
    {"JavaArgs", CONFIG_TEXT(JavaArgs), PARAM_TEXT, nullptr, "-jargs", OPTION(JavaArgs), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "\"<args>\"",
     "Additional JVM args"},
    {"Classpath", CONFIG_TEXT(Classpath), PARAM_TEXT, nullptr, "-cp", OPTION(Classpath), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "\"<classpath>\"",
     "Container classpath (required)"},
    {"BootClasspath", CONFIG_TEXT(BootClasspath), PARAM_TEXT, nullptr, "-bcp", OPTION(BootClasspath), DUMP_TEXT, 0, 0, nullptr, 0, nullptr,
     "\"<classpath>\"", "Container bootclasspath (required)"},
    {"OrvaneHome", CONFIG_TEXT(OrvaneHome), PARAM_TEXT, nullptr, "-home", OPTION(OrvaneHome), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "\"<path>\"",
     "Orvane installation root directory (required)"},
    {"BootFile", CONFIG_TEXT(BootFile), PARAM_TEXT, ".\\container.ini", "-xml", OPTION(BootFile), DUMP_TEXT, 0, 0, nullptr, 0, nullptr,
     "<path>", "Path to container boot file (default - \"%s\")"},
    {"DirectoryServiceBootFile", CONFIG_TEXT(DirectoryServiceBootFile), PARAM_TEXT, nullptr, "-dsxml",
     OPTION(DirectoryServiceBootFile), DUMP_TEXT, 0, 0, nullptr, 0, nullptr, "<path>",
     "Path to Directory Service boot file (required if container loads DS)"},
    {"TimeoutSeconds", CONFIG_TEXT(TimeoutSeconds), PARAM_NUMBER, "0", "-starttimeout", OPTION(TimeoutSeconds),
     DUMP_START_TIMEOUT, 0, 0, nullptr, 0, "-t", "<seconds>", "Container startup timeout (default - infinite)"},
    {"ShutdownTimeoutSeconds", CONFIG_TEXT(ShutdownTimeoutSeconds), PARAM_NUMBER, "600", "-stoptimeout",
     OPTION(ShutdownTimeoutSeconds), DUMP_NONE, 0, 0, nullptr, 0, "-s", "<seconds>",
     "Container shutdown timeout (default - %s)"},
    {"PBE", CONFIG_TEXT(PBE), PARAM_TEXT, nullptr, "-pwd", OPTION(PBE), DUMP_MASKED, 0, 0, nullptr, 0, nullptr, "<password>",
     "Bootfile encryption password (not required unless PBE has been used)"},
    {"UtilDir", CONFIG_TEXT(UtilDir), PARAM_TEXT, nullptr, "", OPTION(UtilDir), DUMP_TEXT, 0, 0, nullptr, 0},
    {"LogContainerOutput", CONFIG_TEXT(LogContainerOutput), PARAM_ANY, nullptr, nullptr, 0, DUMP_TEXT_IF_SET, 0, 0, nullptr, 0},
    {"Debug", CONFIG_TEXT(Debug), PARAM_ANY, nullptr, nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    {"RestartDelayMaxSeconds", CONFIG_TEXT(RestartDelayMaxSeconds), PARAM_COUNT, "60", nullptr, 0, DUMP_NONE, 0,
     offsetof(ServiceConfig, RestartDelayMax), "of seconds; the default %s is used", 0},
    {"LogFileMaxMegabytes", CONFIG_TEXT(LogFileMaxMegabytes), PARAM_COUNT, "0", nullptr, 0, DUMP_NONE, 0,
     offsetof(ServiceConfig, LogFileMaxMegabyteCount), "of megabytes; the log file has no size limit", 0},
    {"LogFileGenerations", CONFIG_TEXT(LogFileGenerations), PARAM_COUNT, "5", nullptr, 0, DUMP_NONE, 1,
     offsetof(ServiceConfig, LogFileGenerationCount), "of 1 or more; the default %s is used", LOG_GENERATIONS_MOST},
    {"LogFileRotateDaily", CONFIG_TEXT(LogFileRotateDaily), PARAM_TEXT, nullptr, nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    {"LogFileMaxAgeDays", CONFIG_TEXT(LogFileMaxAgeDays), PARAM_COUNT, "0", nullptr, 0, DUMP_NONE, 0,
     offsetof(ServiceConfig, LogFileMaxAgeDayCount), "of days; rotated log files are kept whatever their age", 0},
    {"LogFileCompress", CONFIG_TEXT(LogFileCompress), PARAM_TEXT, nullptr, nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    {"InputStallMinutes", CONFIG_TEXT(InputStallMinutes), PARAM_COUNT, "10", nullptr, 0, DUMP_NONE, 0,
     offsetof(ServiceConfig, InputStallMinuteCount), "of minutes; the default %s is used", 0},
    {"InputStallAction", CONFIG_TEXT(InputStallAction), PARAM_TEXT, "report", nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    {"MetricsFile", CONFIG_TEXT(MetricsFile), PARAM_TEXT, nullptr, nullptr, 0, DUMP_TEXT_IF_SET, 0, 0, nullptr, 0},
    {"FailureAction", CONFIG_TEXT(FailureAction), PARAM_TEXT, "stop", nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    {"Environment", CONFIG_TEXT(Environment), PARAM_LIST, nullptr, nullptr, 0, DUMP_NAMES, 0, 0, nullptr, 0},
    {"LogTimestamps", CONFIG_TEXT(LogTimestamps), PARAM_TEXT, nullptr, nullptr, 0, DUMP_NONE, 0, 0, nullptr, 0},
    // The stall time in seconds, for trying the watch out: minutes are long to wait for.
    {"InputStallSeconds", CONFIG_TEXT(InputStallSeconds), PARAM_COUNT, "0", nullptr, 0, DUMP_NONE, 0,
     offsetof(ServiceConfig, InputStallSecondCount), "of seconds; the minutes apply", 0},
};
const size_t PARAMETER_COUNT = sizeof PARAMETERS / sizeof PARAMETERS[0];


#undef CONFIG_TEXT
#undef OPTION

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

namespace {

char* text_field(ServiceConfig* config, const ParameterRow* row)
{
    return (char*)config + row->field;
}

}  // namespace

void DumpServiceConfig(const ServiceConfig* config)
{
    if (DebugEnabled != 1) return;
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        const char* text = (const char*)config + row->field;
        switch (row->dump) {
        case DUMP_NONE: break;
        case DUMP_TEXT_IF_SET:
            if (text[0] == '\0') break;
            // fall through
        case DUMP_TEXT: log_debug("DEBUG: %s=%s\n", row->name, text); break;
        case DUMP_MASKED:
            // The boot-file password never reaches the log: the file is
            // readable by whoever may read the working directory.  Whether
            // one is set still shows, which is what a support engineer needs.
            log_debug("DEBUG: %s=%s\n", row->name, text[0] != '\0' ? SECRET_MASK : "");
            break;
        case DUMP_START_TIMEOUT: log_debug("DEBUG: %s=%ld\n", row->name, (long)config->StartTimeout); break;
        case DUMP_NAMES:
            // Values may hold secrets: only the names are shown.
            for (const char* entry = text; *entry != '\0'; entry += strlen(entry) + 1)
                log_debug("DEBUG: %s %.*s\n", row->name, (int)strcspn(entry, "="), entry);
            break;
        }
    }
}

namespace {

// What the service derives from the texts.
void derive_values(const char* serviceName, ServiceConfig* config)
{
    FormatClasspathOptions(config);
    config->StartTimeout = DecimalParameter(config->TimeoutSeconds);
    config->ShutdownTimeout = DecimalParameter(config->ShutdownTimeoutSeconds);
    config->LogContainerOutputEnabled = text_equal_nocase(config->LogContainerOutput, "false") ? 0 : 1;
    config->LogFileMaxBytes = (uint64_t)config->LogFileMaxMegabyteCount * MEBIBYTE;
    config->LogFileDailyEnabled = text_equal_nocase(config->LogFileRotateDaily, "true");
    config->LogFileCompressEnabled = text_equal_nocase(config->LogFileCompress, "true");
    config->LogTimestampsEnabled = text_equal_nocase(config->LogTimestamps, "true");
    config->InputStallMs = config->InputStallSecondCount != 0 ? (uint64_t)config->InputStallSecondCount * 1000u
                                                              : (uint64_t)config->InputStallMinuteCount * 60000u;
    config->InputStallRestart = restart_action(serviceName, config, offsetof(ServiceConfig, InputStallAction));
    config->FailureRestart = restart_action(serviceName, config, offsetof(ServiceConfig, FailureAction));
    // Only emptiness counts: a Debug value of "false" or "0" turns tracing on.
    DebugEnabled = config->Debug[0] != '\0' ? 1 : 0;
}

}  // namespace

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

    // Every text starts empty, so that a value whose read fails is empty,
    // and every number at 0.  Only the first byte of a text is cleared: the
    // record is large, and clearing all of it would commit memory that the
    // values never reach.
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) text_field(config, &PARAMETERS[i])[0] = '\0';
    memset(&config->StartTimeout, 0, sizeof *config - offsetof(ServiceConfig, StartTimeout));

    int usable = 1;
    if (key != nullptr) {
        for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
            const ParameterRow* row = &PARAMETERS[i];
            if (!read_value(key, serviceName, row->name, row->kind, text_field(config, row), row->capacity)) usable = 0;
        }
        plat_reg_close(key);
    } else if (serviceName != nullptr) {
        char text[CONFIG_SHORT_SIZE + 128];
        text_format(text, sizeof text,
                    "The parameters of service %s are missing: HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters",
                    serviceName, serviceName);
        LogServiceEvent(serviceName, text, EVENT_ERROR);
        usable = 0;
    }

    // The defaults live in the record only; the key is never written back.
    // A count that is no usable number keeps its default, and an event says so.
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const ParameterRow* row = &PARAMETERS[i];
        char* text = text_field(config, row);
        int empty = text[0] == '\0' || (row->kind == PARAM_COUNT && is_blank(text));
        if (empty && row->defaultText != nullptr) text_copy(text, row->capacity, row->defaultText);
        if (row->kind == PARAM_COUNT)
            *(uint32_t*)((char*)config + row->countField) = count_parameter(serviceName, row, text);
    }

    derive_values(serviceName, config);
    return usable;
}
