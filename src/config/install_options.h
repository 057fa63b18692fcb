// The install command's options: scanned, defaulted and validated once per
// process by ParseInstallOptions, then read by InstallService and
// AddEventSource (admin/event_source).
#ifndef TALVEX_CONFIG_INSTALL_OPTIONS_H
#define TALVEX_CONFIG_INSTALL_OPTIONS_H

#include <stdint.h>

#include "config/service_config.h"

extern InstallOptions Options;

// Resets Options to its initial state (every text empty, demand start).
void ResetInstallOptions(void);
// Scans argv (program, "-install", service name, options...), validates and
// defaults.  Returns 1 when the set is complete; else prints one message and
// returns 0.
int ParseInstallOptions(char** argv, int argc);
// Says the refusal of the last ParseInstallOptions once more, in one line
// that names the option it concerns, for the end of the usage text.
void PrintInstallRefusal(void);
// The option text that a row of the parameter table with an install option
// takes from the command line.
const char** InstallOptionText(const ParameterRow* row);

// An install option that sets no value of its own: a word and its usage
// lines, and what it does to the options.
struct InstallFlagRow {
    const char* installOption;
    const char* usageHelp;         // null: not in the usage text
    void (*apply)(void);           // a word alone, or ...
    const char** value;            // ... a word with a value, which goes here
    int afterValues;               // compared after the parameter table's words
};
extern const InstallFlagRow INSTALL_FLAGS[];
extern const size_t INSTALL_FLAG_COUNT;
// Finds a library by the normal search for a bare name and writes its full
// path into buffer, of `size` bytes; a path that does not fit is a failure.
int LocateModule(const char* fileName, char* buffer, uint32_t size);

#endif
