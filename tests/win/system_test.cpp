// Environment, files and modules, system texts, heap, time and version,
// against the real system.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "common/helpers.h"
#include "common/platform.h"

namespace {

enum { ERROR_ENVVAR_NOT_FOUND_CODE = 203, ERROR_PATH_NOT_FOUND_CODE = 3, ERROR_MOD_NOT_FOUND_CODE = 126 };

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ModulePath()
{
    char buf[MAX_PATH];
    uint32_t length = plat_module_file_name(nullptr, buf, sizeof buf);
    return std::string(buf, length);
}

std::string ModuleDirectory()
{
    std::string path = ModulePath();
    return path.substr(0, path.find_last_of('\\'));
}

// A scratch directory of its own under the system's temporary directory.
class FileTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char temp[MAX_PATH];
        DWORD length = GetTempPathA(sizeof temp, temp);
        ASSERT_GT(length, 0u);
        dir = std::string(temp, length) + "talvex-win-test-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir.c_str(), nullptr);
    }

    void TearDown() override
    {
        DeleteFileA((dir + "\\a.txt").c_str());
        DeleteFileA((dir + "\\b.txt").c_str());
        RemoveDirectoryA(dir.c_str());
    }

    std::string ReadBytes(const std::string& path)
    {
        std::string out;
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) return "<missing>";
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
        return out;
    }
};

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------

TEST(EnvironmentTest, SetValueReadsBackWithItsLength)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_A", "C:\\java\\bin"));
    char buf[64];
    EXPECT_EQ(11u, plat_get_env("TALVEX_ENV_A", buf, sizeof buf));
    EXPECT_STREQ("C:\\java\\bin", buf);
    plat_set_env("TALVEX_ENV_A", nullptr);
}

TEST(EnvironmentTest, SmallBufferGetsTheNeededSizeWithTheTerminator)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_B", "abcdef"));
    char buf[4];
    EXPECT_EQ(7u, plat_get_env("TALVEX_ENV_B", buf, sizeof buf));
    EXPECT_EQ(7u, plat_get_env("TALVEX_ENV_B", nullptr, 0));
    char exact[7];
    EXPECT_EQ(6u, plat_get_env("TALVEX_ENV_B", exact, sizeof exact));
    EXPECT_STREQ("abcdef", exact);
    plat_set_env("TALVEX_ENV_B", nullptr);
}

TEST(EnvironmentTest, RemovedVariableIsNotFound)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_C", "x"));
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_C", nullptr));
    char buf[16];
    plat_set_last_error(0);
    EXPECT_EQ(0u, plat_get_env("TALVEX_ENV_C", buf, sizeof buf));
    EXPECT_EQ((uint32_t)ERROR_ENVVAR_NOT_FOUND_CODE, plat_get_last_error());
}

TEST(EnvironmentTest, BlockListsTheVariablesAsNameValuePairs)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_D", "in-block"));
    char* block = plat_environment_block();
    ASSERT_NE(nullptr, block);
    int found = 0;
    // The block is a run of NUL-terminated entries ended by an empty one.
    for (const char* entry = block; *entry != '\0'; entry += strlen(entry) + 1)
        if (strcmp(entry, "TALVEX_ENV_D=in-block") == 0) found = 1;
    EXPECT_EQ(1, found);
    plat_free_environment_block(block);
    plat_set_env("TALVEX_ENV_D", nullptr);
}

TEST(EnvironmentTest, ExpandReplacesVariablesAndCountsTheTerminator)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_E", "C:\\jre"));
    char buf[64];
    EXPECT_EQ(11u, plat_expand_env("%TALVEX_ENV_E%\\bin", buf, sizeof buf));
    EXPECT_STREQ("C:\\jre\\bin", buf);
    plat_set_env("TALVEX_ENV_E", nullptr);
}

TEST(EnvironmentTest, ExpandIntoASmallBufferGivesTheNeededSize)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_F", "0123456789"));
    char buf[4];
    uint32_t needed = plat_expand_env("%TALVEX_ENV_F%;x", buf, sizeof buf);
    EXPECT_EQ(13u, needed);
    plat_set_env("TALVEX_ENV_F", nullptr);
}

