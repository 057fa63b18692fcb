// Control API of the in-memory event log.
//
// Every ReportEventA that reaches an open source is recorded with the source
// name it was opened under, its type, id and insertion strings, in order.
// Failure injection comes from fake_core under the Win32 call names
// "RegisterEventSourceA", "ReportEventA" and "DeregisterEventSource"; a
// report that fails is not recorded.
#ifndef TALVEX_TESTS_FAKE_EVENTLOG_H
#define TALVEX_TESTS_FAKE_EVENTLOG_H

#include <stdint.h>

#include <string>
#include <vector>

struct FakeEvent {
    std::string source;                 // the name RegisterEventSourceA was given
    uint16_t type;                      // 1 error, 2 warning, 4 information
    uint32_t id;
    std::vector<std::string> strings;   // exactly the count that was passed
};

// Every recorded event since the last reset, oldest first.
std::vector<FakeEvent> fake_events();
// The recorded events with one id, oldest first.
std::vector<FakeEvent> fake_events_with_id(uint32_t id);
// Forgets the recorded events (sources stay as they are).
void fake_clear_events();
// Sources registered since the last reset, successful opens only.
int fake_event_sources_opened();
// Sources registered and not yet deregistered.
int fake_event_sources_open();

#endif
