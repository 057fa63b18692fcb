// The in-memory process platform is a test instrument that other suites lean
// on; these cases pin down the Windows rules it claims to follow.
#include <gtest/gtest.h>

#include <string.h>

#include "common/platform.h"
#include "fake/fake_core.h"
#include "fake/fake_process.h"

namespace {

class FakeProcess : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

PlatStartupInfo startup_with(PlatHandle in, PlatHandle out, PlatHandle err)
{
    PlatStartupInfo si = {};
    si.flags = 0x100;
    si.std_input = in;
    si.std_output = out;
    si.std_error = err;
    return si;
}

TEST_F(FakeProcess, PipeReadTakesWhatIsThereUpToTheSize)
{
    PlatHandle r, w;
    ASSERT_EQ(1, plat_create_pipe(&r, &w, 0));
    uint32_t n = 0;
    ASSERT_EQ(1, plat_write_file(w, "abcdefghi", 9, &n));
    EXPECT_EQ(9u, n);
    uint32_t avail = 0;
    ASSERT_EQ(1, plat_peek_pipe(r, &avail));
    EXPECT_EQ(9u, avail);
    char buf[16] = {};
    ASSERT_EQ(1, plat_read_file(r, buf, 4, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0, memcmp(buf, "abcd", 4));
    ASSERT_EQ(1, plat_read_file(r, buf, 16, &n));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(0, fake_blocked_read_count());
    EXPECT_EQ(0, plat_read_file(r, buf, 16, &n));
    EXPECT_EQ(1, fake_blocked_read_count());
}

TEST_F(FakeProcess, ShortWriteTransfersOnlyTheGivenCount)
{
    PlatHandle r, w;
    ASSERT_EQ(1, plat_create_pipe(&r, &w, 0));
    fake_short_write(4, w);
    uint32_t n = 0;
    ASSERT_EQ(1, plat_write_file(w, "shutdown\n", 9, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ("shut", fake_pipe_peek(r));
    ASSERT_EQ(1, plat_write_file(w, "x", 1, &n));
    EXPECT_EQ(1u, n);
}

TEST_F(FakeProcess, ClosedHandlesAreTrackedAndDoubleClosesCounted)
{
    PlatHandle r, w, kept;
    ASSERT_EQ(1, plat_create_pipe(&r, &w, 0));
    ASSERT_EQ(1, plat_duplicate_private(r, &kept));
    EXPECT_TRUE(fake_handle_inheritable(r));
    EXPECT_FALSE(fake_handle_inheritable(kept));
    EXPECT_EQ(3, fake_open_handle_count());
    ASSERT_EQ(1, plat_close_handle(r));
    EXPECT_EQ(0, plat_close_handle(r));
    EXPECT_EQ(1, fake_bad_handle_count());
    EXPECT_EQ(2, fake_open_handle_count());
}

TEST_F(FakeProcess, EmptyPipeWithoutWritersIsBroken)
{
    PlatHandle r, w;
    ASSERT_EQ(1, plat_create_pipe(&r, &w, 0));
    ASSERT_EQ(1, plat_close_handle(w));
    uint32_t avail = 7;
    EXPECT_EQ(0, plat_peek_pipe(r, &avail));
    EXPECT_EQ((uint32_t)PLAT_ERROR_BROKEN_PIPE, plat_get_last_error());
}

TEST_F(FakeProcess, ScriptedChildWritesAtItsTimesAndExits)
{
    PlatHandle outR, outW, inR, inW;
    ASSERT_EQ(1, plat_create_pipe(&outR, &outW, 0));
    ASSERT_EQ(1, plat_create_pipe(&inR, &inW, 0));
    fake_add_child("container", fake_container_script(50, 200));
    fake_env_set("PATH", "D:\\jre\\bin");
    PlatStartupInfo si = startup_with(inR, outW, outW);
    PlatProcessInfo pi = {};
    char cmd[] = "java container";
    ASSERT_EQ(1, plat_create_process(cmd, "C:\\app", 1, 0x220, &si, &pi));
    FakeChild& c = fake_child(0);
    EXPECT_EQ("java container", c.command_line);
    EXPECT_EQ("C:\\app", c.current_directory);
    EXPECT_EQ("D:\\jre\\bin", c.path);
    EXPECT_EQ(0x220u, c.creation_flags);

    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(pi.process, 40));
    EXPECT_EQ("", fake_pipe_peek(outR));
    EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(pi.process, 40));
    EXPECT_EQ("\b", fake_pipe_take(outR));

    uint32_t n;
    ASSERT_EQ(1, plat_write_file(inW, "shutdown\n", 9, &n));
    EXPECT_EQ("\a0\a", fake_pipe_take(outR));
    uint64_t before = fake_now_ms();
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(pi.process, 10000));
    EXPECT_EQ(before + 200, fake_now_ms());
    uint32_t code = 1;
    ASSERT_EQ(1, plat_process_exit_code(pi.process, &code));
    EXPECT_EQ(0u, code);
}

TEST_F(FakeProcess, ShutdownSplitAcrossWritesIsStillSeen)
{
    PlatHandle outR, outW, inR, inW;
    ASSERT_EQ(1, plat_create_pipe(&outR, &outW, 0));
    ASSERT_EQ(1, plat_create_pipe(&inR, &inW, 0));
    fake_set_default_child(fake_container_script(0, 0));
    PlatStartupInfo si = startup_with(inR, outW, outW);
    PlatProcessInfo pi = {};
    char cmd[] = "anything";
    ASSERT_EQ(1, plat_create_process(cmd, nullptr, 1, 0x220, &si, &pi));
    uint32_t n;
    plat_write_file(inW, "shut", 4, &n);
    EXPECT_FALSE(fake_child(0).ended);
    plat_write_file(inW, "down\n", 5, &n);
    EXPECT_TRUE(fake_child(0).ended);
}

TEST_F(FakeProcess, ChildWithoutInheritedHandlesLosesItsOutput)
{
    PlatHandle outR, outW;
    ASSERT_EQ(1, plat_create_pipe(&outR, &outW, 0));
    FakeChildScript s;
    s.out_at(0, "hello");
    fake_set_default_child(s);
    PlatStartupInfo si = startup_with(nullptr, outW, outW);
    PlatProcessInfo pi = {};
    char cmd[] = "x";
    ASSERT_EQ(1, plat_create_process(cmd, nullptr, 0, 0x220, &si, &pi));
    fake_advance(1);
    EXPECT_EQ("", fake_pipe_peek(outR));
    EXPECT_EQ("hello", fake_child(0).lost_output);
}

TEST_F(FakeProcess, InfiniteWaitOnAHungChildFailsInsteadOfHanging)
{
    PlatStartupInfo si = {};
    PlatProcessInfo pi = {};
    char cmd[] = "hung";
    ASSERT_EQ(1, plat_create_process(cmd, nullptr, 0, 0x220, &si, &pi));
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

TEST_F(FakeProcess, ThreadBodyRunsWhenWaitedOn)
{
    g_runs = 0;
    uint32_t result = 42;
    PlatHandle t = plat_create_thread(count_runs, &result);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0u, g_runs);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(t, 10000));
    EXPECT_EQ(1u, g_runs);
    EXPECT_EQ(42u, fake_thread(0).exit_code);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(t, 10000));
    EXPECT_EQ(1u, g_runs);
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

