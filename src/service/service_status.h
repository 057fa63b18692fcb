// The service side that faces the Service Control Manager: the one status
// record of the process, the report operation, the control handlers and the
// request flags they leave for the supervisor.
#ifndef TALVEX_SERVICE_SERVICE_STATUS_H
#define TALVEX_SERVICE_SERVICE_STATUS_H

#include <stdint.h>

#include <atomic>

#include "common/platform.h"

// The wait hint of every pending report the service makes itself.
enum : uint32_t { STATUS_WAIT_HINT_MS = 15000 };

enum : uint32_t { CONSOLE_SHUTDOWN_EVENT = 6 };

struct ServiceStatusRecord {
    PlatServiceStatus status;
    StatusHandle handle;         // null until ServiceMain registers (and in -test)
    uint32_t checkpointCounter;  // the checkpoint the next pending report carries
    uint32_t vistaOrLater;
};

// The handlers store 1; the supervisor takes a request with an exchange, so
// that one that arrives again while it is taken up merges with it.
struct ControlRequests {
    std::atomic<uint32_t> StopRequested;
    std::atomic<uint32_t> DumpRequested;
    // Set after either flag, so that the supervisor, which waits on it
    // together with its child, takes the request up at once.  Null outside a
    // run (and when it could not be made: requests then wait for a poll).
    PlatHandle Wake;
};

extern ServiceStatusRecord ServiceStatus;
extern ControlRequests Requests;

// Sends state, exit code and wait hint by the checkpoint rule; serialised
// between the handler thread and the service thread.  Returns SetServiceStatus'
// result.
int ReportServiceStatus(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint);
// The final STOPPED report of ServiceMain.  A service-specific exit code of 0
// reports success; any other is sent as ERROR_SERVICE_SPECIFIC_ERROR (1066)
// with the code in dwServiceSpecificExitCode, so that a failed run is never
// shown as a clean stop.
int ReportServiceStopped(uint32_t serviceExitCode);
int IsVistaOrLater(void);
// Takes the status handle that ServiceMain registered and sends the first
// START_PENDING report, with the fields only the service's start sets.
int BeginServiceStatus(StatusHandle handle);
uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context);
int ConsoleCtrlHandler(uint32_t ctrlType);
void ServiceStop(uint32_t controlCode);
void ServiceRemove(void);
void ServiceDump(void);
// Makes and closes the wake event for a run; the control handlers may set it
// from their own thread at any moment in between.
void OpenRequestWake(void);
void CloseRequestWake(void);
// Puts the record, the counter and the flags back to their process-start values.
void ResetServiceStatus(void);

#endif
