// Registering and removing an event source in the real registry: the key
// under the Application log, its two values, and the messages of a failure.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <string>

#include "common/console.h"
#include "common/text.h"
#include "config/install_options.h"
#include "diag/event_log.h"

namespace {

const char APPLICATION_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

class EventSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetInstallOptions();
        name_ = "TalvexDiagTest" + std::to_string(GetCurrentProcessId());
        key_ = std::string(APPLICATION_KEY) + "\\" + name_;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_.c_str());
        console_ = tmpfile();
        ConsoleOut = console_;
    }
    void TearDown() override
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_.c_str());
        ConsoleOut = nullptr;
        if (console_) fclose(console_);
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
    bool key_exists()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    // The two values: the message file as expandable text and the seven
    // supported types as a DWORD.
    void expect_values(const char* messageFile)
    {
        char data[1024];
        DWORD type = 0, size = sizeof data;
        ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, key_.c_str(), "EventMessageFile",
                                              RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size));
        EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
        EXPECT_STREQ(messageFile, data);
        DWORD types = 0;
        size = sizeof types;
        ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, key_.c_str(), "TypesSupported", RRF_RT_ANY, &type,
                                              &types, &size));
        EXPECT_EQ((DWORD)REG_DWORD, type);
        EXPECT_EQ(4u, size);
        EXPECT_EQ(7u, types);
    }
    static std::string system_text(DWORD code)
    {
        char text[2048];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 0x400, text, sizeof text, nullptr);
        return std::string(text, n);
    }

    std::string name_;
    std::string key_;
    FILE* console_ = nullptr;
};

// Adding writes both values, adding again overwrites them, removing deletes
// the source key but not the Application key, and removing a missing source
// fails with the system's text for the failing call.
TEST_F(EventSourceTest, AddOverwriteAndRemove)
{
    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "C:\\Program Files\\talvex\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    expect_values("C:\\Program Files\\talvex\\talvexMSG.dll");

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_WRITE, &key));
    DWORD one = 1;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE*)&one, sizeof one);
    RegCloseKey(key);
    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "D:\\new\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    expect_values("D:\\new\\talvexMSG.dll");

    EXPECT_EQ(1, RemoveEventSource(name_.c_str()));
    EXPECT_FALSE(key_exists());
    EXPECT_EQ("", printed());
    HKEY app;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, APPLICATION_KEY, 0, KEY_READ, &app));
    RegCloseKey(app);

    EXPECT_EQ(0, RemoveEventSource(name_.c_str()));
    std::string text = system_text(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ("Error deleting event source due to: " + text, printed());
}

}  // namespace
