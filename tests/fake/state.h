// The in-memory platform's shared state and the helpers its files share.
// One file per area, named as the Win32 files are; each defines that area's
// platform functions and the fake_ functions that set it up or look into it.
// Everything runs on the calling thread: child steps, control requests and
// thread bodies run when the code waits or sleeps, at the virtual time they
// are due.
#ifndef TALVEX_TESTS_FAKE_STATE_H
#define TALVEX_TESTS_FAKE_STATE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "common/platform.h"
#include "fake/fake.h"

// The read end of an output pipe is an ordinary pipe handle of the fake's,
// not inheritable, behind the record.
struct PlatOutputPipe {
    PlatHandle handle;
};

namespace fake {

enum : uint32_t { ERROR_ENVVAR_NOT_FOUND = 203, ERROR_NO_DATA = 232 };
// A run that passes a week of virtual time never ends.
const uint64_t TIME_CAP_MS = 7ull * 24 * 3600 * 1000;

struct Fault { int nth; uint32_t error; bool persistent; };
struct Timer { uint64_t at, seq; std::function<void()> fn; };
// reader_child: the child that reads the pipe, if any.  A pipe made with
// the system's default size holds 4096 bytes; a larger size is not limited.
// `refill`: what the writing child writes again behind every read (a child
// that writes as fast as it is read); `refills_now` counts those of the
// current millisecond.
struct Pipe {
    std::string data, refill;
    size_t capacity;
    int readers = 1, writers = 1, reader_child = -1;
    bool watchable = false;
    uint64_t refill_ms = 0, refills_now = 0;
};
enum Kind { PIPE_READ, PIPE_WRITE, PROCESS, THREAD, EVENT, JOB, KEY, SC, SOURCE, LIB, STD, FILE_OUT, FILE_IN };
// id: the pipe, child, thread, event or job; path: the registry key, service, library or file.
// unread: what is left to read of a file opened for reading.
struct Object { Kind kind; int id; bool inheritable; std::string path; bool nowait = false; std::string unread = {}; };
struct Child {
    uint32_t pid, code = PLAT_STILL_ACTIVE;
    FakeScript script;
    int in = -1, out = -1, err = -1, job = -1;
    bool ended = false, reads = false, suspended = false;
    std::string input;
};
struct Thread { PlatThreadFn fn; void* parameter; bool ended; };
struct Value { uint32_t type; std::string data; };
// last_write: the wall clock's time (plat_time_seconds) of the file's last write.
struct Entry { bool directory; std::string data; int64_t last_write = 0; };

struct State {
    // Faults to inject, and the calls made.
    std::map<std::string, Fault> faults;
    std::map<std::string, int> counts;
    std::vector<std::string> call_order;
    // The clock and what is due on it.
    uint64_t now = 0, seq = 0;
    // Waits in a row that found the clock where the one before left it.
    uint64_t waits_at_instant = 0, instant = 0;
    // The most bytes a read of an output pipe without a look asked for.
    uint32_t largest_take = 0;
    int64_t wall_step = 0;
    std::vector<Timer> timers;
    std::string transcript, child_details;
    std::map<uintptr_t, Object> handles;
    uintptr_t next_handle = 0x100;
    // Processes, pipes, threads, events.
    std::vector<Pipe> pipes;
    std::deque<PlatOutputPipe> output_pipes;   // records live until the reset, as a process's would
    std::vector<Child> children;
    std::vector<FakeScript> scripts;
    size_t next_script = 0;
    std::vector<std::pair<std::string, FakeScript>> scripts_by_command;
    std::vector<Thread> threads;
    std::vector<bool> events;
    int jobs = 0;
    PlatHandle std_handles[3] = {};
    uint32_t attached = 1;   // the process whose console the wrapper is attached to (1: its own)
    // The registry (lower-case paths and names) and the service manager.
    std::map<std::string, std::map<std::string, Value>> registry;
    std::vector<FakeService> services;
    std::string service_to_start, ansi_service_name;
    std::vector<std::string> wide_command_line;
    PlatControlHandlerFn handler = nullptr;
    PlatConsoleHandlerFn console_handler = nullptr;
    uint32_t os_major = 6;
    // The environment: upper-case name -> name, value.
    std::map<std::string, std::pair<std::string, std::string>> env;
    int env_blocks = 0;
    // The files and directories at their full paths (full_path), free space
    // (-1: no end), and the files held open by another program.
    std::string module_path = "C:\\talvex\\talvex.exe", current_directory = "C:\\svc";
    std::map<std::string, std::string> libraries = {{"talvexmsg.dll", "C:\\talvex\\talvexMSG.dll"},
                                                    {"talvexutil.dll", "C:\\talvex\\talvexUtil.dll"}};
    std::map<std::string, Entry> files;
    int64_t disk_space = -1;
    std::map<std::string, uint32_t> held;   // full path -> what its holder shares
    // What runs inside a call (fake_during): the call, how many calls from now.
    struct During { std::string call; int nth; std::function<void()> fn; };
    std::vector<During> during;
};

extern State S;
extern uint32_t last_error;

std::string lower(const std::string& s);
std::string upper(const std::string& s);
// Counts the call and answers whether it must fail (with the last error set).
bool fails(const char* call);
// A line of the transcript, behind the virtual time.
void note(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A text in double quotes, with line ends and other control characters
// shown as escapes.
std::string quoted(const std::string& text);
PlatHandle new_handle(Kind kind, int id, bool inheritable, const std::string& path = "");
Object* object(void* handle);

// The clock: runs what is due up to `until` and moves there (aborting a run
// that passes the time cap); run_next_timer runs the earliest timer due by
// `until` and is false when there is none.
void add_timer(uint64_t at, std::function<void()> fn);
bool run_next_timer(uint64_t until);
void advance_to(uint64_t until);

// Scripted children (children.cpp).
const FakeScript& script_for(const char* command_line);
// Sets a child's timed steps running from now (its start, or its
// resumption when created suspended).
void child_start(int index);
void child_end(Child& child, uint32_t code);
// The child reads what waits on its standard input and answers the lines its
// script answers.
void child_read(int index);
void child_break(Child& child);
Child* child_of(PlatHandle handle);

// Pipes and waits (process.cpp).
int make_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size, bool watchable);
// Waits on the objects; returns PLAT_WAIT_OBJECT_0 plus the index of the
// first one signalled, or a PLAT_WAIT_ code.
uint32_t wait_objects(std::vector<PlatHandle> handles, uint32_t milliseconds);

// Files (files.cpp): a write to the end of a file (at its full path) within
// the room the disk has left.
int write_to_disk(const std::string& full, const void* buf, uint32_t size, uint32_t* written);
// The console output is captured afresh at each reset.
void reset_console();

}  // namespace fake

// The fake's own files use these names as their own.
using namespace fake;

#endif
