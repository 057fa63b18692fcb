// The command line as an administrator uses it: every command's exact
// output and exit code, and what it leaves in the service manager and the
// registry.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "config/service_config.h"
#include "runs.h"
#include "service/service_status.h"

namespace {

const char SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";

// The usage text as the README shows it.
std::string readme_usage()
{
    std::ifstream readme(TALVEX_SOURCE_DIR "/README.md");
    std::string text((std::istreambuf_iterator<char>(readme)), std::istreambuf_iterator<char>());
    size_t start = text.find("```text\n") + 8;
    return text.substr(start, text.find("```", start) - start);
}

// The README's table of registry values, as "<value> <set by>" lines: the
// option, "installer" or "hand".
std::string readme_values()
{
    std::ifstream readme(TALVEX_SOURCE_DIR "/README.md");
    std::string line, rows;
    bool in = false;
    while (std::getline(readme, line)) {
        if (line.rfind("### ", 0) == 0) in = line == "### Registry values";
        if (!in || line.rfind("| `", 0) != 0) continue;
        size_t bar = line.find(" | ", 2);
        std::string value = line.substr(3, line.find('`', 3) - 3), setBy = line.substr(bar + 3, line.find(" | ", bar + 3) - bar - 3);
        rows += value + " " + (setBy[0] == '`' ? setBy.substr(1, setBy.size() - 2) : setBy == "the installer" ? "installer" : setBy) + "\n";
    }
    return rows;
}

std::string usage()
{
    fake_reset();
    run_talvex({"talvex"});
    return fake_console();
}

class Admin : public ::testing::Test {
protected:
    // A fault armed to fire once that never fired tested nothing.
    void TearDown() override { EXPECT_EQ(fake_unfired_faults(), ""); }
    void SetUp() override
    {
        fake_reset();
        fake_make_dir("C:\\orvane");
        fake_write_file("C:\\jre\\bin\\java.exe", "MZ");
        fake_write_file("C:\\svc\\container.ini", "");
    }
    // Runs a command and returns its exit code and output as "<code>|<output>".
    std::string run(const std::vector<std::string>& words, const std::vector<std::string>& wide = {})
    {
        int code = run_talvex(words, wide);
        return std::to_string(code) + "|" + fake_console();
    }
    std::string parameters()
    {
        std::string out, data;
        for (size_t i = 0; i < PARAMETER_COUNT; ++i)
            if (fake_reg_get(PARAMETERS_KEY, PARAMETERS[i].name, &data))
                out += std::string(PARAMETERS[i].name) + "=" + data + "\n";
        return out;
    }
};

// Without -wd the current directory is the working directory.
const std::vector<std::string> INSTALL_HERE = {"talvex", "-install", "svc", "-jre", "C:\\jre\\bin\\java.exe",
                                               "-cp", "a.jar", "-home", "C:\\orvane"};
const std::vector<std::string> INSTALL = {"talvex", "-install", "svc", "-wd", "C:\\svc", "-jre", "C:\\jre\\bin\\java.exe",
                                          "-cp", "a.jar", "-home", "C:\\orvane"};

// The README's usage text and table of values are the program's own.
TEST_F(Admin, WordsThatAreNoCommandPrintTheUsage)
{
    std::string values;
    for (size_t i = 0; i < PARAMETER_COUNT; ++i) {
        const char* option = PARAMETERS[i].installOption;
        values += std::string(PARAMETERS[i].name) + " " + (option == nullptr ? "hand" : option[0] ? option : "installer") + "\n";
    }
    EXPECT_EQ(readme_values(), values);
    std::string text = usage();
    EXPECT_EQ(text, readme_usage());
    for (std::vector<std::string> words : std::vector<std::vector<std::string>>{
             {"talvex", "install"}, {"talvex", "-INSTALL", "svc"}, {"talvex", "-installx"}, {"talvex", "-"}}) {
        fake_reset();
        EXPECT_EQ(run(words), "0|" + text);
    }
    fake_reset();
    EXPECT_EQ(run({"talvex", "-test"}), "1|" + text);
    fake_reset();
    EXPECT_EQ(run({"talvex", "-install"}), "1|" + text);
    // A name alone is an install that the options refuse.
    fake_reset();
    EXPECT_EQ(run({"talvex", "-install", "svc"}), "1|\nWorking directory (-wd) not specified (or '.') - using current "
                                                  "directory: C:\\svc\n\nError: Java executable must be specified "
                                                  "\"-jre\"\n" + text + "Error (-jre): Java executable must be specified \"-jre\"\n");
    for (const char* command : {"-start", "-stop", "-dump", "-remove"}) {
        fake_reset();
        EXPECT_EQ(run({"talvex", command}), "1|Error: no service name given.\n");
    }
}

// Started by the path the service manager registered (in any letter case),
// the process hands its thread to the dispatcher; outside the service
// manager that fails with an error event under the program's path.
TEST_F(Admin, TheModulePathLeadsToTheDispatcher)
{
    std::string text = usage();
    const char* const dispatch = "\nStartServiceCtrlDispatcher being called.\nThis may take several seconds.  Please wait.\n";
    fake_reset();
    EXPECT_EQ(run({"C:\\TALVEX\\talvex.EXE"}), "0|" + text + dispatch);
    EXPECT_EQ(fake_transcript(), R"(0 event 0xc0000006 type 1 "C:\TALVEX\talvex.EXE" "StartServiceCtrlDispatcher failed."
)");
    fake_reset();
    std::string deep = "C:\\" + std::string(600, 'd') + "\\talvex.exe";
    fake_set_module_path(deep);
    EXPECT_EQ(run({deep}), "0|" + text + dispatch);
    fake_reset();
    EXPECT_EQ(run({"talvex.exe"}), "0|" + text);
    fake_reset();
    fake_fail("GetModuleFileNameA", 5);
    EXPECT_EQ(run({"C:\\talvex\\talvex.exe"}), "0|" + text);
    EXPECT_EQ(fake_transcript(), "");
}

TEST_F(Admin, InstallRegistersTheServiceItsParametersAndItsEventSource)
{
    fake_set_module_path("C:\\Program Files\\talvex\\talvex.exe");
    std::vector<std::string> words = INSTALL;
    words.insert(words.end(), {"-wd", "C:\\svc", "-jargs", "-Xmx1g", "-bcp", "boot.jar", "-xml", "container.ini",
                               "-dsxml", "container.ini", "-t", "30", "-stoptimeout", "45", "-pwd", "pw", "-stoptimeuot", "30"});
    EXPECT_EQ(run(words), R"(0|Warning: -stoptimeuot is not an option and is ignored
Warning: 30 is not an option and is ignored
svc installed.
)");
    EXPECT_EQ(parameters(), R"(WorkingDirectory=C:\svc
JavaExe=C:\jre\bin\java.exe
JavaArgs=-Xmx1g
Classpath=a.jar
BootClasspath=boot.jar
OrvaneHome=C:\orvane
BootFile=container.ini
DirectoryServiceBootFile=container.ini
TimeoutSeconds=30
ShutdownTimeoutSeconds=45
PBE=pw
UtilDir=C:\talvex
)");
    FakeService* s = fake_service("svc");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->binary_path + "|" + s->display_name + "|" + s->description, "\"C:\\Program Files\\talvex\\talvex.exe\"|svc|Runs the Quillet Orvane management framework container in the working directory 'C:\\svc'.");
    EXPECT_EQ(std::to_string(s->type) + " " + std::to_string(s->start_type) + " " + std::to_string(s->error_control) +
                  " " + std::to_string(s->failure_actions_flag) + " " + std::to_string(s->dependencies.size()) + " " +
                  std::to_string(s->sid_type),
              "16 3 1 1 1 1");
    std::string data;
    uint32_t type = 0;
    EXPECT_TRUE(fake_reg_get(SOURCE_KEY, "EventMessageFile", &data, &type));
    EXPECT_EQ(data + " " + std::to_string(type), "C:\\talvex\\talvexMSG.dll 2");
    // Only SYSTEM, the administrators and the service itself may read the
    // parameters, which hold the password.
    EXPECT_TRUE(fake_reg_get(PARAMETERS_KEY, "(security)", &data));
    EXPECT_EQ(data, "D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;S-1-5-80-NT SERVICE\\svc)");
    EXPECT_TRUE(fake_reg_get(SOURCE_KEY, "TypesSupported", &data, &type));
    EXPECT_EQ(data, std::string("\x07\0\0\0", 4));

