// The log file: where it is opened, the previous run's copy, the writing
// convention (gating, line ends, flushing, nothing while absent), byte-exact
// copies of child output and the parameter dump.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "diag/log_file.h"
#include "fake/fake_core.h"

namespace {

const char kLog[] = "D:\\svc\\Orders.out";

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    void TearDown() override
    {
        LogFile = nullptr;
        DebugEnabled = 0;
        if (capture_) fclose(capture_);
        // Closes the streams the fake handed out, so none outlives the test.
        fake_reset();
    }

    void fresh()
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        fake_fs_mkdir("D:\\svc");
    }

    void open_log()
    {
        OpenLogFile("D:\\svc", "Orders");
        ASSERT_NE(nullptr, LogFile);
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

TEST_F(LogFileTest, OpensServiceNameDotOutInTheWorkingDirectoryOrNotAtAll)
{
    const std::string longDir = "D:\\" + std::string(1500, 'w');   // longer than 511 characters
    const std::string longestDir = "D:\\" + std::string(2044, 'd');   // 2047 characters
    const std::string longestName(256, 'n');
    const std::string tooLongName(300, 'n');
    const struct {
        const char* what;
        const char* directory;
        const char* name;
        std::string file;   // "" when no log may be opened
        int opens;
    } rows[] = {
        {"working directory", "D:\\svc", "Orders", kLog, 1},
        {"trailing backslash names the same file", "D:\\svc\\", "Orders", kLog, 1},
        {"directory longer than 511 characters is not cut", longDir.c_str(), "Orders", longDir + "\\Orders.out", 1},
        {"longest directory with the longest name", longestDir.c_str(), longestName.c_str(),
         longestDir + "\\" + longestName + ".out", 1},
        {"path too long for any service is not cut", longestDir.c_str(), tooLongName.c_str(), "", 0},
        {"no directory", nullptr, "Orders", "", 0},
        {"no service name", "D:\\svc", nullptr, "", 0},
        {"missing directory", "D:\\missing", "Orders", "", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        fake_fs_mkdir(longDir);
        fake_fs_mkdir(longestDir);
        OpenLogFile(row.directory, row.name);
        EXPECT_EQ(row.opens, fake_call_count("fopen"));
        if (row.file.empty()) {
            EXPECT_EQ(nullptr, LogFile);
            EXPECT_EQ(0, fake_call_count("MoveFileExA"));
            continue;
        }
        ASSERT_NE(nullptr, LogFile);
        log_always("first line\n");
        EXPECT_EQ("first line\n", fake_fs_read(row.file));
    }
    fresh();
    OpenLogFile("D:\\missing", "Orders");
    EXPECT_FALSE(fake_fs_exists("D:\\missing\\Orders.out"));
}

TEST_F(LogFileTest, EmptyDirectoryNamesTheRootOfTheCurrentDrive)
{
    // The file system fake cannot create files in a root, so the path is
    // seen through the previous run's copy, which is renamed in place.
    fake_fs_write("\\Orders.out", "last run");
    OpenLogFile("", "Orders");
    EXPECT_EQ("last run", fake_fs_read("\\Orders.out.1"));
}

TEST_F(LogFileTest, OpensOncePerProcess)
{
    fake_fs_mkdir("D:\\other");
    open_log();
    FILE* first = LogFile;
    log_always("cycle 1\n");
    OpenLogFile("D:\\other", "Orders");
    OpenLogFile("D:\\svc", "Orders");
    EXPECT_EQ(first, LogFile);
    log_always("cycle 2\n");
    EXPECT_EQ("cycle 1\ncycle 2\n", fake_fs_read(kLog));
    EXPECT_FALSE(fake_fs_exists("D:\\other\\Orders.out"));
    EXPECT_FALSE(fake_fs_exists("D:\\svc\\Orders.out.1"));
    EXPECT_EQ(1, fake_call_count("fopen"));
}

// --- the previous run's log ---------------------------------------------------

TEST_F(LogFileTest, PreviousRunIsKeptAsDotOutDotOne)
{
    fake_fs_write(kLog, "run 2\r\n");
    fake_fs_write("D:\\svc\\Orders.out.1", "run 1\r\n");
    open_log();
    EXPECT_EQ("run 2\r\n", fake_fs_read("D:\\svc\\Orders.out.1"));
    EXPECT_EQ("", fake_fs_read(kLog));
    log_always("run 3\n");
    EXPECT_EQ("run 3\n", fake_fs_read(kLog));
}

TEST_F(LogFileTest, FailedRenameStillOpensTheLog)
{
    fake_fs_write(kLog, "run 1");
    fake_fail("MoveFileExA", 32);
    open_log();
    log_always("run 2\n");
    EXPECT_EQ("run 2\n", fake_fs_read(kLog));
}

// --- the writing convention -----------------------------------------------------

TEST_F(LogFileTest, DebugLinesOnlyWhileDebugIsOn)
{
    open_log();
    log_debug("DEBUG: hidden %d\n", 1);
    log_always("always %d\n", 2);
    DebugEnabled = 1;
    log_debug("DEBUG: shown %d\n", 3);
    log_always("always %d\n", 4);
    DebugEnabled = 0;
    log_debug("DEBUG: hidden %d\n", 5);
    EXPECT_EQ("always 2\nDEBUG: shown 3\nalways 4\n", fake_fs_read(kLog));
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
    // A log opened afterwards gets only what is written then.
    open_log();
    log_always("now\n");
    EXPECT_EQ("now\n", fake_fs_read(kLog));
}

// The wrapper's own line feeds become the platform's line end, a text that
// already ends in CR LF (a system message) does not become CR CR LF, and
// child output is copied byte for byte, NUL and CR LF included, in order.
TEST_F(LogFileTest, OwnLinesTakeThePlatformLineEndAndChildBytesStayAsTheyWere)
{
    fake_set_text_line_end("\r\n");
    open_log();
    const char chunk1[] = {'s', 't', 'a', 'r', 't', '\r', '\n', '\0', 'x', '\n'};
    const char chunk2[] = {'\0', '\0', '\r', 'e', 'n', 'd', '\r', '\n'};
    log_always("\nDEBUG: ServiceRemove: %s\n", "Thu Jan  1 00:00:00 2026\n");
    log_raw(chunk1, sizeof chunk1);
    log_raw("", 0);
    log_always("Ctrl+Break could not be sent due to: %s\n", "The handle is invalid.\r\n");
    log_raw(chunk2, sizeof chunk2);
    std::string expected = "\r\nDEBUG: ServiceRemove: Thu Jan  1 00:00:00 2026\r\n\r\n";
    expected.append(chunk1, sizeof chunk1);
    expected += "Ctrl+Break could not be sent due to: The handle is invalid.\r\n\r\n";
    expected.append(chunk2, sizeof chunk2);
    EXPECT_EQ(expected, fake_fs_read(kLog));
}

TEST_F(LogFileTest, LinesLongerThanAnyBufferAreWrittenWhole)
{
    fake_set_text_line_end("\r\n");
    open_log();
    std::string entry = "PATH=" + std::string(40000, 'p');
    log_always("%s\n", entry.c_str());
    // Many line feeds: the converted text is twice the formatted one.
    std::string feeds(12000, '\n');
    log_always("%s", feeds.c_str());
    std::string expected = entry + "\r\n";
    for (int i = 0; i < 12000; ++i) expected += "\r\n";
    EXPECT_EQ(expected, fake_fs_read(kLog));
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
    // A given stream (the input flusher's) is written and flushed alike,
    // with the platform's line end.
    fake_set_text_line_end("\r\n");
    FILE* other = tmpfile();
    setvbuf(other, nullptr, _IOFBF, 1 << 16);
    log_always_to(other, "NT Service starting input flusher thread\n");
    EXPECT_EQ("NT Service starting input flusher thread\r\n", flushed(other));
    fclose(other);
    EXPECT_EQ("one\nDEBUG: two\nthree", flushed(file));
}

TEST_F(LogFileTest, LinesOfConcurrentWritersNeverTear)
{
    open_log();
    const int lines = 400;
    std::string a(3000, 'a'), b(3000, 'b');
    std::thread ta([&] { for (int i = 0; i < lines; ++i) log_always("%s\n", a.c_str()); });
    std::thread tb([&] { for (int i = 0; i < lines; ++i) log_always("%s\n", b.c_str()); });
    ta.join();
    tb.join();
    std::string content = fake_fs_read(kLog);
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

// The lines in order, the password masked (empty when empty), the start
// timeout as the number it was read as, LogContainerOutput only when set, and
// nothing at all without debug mode.
TEST_F(LogFileTest, DumpWritesTheParametersInOrderWithThePasswordMasked)
{
    const std::string head =
        "DEBUG: WorkingDirectory=D:\\svc\n"
        "DEBUG: JavaExe=D:\\jdk\\bin\\java.exe\n"
        "DEBUG: JavaArgs=-Xmx512m\n"
        "DEBUG: Classpath=lib\\a.jar;lib\\b.jar\n"
        "DEBUG: BootClasspath=boot\\x.jar\n"
        "DEBUG: OrvaneHome=D:\\orvane\n"
        "DEBUG: BootFile=.\\container.ini\n"
        "DEBUG: DirectoryServiceBootFile=ds.ini\n";
    const struct {
        const char* what;
        uint32_t debug;
        std::function<void(ServiceConfig&)> change;
        std::string dump;
    } rows[] = {
        {"sample", 1, [](ServiceConfig&) {},
         head + "DEBUG: TimeoutSeconds=90\nDEBUG: PBE=********\nDEBUG: UtilDir=D:\\talvex\n"},
        {"empty password, LogContainerOutput set", 1,
         [](ServiceConfig& c) {
             c.PBE[0] = '\0';
             c.StartTimeout = -5;
             strcpy(c.LogContainerOutput, "false");
         },
         head + "DEBUG: TimeoutSeconds=-5\nDEBUG: PBE=\nDEBUG: UtilDir=D:\\talvex\nDEBUG: LogContainerOutput=false\n"},
        {"debug off", 0, [](ServiceConfig&) {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        open_log();
        DebugEnabled = row.debug;
        ServiceConfig c = sample_config();
        row.change(c);
        DumpServiceConfig(&c);
        EXPECT_EQ(row.dump, fake_fs_read(kLog));
    }
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

}  // namespace
