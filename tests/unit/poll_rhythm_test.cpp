// The supervisor's polling rhythm and the pipes it polls: a child that writes
// is drained at once and then less and less often, a silent one every 100 ms,
// and a quiet container that the flusher thread watches is rested on in
// sleeps that still notice a request or the container's end within 100 ms.
// The flusher thread's side of that watch is tested on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/platform.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_process.h"
#include "fake/fake_registry.h"
#include "fake/fake_service.h"
#include "service/child_process.h"
#include "service/service_status.h"
#include "service/supervisor.h"

namespace {

const char kParams[] = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters";
const char kLogPath[] = "D:\\svc\\svc.out";
const char kScript[] =
    "@echo off\n"
    "cd /d \"D:\\svc\\run\"\n"
    "set PATH=D:\\jre\\bin;%PATH%\n"
    "\"D:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\n";

const uint32_t kJoinWaitMs = 10000;

// One wait of the supervisor on the container: when it began and how long it
// was allowed to last.
struct Wait {
    uint64_t at_ms;
    uint32_t timeout_ms;
};

class PollRhythm : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        DebugEnabled = 0;
        ResetServiceStatus();
        ReferenceStartTime = 0;
        waits.clear();
        watched = false;
        fake_set_runaway_limit(3600 * 1000);
        fake_fs_mkdir("D:\\svc\\run");
        for (const auto& v : std::vector<std::pair<std::string, std::string>>{
                 {"WorkingDirectory", "D:\\svc"},
                 {"JavaExe", "C:\\jre\\bin\\java.exe"},
                 {"Classpath", "D:\\orvane\\lib\\agent.jar"},
                 {"OrvaneHome", "D:\\orvane"},
                 {"UtilDir", "D:\\orvane\\bin"},
                 {"TimeoutSeconds", "0"},
                 {"ShutdownTimeoutSeconds", "600"}})
            fake_reg_put_sz(kParams, v.first, v.second);
        fake_fs_write("D:\\svc\\container.ini.bat", kScript);
        fake_add_child("LaunchContainer", fake_launcher_script(0, 100));
    }

    void TearDown() override
    {
        fake_on_wait(nullptr);
        fake_set_runaway_limit(0);
        LogFile = nullptr;
        ResetServiceStatus();
    }

    // Records every wait made while the container exists, except the join of
    // the flusher thread.  With `watch` set, the flusher is taken to be
    // waiting on the container from the first of them on, as the real thread
    // is while it runs beside the supervisor (the in-memory threads run only
    // when they are joined).
    void RecordWaits(bool watch)
    {
        watched = watch;
        fake_on_wait([this](PlatHandle, uint32_t ms) {
            if (fake_child_count() < 2 || fake_child(1).ended || ms == kJoinWaitMs) return;
            waits.push_back(Wait{fake_now_ms() - fake_child(1).start_ms, ms});
            FlusherBlock* block = Flusher();
            if (watched && block != nullptr && !block->childEnded) block->watching = 1;
        });
    }

    static FlusherBlock* Flusher()
    {
        return fake_thread_count() > 0 ? (FlusherBlock*)fake_thread(0).parameter : nullptr;
    }

    static void Run()
    {
        char name[] = "svc";
        char* argv[] = {name, nullptr};
        ServiceMain(1, argv);
    }

    // The waits that began within [from, to) ms of the container's start.
    std::vector<Wait> WaitsBetween(uint64_t from, uint64_t to) const
    {
        std::vector<Wait> out;
        for (const Wait& w : waits)
            if (w.at_ms >= from && w.at_ms < to) out.push_back(w);
        return out;
    }

    // The first wait that began after ms, or null.
    const Wait* FirstWaitAfter(uint64_t ms) const
    {
        for (const Wait& w : waits)
            if (w.at_ms > ms) return &w;
        return nullptr;
    }

    std::vector<Wait> waits;
    bool watched;
};

FakeChildScript& StopAt(FakeChildScript& script, uint64_t ms)
{
    return script.at(ms, [](FakeChild&) { fake_send_control(CONTROL_STOP); });
}

// --- pipes ------------------------------------------------------------------------------

TEST_F(PollRhythm, OutputPipesAskFor64KiBAndInputPipesForTheSystemDefault)
{
    PlatHandle kept = nullptr, child = nullptr;
    ASSERT_EQ(1, initPipe(&kept, &child));
    EXPECT_EQ(65536u, fake_pipe_buffer_size(kept));
    ASSERT_EQ(1, initInputPipe(&child, &kept));
    EXPECT_EQ(0u, fake_pipe_buffer_size(kept));
}

// --- draining with a count ---------------------------------------------------------------

