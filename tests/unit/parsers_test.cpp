// The parsers and formatters of outside input, as tables of input and
// expected result: bounded text, the exit-code marker, the launcher's command
// line and its masked copy, the start script, the service parameters, paths
// and error texts, the log file and the event log.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "common/helpers.h"
#include "common/text.h"
#include "admin/event_source.h"
#include "config/service_config.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "diag/metrics_file.h"
#include "runs.h"
#include "service/child_pipes.h"
#include "service/exit_marker.h"
#include "service/launch_command.h"
#include "service/start_script.h"

namespace {

class Parsers : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
    // A fault armed to fire once that never fired tested nothing.
    void TearDown() override { EXPECT_EQ(fake_unfired_faults(), ""); }
};

TEST_F(Parsers, BoundedTextCutsAndTerminates)
{
    char area[10];
    char* b = area;   // the first 6 bytes; the rest must never be written
    memset(area, '#', sizeof area);
    std::string seen;
    auto show = [&](int ok) { seen += std::to_string(ok) + "[" + b + "] "; };
    show(text_copy(b, 6, "12345"));
    show(text_copy(b, 6, "abcdef"));
    show(text_append(b, 6, "x"));
    text_copy(b, 6, "12");
    show(text_append(b, 6, "345"));
    text_copy(b, 6, "12");
    show(text_append_format(b, 6, "%d", 3456));
    show(text_append_format(b, 6, "%s", ""));
    show(text_format(b, 6, "%s", "abcdef"));
    memset(b, 'x', 6);
    show(text_append(b, 6, "y"));
    memset(b, 'x', 6);
    show(text_append_format(b, 6, "y"));
    EXPECT_EQ(seen, "1[12345] 0[abcde] 0[abcde] 1[12345] 0[12345] 1[12345] 0[abcde] 0[xxxxx] 0[xxxxx] ");
    EXPECT_EQ(std::string(area + 6, 4), "####");
    EXPECT_EQ(text_copy(b, 0, "a") + text_append(b, 0, "a") + text_format(b, 0, "a") + text_append_format(b, 0, "a"), 0);
    EXPECT_EQ(std::to_string(text_equal_nocase("Ab-Z@", "aB-z@") && text_equal_nocase("az", "AZ")) + std::to_string(text_equal_nocase("ab", "abc")) +
                  std::to_string(text_equal_nocase("[", "{")),
              "100");
}

// What a child's output announces, fed to the marker reader in the given
// pieces: every well-formed code in order, "999" when it ended with only
// malformed ones, and whether it started.
std::string markers_in(const std::vector<std::string>& pieces)
{
    MarkerReader reader;
    MarkerReaderReset(&reader);
    std::string verdict;
    bool started = false;
    for (const std::string& piece : pieces) {
        started = started || HasStartMarker(piece.data(), piece.size());
        char code[EXIT_CODE_TEXT_SIZE];
        for (size_t at = 0; MarkerReaderNext(&reader, piece.data(), piece.size(), &at, code, sizeof code);)
            verdict += std::string(code) + "=" + std::to_string(ExitCodeValue(code)) + " ";
    }
    char code[EXIT_CODE_TEXT_SIZE] = "";
    if (MarkerReaderMalformedEnd(&reader, code, sizeof code)) verdict += std::string("end ") + code;
    return verdict + (started ? "started" : "");
}

