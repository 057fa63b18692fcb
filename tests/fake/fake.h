// The in-memory platform: every function of common/platform.h, defined over a
// virtual clock, a registry tree, a service manager, scripted child processes
// and pipes, so that whole runs of the logic are deterministic and fast.
//
// Every observable act of the logic (a status report, an event, a child
// started, ended or sent a request, a service manager request) is written as
// one line of a transcript, prefixed with the virtual time in milliseconds.
// Tests compare transcripts, console output and files with what the rules say.
// Texts are shown in double quotes with control characters escaped; a status
// report shows its service type only when it is not SERVICE_WIN32_OWN_PROCESS.
//
// Failure injection: fake_fail makes the nth call of a platform function
// (named by the Win32 call it stands for) fail with a chosen error, once or
// from then on.
#ifndef TALVEX_TESTS_FAKE_H
#define TALVEX_TESTS_FAKE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Puts the whole fake, and the logic's process-wide state (ResetProcessState),
// back to the start of a process: empty registry, no services, an empty
// scratch file system with the directory C:\svc, the wrapper's module path
// C:\talvex\talvex.exe with both libraries beside it, a console and the
// virtual clock at 0.
void fake_reset();

// The nth call of `call` from now (1 = the next one) fails with `error`; with
// persistent set, every call from then on fails.
// A name that no call of the fake's answers to ends the program, naming it.
void fake_fail(const std::string& call, uint32_t error, int nth = 1, bool persistent = false);
// The faults armed to fire once that have not fired (a reset keeps a note of
// those it drops), "" when all fired; they are forgotten.
std::string fake_unfired_faults();
// Every call name made since the reset with how often it was made.
std::vector<std::pair<std::string, int>> fake_calls();
// The most bytes any read of an output pipe without a look first asked for
// since the reset: the system touches every page such a read could fill.
uint32_t fake_largest_take();

// The transcript; without `timed`, its lines without their virtual times:
// what happened and in what order, for the tests whose subject is not time.
std::string fake_transcript(bool timed = true);
std::string fake_console();   // everything written through console_printf

// Registry values under HKEY_LOCAL_MACHINE; `key` is a path such as
// "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters".
void fake_reg_put(const std::string& key, const std::string& name, uint32_t type, const std::string& data);
bool fake_reg_get(const std::string& key, const std::string& name, std::string* data, uint32_t* type = nullptr);
bool fake_reg_key_exists(const std::string& key);

// Files, at Windows paths (case-insensitive, backslashes); parents are made.
// A file's last write time is the wall clock's time of its last write.
void fake_write_file(const std::string& path, const std::string& content);
void fake_make_dir(const std::string& path);
// Removes a file or a directory (with what it holds), as another program would.
void fake_remove(const std::string& path);
bool fake_read_file(const std::string& path, std::string* content);
// A file held open by another program, which shares it as `share` says
// (FILE_SHARE_READ 1, FILE_SHARE_WRITE 2; never FILE_SHARE_DELETE, whose
// holder follows the file and stands in nobody's way): renames from and onto
// it and its deletion fail with a sharing violation (32) until it is let go,
// and so do the opens that ask for what it does not share.
enum : uint32_t { FAKE_SHARE_READ = 1, FAKE_SHARE_WRITE = 2 };
void fake_hold_file(const std::string& path, bool held, uint32_t share = FAKE_SHARE_READ | FAKE_SHARE_WRITE);
// The names of the files and directories directly in a directory, in lower case.
std::vector<std::string> fake_list_dir(const std::string& path);
// A gzip file's text, "<not gzip>" when it is none.
std::string fake_gunzip(const std::string& data);
// Ends every thread that has not run yet without running it, as the end of
// a process ends them.
void fake_kill_threads();
// Runs fn inside the nth call of `call` from now, before the call does
// anything else, as another thread would that runs while the call waits.
void fake_during(const std::string& call, int nth, std::function<void()> fn);
// The room left on the disk for file writes (-1, the start: no end).
void fake_set_disk_space(int64_t bytes);
void fake_set_module_path(const std::string& path);
void fake_set_library(const std::string& name, const std::string& path);   // "" removes it
void fake_set_current_directory(const std::string& path);
void fake_set_env(const std::string& name, const char* value);            // null removes it
std::string fake_get_env(const std::string& name);
void fake_set_os_major(uint32_t major);

