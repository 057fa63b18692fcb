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

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------

TEST(EnvironmentTest, VariablesAreSetReadWithTheirLengthAndRemoved)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_A", "abcdef"));
    char buf[64];
    EXPECT_EQ(6u, plat_get_env("TALVEX_ENV_A", buf, sizeof buf));
    EXPECT_STREQ("abcdef", buf);
    // A buffer too small gets the size needed with the terminator.
    char small[4];
    EXPECT_EQ(7u, plat_get_env("TALVEX_ENV_A", small, sizeof small));
    EXPECT_EQ(7u, plat_get_env("TALVEX_ENV_A", nullptr, 0));
    char exact[7];
    EXPECT_EQ(6u, plat_get_env("TALVEX_ENV_A", exact, sizeof exact));
    EXPECT_STREQ("abcdef", exact);

    // The block is a run of NUL-terminated entries ended by an empty one.
    char* block = plat_environment_block();
    ASSERT_NE(nullptr, block);
    int found = 0;
    for (const char* entry = block; *entry != '\0'; entry += strlen(entry) + 1)
        if (strcmp(entry, "TALVEX_ENV_A=abcdef") == 0) found = 1;
    EXPECT_EQ(1, found);
    plat_free_environment_block(block);

    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_A", nullptr));
    plat_set_last_error(0);
    EXPECT_EQ(0u, plat_get_env("TALVEX_ENV_A", buf, sizeof buf));
    EXPECT_EQ((uint32_t)ERROR_ENVVAR_NOT_FOUND_CODE, plat_get_last_error());
}

TEST(EnvironmentTest, ExpandReplacesKnownVariablesAndCountsTheTerminator)
{
    ASSERT_EQ(1, plat_set_env("TALVEX_ENV_E", "C:\\jre"));
    const struct {
        const char* text;
        size_t size;
        uint32_t needed;
        const char* expanded;   // null when the buffer is too small to look at
    } rows[] = {
        {"%TALVEX_ENV_E%\\bin", 64, 11, "C:\\jre\\bin"},
        {"%TALVEX_ENV_NOT_SET%\\x", 64, 23, "%TALVEX_ENV_NOT_SET%\\x"},
        {"%TALVEX_ENV_E%;0123456", 4, 15, nullptr},
    };
    for (const auto& row : rows) {
        char buf[64];
        EXPECT_EQ(row.needed, plat_expand_env(row.text, buf, (uint32_t)row.size)) << row.text;
        if (row.expanded) {
            EXPECT_STREQ(row.expanded, buf);
        }
    }
    plat_set_env("TALVEX_ENV_E", nullptr);
}

// ---------------------------------------------------------------------------
// Files, modules and the current directory
// ---------------------------------------------------------------------------

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

    void WriteBytes(const std::string& path, const char* text)
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fputs(text, f);
        fclose(f);
    }
};

TEST_F(FileTest, EntryTestFindsFilesAndDirectoriesAndNamesWhatIsMissing)
{
    EXPECT_EQ(1, plat_path_has_entry(ModulePath().c_str()));
    EXPECT_EQ(1, plat_path_has_entry(dir.c_str()));
    EXPECT_EQ(0, plat_path_has_entry((dir + "\\missing.txt").c_str()));
    EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
    EXPECT_EQ(0, plat_path_has_entry((dir + "\\missing\\x.txt").c_str()));
    EXPECT_EQ((uint32_t)ERROR_PATH_NOT_FOUND_CODE, plat_get_last_error());
}

TEST_F(FileTest, PathExistsJoinsARelativePathToItsBase)
{
    std::string path = ModulePath();
    std::string base = path.substr(0, path.find_last_of('\\'));
    EXPECT_EQ(1, PathExists(path.substr(base.size() + 1).c_str(), base.c_str()));
    EXPECT_EQ(0, PathExists("talvex-missing.exe", base.c_str()));
    EXPECT_EQ(1, PathExists(path.c_str(), "C:\\ignored"));
}

TEST_F(FileTest, TextStreamsWriteAndReadWindowsLineEnds)
{
    std::string path = dir + "\\a.txt";
    FILE* f = plat_fopen(path.c_str(), "wt");
    ASSERT_NE(nullptr, f);
    fputs("first\nsecond\n", f);
    fclose(f);
    EXPECT_EQ("first\r\nsecond\r\n", ReadBytes(path));
    EXPECT_STREQ("\r\n", plat_text_line_end());

    WriteBytes(path, "cd /d C:\\app\r\nset PATH=x\r\n");
    f = plat_fopen(path.c_str(), "r");
    ASSERT_NE(nullptr, f);
    char line[64];
    ASSERT_NE(nullptr, fgets(line, sizeof line, f));
    EXPECT_STREQ("cd /d C:\\app\n", line);
    fclose(f);

    EXPECT_EQ(nullptr, plat_fopen((dir + "\\missing.txt").c_str(), "r"));
}