    // Again, with the defaults: the service is reconfigured and every value
    // rewritten.
    fake_reset();
    fake_make_dir("C:\\orvane");
    fake_write_file("C:\\jre\\bin\\java.exe", "MZ");
    fake_add_service("svc", SERVICE_STATE_STOPPED);
    words = INSTALL_HERE;
    words.push_back("-a");
    EXPECT_EQ(run(words), R"(0|
Working directory (-wd) not specified (or '.') - using current directory: C:\svc
svc changed.
)");
    EXPECT_EQ(parameters(), R"(WorkingDirectory=C:\svc
JavaExe=C:\jre\bin\java.exe
JavaArgs=
Classpath=a.jar
BootClasspath=
OrvaneHome=C:\orvane
BootFile=.\container.ini
DirectoryServiceBootFile=
TimeoutSeconds=0
ShutdownTimeoutSeconds=600
PBE=
UtilDir=C:\talvex
)");
    EXPECT_EQ(fake_service("svc")->start_type, 2u);
    EXPECT_EQ(fake_service("svc")->binary_path, "C:\\talvex\\talvex.exe");
    // At system shutdown Windows waits the shutdown timeout and 30 s more for
    // the service, or its own 3 minutes where the timeout is 0; 600 s is the
    // default, and a negative timeout never runs out.
    std::string preshutdown;
    for (const char* seconds : {"45", "0", "4294967", ""}) {
        SetUp();
        words = INSTALL;
        if (seconds[0] != '\0') words.insert(words.end(), {"-s", seconds});
        run(words);
        preshutdown += std::to_string(fake_service("svc")->preshutdown_ms) + " ";
    }
    EXPECT_EQ(preshutdown, "75000 180000 4294967295 630000 ");
}

