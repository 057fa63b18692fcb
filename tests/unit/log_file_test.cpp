// The log file: where it is opened, the previous run's copy, the writing
// convention (gating, line ends, flushing, nothing while absent), byte-exact
// copies of child output and the parameter dump.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "diag/log_file.h"
#include "fake/fake_core.h"

namespace {

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        fake_fs_mkdir("D:\\svc");
    }
    void TearDown() override
    {
        LogFile = nullptr;
        DebugEnabled = 0;
        if (capture_) fclose(capture_);
        // Closes the streams the fake handed out, so none outlives the test.
        fake_reset();
    }

    // Points LogFile at a fully buffered temporary file, so that a test can
    // tell what reached the file without flushing the stream itself.
    FILE* capture()
    {
        capture_ = tmpfile();
        setvbuf(capture_, nullptr, _IOFBF, 1 << 16);
        return capture_;
    }
    // What has reached the file behind `stream`, read past the stream's own
    // buffer: only flushed bytes show.
    static std::string flushed(FILE* stream)
    {
        std::string out;
        char buf[4096];
        off_t at = 0;
        for (;;) {
            ssize_t n = pread(fileno(stream), buf, sizeof buf, at);
            if (n <= 0) break;
            out.append(buf, (size_t)n);
            at += n;
        }
        return out;
    }

    FILE* capture_ = nullptr;
};

// --- where the file is opened ------------------------------------------------

