// In-memory event log: RegisterEventSourceA, ReportEventA and
// DeregisterEventSource, with a record of every event that was reported.
#include "fake/fake_eventlog.h"

#include <mutex>

#include "common/platform.h"
#include "fake/fake_core.h"

namespace {

struct Source {
    std::string name;
    bool open;
};

// LogServiceEvent may be called from any thread, so the record is guarded.
std::mutex g_lock;
std::vector<Source> g_sources;   // handle i+1 is g_sources[i]
std::vector<FakeEvent> g_events;

void eventlog_reset()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_sources.clear();
    g_events.clear();
}

struct Registration {
    Registration() { fake_on_reset(eventlog_reset); }
} g_registration;

// The open source behind a handle, or null for a handle that was never
// given out or has been closed.
Source* find_open(EventSource handle)
{
    size_t index = (size_t)(uintptr_t)handle;
    if (index == 0 || index > g_sources.size()) return nullptr;
    Source* s = &g_sources[index - 1];
    return s->open ? s : nullptr;
}

}  // namespace

// --- control API -------------------------------------------------------------

std::vector<FakeEvent> fake_events()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_events;
}

std::vector<FakeEvent> fake_events_with_id(uint32_t id)
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<FakeEvent> out;
    for (const FakeEvent& e : g_events)
        if (e.id == id) out.push_back(e);
    return out;
}

void fake_clear_events()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_events.clear();
}

int fake_event_sources_opened()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return (int)g_sources.size();
}

int fake_event_sources_open()
{
    std::lock_guard<std::mutex> hold(g_lock);
    int open = 0;
    for (const Source& s : g_sources)
        if (s.open) ++open;
    return open;
}

// --- platform ------------------------------------------------------------------

EventSource plat_register_event_source(const char* source)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (fake_should_fail("RegisterEventSourceA")) return nullptr;
    if (source == nullptr) {
        plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    g_sources.push_back(Source{source, true});
    return (EventSource)(uintptr_t)g_sources.size();
}

int plat_report_event(EventSource source, uint16_t type, uint32_t event_id, uint16_t count,
                      const char** strings)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (fake_should_fail("ReportEventA")) return 0;
    Source* s = find_open(source);
    if (s == nullptr) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return 0;
    }
    FakeEvent e;
    e.source = s->name;
    e.type = type;
    e.id = event_id;
    for (uint16_t i = 0; i < count; ++i) {
        if (strings == nullptr || strings[i] == nullptr) {
            plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
            return 0;
        }
        e.strings.push_back(strings[i]);
    }
    g_events.push_back(e);
    return 1;
}

void plat_deregister_event_source(EventSource source)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (fake_should_fail("DeregisterEventSource")) return;
    Source* s = find_open(source);
    if (s == nullptr) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return;
    }
    s->open = false;
}
