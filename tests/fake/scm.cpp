// The service manager as its clients see it: the services it knows, their
// configuration, and the requests made of it (written to the transcript).
#include "fake/state.h"

static FakeService* service_of(ScHandle handle) { return fake_service(object(handle)->path); }

static void apply_config(FakeService* s, const PlatServiceConfig* cfg)
{
    s->type = cfg->service_type;
    s->start_type = cfg->start_type;
    s->error_control = cfg->error_control;
    s->binary_path = cfg->binary_path;
    s->display_name = cfg->display_name;
    s->dependencies = std::string(cfg->dependencies, strlen(cfg->dependencies) + 1);
    if (cfg->account != nullptr) s->account = cfg->account;
}

FakeService* fake_service(const std::string& name)
{
    for (FakeService& s : S.services)
        if (lower(s.name) == lower(name)) return &s;
    return nullptr;
}

void fake_add_service(const std::string& name, uint32_t state)
{
    S.services.emplace_back();
    S.services.back().name = name;
    S.services.back().state = state;
}

void fake_set_wide_command_line(const std::vector<std::string>& words) { S.wide_command_line = words; }

ScHandle plat_open_sc_manager(uint32_t access) { return fails("OpenSCManagerA") ? nullptr : new_handle(SC, 0, false); }

ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access)
{
    if (fails("OpenServiceA")) return nullptr;
    if (fake_service(name) == nullptr) return last_error = PLAT_ERROR_SERVICE_DOES_NOT_EXIST, nullptr;
    return new_handle(SC, 0, false, fake_service(name)->name);
}

ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access, const PlatServiceConfig* cfg)
{
    if (fails("CreateServiceA")) return nullptr;
    if (fake_service(name) != nullptr) return last_error = PLAT_ERROR_SERVICE_EXISTS, nullptr;
    fake_add_service(name, SERVICE_STATE_STOPPED);
    apply_config(fake_service(name), cfg);
    return new_handle(SC, 0, false, name);
}

int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg)
{
    return fails("ChangeServiceConfigA") ? 0 : (apply_config(service_of(svc), cfg), 1);
}

int plat_query_service_account(ScHandle svc, char* buf, uint32_t cap)
{
    if (fails("QueryServiceConfigA")) return 0;
    snprintf(buf, cap, "%s", service_of(svc)->account.c_str());
    return 1;
}

int plat_set_service_description(ScHandle svc, const char* description)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->description = description, 1);
}

int plat_set_service_failure_actions_flag(ScHandle svc, int on)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->failure_actions_flag = on, 1);
}

int plat_set_service_preshutdown_timeout(ScHandle svc, uint32_t milliseconds)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->preshutdown_ms = milliseconds, 1);
}

int plat_set_service_sid_type(ScHandle svc, uint32_t sid_type)
{
    return fails("ChangeServiceConfig2A") ? 0 : (service_of(svc)->sid_type = sid_type, 1);
}

int plat_delete_service(ScHandle svc)
{
    if (fails("DeleteService")) return 0;
    note("delete service %s", service_of(svc)->name.c_str());
    S.services.erase(S.services.begin() + (service_of(svc) - S.services.data()));
    return 1;
}

int plat_start_service(ScHandle svc)
{
    if (fails("StartServiceA")) return 0;
    note("start service %s", service_of(svc)->name.c_str());
    return 1;
}

int plat_control_service(ScHandle svc, uint32_t control)
{
    if (fails("ControlService")) return 0;
    note("control service %s %u", service_of(svc)->name.c_str(), control);
    return 1;
}

int plat_query_service_state(ScHandle svc, uint32_t* state)
{
    return fails("QueryServiceStatus") ? 0 : (*state = service_of(svc)->state, 1);
}

int plat_query_service_process(ScHandle svc, uint32_t* process_id)
{
    return fails("QueryServiceStatusEx") ? 0 : (*process_id = service_of(svc)->process_id, 1);
}

int plat_command_argument_is_exact(int index, const char* text)
{
    if (fails("CommandLineToArgvW")) return 0;
    return index >= 0 && (size_t)index < S.wide_command_line.size() && S.wide_command_line[index] == text;
}

void plat_close_service_handle(ScHandle h) { (void)fails("CloseServiceHandle"), S.handles.erase((uintptr_t)h); }
