// The child plumbing against the real system: pipes between talvex's own
// operations and the stand-in JVM (tests/fakejava, built as
// bin/fakejava/java.exe beside this test program), the temporary PATH, the
// shutdown command and the exit script.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "common/platform.h"
#include "diag/log_file.h"
#include "service/child_process.h"

namespace {

enum : DWORD {
    CHILD_WAIT_MS = 30000,   // generous: Wine starts processes slowly on a busy machine
    CALL_LIMIT_MS = 10000,   // a call that should return at once, given far more
};

const char LAUNCHER_CLASS[] = "com.lumora.mf.framework.agent.ci.LaunchContainer";
const char CONTAINER_CLASS[] = "talvex.fakejava.Container";

std::string OwnDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string p(path, n);
    return p.substr(0, p.rfind('\\'));
}

// The stand-in JVM: bin\fakejava\java.exe next to this program, or java.exe
// right beside it.
std::string FakeJava()
{
    std::string dir = OwnDirectory();
    for (const std::string& candidate : {dir + "\\fakejava\\java.exe", dir + "\\java.exe"})
        if (GetFileAttributesA(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) return candidate;
    return "";
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('\\')); }

std::string GetPath()
{
    std::vector<char> buf(32768);
    DWORD n = GetEnvironmentVariableA("PATH", buf.data(), (DWORD)buf.size());
    return std::string(buf.data(), n < buf.size() ? n : 0);
}

void WriteFileText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string ReadFileText(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Polls until `ready` holds or the limit runs out.
bool WaitFor(const std::function<bool()>& ready, DWORD limitMs)
{
    DWORD start = GetTickCount();
    while (!ready()) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(20);
    }
    return true;
}

std::string Lower(std::string s)
{
    for (auto& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

std::string TrimLineEnds(std::string s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Runs fn on a thread of its own and reports whether it returned within the
// limit, so a call that blocks fails the test instead of hanging it.
struct Call {
    std::function<void()> fn;
};

DWORD WINAPI RunCall(LPVOID p)
{
    static_cast<Call*>(p)->fn();
    return 0;
}

bool ReturnsWithin(std::function<void()> fn, DWORD limitMs, const std::function<void()>& unblock = nullptr)
{
    Call* call = new Call{std::move(fn)};
    HANDLE thread = CreateThread(NULL, 0, RunCall, call, 0, NULL);
    if (thread == NULL) {
        delete call;
        return false;
    }
    bool returned = WaitForSingleObject(thread, limitMs) == WAIT_OBJECT_0;
    // A call that did not return in time still fails the test; unblocking it
    // only lets it end instead of leaving a child waiting for ever.
    if (!returned && unblock) {
        unblock();
        WaitForSingleObject(thread, CHILD_WAIT_MS);
    }
    if (WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) delete call;   // else the thread still owns it
    CloseHandle(thread);
    return returned;
}

class Plumbing : public ::testing::Test {
protected:
    void SetUp() override
    {
        java = FakeJava();
        ASSERT_FALSE(java.empty()) << "fakejava (bin\\fakejava\\java.exe) was not built next to " << OwnDirectory();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        static int counter = 0;
        dir = std::string(temp) + "talvex-plumbing-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++counter);
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), NULL)) << dir;
        boot = dir + "\\container.ini";

        DebugEnabled = 0;
        LogFile = tmpfile();
        ASSERT_NE(nullptr, LogFile);
        ASSERT_EQ(1, initPipe(&outKept, &outChild));
        ASSERT_EQ(1, initPipe(&errKept, &errChild));
        ASSERT_EQ(1, initInputPipe(&inChild, &inKept));
    }

    void TearDown() override
    {
        for (PlatProcessInfo& pi : started) {
            if (WaitForSingleObject((HANDLE)pi.process, 0) != WAIT_OBJECT_0) TerminateProcess((HANDLE)pi.process, 9);
            WaitForSingleObject((HANDLE)pi.process, CHILD_WAIT_MS);
            CloseHandle((HANDLE)pi.process);
            CloseHandle((HANDLE)pi.thread);
        }
        for (PlatHandle h : {outKept, outChild, errKept, errChild, inChild, inKept})
            if (h != nullptr && h != PLAT_INVALID_HANDLE) plat_close_handle(h);
        if (LogFile) fclose(LogFile);
        LogFile = nullptr;
        // Best effort: the files the tests and the children made.
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name != "." && name != "..") DeleteFileA((dir + "\\" + name).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(dir.c_str());
    }

    // Starts a child on the three pipes the way the supervisor does.
    int Start(const std::string& commandLine, const char* directory, const char* pathLine, PlatProcessInfo* pi)
    {
        std::vector<char> line(COMMAND_LINE_SIZE, '\0');
        snprintf(line.data(), line.size(), "%s", commandLine.c_str());
        PlatStartupInfo si;
        memset(&si, 0, sizeof si);
        memset(pi, 0, sizeof *pi);
        si.title = line.data();
        si.flags = CHILD_STARTF_USESTDHANDLES | CHILD_STARTF_FORCEONFEEDBACK;
        si.std_input = inChild;
        si.std_output = outChild;
        si.std_error = errChild;
        int ok = StartProcess(line.data(), directory, pi, &si, 1, pathLine);
        if (ok) started.push_back(*pi);
        return ok;
    }

    // The container's command line as the launcher writes it into line 4 of
    // the start script, line end included.
    std::string ContainerLine(const std::string& program) const
    {
        return "\"" + program + "\" -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true " + CONTAINER_CLASS +
               " \"" + boot + "\"\n";
    }

    // Drains a pipe with DrainPipe, as the supervisor's poll does, until the
    // text gathered so far satisfies `done` or the limit runs out.
    std::string Collect(PlatHandle pipe, const std::function<bool(const std::string&)>& done,
                        DWORD limitMs = CHILD_WAIT_MS)
    {
        std::vector<char> chunk(READ_CHUNK_SIZE);
        DWORD start = GetTickCount();
        for (;;) {
            size_t n;
            while ((n = DrainPipe(pipe, chunk.data(), READ_CHUNK_SIZE, 1)) > 0) {
                EXPECT_LE(n, (size_t)READ_CHUNK_SIZE - 1);
                gathered += n;
                collected.append(chunk.data(), n);
            }
            if (done(collected) || GetTickCount() - start > limitMs) return collected;
            Sleep(10);
        }
    }

    std::string LogText()
    {
        fflush(LogFile);
        long end = ftell(LogFile);
        std::string text((size_t)end, '\0');
        rewind(LogFile);
        size_t got = fread(&text[0], 1, (size_t)end, LogFile);
        text.resize(got);
        fseek(LogFile, 0, SEEK_END);
        return text;
    }

    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    std::string java, dir, boot;
    PlatHandle outKept = nullptr, outChild = nullptr, errKept = nullptr, errChild = nullptr;
    PlatHandle inChild = nullptr, inKept = nullptr;
    std::vector<PlatProcessInfo> started;
    std::string collected;
    size_t gathered = 0;
};