TEST_F(PollRhythm, ACountedDrainLooksIntoThePipeOnlyWhenWhatItSawIsRead)
{
    PlatHandle kept = nullptr, child = nullptr;
    ASSERT_EQ(1, initPipe(&kept, &child));
    fake_pipe_put(child, std::string(20000, 'x'));
    char buffer[READ_CHUNK_SIZE];
    uint32_t waiting = 0;
    std::vector<size_t> chunks;
    size_t got;
    while ((got = DrainPipeCounted(kept, buffer, sizeof buffer, 0, &waiting)) > 0) chunks.push_back(got);

    EXPECT_EQ((std::vector<size_t>{8191, 8191, 3618}), chunks);
    EXPECT_EQ(0u, waiting);
    // One look for the 20000 bytes, one that found the pipe empty.
    EXPECT_EQ(2, fake_call_count("PeekNamedPipe"));
    EXPECT_EQ(3, fake_call_count("ReadFile"));
    EXPECT_EQ(0, fake_blocked_read_count());
}

TEST_F(PollRhythm, ACountedDrainWhoseReadFailsLooksAgainBeforeTheNextRead)
{
    PlatHandle kept = nullptr, child = nullptr;
    ASSERT_EQ(1, initPipe(&kept, &child));
    fake_pipe_put(child, std::string(10000, 'x'));
    char buffer[READ_CHUNK_SIZE];
    uint32_t waiting = 0;
    ASSERT_EQ(8191u, DrainPipeCounted(kept, buffer, sizeof buffer, 0, &waiting));
    EXPECT_EQ(1809u, waiting);
    fake_fail("ReadFile", PLAT_ERROR_BROKEN_PIPE);
    EXPECT_EQ(0u, DrainPipeCounted(kept, buffer, sizeof buffer, 0, &waiting));
    EXPECT_EQ(0u, waiting);
    // The count was dropped, so the next call looks before it reads.
    EXPECT_EQ(1809u, DrainPipeCounted(kept, buffer, sizeof buffer, 0, &waiting));
    EXPECT_EQ(2, fake_call_count("PeekNamedPipe"));
    EXPECT_EQ(0, fake_blocked_read_count());
}

// --- the rhythm while the supervisor polls -------------------------------------------------

TEST_F(PollRhythm, OutputIsPolledForAgainAfterOneMillisecondAndTheWaitGrowsBackTo100)
{
    FakeChildScript container;
    container.reads_input().out_at(50, "\b").out_at(1000, "first").out_at(1100, "second").exit_at(3000, 0);
    fake_add_child("com.example.Container", container);
    RecordWaits(false);

    Run();

    EXPECT_NE(std::string::npos, fake_fs_read(kLogPath).find("\bfirstsecond"));

    // The poll after a drain that found output waits 1 ms.  "first" comes
    // after a long silence and is read at the next 100 ms poll at the
    // latest; "second" comes while the supervisor still polls closely and is
    // read within a few ms.
    const Wait* first = FirstWaitAfter(1000);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1u, first->timeout_ms);
    EXPECT_LE(first->at_ms, 1100u);
    const Wait* second = FirstWaitAfter(1100);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(1u, second->timeout_ms);
    EXPECT_LE(second->at_ms, 1100u + 30u);

    // Silence lets the wait grow by a quarter of the silent time, so a burst
    // costs a few dozen polls, and from 400 ms of silence on every wait is
    // the full 100 ms.
    std::vector<Wait> settling = WaitsBetween(second->at_ms, second->at_ms + 500);
    EXPECT_LE(settling.size(), 30u);
    uint32_t previous = 0;
    for (const Wait& w : settling) {
        EXPECT_GE(w.timeout_ms, previous) << "at " << w.at_ms;
        EXPECT_LE(w.timeout_ms, 100u) << "at " << w.at_ms;
        previous = w.timeout_ms;
    }
    std::vector<Wait> silent = WaitsBetween(second->at_ms + 500, 2900);
    ASSERT_GE(silent.size(), 10u);
    for (const Wait& w : silent) EXPECT_EQ(100u, w.timeout_ms) << "at " << w.at_ms;
}

TEST_F(PollRhythm, ANewChildIsPolledClosely)
{
    FakeChildScript container;
    container.reads_input().out_at(60, "\b").exit_at(500, 0);
    fake_add_child("com.example.Container", container);
    RecordWaits(false);

    Run();

    // The start marker written 60 ms after the start is read within a few
    // ms, not at the first 100 ms poll.
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(1u, waits[0].timeout_ms);
    uint64_t markerRead = 0;
    for (const Wait& w : waits)
        if (w.at_ms >= 60) {
            markerRead = w.at_ms;
            break;
        }
    EXPECT_LE(markerRead, 60u + 16u);
    ASSERT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_STARTED).size());
}

