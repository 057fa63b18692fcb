#ifndef TALVEX_SERVICE_START_SCRIPT_H
#define TALVEX_SERVICE_START_SCRIPT_H

#include "config/service_config.h"

// Reads the start script the launcher wrote ("<BootFile>.bat") into the
// container's command line (4096 bytes), PATH line (2048) and working
// directory (2048).  Returns 1 when all three were read; otherwise writes the
// event 0xC0000003 saying why and returns 0.
int ReadStartScript(const char* serviceName, char* commandLine, char* pathLine,
                    char* workingDirectory, const ServiceConfig* config);

#endif
