// Reading the container's start script that the launcher wrote.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/service_config.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "service/start_script.h"

namespace {

const char kLogPath[] = "C:\\logs\\svc.out";
const char kDefaultScript[] = "D:\\svc\\container.ini.bat";
const char kNotOpened[] = "Failed to open container start script (for phase 2)";

class StartScriptTest : public ::testing::Test {
protected:
    ServiceConfig config;
    char commandLine[COMMAND_LINE_SIZE];
    char pathLine[PATH_TEXT_SIZE];
    char workingDirectory[PATH_TEXT_SIZE];

    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        memset(&config, 0, sizeof config);
        Set(config.WorkingDirectory, "D:\\svc");
        Set(config.BootFile, ".\\container.ini");
        // The buffers hold the previous phase's values, as in the supervisor.
        text_copy(commandLine, sizeof commandLine, "\"java\" phase 1 line");
        text_copy(pathLine, sizeof pathLine, "set PATH=old\n");
        text_copy(workingDirectory, sizeof workingDirectory, "D:\\old");
    }

    void TearDown() override
    {
        LogFile = nullptr;
        DebugEnabled = 0;
    }

    template <size_t N>
    static void Set(char (&field)[N], const std::string& value)
    {
        ASSERT_EQ(1, text_copy(field, N, value.c_str()));
    }

    void OpenLog(uint32_t debug)
    {
        fake_fs_mkdir("C:\\logs");
        LogFile = plat_fopen(kLogPath, "wb");
        ASSERT_NE(nullptr, LogFile);
        DebugEnabled = debug;
    }

    int Read() { return ReadStartScript("svc", commandLine, pathLine, workingDirectory, &config); }

    // The only event a refused script may leave: one launch failure with the
    // service as source and the given text.
    void ExpectOneLaunchFailure(const std::string& text)
    {
        std::vector<FakeEvent> events = fake_events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ("svc", events[0].source);
        EXPECT_EQ(EVENT_LAUNCH_FAILED, events[0].id);
        EXPECT_EQ(1, events[0].type);
        EXPECT_EQ((std::vector<std::string>{"svc", text}), events[0].strings);
    }
};

