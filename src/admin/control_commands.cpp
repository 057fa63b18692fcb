// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "admin/control_commands.h"

int RemoveServiceCommand(const char* serviceName)
{ return 0; }

int StartServiceCommand(const char* serviceName)
{ return 0; }

int StopServiceCommand(const char* serviceName)
{ return 0; }

int DumpServiceCommand(const char* serviceName)
{ return 0; }
