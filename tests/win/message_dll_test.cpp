// talvexMSG.dll as the Event Viewer uses it: loaded as a data file, each of
// the service's event ids formatted with the insertion strings the service
// passes.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

// A file in the folder of this test program, which is the build's bin/.
std::string beside_this_program(const char* name)
{
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

class MessageDllTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExA(beside_this_program("talvexMSG.dll").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_) << "talvexMSG.dll not found beside the test, error "
                                    << GetLastError();
    }
    void TearDown() override
    {
        if (module_) FreeLibrary(module_);
    }

    // The text the Event Viewer shows for an event with these strings, or
    // "<error N>" when the library has no message for the id.
    std::string format(DWORD id, const char* first, const char* second)
    {
        DWORD_PTR args[2] = {(DWORD_PTR)first, (DWORD_PTR)second};
        char text[1024];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_,
                                 id, 0, text, sizeof text, (va_list*)args);
        if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
        return std::string(text, n);
    }

    HMODULE module_ = nullptr;
};

struct Expected {
    DWORD id;
    const char* text;   // with the strings "Orders" and "exit code 3 text"
    bool carries_text;
};

const Expected MESSAGES[] = {
    {0x40000001, "The container of service Orders has started.\r\n", false},
    {0x40000002, "The container of service Orders has ended normally.\r\n", false},
    {0x40000007,
     "The container of service Orders has asked to be restarted; the service launches it again.\r\n",
     false},
    {0x80000005, "Service Orders: warning: exit code 3 text\r\n", true},
    {0xC0000003, "Service Orders: the container could not be launched: exit code 3 text\r\n", true},
    {0xC0000004, "Service Orders: the container ended with exit code exit code 3 text.\r\n", true},
    {0xC0000006, "Service Orders: exit code 3 text\r\n", true},
};

TEST_F(MessageDllTest, EveryEventIdFormatsWithItsInsertionStrings)
{
    for (const Expected& m : MESSAGES) {
        std::string text = format(m.id, "Orders", "exit code 3 text");
        EXPECT_EQ(m.text, text) << std::hex << m.id;
        EXPECT_NE(std::string::npos, text.find("Orders")) << std::hex << m.id;
        EXPECT_EQ(m.carries_text, text.find("exit code 3 text") != std::string::npos) << std::hex << m.id;
        EXPECT_EQ(std::string::npos, text.find('%')) << "unsubstituted insert in " << std::hex << m.id;
    }
}

TEST_F(MessageDllTest, InsertionStringsAreTakenLiterally)
{
    // A child's error output may hold percent signs and line breaks; they
    // must reach the reader as they were.
    EXPECT_EQ("Service C:\\svc\\talvex.exe: 100% failed\r\nat line 2\r\n",
              format(0xC0000006, "C:\\svc\\talvex.exe", "100% failed\r\nat line 2"));
    EXPECT_EQ("Service Orders: the container ended with exit code 14.\r\n",
              format(0xC0000004, "Orders", "14"));
}

TEST_F(MessageDllTest, IdsOutsideTheTableAreUnknown)
{
    // The severity bits are part of the id: the same number with another
    // severity is a different message.
    EXPECT_EQ("<error 317>", format(0x00000001, "Orders", "x"));
    EXPECT_EQ("<error 317>", format(0xC0000001, "Orders", "x"));
    EXPECT_EQ("<error 317>", format(0x40000008, "Orders", "x"));
}

}  // namespace
