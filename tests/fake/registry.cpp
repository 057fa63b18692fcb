// The registry: a tree of keys under HKEY_LOCAL_MACHINE, paths and value
// names kept in lower case, as the registry ignores their letter case.
#include "fake/state.h"

// Makes a key and every key above it.
static void make_key(const std::string& path)
{
    for (size_t end = path.find('\\'); end != std::string::npos; end = path.find('\\', end + 1))
        S.registry[path.substr(0, end)];
    S.registry[path];
}

static std::string key_path(RegKey parent, const char* name)
{
    Object* o = object(parent);
    return lower(o == nullptr ? std::string(name) : o->path + "\\" + name);
}

void fake_reg_put(const std::string& key, const std::string& name, uint32_t type, const std::string& data)
{
    make_key(lower(key));
    S.registry[lower(key)][lower(name)] = Value{type, data};
}

bool fake_reg_get(const std::string& key, const std::string& name, std::string* data, uint32_t* type)
{
    auto& values = S.registry[lower(key)];
    auto v = values.find(lower(name));
    if (v == values.end()) return false;
    *data = v->second.data;
    if (type != nullptr) *type = v->second.type;
    return true;
}

bool fake_reg_key_exists(const std::string& key) { return S.registry.count(lower(key)) != 0; }

RegKey plat_reg_root(void) { return nullptr; }

long plat_reg_open(RegKey parent, const char* name, RegKey* out)
{
    if (fails("RegOpenKeyExA")) return (long)last_error;
    std::string path = key_path(parent, name);
    if (S.registry.count(path) == 0) return PLAT_ERROR_FILE_NOT_FOUND;
    *out = new_handle(KEY, 0, false, path);
    return 0;
}

long plat_reg_create(RegKey parent, const char* name, RegKey* out)
{
    if (fails("RegCreateKeyExA")) return (long)last_error;
    make_key(key_path(parent, name));
    *out = new_handle(KEY, 0, false, key_path(parent, name));
    return 0;
}

long plat_reg_query(RegKey key, const char* name, uint32_t* type, void* buf, uint32_t* size)
{
    if (fails("RegQueryValueExA")) return (long)last_error;
    auto& values = S.registry[object(key)->path];
    auto it = values.find(lower(name));
    if (it == values.end()) return PLAT_ERROR_FILE_NOT_FOUND;
    *type = it->second.type;
    const std::string& data = it->second.data;
    bool fits = data.size() <= *size;
    if (fits) memcpy(buf, data.data(), data.size());
    *size = (uint32_t)data.size();
    return fits ? 0 : PLAT_ERROR_MORE_DATA;
}

long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    if (fails("RegSetValueExA")) return (long)last_error;
    if (object(key) == nullptr) return PLAT_ERROR_INVALID_HANDLE;
    S.registry[object(key)->path][lower(name)] = Value{type, std::string((const char*)data, size)};
    return 0;
}

long plat_reg_delete_key(RegKey parent, const char* name)
{
    if (fails("RegDeleteKeyA")) return (long)last_error;
    std::string path = key_path(parent, name);
    auto below = S.registry.upper_bound(path);
    if (S.registry.count(path) == 0) return PLAT_ERROR_FILE_NOT_FOUND;
    if (below != S.registry.end() && below->first.compare(0, path.size() + 1, path + "\\") == 0)
        return PLAT_ERROR_ACCESS_DENIED;
    S.registry.erase(path);
    return 0;
}

// The DACL is kept as the SDDL text, under the value name "(security)".
int plat_reg_protect(RegKey key, const char* sddl)
{
    if (fails("RegSetKeySecurity")) return 0;
    S.registry[object(key)->path]["(security)"] = Value{0, sddl};
    return 1;
}

int plat_grant_modify(const char* path, const char* sid)
{
    if (fails("SetNamedSecurityInfoA")) return 0;
    note("grant modify %s to %s", path, sid);
    return 1;
}

int plat_account_sid(const char* account, char* buf, uint32_t cap)
{
    return fails("LookupAccountNameA") ? 0 : (snprintf(buf, cap, "S-1-5-80-%s", account), 1);
}

void plat_reg_close(RegKey key) { (void)fails("RegCloseKey"), S.handles.erase((uintptr_t)key); }
