// Install options: the scan, the validation steps with their exact messages,
// the defaults, and the library search.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "fake/fake_core.h"

namespace {

class InstallOptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetInstallOptions();
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fake_set_current_directory("C:\\work");
        fake_fs_mkdir("C:\\work");
        fake_fs_mkdir("D:\\svc");
        fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
        fake_fs_mkdir("D:\\orvane");
        fake_add_library("talvexMSG.dll", "C:\\talvex\\talvexMSG.dll");
        fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
    }

    // Runs the parser on "talvex -install <args...>" and keeps the argument
    // storage alive for the texts that point into it.
    int parse(std::initializer_list<const char*> args)
    {
        storage_.clear();
        storage_.push_back("talvex");
        storage_.push_back("-install");
        for (const char* a : args) storage_.push_back(a);
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        return ParseInstallOptions(argv_.data(), (int)storage_.size());
    }

    // The options that make a complete, valid set, after the service name.
    int parse_valid(std::initializer_list<const char*> extra)
    {
        std::vector<const char*> args = {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe",
                                         "-cp", "a.jar;b.jar", "-home", "D:\\orvane"};
        args.insert(args.end(), extra.begin(), extra.end());
        storage_.clear();
        storage_.push_back("talvex");
        storage_.push_back("-install");
        for (const char* a : args) storage_.push_back(a);
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        return ParseInstallOptions(argv_.data(), (int)storage_.size());
    }

    std::string output()
    {
        fflush(capture_);
        std::string text;
        rewind(capture_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, capture_)) > 0) text.append(buf, n);
        return text;
    }

    FILE* capture_ = nullptr;
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
};

const char CURRENT_DIRECTORY_NOTE[] =
    "\nWorking directory (-wd) not specified (or '.') - using current directory: C:\\work\n";

// --- the scan ----------------------------------------------------------------

TEST_F(InstallOptionsTest, ValueWordTakesTheNextArgumentAndTheRestOfThePassComparesTheValue)
{
    // "-wd" takes "-jre" as its value, and "-jre", compared next in the same
    // pass, then takes the Java path.
    EXPECT_EQ(0, parse({"svc", "-wd", "-jre", "D:\\jdk\\bin\\java.exe"}));
    EXPECT_STREQ("-jre", Options.WorkingDirectory);
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", Options.JavaExe);
    EXPECT_EQ("\nError: Working directory (-wd) must specify an absolute path\n", output());
}

TEST_F(InstallOptionsTest, WordComparedEarlierInThePassIsNotMatchedAgainstALaterValue)
{
    // "-wd" is compared before "-jre", so the value "-wd" is not taken as a
    // word and D:\x is ignored.
    fake_fs_mkdir("D:\\x");
    EXPECT_EQ(0, parse({"svc", "-jre", "-wd", "D:\\x"}));
    EXPECT_STREQ("-wd", Options.JavaExe);
    EXPECT_STREQ("C:\\work", Options.WorkingDirectory);
    EXPECT_EQ(std::string(CURRENT_DIRECTORY_NOTE) +
                  "\nError: Java executable does not exist \"-wd\" - "
                  "The system cannot find the file specified. (0x2)\n",
              output());
}

TEST_F(InstallOptionsTest, AutoStartWordCountsAnywhereItStandsAlone)
{
    EXPECT_EQ(1, parse_valid({"-a"}));
    EXPECT_EQ((uint32_t)SERVICE_AUTO_START_TYPE, Options.StartType);

    ResetInstallOptions();
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_EQ((uint32_t)SERVICE_DEMAND_START_TYPE, Options.StartType);

    // In the place of the service name.
    ResetInstallOptions();
    EXPECT_EQ(0, parse({"-a"}));
    EXPECT_EQ((uint32_t)SERVICE_AUTO_START_TYPE, Options.StartType);

    // Between other options.
    ResetInstallOptions();
    EXPECT_EQ(1, parse({"svc", "-wd", "D:\\svc", "-a", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x",
                        "-home", "D:\\orvane"}));
    EXPECT_EQ((uint32_t)SERVICE_AUTO_START_TYPE, Options.StartType);
}

