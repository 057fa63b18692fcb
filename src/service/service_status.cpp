// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "service/service_status.h"

ServiceStatusRecord ServiceStatus;
ControlRequests Requests;

int ReportServiceStatus(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint)
{ return 0; }

int IsVistaOrLater(void)
{ return 0; }

void ServiceMain(uint32_t argc, char** argv)
{}

uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context)
{ return 0; }

int ConsoleCtrlHandler(uint32_t ctrlType)
{ return 0; }

void ServiceStop(uint32_t controlCode)
{}

void ServiceRemove(void)
{}

void ServiceDump(void)
{}

void ResetServiceStatus(void)
{}
