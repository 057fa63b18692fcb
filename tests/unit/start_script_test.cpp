// Reading the container's start script that the launcher wrote.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

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

    void OpenDebugLog()
    {
        fake_fs_mkdir("C:\\logs");
        LogFile = plat_fopen(kLogPath, "wb");
        ASSERT_NE(nullptr, LogFile);
        DebugEnabled = 1;
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
        ASSERT_EQ(2u, events[0].strings.size());
        EXPECT_EQ("svc", events[0].strings[0]);
        EXPECT_EQ(text, events[0].strings[1]);
    }

    void ExpectBuffersEmptied()
    {
        EXPECT_STREQ("", commandLine);
        EXPECT_STREQ("", pathLine);
        EXPECT_STREQ("", workingDirectory);
    }
};

const char kScript[] =
    "@echo off\n"
    "cd /d \"D:\\orvane\\run\"\n"
    "set PATH=D:\\jre\\bin;%PATH%\n"
    "\"D:\\jre\\bin\\java.exe\" -cp x com.example.Main\n";

TEST_F(StartScriptTest, DefaultBootFileNamesTheScriptInTheWorkingDirectory)
{
    fake_fs_write("D:\\svc\\container.ini.bat", kScript);
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("D:\\orvane\\run", workingDirectory);
    EXPECT_STREQ("set PATH=D:\\jre\\bin;%PATH%\n", pathLine);
    EXPECT_STREQ("\"D:\\jre\\bin\\java.exe\" -cp x com.example.Main\n", commandLine);
    EXPECT_TRUE(fake_events().empty());
}

TEST_F(StartScriptTest, MissingScriptWritesTheDebugLineAndTheEvent)
{
    OpenDebugLog();
    EXPECT_EQ(0, Read());
    EXPECT_EQ("DEBUG: Phase 2: Failed to open phase 2 start script (D:\\svc\\.\\container.ini.bat)\n",
              fake_fs_read(kLogPath));
    ExpectOneLaunchFailure("Failed to open container start script (for phase 2)");
}

TEST_F(StartScriptTest, MissingScriptWithoutDebugWritesOnlyTheEvent)
{
    fake_fs_mkdir("C:\\logs");
    LogFile = plat_fopen(kLogPath, "wb");
    EXPECT_EQ(0, Read());
    EXPECT_EQ("", fake_fs_read(kLogPath));
    ExpectOneLaunchFailure("Failed to open container start script (for phase 2)");
}

TEST_F(StartScriptTest, ScriptNamesForAbsoluteRelativeAndUncBootFiles)
{
    OpenDebugLog();
    const struct {
        const char* boot;
        const char* name;
    } cases[] = {
        {"D:\\cfg\\boot.xml", "D:\\cfg\\boot.xml.bat"},
        {"\\\\host\\share\\boot.xml", "\\\\host\\share\\boot.xml.bat"},
        {"\\boot.xml", "\\boot.xml.bat"},
        {"conf\\boot.xml", "D:\\svc\\conf\\boot.xml.bat"},
        // Two characters or fewer always count as relative, a drive letter too.
        {"D:", "D:\\svc\\D:.bat"},
        {"\\b", "D:\\svc\\\\b.bat"},
    };
    std::string expected;
    for (const auto& c : cases) {
        Set(config.BootFile, c.boot);
        EXPECT_EQ(0, Read()) << c.boot;
        expected += std::string("DEBUG: Phase 2: Failed to open phase 2 start script (") + c.name + ")\n";
    }
    EXPECT_EQ(expected, fake_fs_read(kLogPath));
}

TEST_F(StartScriptTest, AbsoluteAndUncBootFilesAreReadFromTheirOwnPlace)
{
    fake_fs_write("D:\\cfg\\boot.xml.bat", kScript);
    Set(config.BootFile, "D:\\cfg\\boot.xml");
    EXPECT_EQ(1, Read());
    EXPECT_STREQ("D:\\orvane\\run", workingDirectory);

    fake_fs_write("\\\\host\\share\\boot.xml.bat", "x\n\"\\\\host\\run\"\np\nc\n");
    Set(config.BootFile, "\\\\host\\share\\boot.xml");
    EXPECT_EQ(1, Read());
    EXPECT_STREQ("\\\\host\\run", workingDirectory);
    EXPECT_STREQ("c\n", commandLine);
}