// A marker is a marker wherever the reads stop: the verdict on an output is
// the same whole, cut in two at every position, and byte by byte.
TEST_F(Parsers, ExitCodeMarkersInTheStream)
{
    using namespace std::string_literals;
    struct Row {
        std::string output;
        const char* verdict;
    } rows[] = {
        {"abc\a0\a\r\n", "0=0 "},
        {"\a14\a", "14=14 "},
        {"\a 7\a\a x\a\a+0\a\a-0\a", " 7=7  x=0 +0=0 -0=0 "},
        {"\a123456789\a", "123456789=123456789 "},
        {"\a1234567890\a", "end 999"},
        {"\a\a", "end 999"},
        {"\a3\a\a", "3=3 "},
        {"Build finished\a (beep)\r\nlater\a14\a", "14=14 "},
        {"Build finished\a (beep)\n", "end 999"},
        {"\a1\r\n4\a", "end 999"},
        {"bin\0\a0\a"s, "0=0 "},
        {"up\0 binary\n\b"s, "started"},
        {"\b\a5", "end 999started"},
        {"\a0\a\a7\a", "0=0 7=7 "},
        {"no markers", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        EXPECT_EQ(markers_in({row.output}), row.verdict);
        std::vector<std::string> bytes;
        for (char c : row.output) bytes.push_back(std::string(1, c));
        EXPECT_EQ(markers_in(bytes), row.verdict);
        for (size_t cut = 1; cut < row.output.size(); ++cut)
            EXPECT_EQ(markers_in({row.output.substr(0, cut), row.output.substr(cut)}), row.verdict) << "cut at " << cut;
    }
}

ServiceConfig config_of(const std::vector<std::pair<const char*, std::string>>& values)
{
    fake_reset();
    for (const auto& v : values) put_parameter(v.first, v.second);
    ServiceConfig config;
    EXPECT_EQ(LoadServiceConfig("SVC", &config), 1);
    return config;
}

TEST_F(Parsers, ServiceParameters)
{
    ServiceConfig c = config_of({{"TimeoutSeconds", " 45s"}, {"ShutdownTimeoutSeconds", "99999999999"},
                                 {"LogContainerOutput", "fAlSe"}, {"Debug", std::string(511, '0') + '\0'}, {"Classpath", "a b"},
                                 {"BootClasspath", "c"}, {"JavaArgs", std::string(32766, 'j')},
                                 {"OrvaneHome", std::string(2047, 'h') + '\0'}, {"PBE", std::string(511, 'p')},
                                 {"RestartDelayMaxSeconds", "0"}, {"LogFileMaxMegabytes", "2"},
                                 {"LogFileGenerations", " 7"}});
    EXPECT_EQ(std::to_string(c.StartTimeout) + " " + std::to_string(c.ShutdownTimeout) + " " +
                  std::to_string(c.LogContainerOutputEnabled) + " " + std::to_string(DebugEnabled) + " [" +
                  c.ClasspathOption + "] [" + c.BootClasspathOption + "] " + c.BootFile + " " +
                  std::to_string(strlen(c.JavaArgs)) + " " + std::to_string(strlen(c.OrvaneHome)) + " " +
                  std::to_string(strlen(c.PBE)) + " " + std::to_string(c.RestartDelayMax) + " " +
                  std::to_string(c.LogFileMaxBytes) + " " + std::to_string(c.LogFileGenerationCount),
              "45 2147483647 0 1 [-cp \"a b\"] [\"-Xbootclasspath/p:c\"] .\\container.ini 32766 2047 511 0 2097152 7");
    c = config_of({{"TimeoutSeconds", "-99999999999"}, {"ShutdownTimeoutSeconds", ""}, {"LogContainerOutput", "no"},
                   {"BootFile", "x.ini"}, {"RestartDelayMaxSeconds", "soon"}, {"LogFileMaxMegabytes", "-1"},
                   {"LogFileGenerations", "0"}, {"LogFileMaxAgeDays", "1.5"}, {"InputStallMinutes", "+5"},
                   {"InputStallSeconds", " \t "}, {"FailureAction", "again"}});
    EXPECT_EQ(std::to_string(c.StartTimeout) + " " + std::to_string(c.ShutdownTimeout) + " " +
                  std::to_string(c.LogContainerOutputEnabled) + " " + std::to_string(DebugEnabled) + " [" +
                  c.ClasspathOption + "] " + c.BootFile + " " + std::to_string(c.RestartDelayMax) + " " +
                  std::to_string(c.LogFileMaxBytes) + " " + std::to_string(c.LogFileGenerationCount) + " " +
                  std::to_string(c.LogFileMaxAgeDayCount) + " " + std::to_string(c.InputStallMs),
              "-2147483648 600 1 0 [] x.ini 60 0 5 0 600000");
    EXPECT_EQ(fake_transcript(), R"(0 event 0x80000005 type 2 "SVC" "RestartDelayMaxSeconds "soon" is not a number of seconds; the default 60 is used"
0 event 0x80000005 type 2 "SVC" "LogFileMaxMegabytes "-1" is not a number of megabytes; the log file has no size limit"
0 event 0x80000005 type 2 "SVC" "LogFileGenerations "0" is not a number of 1 or more; the default 5 is used"
0 event 0x80000005 type 2 "SVC" "LogFileMaxAgeDays "1.5" is not a number of days; rotated log files are kept whatever their age"
0 event 0x80000005 type 2 "SVC" "InputStallMinutes "+5" is not a number of minutes; the default 10 is used"
0 event 0x80000005 type 2 "SVC" "FailureAction "again" is neither "stop" nor "restart"; "stop" is used"
)");
    // A count is all digits, blanks around them allowed, and at most its most.
    std::string warned;
    for (const char* text : {"10 days", "5MB", "99999999999", "1001", " 12 "}) {
        c = config_of({{"LogFileGenerations", text}});
        std::string t = fake_transcript();
        warned += std::to_string(c.LogFileGenerationCount) + (t.empty() ? "\n" : " " + t.substr(t.find("\"L")));
    }
    EXPECT_EQ(warned, R"(5 "LogFileGenerations "10 days" is not a number of 1 or more; the default 5 is used"
5 "LogFileGenerations "5MB" is not a number of 1 or more; the default 5 is used"
5 "LogFileGenerations "99999999999" is more than 1000; the default 5 is used"
5 "LogFileGenerations "1001" is more than 1000; the default 5 is used"
12
)");
    // Numbers may be stored as REG_DWORD and text as REG_EXPAND_SZ; a value
    // that does not fit its field, of another type, or a timeout without a
    // number refuses the parameters with an event for each.
    fake_reset();
    fake_reg_put(PARAMETERS_KEY, "TimeoutSeconds", PLAT_REG_DWORD, std::string("\x05\0\0\0", 4));
    fake_reg_put(PARAMETERS_KEY, "LogFileGenerations", PLAT_REG_DWORD, std::string("\xff\xff\xff\xff", 4));
    fake_reg_put(PARAMETERS_KEY, "OrvaneHome", PLAT_REG_EXPAND_SZ, "%SystemRoot%\\x");
    fake_set_env("SystemRoot", "C:\\Windows");
    ServiceConfig d;
    EXPECT_EQ(LoadServiceConfig("svc", &d), 1);
    EXPECT_EQ(std::to_string(d.StartTimeout) + " " + std::to_string(d.LogFileGenerationCount) + " " + d.OrvaneHome,
              "5 5 C:\\Windows\\x");
    fake_reg_put(PARAMETERS_KEY, "Classpath", PLAT_REG_SZ, std::string(32767, 'c'));
    fake_reg_put(PARAMETERS_KEY, "JavaExe", PLAT_REG_MULTI_SZ, std::string("a\0b\0\0", 5));
    fake_reg_put(PARAMETERS_KEY, "ShutdownTimeoutSeconds", PLAT_REG_SZ, "ten");
    fake_reg_put(PARAMETERS_KEY, "BootFile", PLAT_REG_EXPAND_SZ, "%SystemRoot%" + std::string(2040, 'b'));
    EXPECT_EQ(LoadServiceConfig("svc", &d), 0);
    EXPECT_EQ(LoadServiceConfig("gone", &d), 0);
    EXPECT_EQ(fake_transcript(), R"(0 event 0x80000005 type 2 "svc" "LogFileGenerations "4294967295" is more than 1000; the default 5 is used"
0 event 0xc0000006 type 1 "svc" "The parameter JavaExe of service svc is stored with registry type 7, which it cannot have"
0 event 0xc0000006 type 1 "svc" "The parameter Classpath of service svc is longer than 32766 characters"
0 event 0xc0000006 type 1 "svc" "The parameter BootFile of service svc is longer than 2047 characters"
0 event 0xc0000006 type 1 "svc" "The parameter ShutdownTimeoutSeconds of service svc holds no number: "ten""
0 event 0x80000005 type 2 "svc" "LogFileGenerations "4294967295" is more than 1000; the default 5 is used"
0 event 0xc0000006 type 1 "gone" "The parameters of service gone are missing: HKLM\SYSTEM\CurrentControlSet\Services\gone\Parameters"
)");
    // Without a key, or without a name, everything is a default.
    fake_reset();
    LoadServiceConfig(nullptr, &c);
    EXPECT_EQ(std::to_string(c.StartTimeout) + " " + std::to_string(c.ShutdownTimeout) + " " + c.BootFile, "0 600 .\\container.ini");
    EXPECT_EQ(fake_open_handles(), 0);
}

TEST_F(Parsers, LaunchCommandAndItsMaskedCopy)
{
    ServiceConfig c = config_of({{"JavaExe", "j.exe"}, {"JavaArgs", "-Dlumora.mf.password=other -Xmx1g"},
                                 {"Classpath", "a.jar"}, {"BootClasspath", "b.jar"}, {"PBE", "p w"},
                                 {"OrvaneHome", "H"}, {"UtilDir", "U"}, {"BootFile", "B"},
                                 {"DirectoryServiceBootFile", "D"}});
    char line[COMMAND_LINE_SIZE], masked[2 * COMMAND_LINE_SIZE];
    ASSERT_TRUE(BuildLaunchCommand(line, sizeof line, &c));
    EXPECT_EQ(MaskLaunchCommand(line, c.PBE, masked, sizeof masked), 1);
    EXPECT_EQ(std::string(line) + "\n" + masked, "\"j.exe\" -Dlumora.mf.password=other -Xmx1g -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp \"a.jar\" \"-Xbootclasspath/p:b.jar\" \"-Dlumora.mf.password=p w\" -Dlumora.home=\"H\" -Dlumora.mf.winsvc.utilDir=\"U\" com.lumora.mf.framework.agent.ci.LaunchContainer \"B\" \"D\"\n"
        "\"j.exe\" -Dlumora.mf.password=******** -Xmx1g -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp \"a.jar\" \"-Xbootclasspath/p:b.jar\" \"-Dlumora.mf.password=********\" -Dlumora.home=\"H\" -Dlumora.mf.winsvc.utilDir=\"U\" com.lumora.mf.framework.agent.ci.LaunchContainer \"B\" \"D\"");
    // Quotes and trailing backslashes are escaped by the command line's rules.
    ServiceConfig q = config_of({{"JavaExe", "j"}, {"Classpath", "a\"b"}, {"OrvaneHome", "C:\\x\\"}, {"PBE", "p \\\"w\\"}});
    char quoted[COMMAND_LINE_SIZE];
    ASSERT_TRUE(BuildLaunchCommand(quoted, sizeof quoted, &q));
    EXPECT_EQ(MaskLaunchCommand(quoted, q.PBE, masked, sizeof masked), 1);
    EXPECT_EQ(std::string(quoted) + "\n" + masked, "\"j\"  -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp \"a\\\"b\" \"-Dlumora.mf.password=p \\\\\\\"w\\\\\" -Dlumora.home=\"C:\\x\\\\\" -Dlumora.mf.winsvc.utilDir=\"\" com.lumora.mf.framework.agent.ci.LaunchContainer \".\\container.ini\"\n"
        "\"j\"  -Dlumora.mf.signal=true -Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false -Dlumora.mf.allowRestart=true -cp \"a\\\"b\" \"-Dlumora.mf.password=********\" -Dlumora.home=\"C:\\x\\\\\" -Dlumora.mf.winsvc.utilDir=\"\" com.lumora.mf.framework.agent.ci.LaunchContainer \".\\container.ini\"");
    // The longest line that fits, and one character more.
    size_t length = strlen(line);
    EXPECT_EQ(BuildLaunchCommand(line, length + 1, &c), 1);
    EXPECT_EQ(BuildLaunchCommand(line, length, &c), 0);
    EXPECT_STREQ(line, "");
    std::string fits;
    for (size_t size : {34, 33, 23, 0}) fits += std::to_string(MaskLaunchCommand("x -Dlumora.mf.password=p w y", "p w", masked, size));
    EXPECT_EQ(fits, "1000");
}

TEST_F(Parsers, StartScript)
{
    struct Row {
        const char* bootFile;
        std::string script;
        std::string expected;
    } rows[] = {
        {"b.ini", "@echo off\ncd /d \"C:\\run\" x\nset PATH=p\ncmd\n", "1 [C:\\run] [set PATH=p\n"
            "] [cmd\n"
            "] "},
        {"C:\\abs\\b.ini", "1\n\"only one quote\n3\n4", "1 [only one quote\n"
            "] [3\n"
            "] [4] "},
        {"\\abs\\b.ini", "1\n2\n3\n4\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script \abs\b.ini.bat line 2 holds no quoted working directory"
)"},
        {"b.ini", "1\n\"d\"\n3\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script C:\wd\b.ini.bat has fewer than four lines"
)"},
        {"b.ini", "1\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script C:\wd\b.ini.bat has fewer than four lines"
)"},
        {"C:", "1\n\"d\"\n3\n4\n", "0 [x] [x] [x] 0 event 0xc0000003 type 1 \"svc\" \"Failed to open container start script (for phase 2)\"\n"},
        {"b.ini", std::string(5000, '1') + "\n\"d\"\n" + std::string(32765, 'p') + "\n" + std::string(32766, 'c'), "1 [d] [32766] [32766] "},
        {"b.ini", "1\n\"" + std::string(2045, 'd') + "\"\n3\n4\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script C:\wd\b.ini.bat line 2 is longer than 2046 characters"
)"},
        {"b.ini", "1\n\"d\"\n" + std::string(32766, 'p') + "\n4\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script C:\wd\b.ini.bat line 3 is longer than 32765 characters"
)"},
        {"b.ini", "1\n\"d\"\n3\n" + std::string(32766, 'c') + "\n", R"(0 [] [] [] 0 event 0xc0000003 type 1 "svc" "Container start script C:\wd\b.ini.bat line 4 is longer than 32765 characters"
)"},
    };
    for (const Row& row : rows) {
        fake_reset();
        put_parameter("BootFile", row.bootFile);
        put_parameter("WorkingDirectory", "C:\\wd");
        ServiceConfig config;
        LoadServiceConfig("svc", &config);
        std::string name = row.bootFile[1] == ':' || row.bootFile[0] == '\\' ? row.bootFile : std::string("C:\\wd\\") + row.bootFile;
        fake_write_file(name + ".bat", row.script);
        static char command[COMMAND_LINE_SIZE], path[PATH_LINE_SIZE], directory[PATH_TEXT_SIZE];
        strcpy(command, "x"), strcpy(path, "x"), strcpy(directory, "x");
        SCOPED_TRACE(std::to_string(&row - rows));
        int ok = ReadStartScript("svc", command, path, directory, &config);
        auto shown = [](const char* text) { return strlen(text) > 100 ? std::to_string(strlen(text)) : text; };
        EXPECT_EQ(std::to_string(ok) + " [" + shown(directory) + "] [" + shown(path) + "] [" + shown(command) + "] " +
                      fake_transcript(),
                  row.expected);
    }
}

// The log's names, newest first: each file's text, "[dir]" or "-".
std::string log_names()
{
    std::string seen, text;
    for (const char* suffix : {"", ".1", ".2", ".3", ".4", ".5"}) {
        std::string path = std::string("C:\\svc\\svc.out") + suffix;
        PlatFileInfo info;
        bool found = plat_path_info(path.c_str(), &info);
        seen += (seen.empty() ? "" : " ") + (!found ? "-" : info.kind != PLAT_ENTRY_FILE ? "[dir]" : (fake_read_file(path, &text), text));
    }
    return seen;
}

// A directory where a rotation would put a file: the shift stops below it
// with an error, and a directory at the log's own name leaves the run
// without a log.  (Held files, gaps and every other mix are the log model's.)
TEST_F(Parsers, ADirectoryInTheLogsWay)
{
    fake_write_file("C:\\svc\\svc.out", "O");
    fake_write_file("C:\\svc\\svc.out.1", "A");
    fake_make_dir("C:\\svc\\svc.out.2");
    SetLogFileRotation(10, 5);
    OpenLogFile("C:\\svc", "svc");
    log_raw("0123456789", 10);
    plat_sleep(60000);
    log_raw("y", 1);
    CloseLogFile();
    fake_make_dir("C:\\svc\\dir.out");
    OpenLogFile("C:\\svc", "dir");
    EXPECT_EQ(log_names() + "\n" + fake_transcript(),
              "O0123456789y A [dir] - - -\n"
              "0 event 0xc0000006 type 1 \"svc\" \"The log file C:\\svc\\svc.out cannot be rotated: C:\\svc\\svc.out.2 is a directory or device, not a file\"\n"
              "0 event 0x80000005 type 2 \"svc\" \"The log file C:\\svc\\svc.out could not be rotated; the service goes on writing to it\"\n"
              "60000 event 0xc0000006 type 1 \"dir\" \"The log file C:\\svc\\dir.out is a directory or device, not a file; the service runs without it\"\n");
}

// A full disk: a write that falls short, one that fails, then a line at the
// gap once writes get through, each said by an event; a new file that cannot
// be made is tried again 10 s later, while output arrives.  (What the file
// then holds, in every mix, is the log model's.)
TEST_F(Parsers, LogOnAFullDisk)
{
    SetLogFileRotation(60, 2);
    fake_set_disk_space(15);
    OpenLogFile("C:\\svc", "svc");
    log_raw("0123456789", 10);
    log_raw("abcdefghij", 10);
    log_raw(std::string(40, 'l').data(), 40);
    fake_set_disk_space(-1);
    log_always("line\n");
    EXPECT_EQ(log_text(), "0123456789abcde\r\nNT Service lost 45 bytes of output here - system text 112.\r\nline\r\n");
    fake_set_disk_space(0);
    log_raw(std::string(30, 'm').data(), 30);
    fake_set_disk_space(-1);
    plat_sleep(5000);
    log_raw("n", 1);
    plat_sleep(5000);
    log_raw("o\n", 2);
    EXPECT_EQ(fake_transcript(), R"(0 event 0x80000005 type 2 "svc" "The log file C:\svc\svc.out cannot be written; output is being lost - system text 112.\r\n"
0 event 0x80000005 type 2 "svc" "The log file C:\svc\svc.out is written again; 45 bytes of output were lost"
0 event 0x80000005 type 2 "svc" "The log file C:\svc\svc.out cannot be opened; the service runs without it - system text 112.\r\n"
10000 event 0x80000005 type 2 "svc" "The log file C:\svc\svc.out is written again; 31 bytes of output were lost"
)");
}

// The metrics file never takes a name of the log's (whatever its case or
// spelling), and its label is UTF-8 with the text format's escapes.
TEST_F(Parsers, MetricsFileNamesAndLabel)
{
    static MetricsFile file;
    std::string taken;
    std::string tooLong(5000, 'm');
    for (const char* name : {"svc.OUT.3.GZ", "C:\\svc\\.\\svc.out.", "svc.out.gz.tmp", "svc.out.0", "svc.out.01", "svc.out.1x",
                             tooLong.c_str()}) {
        MetricsFileOpen(&file, "svc", "C:\\svc", name);
        taken += file.path[0] != '\0' ? "1" : "0";
    }
    EXPECT_EQ(taken, "0001110");
    std::string t = fake_transcript();
    EXPECT_EQ(t.substr(0, t.find('\n')), "0 event 0x80000005 type 2 \"svc\" \"MetricsFile \"svc.OUT.3.GZ\" names the log file "
                                         "C:\\svc\\svc.out or one of its rotated files, and writing it would overwrite the "
                                         "service's log; the service runs without a metrics file\"");
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 4);
    MetricsFileOpen(&file, "Caf\xe9 \"\\", "C:\\svc", "m.prom");
    MetricsFigures figures = {};
    MetricsFileWrite(&file, &figures);
    std::string text;
    fake_read_file("C:\\svc\\m.prom", &text);
    EXPECT_NE(text.find("talvex_service_up{service=\"Caf\xc3\xa9 \\\"\\\\\"} 0\n"), std::string::npos) << text;
}

