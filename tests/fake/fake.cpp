// The in-memory platform's core (see fake.h and state.h): faults, the
// transcript, the handle table, the virtual clock and the reset.
#include <stdarg.h>

#include "fake/state.h"
#include "front/entry.h"

State fake::S;
uint32_t fake::last_error = 0;

static std::string mapped(std::string s, int (*map)(int))
{
    for (char& c : s) c = (char)map((unsigned char)c);
    return s;
}

std::string fake::lower(const std::string& s) { return mapped(s, tolower); }
std::string fake::upper(const std::string& s) { return mapped(s, toupper); }

bool fake::fails(const char* call)
{
    if (++S.counts[call] == 1) S.call_order.push_back(call);
    for (auto it = S.during.begin(); it != S.during.end(); ++it) {
        if (it->call != call || --it->nth > 0) continue;
        std::function<void()> fn = std::move(it->fn);
        S.during.erase(it);
        fn();
        break;
    }
    auto it = S.faults.find(call);
    if (it == S.faults.end() || --it->second.nth > 0) return false;
    last_error = it->second.error;
    if (!it->second.persistent) S.faults.erase(it);
    return true;
}

void fake::note(const char* fmt, ...)
{
    char line[16384];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    S.transcript += std::to_string(S.now) + " " + line + "\n";
}

std::string fake::quoted(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        char escape[8];
        snprintf(escape, sizeof escape, c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\x%02x", c);
        out += c < 32 || c == 127 ? std::string(escape) : std::string(1, (char)c);
    }
    return out + "\"";
}

PlatHandle fake::new_handle(Kind kind, int id, bool inheritable, const std::string& path)
{
    S.handles[S.next_handle] = Object{kind, id, inheritable, path};
    return (PlatHandle)(S.next_handle += 4, S.next_handle - 4);
}

Object* fake::object(void* handle)
{
    auto it = S.handles.find((uintptr_t)handle);
    return it == S.handles.end() ? nullptr : &it->second;
}

void fake::add_timer(uint64_t at, std::function<void()> fn) { S.timers.push_back(Timer{at, S.seq++, std::move(fn)}); }

bool fake::run_next_timer(uint64_t until)
{
    auto next = S.timers.end();
    for (auto it = S.timers.begin(); it != S.timers.end(); ++it)
        if (it->at <= until && (next == S.timers.end() || it->at < next->at || (it->at == next->at && it->seq < next->seq)))
            next = it;
    if (next == S.timers.end()) return false;
    Timer timer = std::move(*next);
    S.timers.erase(next);
    S.now = std::max(S.now, timer.at);
    timer.fn();
    return true;
}

void fake::advance_to(uint64_t until)
{
    if (until > TIME_CAP_MS) {
        fprintf(stderr, "fake: the virtual clock passed a week: the run never ends\n");
        abort();
    }
    while (run_next_timer(until)) {
    }
    S.now = std::max(S.now, until);
}

namespace {

// The calls a fault may be armed for: every name at a fails() call site.
const char* const KNOWN_CALLS[] = {
#include "fake_calls.inc"
};

// Faults armed to fire once that a reset found still waiting.
std::string Unfired;

void note_unfired()
{
    for (const auto& f : S.faults)
        if (!f.second.persistent) Unfired += f.first + " (call " + std::to_string(f.second.nth) + " from now) ";
}

}  // namespace

void fake_reset()
{
    ResetProcessState();
    note_unfired();
    S = State();
    fake_make_dir("C:\\svc");
    fake_set_env("PATH", "C:\\Windows\\system32");
    for (int i = 0; i < 3; ++i) S.std_handles[i] = new_handle(STD, i, false);
    last_error = 0;
    reset_console();
}

void fake_fail(const std::string& call, uint32_t error, int nth, bool persistent)
{
    bool known = false;
    for (const char* name : KNOWN_CALLS) known = known || call == name;
    if (!known) {
        fprintf(stderr, "fake: no call of the platform is named \"%s\"; nothing could fail\n", call.c_str());
        abort();
    }
    S.faults[call] = Fault{nth, error, persistent};
}

std::string fake_unfired_faults()
{
    note_unfired();
    S.faults.clear();
    std::string unfired = Unfired;
    Unfired.clear();
    return unfired;
}

std::vector<std::pair<std::string, int>> fake_calls()
{
    std::vector<std::pair<std::string, int>> calls;
    for (const std::string& name : S.call_order) calls.emplace_back(name, S.counts[name]);
    return calls;
}

uint32_t fake_largest_take() { return S.largest_take; }

std::string fake_transcript(bool timed)
{
    if (timed) return S.transcript;
    std::string out;
    for (size_t start = 0, end; start < S.transcript.size(); start = end) {
        size_t text = S.transcript.find(' ', start) + 1;
        end = S.transcript.find('\n', start) + 1;
        out.append(S.transcript, text, end - text);
    }
    return out;
}

void fake_at(uint64_t ms, std::function<void()> fn) { add_timer(ms, std::move(fn)); }

void fake_during(const std::string& call, int nth, std::function<void()> fn)
{
    S.during.push_back(State::During{call, nth, std::move(fn)});
}

void fake_kill_threads()
{
    for (Thread& t : S.threads) t.ended = true;
}

int fake_open_handles(bool pipes)
{
    int n = S.env_blocks;
    for (const auto& h : S.handles) n += h.second.kind != STD && (pipes || h.second.kind > PIPE_WRITE);
    return n;
}