TEST(EnvironmentTest, ExpandLeavesAnUnknownVariableAsWritten)
{
    char buf[64];
    EXPECT_EQ(23u, plat_expand_env("%TALVEX_ENV_NOT_SET%\\x", buf, sizeof buf));
    EXPECT_STREQ("%TALVEX_ENV_NOT_SET%\\x", buf);
}

// ---------------------------------------------------------------------------
// Files, modules and the current directory
// ---------------------------------------------------------------------------

TEST_F(FileTest, EntryTestFindsFilesAndDirectories)
{
    EXPECT_EQ(1, plat_path_has_entry(ModulePath().c_str()));
    EXPECT_EQ(1, plat_path_has_entry(dir.c_str()));
}

TEST_F(FileTest, MissingEntryGivesFileOrPathNotFound)
{
    EXPECT_EQ(0, plat_path_has_entry((dir + "\\missing.txt").c_str()));
    EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
    EXPECT_EQ(0, plat_path_has_entry((dir + "\\missing\\x.txt").c_str()));
    EXPECT_EQ((uint32_t)ERROR_PATH_NOT_FOUND_CODE, plat_get_last_error());
}

TEST_F(FileTest, PathExistsJoinsARelativePathToItsBase)
{
    std::string base = ModuleDirectory();
    std::string name = ModulePath().substr(base.size() + 1);
    EXPECT_EQ(1, PathExists(name.c_str(), base.c_str()));
    EXPECT_EQ(0, PathExists("talvex-missing.exe", base.c_str()));
    EXPECT_EQ(1, PathExists(ModulePath().c_str(), "C:\\ignored"));
}

TEST_F(FileTest, TextStreamWritesWindowsLineEnds)
{
    std::string path = dir + "\\a.txt";
    FILE* f = plat_fopen(path.c_str(), "wt");
    ASSERT_NE(nullptr, f);
    fputs("first\nsecond\n", f);
    fclose(f);
    EXPECT_EQ("first\r\nsecond\r\n", ReadBytes(path));
    EXPECT_STREQ("\r\n", plat_text_line_end());
}

TEST_F(FileTest, TextStreamReadsLinesWithoutTheCarriageReturn)
{
    std::string path = dir + "\\a.txt";
    FILE* raw = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, raw);
    fputs("cd /d C:\\app\r\nset PATH=x\r\n", raw);
    fclose(raw);

    FILE* f = plat_fopen(path.c_str(), "r");
    ASSERT_NE(nullptr, f);
    char line[64];
    ASSERT_NE(nullptr, fgets(line, sizeof line, f));
    EXPECT_STREQ("cd /d C:\\app\n", line);
    fclose(f);
}

TEST_F(FileTest, OpeningAMissingFileForReadingFails)
{
    EXPECT_EQ(nullptr, plat_fopen((dir + "\\missing.txt").c_str(), "r"));
}

