// Control commands: every refusal and success message in every state, the
// request each one sends, the failures of the shared frame, and remove's
// event source.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "admin/control_commands.h"
#include "common/console.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "fake/fake_registry.h"
#include "fake/fake_scm.h"

namespace {

const char EVENT_SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";

class ControlCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetInstallOptions();
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
    }

    std::string output()
    {
        fflush(capture_);
        std::string text;
        rewind(capture_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, capture_)) > 0) text.append(buf, n);
        // The next read starts after what was returned here.
        fclose(capture_);
        capture_ = tmpfile();
        ConsoleOut = capture_;
        return text;
    }

    // Installs "svc" in a state, with its event source registered.
    void install(uint32_t state)
    {
        fake_scm_add_service("svc", state);
        fake_reg_put("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc", "TypesSupported", 4,
                     std::string("\x07\0\0\0", 4));
    }

    FILE* capture_ = nullptr;
};

// --- start ---------------------------------------------------------------------

TEST_F(ControlCommandsTest, StartOfAStoppedServiceIsRequested)
{
    install(FAKE_SERVICE_STOPPED);
    EXPECT_EQ(1, StartServiceCommand("svc"));
    EXPECT_EQ("svc start requested.\n", output());
    EXPECT_EQ(1, fake_scm_service("svc")->start_requests);
    EXPECT_EQ(0, fake_scm_open_handles());
    EXPECT_EQ(0xF003Fu, fake_scm_manager_access());
    EXPECT_EQ(0xF01FFu, fake_scm_service_access());
}

TEST_F(ControlCommandsTest, StartIsRefusedWhileRunningStartingOrStopping)
{
    for (uint32_t state : {FAKE_SERVICE_RUNNING, FAKE_SERVICE_START_PENDING, FAKE_SERVICE_STOP_PENDING}) {
        SCOPED_TRACE(state);
        fake_reset();
        install(state);
        EXPECT_EQ(0, StartServiceCommand("svc"));
        EXPECT_EQ("Service svc currently running. Ignoring start request.", output());
        EXPECT_EQ(0, fake_call_count("StartServiceA"));
        EXPECT_EQ(0, fake_scm_open_handles());
    }
}

TEST_F(ControlCommandsTest, StartInOtherStatesIsSentToTheManager)
{
    for (uint32_t state : {FAKE_SERVICE_PAUSED, FAKE_SERVICE_PAUSE_PENDING, FAKE_SERVICE_CONTINUE_PENDING}) {
        SCOPED_TRACE(state);
        fake_reset();
        install(state);
        EXPECT_EQ(0, StartServiceCommand("svc"));
        EXPECT_EQ("StartService failed - An instance of the service is already running. (0x420)\n", output());
        EXPECT_EQ(1, fake_call_count("StartServiceA"));
    }
}

TEST_F(ControlCommandsTest, RefusedStartRequestPrintsTheSystemText)
{
    install(FAKE_SERVICE_STOPPED);
    fake_fail("StartServiceA", 1058);
    fake_set_system_message(1058, "The service cannot be started, either because it is disabled or because "
                                  "it has no enabled devices associated with it.\r\n");
    EXPECT_EQ(0, StartServiceCommand("svc"));
    EXPECT_EQ("StartService failed - The service cannot be started, either because it is disabled or "
              "because it has no enabled devices associated with it. (0x422)\n",
              output());
    EXPECT_EQ(0, fake_scm_open_handles());
}

// --- stop ----------------------------------------------------------------------

TEST_F(ControlCommandsTest, StopOfARunningServiceSendsTheStopControl)
{
    install(FAKE_SERVICE_RUNNING);
    EXPECT_EQ(1, StopServiceCommand("svc"));
    EXPECT_EQ("svc stop requested.\n", output());
    std::vector<FakeControl> controls = fake_scm_controls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("svc", controls[0].service);
    EXPECT_EQ(1u, controls[0].control);
    EXPECT_EQ((uint32_t)FAKE_SERVICE_STOP_PENDING, fake_scm_service("svc")->state);
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, StopOfAStoppedServiceIsRefused)
{
    install(FAKE_SERVICE_STOPPED);
    EXPECT_EQ(0, StopServiceCommand("svc"));
    EXPECT_EQ("Service svc already stopped. Ignoring stop request.", output());
    EXPECT_TRUE(fake_scm_controls().empty());
}

TEST_F(ControlCommandsTest, StopOfAStoppingServiceIsRefusedWithItsOwnText)
{
    install(FAKE_SERVICE_STOP_PENDING);
    EXPECT_EQ(0, StopServiceCommand("svc"));
    EXPECT_EQ("Service svc stop is pending. Ignoring stop request.", output());
    EXPECT_TRUE(fake_scm_controls().empty());
}