// --- draining ------------------------------------------------------------------------

TEST_F(Plumbing, OutputLargerThanThePipeIsDrainedInChunksAndCopiedToTheLog)
{
    // Far more than a pipe holds, so the child blocks until we drain.
    const unsigned long volume = 300000;
    WriteFileText(boot, "container.output_bytes=" + std::to_string(volume) + "\ncontainer.output_write_size=8192\n");
    PlatProcessInfo pi;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &pi)) << GetLastError();

    std::string out = Collect(outKept, [&](const std::string& text) {
        size_t bs = text.find('\b');
        return bs != std::string::npos && text.size() - bs - 1 >= volume;
    });
    size_t bs = out.find('\b');
    ASSERT_NE(std::string::npos, bs);
    EXPECT_EQ(volume, out.size() - bs - 1);
    EXPECT_TRUE(Has(out, "container: up (run 1"));
    // Every byte read went to the log as it was.
    EXPECT_EQ(out, LogText());
}

// Standard error arrives on its own pipe; a live, silent child's empty pipe is
// drained without blocking; "shutdown" is answered with the exit marker.
TEST_F(Plumbing, EachStreamHasItsPipeAnEmptyOneIsNotWaitedOnAndShutdownIsAnswered)
{
    WriteFileText(boot, "name=stoppable\n"
                        "container.stderr=problem on stderr\\r\\n\n"
                        "container.stdout=fine on stdout\\r\\n\n");
    PlatProcessInfo pi;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &pi));
    std::string out = Collect(outKept, [](const std::string& text) { return Has(text, "\b"); });
    EXPECT_TRUE(Has(out, "fine on stdout\r\n"));
    EXPECT_FALSE(Has(out, "problem"));
    collected.clear();
    EXPECT_EQ("problem on stderr\r\n", Collect(errKept, [](const std::string& text) { return Has(text, "\r\n"); }));
    ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject((HANDLE)pi.process, 0)) << "the container must still run";

    // The child is alive and silent, and holds the write ends open: a read
    // would wait for ever, so DrainPipe must not read.
    size_t result = 99;
    PlatHandle err = errKept;
    EXPECT_TRUE(ReturnsWithin(
        [&result, err] {
            char chunk[READ_CHUNK_SIZE];
            result = DrainPipe(err, chunk, sizeof chunk, 1);
        },
        CALL_LIMIT_MS));
    EXPECT_EQ(0u, result);

    collected.clear();
    SendShutdownCommand(inKept);
    out = Collect(outKept, [](const std::string& text) { return Has(text, "\a0\a"); });
    EXPECT_TRUE(Has(out, "stoppable container: shutdown requested\r\n"));
    EXPECT_TRUE(Has(out, "\a0\a"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject((HANDLE)pi.process, CHILD_WAIT_MS));
    DWORD code = 99;
    GetExitCodeProcess((HANDLE)pi.process, &code);
    EXPECT_EQ(0u, code);
}

