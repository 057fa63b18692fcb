// Control API of the in-memory platform: the parts every area shares.
//
//  - Failure injection: make a named platform call (named by the Win32 call it
//    stands for, e.g. "RegOpenKeyExA", "CreatePipe") fail with a chosen error
//    code, once at its Nth call from now, or from its Nth call on.
//  - A virtual clock: wall-clock seconds, the tick count and Sleep all read one
//    millisecond counter that only moves when the code sleeps or waits, or a
//    test advances it.
//  - A virtual file system with Windows path rules (case-insensitive, "\"
//    separators, "." components and doubled separators ignored).
//  - Module paths, libraries, the current directory and system message texts.
//
// fake_reset() puts every area of the fake (and the logic's process-wide
// variables that tests touch) back to a clean state.
#ifndef TALVEX_TESTS_FAKE_CORE_H
#define TALVEX_TESTS_FAKE_CORE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Resets every area of the fake.  Areas register their own reset with
// fake_on_reset (from a static initialiser in their file).
void fake_reset();
void fake_on_reset(void (*reset)());

// --- failure injection -----------------------------------------------------

// The nth call of `call` from now (1 = the next one) fails with `error`; with
// persistent set, every call from that one on fails.
void fake_fail(const char* call, uint32_t error, int nth = 1, bool persistent = false);
// For the fake's own implementations: counts the call and returns true (with
// the last error set) when it must fail.
bool fake_should_fail(const char* call);
// How often `call` was made since the last reset.
int fake_call_count(const char* call);
// Every call name seen since the last reset, in first-seen order.
std::vector<std::string> fake_calls_seen();

// --- virtual clock -----------------------------------------------------------

// Milliseconds since the fake's epoch.
uint64_t fake_now_ms();
// Sets the wall clock: seconds since 1970 at the current instant.
void fake_set_wall_clock(int64_t seconds);
// Sets the tick count at the current instant (for wrap tests).
void fake_set_tick(uint32_t tick);
// Moves the clock forward, running every advance hook (scripted children).
void fake_advance(uint64_t ms);
// Hooks called after the clock moved (the process area runs its children).
void fake_on_advance(void (*hook)(uint64_t now_ms));

// --- files -----------------------------------------------------------------

void fake_fs_mkdir(const std::string& path);
void fake_fs_write(const std::string& path, const std::string& content);
bool fake_fs_exists(const std::string& path);
// Contents of a file; a file open for writing is flushed first.
std::string fake_fs_read(const std::string& path);
void fake_fs_remove(const std::string& path);
// The line end plat_text_line_end reports ("\n" unless set).
void fake_set_text_line_end(const char* line_end);

// --- modules, libraries, current directory, messages -------------------------

void fake_set_module_path(const std::string& path);
// A library that plat_load_library finds by its bare name.
void fake_add_library(const std::string& name, const std::string& full_path);
void fake_set_current_directory(const std::string& path);
// Overrides (or with an empty text removes) the system text of a code.
void fake_set_system_message(uint32_t code, const std::string& text);

#endif
