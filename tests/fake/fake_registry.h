// Control API of the in-memory registry.
//
// The fake keeps one HKEY_LOCAL_MACHINE tree.  Key and value names compare
// without regard to case and keep the case they were created with, as on
// Windows.  A value is a type and the exact bytes stored (with or without a
// terminating NUL, as the writer chose).  Every key the logic opens or creates
// gets its own handle, so tests can check that a walk closed what it opened.
//
// Paths below are relative to HKEY_LOCAL_MACHINE, with backslashes:
// "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters".
#ifndef TALVEX_TESTS_FAKE_REGISTRY_H
#define TALVEX_TESTS_FAKE_REGISTRY_H

#include <stdint.h>

#include <string>
#include <vector>

// Creates the key and every missing key above it.
void fake_reg_create_key(const std::string& path);
// Stores a value with the exact bytes given (the key is created if missing).
void fake_reg_put(const std::string& path, const std::string& name, uint32_t type,
                  const std::string& bytes);
// Stores a REG_SZ text, with a terminating NUL when with_nul is set.
void fake_reg_put_sz(const std::string& path, const std::string& name, const std::string& text,
                     bool with_nul = false);
bool fake_reg_key_exists(const std::string& path);
// The type and bytes of a value; false when the key or value is missing.
bool fake_reg_get(const std::string& path, const std::string& name, uint32_t* type,
                  std::string* bytes);
// Names of the values and of the subkeys of a key, in creation order.
std::vector<std::string> fake_reg_value_names(const std::string& path);
std::vector<std::string> fake_reg_subkeys(const std::string& path);

// Handles the logic holds open right now (the root key is not counted).
int fake_reg_open_key_count();
// Paths of the keys behind those handles, for failure messages.
std::vector<std::string> fake_reg_open_key_paths();
// RegCloseKey calls on a handle that was not open (null, closed twice, or
// never handed out).  The root key may be closed; it is not counted.
int fake_reg_bad_close_count();
// Every path the logic asked RegOpenKeyExA or RegCreateKeyExA for, in order,
// whether or not the key existed, as "<parent path>\\<name>".
std::vector<std::string> fake_reg_requested_paths();

#endif