// --- the temporary PATH ------------------------------------------------------------------

// The PATH line is in force while the system looks for the program and in the
// child's environment, and the wrapper's own PATH is back after every start,
// also after a failed one, whose reason reaches the caller.
TEST_F(Plumbing, ThePathLineHoldsForTheStartOnly)
{
    WriteFileText(boot, "name=found\ncontainer.print_env=PATH\n");
    std::string before = GetPath();
    std::string pathLine = "set PATH=" + DirectoryOf(java) + ";%PATH%\n";
    PlatProcessInfo pi;
    // Named without a directory, java.exe is found only through the
    // temporary PATH.
    ASSERT_NE(0, Start(ContainerLine("java.exe"), dir.c_str(), pathLine.c_str(), &pi)) << GetLastError();
    EXPECT_EQ(before, GetPath());
    std::string out = Collect(outKept, [](const std::string& text) { return Has(text, "\b"); });
    EXPECT_TRUE(Has(out, "found container: PATH=" + DirectoryOf(java) + ";" + before + "\r\n")) << out;
    EXPECT_TRUE(Has(out, "found container: up"));

    PlatProcessInfo second;
    EXPECT_EQ(0, Start(ContainerLine("java.exe"), dir.c_str(), nullptr, &second));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(before, GetPath());

    EXPECT_EQ(0, Start("\"" + dir + "\\no-such-program.exe\" x", dir.c_str(), "PATH=C:\\elsewhere;%PATH%\n", &second));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(before, GetPath());
}

// --- the shutdown command and the input flusher ----------------------------------------------

TEST_F(Plumbing, FlusherNewlinesReachTheContainerAndTheFlusherEndsWhenWoken)
{
    WriteFileText(boot, "name=flushed\ncontainer.report_empty_lines=1\n");
    PlatProcessInfo pi;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &pi));
    Collect(outKept, [](const std::string& text) { return Has(text, "\b"); });

    FlusherBlock* block = (FlusherBlock*)plat_heap_alloc(sizeof(FlusherBlock));
    ASSERT_NE(nullptr, block);
    block->input = inKept;
    block->log = LogFile;
    block->wake = plat_create_event();
    PlatHandle thread = plat_create_thread(InputFlusherThread, block);
    ASSERT_NE(nullptr, thread);
    std::string out =
        Collect(outKept, [](const std::string& text) { return Has(text, "flushed container: empty line"); });
    EXPECT_TRUE(Has(out, "flushed container: empty line\r\n"));

    // A shutdown written between the newlines is still understood.
    SendShutdownCommand(inKept);
    out = Collect(outKept, [](const std::string& text) { return Has(text, "\a0\a"); });
    EXPECT_TRUE(Has(out, "\a0\a"));
    EXPECT_FALSE(Has(out, "unknown command"));

    block->stop = 1;
    plat_set_event(block->wake);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(thread, 10000));
    std::string log = LogText();
    EXPECT_TRUE(Has(log, "NT Service starting input flusher thread\r\n"));
    EXPECT_TRUE(Has(log, "NT Service exiting input flusher thread\r\n"));
    plat_close_handle(thread);
    plat_close_handle(block->wake);
    plat_heap_free(block);
}

// --- the stand-in JVM's roles ------------------------------------------------------------------

