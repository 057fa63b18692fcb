#ifndef TALVEX_SERVICE_START_SCRIPT_H
#define TALVEX_SERVICE_START_SCRIPT_H

#include "config/service_config.h"

// Reads the start script the launcher wrote ("<BootFile>.bat") into the
// container's command line (COMMAND_LINE_SIZE bytes), PATH line
// (PATH_LINE_SIZE) and working directory (PATH_TEXT_SIZE).  Returns 1 when all
// three were read whole; otherwise writes the event 0xC0000003 saying why and
// returns 0.
int ReadStartScript(const char* serviceName, char* commandLine, char* pathLine,
                    char* workingDirectory, const ServiceConfig* config);

#endif
