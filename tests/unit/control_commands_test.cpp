// Control commands: every refusal and success message in every state, the
// request each one sends, the failures of the shared frame, and remove's
// event source.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "admin/control_commands.h"
#include "common/console.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"
#include "unit/console_capture.h"

namespace {

const char kEventSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";
const char kNotInstalled[] =
    "OpenService failed - The specified service does not exist as an installed service. (0x424)\n";
const char kCannotAccept[] = "The service cannot accept control messages at this time. (0x425)\n";

typedef int (*Command)(const char*);

struct NamedCommand {
    const char* name;
    Command run;
};
const NamedCommand kCommands[] = {{"start", StartServiceCommand},
                                  {"stop", StopServiceCommand},
                                  {"remove", RemoveServiceCommand},
                                  {"dump", DumpServiceCommand}};

class ControlCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fresh();
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
    }

    void fresh()
    {
        fake_reset();
        ResetInstallOptions();
        take();
    }

    // What was printed since the last call.
    std::string take()
    {
        std::string text = read_capture(capture_);
        EXPECT_TRUE(clear_capture(capture_));
        return text;
    }

    // Installs "svc" in a state, with its event source registered.
    void install(uint32_t state)
    {
        fake_scm_add_service("svc", state);
        fake_reg_put(kEventSource, "TypesSupported", 4, std::string("\x07\0\0\0", 4));
    }

    // The requests the command made of the service manager, in order.
    static std::string requests()
    {
        std::string done;
        if (fake_call_count("StartServiceA") > 0) done += "start;";
        for (const FakeControl& c : fake_scm_controls()) done += "control " + std::to_string(c.control) + ";";
        if (fake_call_count("DeleteService") > 0) done += "delete;";
        return done;
    }

    FILE* capture_ = nullptr;
};

// Every command in every state the service manager reports: the refusals of
// the table, the request otherwise, and the manager's answer to it.
TEST_F(ControlCommandsTest, EveryCommandInEveryState)
{
    enum : uint32_t {
        STOPPED = FAKE_SERVICE_STOPPED, START_PENDING = FAKE_SERVICE_START_PENDING,
        STOP_PENDING = FAKE_SERVICE_STOP_PENDING, RUNNING = FAKE_SERVICE_RUNNING,
        CONTINUE_PENDING = FAKE_SERVICE_CONTINUE_PENDING, PAUSE_PENDING = FAKE_SERVICE_PAUSE_PENDING,
        PAUSED = FAKE_SERVICE_PAUSED,
    };
    const std::string startRefused = "Service svc currently running. Ignoring start request.";
    const std::string startRejected = "StartService failed - An instance of the service is already running. (0x420)\n";
    const std::string removeRefused = "Service svc currently running. Can't remove running service.";
    const struct {
        Command command;
        uint32_t state;
        int result;
        std::string output;
        std::string requests;
    } rows[] = {
        {StartServiceCommand, STOPPED, 1, "svc start requested.\n", "start;"},
        {StartServiceCommand, START_PENDING, 0, startRefused, ""},
        {StartServiceCommand, STOP_PENDING, 0, startRefused, ""},
        {StartServiceCommand, RUNNING, 0, startRefused, ""},
        {StartServiceCommand, CONTINUE_PENDING, 0, startRejected, "start;"},
        {StartServiceCommand, PAUSE_PENDING, 0, startRejected, "start;"},
        {StartServiceCommand, PAUSED, 0, startRejected, "start;"},

        {StopServiceCommand, STOPPED, 0, "Service svc already stopped. Ignoring stop request.", ""},
        {StopServiceCommand, START_PENDING, 0, std::string("StopService failed - ") + kCannotAccept, "control 1;"},
        {StopServiceCommand, STOP_PENDING, 0, "Service svc stop is pending. Ignoring stop request.", ""},
        {StopServiceCommand, RUNNING, 1, "svc stop requested.\n", "control 1;"},
        {StopServiceCommand, CONTINUE_PENDING, 0, std::string("StopService failed - ") + kCannotAccept, "control 1;"},
        {StopServiceCommand, PAUSE_PENDING, 0, std::string("StopService failed - ") + kCannotAccept, "control 1;"},
        {StopServiceCommand, PAUSED, 1, "svc stop requested.\n", "control 1;"},

        {RemoveServiceCommand, STOPPED, 1, "svc removed.\n", "delete;"},
        {RemoveServiceCommand, START_PENDING, 0, removeRefused, ""},
        {RemoveServiceCommand, STOP_PENDING, 1, "svc removed.\n", "delete;"},
        {RemoveServiceCommand, RUNNING, 0, removeRefused, ""},
        {RemoveServiceCommand, CONTINUE_PENDING, 1, "svc removed.\n", "delete;"},
        {RemoveServiceCommand, PAUSE_PENDING, 1, "svc removed.\n", "delete;"},
        {RemoveServiceCommand, PAUSED, 1, "svc removed.\n", "delete;"},

        {DumpServiceCommand, STOPPED, 0, "Service svc currently stopped.", ""},
        {DumpServiceCommand, START_PENDING, 0, std::string("thread dump request failed - ") + kCannotAccept,
         "control 129;"},
        {DumpServiceCommand, STOP_PENDING, 0, std::string("thread dump request failed - ") + kCannotAccept,
         "control 129;"},
        {DumpServiceCommand, RUNNING, 1, "svc thread dump requested. Check the .out file.\n", "control 129;"},
        {DumpServiceCommand, CONTINUE_PENDING, 0, std::string("thread dump request failed - ") + kCannotAccept,
         "control 129;"},
        {DumpServiceCommand, PAUSE_PENDING, 0, std::string("thread dump request failed - ") + kCannotAccept,
         "control 129;"},
        {DumpServiceCommand, PAUSED, 1, "svc thread dump requested. Check the .out file.\n", "control 129;"},
    };
    for (const auto& row : rows) {
        const char* name = "";
        for (const NamedCommand& c : kCommands)
            if (c.run == row.command) name = c.name;
        SCOPED_TRACE(std::string(name) + " in state " + std::to_string(row.state));
        fresh();
        install(row.state);
        EXPECT_EQ(row.result, row.command("svc"));
        EXPECT_EQ(row.output, take());
        EXPECT_EQ(row.requests, requests());
        for (const FakeControl& c : fake_scm_controls()) EXPECT_EQ("svc", c.service);
        // A deleted service takes its event source along, and only then.
        bool deleted = row.requests == "delete;" && row.result == 1;
        EXPECT_EQ(deleted, fake_scm_service("svc")->deleted);
        EXPECT_EQ(!deleted, fake_reg_key_exists(kEventSource));
        EXPECT_TRUE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
        EXPECT_EQ(0xF003Fu, fake_scm_manager_access());
        EXPECT_EQ(0xF01FFu, fake_scm_service_access());
        EXPECT_EQ(0, fake_scm_open_handles());
        EXPECT_EQ(0, fake_reg_open_key_count());
    }
}

