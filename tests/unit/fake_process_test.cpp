// The in-memory process platform is a test instrument that other suites lean
// on; these cases pin down the Windows rules it claims to follow.
#include <gtest/gtest.h>

#include <string.h>

#include "common/platform.h"
#include "fake/fake_core.h"
#include "fake/fake_process.h"

namespace {

struct Pipe {
    PlatHandle read, write;
};

class FakeProcess : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }

    static Pipe pipe()
    {
        Pipe p = {nullptr, nullptr};
        EXPECT_EQ(1, plat_create_pipe(&p.read, &p.write, 0));
        return p;
    }

    // Starts the scripted child with its standard handles on the given ends.
    static PlatProcessInfo start(PlatHandle in, PlatHandle out, int inherit = 1, const char* directory = nullptr)
    {
        PlatStartupInfo si = {};
        si.flags = 0x100;
        si.std_input = in;
        si.std_output = out;
        si.std_error = out;
        PlatProcessInfo pi = {};
        char cmd[] = "java container";
        EXPECT_EQ(1, plat_create_process(cmd, directory, inherit, 0x220, &si, &pi));
        return pi;
    }
};

TEST_F(FakeProcess, PipeReadTakesWhatIsThereUpToTheSize)
{
    Pipe p = pipe();
    uint32_t n = 0;
    ASSERT_EQ(1, plat_write_file(p.write, "abcdefghi", 9, &n));
    EXPECT_EQ(9u, n);
    uint32_t avail = 0;
    ASSERT_EQ(1, plat_peek_pipe(p.read, &avail));
    EXPECT_EQ(9u, avail);
    char buf[16] = {};
    ASSERT_EQ(1, plat_read_file(p.read, buf, 4, &n));
    EXPECT_EQ(std::string("abcd"), std::string(buf, n));
    ASSERT_EQ(1, plat_read_file(p.read, buf, 16, &n));
    EXPECT_EQ(5u, n);
    // A read of an empty pipe would block on Windows: it fails and is counted.
    EXPECT_EQ(0, fake_blocked_read_count());
    EXPECT_EQ(0, plat_read_file(p.read, buf, 16, &n));
    EXPECT_EQ(1, fake_blocked_read_count());
    // Without a writer an empty pipe is broken.
    ASSERT_EQ(1, plat_close_handle(p.write));
    EXPECT_EQ(0, plat_peek_pipe(p.read, &avail));
    EXPECT_EQ((uint32_t)PLAT_ERROR_BROKEN_PIPE, plat_get_last_error());
}

TEST_F(FakeProcess, ShortWriteTransfersOnlyTheGivenCount)
{
    Pipe p = pipe();
    fake_short_write(4, p.write);
    uint32_t n = 0;
    ASSERT_EQ(1, plat_write_file(p.write, "shutdown\n", 9, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ("shut", fake_pipe_peek(p.read));
    ASSERT_EQ(1, plat_write_file(p.write, "x", 1, &n));
    EXPECT_EQ(1u, n);
}

TEST_F(FakeProcess, ClosedHandlesAreTrackedAndDoubleClosesCounted)
{
    Pipe p = pipe();
    PlatHandle kept;
    ASSERT_EQ(1, plat_duplicate_private(p.read, &kept));
    EXPECT_TRUE(fake_handle_inheritable(p.read));
    EXPECT_FALSE(fake_handle_inheritable(kept));
    EXPECT_EQ(3, fake_open_handle_count());
    ASSERT_EQ(1, plat_close_handle(p.read));
    EXPECT_EQ(0, plat_close_handle(p.read));
    EXPECT_EQ(1, fake_bad_handle_count());
    EXPECT_EQ(2, fake_open_handle_count());
}

TEST_F(FakeProcess, ScriptedChildWritesAtItsTimesAndExits)
{
    Pipe out = pipe(), in = pipe();
    fake_add_child("container", fake_container_script(50, 200));
    fake_env_set("PATH", "D:\\jre\\bin");
    PlatProcessInfo pi = start(in.read, out.write, 1, "C:\\app");
    FakeChild& c = fake_child(0);
    EXPECT_EQ("java container", c.command_line);
    EXPECT_EQ("C:\\app", c.current_directory);
    EXPECT_EQ("D:\\jre\\bin", c.path);
    EXPECT_EQ(0x220u, c.creation_flags);

    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(pi.process, 40));
    EXPECT_EQ("", fake_pipe_peek(out.read));
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(pi.process, 40));
    EXPECT_EQ("\b", fake_pipe_take(out.read));

    // A shutdown split across two writes is still seen.
    uint32_t n;
    ASSERT_EQ(1, plat_write_file(in.write, "shut", 4, &n));
    EXPECT_FALSE(c.ended);
    ASSERT_EQ(1, plat_write_file(in.write, "down\n", 5, &n));
    EXPECT_EQ("\a0\a", fake_pipe_take(out.read));
    uint64_t before = fake_now_ms();
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(pi.process, 10000));
    EXPECT_EQ(before + 200, fake_now_ms());
    uint32_t code = 1;
    ASSERT_EQ(1, plat_process_exit_code(pi.process, &code));
    EXPECT_EQ(0u, code);
}

