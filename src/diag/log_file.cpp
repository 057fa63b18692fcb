// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "diag/log_file.h"

FILE* LogFile = nullptr;
uint32_t DebugEnabled = 0;

void OpenLogFile(const char* directory, const char* serviceName)
{}

void DumpServiceConfig(const ServiceConfig* config)
{}

void log_always(const char* fmt, ...)
{}

void log_debug(const char* fmt, ...)
{}

void log_always_to(FILE* stream, const char* fmt, ...)
{}

void log_raw(const void* bytes, size_t count)
{}