TEST_F(InstallOptionsTest, AutoStartWordAsAValueIsOnlyAValue)
{
    EXPECT_EQ(1, parse_valid({"-jargs", "-a"}));
    EXPECT_STREQ("-a", Options.JavaArgs);
    EXPECT_EQ((uint32_t)SERVICE_DEMAND_START_TYPE, Options.StartType);

    ResetInstallOptions();
    EXPECT_EQ(1, parse_valid({"-jargs", "-a", "-a"}));
    EXPECT_STREQ("-a", Options.JavaArgs);
    EXPECT_EQ((uint32_t)SERVICE_AUTO_START_TYPE, Options.StartType);
}

TEST_F(InstallOptionsTest, WordGivenTwiceTakesTheLaterValue)
{
    EXPECT_EQ(1, parse_valid({"-jargs", "-Xmx1g", "-jargs", "-Xmx2g", "-cp", "later.jar"}));
    EXPECT_STREQ("-Xmx2g", Options.JavaArgs);
    EXPECT_STREQ("later.jar", Options.Classpath);
}

TEST_F(InstallOptionsTest, EveryWordFillsItsField)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    fake_fs_write("D:\\svc\\ds.xml", "x");
    EXPECT_EQ(1, parse_valid({"-jargs", "-Xmx1g", "-bcp", "x.jar", "-xml", "boot.xml", "-dsxml",
                              "ds.xml", "-starttimeout", "30", "-stoptimeout", "45", "-pwd", "secret"}));
    EXPECT_STREQ("D:\\svc", Options.WorkingDirectory);
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", Options.JavaExe);
    EXPECT_STREQ("-Xmx1g", Options.JavaArgs);
    EXPECT_STREQ("a.jar;b.jar", Options.Classpath);
    EXPECT_STREQ("x.jar", Options.BootClasspath);
    EXPECT_STREQ("D:\\orvane", Options.OrvaneHome);
    EXPECT_STREQ("boot.xml", Options.BootFile);
    EXPECT_STREQ("ds.xml", Options.DirectoryServiceBootFile);
    EXPECT_STREQ("30", Options.TimeoutSeconds);
    EXPECT_STREQ("45", Options.ShutdownTimeoutSeconds);
    EXPECT_STREQ("secret", Options.PBE);
    EXPECT_EQ("", output());
}

TEST_F(InstallOptionsTest, ShortTimeoutWordsAreAliasesAndTimeoutsAreNotChecked)
{
    EXPECT_EQ(1, parse_valid({"-t", "abc", "-s", "12"}));
    EXPECT_STREQ("abc", Options.TimeoutSeconds);
    EXPECT_STREQ("12", Options.ShutdownTimeoutSeconds);
}

TEST_F(InstallOptionsTest, OptionWordsAreCaseSensitive)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-JRE", "D:\\jdk\\bin\\java.exe", "-Wd", "C:\\x"}));
    EXPECT_STREQ("", Options.JavaExe);
    EXPECT_STREQ("D:\\svc", Options.WorkingDirectory);
    EXPECT_EQ("\nError: Java executable must be specified \"-jre\"\n", output());
}

TEST_F(InstallOptionsTest, UnknownArgumentsAreIgnoredSilently)
{
    EXPECT_EQ(1, parse_valid({"-verbose", "extra", "-wd:"}));
    EXPECT_EQ("", output());
}

TEST_F(InstallOptionsTest, ServiceNameThatIsAValueWordTakesTheNextArgument)
{
    EXPECT_EQ(0, parse({"-jre", "D:\\jdk\\bin\\java.exe", "-wd", "D:\\svc"}));
    EXPECT_STREQ("D:\\jdk\\bin\\java.exe", Options.JavaExe);
    EXPECT_STREQ("D:\\svc", Options.WorkingDirectory);
    EXPECT_EQ("\nError: Classpath must be specified \"-cp\"\n", output());
}

TEST_F(InstallOptionsTest, ValueWordStandingLastIsRefusedByName)
{
    EXPECT_EQ(0, parse_valid({"-pwd"}));
    EXPECT_EQ("\nError: Option -pwd requires a value\n", output());
    EXPECT_STREQ("", Options.PBE);
}

TEST_F(InstallOptionsTest, TrailingAliasIsNamedAsTyped)
{
    EXPECT_EQ(0, parse_valid({"-t"}));
    EXPECT_EQ("\nError: Option -t requires a value\n", output());
    EXPECT_STREQ("", Options.TimeoutSeconds);
}

