// Install options: the scan, the validation steps with their exact messages,
// the defaults, and the library search.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/platform.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "unit/console_capture.h"

namespace {

const std::string kNote =
    "\nWorking directory (-wd) not specified (or '.') - using current directory: C:\\work\n";
const std::string kNoFile = " - The system cannot find the file specified. (0x2)\n";
const std::string kNoPath = " - The system cannot find the path specified. (0x3)\n";
const std::string kNoJava = "\nError: Java executable must be specified \"-jre\"\n";
const std::string kNoModule = " - The specified module could not be found. (0x7e)\n";

typedef std::vector<std::string> Args;

// The options that make a complete, valid set, after the service name.
Args valid(const Args& extra = {})
{
    Args args = {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe",
                 "-cp", "a.jar;b.jar", "-home", "D:\\orvane"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct Row {
    const char* what;
    Args args;
    int result;
    std::string output;
    std::function<void()> check = nullptr;
    std::function<void()> setup = nullptr;
};

class InstallOptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_ = tmpfile();
        ASSERT_NE(nullptr, capture_);
        ConsoleOut = capture_;
        fresh();
    }

    void TearDown() override
    {
        ConsoleOut = nullptr;
        fclose(capture_);
        ResetInstallOptions();
    }

    // A machine with the working directory, Java, the installation root and
    // both libraries in place; nothing printed yet.
    void fresh()
    {
        fake_reset();
        ResetInstallOptions();
        fake_set_current_directory("C:\\work");
        fake_fs_mkdir("C:\\work");
        fake_fs_mkdir("D:\\svc");
        fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
        fake_fs_mkdir("D:\\orvane");
        fake_add_library("talvexMSG.dll", "C:\\talvex\\talvexMSG.dll");
        fake_add_library("talvexUtil.dll", "C:\\talvex\\talvexUtil.dll");
        rewind(capture_);
        ASSERT_EQ(0, ftruncate(fileno(capture_), 0));
    }

    // Runs the parser on "talvex -install <args...>" and keeps the argument
    // storage alive for the texts that point into it.
    int parse(const Args& args)
    {
        storage_ = {"talvex", "-install"};
        storage_.insert(storage_.end(), args.begin(), args.end());
        argv_.clear();
        for (auto& s : storage_) argv_.push_back(&s[0]);
        argv_.push_back(nullptr);
        return ParseInstallOptions(argv_.data(), (int)storage_.size());
    }

    std::string output()
    {
        return read_capture(capture_);
    }

    void run(const std::vector<Row>& rows)
    {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.what);
            fresh();
            if (row.setup) row.setup();
            EXPECT_EQ(row.result, parse(row.args));
            EXPECT_EQ(row.output, output());
            if (row.check) row.check();
        }
    }

    FILE* capture_ = nullptr;
    Args storage_;
    std::vector<char*> argv_;
};

// --- the scan ----------------------------------------------------------------

TEST_F(InstallOptionsTest, TheScanTakesValuesAndWordsInOnePass)
{
    run({
        // "-wd" takes "-jre" as its value, and "-jre", compared next in the
        // same pass, then takes the Java path.
        {"value word takes the next argument", {"svc", "-wd", "-jre", "D:\\jdk\\bin\\java.exe"}, 0,
         "\nError: Working directory (-wd) must specify an absolute path\n",
         [] {
             EXPECT_STREQ("-jre", Options.WorkingDirectory);
             EXPECT_STREQ("D:\\jdk\\bin\\java.exe", Options.JavaExe);
         }},
        // "-wd" is compared before "-jre", so the value "-wd" is not taken as
        // a word and D:\x is ignored.
        {"a word compared earlier is not matched against a later value", {"svc", "-jre", "-wd", "D:\\x"}, 0,
         kNote + "\nError: Java executable does not exist \"-wd\"" + kNoFile,
         [] {
             EXPECT_STREQ("-wd", Options.JavaExe);
             EXPECT_STREQ("C:\\work", Options.WorkingDirectory);
         },
         [] { fake_fs_mkdir("D:\\x"); }},
        {"service name that is a value word takes the next argument",
         {"-jre", "D:\\jdk\\bin\\java.exe", "-wd", "D:\\svc"}, 0, "\nError: Classpath must be specified \"-cp\"\n",
         [] {
             EXPECT_STREQ("D:\\jdk\\bin\\java.exe", Options.JavaExe);
             EXPECT_STREQ("D:\\svc", Options.WorkingDirectory);
         }},
        {"a word given twice takes the later value",
         valid({"-jargs", "-Xmx1g", "-jargs", "-Xmx2g", "-cp", "later.jar"}), 1, "",
         [] {
             EXPECT_STREQ("-Xmx2g", Options.JavaArgs);
             EXPECT_STREQ("later.jar", Options.Classpath);
         }},
        {"short timeout words are aliases and timeouts are not checked", valid({"-t", "abc", "-s", "12"}), 1, "",
         [] {
             EXPECT_STREQ("abc", Options.TimeoutSeconds);
             EXPECT_STREQ("12", Options.ShutdownTimeoutSeconds);
         }},
        {"option words are case sensitive", {"svc", "-wd", "D:\\svc", "-JRE", "D:\\jdk\\bin\\java.exe", "-Wd", "C:\\x"},
         0, kNoJava,
         [] {
             EXPECT_STREQ("", Options.JavaExe);
             EXPECT_STREQ("D:\\svc", Options.WorkingDirectory);
         }},
        {"unknown arguments are ignored silently", valid({"-verbose", "extra", "-wd:"}), 1, ""},
    });
}