// Each refused option set: its one message, then the usage text, exit code
// 1, and nothing written.
TEST_F(Admin, InstallRefusesIncompleteOrWrongOptions)
{
    std::string text = usage();
    const std::string longList(32767, 'c');
    // The refusal, the usage text, and the refusal once more naming its option.
    auto refused = [&text](const std::string& message, const std::string& option) {
        std::string line = message.substr(8, message.size() - 9);
        return "1|" + message + text + (option.empty() ? "Error: " : "Error (" + option + "): ") + line + "\n";
    };
    struct Row {
        std::vector<std::string> extra;
        std::string message;
    } rows[] = {
        {{"-cp"}, "\nError: Option -cp requires a value\n"},
        {{"-wd", "relative"}, "\nError: Working directory (-wd) must specify an absolute path\n"},
        {{"-wd", "C:\\missing"}, "\nError: Working directory does not exist \"C:\\missing\" - system text 2. (0x2)\n"},
        {{"-jre", ""}, "\nError: Java executable must be specified \"-jre\"\n"},
        {{"-jre", "C:\\jre\\missing.exe"},
         "\nError: Java executable does not exist \"C:\\jre\\missing.exe\" - system text 2. (0x2)\n"},
        {{"-cp", ""}, "\nError: Classpath must be specified \"-cp\"\n"},
        {{"-home", ""}, "\nError: Orvane installation root must be specified \"-home\"\n"},
        {{"-home", "C:\\missing"}, "\nError: \"C:\\missing\" - system text 2. (0x2)\n"},
        {{"-xml", "missing.ini"}, "\nError: \"missing.ini\" - system text 2. (0x2)\n"},
        {{"-dsxml", "missing.ini"}, "\nError: \"missing.ini\" - system text 2. (0x2)\n"},
        {{"-cp", longList}, "\nError: Option -cp is longer than 32766 characters\n"},
        {{"-home", std::string(2048, 'h')}, "\nError: Option -home is longer than 2047 characters\n"},
        {{"-pwd", std::string(512, 'p')}, "\nError: Option -pwd is longer than 511 characters\n"},
        {{"-jargs", std::string(17000, 'j'), "-bcp", std::string(17000, 'b')},
         "\nError: The options make a launcher command line longer than 32766 characters\n"},
        {{"-s", "ten"}, "\nError: Option -stoptimeout takes a whole number of seconds from 0 to 4294967\n"},
        {{"-t", "-5"}, "\nError: Option -starttimeout takes a whole number of seconds from 0 to 4294967\n"},
        {{"-t", "4294968"}, "\nError: Option -starttimeout takes a whole number of seconds from 0 to 4294967\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        SetUp();
        std::vector<std::string> words = INSTALL;
        words.insert(words.end(), row.extra.begin(), row.extra.end());
        // The option a refusal concerns is the first word the row adds,
        // as the message names it; the launch command concerns none.
        std::string option = row.extra[0] == "-s" ? "-stoptimeout" : row.extra[0] == "-t" ? "-starttimeout" : row.extra[0];
        EXPECT_EQ(run(words), refused(row.message, row.extra.size() > 2 ? "" : option));
        EXPECT_EQ(fake_service("svc"), nullptr);
    }
    // Names that cannot name a log file, and a word that takes a value
    // standing last, are refused by name.
    std::string refusals;
    for (std::string name : {"a\"b", "tab\there", "nul", "Com1.log", "LPT9", "COM0", "Auxiliary"}) {
        SetUp();
        std::vector<std::string> words = INSTALL;
        words[2] = name;
        std::string out = run(words);
        refusals += out.substr(0, out.find('\n', 4) + 1);
    }
    EXPECT_EQ(refusals, "1|\n"
        "Error: The service name \"a\"b\" holds a character that a file name cannot hold\n"
        "1|\n"
        "Error: The service name \"tab\x09""here\" holds a character that a file name cannot hold\n"
        "1|\n"
        "Error: The service name \"nul\" is a reserved device name\n"
        "1|\n"
        "Error: The service name \"Com1.log\" is a reserved device name\n"
        "1|\n"
        "Error: The service name \"LPT9\" is a reserved device name\n"
        "0|COM0 installed.\n"
        "0|Auxiliary installed.\n");
    for (const char* word : {"-wd", "-jre", "-jargs", "-cp", "-bcp", "-home", "-xml", "-dsxml", "-starttimeout",
                             "-t", "-stoptimeout", "-s", "-pwd"}) {
        SetUp();
        std::vector<std::string> words = INSTALL;
        words.push_back(word);
        EXPECT_EQ(run(words), refused("\nError: Option " + std::string(word) + " requires a value\n", word));
    }
    std::string seen;
    for (int i = 0; i < 5; ++i) {
        SetUp();
        if (i < 2) fake_set_library(i == 0 ? "talvexMSG.dll" : "talvexUtil.dll", "");
        if (i == 2) fake_set_current_directory("C:\\" + std::string(300, 'c'));
        if (i == 3) fake_fail("GetCurrentDirectoryA", 5);
        // A message file whose path would be cut is not registered.
        if (i == 4) fake_set_library("talvexMSG.dll", "C:\\" + std::string(300, 'm') + "\\talvexMSG.dll");
        std::string out = run(i < 2 || i == 4 ? INSTALL : INSTALL_HERE);
        seen += out.substr(0, out.find("\nUsage:")) + out.substr(out.rfind("\nError") + 1);
    }
    EXPECT_EQ(seen, "1|\nError: \"talvexMSG.dll\" - system text 126. (0x7e)\nError: \"talvexMSG.dll\" - system text 126. "
                    "(0x7e)\n1|\nError: \"talvexUtil.dll\" - system text 126. (0x7e)\nError: \"talvexUtil.dll\" - system text "
                    "126. (0x7e)\n1|\nError: Current directory is too long to use as the working directory\nError (-wd): "
                    "Current directory is too long to use as the working directory\n1|\nError: Current directory could not be "
                    "read - system text 5. (0x5)\nError (-wd): Current directory could not be read - system text 5. (0x5)\n1|\n"
                    "Error: \"talvexMSG.dll\" - system text 122. (0x7a)\nError: \"talvexMSG.dll\" - system text 122. (0x7a)\n");
}

// A service name that the ANSI code page cannot hold exactly ("svc" and an
// omega arrives as "svcO", another service's name): every command refuses it
// with the usage text and exit code 1 and does nothing else.  Only the name
// is compared.
TEST_F(Admin, CommandsRefuseANameTheAnsiCodePageCannotHold)
{
    std::string text = usage();
    for (const char* command : {"-install", "-remove", "-start", "-stop", "-dump", "-test"}) {
        SCOPED_TRACE(command);
        SetUp();
        fake_add_service("svcO", SERVICE_STATE_STOPPED);
        std::vector<std::string> words = INSTALL, wide = INSTALL;
        words[1] = wide[1] = command;
        words[2] = "svcO";
        wide[2] = "svc\xce\xa9";
        EXPECT_EQ(run(words, wide), "1|" + text);
        EXPECT_EQ(fake_calls().size(), 1u);   // the wide command line, and nothing more
    }
    SetUp();
    std::vector<std::string> wide = INSTALL;
    wide[4] = "C:\\sv\xce\xa9";
    EXPECT_EQ(run(INSTALL, wide), "0|svc installed.\n");
}

// -account: the accounts a service may run as, in their canonical spelling;
// any other refused.  Under any but LocalSystem the service's own SID gets
// modify rights on the working directory, also when a reinstall keeps the
// account, and a drive's root is refused; a refused account change is said.
TEST_F(Admin, AccountsAndTheirRights)
{
    std::string seen;
    for (const char* account : {"localsystem", "LocalService", "nt authority\\networkservice", "NT SERVICE\\SVC",
                                "DOM\\gmsa$", "NT SERVICE\\other", "bob", "\\x$"}) {
        SetUp();
        std::vector<std::string> words = INSTALL;
        words.insert(words.end(), {"-account", account});
        std::string out = run(words);
        FakeService* service = fake_service("svc");
        seen += (service != nullptr ? service->account : out.substr(0, out.find('\n', 3))) + "|" +
                std::to_string(fake_transcript().find("grant modify C:\\svc to S-1-5-80-NT SERVICE\\svc") != std::string::npos) + "\n";
    }
    EXPECT_EQ(seen, "LocalSystem|0\nNT AUTHORITY\\LocalService|1\nNT AUTHORITY\\NetworkService|1\nNT SERVICE\\svc|1\nDOM\\gmsa$|1\n"
                    "1|\nError: Option -account takes LocalSystem, LocalService, NetworkService, NT SERVICE\\svc or a managed "
                    "service account DOMAIN\\name$, not \"NT SERVICE\\other\"|0\n"
                    "1|\nError: Option -account takes LocalSystem, LocalService, NetworkService, NT SERVICE\\svc or a managed "
                    "service account DOMAIN\\name$, not \"bob\"|0\n"
                    "1|\nError: Option -account takes LocalSystem, LocalService, NetworkService, NT SERVICE\\svc or a managed "
                    "service account DOMAIN\\name$, not \"\\x$\"|0\n");
    // A reinstall without -account keeps it, and its rights follow a new
    // working directory; a drive's root is not given.
    SetUp();
    fake_make_dir("C:\\new");
    std::vector<std::string> words = INSTALL;
    words.insert(words.end(), {"-account", "DOM\\gmsa$"});
    run(words);
    size_t before = fake_console().size();
    words = INSTALL;
    words[4] = "C:\\new";
    EXPECT_EQ(run(words).substr(before + 2), "svc changed.\n");
    EXPECT_NE(fake_transcript().find("grant modify C:\\new to S-1-5-80-NT SERVICE\\svc"), std::string::npos);
    before = fake_console().size();
    words[4] = "C:\\";
    std::string r = run(words);
    EXPECT_EQ(r.substr(0, 2) + r.substr(before + 2), "1|\nError (-wd): The working directory C:\\ is a drive's root, on which "
                                                    "the account DOM\\gmsa$ is given no rights\n");
    before = fake_console().size();
    words = INSTALL;
    words.insert(words.end(), {"-account", "LocalService"});
    fake_fail("ChangeServiceConfigA", 1057);
    r = run(words);
    EXPECT_EQ(r.substr(0, 2) + r.substr(before + 2), "1|ChangeServiceConfig failed - system text 1057. (0x421)\n");
}

// A failed step of the install says what failed and ends with exit code 1;
// what was done before it stays.
TEST_F(Admin, InstallFailures)
{
    struct Row {
        const char* call;
        int nth, values;   // the parameter values written before it
        std::string result;
    } rows[] = {
        {"GetModuleFileNameA", 3, 0, R"(1|Unable to install svc - system text 5. (0x5)
)"},
        {"OpenSCManagerA", 1, 0, R"(1|OpenSCManager failed - system text 5. (0x5)
)"},
        {"CreateServiceA", 1, 0, R"(1|CreateService failed - system text 5. (0x5)
)"},
        {"RegSetValueExA", 5, 4, "1|svc installed.\nError setting registry value 'BootClasspath' due to: system text 5.\r\n"},
        {"RegCreateKeyExA", 1, 0, "1|svc installed.\nError setting registry value 'WorkingDirectory' due to: system text 6.\r\n"},
        {"RegSetValueExA", 13, 12, "0|svc installed.\nError setting registry value 'EventMessageFile' due to: system text 5.\r\n"},
        {"RegSetValueExA", 14, 12, "1|svc installed.\nError registering event source due to: system text 5.\r\n"},
        {"RegSetKeySecurity", 1, 0, "1|svc installed.\nError protecting registry key 'Parameters' due to: system text 5.\r\n"},
        {"LookupAccountNameA", 1, 12, "0|svc installed.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        SetUp();
        fake_fail(row.call, 5, row.nth);
        EXPECT_EQ(run(INSTALL), row.result);
        std::string written = parameters();
        EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), row.values);
        if (row.call == std::string("LookupAccountNameA")) {
            EXPECT_TRUE(fake_reg_get(PARAMETERS_KEY, "(security)", &written));
            EXPECT_EQ(written, "D:P(A;;KA;;;SY)(A;;KA;;;BA)");
        }
    }
    SetUp();
    fake_set_module_path("C:\\" + std::string(600, 'm') + "\\talvex.exe");
    EXPECT_EQ(run(INSTALL), R"(1|Unable to install svc - system text 122. (0x7a)
)");
}

