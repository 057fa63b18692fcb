// Application event log reporting under the service's own event source.
#ifndef TALVEX_DIAG_EVENT_LOG_H
#define TALVEX_DIAG_EVENT_LOG_H

#include <stdint.h>

// Event ids as laid out in talvexMSG.dll (severity in the top two bits:
// information events carry one insertion string, warnings and errors two).
enum : uint32_t {
    EVENT_CONTAINER_STARTED = 0x40000001u,   // information, 1 string
    EVENT_CONTAINER_ENDED = 0x40000002u,     // information, 1 string
    EVENT_CONTAINER_RESTART = 0x40000007u,   // information, 1 string
    EVENT_WARNING = 0x80000005u,             // warning, 2 strings
    EVENT_LAUNCH_FAILED = 0xC0000003u,       // error, 2 strings
    EVENT_CONTAINER_FAILED = 0xC0000004u,    // error, 2 strings
    EVENT_ERROR = 0xC0000006u,               // error, 2 strings
};

// Every id above, each with its text in res/talvex_msg.mc.
enum { EVENT_ID_COUNT = 7 };
extern const uint32_t EVENT_IDS[EVENT_ID_COUNT];

// Writes one event with the insertion strings [sourceName, text] (information
// events pass only the first).  Opens and closes its own source handle, so it
// may be called from any thread.  A failure drops the event silently.
void LogServiceEvent(const char* sourceName, const char* text, uint32_t eventId);
// In the console (-test), every event is also said on standard error as
// Event Viewer shows it: "<Level> <id>: <text>".
void EchoEventsToConsole(int on);

#endif
