// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "service/start_script.h"

int ReadStartScript(const char* serviceName, char* commandLine, char* pathLine, char* workingDirectory, const ServiceConfig* config)
{ return 0; }
