// The install option scan and validation on arbitrary argument vectors.
//
// Input: a byte that shapes the machine (which companion libraries the
// library search finds and how long their paths are, whether the current
// directory fits its 260-byte storage), then the arguments after "-install",
// separated by NUL bytes.  Every argument is its own exact heap block and the
// vector has exactly argc entries, so a read past either is caught.  The scan
// is checked against a model of its one-pass rule, and the outcome against a
// model of the validation steps.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/helpers.h"
#include "config/install_options.h"
#include "fake/fake_core.h"
#include "fuzz_support.h"

namespace {

const size_t kMaxArguments = 48;
const size_t kPathTestLimit = 2047;   // PathExists builds its path in 2048 bytes

const char kMessageLibrary[] = "C:\\talvex\\talvexMSG.dll";
const char kUtilityLibrary[] = "C:\\talvex\\talvexUtil.dll";

// The option words in the order the scan compares them.
struct Word {
    const char* word;
    const char* alias;
    int field;
};
enum Fields {
    F_WD, F_JRE, F_JARGS, F_CP, F_BCP, F_HOME, F_XML, F_DSXML, F_START, F_STOP, F_PWD, F_COUNT
};
const Word kWords[] = {
    {"-wd", nullptr, F_WD},         {"-jre", nullptr, F_JRE},     {"-jargs", nullptr, F_JARGS},
    {"-cp", nullptr, F_CP},         {"-bcp", nullptr, F_BCP},     {"-home", nullptr, F_HOME},
    {"-xml", nullptr, F_XML},       {"-dsxml", nullptr, F_DSXML}, {"-starttimeout", "-t", F_START},
    {"-stoptimeout", "-s", F_STOP}, {"-pwd", nullptr, F_PWD},
};

const char* OptionField(int field)
{
    switch (field) {
    case F_WD: return Options.WorkingDirectory;
    case F_JRE: return Options.JavaExe;
    case F_JARGS: return Options.JavaArgs;
    case F_CP: return Options.Classpath;
    case F_BCP: return Options.BootClasspath;
    case F_HOME: return Options.OrvaneHome;
    case F_XML: return Options.BootFile;
    case F_DSXML: return Options.DirectoryServiceBootFile;
    case F_START: return Options.TimeoutSeconds;
    case F_STOP: return Options.ShutdownTimeoutSeconds;
    default: return Options.PBE;
    }
}

bool Absolute(const std::string& p) { return !p.empty() && (p[0] == '\\' || (p.size() > 1 && p[1] == ':')); }

bool Exists(const std::string& path) { return path.size() <= kPathTestLimit && fake_fs_exists(path); }

bool ExistsIn(const std::string& path, const std::string& base)
{
    return Absolute(path) ? Exists(path) : Exists(base + "\\" + path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_reset();
    FuzzReader in{data, size};
    uint8_t machine = in.u8();

    std::string cwd = (machine & 0x08) ? "C:\\" + std::string(300, 'd') : "C:\\work";
    fake_set_current_directory(cwd);
    fake_fs_mkdir(cwd);
    fake_fs_mkdir("D:\\svc");
    fake_fs_write("D:\\svc\\boot.xml", "<boot/>");
    fake_fs_write("D:\\jdk\\bin\\java.exe", "MZ");
    fake_fs_mkdir("D:\\orvane");
    std::string messagePath = (machine & 0x04) ? "C:\\" + std::string(270, 'm') + "\\talvexMSG.dll" : kMessageLibrary;
    std::string utilityPath = (machine & 0x10) ? "talvexUtil.dll" : kUtilityLibrary;
    if (machine & 0x01) fake_add_library("talvexMSG.dll", messagePath);
    if (machine & 0x02) fake_add_library("talvexUtil.dll", utilityPath);

    std::vector<std::string> args = {"talvex", "-install"};
    std::string rest = in.rest();
    size_t start = 0;
    while (args.size() < kMaxArguments) {
        size_t end = rest.find('\0', start);
        args.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    int argc = (int)args.size();
    char** argv = (char**)malloc(sizeof(char*) * (size_t)argc);
    for (int i = 0; i < argc; ++i) argv[i] = fuzz_exact_copy(args[(size_t)i]);

    // The scan's model: one pass per argument; a value word takes the next
    // argument and the remaining comparisons of the pass look at that value.
    int fieldIndex[F_COUNT];
    for (int& f : fieldIndex) f = -1;
    bool automatic = false;
    const char* missingValueWord = nullptr;
    for (int i = 2; i < argc && !missingValueWord; ++i) {
        std::string current = args[(size_t)i];
        if (current == "-a") automatic = true;
        for (const Word& w : kWords) {
            if (current != w.word && !(w.alias && current == w.alias)) continue;
            if (i + 1 >= argc) {
                missingValueWord = current == w.word ? w.word : w.alias;
                break;
            }
            ++i;
            fieldIndex[w.field] = i;
            current = args[(size_t)i];
        }
    }
    auto scanned = [&](int field) { return fieldIndex[field] < 0 ? std::string() : args[(size_t)fieldIndex[field]]; };

    // The validation's model, step by step in its fixed order.  A failing
    // step names the one message it prints: either the whole text, or the
    // text before the system's error description, which ends the message.
    bool expected = missingValueWord == nullptr;
    std::string message;
    bool messageHasErrorText = false;
    auto fail = [&](const std::string& text, bool withErrorText) {
        expected = false;
        message = text;
        messageHasErrorText = withErrorText;
    };
    std::string wd = scanned(F_WD);
    bool wdDefaulted = false;
    if (expected) {
        if (wd.empty() || wd == ".") {
            if (cwd.size() >= 260) {
                fail("\nError: Current directory is too long to use as the working directory\n", false);
            } else {
                wdDefaulted = true;
                wd = cwd;
            }
        } else if (!Absolute(wd)) {
            fail("\nError: Working directory (-wd) must specify an absolute path\n", false);
        }
        if (expected && !Exists(wd)) fail("\nError: Working directory does not exist \"" + wd + "\" - ", true);
    }
    std::string java = scanned(F_JRE), home = scanned(F_HOME), boot = scanned(F_XML), ds = scanned(F_DSXML);
    if (expected && java.empty()) fail("\nError: Java executable must be specified \"-jre\"\n", false);
    if (expected && !Exists(java)) fail("\nError: Java executable does not exist \"" + java + "\" - ", true);
    if (expected && scanned(F_CP).empty()) fail("\nError: Classpath must be specified \"-cp\"\n", false);
    if (expected && home.empty()) fail("\nError: Orvane installation root must be specified \"-home\"\n", false);
    if (expected && !Exists(home)) fail("\nError: \"" + home + "\" - ", true);
    if (expected && !boot.empty() && !ExistsIn(boot, wd)) fail("\nError: \"" + boot + "\" - ", true);
    if (expected && !ds.empty() && !ExistsIn(ds, wd)) fail("\nError: \"" + ds + "\" - ", true);
    if (expected && (!(machine & 0x01) || messagePath.size() >= 260)) fail("\nError: \"talvexMSG.dll\" - ", true);
    if (expected && (!(machine & 0x02) || utilityPath.size() >= 260)) fail("\nError: \"talvexUtil.dll\" - ", true);
    std::string note = wdDefaulted
        ? "\nWorking directory (-wd) not specified (or '.') - using current directory: " + cwd + "\n"
        : std::string();

    int result = ParseInstallOptions(argv, argc);
    std::string output = fuzz_console_output();

    FUZZ_CHECK(result == (expected ? 1 : 0));
    FUZZ_CHECK(Options.StartType == (automatic ? SERVICE_AUTO_START_TYPE : SERVICE_DEMAND_START_TYPE));
    // Fields without a default point at the argument that set them last.
    for (int field : {F_JRE, F_JARGS, F_CP, F_BCP, F_HOME, F_DSXML, F_PWD}) {
        if (fieldIndex[field] >= 0)
            FUZZ_CHECK(OptionField(field) == argv[fieldIndex[field]]);
        else
            FUZZ_CHECK(OptionField(field)[0] == '\0');
    }
    if (missingValueWord) {
        FUZZ_CHECK(output == std::string("\nError: Option ") + missingValueWord + " requires a value\n");
    } else if (result == 0) {
        // The note at most, then exactly the failing step's message.
        FUZZ_CHECK(output.compare(0, note.size(), note) == 0);
        std::string printed = output.substr(note.size());
        if (!messageHasErrorText) {
            FUZZ_CHECK(printed == message);
        } else {
            // The system's text for the error, then its code: "... (0x2)".
            FUZZ_CHECK(printed.compare(0, message.size(), message) == 0);
            std::string reason = printed.substr(message.size());
            FUZZ_CHECK(reason.size() >= 2 && reason.compare(reason.size() - 2, 2, ")\n") == 0);
            FUZZ_CHECK(reason.find('\n') == reason.size() - 1);
            FUZZ_CHECK(reason.find(" (0x") != std::string::npos);
        }
    } else {
        FUZZ_CHECK(output == note);
        FUZZ_CHECK(std::string(Options.WorkingDirectory) == wd);
        FUZZ_CHECK(wdDefaulted == (Options.WorkingDirectory == Options.CurrentDirectory));
        FUZZ_CHECK(std::string(Options.BootFile) == (scanned(F_XML).empty() ? ".\\container.ini" : scanned(F_XML)));
        FUZZ_CHECK(std::string(Options.TimeoutSeconds) == (scanned(F_START).empty() ? "0" : scanned(F_START)));
        FUZZ_CHECK(std::string(Options.ShutdownTimeoutSeconds) == (scanned(F_STOP).empty() ? "600" : scanned(F_STOP)));
        FUZZ_CHECK(std::string(Options.MessageDllPath) == messagePath);
        size_t cut = utilityPath.rfind('\\');
        FUZZ_CHECK(std::string(Options.UtilDir) == (cut == std::string::npos ? utilityPath : utilityPath.substr(0, cut)));
    }
    FUZZ_CHECK(fuzz_terminated_length(Options.MessageDllPath, sizeof Options.MessageDllPath) < sizeof Options.MessageDllPath);
    FUZZ_CHECK(fuzz_terminated_length(Options.UtilDir, sizeof Options.UtilDir) < sizeof Options.UtilDir);
    FUZZ_CHECK(fuzz_terminated_length(Options.CurrentDirectory, sizeof Options.CurrentDirectory) < sizeof Options.CurrentDirectory);

    for (int i = 0; i < argc; ++i) free(argv[i]);
    free(argv);
    return 0;
}