// The failures of the shared frame, for every command, and the failures of
// the requests themselves.
TEST_F(ControlCommandsTest, FailuresPrintTheFailedCallWithTheSystemText)
{
    const std::string denied = " failed - Access is denied. (0x5)\n";
    const struct {
        const char* what;
        Command command;   // null: every command
        std::function<void()> setup;
        std::string output;
        const char* notCalled = nullptr;   // the frame's next step, which must not run
    } rows[] = {
        {"unknown service", nullptr, [] {}, kNotInstalled, "QueryServiceStatus"},
        {"manager that cannot be opened", nullptr, [] { fake_fail("OpenSCManagerA", 5); }, "OpenSCManager" + denied,
         "OpenServiceA"},
        {"failed state query", nullptr, [] { fake_fail("QueryServiceStatus", 5); }, "QueryServiceStatus" + denied},
        {"refused start", StartServiceCommand,
         [] {
             fake_fail("StartServiceA", 1058);
             fake_set_system_message(1058, "The service cannot be started, either because it is disabled or "
                                           "because it has no enabled devices associated with it.\r\n");
         },
         "StartService failed - The service cannot be started, either because it is disabled or because it has no "
         "enabled devices associated with it. (0x422)\n"},
        {"rejected stop", StopServiceCommand, [] { fake_fail("ControlService", 5); }, "StopService" + denied},
        {"rejected dump", DumpServiceCommand, [] { fake_fail("ControlService", 5); },
         "thread dump request" + denied},
        {"refused delete", RemoveServiceCommand, [] { fake_fail("DeleteService", 5); }, "DeleteService" + denied},
        {"system text that does not fit", StopServiceCommand,
         [] {
             fake_set_system_message(5, std::string(250, 'x') + "\r\n");
             fake_fail("ControlService", 5);
         },
         "StopService failed - \n"},
    };
    for (const auto& row : rows) {
        for (const NamedCommand& c : kCommands) {
            if (row.command != nullptr && row.command != c.run) continue;
            SCOPED_TRACE(std::string(row.what) + ", " + c.name);
            fresh();
            // Stopped for start and remove, running for stop and dump: the
            // state in which the command makes its request.
            bool wantsStopped = c.run == StartServiceCommand || c.run == RemoveServiceCommand;
            if (strcmp(row.what, "unknown service") != 0)
                install(wantsStopped ? FAKE_SERVICE_STOPPED : FAKE_SERVICE_RUNNING);
            row.setup();
            EXPECT_EQ(0, c.run("svc"));
            EXPECT_EQ(row.output, take());
            EXPECT_EQ(0, fake_scm_open_handles());
            FakeService* s = fake_scm_service("svc");
            // Nothing was deleted, and the event source stays with its service.
            if (s != nullptr) {
                EXPECT_FALSE(s->deleted);
                EXPECT_TRUE(fake_reg_key_exists(kEventSource));
            }
            if (row.command == nullptr) {
                EXPECT_EQ("", requests());
            }
            if (row.notCalled != nullptr) {
                EXPECT_EQ(0, fake_call_count(row.notCalled));
            }
        }
    }
}

TEST_F(ControlCommandsTest, MissingServiceNameFailsWithoutAskingTheManager)
{
    for (const NamedCommand& c : kCommands) {
        EXPECT_EQ(0, c.run(nullptr)) << c.name;
        EXPECT_EQ("Error: no service name given.\n", take()) << c.name;
    }
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
}

TEST_F(ControlCommandsTest, RemoveWithoutAnEventSourceDeletesTheServiceButFails)
{
    fake_scm_add_service("svc", FAKE_SERVICE_STOPPED);
    EXPECT_EQ(0, RemoveServiceCommand("svc"));
    EXPECT_EQ("svc removed.\nError deleting event source due to: The system cannot find the file specified.\r\n",
              take());
    EXPECT_TRUE(fake_scm_service("svc")->deleted);
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, ServiceNamesAreMatchedWithoutRegardToCase)
{
    install(FAKE_SERVICE_RUNNING);
    EXPECT_EQ(1, DumpServiceCommand("SVC"));
    EXPECT_EQ("SVC thread dump requested. Check the .out file.\n", take());
}

}  // namespace