TEST_F(LogFileTest, OpensServiceNameDotOutInTheWorkingDirectory)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("first line\n");
    EXPECT_EQ("first line\n", fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, TrailingBackslashOfTheDirectoryNamesTheSameFile)
{
    OpenLogFile("D:\\svc\\", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("x\n");
    EXPECT_EQ("x\n", fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, EmptyDirectoryNamesTheRootOfTheCurrentDrive)
{
    // The file system fake cannot create files in a root, so the path is
    // seen through the previous run's copy, which is renamed in place.
    fake_fs_write("\\Orders.out", "last run");
    OpenLogFile("", "Orders");
    EXPECT_TRUE(fake_fs_exists("\\Orders.out.1"));
    EXPECT_EQ("last run", fake_fs_read("\\Orders.out.1"));
}

TEST_F(LogFileTest, DirectoryLongerThan511CharactersIsNotCut)
{
    std::string dir = "D:\\" + std::string(1500, 'w');
    fake_fs_mkdir(dir);
    OpenLogFile(dir.c_str(), "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("kept\n");
    EXPECT_EQ("kept\n", fake_fs_read(dir + "\\Orders.out"));
}

TEST_F(LogFileTest, LongestDirectoryWithLongestServiceNameStillOpens)
{
    std::string dir = "D:\\" + std::string(2044, 'd');   // 2047 characters
    std::string name(256, 'n');
    fake_fs_mkdir(dir);
    fake_fs_write(dir + "\\" + name + ".out", "before");
    OpenLogFile(dir.c_str(), name.c_str());
    ASSERT_NE(nullptr, LogFile);
    log_always("after\n");
    EXPECT_EQ("after\n", fake_fs_read(dir + "\\" + name + ".out"));
    EXPECT_EQ("before", fake_fs_read(dir + "\\" + name + ".out.1"));
}

TEST_F(LogFileTest, PathTooLongForAnyServiceIsNotOpenedRatherThanCut)
{
    std::string dir = "D:\\" + std::string(2044, 'd');
    std::string name(300, 'n');
    fake_fs_mkdir(dir);
    OpenLogFile(dir.c_str(), name.c_str());
    EXPECT_EQ(nullptr, LogFile);
    EXPECT_EQ(0, fake_call_count("fopen"));
    EXPECT_EQ(0, fake_call_count("MoveFileExA"));
}

TEST_F(LogFileTest, OpensOncePerProcess)
{
    fake_fs_mkdir("D:\\other");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    FILE* first = LogFile;
    log_always("cycle 1\n");
    OpenLogFile("D:\\other", "Orders");
    OpenLogFile("D:\\svc", "Orders");
    EXPECT_EQ(first, LogFile);
    log_always("cycle 2\n");
    EXPECT_EQ("cycle 1\ncycle 2\n", fake_fs_read("D:\\svc\\Orders.out"));
    EXPECT_FALSE(fake_fs_exists("D:\\other\\Orders.out"));
    EXPECT_FALSE(fake_fs_exists("D:\\svc\\Orders.out.1"));
    EXPECT_EQ(1, fake_call_count("fopen"));
}

TEST_F(LogFileTest, MissingNamesLeaveTheLogAbsent)
{
    OpenLogFile(nullptr, "Orders");
    OpenLogFile("D:\\svc", nullptr);
    EXPECT_EQ(nullptr, LogFile);
    EXPECT_EQ(0, fake_call_count("fopen"));
}

TEST_F(LogFileTest, MissingDirectoryLeavesTheLogAbsent)
{
    OpenLogFile("D:\\missing", "Orders");
    EXPECT_EQ(nullptr, LogFile);
    EXPECT_FALSE(fake_fs_exists("D:\\missing\\Orders.out"));
}

// --- the previous run's log ---------------------------------------------------

TEST_F(LogFileTest, PreviousRunIsKeptAsDotOutDotOne)
{
    fake_fs_write("D:\\svc\\Orders.out", "run 2\r\n");
    fake_fs_write("D:\\svc\\Orders.out.1", "run 1\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    EXPECT_EQ("run 2\r\n", fake_fs_read("D:\\svc\\Orders.out.1"));
    EXPECT_EQ("", fake_fs_read("D:\\svc\\Orders.out"));
    log_always("run 3\n");
    EXPECT_EQ("run 3\n", fake_fs_read("D:\\svc\\Orders.out"));
    EXPECT_EQ("run 2\r\n", fake_fs_read("D:\\svc\\Orders.out.1"));
}

TEST_F(LogFileTest, FirstRunLeavesNoCopy)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    EXPECT_FALSE(fake_fs_exists("D:\\svc\\Orders.out.1"));
    EXPECT_EQ(0, fake_call_count("MoveFileExA"));
}

TEST_F(LogFileTest, FailedRenameStillOpensTheLog)
{
    fake_fs_write("D:\\svc\\Orders.out", "run 1");
    fake_fail("MoveFileExA", 32);
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("run 2\n");
    EXPECT_EQ("run 2\n", fake_fs_read("D:\\svc\\Orders.out"));
}

// --- the writing convention -----------------------------------------------------

TEST_F(LogFileTest, DebugLinesOnlyWhileDebugIsOn)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_debug("DEBUG: hidden %d\n", 1);
    log_always("always %d\n", 2);
    DebugEnabled = 1;
    log_debug("DEBUG: shown %d\n", 3);
    log_always("always %d\n", 4);
    DebugEnabled = 0;
    log_debug("DEBUG: hidden %d\n", 5);
    EXPECT_EQ("always 2\nDEBUG: shown 3\nalways 4\n", fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, NothingIsWrittenAndNothingBreaksWhileTheLogIsAbsent)
{
    DebugEnabled = 1;
    ServiceConfig config;
    memset(&config, 0, sizeof config);
    log_always("always\n");
    log_debug("DEBUG: x\n");
    log_raw("abc", 3);
    log_always_to(nullptr, "flusher\n");
    DumpServiceConfig(&config);
    EXPECT_EQ(nullptr, LogFile);
    // The same calls reach a log opened afterwards only with what is written then.
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("now\n");
    EXPECT_EQ("now\n", fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, LineFeedsBecomeThePlatformLineEnd)
{
    fake_set_text_line_end("\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("\nDEBUG: ServiceRemove: %s\n", "Thu Jan  1 00:00:00 2026\n");
    EXPECT_EQ("\r\nDEBUG: ServiceRemove: Thu Jan  1 00:00:00 2026\r\n\r\n",
              fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, TextThatAlreadyEndsInCarriageReturnLineFeedKeepsIt)
{
    // A system message carries its own CR LF; it must not become CR CR LF.
    fake_set_text_line_end("\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("Ctrl+Break could not be sent due to: %s\n", "The handle is invalid.\r\n");
    EXPECT_EQ("Ctrl+Break could not be sent due to: The handle is invalid.\r\n\r\n",
              fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, LinesLongerThanAnyBufferAreWrittenWhole)
{
    fake_set_text_line_end("\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    std::string entry = "PATH=" + std::string(40000, 'p');
    log_always("%s\n", entry.c_str());
    // Many line feeds: the converted text is twice the formatted one.
    std::string feeds(12000, '\n');
    log_always("%s", feeds.c_str());
    std::string expected = entry + "\r\n";
    for (int i = 0; i < 12000; ++i) expected += "\r\n";
    EXPECT_EQ(expected, fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, EveryWriterFlushesItsLine)
{
    FILE* file = capture();
    LogFile = file;
    DebugEnabled = 1;
    log_always("one\n");
    EXPECT_EQ("one\n", flushed(file));
    log_debug("DEBUG: two\n");
    EXPECT_EQ("one\nDEBUG: two\n", flushed(file));
    log_raw("three", 5);
    EXPECT_EQ("one\nDEBUG: two\nthree", flushed(file));
}

TEST_F(LogFileTest, GivenStreamIsWrittenAndFlushed)
{
    FILE* file = capture();
    fake_set_text_line_end("\r\n");
    log_always_to(file, "NT Service starting input flusher thread\n");
    EXPECT_EQ("NT Service starting input flusher thread\r\n", flushed(file));
    // The process-wide log is not involved.
    EXPECT_EQ(nullptr, LogFile);
}

TEST_F(LogFileTest, LinesOfConcurrentWritersNeverTear)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    const int lines = 400;
    std::string a(3000, 'a'), b(3000, 'b');
    std::thread ta([&] { for (int i = 0; i < lines; ++i) log_always("%s\n", a.c_str()); });
    std::thread tb([&] { for (int i = 0; i < lines; ++i) log_always("%s\n", b.c_str()); });
    ta.join();
    tb.join();
    std::string content = fake_fs_read("D:\\svc\\Orders.out");
    ASSERT_EQ((size_t)(2 * lines * 3001), content.size());
    int seen_a = 0, seen_b = 0;
    for (size_t at = 0; at < content.size(); at += 3001) {
        std::string line = content.substr(at, 3001);
        if (line == a + "\n") ++seen_a;
        else if (line == b + "\n") ++seen_b;
        else FAIL() << "torn line at byte " << at;
    }
    EXPECT_EQ(lines, seen_a);
    EXPECT_EQ(lines, seen_b);
}

// --- child output copied byte for byte ----------------------------------------------

TEST_F(LogFileTest, RawCopiesKeepNulAndCarriageReturnLineFeed)
{
    fake_set_text_line_end("\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    const char chunk1[] = {'s', 't', 'a', 'r', 't', '\r', '\n', '\0', 'x', '\n'};
    const char chunk2[] = {'\0', '\0', '\r', 'e', 'n', 'd', '\r', '\n'};
    log_raw(chunk1, sizeof chunk1);
    log_raw(chunk2, sizeof chunk2);
    std::string expected(chunk1, sizeof chunk1);
    expected.append(chunk2, sizeof chunk2);
    EXPECT_EQ(expected, fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, RawCopiesFollowFormattedLinesInOrder)
{
    fake_set_text_line_end("\r\n");
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("\n<container stdout suppressed from log>\n");
    log_raw("err\n", 4);
    log_raw("", 0);
    log_always("NT Service exiting input flusher thread\n");
    EXPECT_EQ(std::string("\r\n<container stdout suppressed from log>\r\nerr\n"
                          "NT Service exiting input flusher thread\r\n"),
              fake_fs_read("D:\\svc\\Orders.out"));
}

// --- the parameter dump --------------------------------------------------------------

ServiceConfig sample_config()
{
    ServiceConfig c;
    memset(&c, 0, sizeof c);
    strcpy(c.WorkingDirectory, "D:\\svc");
    strcpy(c.JavaExe, "D:\\jdk\\bin\\java.exe");
    strcpy(c.JavaArgs, "-Xmx512m");
    strcpy(c.Classpath, "lib\\a.jar;lib\\b.jar");
    strcpy(c.BootClasspath, "boot\\x.jar");
    strcpy(c.OrvaneHome, "D:\\orvane");
    strcpy(c.BootFile, ".\\container.ini");
    strcpy(c.DirectoryServiceBootFile, "ds.ini");
    strcpy(c.TimeoutSeconds, "90");
    strcpy(c.ShutdownTimeoutSeconds, "30");
    strcpy(c.PBE, "s3cret");
    strcpy(c.UtilDir, "D:\\talvex");
    strcpy(c.Debug, "1");
    c.StartTimeout = 90;
    c.ShutdownTimeout = 30;
    c.LogContainerOutputEnabled = 1;
    return c;
}

const char DUMP_HEAD[] =
    "DEBUG: WorkingDirectory=D:\\svc\n"
    "DEBUG: JavaExe=D:\\jdk\\bin\\java.exe\n"
    "DEBUG: JavaArgs=-Xmx512m\n"
    "DEBUG: Classpath=lib\\a.jar;lib\\b.jar\n"
    "DEBUG: BootClasspath=boot\\x.jar\n"
    "DEBUG: OrvaneHome=D:\\orvane\n"
    "DEBUG: BootFile=.\\container.ini\n"
    "DEBUG: DirectoryServiceBootFile=ds.ini\n";

TEST_F(LogFileTest, DumpWritesTheParametersInOrderWithThePasswordMasked)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    DebugEnabled = 1;
    ServiceConfig c = sample_config();
    DumpServiceConfig(&c);
    std::string expected = std::string(DUMP_HEAD) +
                           "DEBUG: TimeoutSeconds=90\n"
                           "DEBUG: PBE=********\n"
                           "DEBUG: UtilDir=D:\\talvex\n";
    std::string content = fake_fs_read("D:\\svc\\Orders.out");
    EXPECT_EQ(expected, content);
    EXPECT_EQ(std::string::npos, content.find("s3cret"));
}

TEST_F(LogFileTest, DumpShowsAnEmptyPasswordAsEmptyAndLogContainerOutputWhenSet)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    DebugEnabled = 1;
    ServiceConfig c = sample_config();
    c.PBE[0] = '\0';
    c.StartTimeout = -5;
    strcpy(c.LogContainerOutput, "false");
    DumpServiceConfig(&c);
    std::string expected = std::string(DUMP_HEAD) +
                           "DEBUG: TimeoutSeconds=-5\n"
                           "DEBUG: PBE=\n"
                           "DEBUG: UtilDir=D:\\talvex\n"
                           "DEBUG: LogContainerOutput=false\n";
    EXPECT_EQ(expected, fake_fs_read("D:\\svc\\Orders.out"));
}

TEST_F(LogFileTest, DumpUsesThePlatformLineEndAndFlushesAtItsEnd)
{
    FILE* file = capture();
    LogFile = file;
    fake_set_text_line_end("\r\n");
    DebugEnabled = 1;
    ServiceConfig c = sample_config();
    DumpServiceConfig(&c);
    std::string content = flushed(file);
    ASSERT_EQ(0u, content.rfind("DEBUG: WorkingDirectory=D:\\svc\r\nDEBUG: JavaExe=", 0));
    EXPECT_EQ(11, (int)std::count(content.begin(), content.end(), '\n'));
    EXPECT_EQ(11, (int)std::count(content.begin(), content.end(), '\r'));
    EXPECT_NE(std::string::npos, content.find("DEBUG: TimeoutSeconds=90\r\nDEBUG: PBE=********\r\n"));
}

TEST_F(LogFileTest, DumpWritesNothingWithoutDebug)
{
    OpenLogFile("D:\\svc", "Orders");
    ASSERT_NE(nullptr, LogFile);
    ServiceConfig c = sample_config();
    DumpServiceConfig(&c);
    EXPECT_EQ("", fake_fs_read("D:\\svc\\Orders.out"));
}

}  // namespace