TEST_F(StartScriptTest, WorkingDirectoryRunsFromTheFirstToTheLastQuote)
{
    fake_fs_write("D:\\svc\\container.ini.bat", "x\necho \"a\" and \"b c\" done\np\nc\n");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("a\" and \"b c", workingDirectory);

    fake_fs_write("D:\\svc\\container.ini.bat", "x\ncd /d \" D:\\with blanks \" \np\nc\n");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ(" D:\\with blanks ", workingDirectory);
}

TEST_F(StartScriptTest, ASingleQuoteKeepsTheRestOfTheLine)
{
    fake_fs_write("D:\\svc\\container.ini.bat", "x\ncd /d \"D:\\run\np\nc\n");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("D:\\run\n", workingDirectory);
}

TEST_F(StartScriptTest, CrLfScriptsAreReadInTextMode)
{
    fake_fs_write("D:\\svc\\container.ini.bat",
                  "@echo off\r\ncd /d \"D:\\run\"\r\nset PATH=D:\\jre;%PATH%\r\njava -jar c.jar\r\n");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("D:\\run", workingDirectory);
    EXPECT_STREQ("set PATH=D:\\jre;%PATH%\n", pathLine);
    EXPECT_STREQ("java -jar c.jar\n", commandLine);
}

TEST_F(StartScriptTest, LastLineWithoutLineFeedAndLaterLinesIgnored)
{
    fake_fs_write("D:\\svc\\container.ini.bat", "x\n\"D:\\run\"\np\njava last");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("java last", commandLine);

    fake_fs_write("D:\\svc\\container.ini.bat", "x\n\"D:\\run\"\np\njava 4\nline 5\nline 6\n");
    ASSERT_EQ(1, Read());
    EXPECT_STREQ("java 4\n", commandLine);
    EXPECT_STREQ("p\n", pathLine);
}

TEST_F(StartScriptTest, ScriptsWithFewerThanFourLinesAreRefused)
{
    const char* scripts[] = {
        "x\n\"D:\\run\"\np\n",   // no command line
        "x\n\"D:\\run\"\n",      // no PATH line either
        "x\n",                   // one line
        "",                      // empty
    };
    for (const char* script : scripts) {
        SetUp();
        fake_fs_write("D:\\svc\\container.ini.bat", script);
        EXPECT_EQ(0, Read()) << script;
        ExpectOneLaunchFailure("Container start script D:\\svc\\.\\container.ini.bat has fewer than four lines");
        ExpectBuffersEmptied();
    }
}

TEST_F(StartScriptTest, LineTwoWithoutAQuoteIsRefused)
{
    fake_fs_write("D:\\svc\\container.ini.bat", "@echo off\ncd /d D:\\run\np\nc\n");
    EXPECT_EQ(0, Read());
    ExpectOneLaunchFailure(
        "Container start script D:\\svc\\.\\container.ini.bat line 2 holds no quoted working directory");
    ExpectBuffersEmptied();
}

TEST_F(StartScriptTest, ANameThatDoesNotFitCountsAsNotOpenable)
{
    OpenDebugLog();
    // 2047 + 1 + 2047 + 4 characters: four more than the name buffer holds.
    std::string dir = "D:\\" + std::string(2044, 'd');
    std::string boot = std::string(2047, 'b');
    Set(config.WorkingDirectory, dir);
    Set(config.BootFile, boot);
    int opensBefore = fake_call_count("fopen");
    EXPECT_EQ(0, Read());
    ExpectOneLaunchFailure("Failed to open container start script (for phase 2)");
    std::string log = fake_fs_read(kLogPath);
    EXPECT_EQ(0u, log.find("DEBUG: Phase 2: Failed to open phase 2 start script (D:\\ddd"));
    EXPECT_EQ(opensBefore, fake_call_count("fopen")) << "a cut name must not be opened";
}

TEST_F(StartScriptTest, LongLinesAreSplitByTheReader)
{
    // Line 2 holds 2046 characters before its line feed: the longest that fits.
    std::string dir = std::string(2044, 'w');
    std::string script = "x\n\"" + dir + "\"\np\nc\n";
    fake_fs_write("D:\\svc\\container.ini.bat", script);
    ASSERT_EQ(1, Read());
    EXPECT_EQ(dir, std::string(workingDirectory));
    EXPECT_STREQ("c\n", commandLine);
}

}  // namespace