// The four control commands in every state the service manager reports.
TEST_F(Admin, ControlCommandsActOnTheStateTheManagerReports)
{
    std::string seen;
    for (const char* command : {"-start", "-stop", "-dump", "-remove"}) {
        for (uint32_t state = 1; state <= 4; ++state) {
            fake_reset();
            fake_add_service("Svc", state);
            fake_reg_put(SOURCE_KEY, "TypesSupported", 4, "\x07");
            std::string out = run({"talvex", command, "svc"});
            seen += command + std::string(" ") + std::to_string(state) + ": " + out + "|" +
                    lines_with(fake_transcript(), {"service"}) + (fake_reg_key_exists(SOURCE_KEY) ? "" : "(no source)\n");
        }
    }
    EXPECT_EQ(seen, "-start 1: 0|svc start requested.\n"
        "|0 start service Svc\n"
        "-start 2: 1|Service svc currently running. Ignoring start request.|-start 3: 1|Service svc currently running. Ignoring start request.|-start 4: 1|Service svc currently running. Ignoring start request.|-stop 1: 1|Service svc already stopped. Ignoring stop request.|-stop 2: 0|svc stop requested.\n"
        "|0 control service Svc 1\n"
        "-stop 3: 1|Service svc stop is pending. Ignoring stop request.|-stop 4: 0|svc stop requested.\n"
        "|0 control service Svc 1\n"
        "-dump 1: 1|Service svc currently stopped.|-dump 2: 0|svc thread dump requested. Check the .out file.\n"
        "|0 control service Svc 129\n"
        "-dump 3: 0|svc thread dump requested. Check the .out file.\n"
        "|0 control service Svc 129\n"
        "-dump 4: 0|svc thread dump requested. Check the .out file.\n"
        "|0 control service Svc 129\n"
        "-remove 1: 0|svc removed.\n"
        "|0 delete service Svc\n"
        "(no source)\n"
        "-remove 2: 1|Service svc currently running. Can't remove running service.|-remove 3: 0|svc removed.\n"
        "|0 delete service Svc\n"
        "(no source)\n"
        "-remove 4: 1|Service svc currently running. Can't remove running service.|");
}

