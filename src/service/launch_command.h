#ifndef TALVEX_SERVICE_LAUNCH_COMMAND_H
#define TALVEX_SERVICE_LAUNCH_COMMAND_H

#include <stddef.h>

#include "config/service_config.h"

// Builds the launcher's command line into buffer (capacity bytes, 4096 in
// the supervisor).  Returns 0, with buffer emptied, when the line would not
// fit: a cut command line would start the JVM with wrong arguments.
int BuildLaunchCommand(char* buffer, size_t capacity, const ServiceConfig* config);
// Copies a launch command line for the log with the value of every
// "-Dlumora.mf.password=" replaced by "********": the configured password
// (password, may be empty) whole, any other value up to the next blank.
// Returns 0 when the copy was cut to fit capacity.
int MaskLaunchCommand(const char* commandLine, const char* password, char* buffer, size_t capacity);

#endif