TEST_F(InstallOptionsTest, ValueThatIsAWordAndStandsLastIsRefused)
{
    // "-wd" takes "-jre" as its value; "-jre" then acts as a word with nothing
    // after it.  Nothing past the arguments is read and nothing is validated.
    EXPECT_EQ(0, parse({"svc", "-wd", "-jre"}));
    EXPECT_EQ("\nError: Option -jre requires a value\n", output());
    EXPECT_STREQ("-jre", Options.WorkingDirectory);
    EXPECT_STREQ("", Options.JavaExe);
    EXPECT_EQ(0, fake_call_count("GetCurrentDirectoryA"));
    EXPECT_EQ(0, fake_call_count("GetFileAttributesA"));
}

TEST_F(InstallOptionsTest, ServiceNameThatIsAValueWordStandingLastIsRefused)
{
    EXPECT_EQ(0, parse({"-home"}));
    EXPECT_EQ("\nError: Option -home requires a value\n", output());
}

// --- validation --------------------------------------------------------------

TEST_F(InstallOptionsTest, NothingButTheServiceNameDefaultsTheDirectoryThenWantsJava)
{
    EXPECT_EQ(0, parse({"svc"}));
    EXPECT_EQ(std::string(CURRENT_DIRECTORY_NOTE) + "\nError: Java executable must be specified \"-jre\"\n",
              output());
    EXPECT_STREQ("C:\\work", Options.WorkingDirectory);
    EXPECT_STREQ("C:\\work", Options.CurrentDirectory);
}

TEST_F(InstallOptionsTest, DotWorkingDirectoryMeansTheCurrentDirectory)
{
    EXPECT_EQ(1, parse({"svc", "-wd", ".", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home",
                        "D:\\orvane"}));
    EXPECT_EQ(CURRENT_DIRECTORY_NOTE, output());
    EXPECT_STREQ("C:\\work", Options.WorkingDirectory);
}

TEST_F(InstallOptionsTest, DefaultedWorkingDirectoryMustExist)
{
    fake_set_current_directory("E:\\gone\\deeper");
    EXPECT_EQ(0, parse({"svc"}));
    EXPECT_EQ("\nWorking directory (-wd) not specified (or '.') - using current directory: E:\\gone\\deeper\n"
              "\nError: Working directory does not exist \"E:\\gone\\deeper\" - "
              "The system cannot find the path specified. (0x3)\n",
              output());
}

TEST_F(InstallOptionsTest, RelativeWorkingDirectoryIsRefusedWithoutTouchingTheFileSystem)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "relative\\dir"}));
    EXPECT_EQ("\nError: Working directory (-wd) must specify an absolute path\n", output());
    EXPECT_EQ(0, fake_call_count("GetFileAttributesA"));
    EXPECT_EQ(0, fake_call_count("GetCurrentDirectoryA"));
}

TEST_F(InstallOptionsTest, DriveRelativeWorkingDirectoryPassesTheAbsoluteTestThenMustExist)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:rel"}));
    EXPECT_EQ(1, fake_call_count("GetFileAttributesA"));
    EXPECT_EQ("\nError: Working directory does not exist \"D:rel\" - "
              "The system cannot find the file specified. (0x2)\n",
              output());
}

TEST_F(InstallOptionsTest, RootRelativeWorkingDirectoryIsAbsolute)
{
    fake_fs_mkdir("\\svc");
    EXPECT_EQ(1, parse({"svc", "-wd", "\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home",
                        "D:\\orvane"}));
    EXPECT_EQ("", output());
}

TEST_F(InstallOptionsTest, MissingWorkingDirectoryNamesItWithTheSystemText)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\nowhere"}));
    EXPECT_EQ("\nError: Working directory does not exist \"D:\\nowhere\" - "
              "The system cannot find the file specified. (0x2)\n",
              output());
}

TEST_F(InstallOptionsTest, CurrentDirectoryTooLongForItsStorageFails)
{
    std::string longDir = "C:\\" + std::string(257, 'd');   // 260 characters
    fake_fs_mkdir(longDir);
    fake_set_current_directory(longDir);
    EXPECT_EQ(0, parse({"svc"}));
    EXPECT_EQ("\nError: Current directory is too long to use as the working directory\n", output());
    EXPECT_EQ(0, fake_call_count("GetFileAttributesA"));
}