TEST_F(PollRhythm, WithoutTheFlusherWatchingAQuietContainerIsPolledEvery100Milliseconds)
{
    FakeChildScript container = fake_container_script(50, 30);
    StopAt(container, 6030);
    fake_add_child("com.example.Container", container);
    RecordWaits(false);

    Run();

    std::vector<Wait> quiet = WaitsBetween(1000, 6000);
    ASSERT_GE(quiet.size(), 49u);
    for (const Wait& w : quiet) EXPECT_EQ(100u, w.timeout_ms);
    // The stop was taken up at the next poll.
    EXPECT_LE(fake_child(1).end_ms - fake_child(1).start_ms, 6030u + 100u + 30u);
}

// --- resting on a quiet container ----------------------------------------------------------

TEST_F(PollRhythm, AQuietWatchedContainerIsRestedOnAndAStopIsStillTakenUpWithin100Milliseconds)
{
    FakeChildScript container = fake_container_script(50, 30);
    StopAt(container, 8030);
    fake_add_child("com.example.Container", container);
    RecordWaits(true);

    Run();

    // Two seconds after the start marker the supervisor stops waiting on the
    // container with timers: it asks for its state without waiting, once a
    // second, and sleeps in between.
    std::vector<Wait> resting = WaitsBetween(2200, 8000);
    ASSERT_FALSE(resting.empty());
    EXPECT_LE(resting.size(), 7u);
    for (const Wait& w : resting) EXPECT_EQ(0u, w.timeout_ms) << "at " << w.at_ms;

    FakeChild& c = fake_child(1);
    EXPECT_EQ("shutdown\n", c.input);
    // Stop at 8030, "shutdown" within one 100 ms tick, the answer 30 ms later.
    EXPECT_LE(c.end_ms - c.start_ms, 8030u + 100u + 30u);
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
    EXPECT_EQ(SERVICE_STATE_STOPPED, fake_status_attempts().back().status.current_state);
}

TEST_F(PollRhythm, OutputOfARestedContainerReachesTheLogWithinASecond)
{
    FakeChildScript container = fake_container_script(50, 30);
    container.out_at(5000, "late line\r\n");
    std::string logAt6000;
    container.at(6000, [&logAt6000](FakeChild&) { logAt6000 = fake_fs_read(kLogPath); });
    StopAt(container, 7000);
    fake_add_child("com.example.Container", container);
    RecordWaits(true);

    Run();

    EXPECT_NE(std::string::npos, logAt6000.find("late line\r\n"));
    // The line woke the supervisor: it polled closely again afterwards.
    std::vector<Wait> after = WaitsBetween(5000, 6000);
    ASSERT_FALSE(after.empty());
    bool closePoll = false;
    for (const Wait& w : after) closePoll = closePoll || (w.timeout_ms > 0 && w.timeout_ms < 10);
    EXPECT_TRUE(closePoll);
}

TEST_F(PollRhythm, TheContainersEndSeenByTheFlusherIsNoticedWithinOneTick)
{
    FakeChildScript container;
    container.reads_input().out_at(50, "\b").out_at(5000, "\a0\a");
    // The flusher thread would see the end at once; here a step plays it.
    container.at(5000, [](FakeChild& c) {
        c.exit(0);
        Flusher()->childEnded = 1;
        Flusher()->watching = 0;
    });
    fake_add_child("com.example.Container", container);
    RecordWaits(true);

    Run();

    std::vector<FakeStatusReport> reports = fake_status_attempts();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(SERVICE_STATE_STOPPED, reports.back().status.current_state);
    EXPECT_EQ(1u, fake_events_with_id(EVENT_CONTAINER_ENDED).size());
    // The rest of the run after the end is one tick at most.
    EXPECT_LE(fake_now_ms() - fake_child(1).start_ms, 5000u + 100u);
}

TEST_F(PollRhythm, ADumpRequestWakesARestingSupervisorWithinOneTick)
{
    FakeChildScript container = fake_container_script(50, 30);
    uint64_t breakAt = 0;
    container.on_ctrl_break = [&breakAt](FakeChild&) { breakAt = fake_now_ms(); };
    container.at(6050, [](FakeChild&) { fake_send_control(CONTROL_USER_DUMP); });
    StopAt(container, 8000);
    fake_add_child("com.example.Container", container);
    RecordWaits(true);

    Run();

    ASSERT_NE(0u, breakAt);
    EXPECT_LE(breakAt - fake_child(1).start_ms, 6050u + 100u);
}

