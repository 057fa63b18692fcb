// Control API of the in-memory service manager.
//
// The fake keeps a table of services with the configuration exactly as the
// logic passed it, the description, the failure-actions flag, the current
// state and a deleted mark.  Tests put services in, set their states, read
// back what the logic did and the controls it sent.  Every client call first
// asks fake_should_fail with the name of the Win32 call it stands for
// ("OpenSCManagerA", "OpenServiceA", "CreateServiceA", "ChangeServiceConfigA",
// "ChangeServiceConfig2A", "DeleteService", "StartServiceA", "ControlService",
// "QueryServiceStatus", "CloseServiceHandle").
//
// Rules that follow the real manager closely enough for the commands' tests:
//  - names are compared without regard to case;
//  - a deleted service can no longer be opened (1060) and a new one of the
//    same name may be created;
//  - CreateServiceA on an existing name fails with 1073;
//  - StartServiceA on a service that is not stopped fails with 1056 and moves
//    a stopped one to START_PENDING;
//  - ControlService fails with 1062 on a stopped service and with 1061 on a
//    pending one; otherwise the stop control moves the service to
//    STOP_PENDING and other controls leave the state alone.  Every call is
//    recorded, whether it succeeded or not.
#ifndef TALVEX_TESTS_FAKE_SCM_H
#define TALVEX_TESTS_FAKE_SCM_H

#include <stdint.h>

#include <string>
#include <vector>

enum {
    FAKE_SERVICE_STOPPED = 1,
    FAKE_SERVICE_START_PENDING = 2,
    FAKE_SERVICE_STOP_PENDING = 3,
    FAKE_SERVICE_RUNNING = 4,
    FAKE_SERVICE_CONTINUE_PENDING = 5,
    FAKE_SERVICE_PAUSE_PENDING = 6,
    FAKE_SERVICE_PAUSED = 7,
};

struct FakeService {
    std::string name;
    uint32_t service_type = 0x10;
    uint32_t start_type = 3;
    uint32_t error_control = 1;
    std::string binary_path;
    // The dependency list as passed: every byte up to the double NUL that ends
    // it, so an empty list is "" and "a\0b" holds two names.
    std::string dependencies;
    std::string display_name;
    std::string account = "LocalSystem";
    bool has_description = false;
    std::string description;
    bool failure_actions_flag_set = false;
    int failure_actions_on_non_crash = 0;
    uint32_t state = FAKE_SERVICE_STOPPED;
    bool deleted = false;
    int start_requests = 0;
};

struct FakeControl {
    std::string service;
    uint32_t control;
};

// Adds (or replaces) an installed service in the given state.
FakeService& fake_scm_add_service(const std::string& name, uint32_t state = FAKE_SERVICE_STOPPED);
// The service of that name, deleted ones included; null when there is none.
FakeService* fake_scm_service(const std::string& name);
void fake_scm_set_state(const std::string& name, uint32_t state);
// Every ControlService call since the last reset, in order.
std::vector<FakeControl> fake_scm_controls();
// Handles from OpenSCManagerA, OpenServiceA and CreateServiceA not yet closed.
int fake_scm_open_handles();
// The access rights of the last OpenSCManagerA and of the last OpenServiceA or
// CreateServiceA call.
uint32_t fake_scm_manager_access();
uint32_t fake_scm_service_access();

#endif
