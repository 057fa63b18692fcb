// Pipes, child processes, waits, threads and events against the real system.
// The children are run by the system's command interpreter, so the tests
// need no helper program of their own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/platform.h"

namespace {

enum {
    CHILD_WAIT_MS = 20000,
    CREATE_NEW_PROCESS_GROUP_FLAG = 0x200,
    NORMAL_PRIORITY_CLASS_FLAG = 0x20,
    STARTF_USESHOWWINDOW_FLAG = 0x1,
    STARTF_USESTDHANDLES_FLAG = 0x100,
    STARTF_FORCEONFEEDBACK_FLAG = 0x40,
    STILL_ACTIVE_CODE = 259,
};

int IsInheritable(PlatHandle h)
{
    DWORD flags = 0;
    if (!GetHandleInformation((HANDLE)h, &flags)) return -1;
    return (flags & HANDLE_FLAG_INHERIT) ? 1 : 0;
}

// Reads everything from a pipe until the writers are gone.
std::string ReadToEnd(PlatHandle pipe)
{
    std::string out;
    char buf[512];
    uint32_t got = 0;
    while (plat_read_file(pipe, buf, sizeof buf, &got) && got > 0) out.append(buf, got);
    return out;
}

// ---------------------------------------------------------------------------
// Pipes
// ---------------------------------------------------------------------------

struct Pipe {
    PlatHandle r = nullptr, w = nullptr;
    Pipe() { EXPECT_EQ(1, plat_create_pipe(&r, &w, 0)); }
    ~Pipe()
    {
        if (r) plat_close_handle(r);
        if (w) plat_close_handle(w);
    }
};

std::string Read(PlatHandle pipe, uint32_t size)
{
    char buf[64];
    uint32_t got = 0;
    if (!plat_read_file(pipe, buf, size, &got)) return "<failed>";
    return std::string(buf, got);
}

TEST(PipeTest, NewEndsAreInheritableAndAPrivateDuplicateIsNotButReachesTheSamePipe)
{
    Pipe p;
    EXPECT_EQ(1, IsInheritable(p.r));
    EXPECT_EQ(1, IsInheritable(p.w));
    PlatHandle mine = nullptr;
    ASSERT_EQ(1, plat_duplicate_private(p.w, &mine));
    EXPECT_NE(p.w, mine);
    EXPECT_EQ(0, IsInheritable(mine));
    EXPECT_EQ(1, plat_close_handle(p.w));
    p.w = nullptr;
    uint32_t written = 0;
    ASSERT_EQ(1, plat_write_file(mine, "abc", 3, &written));
    EXPECT_EQ(3u, written);
    EXPECT_EQ("abc", Read(p.r, 8));
    plat_close_handle(mine);
}

// The supervisor polls with a peek before every read so that it never
// blocks; a peek that waited for data would hang this test.
TEST(PipeTest, PeekCountsWaitingBytesWithoutTakingThemAndNeverWaits)
{
    Pipe p;
    uint32_t available = 12345;
    ASSERT_EQ(1, plat_peek_pipe(p.r, &available));
    EXPECT_EQ(0u, available);
    uint32_t written = 0;
    ASSERT_EQ(1, plat_write_file(p.w, "hello", 5, &written));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(1, plat_peek_pipe(p.r, &available));
        EXPECT_EQ(5u, available);
    }
    EXPECT_EQ("he", Read(p.r, 2));
    ASSERT_EQ(1, plat_peek_pipe(p.r, &available));
    EXPECT_EQ(3u, available);
}

TEST(PipeTest, ReadingAfterTheLastWriterClosedIsBrokenPipeAndASecondCloseFails)
{
    Pipe p;
    uint32_t written = 0;
    ASSERT_EQ(1, plat_write_file(p.w, "x", 1, &written));
    EXPECT_EQ(1, plat_close_handle(p.w));
    p.w = nullptr;
    EXPECT_EQ("x", Read(p.r, 4));
    EXPECT_EQ("<failed>", Read(p.r, 4));
    EXPECT_EQ((uint32_t)PLAT_ERROR_BROKEN_PIPE, plat_get_last_error());
    EXPECT_EQ(1, plat_close_handle(p.r));
    EXPECT_EQ(0, plat_close_handle(p.r));
    EXPECT_EQ((uint32_t)PLAT_ERROR_INVALID_HANDLE, plat_get_last_error());
    p.r = nullptr;
}