// A drain reads what the pipe holds, at most one byte less than its buffer.
TEST_F(Parsers, DrainTakesWhatThePipeHolds)
{
    PlatOutputPipe* readEnd;
    PlatHandle writeEnd;
    uint32_t written;
    ASSERT_TRUE(plat_output_pipe_create(&readEnd, &writeEnd, 0, 0) && plat_write_file(writeEnd, "abc", 3, &written));
    char buffer[4] = "xyz";
    std::string seen;
    for (size_t size : {0, 1, 2, 4, 4}) seen += std::to_string(DrainPipe(readEnd, buffer, size, 0)) + buffer + " ";
    EXPECT_EQ(seen, "0xyz 0 1a 2bc 0 ");
}

TEST_F(Parsers, PathsAndErrorTexts)
{
    fake_write_file("C:\\base\\file", "");
    std::string seen;
    for (const char* path : {"file", "C:\\base\\file", "\\base\\file", "C:\\base\\none"})
        seen += std::to_string(PathExists(path, "C:\\base")) + std::to_string(PathExists(path, nullptr));
    plat_set_last_error(0);
    for (size_t length : {2039, 2040}) {
        seen += std::to_string(PathExists(std::string(length, 'f').c_str(), "C:\\base"));
        seen += " " + std::to_string(plat_get_last_error());
    }
    EXPECT_EQ(seen, "101111000 20 206");
    char text[ERROR_TEXT_SIZE];
    seen = "";
    for (uint32_t code : {2u, 0x12345u, 200u}) {
        plat_set_last_error(code);
        FormatLastError(text, code == 200 ? 31 : sizeof text);
        seen += std::string("[") + text + "]";
    }
    plat_set_last_error(200);
    FormatLastError(text, 32);
    EXPECT_EQ(seen + text, "[system text 2. (0x2)][][]system text 200. (0xc8)");
}

