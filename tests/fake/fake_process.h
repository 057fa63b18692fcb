// Control API of the in-memory platform: pipes, scripted child processes,
// threads, events, the environment, standard handles and the console.
//
// Handles.  Every pipe end, process, thread, event and standard handle that the
// fake hands out lives in one handle table, so a test can count the handles the
// logic left open and see whether it ever used a handle after closing it.
//
// Pipes are byte queues.  A read takes what is there, up to the size asked
// for; a write always lands whole unless a test makes it fail (fake_fail
// "WriteFile") or short (fake_short_write).  As on Windows, a pipe that holds
// nothing and has no write end left open anywhere reports ERROR_BROKEN_PIPE,
// and a write to a pipe whose read ends are all closed fails with
// ERROR_NO_DATA (232).  The fake cannot block: a read of an empty pipe whose
// writer is still open fails with ERROR_NO_DATA and is counted
// (fake_blocked_read_count), because on Windows it would have hung the caller.
//
// Children.  plat_create_process records everything it was given and starts a
// scripted child chosen by the test (fake_add_child / fake_set_default_child).
// A child inherits the pipe ends of its startup record only when handles are
// inherited, STARTF_USESTDHANDLES is set and the end is inheritable, as on
// Windows; what it writes to a stream it did not get is kept in lost_output.
// Its timed steps run when the virtual clock passes their time (fake_advance,
// plat_sleep, plat_wait).  Steps at 0 ms run at the next clock movement or
// wait, never inside plat_create_process, because a real child starts
// asynchronously.  Input written to its standard-input pipe reaches it at once
// when its script reads input, after every step that was due by then.  Ctrl+Break reaches it through
// plat_send_ctrl_break when the wrapper is attached to the child's console.
//
// plat_wait on a process (or its main thread) moves the clock from one
// scheduled child step to the next and stops early when the child ends.  A
// wait with INFINITE (0xFFFFFFFF) on something nothing will ever signal fails
// with PLAT_WAIT_FAILED and last error ERROR_TIMEOUT (1460) instead of hanging.
//
// Threads never run concurrently: plat_create_thread records the entry point,
// and the body runs, synchronously and to its end, when the thread is waited
// on or a test runs it (fake_run_thread, fake_run_threads).  A thread made
// while fake_threads_hang(true) is in force never runs: waits on it time out
// after moving the clock, until it is terminated.
//
// Events are manual-reset.  plat_wait on an event returns at once when it is
// set, and otherwise moves the clock by the timeout and reports a timeout.
//
// Consoles.  The wrapper starts with console 1 (fake_set_console(false) makes
// it a process without one, like a service).  A child shares the wrapper's
// console when it has one, else it gets a console of its own.  FreeConsole,
// AttachConsole and GenerateConsoleCtrlEvent follow the Windows rules:
// FreeConsole without a console fails with ERROR_INVALID_PARAMETER,
// AttachConsole while attached fails with ERROR_ACCESS_DENIED and to a process
// that has ended or does not exist with ERROR_INVALID_HANDLE, and a Ctrl+Break
// reaches only a live child whose pid is the group id and whose console is the
// wrapper's current one (else ERROR_INVALID_PARAMETER).
//
// Every plat_* function here first calls fake_should_fail with the name of the
// Win32 call it stands for: CreatePipe, DuplicateHandle, CloseHandle,
// PeekNamedPipe, ReadFile, WriteFile, GetStdHandle, SetStdHandle,
// CreateProcessA, TerminateProcess, GetExitCodeProcess, WaitForSingleObject,
// CreateThread, TerminateThread, CreateEventA, SetEvent, FreeConsole,
// AttachConsole, GenerateConsoleCtrlEvent, GetEnvironmentStrings,
// FreeEnvironmentStringsA, GetEnvironmentVariableA, SetEnvironmentVariableA,
// ExpandEnvironmentStringsA.
//
// fake_reset() empties all of it: no children, scripts, threads or pipes; the
// environment back to its default (see fake_env_defaults); console 1.
#ifndef TALVEX_TESTS_FAKE_PROCESS_H
#define TALVEX_TESTS_FAKE_PROCESS_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "common/platform.h"

enum : uint32_t { FAKE_INFINITE = 0xFFFFFFFFu, FAKE_STILL_ACTIVE = 259 };

