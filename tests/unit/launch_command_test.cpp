// The launcher's command line, compared byte for byte.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
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

const std::string kJava = "\"C:\\Program Files\\Java\\bin\\java.exe\"";
const std::string kProperties =
    " -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false"
    " -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true ";
const std::string kClasspath = "-cp \"D:\\orvane\\lib\\a.jar;D:\\orvane\\lib\\b.jar\"";
const std::string kUtilAndClass =
    " -Dlumora.mf.winsvc.utilDir=\"D:\\orvane\\bin\" com.lumora.mf.framework.agent.ci.LaunchContainer";
const std::string kTail = " -Dlumora.home=\"D:\\orvane\"" + kUtilAndClass + " \".\\container.ini\"";

// Every combination, each built twice into one buffer that still holds the
// previous (longer or shorter) line, so nothing of an earlier line survives.
TEST_F(LaunchCommandTest, EveryCombinationGivesItsLineByteForByte)
{
    const struct {
        const char* what;
        std::function<void()> change;
        std::string line;
    } rows[] = {
        {"class path, boot class path, no password",
         [this] { SetBootClasspath("D:\\orvane\\boot.jar"); },
         kJava + " -Xmx512m -Xss2m" + kProperties + kClasspath +
             " \"-Xbootclasspath/p:D:\\orvane\\boot.jar\" -Dno_pwd_encryption=true" + kTail},
        {"password with blanks and a directory service boot file",
         [this] {
             Set(config.PBE, "s3cret with blanks");
             Set(config.DirectoryServiceBootFile, "D:\\orvane\\ds boot.ini");
         },
         kJava + " -Xmx512m -Xss2m" + kProperties + kClasspath + " -Dlumora.mf.password=s3cret with blanks" + kTail +
             " \"D:\\orvane\\ds boot.ini\""},
        {"empty JavaArgs leave two spaces", [this] { Set(config.JavaArgs, ""); },
         kJava + " " + kProperties + kClasspath + " -Dno_pwd_encryption=true" + kTail},
        {"empty class path leaves two spaces after allowRestart", [this] { SetClasspath(""); },
         kJava + " -Xmx512m -Xss2m" + kProperties + " -Dno_pwd_encryption=true" + kTail},
        // A stale option text must not be used when the class path is empty.
        {"empty boot class path adds no piece",
         [this] { Set(config.BootClasspathOption, "\"-Xbootclasspath/p:stale\""); },
         kJava + " -Xmx512m -Xss2m" + kProperties + kClasspath + " -Dno_pwd_encryption=true" + kTail},
        {"values are copied unescaped", [this] { Set(config.OrvaneHome, "D:\\a \"b\""); },
         kJava + " -Xmx512m -Xss2m" + kProperties + kClasspath +
             " -Dno_pwd_encryption=true -Dlumora.home=\"D:\\a \"b\"\"" + kUtilAndClass + " \".\\container.ini\""},
    };
    char buffer[COMMAND_LINE_SIZE];
    memset(buffer, 'x', sizeof buffer);
    for (int round = 0; round < 2; ++round) {
        for (const auto& row : rows) {
            SCOPED_TRACE(row.what);
            SetUp();
            row.change();
            ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
            EXPECT_EQ(row.line, std::string(buffer));
        }
    }
}

TEST_F(LaunchCommandTest, ALineThatDoesNotFitIsRefusedAndEmptied)
{
    // Lengthen two values until the line is exactly 4095 characters long: it
    // fits; one character more does not.
    Set(config.JavaArgs, std::string(config.JavaArgs) + std::string(1800, 'a'));
    size_t room = (COMMAND_LINE_SIZE - 1) - Build().size();
    std::string home = config.OrvaneHome;
    Set(config.OrvaneHome, home + std::string(room, 'h'));
    char buffer[COMMAND_LINE_SIZE];
    ASSERT_EQ(1, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_EQ((size_t)COMMAND_LINE_SIZE - 1, strlen(buffer));
    Set(config.OrvaneHome, home + std::string(room + 1, 'h'));
    EXPECT_EQ(0, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_STREQ("", buffer);

    // Values that overflow long before the end are refused the same way.
    Set(config.JavaArgs, std::string(1500, 'a'));
    Set(config.OrvaneHome, std::string(1500, 'b'));
    Set(config.BootFile, std::string(1500, 'c'));
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(0, BuildLaunchCommand(buffer, sizeof buffer, &config));
    EXPECT_STREQ("", buffer);
}

TEST(LaunchCommandMask, HidesEveryPasswordValueForTheTrace)
{
    const struct {
        const char* line;
        const char* password;
        const char* masked;
    } rows[] = {
        // The configured password is hidden whole, blanks included.
        {"\"java\" -Dlumora.mf.password=my secret -Dlumora.home=\"D:\\o\"", "my secret",
         "\"java\" -Dlumora.mf.password=******** -Dlumora.home=\"D:\\o\""},
        // Other values are hidden up to the next blank.
        {"\"java\" -Dlumora.mf.password=abc -X -Dlumora.mf.password=pw tail", "pw",
         "\"java\" -Dlumora.mf.password=******** -X -Dlumora.mf.password=******** tail"},
        {"a -Dlumora.mf.password=", "", "a -Dlumora.mf.password=********"},
        {"\"java\" -Dno_pwd_encryption=true -Dlumora.home=\"D:\\o\"", "",
         "\"java\" -Dno_pwd_encryption=true -Dlumora.home=\"D:\\o\""},
    };
    for (const auto& row : rows) {
        char masked[COMMAND_LINE_SIZE];
        ASSERT_EQ(1, MaskLaunchCommand(row.line, row.password, masked, sizeof masked)) << row.line;
        EXPECT_STREQ(row.masked, masked);
    }
    // A copy cut by its buffer is reported, and still terminated.
    char small[16];
    EXPECT_EQ(0, MaskLaunchCommand("abcdefghij -Dlumora.mf.password=x", "x", small, sizeof small));
    EXPECT_LT(strlen(small), sizeof small);
}

}  // namespace