// The log file: where it opens, the previous run kept, the platform's line
// ends for the wrapper's own lines and child bytes as they came.
TEST_F(Parsers, LogFile)
{
    fake_write_file("C:\\svc\\svc.out", "previous");
    OpenLogFile("C:\\svc", "svc");
    PlatHandle first = LogFile;
    OpenLogFile("C:\\other", "svc");
    EXPECT_EQ(LogFile, first);
    log_always("a\nb\r\n%s", std::string(9000, 'l').c_str());
    log_raw("c\nd\0e", 5);
    log_debug("hidden\n");
    DebugEnabled = 1;
    log_debug("%s\n", std::string(9000, '\n').c_str());
    std::string log, previous;
    fake_read_file("C:\\svc\\svc.out.1", &previous);
    EXPECT_EQ(previous, "previous");
    fake_read_file("C:\\svc\\svc.out", &log);
    EXPECT_EQ(log.size(), 6 + 9000 + 5 + 2 * 9001u);
    EXPECT_EQ(log.substr(0, 8) + "|" + log.substr(9004, 12), std::string("a\r\nb\r\nll|llc\nd\0e\r\n\r\n\r", 21));
    fake_reset();
    fake_fail("MoveFileExA", 5);
    fake_write_file("C:\\svc\\svc.out", "previous");
    OpenLogFile("C:\\svc", "svc");
    EXPECT_NE(LogFile, nullptr);
    fake_reset();
    OpenLogFile(std::string(2400, 'd').c_str(), "svc");
    OpenLogFile("C:\\svc", nullptr);
    EXPECT_EQ(LogFile, nullptr);
    OpenLogFile("C:\\missing", "svc");
    EXPECT_EQ(fake_transcript(), R"(0 event 0x80000005 type 2 "svc" "The log file C:\missing\svc.out cannot be opened; the service runs without it - system text 3.\r\n"
)");
}

