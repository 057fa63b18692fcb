// Application event log reporting under the service's own event source.
#ifndef TALVEX_DIAG_EVENT_LOG_H
#define TALVEX_DIAG_EVENT_LOG_H

#include <stdint.h>

// Event ids as laid out in talvexMSG.dll (severity in the top two bits).
enum : uint32_t {
    EVENT_CONTAINER_STARTED = 0x40000001u,   // information, 1 string
    EVENT_CONTAINER_ENDED = 0x40000002u,     // information, 1 string
    EVENT_CONTAINER_RESTART = 0x40000007u,   // information, 1 string
    EVENT_WARNING = 0x80000005u,             // warning, 2 strings
    EVENT_LAUNCH_FAILED = 0xC0000003u,       // error, 2 strings
    EVENT_CONTAINER_FAILED = 0xC0000004u,    // error, 2 strings
    EVENT_ERROR = 0xC0000006u,               // error, 2 strings
};

// Writes one event with the insertion strings [sourceName, text] (information
// events pass only the first).  Opens and closes its own source handle, so it
// may be called from any thread.  A failure drops the event silently.
void LogServiceEvent(const char* sourceName, const char* text, uint32_t eventId);
// Registers serviceName as an Application event source with the message DLL
// found by the install options.  Prints its own message on failure.
int AddEventSource(const char* serviceName);
// Deletes serviceName's Application event source.  Prints its own message on
// failure.
int RemoveEventSource(const char* serviceName);

#endif
