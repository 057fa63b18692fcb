// The service body: launch cycles of launcher and container.
#ifndef TALVEX_SERVICE_SUPERVISOR_H
#define TALVEX_SERVICE_SUPERVISOR_H

#include <stdint.h>

// Runs the service named argv[0] until the hosted system has ended for good or
// cannot be run.  Returns the service-specific exit code for the final
// STOPPED report: 0 after a requested stop or a normal end, otherwise the
// code the container announced, or 1 when the run failed without one.
uint32_t RunService(int argc, char** argv);
// Forgets the time limits' reference and the last run's record (its
// metrics file and figures): the start of a process.
void ResetSupervisor(void);

#endif