TEST_F(ControlCommandsTest, StopOfAStartingServiceIsSentAndTheManagersAnswerShown)
{
    install(FAKE_SERVICE_START_PENDING);
    EXPECT_EQ(0, StopServiceCommand("svc"));
    EXPECT_EQ("StopService failed - The service cannot accept control messages at this time. (0x425)\n",
              output());
    ASSERT_EQ(1u, fake_scm_controls().size());
    EXPECT_EQ(1u, fake_scm_controls()[0].control);
}

TEST_F(ControlCommandsTest, StopOfAPausedServiceIsSent)
{
    install(FAKE_SERVICE_PAUSED);
    EXPECT_EQ(1, StopServiceCommand("svc"));
    EXPECT_EQ("svc stop requested.\n", output());
}

// --- dump ----------------------------------------------------------------------

TEST_F(ControlCommandsTest, DumpOfARunningServiceSendsUserControl129)
{
    install(FAKE_SERVICE_RUNNING);
    EXPECT_EQ(1, DumpServiceCommand("svc"));
    EXPECT_EQ("svc thread dump requested. Check the .out file.\n", output());
    std::vector<FakeControl> controls = fake_scm_controls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ(129u, controls[0].control);
    EXPECT_EQ((uint32_t)FAKE_SERVICE_RUNNING, fake_scm_service("svc")->state);
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, DumpOfAStoppedServiceIsRefused)
{
    install(FAKE_SERVICE_STOPPED);
    EXPECT_EQ(0, DumpServiceCommand("svc"));
    EXPECT_EQ("Service svc currently stopped.", output());
    EXPECT_TRUE(fake_scm_controls().empty());
}

TEST_F(ControlCommandsTest, DumpIsTriedInPendingStatesAndTheRejectionShown)
{
    for (uint32_t state : {FAKE_SERVICE_START_PENDING, FAKE_SERVICE_STOP_PENDING}) {
        SCOPED_TRACE(state);
        fake_reset();
        install(state);
        EXPECT_EQ(0, DumpServiceCommand("svc"));
        EXPECT_EQ("thread dump request failed - The service cannot accept control messages at this time. "
                  "(0x425)\n",
                  output());
        ASSERT_EQ(1u, fake_scm_controls().size());
        EXPECT_EQ(129u, fake_scm_controls()[0].control);
    }
}

TEST_F(ControlCommandsTest, DumpOfAPausedServiceIsSent)
{
    install(FAKE_SERVICE_PAUSED);
    EXPECT_EQ(1, DumpServiceCommand("svc"));
    EXPECT_EQ("svc thread dump requested. Check the .out file.\n", output());
}

// --- remove --------------------------------------------------------------------

