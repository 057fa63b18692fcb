// Events: the type and insertion strings of every id, one source handle per
// event, and events lost without a trace when the source cannot be opened.
// Event sources: the registry key and its two values, and the messages of a
// failed registration or removal.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
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
#include "unit/console_capture.h"

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

// Every id of the message file, and ids outside it classed by their severity
// bits, with every kind of text: the type, the strings passed (information
// events pass the source name only, the others the text as given, a null
// text as empty), and one source opened and closed per event.
TEST_F(EventLogTest, EveryIdHasItsTypeAndStrings)
{
    const struct {
        uint32_t id, number;
        uint16_t type;
        size_t strings;
    } rows[] = {
        {EVENT_CONTAINER_STARTED, 0x40000001u, 4, 1}, {EVENT_CONTAINER_ENDED, 0x40000002u, 4, 1},
        {EVENT_CONTAINER_RESTART, 0x40000007u, 4, 1}, {EVENT_WARNING, 0x80000005u, 2, 2},
        {EVENT_LAUNCH_FAILED, 0xC0000003u, 1, 2},     {EVENT_CONTAINER_FAILED, 0xC0000004u, 1, 2},
        {EVENT_ERROR, 0xC0000006u, 1, 2},             {0xC0000010u, 0xC0000010u, 1, 2},
        {0x80000010u, 0x80000010u, 2, 2},             {0x40000010u, 0x40000010u, 4, 1},
    };
    const char* texts[] = {"the text", "", nullptr, "Exception in thread \"main\"\r\n\tat X.main(X.java:1)\r\n"};
    for (const auto& row : rows) {
        EXPECT_EQ(row.number, row.id);
        for (const char* source : {"Orders", "C:\\talvex\\talvex.exe"}) {
            for (const char* text : texts) {
                SCOPED_TRACE(::testing::Message() << std::hex << row.id << " from " << source << " with \""
                                                  << (text ? text : "(null)") << "\"");
                fake_reset();
                LogServiceEvent(source, text, row.id);
                std::vector<FakeEvent> events = fake_events();
                ASSERT_EQ(1u, events.size());
                EXPECT_EQ(row.id, events[0].id);
                EXPECT_EQ(row.type, events[0].type);
                EXPECT_EQ(source, events[0].source);
                std::vector<std::string> strings = {source};
                if (row.strings == 2) strings.push_back(text ? text : "");
                EXPECT_EQ(strings, events[0].strings);
                EXPECT_EQ(1, fake_event_sources_opened());
                EXPECT_EQ(0, fake_event_sources_open());
                EXPECT_EQ(1, fake_call_count("DeregisterEventSource"));
            }
        }
    }
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

// --- event sources -------------------------------------------------------------

const char kApplication[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char kSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orders";
const char kOther[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Other";
const char kMessageDll[] = "C:\\Program Files\\talvex\\talvexMSG.dll";

class EventSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        console_ = tmpfile();
        ConsoleOut = console_;
        fresh();
    }
    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(console_);
        ResetInstallOptions();
    }
    void fresh()
    {
        fake_reset();
        ResetInstallOptions();
        text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, kMessageDll);
        ASSERT_TRUE(clear_capture(console_));
    }
    std::string printed() { return read_capture(console_); }
    // The two values as written: the message file as expandable text and
    // the seven supported types as a DWORD.
    void expect_registered()
    {
        uint32_t type = 0;
        std::string bytes;
        ASSERT_TRUE(fake_reg_get(kSource, "EventMessageFile", &type, &bytes));
        EXPECT_EQ((uint32_t)PLAT_REG_EXPAND_SZ, type);
        EXPECT_STREQ(kMessageDll, bytes.c_str());
        ASSERT_TRUE(fake_reg_get(kSource, "TypesSupported", &type, &bytes));
        EXPECT_EQ((uint32_t)PLAT_REG_DWORD, type);
        EXPECT_EQ(std::string("\x07\0\0\0", 4), bytes);
        EXPECT_EQ((std::vector<std::string>{"EventMessageFile", "TypesSupported"}), fake_reg_value_names(kSource));
    }
    FILE* console_ = nullptr;
};