TEST_F(InstallOptionsTest, CurrentDirectoryOfTheLongestLengthThatFitsIsUsed)
{
    std::string longDir = "C:\\" + std::string(256, 'd');   // 259 characters
    fake_fs_mkdir(longDir);
    fake_set_current_directory(longDir);
    EXPECT_EQ(1, parse({"svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home", "D:\\orvane"}));
    EXPECT_EQ(longDir, Options.WorkingDirectory);
}

TEST_F(InstallOptionsTest, UnreadableCurrentDirectoryFailsWithTheSystemText)
{
    fake_fail("GetCurrentDirectoryA", 5);
    EXPECT_EQ(0, parse({"svc"}));
    EXPECT_EQ("\nError: Current directory could not be read - Access is denied. (0x5)\n", output());
}

TEST_F(InstallOptionsTest, MissingJavaExecutableNamesItWithTheSystemText)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\javaw.exe"}));
    EXPECT_EQ("\nError: Java executable does not exist \"D:\\jdk\\bin\\javaw.exe\" - "
              "The system cannot find the file specified. (0x2)\n",
              output());
}

TEST_F(InstallOptionsTest, ClasspathIsRequiredButItsEntriesAreNotTested)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-home", "D:\\orvane"}));
    EXPECT_EQ("\nError: Classpath must be specified \"-cp\"\n", output());

    ResetInstallOptions();
    EXPECT_EQ(1, parse_valid({"-cp", "D:\\missing\\a.jar"}));
}

TEST_F(InstallOptionsTest, InstallationRootIsRequiredAndMustExist)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x"}));
    EXPECT_EQ("\nError: Orvane installation root must be specified \"-home\"\n", output());
}

TEST_F(InstallOptionsTest, MissingInstallationRootNamesIt)
{
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home",
                        "D:\\nohome"}));
    EXPECT_EQ("\nError: \"D:\\nohome\" - The system cannot find the file specified. (0x2)\n", output());
}

TEST_F(InstallOptionsTest, BootFileDefaultsWithoutATest)
{
    int before = fake_call_count("GetFileAttributesA");
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_STREQ(".\\container.ini", Options.BootFile);
    // The working directory, java.exe and the installation root only.
    EXPECT_EQ(before + 3, fake_call_count("GetFileAttributesA"));
}

TEST_F(InstallOptionsTest, RelativeBootFileIsLookedForInTheWorkingDirectory)
{
    fake_fs_write("C:\\work\\boot.xml", "x");
    EXPECT_EQ(0, parse_valid({"-xml", "boot.xml"}));
    EXPECT_EQ("\nError: \"boot.xml\" - The system cannot find the file specified. (0x2)\n", output());

    ResetInstallOptions();
    fake_fs_write("D:\\svc\\boot.xml", "x");
    EXPECT_EQ(1, parse_valid({"-xml", "boot.xml"}));
}

TEST_F(InstallOptionsTest, AbsoluteBootFileIsTestedUnchanged)
{
    fake_fs_write("D:\\cfg\\boot.xml", "x");
    EXPECT_EQ(1, parse_valid({"-xml", "D:\\cfg\\boot.xml"}));
    EXPECT_STREQ("D:\\cfg\\boot.xml", Options.BootFile);
}

TEST_F(InstallOptionsTest, DirectoryServiceBootFileIsTestedOnlyWhenGiven)
{
    EXPECT_EQ(0, parse_valid({"-dsxml", "ds.xml"}));
    EXPECT_EQ("\nError: \"ds.xml\" - The system cannot find the file specified. (0x2)\n", output());

    ResetInstallOptions();
    fake_fs_write("D:\\svc\\ds.xml", "x");
    EXPECT_EQ(1, parse_valid({"-dsxml", "ds.xml"}));
    ResetInstallOptions();
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_STREQ("", Options.DirectoryServiceBootFile);
}

TEST_F(InstallOptionsTest, TimeoutsDefaultWhenNotGiven)
{
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_STREQ("0", Options.TimeoutSeconds);
    EXPECT_STREQ("600", Options.ShutdownTimeoutSeconds);
    EXPECT_STREQ("", Options.JavaArgs);
    EXPECT_STREQ("", Options.BootClasspath);
    EXPECT_STREQ("", Options.PBE);
}