// Services known to the fake service manager.  A service whose state is not
// STOPPED does not take a start; one that is STOPPED takes no control.
// process_id: the process that runs it (FAKE_PROCESS_ID: the wrapper's own).
struct FakeService {
    std::string name, binary_path, display_name, dependencies, description, account = "LocalSystem";
    uint32_t type = 0, start_type = 0, error_control = 0, state = 1, sid_type = 0, process_id = 0;
    int failure_actions_flag = -1;
    uint32_t preshutdown_ms = 0;
};
const uint32_t FAKE_PROCESS_ID = 900;
FakeService* fake_service(const std::string& name);   // null when unknown
void fake_add_service(const std::string& name, uint32_t state);
// Makes plat_start_service_dispatcher run ServiceMain for `name`, as the
// service manager does for a started service, which it then knows to run in
// the wrapper's process (it is added when unknown); without it the call fails
// with 1063, as it does outside the service manager.  ServiceMain is given
// `ansi_name`, the name in the ANSI code page, when one is given.
void fake_start_as_service(const std::string& name, const std::string& ansi_name = "");
// The process's command line in its wide form, each word as UTF-8.  The
// fake's ANSI code page holds every character: a word that a test gives
// otherwise in the ANSI command line stands for one that a real code page
// cannot hold.
void fake_set_wide_command_line(const std::vector<std::string>& words);
// Calls the registered control handler (or the console handler for
// `console` set) at virtual time `ms`; the result goes to the transcript.
void fake_control_at(uint64_t ms, uint32_t control, bool console = false);

// A scripted child: what it does, step by step, made with the helpers below.
// Times count from its start (a child created suspended starts when it is
// resumed).  A child reads its standard input only when a step says so; what
// it does not read stays in the pipe, which holds 4096 bytes.
struct FakeStep {
    enum Kind { WRITE, WRITE_ERROR, END, READ, KEEP_WRITING, FILL_INPUT, ANSWER_LINE, ANSWER_BREAK } kind;
    uint64_t ms;
    std::string text, line;
    uint32_t number;   // the end's exit code, or the line feeds that fill the input
};
typedef std::vector<FakeStep> FakeScript;
// Writes text to its standard output, or to its standard error, at `ms`.
FakeStep writes(uint64_t ms, const std::string& text);
FakeStep writes_error(uint64_t ms, const std::string& text);
// Writes text at `ms` and again behind every read of it until it ends, as a
// child does that writes as fast as it is read (the fake aborts when that
// goes on for 100000 reads without a wait).
FakeStep keeps_writing(uint64_t ms, const std::string& text);
FakeStep ends_with(uint64_t ms, uint32_t code);
// Reads its standard input from `ms` on.
FakeStep reads_input(uint64_t ms = 0);
// At its start its standard input holds as many of `newlines` line feeds as
// fit, and it reads nothing until a reads_input step at a later time.
FakeStep fills_input(uint32_t newlines);
// Reads its input; when `line` arrives on it, whole, it writes text and ends
// with code 0, `ms` later.
FakeStep answers_line(const std::string& line, const std::string& text, uint64_t ms);
// Writes text when a Ctrl+Break reaches it.
FakeStep answers_break_with(const std::string& text);
// The scripts of the next children, in the order they are started.  A child
// without a script of its own ends at once with code 0.
void fake_children(const std::vector<FakeScript>& scripts);
// Every child whose command line holds `part` plays `script`, out of turn.
void fake_child_for(const std::string& part, const FakeScript& script);
// Open handles of the wrapper and environment blocks not given back, not
// counting the standard handles, nor pipe ends (the pipes live as long as the
// process) unless asked for.
int fake_open_handles(bool pipes = false);
// Children that are still running once the steps due now have run.
int fake_live_children();
// One line per child started: its command line, directory, the PATH it got,
// its creation flags, startup flags and window mode, whether its title is
// its command line, and whether it inherited handles.
std::string fake_child_details();
// Runs fn when the virtual clock reaches `ms`.
void fake_at(uint64_t ms, std::function<void()> fn);
// Steps the wall clock (not the tick counts) by `seconds`.
void fake_step_wall_clock(int64_t seconds);

#endif