TEST_F(ControlCommandsTest, RemoveOfAStoppedServiceDeletesItAndItsEventSource)
{
    install(FAKE_SERVICE_STOPPED);
    EXPECT_EQ(1, RemoveServiceCommand("svc"));
    EXPECT_EQ("svc removed.\n", output());
    EXPECT_TRUE(fake_scm_service("svc")->deleted);
    EXPECT_FALSE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    EXPECT_TRUE(fake_reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
    EXPECT_EQ(0, fake_scm_open_handles());
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(ControlCommandsTest, RemoveOfAStoppingServiceDeletesIt)
{
    install(FAKE_SERVICE_STOP_PENDING);
    EXPECT_EQ(1, RemoveServiceCommand("svc"));
    EXPECT_EQ("svc removed.\n", output());
    EXPECT_TRUE(fake_scm_service("svc")->deleted);
}

TEST_F(ControlCommandsTest, RemoveIsRefusedWhileRunningOrStarting)
{
    for (uint32_t state : {FAKE_SERVICE_RUNNING, FAKE_SERVICE_START_PENDING}) {
        SCOPED_TRACE(state);
        fake_reset();
        install(state);
        EXPECT_EQ(0, RemoveServiceCommand("svc"));
        EXPECT_EQ("Service svc currently running. Can't remove running service.", output());
        EXPECT_FALSE(fake_scm_service("svc")->deleted);
        EXPECT_EQ(0, fake_call_count("DeleteService"));
        EXPECT_TRUE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    }
}

TEST_F(ControlCommandsTest, RemoveWithoutAnEventSourceDeletesTheServiceButFails)
{
    fake_scm_add_service("svc", FAKE_SERVICE_STOPPED);
    EXPECT_EQ(0, RemoveServiceCommand("svc"));
    EXPECT_EQ("svc removed.\nError deleting event source due to: The system cannot find the file specified.\r\n",
              output());
    EXPECT_TRUE(fake_scm_service("svc")->deleted);
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, RefusedDeleteKeepsTheEventSource)
{
    install(FAKE_SERVICE_STOPPED);
    fake_fail("DeleteService", 5);
    EXPECT_EQ(0, RemoveServiceCommand("svc"));
    EXPECT_EQ("DeleteService failed - Access is denied. (0x5)\n", output());
    EXPECT_TRUE(fake_reg_key_exists(EVENT_SOURCE_KEY));
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, RemovedServiceCannotBeOpenedAgain)
{
    install(FAKE_SERVICE_STOPPED);
    EXPECT_EQ(1, RemoveServiceCommand("svc"));
    output();
    EXPECT_EQ(0, RemoveServiceCommand("svc"));
    EXPECT_EQ("OpenService failed - The specified service does not exist as an installed service. (0x424)\n",
              output());
}

// --- the shared frame ------------------------------------------------------------

TEST_F(ControlCommandsTest, UnknownServiceFailsEveryCommandAtOpenService)
{
    int (*commands[])(const char*) = {StartServiceCommand, StopServiceCommand, RemoveServiceCommand,
                                      DumpServiceCommand};
    for (auto command : commands) {
        EXPECT_EQ(0, command("nosuch"));
        EXPECT_EQ("OpenService failed - The specified service does not exist as an installed service. "
                  "(0x424)\n",
                  output());
        EXPECT_EQ(0, fake_scm_open_handles());
    }
    EXPECT_EQ(0, fake_call_count("QueryServiceStatus"));
}

TEST_F(ControlCommandsTest, ServiceNamesAreMatchedWithoutRegardToCase)
{
    install(FAKE_SERVICE_RUNNING);
    EXPECT_EQ(1, DumpServiceCommand("SVC"));
    EXPECT_EQ("SVC thread dump requested. Check the .out file.\n", output());
}

TEST_F(ControlCommandsTest, ManagerThatCannotBeOpenedFailsEveryCommand)
{
    install(FAKE_SERVICE_RUNNING);
    int (*commands[])(const char*) = {StartServiceCommand, StopServiceCommand, RemoveServiceCommand,
                                      DumpServiceCommand};
    for (auto command : commands) {
        fake_fail("OpenSCManagerA", 5);
        EXPECT_EQ(0, command("svc"));
        EXPECT_EQ("OpenSCManager failed - Access is denied. (0x5)\n", output());
    }
    EXPECT_EQ(0, fake_call_count("OpenServiceA"));
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, FailedStateQueryEndsTheCommandWithoutARequest)
{
    install(FAKE_SERVICE_STOPPED);
    int (*commands[])(const char*) = {StartServiceCommand, StopServiceCommand, RemoveServiceCommand,
                                      DumpServiceCommand};
    for (auto command : commands) {
        fake_fail("QueryServiceStatus", 5);
        EXPECT_EQ(0, command("svc"));
        EXPECT_EQ("QueryServiceStatus failed - Access is denied. (0x5)\n", output());
        EXPECT_EQ(0, fake_scm_open_handles());
    }
    EXPECT_EQ(0, fake_call_count("StartServiceA"));
    EXPECT_EQ(0, fake_call_count("DeleteService"));
    EXPECT_TRUE(fake_scm_controls().empty());
    EXPECT_FALSE(fake_scm_service("svc")->deleted);
}

TEST_F(ControlCommandsTest, MissingServiceNameFailsWithoutAskingTheManager)
{
    int (*commands[])(const char*) = {StartServiceCommand, StopServiceCommand, RemoveServiceCommand,
                                      DumpServiceCommand};
    for (auto command : commands) {
        EXPECT_EQ(0, command(nullptr));
        EXPECT_EQ("Error: no service name given.\n", output());
    }
    EXPECT_EQ(0, fake_call_count("OpenSCManagerA"));
}

TEST_F(ControlCommandsTest, RejectedControlsAreReportedWithTheSystemText)
{
    install(FAKE_SERVICE_RUNNING);
    fake_fail("ControlService", 5);
    EXPECT_EQ(0, StopServiceCommand("svc"));
    EXPECT_EQ("StopService failed - Access is denied. (0x5)\n", output());
    fake_fail("ControlService", 5);
    EXPECT_EQ(0, DumpServiceCommand("svc"));
    EXPECT_EQ("thread dump request failed - Access is denied. (0x5)\n", output());
    EXPECT_EQ(0, fake_scm_open_handles());
}

TEST_F(ControlCommandsTest, SystemTextThatDoesNotFitLeavesTheMessageWithoutIt)
{
    install(FAKE_SERVICE_RUNNING);
    fake_set_system_message(5, std::string(250, 'x') + "\r\n");
    fake_fail("ControlService", 5);
    EXPECT_EQ(0, StopServiceCommand("svc"));
    EXPECT_EQ("StopService failed - \n", output());
}

}  // namespace
