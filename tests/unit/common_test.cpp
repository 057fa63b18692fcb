// Shared helpers: bounded text, PathExists, FormatLastError.
#include <gtest/gtest.h>

#include <string.h>

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

TEST_F(CommonTest, PathExistsJoinsRelativePathsToTheBase)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    fake_fs_mkdir("D:\\jdk");
    EXPECT_EQ(1, PathExists("boot.xml", "D:\\svc"));
    // The backslash is added even when the base ends in one.
    EXPECT_EQ(1, PathExists("boot.xml", "D:\\svc\\"));
    EXPECT_EQ(0, PathExists("boot.xml", "D:\\other"));
    EXPECT_EQ(1, PathExists("D:\\jdk", "D:\\svc"));
    fake_set_current_directory("D:\\svc");
    EXPECT_EQ(0, PathExists("missing.xml", nullptr));
    EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
}

TEST_F(CommonTest, PathExistsTestsAbsolutePathsUnchanged)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    // The fake file system keeps a root-relative path as it is (Windows would
    // take it on the current drive).
    fake_fs_write("\\root.xml", "x");
    // A drive letter and colon, or a leading backslash, make a path absolute:
    // the base directory is not put in front.
    EXPECT_EQ(1, PathExists("D:\\svc\\boot.xml", "C:\\elsewhere"));
    EXPECT_EQ(1, PathExists("\\root.xml", "D:\\svc"));
    EXPECT_EQ(0, PathExists("\\boot.xml", "D:\\svc"));
}

TEST_F(CommonTest, PathExistsAddsTheBackslashToAnEmptyBase)
{
    // "" + "\\" + "root.xml" is the root-relative path \root.xml.
    fake_fs_write("\\root.xml", "x");
    fake_set_current_directory("C:\\work");
    EXPECT_EQ(1, PathExists("root.xml", ""));
    EXPECT_EQ(0, PathExists("root.xml", nullptr));
}

TEST_F(CommonTest, PathExistsWithoutABaseTestsAgainstTheCurrentDirectory)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    fake_set_current_directory("D:\\svc");
    EXPECT_EQ(1, PathExists("boot.xml", nullptr));
    // A one-character path is looked at safely.
    fake_fs_write("D:\\svc\\x", "x");
    EXPECT_EQ(1, PathExists("x", nullptr));
    EXPECT_EQ(0, PathExists("y", nullptr));
}

TEST_F(CommonTest, PathExistsRefusesJoinedPathsThatDoNotFit)
{
    std::string base(2040, 'a');
    base = "D:\\" + base;
    fake_fs_mkdir(base);
    EXPECT_EQ(1, PathExists(base.c_str(), nullptr));
    EXPECT_EQ(0, PathExists("abcdefghij", base.c_str()));
    EXPECT_EQ(206u, plat_get_last_error());
}

TEST_F(CommonTest, FormatLastErrorCutsTheLineBreakAndAddsTheCode)
{
    char buf[256];
    plat_set_last_error(2);
    FormatLastError(buf, sizeof buf);
    EXPECT_STREQ("The system cannot find the file specified. (0x2)", buf);
    plat_set_last_error(1060);
    FormatLastError(buf, sizeof buf);
    EXPECT_STREQ("The specified service does not exist as an installed service. (0x424)", buf);
}

TEST_F(CommonTest, FormatLastErrorIsEmptyWithoutTextOrRoom)
{
    char buf[256];
    strcpy(buf, "old");
    plat_set_last_error(99999);
    FormatLastError(buf, sizeof buf);
    EXPECT_STREQ("", buf);
    // "The system cannot find the file specified.\r\n" is 44 characters: it
    // needs 58 bytes.
    char tight[58];
    plat_set_last_error(2);
    FormatLastError(tight, sizeof tight);
    EXPECT_STREQ("The system cannot find the file specified. (0x2)", tight);
    char short_buf[57];
    FormatLastError(short_buf, sizeof short_buf);
    EXPECT_STREQ("", short_buf);
}

}  // namespace
