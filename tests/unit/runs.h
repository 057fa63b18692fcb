// What the tests of whole runs share: a service "svc" with its parameters
// and the start script its launcher would write, and the ways to run the
// process as the service manager, an administrator or the -test command do.
#ifndef TALVEX_TESTS_UNIT_RUNS_H
#define TALVEX_TESTS_UNIT_RUNS_H

#include <algorithm>
#include <string>
#include <vector>

#include "common/platform.h"
#include "diag/log_file.h"
#include "fake/fake.h"
#include "front/entry.h"

const char PARAMETERS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";

// The container's answer to the service's "shutdown": text, and its end `ms` later.
inline FakeStep answers_shutdown_with(const std::string& text, uint64_t ms = 50)
{
    return answers_line("shutdown", text, ms);
}

// A launcher that announces exit code 0 and ends, and a container that
// signals its start and answers "shutdown" with exit code 0.
const FakeScript LAUNCHER = {writes(100, "launched\n\a0\a"), ends_with(110, 0)};
const FakeScript CONTAINER = {writes(200, "up\n\b"), answers_shutdown_with("bye\n\a0\a"),
                              answers_break_with("Full thread dump\n")};

inline void put_parameter(const std::string& name, const std::string& text)
{
    fake_reg_put(PARAMETERS_KEY, name, PLAT_REG_SZ, text);
}

// The parameters an install would write, and the start script in C:\svc.
inline void set_up_service()
{
    put_parameter("WorkingDirectory", "C:\\svc");
    put_parameter("JavaExe", "C:\\jre\\bin\\java.exe");
    put_parameter("Classpath", "a.jar;b.jar");
    put_parameter("OrvaneHome", "C:\\orvane");
    put_parameter("BootFile", "container.ini");
    put_parameter("UtilDir", "C:\\talvex");
    put_parameter("ShutdownTimeoutSeconds", "600");
    fake_make_dir("C:\\svc\\run");
    fake_write_file("C:\\svc\\container.ini.bat", "@echo off\r\ncd /d \"C:\\svc\\run\"\r\nset PATH=C:\\jre\\bin;%PATH%\r\n"
                                                "\"C:\\jre\\bin\\java.exe\" -cp c.jar Container\r\n");
}

// `wide`: the command line in its wide form, when it is not `words`.
inline int run_talvex(std::vector<std::string> words, const std::vector<std::string>& wide = {})
{
    fake_set_wide_command_line(wide.empty() ? words : wide);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return talvex_main((int)words.size(), argv.data());
}

// The process as the service manager starts it: no argument, argv[0] the
// registered path; the dispatcher then runs ServiceMain for "svc".  Returns
// the transcript without its times (what happened, in order); the tests
// whose subject is time read it with them.
inline std::string run_as_service(const std::vector<FakeScript>& children, bool timed = false)
{
    fake_children(children);
    fake_start_as_service("svc");
    run_talvex({"C:\\talvex\\talvex.exe"});
    return fake_transcript(timed);
}

// The exit script in the working directory; the cmd that runs it ends at once.
inline void write_exit_script()
{
    fake_write_file("C:\\svc\\exit.bat", "@echo done\r\n");
    fake_child_for("exit.bat", {ends_with(0, 0)});
}

// Open handles (fake_open_handles) but the log file's, which stays open
// for the life of the process.
inline int open_handles(bool pipes = false)
{
    return fake_open_handles(pipes) - (LogFile != nullptr);
}

inline std::string log_text()
{
    std::string text;
    fake_read_file("C:\\svc\\svc.out", &text);
    return text;
}

// The lines of a transcript that contain any of the words.
inline std::string lines_with(const std::string& text, const std::vector<std::string>& words)
{
    std::string out;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        for (const std::string& word : words)
            if (line.find(word) != std::string::npos) {
                out += line + "\n";
                break;
            }
    }
    return out;
}

inline size_t occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

#endif
