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
    // A value's type and bytes as stored; false when it is missing.
    bool value(const char* name, DWORD* type, std::string* bytes)
    {
        char data[1024];
        DWORD size = sizeof data;
        LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, key_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type,
                               data, &size);
        if (rc != ERROR_SUCCESS) return false;
        bytes->assign(data, size);
        return true;
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

TEST_F(EventSourceTest, AddWritesTheMessageFileAndTheSupportedTypes)
{
    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "C:\\Program Files\\talvex\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    EXPECT_EQ("", printed());
    ASSERT_TRUE(key_exists());

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(value("EventMessageFile", &type, &bytes));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    EXPECT_STREQ("C:\\Program Files\\talvex\\talvexMSG.dll", bytes.c_str());

    ASSERT_TRUE(value("TypesSupported", &type, &bytes));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    ASSERT_EQ(4u, bytes.size());
    DWORD types;
    memcpy(&types, bytes.data(), 4);
    EXPECT_EQ(7u, types);
}

TEST_F(EventSourceTest, AddingAgainOverwritesBothValues)
{
    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "C:\\old\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_WRITE, &key));
    DWORD one = 1;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE*)&one, sizeof one);
    RegCloseKey(key);

    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "D:\\new\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(value("EventMessageFile", &type, &bytes));
    EXPECT_STREQ("D:\\new\\talvexMSG.dll", bytes.c_str());
    ASSERT_TRUE(value("TypesSupported", &type, &bytes));
    DWORD types;
    memcpy(&types, bytes.data(), 4);
    EXPECT_EQ(7u, types);
}

TEST_F(EventSourceTest, RemoveDeletesTheKey)
{
    text_copy(Options.MessageDllPath, sizeof Options.MessageDllPath, "C:\\talvex\\talvexMSG.dll");
    ASSERT_EQ(1, AddEventSource(name_.c_str()));
    ASSERT_TRUE(key_exists());
    EXPECT_EQ(1, RemoveEventSource(name_.c_str()));
    EXPECT_FALSE(key_exists());
    EXPECT_EQ("", printed());
    // The Application key itself stays.
    HKEY app;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, APPLICATION_KEY, 0, KEY_READ, &app));
    RegCloseKey(app);
}

TEST_F(EventSourceTest, RemovingAMissingSourceFailsWithTheSystemText)
{
    EXPECT_EQ(0, RemoveEventSource(name_.c_str()));
    std::string text = system_text(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ("Error deleting event source due to: " + text, printed());
}

}  // namespace