// Line 2 gives the working directory between its first and last double quote
// (to the end of the line when it has only one), line 3 the PATH line and
// line 4 the command line, each with its line feed; CR LF scripts read alike,
// and lines after the fourth are ignored.
TEST_F(StartScriptTest, TheFourLinesGiveDirectoryPathAndCommandLine)
{
    const std::string longest(2044, 'w');
    const struct {
        const char* what;
        const char* bootFile;
        std::string scriptName;
        std::string script;
        std::string directory;
        const char* path;
        const char* command;
    } rows[] = {
        {"default boot file in the working directory", ".\\container.ini", kDefaultScript,
         "@echo off\ncd /d \"D:\\orvane\\run\"\nset PATH=D:\\jre\\bin;%PATH%\n"
         "\"D:\\jre\\bin\\java.exe\" -cp x com.example.Main\n",
         "D:\\orvane\\run", "set PATH=D:\\jre\\bin;%PATH%\n", "\"D:\\jre\\bin\\java.exe\" -cp x com.example.Main\n"},
        {"absolute boot file", "D:\\cfg\\boot.xml", "D:\\cfg\\boot.xml.bat", "x\ncd /d \"D:\\run\"\np\nc\n", "D:\\run",
         "p\n", "c\n"},
        {"UNC boot file", "\\\\host\\share\\boot.xml", "\\\\host\\share\\boot.xml.bat", "x\n\"\\\\host\\run\"\np\nc\n",
         "\\\\host\\run", "p\n", "c\n"},
        {"four quotes", ".\\container.ini", kDefaultScript, "x\necho \"a\" and \"b c\" done\np\nc\n", "a\" and \"b c",
         "p\n", "c\n"},
        {"blanks inside the quotes", ".\\container.ini", kDefaultScript, "x\ncd /d \" D:\\with blanks \" \np\nc\n",
         " D:\\with blanks ", "p\n", "c\n"},
        {"one quote keeps the rest of the line", ".\\container.ini", kDefaultScript, "x\ncd /d \"D:\\run\np\nc\n",
         "D:\\run\n", "p\n", "c\n"},
        {"CR LF lines", ".\\container.ini", kDefaultScript,
         "@echo off\r\ncd /d \"D:\\run\"\r\nset PATH=D:\\jre;%PATH%\r\njava -jar c.jar\r\n", "D:\\run",
         "set PATH=D:\\jre;%PATH%\n", "java -jar c.jar\n"},
        {"last line without a line feed", ".\\container.ini", kDefaultScript, "x\n\"D:\\run\"\np\njava last", "D:\\run",
         "p\n", "java last"},
        {"later lines ignored", ".\\container.ini", kDefaultScript, "x\n\"D:\\run\"\np\njava 4\nline 5\nline 6\n",
         "D:\\run", "p\n", "java 4\n"},
        // Line 2 holds 2046 characters before its line feed: the longest that fits.
        {"longest line 2", ".\\container.ini", kDefaultScript, "x\n\"" + longest + "\"\np\nc\n", longest,
         "p\n", "c\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        Set(config.BootFile, row.bootFile);
        fake_fs_write(row.scriptName, row.script);
        ASSERT_EQ(1, Read());
        EXPECT_EQ(row.directory, workingDirectory);
        EXPECT_STREQ(row.path, pathLine);
        EXPECT_STREQ(row.command, commandLine);
        EXPECT_TRUE(fake_events().empty());
    }
}

// A script that is not there is named in a debug line, with the name built
// as it was looked for: a boot file of more than two characters that starts
// with a backslash or has a colon second is taken as it is, any other one is
// joined to the working directory.
TEST_F(StartScriptTest, MissingScriptWritesTheDebugLineAndTheEvent)
{
    OpenLog(1);
    const struct {
        const char* boot;
        const char* name;
    } rows[] = {
        {".\\container.ini", "D:\\svc\\.\\container.ini.bat"},
        {"D:\\cfg\\boot.xml", "D:\\cfg\\boot.xml.bat"},
        {"\\\\host\\share\\boot.xml", "\\\\host\\share\\boot.xml.bat"},
        {"\\boot.xml", "\\boot.xml.bat"},
        {"conf\\boot.xml", "D:\\svc\\conf\\boot.xml.bat"},
        // Two characters or fewer always count as relative, a drive letter too.
        {"D:", "D:\\svc\\D:.bat"},
        {"\\b", "D:\\svc\\\\b.bat"},
    };
    std::string expected;
    for (const auto& row : rows) {
        fake_clear_events();
        Set(config.BootFile, row.boot);
        EXPECT_EQ(0, Read()) << row.boot;
        ExpectOneLaunchFailure(kNotOpened);
        expected += std::string("DEBUG: Phase 2: Failed to open phase 2 start script (") + row.name + ")\n";
    }
    EXPECT_EQ(expected, fake_fs_read(kLogPath));
}

TEST_F(StartScriptTest, MissingScriptWithoutDebugWritesOnlyTheEvent)
{
    OpenLog(0);
    EXPECT_EQ(0, Read());
    EXPECT_EQ("", fake_fs_read(kLogPath));
    ExpectOneLaunchFailure(kNotOpened);
}

TEST_F(StartScriptTest, ANameThatDoesNotFitCountsAsNotOpenable)
{
    OpenLog(1);
    // 2047 + 1 + 2047 + 4 characters: four more than the name buffer holds.
    Set(config.WorkingDirectory, "D:\\" + std::string(2044, 'd'));
    Set(config.BootFile, std::string(2047, 'b'));
    int opensBefore = fake_call_count("fopen");
    EXPECT_EQ(0, Read());
    ExpectOneLaunchFailure(kNotOpened);
    EXPECT_EQ(0u, fake_fs_read(kLogPath).find("DEBUG: Phase 2: Failed to open phase 2 start script (D:\\ddd"));
    EXPECT_EQ(opensBefore, fake_call_count("fopen")) << "a cut name must not be opened";
}

// A refused script leaves no leftovers of the previous run in the buffers.
TEST_F(StartScriptTest, ShortScriptsAndALineTwoWithoutAQuoteAreRefused)
{
    const std::string name = "Container start script D:\\svc\\.\\container.ini.bat";
    const struct {
        const char* script;
        std::string text;
    } rows[] = {
        {"x\n\"D:\\run\"\np\n", name + " has fewer than four lines"},
        {"x\n\"D:\\run\"\n", name + " has fewer than four lines"},
        {"x\n", name + " has fewer than four lines"},
        {"", name + " has fewer than four lines"},
        {"@echo off\ncd /d D:\\run\np\nc\n", name + " line 2 holds no quoted working directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        SetUp();
        fake_fs_write(kDefaultScript, row.script);
        EXPECT_EQ(0, Read());
        ExpectOneLaunchFailure(row.text);
        EXPECT_STREQ("", commandLine);
        EXPECT_STREQ("", pathLine);
        EXPECT_STREQ("", workingDirectory);
    }
}

}  // namespace