struct FakeChild;

// What a scripted child does.  Build one with the chaining helpers, e.g.
//   FakeChildScript s;
//   s.out_at(0, "\b").exit_on_input("shutdown\n", 200, 0, "\a0\a");
struct FakeChildScript {
    struct Step {
        uint64_t at_ms;                            // after the child's start
        std::function<void(FakeChild&)> action;
    };
    struct Watch {
        std::string text;                          // fires once per occurrence in the input
        std::function<void(FakeChild&)> action;
    };

    std::vector<Step> steps;
    std::vector<Watch> watches;
    // Called with every chunk the child reads from its standard input, before
    // the watches look at it.
    std::function<void(FakeChild&, const std::string& chunk)> on_input;
    // Called when a Ctrl+Break reaches the child.
    std::function<void(FakeChild&)> on_ctrl_break;
    // Whether the child reads its standard input at all.  A child that does not
    // leaves what was written in the pipe (for the next child on that pipe).
    // Set by on_text, exit_on_input and reads_input.
    bool reads = false;

    FakeChildScript& at(uint64_t ms, std::function<void(FakeChild&)> action);
    FakeChildScript& out_at(uint64_t ms, const std::string& bytes);   // to its stdout
    FakeChildScript& err_at(uint64_t ms, const std::string& bytes);   // to its stderr
    FakeChildScript& exit_at(uint64_t ms, uint32_t code);
    // Reads and ignores its standard input.
    FakeChildScript& reads_input();
    // Runs action each time text appears in what the child has read.
    FakeChildScript& on_text(const std::string& text, std::function<void(FakeChild&)> action);
    // On text: writes reply to its stdout at once and exits with code after ms.
    FakeChildScript& exit_on_input(const std::string& text, uint64_t ms, uint32_t code,
                                   const std::string& reply);
    // On Ctrl+Break: writes bytes to its stdout.
    FakeChildScript& dump_on_break(const std::string& bytes);
};

// A launcher: after run_ms writes BEL <code> BEL to stdout and exits with code.
FakeChildScript fake_launcher_script(uint32_t code, uint64_t run_ms);
// A container: BS on stdout after up_ms; "shutdown\n" answered with BEL "0" BEL
// and an exit with code 0 after stop_ms; "Full thread dump\n" on Ctrl+Break.
FakeChildScript fake_container_script(uint64_t up_ms, uint64_t stop_ms);

// One child process, as created.  The script's actions receive it.
struct FakeChild {
    // What plat_create_process was given.
    uint32_t pid = 0;
    uint32_t tid = 0;
    std::string command_line;
    std::string current_directory;        // "" when none was given
    bool has_current_directory = false;
    std::string path;                     // the fake environment's PATH at creation
    bool path_defined = false;            // whether PATH existed then
    int inherit_handles = 0;
    uint32_t creation_flags = 0;
    PlatStartupInfo startup = {};
    std::string title;                    // copy of startup.title ("" when null)
    uint64_t start_ms = 0;
    uint32_t console = 0;                 // the console it runs in

    // What became of it.
    bool ended = false;
    bool terminated = false;              // ended by plat_terminate_process
    uint32_t exit_code = FAKE_STILL_ACTIVE;
    uint64_t end_ms = 0;
    std::string input;                    // every byte it read from stdin
    int ctrl_breaks = 0;                  // Ctrl+Break events that reached it
    std::string lost_output;              // written to a stream it did not get

    // For scripts.
    void write_out(const std::string& bytes);
    void write_err(const std::string& bytes);
    void exit(uint32_t code);
    // Runs action ms after now (inside a step: after the step's own time).
    void after(uint64_t ms, std::function<void(FakeChild&)> action);

    // Internal to the fake.
    FakeChildScript script;
    int in_pipe = -1, out_pipe = -1, err_pipe = -1;
};

// --- choosing children ----------------------------------------------------------

// The next process whose command line contains `match` runs `script` (rules are
// tried in the order added; a one-shot rule is used up by its child).  With
// every_time set the rule stays for all later matches.
void fake_add_child(const std::string& match, const FakeChildScript& script, bool every_time = false);
// The script of a child that no rule matches.  Without one such a child does
// nothing and never ends, like a hung program.
void fake_set_default_child(const FakeChildScript& script);

