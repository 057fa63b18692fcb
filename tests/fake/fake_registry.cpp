// In-memory registry: one HKEY_LOCAL_MACHINE tree, open-key handles and the
// Win32 error codes the registry API returns.
#include "fake/fake_registry.h"

#include <string.h>

#include <map>
#include <memory>
#include <mutex>

#include "common/platform.h"
#include "fake/fake_core.h"

namespace {

enum {
    ERROR_BAD_PATHNAME = 161,
    ERROR_KEY_DELETED = 1018,
};

struct Value {
    std::string name;
    uint32_t type;
    std::string bytes;
};

struct Node {
    std::string name;   // as created
    std::string path;   // from the root, as created ("" for the root)
    std::vector<std::shared_ptr<Node>> children;
    std::vector<Value> values;
    bool deleted = false;
};

// The value HKEY_LOCAL_MACHINE has on Windows; any non-null constant would do.
RegKey const kRootHandle = (RegKey)(uintptr_t)0x80000002u;

std::recursive_mutex g_lock;
std::shared_ptr<Node> g_root;
std::map<uintptr_t, std::shared_ptr<Node>> g_handles;
uintptr_t g_next_handle = 0x1000;
int g_bad_closes = 0;
std::vector<std::string> g_requested;

bool same_name(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'A' && ca <= 'Z') ca = (char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (char)(cb - 'A' + 'a');
        if (ca != cb) return false;
    }
    return true;
}

void registry_reset()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_root = std::make_shared<Node>();
    g_handles.clear();
    g_next_handle = 0x1000;
    g_bad_closes = 0;
    g_requested.clear();
}

struct RegistryRegistration {
    RegistryRegistration()
    {
        registry_reset();
        fake_on_reset(registry_reset);
    }
} g_registry_registration;

std::shared_ptr<Node> child_of(const std::shared_ptr<Node>& node, const std::string& name)
{
    for (auto& c : node->children)
        if (same_name(c->name, name)) return c;
    return nullptr;
}

Value* value_of(Node& node, const std::string& name)
{
    for (auto& v : node.values)
        if (same_name(v.name, name)) return &v;
    return nullptr;
}

// Splits a subkey path at its backslashes.  A leading backslash is refused as
// Windows does; an empty path names the key itself.
bool split_path(const std::string& path, std::vector<std::string>* parts)
{
    if (!path.empty() && path[0] == '\\') return false;
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            if (!cur.empty()) parts->push_back(cur);
            cur.clear();
        } else {
            cur += path[i];
        }
    }
    return true;
}

// Follows (and, with create set, makes) a path below a node.
std::shared_ptr<Node> walk(std::shared_ptr<Node> node, const std::vector<std::string>& parts,
                           bool create)
{
    for (const auto& part : parts) {
        std::shared_ptr<Node> next = child_of(node, part);
        if (!next) {
            if (!create) return nullptr;
            next = std::make_shared<Node>();
            next->name = part;
            next->path = node->path.empty() ? part : node->path + "\\" + part;
            node->children.push_back(next);
        }
        node = next;
    }
    return node;
}

std::shared_ptr<Node> node_at(const std::string& path, bool create)
{
    std::vector<std::string> parts;
    if (!split_path(path, &parts)) return nullptr;
    return walk(g_root, parts, create);
}

// The node behind a handle, or null with the error code to return.
std::shared_ptr<Node> from_handle(RegKey key, long* error)
{
    if (key == kRootHandle) return g_root;
    auto it = g_handles.find((uintptr_t)key);
    if (it == g_handles.end()) {
        *error = PLAT_ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (it->second->deleted) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return it->second;
}

RegKey new_handle(const std::shared_ptr<Node>& node)
{
    uintptr_t id = g_next_handle;
    g_next_handle += 8;
    g_handles[id] = node;
    return (RegKey)id;
}

long open_or_create(const char* call, RegKey parent, const char* name, RegKey* out, bool create)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (out) *out = nullptr;
    long error = 0;
    std::shared_ptr<Node> base = from_handle(parent, &error);
    std::string subkey = name ? name : "";
    if (base) g_requested.push_back(base->path.empty() ? subkey : base->path + "\\" + subkey);
    if (fake_should_fail(call)) return (long)plat_get_last_error();
    if (!base) return error;
    if (out == nullptr) return PLAT_ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    if (!split_path(subkey, &parts)) return ERROR_BAD_PATHNAME;
    std::shared_ptr<Node> node = walk(base, parts, create);
    if (!node) return PLAT_ERROR_FILE_NOT_FOUND;
    *out = new_handle(node);
    return 0;
}

}  // namespace

// --- control API -------------------------------------------------------------

void fake_reg_create_key(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    node_at(path, true);
}

void fake_reg_put(const std::string& path, const std::string& name, uint32_t type,
                  const std::string& bytes)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::shared_ptr<Node> node = node_at(path, true);
    if (!node) return;
    if (Value* v = value_of(*node, name)) {
        v->type = type;
        v->bytes = bytes;
    } else {
        node->values.push_back(Value{name, type, bytes});
    }
}