TEST(PipeTest, StandardHandlesMapToTheirOwnAndCanBeReplacedAndRestored)
{
    EXPECT_EQ((PlatHandle)GetStdHandle(STD_OUTPUT_HANDLE), plat_get_std_handle(PLAT_STD_OUTPUT));
    EXPECT_EQ((PlatHandle)GetStdHandle(STD_ERROR_HANDLE), plat_get_std_handle(PLAT_STD_ERROR));
    EXPECT_EQ(PLAT_INVALID_HANDLE, plat_get_std_handle(7));
    EXPECT_EQ((uint32_t)PLAT_ERROR_INVALID_PARAMETER, plat_get_last_error());

    PlatHandle saved = plat_get_std_handle(PLAT_STD_INPUT);
    Pipe p;
    ASSERT_EQ(1, plat_set_std_handle(PLAT_STD_INPUT, p.r));
    EXPECT_EQ(p.r, plat_get_std_handle(PLAT_STD_INPUT));
    EXPECT_EQ((PlatHandle)GetStdHandle(STD_INPUT_HANDLE), p.r);
    ASSERT_EQ(1, plat_set_std_handle(PLAT_STD_INPUT, saved));
    EXPECT_EQ(saved, plat_get_std_handle(PLAT_STD_INPUT));
}

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------

// A child with its three standard handles on pipes, the way the supervisor
// starts the launcher and the container: the parent keeps private copies of
// its ends and closes the inheritable originals, so that it sees end-of-file
// once the child is gone.
struct Child {
    PlatProcessInfo info;
    PlatHandle input;    // parent's write end of the child's standard input
    PlatHandle output;   // parent's read end of the child's output and error
};

int StartChild(const char* command, const char* directory, Child* child)
{
    PlatHandle in_r = nullptr, in_w = nullptr, out_r = nullptr, out_w = nullptr;
    if (!plat_create_pipe(&in_r, &in_w, 0) || !plat_create_pipe(&out_r, &out_w, 0)) return 0;
    if (!plat_duplicate_private(in_w, &child->input) || !plat_duplicate_private(out_r, &child->output))
        return 0;
    plat_close_handle(in_w);
    plat_close_handle(out_r);

    char line[1024];
    strncpy(line, command, sizeof line - 1);
    line[sizeof line - 1] = '\0';
    PlatStartupInfo si;
    memset(&si, 0, sizeof si);
    si.title = line;
    si.flags = STARTF_USESTDHANDLES_FLAG | STARTF_FORCEONFEEDBACK_FLAG | STARTF_USESHOWWINDOW_FLAG;
    si.show_window = SW_HIDE;
    si.std_input = in_r;
    si.std_output = out_w;
    si.std_error = out_w;
    int ok = plat_create_process(line, directory, 1,
                                 CREATE_NEW_PROCESS_GROUP_FLAG | NORMAL_PRIORITY_CLASS_FLAG, &si,
                                 &child->info);
    uint32_t reason = plat_get_last_error();
    plat_close_handle(in_r);
    plat_close_handle(out_w);
    plat_set_last_error(reason);
    return ok;
}

void EndChild(Child* child)
{
    plat_close_handle(child->input);
    plat_close_handle(child->output);
    plat_close_handle(child->info.thread);
    plat_close_handle(child->info.process);
}

// The handles and ids of the new process, its output through the redirected
// handles, its directory, the environment as it is now, and its exit code.
TEST(ProcessTest, ChildRunsWhereToldWithTheEnvironmentAndItsOutputArrives)
{
    char windows_dir[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows_dir, sizeof windows_dir), 0u);
    ASSERT_EQ(1, plat_set_env("TALVEX_CHILD_VALUE", "from-parent"));
    const struct {
        const char* command;
        const char* directory;
        std::string output;
        uint32_t exitCode;
    } rows[] = {
        {"cmd /c echo hello", nullptr, "hello\r\n", 0},
        {"cmd /c cd", windows_dir, std::string(windows_dir) + "\r\n", 0},
        {"cmd /c echo %TALVEX_CHILD_VALUE%", nullptr, "from-parent\r\n", 0},
        {"cmd /c exit 14", nullptr, "", 14},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        Child child;
        ASSERT_EQ(1, StartChild(row.command, row.directory, &child));
        EXPECT_NE(nullptr, child.info.process);
        EXPECT_NE(nullptr, child.info.thread);
        EXPECT_NE(0u, child.info.process_id);
        EXPECT_NE(0u, child.info.thread_id);
        EXPECT_EQ(row.output, ReadToEnd(child.output));
        EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(child.info.process, CHILD_WAIT_MS));
        uint32_t code = 99;
        ASSERT_EQ(1, plat_process_exit_code(child.info.process, &code));
        EXPECT_EQ(row.exitCode, code);
        EndChild(&child);
    }
    plat_set_env("TALVEX_CHILD_VALUE", nullptr);
}

TEST(ProcessTest, ChildReadsWhatIsWrittenToItsInput)
{
    Child child;
    ASSERT_EQ(1, StartChild("cmd /c set /p LINE= & echo got %LINE%", nullptr, &child));
    uint32_t written = 0;
    ASSERT_EQ(1, plat_write_file(child.input, "shutdown\r\n", 10, &written));
    EXPECT_EQ(10u, written);
    std::string out = ReadToEnd(child.output);
    EXPECT_NE(std::string::npos, out.find("got")) << out;
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(child.info.process, CHILD_WAIT_MS));
    EndChild(&child);
}