TEST_F(FileTest, RenameReplacesAnExistingTarget)
{
    std::string from = dir + "\\a.txt", to = dir + "\\b.txt";
    FILE* f = fopen(from.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("new", f);
    fclose(f);
    f = fopen(to.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("old content", f);
    fclose(f);

    ASSERT_EQ(1, plat_rename_replace(from.c_str(), to.c_str()));
    EXPECT_EQ("new", ReadBytes(to));
    EXPECT_EQ(0, plat_path_has_entry(from.c_str()));
}

TEST_F(FileTest, RenameOfAMissingFileFails)
{
    EXPECT_EQ(0, plat_rename_replace((dir + "\\missing.txt").c_str(), (dir + "\\b.txt").c_str()));
    EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
}

TEST(ModuleTest, ExecutableNameIsTheFullPathOfThisProgram)
{
    std::string path = ModulePath();
    EXPECT_TRUE(EndsWith(Lower(path), "\\talvex_win_tests.exe")) << path;
    EXPECT_EQ(':', path[1]);
}

TEST(ModuleTest, NameThatDoesNotFitIsCutAndReportsTheCapacity)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    plat_set_last_error(0);
    EXPECT_EQ(8u, plat_module_file_name(nullptr, buf, sizeof buf));
    EXPECT_EQ((uint32_t)PLAT_ERROR_INSUFFICIENT_BUFFER, plat_get_last_error());
    EXPECT_EQ('\0', buf[7]);
    EXPECT_EQ(ModulePath().substr(0, 7), std::string(buf));
}

TEST(ModuleTest, LoadedLibraryHasItsOwnFileName)
{
    LibHandle lib = plat_load_library("kernel32.dll");
    ASSERT_NE(nullptr, lib);
    char buf[MAX_PATH];
    uint32_t length = plat_module_file_name(lib, buf, sizeof buf);
    ASSERT_GT(length, 0u);
    EXPECT_TRUE(EndsWith(Lower(std::string(buf, length)), "\\kernel32.dll")) << buf;
    plat_free_library(lib);
}

TEST(ModuleTest, MissingLibraryIsModuleNotFound)
{
    EXPECT_EQ(nullptr, plat_load_library("talvexNoSuchLibrary.dll"));
    EXPECT_EQ((uint32_t)ERROR_MOD_NOT_FOUND_CODE, plat_get_last_error());
}

TEST(CurrentDirectoryTest, LengthAndNeededSize)
{
    char buf[MAX_PATH];
    uint32_t length = plat_current_directory(buf, sizeof buf);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(strlen(buf), length);
    EXPECT_EQ(1, plat_path_has_entry(buf));

    char small[2];
    EXPECT_EQ(length + 1, plat_current_directory(small, sizeof small));
}

TEST(CurrentDirectoryTest, FollowsAChangeOfDirectory)
{
    char saved[MAX_PATH];
    ASSERT_GT(plat_current_directory(saved, sizeof saved), 0u);
    char windows_dir[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows_dir, sizeof windows_dir), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(windows_dir));
    char now[MAX_PATH];
    plat_current_directory(now, sizeof now);
    SetCurrentDirectoryA(saved);
    EXPECT_EQ(Lower(windows_dir), Lower(now));
}

// ---------------------------------------------------------------------------
// Last error and system texts
// ---------------------------------------------------------------------------

TEST(SystemMessageTest, LastErrorRoundTrips)
{
    plat_set_last_error(1066);
    EXPECT_EQ(1066u, plat_get_last_error());
    EXPECT_EQ(1066u, GetLastError());
}

TEST(SystemMessageTest, TextKeepsTheSystemsLineBreak)
{
    char buf[256];
    size_t length = plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, buf, sizeof buf);
    // Wine's own text for code 2; Windows says "The system cannot find the
    // file specified." with the same line break.
    EXPECT_EQ("File not found.\r\n", std::string(buf));
    EXPECT_EQ(strlen(buf), length);
}

TEST(SystemMessageTest, NeutralLanguageGivesTheSameText)
{
    char neutral[256], user[256];
    ASSERT_GT(plat_system_message(PLAT_ERROR_ACCESS_DENIED, 0, neutral, sizeof neutral), 0u);
    ASSERT_GT(plat_system_message(PLAT_ERROR_ACCESS_DENIED, 0x400, user, sizeof user), 0u);
    EXPECT_STREQ(user, neutral);
    EXPECT_TRUE(EndsWith(neutral, "\r\n"));
}

TEST(SystemMessageTest, TextThatDoesNotFitGivesNothing)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, buf, sizeof buf));
    EXPECT_STREQ("", buf);
    EXPECT_EQ((uint32_t)PLAT_ERROR_INSUFFICIENT_BUFFER, plat_get_last_error());
}

TEST(SystemMessageTest, TextThatExactlyFitsWithItsTerminatorIsCopied)
{
    char full[256];
    size_t length = plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, full, sizeof full);
    ASSERT_GT(length, 0u);
    char exact[256];
    EXPECT_EQ(length, plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, exact, length + 1));
    EXPECT_STREQ(full, exact);
    EXPECT_EQ(0u, plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, exact, length));
}

