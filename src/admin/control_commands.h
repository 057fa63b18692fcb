#ifndef TALVEX_ADMIN_CONTROL_COMMANDS_H
#define TALVEX_ADMIN_CONTROL_COMMANDS_H

// The four control commands; each returns 1 on success, 0 on refusal or
// failure.  A null name fails without asking the service manager.
int RemoveServiceCommand(const char* serviceName);
int StartServiceCommand(const char* serviceName);
int StopServiceCommand(const char* serviceName);
int DumpServiceCommand(const char* serviceName);

#endif