TEST_F(Admin, ControlCommandFailures)
{
    struct Row {
        const char* call;
        const char* command;
        std::string result;
    } rows[] = {
        {"OpenSCManagerA", "-start", R"(1|OpenSCManager failed - system text 5. (0x5)
)"},
        {"OpenServiceA", "-stop", R"(1|OpenService failed - system text 5. (0x5)
)"},
        {"QueryServiceStatus", "-dump", R"(1|QueryServiceStatus failed - system text 5. (0x5)
)"},
        {"StartServiceA", "-start", R"(1|StartService failed - system text 5. (0x5)
)"},
        {"ControlService", "-stop", R"(1|StopService failed - system text 5. (0x5)
)"},
        {"ControlService", "-dump", R"(1|thread dump request failed - system text 5. (0x5)
)"},
        {"DeleteService", "-remove", R"(1|DeleteService failed - system text 5. (0x5)
)"},
        {"RegDeleteKeyA", "-remove", "1|svc removed.\nError deleting event source due to: system text 5.\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        fake_reset();
        bool stopped = strcmp(row.command, "-start") == 0 || strcmp(row.command, "-remove") == 0;
        fake_add_service("svc", stopped ? SERVICE_STATE_STOPPED : SERVICE_STATE_RUNNING);
        fake_reg_put(SOURCE_KEY, "TypesSupported", 4, "\x07");
        fake_fail(row.call, 5);
        EXPECT_EQ(run({"talvex", row.command, "svc"}), row.result);
        EXPECT_EQ(fake_open_handles(), 0);
    }
}

}  // namespace