TEST_F(FileTest, RenameReplacesAnExistingTarget)
{
    std::string from = dir + "\\a.txt", to = dir + "\\b.txt";
    WriteBytes(from, "new");
    WriteBytes(to, "old content");
    ASSERT_EQ(1, plat_rename_replace(from.c_str(), to.c_str()));
    EXPECT_EQ("new", ReadBytes(to));
    EXPECT_EQ(0, plat_path_has_entry(from.c_str()));

    EXPECT_EQ(0, plat_rename_replace(from.c_str(), to.c_str()));
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
    // Terminated within the buffer, as Windows Vista and later do.
    ASSERT_EQ('\0', buf[7]);
    EXPECT_EQ(ModulePath().substr(0, 7), std::string(buf));
}

TEST(ModuleTest, LoadedLibraryHasItsOwnFileNameAndAMissingOneIsNotFound)
{
    LibHandle lib = plat_load_library("kernel32.dll");
    ASSERT_NE(nullptr, lib);
    char buf[MAX_PATH];
    uint32_t length = plat_module_file_name(lib, buf, sizeof buf);
    ASSERT_GT(length, 0u);
    EXPECT_TRUE(EndsWith(Lower(std::string(buf, length)), "\\kernel32.dll")) << buf;
    plat_free_library(lib);

    EXPECT_EQ(nullptr, plat_load_library("talvexNoSuchLibrary.dll"));
    EXPECT_EQ((uint32_t)ERROR_MOD_NOT_FOUND_CODE, plat_get_last_error());
}

TEST(CurrentDirectoryTest, LengthNeededSizeAndAChangeOfDirectory)
{
    char saved[MAX_PATH];
    uint32_t length = plat_current_directory(saved, sizeof saved);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(strlen(saved), length);
    EXPECT_EQ(1, plat_path_has_entry(saved));
    char small[2];
    EXPECT_EQ(length + 1, plat_current_directory(small, sizeof small));

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

TEST(SystemMessageTest, TextKeepsTheSystemsLineBreakInEitherLanguage)
{
    char buf[256];
    size_t length = plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, buf, sizeof buf);
    // Wine's own text for code 2; Windows says "The system cannot find the
    // file specified." with the same line break.
    EXPECT_EQ("File not found.\r\n", std::string(buf));
    EXPECT_EQ(strlen(buf), length);

    char neutral[256], user[256];
    ASSERT_GT(plat_system_message(PLAT_ERROR_ACCESS_DENIED, 0, neutral, sizeof neutral), 0u);
    ASSERT_GT(plat_system_message(PLAT_ERROR_ACCESS_DENIED, 0x400, user, sizeof user), 0u);
    EXPECT_STREQ(user, neutral);
    EXPECT_TRUE(EndsWith(neutral, "\r\n"));

    char formatted[ERROR_TEXT_SIZE];
    plat_set_last_error(PLAT_ERROR_FILE_NOT_FOUND);
    FormatLastError(formatted, sizeof formatted);
    EXPECT_STREQ("File not found. (0x2)", formatted);
}

TEST(SystemMessageTest, TextIsCopiedWholeOrNotAtAll)
{
    char full[256];
    size_t length = plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, full, sizeof full);
    ASSERT_GT(length, 0u);
    char buf[256];
    EXPECT_EQ(length, plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, buf, length + 1));
    EXPECT_STREQ(full, buf);

    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, plat_system_message(PLAT_ERROR_FILE_NOT_FOUND, 0x400, buf, length));
    EXPECT_STREQ("", buf);
    EXPECT_EQ((uint32_t)PLAT_ERROR_INSUFFICIENT_BUFFER, plat_get_last_error());

    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, plat_system_message(0x2ABCDEF1u, 0x400, buf, sizeof buf));
    EXPECT_STREQ("", buf);
}

// ---------------------------------------------------------------------------
// Heap, time and version
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

// Noon UTC, so every time zone sees the same day; past the 32-bit limit.  The
// Windows runtime writes the day with a leading zero ("Jul 01"), where the C
// standard's asctime pads it with a space.
TEST(TimeTest, AsctimeTextHasTheRuntimesShapeAfter2038)
{
    char buf[64];
    memset(buf, 'x', sizeof buf);
    plat_asctime_local(2225966400ll, buf, sizeof buf);   // Sunday 15 July 2040
    std::string text(buf);
    ASSERT_EQ(25u, text.size()) << text;
    EXPECT_EQ("Sun Jul 15 ", text.substr(0, 11));
    EXPECT_EQ(':', text[13]);
    EXPECT_EQ(":00 2040\n", text.substr(16));

    plat_asctime_local(2224756800ll, buf, sizeof buf);   // Sunday 1 July 2040
    EXPECT_EQ("Sun Jul 01 ", std::string(buf).substr(0, 11));

    char small[8];
    memset(small, 'x', sizeof small);
    plat_asctime_local(2225966400ll, small, sizeof small);
    EXPECT_STREQ("Sun Jul", small);
}

TEST(VersionTest, MajorVersionIsTheSystemsOwn)
{
    uint32_t major = 0;
    ASSERT_EQ(1, plat_os_major_version(&major));
    EXPECT_EQ((uint32_t)(LOBYTE(LOWORD(GetVersion()))), major);
    EXPECT_GE(major, 5u);
}

}  // namespace
