// Events: the type and insertion strings of every id, one source handle per
// event, and events lost without a trace when the source cannot be opened.
// Event sources: the registry key and its two values, and the messages of a
// failed registration or removal.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/install_options.h"
#include "diag/event_log.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_registry.h"

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

struct IdRow {
    uint32_t id;
    uint16_t type;
    size_t strings;
};

const IdRow ID_TABLE[] = {
    {0x40000001u, 4, 1}, {0x40000002u, 4, 1}, {0x40000007u, 4, 1}, {0x80000005u, 2, 2},
    {0xC0000003u, 1, 2}, {0xC0000004u, 1, 2}, {0xC0000006u, 1, 2},
};

TEST_F(EventLogTest, EveryIdHasItsTypeAndStringCount)
{
    for (const IdRow& row : ID_TABLE) {
        fake_clear_events();
        LogServiceEvent("Orders", "the text", row.id);
        std::vector<FakeEvent> events = fake_events();
        ASSERT_EQ(1u, events.size()) << std::hex << row.id;
        EXPECT_EQ(row.id, events[0].id);
        EXPECT_EQ(row.type, events[0].type) << std::hex << row.id;
        ASSERT_EQ(row.strings, events[0].strings.size()) << std::hex << row.id;
        EXPECT_EQ("Orders", events[0].strings[0]);
        if (row.strings == 2) {
            EXPECT_EQ("the text", events[0].strings[1]);
        }
        EXPECT_EQ("Orders", events[0].source);
    }
}

TEST_F(EventLogTest, TheNamedIdsAreTheMessageFileIds)
{
    EXPECT_EQ(0x40000001u, (uint32_t)EVENT_CONTAINER_STARTED);
    EXPECT_EQ(0x40000002u, (uint32_t)EVENT_CONTAINER_ENDED);
    EXPECT_EQ(0x40000007u, (uint32_t)EVENT_CONTAINER_RESTART);
    EXPECT_EQ(0x80000005u, (uint32_t)EVENT_WARNING);
    EXPECT_EQ(0xC0000003u, (uint32_t)EVENT_LAUNCH_FAILED);
    EXPECT_EQ(0xC0000004u, (uint32_t)EVENT_CONTAINER_FAILED);
    EXPECT_EQ(0xC0000006u, (uint32_t)EVENT_ERROR);
}

TEST_F(EventLogTest, InformationEventsDoNotPassTheText)
{
    LogServiceEvent("Orders", "", EVENT_CONTAINER_STARTED);
    LogServiceEvent("Orders", "ignored", EVENT_CONTAINER_ENDED);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(std::vector<std::string>{"Orders"}, events[0].strings);
    EXPECT_EQ(std::vector<std::string>{"Orders"}, events[1].strings);
}

TEST_F(EventLogTest, WarningWithEmptyTextStillPassesTwoStrings)
{
    LogServiceEvent("Orders", "", EVENT_WARNING);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((std::vector<std::string>{"Orders", ""}), events[0].strings);
    EXPECT_EQ(2, events[0].type);
}

TEST_F(EventLogTest, ErrorTextIsPassedUnchanged)
{
    std::string chunk = "Exception in thread \"main\"\r\n\tat X.main(X.java:1)\r\n";
    LogServiceEvent("Orders", chunk.c_str(), EVENT_ERROR);
    std::vector<FakeEvent> events = fake_events_with_id(EVENT_ERROR);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(chunk, events[0].strings[1]);
}

TEST_F(EventLogTest, SourceNameIsUsedAsGivenEvenForAnExecutablePath)
{
    LogServiceEvent("C:\\talvex\\talvex.exe", "StartServiceCtrlDispatcher failed.", EVENT_ERROR);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("C:\\talvex\\talvex.exe", events[0].source);
    EXPECT_EQ((std::vector<std::string>{"C:\\talvex\\talvex.exe", "StartServiceCtrlDispatcher failed."}),
              events[0].strings);
}