TEST_F(FakeProcess, ChildWithoutInheritedHandlesLosesItsOutput)
{
    Pipe out = pipe();
    FakeChildScript s;
    s.out_at(0, "hello");
    fake_set_default_child(s);
    start(nullptr, out.write, 0);
    fake_advance(1);
    EXPECT_EQ("", fake_pipe_peek(out.read));
    EXPECT_EQ("hello", fake_child(0).lost_output);
}

TEST_F(FakeProcess, InfiniteWaitOnAHungChildFailsInsteadOfHanging)
{
    PlatProcessInfo pi = start(nullptr, nullptr, 0);
    EXPECT_EQ((uint32_t)PLAT_WAIT_FAILED, plat_wait(pi.process, FAKE_INFINITE));
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(pi.process, 500));
    EXPECT_EQ(500u, fake_now_ms());
    ASSERT_EQ(1, plat_terminate_process(pi.process, 3));
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(pi.process, 0));
    EXPECT_TRUE(fake_child(0).terminated);
    EXPECT_EQ(3u, fake_child(0).exit_code);
}

uint32_t g_runs;
uint32_t count_runs(void* p)
{
    ++g_runs;
    return *(uint32_t*)p;
}

TEST_F(FakeProcess, ThreadBodyRunsOnceWhenWaitedOn)
{
    g_runs = 0;
    uint32_t result = 42;
    PlatHandle t = plat_create_thread(count_runs, &result);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0u, g_runs);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(t, 10000));
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(t, 10000));
    EXPECT_EQ(1u, g_runs);
    EXPECT_EQ(42u, fake_thread(0).exit_code);
}

TEST_F(FakeProcess, HungThreadTimesOutAndCanBeTerminated)
{
    g_runs = 0;
    uint32_t result = 0;
    fake_threads_hang(true);
    PlatHandle t = plat_create_thread(count_runs, &result);
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(t, 10000));
    EXPECT_EQ(10000u, fake_now_ms());
    EXPECT_EQ(0u, g_runs);
    ASSERT_EQ(1, plat_terminate_thread(t, 1));
    EXPECT_TRUE(fake_thread(0).terminated);
}

TEST_F(FakeProcess, EventWaitReturnsAtOnceWhenSetElseTimesOut)
{
    PlatHandle e = plat_create_event();
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(e, 2000));
    EXPECT_EQ(2000u, fake_now_ms());
    ASSERT_EQ(1, plat_set_event(e));
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(e, 2000));
    EXPECT_EQ(2000u, fake_now_ms());
}

TEST_F(FakeProcess, EnvironmentFollowsWindowsRules)
{
    fake_env_set("PATH", "C:\\bin");
    char buf[64];
    EXPECT_EQ(strlen("D:\\jre;C:\\bin;%NOPE%") + 1, plat_expand_env("D:\\jre;%PATH%;%NOPE%", buf, sizeof buf));
    EXPECT_STREQ("D:\\jre;C:\\bin;%NOPE%", buf);
    char small[4];
    EXPECT_EQ(7u, plat_expand_env("%PATH%", small, sizeof small));
    EXPECT_EQ(6u, plat_get_env("path", buf, sizeof buf));
    EXPECT_STREQ("C:\\bin", buf);
    EXPECT_EQ(7u, plat_get_env("PATH", small, sizeof small));
    EXPECT_EQ(0u, plat_get_env("NOPE", buf, sizeof buf));

    fake_env_clear();
    fake_env_set("B", "2");
    fake_env_set("A", "1");
    char* block = plat_environment_block();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(std::string("A=1\0B=2\0", 9), std::string(block, 9));
    EXPECT_EQ(1, fake_env_blocks_outstanding());
    plat_free_environment_block(block);
    EXPECT_EQ(0, fake_env_blocks_outstanding());
}

TEST_F(FakeProcess, CtrlBreakNeedsTheChildsConsole)
{
    fake_set_console(false);
    fake_set_default_child(fake_container_script(0, 0));
    Pipe out = pipe();
    PlatProcessInfo pi = start(nullptr, out.write);
    EXPECT_EQ(0, plat_send_ctrl_break(pi.process_id));
    EXPECT_EQ(0, plat_free_console());
    ASSERT_EQ(1, plat_attach_console(pi.process_id));
    ASSERT_EQ(1, plat_send_ctrl_break(pi.process_id));
    EXPECT_EQ("\bFull thread dump\n", fake_pipe_take(out.read));
    EXPECT_EQ(std::vector<uint32_t>{pi.process_id}, fake_ctrl_breaks_delivered());
}

}  // namespace