TEST(ProcessTest, WaitTimesOutWhileTheChildRunsAndSucceedsOnceItIsTerminated)
{
    // The child waits for a line on its standard input, which never comes.
    Child child;
    ASSERT_EQ(1, StartChild("cmd /c set /p LINE=", nullptr, &child));
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(child.info.process, 0));
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(child.info.process, 100));
    uint32_t code = 0;
    ASSERT_EQ(1, plat_process_exit_code(child.info.process, &code));
    EXPECT_EQ((uint32_t)STILL_ACTIVE_CODE, code);

    ASSERT_EQ(1, plat_terminate_process(child.info.process, 3));
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(child.info.process, CHILD_WAIT_MS));
    ASSERT_EQ(1, plat_process_exit_code(child.info.process, &code));
    EXPECT_EQ(3u, code);
    EndChild(&child);
}

TEST(ProcessTest, MissingProgramFailsWithFileNotFoundAsTheLastError)
{
    char line[] = "talvex-no-such-program-4711.exe -version";
    PlatStartupInfo si;
    memset(&si, 0, sizeof si);
    PlatProcessInfo info;
    memset(&info, 0xAB, sizeof info);
    plat_set_last_error(0);
    EXPECT_EQ(0, plat_create_process(line, nullptr, 0, NORMAL_PRIORITY_CLASS_FLAG, &si, &info));
    EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
    EXPECT_EQ(nullptr, info.process);
    EXPECT_EQ(nullptr, info.thread);
}

TEST(ProcessTest, ExitCodeOfAClosedHandleFails)
{
    Child child;
    ASSERT_EQ(1, StartChild("cmd /c exit 0", nullptr, &child));
    plat_wait(child.info.process, CHILD_WAIT_MS);
    PlatHandle process = child.info.process;
    EndChild(&child);
    uint32_t code = 77;
    EXPECT_EQ(0, plat_process_exit_code(process, &code));
    EXPECT_EQ(77u, code);
    EXPECT_EQ((uint32_t)PLAT_WAIT_FAILED, plat_wait(process, 0));
    EXPECT_EQ((uint32_t)PLAT_ERROR_INVALID_HANDLE, plat_get_last_error());
}

// ---------------------------------------------------------------------------
// Threads and events
// ---------------------------------------------------------------------------

struct WaitingThread {
    PlatHandle event;
    uint32_t result;
    volatile LONG woke;
};

uint32_t WaitForEventThenReturn(void* parameter)
{
    WaitingThread* t = (WaitingThread*)parameter;
    if (plat_wait(t->event, INFINITE) != PLAT_WAIT_OBJECT_0) return 1000;
    InterlockedExchange(&t->woke, 1);
    return t->result;
}

uint32_t ThreadExitCode(PlatHandle thread)
{
    DWORD code = 0;
    if (!GetExitCodeThread((HANDLE)thread, &code)) return 0xFFFFFFFFu;
    return code;
}

TEST(ThreadTest, NewEventIsManualResetAndNotSignalled)
{
    PlatHandle event = plat_create_event();
    ASSERT_NE(nullptr, event);
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(event, 0));
    ASSERT_EQ(1, plat_set_event(event));
    // A manual-reset event stays signalled for every waiter until reset.
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(event, 0));
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(event, 0));
    plat_close_handle(event);
}

TEST(ThreadTest, ThreadsWaitForTheEventAndEndWithTheirOwnResult)
{
    PlatHandle event = plat_create_event();
    ASSERT_NE(nullptr, event);
    WaitingThread a = {event, 7, 0}, b = {event, 8, 0};
    PlatHandle ta = plat_create_thread(WaitForEventThenReturn, &a);
    PlatHandle tb = plat_create_thread(WaitForEventThenReturn, &b);
    ASSERT_NE(nullptr, ta);
    ASSERT_NE(nullptr, tb);
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(ta, 50));
    EXPECT_EQ(0, a.woke);
    ASSERT_EQ(1, plat_set_event(event));
    ASSERT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(ta, CHILD_WAIT_MS));
    ASSERT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(tb, CHILD_WAIT_MS));
    EXPECT_EQ(1, a.woke);
    EXPECT_EQ(7u, ThreadExitCode(ta));
    EXPECT_EQ(8u, ThreadExitCode(tb));
    plat_close_handle(ta);
    plat_close_handle(tb);
    plat_close_handle(event);
}

TEST(ThreadTest, TerminatedThreadEndsWithTheGivenCode)
{
    WaitingThread t = {plat_create_event(), 1, 0};
    PlatHandle thread = plat_create_thread(WaitForEventThenReturn, &t);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(thread, 0));
    ASSERT_EQ(1, plat_terminate_thread(thread, 9));
    ASSERT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(thread, CHILD_WAIT_MS));
    EXPECT_EQ(9u, ThreadExitCode(thread));
    EXPECT_EQ(0, t.woke);
    plat_close_handle(thread);
    plat_close_handle(t.event);
}

}  // namespace
