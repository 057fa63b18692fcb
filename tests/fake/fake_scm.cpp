// In-memory service manager: the client side of the service control manager
// that the install and control commands use.
#include "fake/fake_scm.h"

#include <stdint.h>
#include <string.h>

#include <map>

#include "common/platform.h"
#include "fake/fake_core.h"

namespace {

enum {
    ERROR_INVALID_NAME = 123,
    ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061,
    ERROR_SERVICE_MARKED_FOR_DELETE = 1072,
    SERVICE_CONTROL_STOP = 1,
};

// An open handle: the manager, or one service by its key in the table.
struct FakeHandle {
    bool open;
    bool manager;
    std::string key;
};

std::map<std::string, FakeService> g_services;   // key: lower-case name
std::vector<FakeHandle> g_handles;               // handle value i+1 -> g_handles[i]
std::vector<FakeControl> g_controls;
uint32_t g_manager_access = 0;
uint32_t g_service_access = 0;

std::string lower(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

void scm_reset()
{
    g_services.clear();
    g_handles.clear();
    g_controls.clear();
    g_manager_access = 0;
    g_service_access = 0;
}

struct ScmRegistration {
    ScmRegistration() { fake_on_reset(scm_reset); }
} g_scm_registration;

ScHandle new_handle(bool manager, const std::string& key)
{
    g_handles.push_back(FakeHandle{true, manager, key});
    return (ScHandle)(uintptr_t)g_handles.size();
}

FakeHandle* find_handle(ScHandle handle)
{
    size_t index = (size_t)(uintptr_t)handle;
    if (index == 0 || index > g_handles.size() || !g_handles[index - 1].open) return nullptr;
    return &g_handles[index - 1];
}

bool is_manager(ScHandle handle)
{
    FakeHandle* h = find_handle(handle);
    return h != nullptr && h->manager;
}

// The service an open service handle stands for, or null with
// ERROR_INVALID_HANDLE as the last error.
FakeService* service_of(ScHandle handle)
{
    FakeHandle* h = find_handle(handle);
    if (h == nullptr || h->manager) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto it = g_services.find(h->key);
    if (it == g_services.end()) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

// The dependency list is a run of NUL-terminated names ended by an empty one.
std::string dependency_list(const char* deps)
{
    std::string list;
    if (deps == nullptr) return list;
    for (const char* p = deps; *p != '\0'; p += strlen(p) + 1) {
        if (!list.empty()) list += '\0';
        list += p;
    }
    return list;
}

void apply_config(FakeService& s, const PlatServiceConfig* cfg)
{
    s.service_type = cfg->service_type;
    s.start_type = cfg->start_type;
    s.error_control = cfg->error_control;
    if (cfg->binary_path != nullptr) s.binary_path = cfg->binary_path;
    if (cfg->dependencies != nullptr) s.dependencies = dependency_list(cfg->dependencies);
    if (cfg->display_name != nullptr) s.display_name = cfg->display_name;
}

}  // namespace

// --- control API -------------------------------------------------------------

FakeService& fake_scm_add_service(const std::string& name, uint32_t state)
{
    FakeService s;
    s.name = name;
    s.display_name = name;
    s.state = state;
    FakeService& stored = g_services[lower(name)];
    stored = s;
    return stored;
}

FakeService* fake_scm_service(const std::string& name)
{
    auto it = g_services.find(lower(name));
    return it == g_services.end() ? nullptr : &it->second;
}

void fake_scm_set_state(const std::string& name, uint32_t state)
{
    FakeService* s = fake_scm_service(name);
    if (s != nullptr) s->state = state;
}

std::vector<FakeControl> fake_scm_controls() { return g_controls; }

int fake_scm_open_handles()
{
    int count = 0;
    for (const FakeHandle& h : g_handles)
        if (h.open) ++count;
    return count;
}

uint32_t fake_scm_manager_access() { return g_manager_access; }

uint32_t fake_scm_service_access() { return g_service_access; }

// --- platform ------------------------------------------------------------------

ScHandle plat_open_sc_manager(uint32_t access)
{
    if (fake_should_fail("OpenSCManagerA")) return nullptr;
    g_manager_access = access;
    return new_handle(true, "");
}

ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access)
{
    if (fake_should_fail("OpenServiceA")) return nullptr;
    if (!is_manager(scm)) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name == nullptr) {
        plat_set_last_error(ERROR_INVALID_NAME);
        return nullptr;
    }
    FakeService* s = fake_scm_service(name);
    if (s == nullptr || s->deleted) {
        plat_set_last_error(PLAT_ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    g_service_access = access;
    return new_handle(false, lower(name));
}

ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access,
                             const PlatServiceConfig* cfg)
{
    if (fake_should_fail("CreateServiceA")) return nullptr;
    if (!is_manager(scm)) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name == nullptr || name[0] == '\0' || cfg == nullptr || cfg->binary_path == nullptr) {
        plat_set_last_error(name == nullptr || name[0] == '\0' ? (uint32_t)ERROR_INVALID_NAME
                                                                : (uint32_t)PLAT_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    FakeService* existing = fake_scm_service(name);
    if (existing != nullptr && !existing->deleted) {
        plat_set_last_error(PLAT_ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    FakeService& s = fake_scm_add_service(name, FAKE_SERVICE_STOPPED);
    s.display_name = name;
    apply_config(s, cfg);
    g_service_access = access;
    return new_handle(false, lower(name));
}

int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg)
{
    if (fake_should_fail("ChangeServiceConfigA")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    if (s->deleted) {
        plat_set_last_error(ERROR_SERVICE_MARKED_FOR_DELETE);
        return 0;
    }
    apply_config(*s, cfg);
    return 1;
}

int plat_set_service_description(ScHandle svc, const char* description)
{
    if (fake_should_fail("ChangeServiceConfig2A")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    s->has_description = true;
    s->description = description != nullptr ? description : "";
    return 1;
}

int plat_set_service_failure_actions_flag(ScHandle svc, int on_non_crash_failures)
{
    if (fake_should_fail("ChangeServiceConfig2A")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    s->failure_actions_flag_set = true;
    s->failure_actions_on_non_crash = on_non_crash_failures;
    return 1;
}

int plat_delete_service(ScHandle svc)
{
    if (fake_should_fail("DeleteService")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    if (s->deleted) {
        plat_set_last_error(ERROR_SERVICE_MARKED_FOR_DELETE);
        return 0;
    }
    s->deleted = true;
    return 1;
}

int plat_start_service(ScHandle svc)
{
    if (fake_should_fail("StartServiceA")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    ++s->start_requests;
    if (s->state != FAKE_SERVICE_STOPPED) {
        plat_set_last_error(PLAT_ERROR_SERVICE_ALREADY_RUNNING);
        return 0;
    }
    s->state = FAKE_SERVICE_START_PENDING;
    return 1;
}

int plat_control_service(ScHandle svc, uint32_t control)
{
    FakeHandle* h = find_handle(svc);
    FakeService* target = h != nullptr && !h->manager ? fake_scm_service(h->key) : nullptr;
    g_controls.push_back(FakeControl{target != nullptr ? target->name : std::string(), control});
    if (fake_should_fail("ControlService")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    switch (s->state) {
    case FAKE_SERVICE_STOPPED:
        plat_set_last_error(PLAT_ERROR_SERVICE_NOT_ACTIVE);
        return 0;
    case FAKE_SERVICE_START_PENDING:
    case FAKE_SERVICE_STOP_PENDING:
    case FAKE_SERVICE_CONTINUE_PENDING:
    case FAKE_SERVICE_PAUSE_PENDING:
        plat_set_last_error(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return 0;
    default:
        break;
    }
    if (control == SERVICE_CONTROL_STOP) s->state = FAKE_SERVICE_STOP_PENDING;
    return 1;
}

int plat_query_service_state(ScHandle svc, uint32_t* state)
{
    if (fake_should_fail("QueryServiceStatus")) return 0;
    FakeService* s = service_of(svc);
    if (s == nullptr) return 0;
    *state = s->state;
    return 1;
}

void plat_close_service_handle(ScHandle handle)
{
    if (fake_should_fail("CloseServiceHandle")) return;
    FakeHandle* h = find_handle(handle);
    if (h == nullptr) {
        plat_set_last_error(PLAT_ERROR_INVALID_HANDLE);
        return;
    }
    h->open = false;
}