TEST_F(EventLogTest, EachEventOpensAndClosesItsOwnSource)
{
    LogServiceEvent("Orders", "", EVENT_CONTAINER_STARTED);
    EXPECT_EQ(1, fake_event_sources_opened());
    EXPECT_EQ(0, fake_event_sources_open());
    LogServiceEvent("Orders", "x", EVENT_WARNING);
    LogServiceEvent("Orders", "y", EVENT_ERROR);
    EXPECT_EQ(3, fake_event_sources_opened());
    EXPECT_EQ(0, fake_event_sources_open());
    EXPECT_EQ(3, fake_call_count("DeregisterEventSource"));
    EXPECT_EQ(3u, fake_events().size());
}

TEST_F(EventLogTest, EventIsDroppedWhenTheSourceCannotBeOpened)
{
    fake_fail("RegisterEventSourceA", 5);
    LogServiceEvent("Orders", "lost", EVENT_ERROR);
    EXPECT_TRUE(fake_events().empty());
    EXPECT_EQ(0, fake_call_count("ReportEventA"));
    EXPECT_EQ(0, fake_call_count("DeregisterEventSource"));
    // The next event goes through as usual.
    LogServiceEvent("Orders", "kept", EVENT_ERROR);
    ASSERT_EQ(1u, fake_events().size());
    EXPECT_EQ("kept", fake_events()[0].strings[1]);
}

TEST_F(EventLogTest, FailedReportStillClosesTheSource)
{
    fake_fail("ReportEventA", 1502);
    LogServiceEvent("Orders", "lost", EVENT_WARNING);
    EXPECT_TRUE(fake_events().empty());
    EXPECT_EQ(1, fake_event_sources_opened());
    EXPECT_EQ(0, fake_event_sources_open());
}

TEST_F(EventLogTest, UnlistedIdIsClassedByItsSeverity)
{
    LogServiceEvent("Orders", "e", 0xC0000010u);
    LogServiceEvent("Orders", "w", 0x80000010u);
    LogServiceEvent("Orders", "i", 0x40000010u);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(1, events[0].type);
    EXPECT_EQ(2u, events[0].strings.size());
    EXPECT_EQ(2, events[1].type);
    EXPECT_EQ(2u, events[1].strings.size());
    EXPECT_EQ(4, events[2].type);
    EXPECT_EQ(1u, events[2].strings.size());
}

TEST_F(EventLogTest, NullTextIsPassedAsEmpty)
{
    LogServiceEvent("Orders", nullptr, EVENT_LAUNCH_FAILED);
    std::vector<FakeEvent> events = fake_events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((std::vector<std::string>{"Orders", ""}), events[0].strings);
}

// --- event sources -------------------------------------------------------------

const char APPLICATION[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orders";
const char MSG_DLL[] = "C:\\Program Files\\talvex\\talvexMSG.dll";

class EventSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetInstallOptions();
        text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, MSG_DLL);
        console_ = tmpfile();
        ConsoleOut = console_;
    }
    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(console_);
        ResetInstallOptions();
    }
    std::string printed()
    {
        fflush(console_);
        rewind(console_);
        std::string out;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, console_)) > 0) out.append(buf, n);
        return out;
    }
    FILE* console_ = nullptr;
};

