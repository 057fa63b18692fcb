// Shared helpers: bounded text, PathExists, FormatLastError.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "fake/fake_core.h"

namespace {

class CommonTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

TEST_F(CommonTest, BoundedCopiesCutAndTerminate)
{
    char small[5];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(0, text_copy(small, sizeof small, "abcdefgh"));
    EXPECT_STREQ("abcd", small);
    EXPECT_EQ(1, text_copy(small, sizeof small, "abcd"));
    EXPECT_STREQ("abcd", small);

    char buf[8] = "abc";
    EXPECT_EQ(1, text_append(buf, sizeof buf, "def"));
    EXPECT_STREQ("abcdef", buf);
    EXPECT_EQ(0, text_append(buf, sizeof buf, "ghi"));
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(0, text_format(buf, sizeof buf, "%s-%d", "long", 12345));
    EXPECT_STREQ("long-12", buf);
    EXPECT_EQ(1, text_equal_nocase("FaLsE", "false"));
    EXPECT_EQ(0, text_equal_nocase("false", "falsey"));
}

// A path is absolute when it starts with a backslash or its second character
// is a colon, and is then tested unchanged; a relative one is joined to the
// base with one backslash (even after an empty base or one that ends in a
// backslash), or tested against the current directory without a base.
TEST_F(CommonTest, PathExistsJoinsRelativePathsToTheBaseOnly)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    fake_fs_write("D:\\svc\\x", "x");
    fake_fs_mkdir("D:\\jdk");
    // The fake file system keeps a root-relative path as it is (Windows would
    // take it on the current drive).
    fake_fs_write("\\root.xml", "x");
    fake_set_current_directory("D:\\svc");
    const struct {
        const char* path;
        const char* base;
        int exists;
        uint32_t error;   // the system's reason, kept for the caller
    } rows[] = {
        {"boot.xml", "D:\\svc", 1, 0},
        {"boot.xml", "D:\\svc\\", 1, 0},
        {"boot.xml", "D:\\other", 0, 3},
        {"D:\\jdk", "D:\\svc", 1, 0},
        {"D:\\svc\\boot.xml", "C:\\elsewhere", 1, 0},
        {"\\root.xml", "D:\\svc", 1, 0},
        {"\\boot.xml", "D:\\svc", 0, 2},
        // "" + "\\" + "root.xml" is the root-relative path \root.xml.
        {"root.xml", "", 1, 0},
        {"root.xml", nullptr, 0, 2},
        {"boot.xml", nullptr, 1, 0},
        // A one-character path is looked at safely.
        {"x", nullptr, 1, 0},
        {"y", nullptr, 0, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " in " + (row.base ? row.base : "(none)"));
        plat_set_last_error(0);
        EXPECT_EQ(row.exists, PathExists(row.path, row.base));
        EXPECT_EQ(row.error, plat_get_last_error());
    }
}

TEST_F(CommonTest, PathExistsRefusesJoinedPathsThatDoNotFit)
{
    std::string base = "D:\\" + std::string(2040, 'a');
    fake_fs_mkdir(base);
    EXPECT_EQ(1, PathExists(base.c_str(), nullptr));
    EXPECT_EQ(0, PathExists("abcdefghij", base.c_str()));
    EXPECT_EQ(206u, plat_get_last_error());
}

TEST_F(CommonTest, FormatLastErrorCutsTheLineBreakAndAddsTheCodeOrGivesNothing)
{
    const char notFound[] = "The system cannot find the file specified. (0x2)";
    const struct {
        uint32_t code;
        size_t size;
        const char* text;
    } rows[] = {
        {2, 256, notFound},
        {1060, 256, "The specified service does not exist as an installed service. (0x424)"},
        {99999, 256, ""},
        // "The system cannot find the file specified.\r\n" is 44 characters: it
        // needs 58 bytes.
        {2, 58, notFound},
        {2, 57, ""},
    };
    for (const auto& row : rows) {
        char buf[256];
        strcpy(buf, "old");
        plat_set_last_error(row.code);
        FormatLastError(buf, row.size);
        EXPECT_STREQ(row.text, buf) << row.code << " into " << row.size << " bytes";
    }
}

}  // namespace
