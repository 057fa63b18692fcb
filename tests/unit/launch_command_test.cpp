// The launcher's command line, compared byte for byte.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/helpers.h"
#include "common/text.h"
#include "config/service_config.h"
#include "service/launch_command.h"

namespace {

class LaunchCommandTest : public ::testing::Test {
protected:
    ServiceConfig config;

    void SetUp() override
    {
        memset(&config, 0, sizeof config);
        Set(config.JavaExe, "C:\\Program Files\\Java\\bin\\java.exe");
        Set(config.JavaArgs, "-Xmx512m -Xss2m");
        SetClasspath("D:\\orvane\\lib\\a.jar;D:\\orvane\\lib\\b.jar");
        Set(config.OrvaneHome, "D:\\orvane");
        Set(config.UtilDir, "D:\\orvane\\bin");
        Set(config.BootFile, ".\\container.ini");
    }

    template <size_t N>
    static void Set(char (&field)[N], const std::string& value)
    {
        ASSERT_EQ(1, text_copy(field, N, value.c_str()));
    }

    // The option fields as the parameter loader fills them.
    void SetClasspath(const std::string& value)
    {
        Set(config.Classpath, value);
        if (value.empty())
            config.ClasspathOption[0] = '\0';
        else
            text_format(config.ClasspathOption, sizeof config.ClasspathOption, "-cp \"%s\"", value.c_str());
    }
    void SetBootClasspath(const std::string& value)
    {
        Set(config.BootClasspath, value);
        text_format(config.BootClasspathOption, sizeof config.BootClasspathOption,
                    "\"-Xbootclasspath/p:%s\"", value.c_str());
    }