TEST_F(EventSourceTest, AddWritesTheMessageFileAsExpandableTextAndSevenSupportedTypes)
{
    EXPECT_EQ(1, AddEventSource("Orders"));
    EXPECT_EQ("", printed());
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(fake_reg_get(SOURCE_KEY, "EventMessageFile", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_EXPAND_SZ, type);
    EXPECT_STREQ(MSG_DLL, bytes.c_str());
    ASSERT_TRUE(fake_reg_get(SOURCE_KEY, "TypesSupported", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_DWORD, type);
    EXPECT_EQ(std::string("\x07\0\0\0", 4), bytes);
    EXPECT_EQ((std::vector<std::string>{"EventMessageFile", "TypesSupported"}),
              fake_reg_value_names(SOURCE_KEY));
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());
}

TEST_F(EventSourceTest, AddingAgainOverwritesBothValues)
{
    fake_reg_put_sz(SOURCE_KEY, "EventMessageFile", "C:\\old\\talvexMSG.dll", true);
    fake_reg_put(SOURCE_KEY, "TypesSupported", PLAT_REG_DWORD, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(1, AddEventSource("Orders"));
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(fake_reg_get(SOURCE_KEY, "EventMessageFile", &type, &bytes));
    EXPECT_EQ((uint32_t)PLAT_REG_EXPAND_SZ, type);
    EXPECT_STREQ(MSG_DLL, bytes.c_str());
    ASSERT_TRUE(fake_reg_get(SOURCE_KEY, "TypesSupported", &type, &bytes));
    EXPECT_EQ(std::string("\x07\0\0\0", 4), bytes);
}

TEST_F(EventSourceTest, FailedTypesWritePrintsTheSystemTextAndFails)
{
    fake_fail("RegSetValueExA", 5, 2);
    EXPECT_EQ(0, AddEventSource("Orders"));
    EXPECT_EQ("Error registering event source due to: Access is denied.\r\n", printed());
    // The message file value was written before the failure and stays.
    EXPECT_TRUE(fake_reg_get(SOURCE_KEY, "EventMessageFile", nullptr, nullptr));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(EventSourceTest, FailedMessageFileWriteIsPrintedButDoesNotFailTheRegistration)
{
    fake_fail("RegSetValueExA", 5, 1);
    EXPECT_EQ(1, AddEventSource("Orders"));
    EXPECT_EQ("Error setting registry value 'EventMessageFile' due to: Access is denied.\r\n", printed());
    EXPECT_TRUE(fake_reg_get(SOURCE_KEY, "TypesSupported", nullptr, nullptr));
}

TEST_F(EventSourceTest, KeyThatCannotBeCreatedFailsBothWrites)
{
    fake_fail("RegCreateKeyExA", 5, 6);
    EXPECT_EQ(0, AddEventSource("Orders"));
    EXPECT_EQ("Error setting registry value 'EventMessageFile' due to: The handle is invalid.\r\n"
              "Error registering event source due to: The handle is invalid.\r\n",
              printed());
    EXPECT_FALSE(fake_reg_key_exists(SOURCE_KEY));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(EventSourceTest, RemoveDeletesTheSourceKeyOnly)
{
    fake_reg_put_sz(SOURCE_KEY, "EventMessageFile", MSG_DLL);
    fake_reg_put_sz(std::string(APPLICATION) + "\\Other", "EventMessageFile", MSG_DLL);
    EXPECT_EQ(1, RemoveEventSource("Orders"));
    EXPECT_EQ("", printed());
    EXPECT_FALSE(fake_reg_key_exists(SOURCE_KEY));
    EXPECT_TRUE(fake_reg_key_exists(std::string(APPLICATION) + "\\Other"));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(EventSourceTest, RemovingAMissingSourcePrintsTheSystemTextAndFails)
{
    EXPECT_EQ(0, RemoveEventSource("Orders"));
    EXPECT_EQ("Error deleting event source due to: The system cannot find the file specified.\r\n",
              printed());
    // The Application key is created when it is missing.
    EXPECT_TRUE(fake_reg_key_exists(APPLICATION));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

TEST_F(EventSourceTest, FailedDeletePrintsItsOwnCode)
{
    fake_reg_put_sz(SOURCE_KEY, "EventMessageFile", MSG_DLL);
    fake_fail("RegDeleteKeyA", 5);
    EXPECT_EQ(0, RemoveEventSource("Orders"));
    EXPECT_EQ("Error deleting event source due to: Access is denied.\r\n", printed());
    EXPECT_TRUE(fake_reg_key_exists(SOURCE_KEY));
}

TEST_F(EventSourceTest, EmptyServiceNameNeverTouchesTheApplicationKey)
{
    fake_reg_put_sz(std::string(APPLICATION) + "\\Other", "EventMessageFile", MSG_DLL);
    EXPECT_EQ(0, AddEventSource(""));
    EXPECT_EQ(0, RemoveEventSource(""));
    EXPECT_EQ("Error registering event source due to: The parameter is incorrect.\r\n"
              "Error deleting event source due to: The parameter is incorrect.\r\n",
              printed());
    EXPECT_TRUE(fake_reg_value_names(APPLICATION).empty());
    EXPECT_TRUE(fake_reg_key_exists(std::string(APPLICATION) + "\\Other"));
    EXPECT_EQ(0, fake_call_count("RegSetValueExA"));
    EXPECT_EQ(0, fake_call_count("RegDeleteKeyA"));
}

}  // namespace