TEST_F(Plumbing, LauncherWritesTheStartScriptAndEndsWithItsMarker)
{
    WriteFileText(boot, "name=launching\n");
    PlatProcessInfo pi;
    std::string line = "\"" + java + "\" -Xmx64m -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true -cp \"x.jar\" " +
                       LAUNCHER_CLASS + " \"container.ini\"";
    ASSERT_NE(0, Start(line, dir.c_str(), nullptr, &pi));
    std::string out = Collect(outKept, [](const std::string& text) { return Has(text, "\a0\a"); });
    EXPECT_TRUE(Has(out, "\a0\a"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject((HANDLE)pi.process, CHILD_WAIT_MS));

    std::string script = ReadFileText(boot + ".bat");
    std::string expected = "@echo off\r\n"
                           "cd /d \"" + dir + "\"\r\n"
                           "set PATH=" + DirectoryOf(java) + ";%PATH%\r\n" +
                           "\"" + java + "\" -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true " +
                           CONTAINER_CLASS + " \"" + boot + "\"\r\n";
    EXPECT_EQ(Lower(expected), Lower(script));
}

TEST_F(Plumbing, ContainerAsksForARestartOnItsFirstRunOnly)
{
    WriteFileText(boot, "container.restarts=1\n");
    PlatProcessInfo first;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &first));
    std::string out = Collect(outKept, [](const std::string& text) { return Has(text, "\a14\a"); });
    EXPECT_TRUE(Has(out, "\b"));
    EXPECT_TRUE(Has(out, "\a14\a"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject((HANDLE)first.process, CHILD_WAIT_MS));

    collected.clear();
    PlatProcessInfo second;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &second));
    out = Collect(outKept, [](const std::string& text) { return Has(text, "(run 2"); });
    ASSERT_TRUE(Has(out, "(run 2"));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject((HANDLE)second.process, 300));
    SendShutdownCommand(inKept);
    out = Collect(outKept, [](const std::string& text) { return Has(text, "\a0\a"); });
    EXPECT_TRUE(Has(out, "\a0\a"));
}

TEST_F(Plumbing, CrashingContainerEndsWithoutAMarker)
{
    WriteFileText(boot, "container.crash_after_ms=0\n");
    PlatProcessInfo pi;
    ASSERT_NE(0, Start(ContainerLine(java), dir.c_str(), nullptr, &pi));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject((HANDLE)pi.process, CHILD_WAIT_MS));
    std::string out = Collect(outKept, [](const std::string& text) { return Has(text, "simulated crash"); });
    EXPECT_TRUE(Has(out, "simulated crash"));
    EXPECT_FALSE(Has(out, "\a"));
    DWORD code = 0;
    GetExitCodeProcess((HANDLE)pi.process, &code);
    EXPECT_EQ(1u, code);
}

// --- the exit script ---------------------------------------------------------------------

TEST_F(Plumbing, ExitScriptRunsInTheWorkingDirectoryAndIsNotWaitedFor)
{
    // The script records its directory, then waits for go.txt, which the
    // test writes only after RunExitScript returned.
    WriteFileText(dir + "\\exit.bat",
                  "@echo off\r\n"
                  "cd > cwd.txt\r\n"
                  ":wait\r\n"
                  "if not exist go.txt goto wait\r\n"
                  "echo done> done.txt\r\n");
    std::string go = dir + "\\go.txt";
    std::string workingDirectory = dir;
    bool returned = ReturnsWithin([workingDirectory] { RunExitScript("plumbing", workingDirectory.c_str()); },
                                  CALL_LIMIT_MS, [go] { WriteFileText(go, "go\r\n"); });
    ASSERT_TRUE(returned) << "RunExitScript waited for the script";
    EXPECT_FALSE(Exists(dir + "\\done.txt"));

    ASSERT_TRUE(WaitFor([&] { return !TrimLineEnds(ReadFileText(dir + "\\cwd.txt")).empty(); }, CHILD_WAIT_MS))
        << "exit.bat did not run";
    EXPECT_EQ(Lower(dir), Lower(TrimLineEnds(ReadFileText(dir + "\\cwd.txt"))));

    WriteFileText(go, "go\r\n");
    EXPECT_TRUE(WaitFor([&] { return Exists(dir + "\\done.txt"); }, CHILD_WAIT_MS)) << "exit.bat did not finish";
    // Let cmd let go of the directory before it is removed.
    WaitFor([&] { return DeleteFileA((dir + "\\done.txt").c_str()) != 0; }, 2000);
}

}  // namespace