    std::string Build()
    {
        char buffer[COMMAND_LINE_SIZE];
        memset(buffer, '#', sizeof buffer);
        buffer[sizeof buffer - 1] = '\0';
        EXPECT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
        return buffer;
    }
};

const std::string kProperties =
    " -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false"
    " -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true ";
const std::string kTail =
    " -Dlumora.home=\"D:\\orvane\" -Dlumora.mf.winsvc.utilDir=\"D:\\orvane\\bin\""
    " com.lumora.mf.framework.agent.ci.LaunchContainer \".\\container.ini\"";

TEST_F(LaunchCommandTest, ClasspathBootClasspathAndNoPassword)
{
    SetBootClasspath("D:\\orvane\\boot.jar");
    EXPECT_EQ("\"C:\\Program Files\\Java\\bin\\java.exe\" -Xmx512m -Xss2m" + kProperties +
                  "-cp \"D:\\orvane\\lib\\a.jar;D:\\orvane\\lib\\b.jar\""
                  " \"-Xbootclasspath/p:D:\\orvane\\boot.jar\" -Dno_pwd_encryption=true" + kTail,
              Build());
}

TEST_F(LaunchCommandTest, EmptyJavaArgsLeaveTwoSpaces)
{
    Set(config.JavaArgs, "");
    EXPECT_EQ("\"C:\\Program Files\\Java\\bin\\java.exe\" " + kProperties +
                  "-cp \"D:\\orvane\\lib\\a.jar;D:\\orvane\\lib\\b.jar\" -Dno_pwd_encryption=true" + kTail,
              Build());
}

TEST_F(LaunchCommandTest, EmptyClasspathLeavesTwoSpacesAfterAllowRestart)
{
    SetClasspath("");
    std::string line = Build();
    EXPECT_EQ("\"C:\\Program Files\\Java\\bin\\java.exe\" -Xmx512m -Xss2m" + kProperties +
                  " -Dno_pwd_encryption=true" + kTail,
              line);
    EXPECT_NE(std::string::npos, line.find("-Dlumora.mf.allowRestart=true  -Dno_pwd_encryption=true"));
}

TEST_F(LaunchCommandTest, EmptyBootClasspathAddsNoPiece)
{
    Set(config.BootClasspath, "");
    // A stale option text must not be used when the class path is empty.
    Set(config.BootClasspathOption, "\"-Xbootclasspath/p:stale\"");
    std::string line = Build();
    EXPECT_EQ(std::string::npos, line.find("bootclasspath"));
    EXPECT_NE(std::string::npos, line.find("b.jar\" -Dno_pwd_encryption=true"));
}

TEST_F(LaunchCommandTest, PasswordWithBlanksAndDirectoryServiceBootFile)
{
    Set(config.PBE, "s3cret with blanks");
    Set(config.DirectoryServiceBootFile, "D:\\orvane\\ds boot.ini");
    EXPECT_EQ("\"C:\\Program Files\\Java\\bin\\java.exe\" -Xmx512m -Xss2m" + kProperties +
                  "-cp \"D:\\orvane\\lib\\a.jar;D:\\orvane\\lib\\b.jar\""
                  " -Dlumora.mf.password=s3cret with blanks" + kTail + " \"D:\\orvane\\ds boot.ini\"",
              Build());
}

TEST_F(LaunchCommandTest, ValuesAreCopiedUnescaped)
{
    Set(config.OrvaneHome, "D:\\a \"b\"");
    std::string line = Build();
    EXPECT_NE(std::string::npos, line.find(" -Dlumora.home=\"D:\\a \"b\"\" "));
}

TEST_F(LaunchCommandTest, BuildingTwiceIntoADirtyBufferGivesTheSameBytes)
{
    char buffer[COMMAND_LINE_SIZE];
    memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
    std::string first(buffer);
    // A longer line first, then the short one again: nothing of it may survive.
    Set(config.DirectoryServiceBootFile, "D:\\orvane\\ds.ini");
    ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
    Set(config.DirectoryServiceBootFile, "");
    ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_EQ(first, std::string(buffer));
    EXPECT_EQ('"', first.back()) << "the line ends with the quote after the boot file";
}

TEST_F(LaunchCommandTest, ALineThatDoesNotFitIsRefusedAndEmptied)
{
    Set(config.JavaArgs, std::string(1500, 'a'));
    Set(config.OrvaneHome, std::string(1500, 'b'));
    Set(config.BootFile, std::string(1500, 'c'));
    char buffer[COMMAND_LINE_SIZE];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(0, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_STREQ("", buffer);
}

TEST_F(LaunchCommandTest, ALineOfExactly4095CharactersFits)
{
    // Lengthen two values until the line is exactly 4095 characters long.
    std::string args = std::string(config.JavaArgs) + std::string(1800, 'a');
    Set(config.JavaArgs, args);
    size_t room = (COMMAND_LINE_SIZE - 1) - Build().size();
    std::string home = config.OrvaneHome;
    Set(config.OrvaneHome, home + std::string(room, 'h'));
    char buffer[COMMAND_LINE_SIZE];
    ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_EQ((size_t)COMMAND_LINE_SIZE - 1, strlen(buffer));
    Set(config.OrvaneHome, home + std::string(room + 1, 'h'));
    EXPECT_EQ(0, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_STREQ("", buffer);
}

TEST(LaunchCommandMask, HidesTheConfiguredPasswordWhole)
{
    char masked[COMMAND_LINE_SIZE];
    ASSERT_EQ(1, MaskLaunchCommand("\"java\" -Dlumora.mf.password=my secret -Dlumora.home=\"D:\\o\"",
                                   "my secret", masked, sizeof masked));
    EXPECT_STREQ("\"java\" -Dlumora.mf.password=******** -Dlumora.home=\"D:\\o\"", masked);
}

TEST(LaunchCommandMask, HidesOtherValuesUpToTheNextBlank)
{
    char masked[COMMAND_LINE_SIZE];
    ASSERT_EQ(1, MaskLaunchCommand("\"java\" -Dlumora.mf.password=abc -X -Dlumora.mf.password=pw tail",
                                   "pw", masked, sizeof masked));
    EXPECT_STREQ("\"java\" -Dlumora.mf.password=******** -X -Dlumora.mf.password=******** tail", masked);
    ASSERT_EQ(1, MaskLaunchCommand("a -Dlumora.mf.password=", "", masked, sizeof masked));
    EXPECT_STREQ("a -Dlumora.mf.password=********", masked);
}

TEST(LaunchCommandMask, LeavesALineWithoutPasswordUnchanged)
{
    char masked[COMMAND_LINE_SIZE];
    const char* line = "\"java\" -Dno_pwd_encryption=true -Dlumora.home=\"D:\\o\"";
    ASSERT_EQ(1, MaskLaunchCommand(line, "", masked, sizeof masked));
    EXPECT_STREQ(line, masked);
}

TEST(LaunchCommandMask, ReportsACutCopy)
{
    char masked[16];
    EXPECT_EQ(0, MaskLaunchCommand("abcdefghij -Dlumora.mf.password=x", "x", masked, sizeof masked));
    EXPECT_LT(strlen(masked), sizeof masked);
}

}  // namespace