TEST_F(FakeProcess, ExpansionFollowsWindowsRules)
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
}

TEST_F(FakeProcess, EnvironmentBlockListsEveryVariable)
{
    fake_env_clear();
    fake_env_set("B", "2");
    fake_env_set("A", "1");
    char* block = plat_environment_block();
    ASSERT_NE(nullptr, block);
    EXPECT_STREQ("A=1", block);
    EXPECT_STREQ("B=2", block + 4);
    EXPECT_EQ('\0', block[8]);
    EXPECT_EQ(1, fake_env_blocks_outstanding());
    plat_free_environment_block(block);
    EXPECT_EQ(0, fake_env_blocks_outstanding());
}

TEST_F(FakeProcess, CtrlBreakNeedsTheChildsConsole)
{
    fake_set_console(false);
    fake_set_default_child(fake_container_script(0, 0));
    PlatHandle outR, outW;
    ASSERT_EQ(1, plat_create_pipe(&outR, &outW, 0));
    PlatStartupInfo si = startup_with(nullptr, outW, outW);
    PlatProcessInfo pi = {};
    char cmd[] = "c";
    ASSERT_EQ(1, plat_create_process(cmd, nullptr, 1, 0x220, &si, &pi));
    EXPECT_EQ(0, plat_send_ctrl_break(pi.process_id));
    EXPECT_EQ(0, plat_free_console());
    ASSERT_EQ(1, plat_attach_console(pi.process_id));
    ASSERT_EQ(1, plat_send_ctrl_break(pi.process_id));
    EXPECT_EQ("\bFull thread dump\n", fake_pipe_take(outR));
    EXPECT_EQ(std::vector<uint32_t>{pi.process_id}, fake_ctrl_breaks_delivered());
}

}  // namespace
