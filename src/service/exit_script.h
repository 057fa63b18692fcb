// The exit hook: exit.bat in the working directory, started when the
// service ends.
#ifndef TALVEX_SERVICE_EXIT_SCRIPT_H
#define TALVEX_SERVICE_EXIT_SCRIPT_H

// Starts exit.bat through the system's cmd.exe, in no job and not waited
// for, when the working directory holds one.  A script that cannot be looked
// for or started is an error event of the service's.
void RunExitScript(const char* serviceName, const char* workingDirectory);

#endif