TEST_F(InstallOptionsTest, AutoStartWordCountsWhereverItStandsAlone)
{
    const uint32_t AUTO = SERVICE_AUTO_START_TYPE, DEMAND = SERVICE_DEMAND_START_TYPE;
    run({
        {"after the options", valid({"-a"}), 1, "", [=] { EXPECT_EQ(AUTO, Options.StartType); }},
        {"not given", valid(), 1, "", [=] { EXPECT_EQ(DEMAND, Options.StartType); }},
        {"in the place of the service name", {"-a"}, 0, kNote + kNoJava, [=] { EXPECT_EQ(AUTO, Options.StartType); }},
        {"between other options",
         {"svc", "-wd", "D:\\svc", "-a", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home", "D:\\orvane"}, 1, "",
         [=] { EXPECT_EQ(AUTO, Options.StartType); }},
        {"as a value it is only a value", valid({"-jargs", "-a"}), 1, "",
         [=] {
             EXPECT_STREQ("-a", Options.JavaArgs);
             EXPECT_EQ(DEMAND, Options.StartType);
         }},
        {"as a value and again alone", valid({"-jargs", "-a", "-a"}), 1, "",
         [=] {
             EXPECT_STREQ("-a", Options.JavaArgs);
             EXPECT_EQ(AUTO, Options.StartType);
         }},
    });
}

// An option word that takes a value but stands last is refused by name, as
// typed; nothing past the arguments is read and nothing is validated.
TEST_F(InstallOptionsTest, ValueWordStandingLastIsRefusedByName)
{
    run({
        {"-pwd", valid({"-pwd"}), 0, "\nError: Option -pwd requires a value\n",
         [] { EXPECT_STREQ("", Options.PBE); }},
        {"alias", valid({"-t"}), 0, "\nError: Option -t requires a value\n",
         [] { EXPECT_STREQ("", Options.TimeoutSeconds); }},
        // "-wd" takes "-jre" as its value; "-jre" then acts as a word with
        // nothing after it.
        {"a value that is a word", {"svc", "-wd", "-jre"}, 0, "\nError: Option -jre requires a value\n",
         [] {
             EXPECT_STREQ("-jre", Options.WorkingDirectory);
             EXPECT_STREQ("", Options.JavaExe);
             EXPECT_EQ(0, fake_call_count("GetCurrentDirectoryA"));
             EXPECT_EQ(0, fake_call_count("GetFileAttributesA"));
         }},
        {"in the place of the service name", {"-home"}, 0, "\nError: Option -home requires a value\n"},
    });
}

TEST_F(InstallOptionsTest, EveryWordFillsItsField)
{
    fake_fs_write("D:\\svc\\boot.xml", "x");
    fake_fs_write("D:\\svc\\ds.xml", "x");
    EXPECT_EQ(1, parse(valid({"-jargs", "-Xmx1g", "-bcp", "x.jar", "-xml", "boot.xml", "-dsxml", "ds.xml",
                              "-starttimeout", "30", "-stoptimeout", "45", "-pwd", "secret"})));
    const struct {
        const char* value;
        const char* field;
    } fields[] = {
        {"D:\\svc", Options.WorkingDirectory}, {"D:\\jdk\\bin\\java.exe", Options.JavaExe},
        {"-Xmx1g", Options.JavaArgs},           {"a.jar;b.jar", Options.Classpath},
        {"x.jar", Options.BootClasspath},       {"D:\\orvane", Options.OrvaneHome},
        {"boot.xml", Options.BootFile},         {"ds.xml", Options.DirectoryServiceBootFile},
        {"30", Options.TimeoutSeconds},         {"45", Options.ShutdownTimeoutSeconds},
        {"secret", Options.PBE},
    };
    for (const auto& f : fields) EXPECT_STREQ(f.value, f.field);
    EXPECT_EQ("", output());
}

// --- validation --------------------------------------------------------------

TEST_F(InstallOptionsTest, TheWorkingDirectoryIsAbsoluteAndExistsOrDefaultsToTheCurrentOne)
{
    const std::string longDir = "C:\\" + std::string(257, 'd');   // 260 characters: one too many
    const std::string longestDir = longDir.substr(0, 259);
    run({
        {"nothing but the service name", {"svc"}, 0, kNote + kNoJava,
         [] {
             EXPECT_STREQ("C:\\work", Options.WorkingDirectory);
             EXPECT_STREQ("C:\\work", Options.CurrentDirectory);
         }},
        {"a dot means the current directory",
         {"svc", "-wd", ".", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home", "D:\\orvane"}, 1, kNote,
         [] { EXPECT_STREQ("C:\\work", Options.WorkingDirectory); }},
        {"a defaulted directory must exist", {"svc"}, 0,
         "\nWorking directory (-wd) not specified (or '.') - using current directory: E:\\gone\\deeper\n"
         "\nError: Working directory does not exist \"E:\\gone\\deeper\"" + kNoPath,
         nullptr, [] { fake_set_current_directory("E:\\gone\\deeper"); }},
        {"a relative directory is refused without touching the file system", {"svc", "-wd", "relative\\dir"}, 0,
         "\nError: Working directory (-wd) must specify an absolute path\n",
         [] {
             EXPECT_EQ(0, fake_call_count("GetFileAttributesA"));
             EXPECT_EQ(0, fake_call_count("GetCurrentDirectoryA"));
         }},
        {"a drive-relative directory passes the absolute test, then must exist", {"svc", "-wd", "D:rel"}, 0,
         "\nError: Working directory does not exist \"D:rel\"" + kNoFile,
         [] { EXPECT_EQ(1, fake_call_count("GetFileAttributesA")); }},
        {"a root-relative directory is absolute",
         {"svc", "-wd", "\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home", "D:\\orvane"}, 1, "", nullptr,
         [] { fake_fs_mkdir("\\svc"); }},
        {"a missing directory is named with the system text", {"svc", "-wd", "D:\\nowhere"}, 0,
         "\nError: Working directory does not exist \"D:\\nowhere\"" + kNoFile},
        {"a current directory too long for its storage", {"svc"}, 0,
         "\nError: Current directory is too long to use as the working directory\n",
         [] { EXPECT_EQ(0, fake_call_count("GetFileAttributesA")); },
         [=] {
             fake_fs_mkdir(longDir);
             fake_set_current_directory(longDir);
         }},
        {"the longest current directory that fits", {"svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home",
                                                     "D:\\orvane"},
         1, "\nWorking directory (-wd) not specified (or '.') - using current directory: " + longestDir + "\n",
         [=] { EXPECT_EQ(longestDir, Options.WorkingDirectory); },
         [=] {
             fake_fs_mkdir(longestDir);
             fake_set_current_directory(longestDir);
         }},
        {"an unreadable current directory", {"svc"}, 0,
         "\nError: Current directory could not be read - Access is denied. (0x5)\n", nullptr,
         [] { fake_fail("GetCurrentDirectoryA", 5); }},
    });
}

TEST_F(InstallOptionsTest, TheOtherOptionsAreRequiredOrTestedInOrder)
{
    run({
        {"missing Java", {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\javaw.exe"}, 0,
         "\nError: Java executable does not exist \"D:\\jdk\\bin\\javaw.exe\"" + kNoFile},
        {"no classpath", {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-home", "D:\\orvane"}, 0,
         "\nError: Classpath must be specified \"-cp\"\n"},
        {"classpath entries are not tested", valid({"-cp", "D:\\missing\\a.jar"}), 1, ""},
        {"no installation root", {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x"}, 0,
         "\nError: Orvane installation root must be specified \"-home\"\n"},
        {"missing installation root",
         {"svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "x", "-home", "D:\\nohome"}, 0,
         "\nError: \"D:\\nohome\"" + kNoFile},
        // Only the working directory, java.exe and the installation root are
        // looked at; the optional texts are empty.
        {"defaults", valid(), 1, "",
         [] {
             EXPECT_EQ(3, fake_call_count("GetFileAttributesA"));
             EXPECT_STREQ(".\\container.ini", Options.BootFile);
             EXPECT_STREQ("", Options.DirectoryServiceBootFile);
             EXPECT_STREQ("0", Options.TimeoutSeconds);
             EXPECT_STREQ("600", Options.ShutdownTimeoutSeconds);
             EXPECT_STREQ("", Options.JavaArgs);
             EXPECT_STREQ("", Options.BootClasspath);
             EXPECT_STREQ("", Options.PBE);
         }},
        {"a relative boot file is looked for in the working directory", valid({"-xml", "boot.xml"}), 0,
         "\nError: \"boot.xml\"" + kNoFile, nullptr, [] { fake_fs_write("C:\\work\\boot.xml", "x"); }},
        {"a relative boot file found in the working directory", valid({"-xml", "boot.xml"}), 1, "", nullptr,
         [] { fake_fs_write("D:\\svc\\boot.xml", "x"); }},
        {"an absolute boot file is tested unchanged", valid({"-xml", "D:\\cfg\\boot.xml"}), 1, "",
         [] { EXPECT_STREQ("D:\\cfg\\boot.xml", Options.BootFile); },
         [] { fake_fs_write("D:\\cfg\\boot.xml", "x"); }},
        {"a given directory service boot file is tested", valid({"-dsxml", "ds.xml"}), 0,
         "\nError: \"ds.xml\"" + kNoFile},
        {"a given directory service boot file found", valid({"-dsxml", "ds.xml"}), 1, "", nullptr,
         [] { fake_fs_write("D:\\svc\\ds.xml", "x"); }},
        // Java is missing and so is the installation root: only Java is named,
        // and the libraries are not looked for.
        {"validation stops at the first failure",
         {"svc", "-wd", "D:\\svc", "-jre", "D:\\nodir\\java.exe", "-home", "D:\\nohome"}, 0,
         "\nError: Java executable does not exist \"D:\\nodir\\java.exe\"" + kNoPath,
         [] { EXPECT_EQ(0, fake_call_count("LoadLibraryA")); }},
    });
}

// --- the companion libraries ---------------------------------------------------

TEST_F(InstallOptionsTest, LibrariesGiveTheMessageFileAndTheUtilityDirectory)
{
    run({
        {"both found", valid(), 1, "",
         [] {
             EXPECT_STREQ("C:\\talvex\\talvexMSG.dll", Options.MessageDllPath);
             EXPECT_STREQ("C:\\talvex", Options.UtilDir);
             EXPECT_EQ(2, fake_call_count("LoadLibraryA"));
             EXPECT_EQ(2, fake_call_count("FreeLibrary"));
         }},
        {"a utility library name without a backslash stays whole", valid(), 1, "",
         [] { EXPECT_STREQ("talvexUtil.dll", Options.UtilDir); },
         [] { fake_add_library("talvexUtil.dll", "talvexUtil.dll"); }},
        {"missing message library", valid(), 0, "\nError: \"talvexMSG.dll\"" + kNoModule,
         [] { EXPECT_STREQ("", Options.MessageDllPath); }, [] { fake_fail("LoadLibraryA", 126, 1); }},
        {"missing utility library", valid(), 0, "\nError: \"talvexUtil.dll\"" + kNoModule,
         [] { EXPECT_STREQ("C:\\talvex\\talvexMSG.dll", Options.MessageDllPath); },
         [] { fake_fail("LoadLibraryA", 126, 2); }},
    });
}

TEST_F(InstallOptionsTest, LocateModuleGivesTheFullNameOrFailsWithTheReason)
{
    const std::string longest = "C:\\" + std::string(240, 'x') + "\\talvexMSG.dll";   // 259 characters
    const struct {
        const char* what;
        const char* name;
        std::function<void()> setup;
        int result;
        std::string path;
        uint32_t error;
        int frees;
    } rows[] = {
        {"the longest name that fits", "talvexMSG.dll", [&] { fake_add_library("talvexMSG.dll", longest); }, 1,
         longest, 0, 1},
        {"a failed name query frees the library", "talvexMSG.dll", [] { fake_fail("GetModuleFileNameA", 5); }, 0, "",
         5, 1},
        // Named as cut even where the system sets no error.
        {"a name cut by its buffer", "talvexMSG.dll",
         [] { fake_add_library("talvexMSG.dll", "C:\\" + std::string(250, 'x') + "\\talvexMSG.dll"); }, 0, "", 122,
         1},
        {"a library that cannot be loaded keeps the load error", "other.dll", [] {}, 0, "", 126, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fresh();
        row.setup();
        char buffer[260];
        strcpy(buffer, "old");
        EXPECT_EQ(row.result, LocateModule(row.name, buffer));
        EXPECT_EQ(row.path, buffer);
        if (row.result == 0) {
            EXPECT_EQ(row.error, plat_get_last_error());
        }
        EXPECT_EQ(row.frees, fake_call_count("FreeLibrary"));
    }
}

}  // namespace