TEST_F(EventSourceTest, AddWritesTheMessageFileAndSevenSupportedTypesOverWhatWasThere)
{
    EXPECT_EQ(1, AddEventSource("Orders"));
    EXPECT_EQ("", printed());
    expect_registered();
    EXPECT_EQ(0, fake_reg_open_key_count());
    EXPECT_EQ(0, fake_reg_bad_close_count());

    fresh();
    fake_reg_put_sz(kSource, "EventMessageFile", "C:\\old\\talvexMSG.dll", true);
    fake_reg_put(kSource, "TypesSupported", PLAT_REG_DWORD, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(1, AddEventSource("Orders"));
    expect_registered();
}

TEST_F(EventSourceTest, RemoveDeletesTheSourceKeyOnly)
{
    fake_reg_put_sz(kSource, "EventMessageFile", kMessageDll);
    fake_reg_put_sz(kOther, "EventMessageFile", kMessageDll);
    EXPECT_EQ(1, RemoveEventSource("Orders"));
    EXPECT_EQ("", printed());
    EXPECT_FALSE(fake_reg_key_exists(kSource));
    EXPECT_TRUE(fake_reg_key_exists(kOther));
    EXPECT_EQ(0, fake_reg_open_key_count());
}

// Each failure prints the system text for the failing call's own code, with
// the line break that ends it.
TEST_F(EventSourceTest, FailuresPrintTheirMessageWithTheSystemText)
{
    const struct {
        const char* what;
        int (*operation)(const char*);
        const char* name;
        std::function<void()> setup;
        int result;
        std::string output;
        std::function<void()> check;
    } rows[] = {
        {"supported types not written", AddEventSource, "Orders", [] { fake_fail("RegSetValueExA", 5, 2); }, 0,
         "Error registering event source due to: Access is denied.\r\n",
         // The message file value was written before the failure and stays.
         [] { EXPECT_TRUE(fake_reg_get(kSource, "EventMessageFile", nullptr, nullptr)); }},
        {"message file not written", AddEventSource, "Orders", [] { fake_fail("RegSetValueExA", 5, 1); }, 1,
         "Error setting registry value 'EventMessageFile' due to: Access is denied.\r\n",
         [] { EXPECT_TRUE(fake_reg_get(kSource, "TypesSupported", nullptr, nullptr)); }},
        {"key that cannot be created", AddEventSource, "Orders", [] { fake_fail("RegCreateKeyExA", 5, 6); }, 0,
         "Error setting registry value 'EventMessageFile' due to: The handle is invalid.\r\n"
         "Error registering event source due to: The handle is invalid.\r\n",
         [] { EXPECT_FALSE(fake_reg_key_exists(kSource)); }},
        // The Application key is created when it is missing.
        {"missing source", RemoveEventSource, "Orders", [] {}, 0,
         "Error deleting event source due to: The system cannot find the file specified.\r\n",
         [] { EXPECT_TRUE(fake_reg_key_exists(kApplication)); }},
        {"refused delete", RemoveEventSource, "Orders",
         [] {
             fake_reg_put_sz(kSource, "EventMessageFile", kMessageDll);
             fake_fail("RegDeleteKeyA", 5);
         },
         0, "Error deleting event source due to: Access is denied.\r\n",
         [] { EXPECT_TRUE(fake_reg_key_exists(kSource)); }},
        // An empty name would name the Application key itself.
        {"empty name to add", AddEventSource, "", [] {}, 0,
         "Error registering event source due to: The parameter is incorrect.\r\n",
         [] { EXPECT_EQ(0, fake_call_count("RegSetValueExA")); }},
        {"empty name to remove", RemoveEventSource, "", [] {}, 0,
         "Error deleting event source due to: The parameter is incorrect.\r\n",
         [] { EXPECT_EQ(0, fake_call_count("RegDeleteKeyA")); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        fake_reg_put_sz(kOther, "EventMessageFile", kMessageDll);
        row.setup();
        EXPECT_EQ(row.result, row.operation(row.name));
        EXPECT_EQ(row.output, printed());
        row.check();
        EXPECT_TRUE(fake_reg_key_exists(kOther));
        EXPECT_TRUE(fake_reg_value_names(kApplication).empty());
        EXPECT_EQ(0, fake_reg_open_key_count());
    }
}

}  // namespace