TEST(SystemMessageTest, CodeWithoutTextGivesNothing)
{
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, plat_system_message(0x2ABCDEF1u, 0x400, buf, sizeof buf));
    EXPECT_STREQ("", buf);
}

TEST(SystemMessageTest, FormatLastErrorDropsTheLineBreakAndAddsTheCode)
{
    char buf[ERROR_TEXT_SIZE];
    plat_set_last_error(PLAT_ERROR_FILE_NOT_FOUND);
    FormatLastError(buf, sizeof buf);
    EXPECT_STREQ("File not found. (0x2)", buf);
}

// ---------------------------------------------------------------------------
// Heap
// ---------------------------------------------------------------------------

TEST(HeapTest, BlocksAreZeroedAndKeepTheirContentWhenGrown)
{
    unsigned char* block = (unsigned char*)plat_heap_alloc(64);
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(0, block[i]) << i;
    memcpy(block, "talvex", 7);
    unsigned char* grown = (unsigned char*)plat_heap_realloc(block, 4096);
    ASSERT_NE(nullptr, grown);
    EXPECT_STREQ("talvex", (const char*)grown);
    // The block belongs to the process heap, where plat_heap_free returns it.
    EXPECT_NE(0, HeapValidate(GetProcessHeap(), 0, grown));
    plat_heap_free(grown);
}

// ---------------------------------------------------------------------------
// Time and version
// ---------------------------------------------------------------------------

TEST(TimeTest, SecondsAgreeWithTheSystemClock)
{
    // FILETIME counts 100 ns steps since 1601; 11644473600 s separate the two
    // epochs.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    int64_t system_seconds = (int64_t)(t.QuadPart / 10000000ull) - 11644473600ll;
    int64_t ours = plat_time_seconds();
    EXPECT_LE(system_seconds - 2, ours);
    EXPECT_GE(system_seconds + 2, ours);
}

TEST(TimeTest, TickCountAdvancesWithRealTime)
{
    PlatHandle never = plat_create_event();
    uint32_t before = plat_tick_count();
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(never, 200));
    uint32_t elapsed = plat_tick_count() - before;
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 10000u);
    plat_close_handle(never);
}

TEST(TimeTest, AsctimeTextHasTheRuntimesShapeAfter2038)
{
    // Sunday 15 July 2040, 12:00:00 UTC: past the 32-bit limit, and in the
    // middle of a day, so every time zone still sees the 15th.
    char buf[64];
    memset(buf, 'x', sizeof buf);
    plat_asctime_local(2225966400ll, buf, sizeof buf);
    std::string text(buf);
    ASSERT_EQ(25u, text.size()) << text;
    EXPECT_EQ("Sun Jul 15 ", text.substr(0, 11));
    EXPECT_EQ(':', text[13]);
    EXPECT_EQ(':', text[16]);
    EXPECT_EQ(":00 2040\n", text.substr(16));
}

TEST(TimeTest, AsctimeDayOfMonthHasTwoDigits)
{
    // The Windows runtime writes the day with a leading zero ("Jul 01"),
    // where the C standard's asctime pads it with a space.  Sunday 1 July
    // 2040, 12:00:00 UTC.
    char buf[64];
    plat_asctime_local(2224756800ll, buf, sizeof buf);
    EXPECT_EQ("Sun Jul 01 ", std::string(buf).substr(0, 11));
}

TEST(TimeTest, AsctimeIntoASmallBufferIsCutAndTerminated)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    plat_asctime_local(2225966400ll, buf, sizeof buf);
    EXPECT_STREQ("Sun Jul", buf);
}

TEST(VersionTest, MajorVersionIsTheSystemsOwn)
{
    uint32_t major = 0;
    ASSERT_EQ(1, plat_os_major_version(&major));
    EXPECT_EQ((uint32_t)(LOBYTE(LOWORD(GetVersion()))), major);
    EXPECT_GE(major, 5u);
}

}  // namespace