// --- children ---------------------------------------------------------------------

size_t fake_child_count();
FakeChild& fake_child(size_t index);             // in creation order
FakeChild* fake_child_by_pid(uint32_t pid);
FakeChild* fake_last_child();                    // null when none was created
// Runs the children's steps that are due, without moving the clock.
void fake_run_children();
// Every pid a Ctrl+Break was delivered to, in order.
std::vector<uint32_t> fake_ctrl_breaks_delivered();

// --- handles and pipes ------------------------------------------------------------

// Handles open in the wrapper (pipe ends, processes, threads, events), not
// counting the three standard handles of the process.
int fake_open_handle_count();
bool fake_handle_open(PlatHandle handle);
bool fake_handle_inheritable(PlatHandle handle);
// "pipe-read", "pipe-write", "process", "thread", "event", "std", or "" when
// the handle is not open.
std::string fake_handle_kind(PlatHandle handle);
// Calls that named a handle that was closed, never made, null or
// INVALID_HANDLE_VALUE (a double close shows up here).
int fake_bad_handle_count();
// Reads of an empty pipe that would have blocked the caller on Windows.
int fake_blocked_read_count();

// The bytes waiting in the pipe of either end, without taking them.
std::string fake_pipe_peek(PlatHandle end);
// Takes every byte waiting in the pipe of either end.
std::string fake_pipe_take(PlatHandle end);
// Puts bytes into the pipe of either end, as a writer would.
void fake_pipe_put(PlatHandle end, const std::string& bytes);
// Every byte ever written into the pipe of either end, read or not.
std::string fake_pipe_history(PlatHandle end);
// The buffer size asked for when the pipe was made.
uint32_t fake_pipe_buffer_size(PlatHandle end);
// The next write (to `handle`, or to any handle when null) transfers only
// `bytes` bytes and still reports success with that count.
void fake_short_write(uint32_t bytes, PlatHandle handle = nullptr);

// --- threads and events -------------------------------------------------------------

struct FakeThreadInfo {
    PlatHandle handle;         // as returned (may be closed since)
    PlatThreadFn fn;
    void* parameter;
    bool ran;                  // the body has run (to its end)
    bool ended;
    bool terminated;
    uint32_t exit_code;
};
size_t fake_thread_count();
FakeThreadInfo fake_thread(size_t index);        // in creation order
// Runs a thread's body now, to its end, if it has not run and is not ended.
// Returns false when there was nothing to run.
bool fake_run_thread(PlatHandle thread);
// Runs every thread that has not run yet.
void fake_run_threads();
// Threads created while set never run; waits on them time out.
void fake_threads_hang(bool hang);
bool fake_event_is_set(PlatHandle event);
// Called at the start of every plat_wait, before anything else (a test of a
// loop can set a stop flag from here after N waits).
void fake_on_wait(std::function<void(PlatHandle handle, uint32_t milliseconds)> hook);
// A plat_wait called after the virtual clock passed this many ms (one day
// unless set; 0 for no limit) prints why and aborts the test program: a
// polling loop that waits for a child that never ends would otherwise spin
// for ever.
void fake_set_runaway_limit(uint64_t ms);

// --- environment ----------------------------------------------------------------------

// After a reset: PATH=C:\Windows\system32;C:\Windows, SystemRoot=C:\Windows,
// ComSpec=C:\Windows\system32\cmd.exe.
void fake_env_defaults();
void fake_env_clear();
void fake_env_set(const std::string& name, const std::string& value);
void fake_env_remove(const std::string& name);
bool fake_env_has(const std::string& name);
std::string fake_env_get(const std::string& name);
// Blocks from plat_environment_block not yet given back.
int fake_env_blocks_outstanding();

// --- standard handles and console -------------------------------------------------------

// The current standard handle (as plat_get_std_handle gives it, without
// failure injection or counting).
PlatHandle fake_std_handle(int which);
// Bytes the wrapper wrote to one of its own original standard handles.
std::string fake_std_written(int which);
// Whether the wrapper has a console of its own at the start (default true).
void fake_set_console(bool has_console);
// The console the wrapper is attached to now; 0 for none.
uint32_t fake_console_id();

#endif
