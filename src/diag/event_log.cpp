// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "diag/event_log.h"

void LogServiceEvent(const char* sourceName, const char* text, uint32_t eventId)
{}

int AddEventSource(const char* serviceName)
{ return 0; }

int RemoveEventSource(const char* serviceName)
{ return 0; }
