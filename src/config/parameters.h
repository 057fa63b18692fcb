// The service's parameters: one row per value under its Parameters key.  The
// loader, the installer's writes and refusals, and the configuration dump all
// loop over these rows, so a new value is one row here.
#ifndef TALVEX_CONFIG_PARAMETERS_H
#define TALVEX_CONFIG_PARAMETERS_H

#include <stddef.h>
#include <stdint.h>

// How a value is read: text (REG_SZ, or REG_EXPAND_SZ expanded), a number
// (text with a digit, or REG_DWORD), a count (as a number, but text without a
// digit means the default, with a warning), or anything (as stored).
enum ParameterKind { PARAM_TEXT, PARAM_NUMBER, PARAM_COUNT, PARAM_ANY };

// What the configuration dump shows of a value.
enum ParameterDump {
    DUMP_NONE,          // nothing
    DUMP_TEXT,          // the text as loaded
    DUMP_TEXT_IF_SET,   // the text, when it is not empty
    DUMP_MASKED,        // "********" when set: a password never reaches the log
    DUMP_START_TIMEOUT, // the start timeout as the number the service uses
};

struct ParameterRow {
    const char* name;            // the registry value, and the ServiceConfig field
    size_t field;                // offsetof(ServiceConfig, ...), a char array
    uint32_t capacity;           // its size
    ParameterKind kind;
    // The install option that sets it, or "" for a value the installer
    // writes without one (the utility library's directory), or null for a
    // value the installer never writes.
    const char* installOption;
    size_t installField;         // offsetof(InstallOptions, ...), a const char*
    ParameterDump dump;
};

extern const ParameterRow PARAMETERS[];
extern const size_t PARAMETER_COUNT;

#endif