void fake_reg_put_sz(const std::string& path, const std::string& name, const std::string& text,
                     bool with_nul)
{
    std::string bytes = text;
    if (with_nul) bytes.push_back('\0');
    fake_reg_put(path, name, PLAT_REG_SZ, bytes);
}

bool fake_reg_key_exists(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return node_at(path, false) != nullptr;
}

bool fake_reg_get(const std::string& path, const std::string& name, uint32_t* type,
                  std::string* bytes)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::shared_ptr<Node> node = node_at(path, false);
    if (!node) return false;
    Value* v = value_of(*node, name);
    if (!v) return false;
    if (type) *type = v->type;
    if (bytes) *bytes = v->bytes;
    return true;
}

std::vector<std::string> fake_reg_value_names(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::vector<std::string> names;
    if (std::shared_ptr<Node> node = node_at(path, false))
        for (auto& v : node->values) names.push_back(v.name);
    return names;
}

std::vector<std::string> fake_reg_subkeys(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::vector<std::string> names;
    if (std::shared_ptr<Node> node = node_at(path, false))
        for (auto& c : node->children) names.push_back(c->name);
    return names;
}

int fake_reg_open_key_count()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return (int)g_handles.size();
}

std::vector<std::string> fake_reg_open_key_paths()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::vector<std::string> paths;
    for (auto& h : g_handles) paths.push_back(h.second->path);
    return paths;
}

int fake_reg_bad_close_count()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_bad_closes;
}

std::vector<std::string> fake_reg_requested_paths()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_requested;
}

// --- platform ----------------------------------------------------------------

RegKey plat_reg_root(void) { return kRootHandle; }

long plat_reg_open(RegKey parent, const char* name, RegKey* out)
{
    return open_or_create("RegOpenKeyExA", parent, name, out, false);
}

long plat_reg_create(RegKey parent, const char* name, RegKey* out)
{
    return open_or_create("RegCreateKeyExA", parent, name, out, true);
}

long plat_reg_query(RegKey key, const char* name, void* buf, uint32_t* size)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (fake_should_fail("RegQueryValueExA")) return (long)plat_get_last_error();
    long error = 0;
    std::shared_ptr<Node> node = from_handle(key, &error);
    if (!node) return error;
    Value* v = value_of(*node, name ? name : "");
    if (!v) return PLAT_ERROR_FILE_NOT_FOUND;
    uint32_t capacity = size ? *size : 0;
    uint32_t stored = (uint32_t)v->bytes.size();
    if (size) *size = stored;
    if (buf == nullptr) return 0;   // a size query
    if (size == nullptr) return PLAT_ERROR_INVALID_PARAMETER;
    if (stored > capacity) {
        // Windows leaves the buffer undefined here.  Fill it with non-NUL
        // bytes so that logic relying on its contents shows up in the tests.
        memset(buf, 'X', capacity);
        return PLAT_ERROR_MORE_DATA;
    }
    memcpy(buf, v->bytes.data(), stored);
    return 0;
}

long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (fake_should_fail("RegSetValueExA")) return (long)plat_get_last_error();
    long error = 0;
    std::shared_ptr<Node> node = from_handle(key, &error);
    if (!node) return error;
    if (data == nullptr && size != 0) return PLAT_ERROR_INVALID_PARAMETER;
    std::string bytes = size ? std::string((const char*)data, size) : std::string();
    std::string value_name = name ? name : "";
    if (Value* v = value_of(*node, value_name)) {
        v->type = type;
        v->bytes = bytes;
    } else {
        node->values.push_back(Value{value_name, type, bytes});
    }
    return 0;
}

long plat_reg_delete_key(RegKey parent, const char* name)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (fake_should_fail("RegDeleteKeyA")) return (long)plat_get_last_error();
    long error = 0;
    std::shared_ptr<Node> base = from_handle(parent, &error);
    if (!base) return error;
    std::vector<std::string> parts;
    if (!name || !split_path(name, &parts)) return ERROR_BAD_PATHNAME;
    if (parts.empty()) return PLAT_ERROR_INVALID_PARAMETER;
    std::vector<std::string> above(parts.begin(), parts.end() - 1);
    std::shared_ptr<Node> holder = walk(base, above, false);
    std::shared_ptr<Node> node = holder ? child_of(holder, parts.back()) : nullptr;
    if (!node) return PLAT_ERROR_FILE_NOT_FOUND;
    // RegDeleteKeyA deletes only a key without subkeys.
    if (!node->children.empty()) return PLAT_ERROR_ACCESS_DENIED;
    node->deleted = true;
    for (auto it = holder->children.begin(); it != holder->children.end(); ++it) {
        if (*it == node) {
            holder->children.erase(it);
            break;
        }
    }
    return 0;
}

void plat_reg_close(RegKey key)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    (void)fake_should_fail("RegCloseKey");
    if (key == kRootHandle) return;
    auto it = g_handles.find((uintptr_t)key);
    if (it == g_handles.end()) {
        ++g_bad_closes;
        return;
    }
    g_handles.erase(it);
}