TEST_F(PollRhythm, AFlusherThatStopsWatchingSendsTheSupervisorBackToTimedPolls)
{
    FakeChildScript container = fake_container_script(50, 30);
    container.at(5000, [this](FakeChild&) {
        watched = false;
        Flusher()->watching = 0;
    });
    StopAt(container, 8000);
    fake_add_child("com.example.Container", container);
    RecordWaits(true);

    Run();

    std::vector<Wait> resting = WaitsBetween(2200, 5000);
    ASSERT_FALSE(resting.empty());
    for (const Wait& w : resting) EXPECT_EQ(0u, w.timeout_ms);
    std::vector<Wait> polled = WaitsBetween(5200, 8000);
    ASSERT_GE(polled.size(), 27u);
    for (const Wait& w : polled) EXPECT_EQ(100u, w.timeout_ms);
}

TEST_F(PollRhythm, TheFlusherIsGivenTheContainersProcess)
{
    FakeChildScript container = fake_container_script(50, 30);
    bool checked = false;
    container.at(1000, [&checked](FakeChild&) {
        ASSERT_NE(nullptr, Flusher());
        EXPECT_EQ("process", fake_handle_kind(Flusher()->child));
        // Waiting on it tells the container's state: it runs.
        EXPECT_EQ((uint32_t)PLAT_WAIT_TIMEOUT, plat_wait(Flusher()->child, 0));
        checked = true;
    });
    StopAt(container, 2000);
    fake_add_child("com.example.Container", container);

    Run();

    EXPECT_TRUE(checked);
}

// --- the flusher's watch -------------------------------------------------------------------

class FlusherWatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        LogFile = nullptr;
        ASSERT_EQ(1, initInputPipe(&childEnd, &block.input));
        block.wake = plat_create_event();
    }

    void TearDown() override { fake_on_wait(nullptr); }

    // A process that ends after ms, for the flusher to wait on.
    PlatHandle ChildEndingAt(uint64_t ms)
    {
        FakeChildScript s;
        s.exit_at(ms, 0);
        fake_set_default_child(s);
        PlatProcessInfo pi = {};
        PlatStartupInfo si = {};
        char command[] = "container";
        EXPECT_EQ(1, plat_create_process(command, nullptr, 0, 0, &si, &pi));
        return pi.process;
    }

    PlatHandle childEnd = nullptr;
    FlusherBlock block = {};
};

TEST_F(FlusherWatch, WaitsOnTheContainerBetweenNewlinesAndMarksItsEnd)
{
    block.child = ChildEndingAt(5000);
    std::vector<std::pair<PlatHandle, uint64_t>> seen;
    FlusherBlock* b = &block;
    fake_on_wait([&seen, b](PlatHandle h, uint32_t ms) {
        EXPECT_EQ(2000u, ms);
        seen.emplace_back(h, fake_now_ms());
        if (h == b->child) {
            EXPECT_EQ(1u, b->watching);
        }
        // Once it waits on its wake event the supervisor stops it.
        if (h == b->wake) {
            b->stop = 1;
            plat_set_event(b->wake);
        }
    });

    EXPECT_EQ(0u, InputFlusherThread(&block));

    // A newline at 0, 2000 and 4000 ms; the end at 5000 ms brings none early.
    EXPECT_EQ("\n\n\n", fake_pipe_history(childEnd));
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(block.child, seen[0].first);
    EXPECT_EQ(block.child, seen[2].first);
    EXPECT_EQ(block.wake, seen[3].first);
    EXPECT_EQ(5000u, seen[3].second);
    EXPECT_EQ(1u, block.childEnded);
    EXPECT_EQ(0u, block.watching);
}

TEST_F(FlusherWatch, AContainerThatCannotBeWaitedOnLeavesTheThreadOnItsWakeEvent)
{
    block.child = ChildEndingAt(60000);
    fake_fail("WaitForSingleObject", PLAT_ERROR_INVALID_HANDLE, 1);
    int waits = 0;
    FlusherBlock* b = &block;
    fake_on_wait([&waits, b](PlatHandle h, uint32_t) {
        if (++waits > 1) {
            EXPECT_EQ(b->wake, h) << "wait " << waits;
        }
        if (waits == 3) b->stop = 1;
    });

    EXPECT_EQ(0u, InputFlusherThread(&block));

    EXPECT_EQ(0u, block.childEnded);
    EXPECT_EQ(0u, block.watching);
    // The failed wait did not turn the loop into a busy writer: one newline
    // per interval (at 0 and 2000 ms), and the stop ended the third wait.
    EXPECT_EQ("\n\n", fake_pipe_history(childEnd));
    EXPECT_EQ(4000u, fake_now_ms());
}

TEST_F(FlusherWatch, AStopBeforeTheFirstNewlineNeverWatches)
{
    block.child = ChildEndingAt(5000);
    block.stop = 1;
    EXPECT_EQ(0u, InputFlusherThread(&block));
    EXPECT_EQ("", fake_pipe_history(childEnd));
    EXPECT_EQ(0u, block.watching);
    EXPECT_EQ(0u, fake_now_ms());
}

}  // namespace