// The message file's texts, as the Event Viewer finds them for our ids: each
// id the service raises has a text there and no other, and each event
// carries as many insertion strings as its text uses.
TEST_F(Parsers, EventIdsAgreeWithTheMessageFile)
{
    std::ifstream file(TALVEX_SOURCE_DIR "/res/talvex_msg.mc");
    std::string line, expected;
    std::set<uint32_t> ids;
    uint32_t id = 0, severity = 0, strings = 0;
    const std::map<std::string, uint32_t> severities = {{"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    while (std::getline(file, line)) {
        if (line.rfind("MessageId=", 0) == 0) id = (uint32_t)std::stoul(line.substr(10), nullptr, 0), strings = 0;
        if (line.rfind("Severity=", 0) == 0) severity = severities.at(line.substr(9));
        for (size_t at = line.find('%'); at != std::string::npos; at = line.find('%', at + 1))
            strings = std::max<uint32_t>(strings, (uint32_t)(line[at + 1] - '0'));
        if (line != ".") continue;
        char event[64];
        const int types[] = {0, 4, 2, 1};   // ReportEventA's information, warning and error
        snprintf(event, sizeof event, "0 event 0x%08x type %d \"src\"", severity << 30 | id, types[severity]);
        expected += event + std::string(strings == 2 ? " \"text\"\n" : "\n");
        LogServiceEvent("src", "text", severity << 30 | id);
        ids.insert(severity << 30 | id);
    }
    EXPECT_EQ(fake_transcript(), expected);
    EXPECT_EQ(std::set<uint32_t>(EVENT_IDS, EVENT_IDS + EVENT_ID_COUNT), ids);
}

TEST_F(Parsers, EventsAndEventSources)
{
    for (uint32_t id : {0x00000009u, 0x40000009u, 0x80000009u, 0xC0000009u}) LogServiceEvent("src", "text", id);
    LogServiceEvent(nullptr, "text", EVENT_ERROR);
    LogServiceEvent("src", nullptr, EVENT_ERROR);
    fake_fail("RegisterEventSourceA", 5);
    LogServiceEvent("src", "lost", EVENT_ERROR);
    EXPECT_EQ(AddEventSource(""), 0);
    EXPECT_EQ(RemoveEventSource(""), 0);
    EXPECT_EQ(fake_transcript() + fake_console(), "0 event 0x00000009 type 4 \"src\"\n"
        "0 event 0x40000009 type 4 \"src\"\n"
        "0 event 0x80000009 type 2 \"src\" \"text\"\n"
        "0 event 0xc0000009 type 1 \"src\" \"text\"\n"
        "0 event 0xc0000006 type 1 \"src\" \"\"\n"
        "Error registering event source due to: system text 87.\r\n"
        "Error deleting event source due to: system text 87.\r\n");
}

}  // namespace