TEST_F(InstallOptionsTest, ValidationStopsAtTheFirstFailure)
{
    // Java is missing and so is the installation root: only Java is named.
    EXPECT_EQ(0, parse({"svc", "-wd", "D:\\svc", "-jre", "D:\\nodir\\java.exe", "-home", "D:\\nohome"}));
    EXPECT_EQ("\nError: Java executable does not exist \"D:\\nodir\\java.exe\" - "
              "The system cannot find the path specified. (0x3)\n",
              output());
    EXPECT_EQ(0, fake_call_count("LoadLibraryA"));
}

// --- the companion libraries ---------------------------------------------------

TEST_F(InstallOptionsTest, LibrariesGiveTheMessageFileAndTheUtilityDirectory)
{
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_STREQ("C:\\talvex\\talvexMSG.dll", Options.MessageDllPath);
    EXPECT_STREQ("C:\\talvex", Options.UtilDir);
    EXPECT_EQ(2, fake_call_count("LoadLibraryA"));
    EXPECT_EQ(2, fake_call_count("FreeLibrary"));
}

TEST_F(InstallOptionsTest, UtilityLibraryNameWithoutABackslashStaysWhole)
{
    fake_add_library("talvexUtil.dll", "talvexUtil.dll");
    EXPECT_EQ(1, parse_valid({}));
    EXPECT_STREQ("talvexUtil.dll", Options.UtilDir);
}

TEST_F(InstallOptionsTest, MissingMessageLibraryIsNamed)
{
    fake_reset();
    ResetInstallOptions();
    fake_fs_mkdir("D:\\svc");
    fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
    fake_fs_mkdir("D:\\orvane");
    fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
    EXPECT_EQ(0, parse_valid({}));
    EXPECT_EQ("\nError: \"talvexMSG.dll\" - The specified module could not be found. (0x7e)\n", output());
    EXPECT_STREQ("", Options.MessageDllPath);
}

TEST_F(InstallOptionsTest, MissingUtilityLibraryIsNamed)
{
    fake_fail("LoadLibraryA", 126, 2);
    EXPECT_EQ(0, parse_valid({}));
    EXPECT_EQ("\nError: \"talvexUtil.dll\" - The specified module could not be found. (0x7e)\n", output());
    EXPECT_STREQ("C:\\talvex\\talvexMSG.dll", Options.MessageDllPath);
}

TEST_F(InstallOptionsTest, LocateModuleReportsAFailedNameQueryAndFreesTheLibrary)
{
    char buffer[260];
    strcpy(buffer, "old");
    fake_fail("GetModuleFileNameA", 5);
    EXPECT_EQ(0, LocateModule("talvexMSG.dll", buffer));
    EXPECT_EQ(5u, plat_get_last_error());
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(1, fake_call_count("FreeLibrary"));
}

TEST_F(InstallOptionsTest, LocateModuleRefusesANameCutByItsBuffer)
{
    char buffer[260];
    std::string longPath = "C:\\" + std::string(250, 'x') + "\\talvexMSG.dll";
    fake_add_library("talvexMSG.dll", longPath);
    EXPECT_EQ(0, LocateModule("talvexMSG.dll", buffer));
    EXPECT_EQ(122u, plat_get_last_error());
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(1, fake_call_count("FreeLibrary"));
}

TEST_F(InstallOptionsTest, LocateModuleGivesTheFullNameOfTheLoadedLibrary)
{
    char buffer[260];
    std::string path = "C:\\" + std::string(240, 'x') + "\\talvexMSG.dll";   // 259 characters
    fake_add_library("talvexMSG.dll", path);
    EXPECT_EQ(1, LocateModule("talvexMSG.dll", buffer));
    EXPECT_EQ(path, buffer);
}

TEST_F(InstallOptionsTest, LocateModuleFailureKeepsTheLoadError)
{
    char buffer[260];
    EXPECT_EQ(0, LocateModule("other.dll", buffer));
    EXPECT_EQ(126u, plat_get_last_error());
    EXPECT_EQ(0, fake_call_count("FreeLibrary"));
}

}  // namespace
