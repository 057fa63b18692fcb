// The log file on a real Windows file system: CR LF line ends for the
// wrapper's own lines, child output byte for byte, and the previous run's
// file kept beside the new one.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <string>

#include "diag/log_file.h"

namespace {

class LogFileWinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
        dir_ = std::string(temp) + "talvex-log-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir_.c_str(), nullptr);
        remove_files();
        LogFile = nullptr;
        DebugEnabled = 0;
    }
    void TearDown() override
    {
        if (LogFile) fclose(LogFile);
        LogFile = nullptr;
        DebugEnabled = 0;
        remove_files();
        RemoveDirectoryA(dir_.c_str());
    }
    void remove_files()
    {
        DeleteFileA((dir_ + "\\Orders.out").c_str());
        DeleteFileA((dir_ + "\\Orders.out.1").c_str());
    }
    static std::string read_file(const std::string& path)
    {
        std::string out;
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) return "<missing>";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
        return out;
    }
    static void write_file(const std::string& path, const std::string& content)
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }

    std::string dir_;
};

TEST_F(LogFileWinTest, OwnLinesEndInCarriageReturnLineFeedAndChildBytesStayAsTheyWere)
{
    OpenLogFile(dir_.c_str(), "Orders");
    ASSERT_NE(nullptr, LogFile);
    DebugEnabled = 1;
    log_debug("DEBUG: init service complete\n");
    const char child[] = {'u', 'p', '\r', '\n', '\0', 'z', '\n'};
    log_raw(child, sizeof child);
    log_always("NT Service exiting input flusher thread\n");
    // Everything is on disk without closing the stream.
    std::string expected = "DEBUG: init service complete\r\n";
    expected.append(child, sizeof child);
    expected += "NT Service exiting input flusher thread\r\n";
    EXPECT_EQ(expected, read_file(dir_ + "\\Orders.out"));
}

TEST_F(LogFileWinTest, PreviousRunIsRenamedOverTheOlderCopy)
{
    write_file(dir_ + "\\Orders.out", "second run\r\n");
    write_file(dir_ + "\\Orders.out.1", "first run\r\n");
    // A trailing backslash gives a doubled separator, which Windows accepts.
    OpenLogFile((dir_ + "\\").c_str(), "Orders");
    ASSERT_NE(nullptr, LogFile);
    log_always("third run\n");
    EXPECT_EQ("third run\r\n", read_file(dir_ + "\\Orders.out"));
    EXPECT_EQ("second run\r\n", read_file(dir_ + "\\Orders.out.1"));
}

}  // namespace
