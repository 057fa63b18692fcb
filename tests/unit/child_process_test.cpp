// Pipes, child starts, the PATH override, Ctrl+Break, the input flusher, the
// shutdown command and the exit script, against the in-memory platform.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/platform.h"
#include "diag/event_log.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "fake/fake_eventlog.h"
#include "fake/fake_process.h"
#include "fake/fake_service.h"
#include "service/child_process.h"
#include "service/service_status.h"

namespace {

const char DEFAULT_PATH[] = "C:\\Windows\\system32;C:\\Windows";

class ChildProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        ResetServiceStatus();
        DebugEnabled = 0;
        LogFile = tmpfile();
        ASSERT_NE(nullptr, LogFile);
    }
    void TearDown() override
    {
        if (LogFile) fclose(LogFile);
        LogFile = nullptr;
        DebugEnabled = 0;
    }

    std::string log_text()
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

    // Starts a child with the startup flags the supervisor sets and its
    // handles inherited; pi and si receive what the start returned.
    int start(const char* command, const char* directory, const char* pathLine)
    {
        si = {};
        pi = {};
        si.flags = CHILD_STARTF_USESTDHANDLES | CHILD_STARTF_FORCEONFEEDBACK;
        cmd.assign(command, command + strlen(command) + 1);
        return StartProcess(cmd.data(), directory, &pi, &si, 1, pathLine);
    }

    // Starts "prog" with only a PATH line, the way most PATH cases need it.
    int start_with(const char* pathLine) { return start("prog", nullptr, pathLine); }

    // An output pipe whose kept end already holds the child's bytes.
    PlatHandle pipe_holding(const std::string& data)
    {
        PlatHandle kept = nullptr, child = nullptr;
        EXPECT_EQ(1, initPipe(&kept, &child));
        if (!data.empty()) fake_pipe_put(kept, data);
        return kept;
    }

    // Starts a child on the wrapper's console, without inherited handles.
    void start_container()
    {
        pi = {};
        si = {};
        char command[] = "java container";
        ASSERT_NE(0, StartProcess(command, nullptr, &pi, &si, 0, nullptr));
    }

    // Puts the platform and an empty log back for the next row of a table.
    void next_row()
    {
        fake_reset();
        ResetServiceStatus();
        if (LogFile) fclose(LogFile);
        LogFile = tmpfile();
        ASSERT_NE(nullptr, LogFile);
    }

    std::vector<char> cmd;
    PlatProcessInfo pi = {};
    PlatStartupInfo si = {};
};

// --- pipes -----------------------------------------------------------------------

TEST_F(ChildProcess, PipeKeepsAPrivateEndAndGivesTheChildAnInheritableOne)
{
    // The output pipe keeps its read end, the input pipe its write end.
    for (bool input : {false, true}) {
        SCOPED_TRACE(input ? "input" : "output");
        next_row();
        PlatHandle kept = nullptr, child = nullptr;
        ASSERT_EQ(1, input ? initInputPipe(&child, &kept) : initPipe(&kept, &child));
        PlatHandle reader = input ? child : kept, writer = input ? kept : child;
        EXPECT_EQ("pipe-read", fake_handle_kind(reader));
        EXPECT_EQ("pipe-write", fake_handle_kind(writer));
        EXPECT_FALSE(fake_handle_inheritable(kept));
        EXPECT_TRUE(fake_handle_inheritable(child));
        // The temporary end was closed: only the two ends remain.
        EXPECT_EQ(2, fake_open_handle_count());
        EXPECT_EQ(0, fake_bad_handle_count());
        uint32_t n = 0;
        ASSERT_EQ(1, plat_write_file(writer, "bytes", 5, &n));
        EXPECT_EQ("bytes", fake_pipe_peek(reader));
    }
}

TEST_F(ChildProcess, PipeThatCannotBeMadeLeavesNothingOpenAndKeepsItsError)
{
    struct Row {
        const char* call;
        uint32_t error;
        bool input;
    } rows[] = {
        {"CreatePipe", PLAT_ERROR_NOT_ENOUGH_MEMORY, false},
        {"CreatePipe", PLAT_ERROR_NOT_ENOUGH_MEMORY, true},
        {"DuplicateHandle", PLAT_ERROR_ACCESS_DENIED, false},
        {"DuplicateHandle", PLAT_ERROR_ACCESS_DENIED, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.call) + (row.input ? " input" : " output"));
        next_row();
        fake_fail(row.call, row.error);
        PlatHandle kept = nullptr, child = nullptr;
        EXPECT_EQ(0, row.input ? initInputPipe(&child, &kept) : initPipe(&kept, &child));
        EXPECT_EQ(PLAT_INVALID_HANDLE, child);
        if (!row.input) {
            EXPECT_EQ(PLAT_INVALID_HANDLE, kept);
        }
        EXPECT_EQ(row.error, plat_get_last_error());
        EXPECT_EQ(0, fake_open_handle_count());
        EXPECT_EQ(0, fake_bad_handle_count());
    }
}

// --- draining --------------------------------------------------------------------

TEST_F(ChildProcess, TenThousandBytesDrainAsTwoChunksAndThenNothing)
{
    PlatHandle kept, child;
    ASSERT_EQ(1, initPipe(&kept, &child));
    std::string data;
    for (int i = 0; i < 10000; ++i) data += (char)('a' + i % 26);
    fake_pipe_put(kept, data);

    char buffer[READ_CHUNK_SIZE + 1];
    memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(8191u, DrainPipe(kept, buffer, READ_CHUNK_SIZE, 1));
    EXPECT_EQ('\0', buffer[8191]);
    EXPECT_EQ(data.substr(0, 8191), std::string(buffer));
    ASSERT_EQ(1809u, DrainPipe(kept, buffer, READ_CHUNK_SIZE, 1));
    EXPECT_EQ(data.substr(8191), std::string(buffer));
    EXPECT_EQ(0u, DrainPipe(kept, buffer, READ_CHUNK_SIZE, 1));
    EXPECT_EQ(0, fake_blocked_read_count());
    EXPECT_EQ(data, log_text());
}

TEST_F(ChildProcess, DrainReturnsTheBytesReadAndCopiesThemOnlyWhenAsked)
{
    struct Row {
        const char* name;
        std::string data;
        const char* failingCall;
        int copy;
        size_t got;
        const char* buffer;
        std::string log;
        std::string left;
    } rows[] = {
        // An empty pipe is never read: a read would block the supervisor.
        {"empty", "", nullptr, 1, 0, "", "", ""},
        {"failed peek", "waiting", "PeekNamedPipe", 1, 0, "", "", "waiting"},
        {"failed read", "waiting", "ReadFile", 1, 0, "", "", "waiting"},
        {"past a NUL", std::string("ab\0cd\r\n", 7), nullptr, 1, 7, "ab", std::string("ab\0cd\r\n", 7), ""},
        {"no copy", "quiet", nullptr, 0, 5, "quiet", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        next_row();
        PlatHandle kept = pipe_holding(row.data);
        if (row.failingCall) fake_fail(row.failingCall, PLAT_ERROR_BROKEN_PIPE);
        char buffer[16] = "stale";
        EXPECT_EQ(row.got, DrainPipe(kept, buffer, sizeof buffer, row.copy));
        EXPECT_STREQ(row.buffer, buffer);
        EXPECT_EQ(row.log, log_text());
        EXPECT_EQ(0, fake_blocked_read_count());
        if (row.data.empty()) {
            EXPECT_EQ(0, fake_call_count("ReadFile"));
        }
        if (!row.left.empty()) {
            // What a failed look or read left behind comes with the next drain.
            EXPECT_EQ(row.left.size(), DrainPipe(kept, buffer, sizeof buffer, 0));
            EXPECT_EQ(row.left, std::string(buffer));
        }
    }
}

TEST_F(ChildProcess, SmallestBufferReadsOneByteAtATime)
{
    PlatHandle kept, child;
    ASSERT_EQ(1, initPipe(&kept, &child));
    fake_pipe_put(kept, "xy");
    char buffer[2];
    EXPECT_EQ(1u, DrainPipe(kept, buffer, sizeof buffer, 0));
    EXPECT_STREQ("x", buffer);
    EXPECT_EQ(1u, DrainPipe(kept, buffer, sizeof buffer, 0));
    EXPECT_STREQ("y", buffer);
    char one[1] = {'z'};
    EXPECT_EQ(0u, DrainPipe(kept, one, sizeof one, 0));
    EXPECT_EQ('\0', one[0]);
}

// --- starting a child -------------------------------------------------------------

TEST_F(ChildProcess, ChildStartsHiddenInItsOwnGroupWithWhatItWasGiven)
{
    ASSERT_NE(0, start("java -version", "C:\\app", nullptr));
    ASSERT_EQ(1u, fake_child_count());
    FakeChild& c = fake_child(0);
    EXPECT_EQ("java -version", c.command_line);
    EXPECT_EQ("C:\\app", c.current_directory);
    EXPECT_EQ(1, c.inherit_handles);
    EXPECT_EQ(0x220u, c.creation_flags);
    EXPECT_EQ(0x141u, c.startup.flags);
    EXPECT_EQ(0u, c.startup.show_window);
    EXPECT_EQ(0x141u, si.flags);
    EXPECT_EQ(c.pid, pi.process_id);
    EXPECT_EQ("process", fake_handle_kind(pi.process));
    EXPECT_EQ(DEFAULT_PATH, c.path);
    EXPECT_EQ(0, fake_env_blocks_outstanding());
}

TEST_F(ChildProcess, ShowWindowIsForcedToHiddenWhateverTheCallerSet)
{
    si.show_window = 5;
    char command[] = "prog";
    ASSERT_NE(0, StartProcess(command, nullptr, &pi, &si, 0, nullptr));
    EXPECT_EQ(0u, fake_child(0).startup.show_window);
    EXPECT_EQ(1u, fake_child(0).startup.flags);
    EXPECT_EQ(0, fake_child(0).inherit_handles);
}

TEST_F(ChildProcess, PathLineGivesTheChildAnExpandedPathAndIsUndoneAfterwards)
{
    DebugEnabled = 1;
    ASSERT_NE(0, start("java Container", "C:\\app", "set PATH=D:\\jre\\bin;%PATH%\n"));
    EXPECT_EQ(std::string("D:\\jre\\bin;") + DEFAULT_PATH, fake_child(0).path);
    EXPECT_EQ(DEFAULT_PATH, fake_env_get("PATH"));

    std::string log = log_text();
    std::string expected = std::string("The size of the old environment variables 30\n") +
                           "The old path setting == " + DEFAULT_PATH + "\n" +
                           "The new path setting expanded == D:\\jre\\bin;" + DEFAULT_PATH + "\n" +
                           "Reset path to " + DEFAULT_PATH + "\n";
    size_t at = log.find("The size of the old environment variables");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(expected, log.substr(at));
}

TEST_F(ChildProcess, EnvironmentIsListedInDebugModeOnly)
{
    fake_env_clear();
    fake_env_set("PATH", "C:\\bin");
    fake_env_set("JAVA_HOME", "D:\\jre");
    ASSERT_NE(0, start_with(nullptr));
    EXPECT_EQ("", log_text());

    DebugEnabled = 1;
    ASSERT_NE(0, start_with(nullptr));
    EXPECT_EQ("\nPrinting environment variables (hopefully!!)\nJAVA_HOME=D:\\jre\nPATH=C:\\bin\n", log_text());
    EXPECT_EQ(0, fake_env_blocks_outstanding());
}

TEST_F(ChildProcess, LongPathIsSavedWholeAndRestoredWhole)
{
    DebugEnabled = 1;
    std::string longPath(3000, 'p');
    for (size_t i = 0; i < longPath.size(); i += 50) longPath[i] = ';';
    fake_env_set("PATH", longPath);
    ASSERT_NE(0, start_with("PATH=D:\\jre\\bin;%PATH%"));
    EXPECT_EQ("D:\\jre\\bin;" + longPath, fake_child(0).path);
    EXPECT_EQ(longPath, fake_env_get("PATH"));

    std::string log = log_text();
    std::string expected = std::string("The size of the old environment variables 3001\n") +
                           "The old path setting == \n" +
                           "Reallocating space for oldPathSetting\n" +
                           "Reallocating space for expandedPath\n" +
                           "The new path setting expanded == D:\\jre\\bin;" + longPath + "\n" +
                           "Reset path to " + longPath + "\n";
    size_t at = log.find("The size of the old environment variables");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(expected, log.substr(at));
}

TEST_F(ChildProcess, FailedStartRestoresPathAndKeepsTheCreationError)
{
    // In the second row the restore itself fails with another code, which
    // must not replace the one the caller reports.
    for (bool restoreFails : {false, true}) {
        SCOPED_TRACE(restoreFails ? "restore fails" : "restore works");
        next_row();
        fake_fail("CreateProcessA", PLAT_ERROR_FILE_NOT_FOUND);
        if (restoreFails) fake_fail("SetEnvironmentVariableA", PLAT_ERROR_ACCESS_DENIED, 2);
        EXPECT_EQ(0, start("missing.exe", nullptr, "PATH=D:\\jre\\bin;%PATH%"));
        EXPECT_EQ((uint32_t)PLAT_ERROR_FILE_NOT_FOUND, plat_get_last_error());
        EXPECT_EQ(0u, fake_child_count());
        EXPECT_EQ(0, fake_env_blocks_outstanding());
        if (!restoreFails) {
            EXPECT_EQ(DEFAULT_PATH, fake_env_get("PATH"));
        }
    }
}

TEST_F(ChildProcess, SuccessfulStartReportsTheCreationsLastErrorToo)
{
    plat_set_last_error(0);
    fake_fail("SetEnvironmentVariableA", PLAT_ERROR_ACCESS_DENIED, 2);
    ASSERT_NE(0, start_with("PATH=D:\\x"));
    EXPECT_EQ(0u, plat_get_last_error());
}

TEST_F(ChildProcess, PathLineValueIsExpandedWithoutTrailingLineEndsAndLeavesNoTrace)
{
    const std::string dflt = DEFAULT_PATH;
    struct Row {
        const char* line;
        std::string childPath;
    } rows[] = {
        {"PATH=D:\\jre\\bin\r\n", "D:\\jre\\bin"},
        {"PATH=D:\\a\n\r\n", "D:\\a"},
        // Only line ends after the first character of the value are removed.
        {"PATH=\r\n", "\r"},
        {"PATH=\n", "\n"},
        {"PATH=", ""},
        {"PATH=x\r", "x"},
        // The value is what follows the first equals sign.
        {"set PATH=a=b;%PATH%", "a=b;" + dflt},
        // Names the wrapper does not define stay as written.
        {"PATH=%NO_SUCH_DIR%\\bin;%PATH%", "%NO_SUCH_DIR%\\bin;" + dflt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        next_row();
        ASSERT_NE(0, start_with(row.line));
        EXPECT_EQ(row.childPath, fake_child(0).path);
        EXPECT_TRUE(fake_child(0).path_defined);
        EXPECT_EQ(DEFAULT_PATH, fake_env_get("PATH"));
        // Without debug mode the override writes nothing to the log.
        EXPECT_EQ("", log_text());
    }
}

TEST_F(ChildProcess, LineWithoutEqualsSignOverridesNothing)
{
    DebugEnabled = 1;
    ASSERT_NE(0, start_with("rem no path here"));
    EXPECT_EQ(DEFAULT_PATH, fake_child(0).path);
    EXPECT_EQ(0, fake_call_count("HeapAlloc"));
    EXPECT_EQ(0, fake_call_count("SetEnvironmentVariableA"));
    EXPECT_EQ(std::string::npos, log_text().find("path setting"));
}

TEST_F(ChildProcess, WrapperWithoutPathHasNoneAgainAfterwards)
{
    DebugEnabled = 1;
    fake_env_remove("PATH");
    ASSERT_NE(0, start_with("PATH=D:\\jre\\bin;%PATH%"));
    // %PATH% is undefined in the wrapper, so it stays as written.
    EXPECT_EQ("D:\\jre\\bin;%PATH%", fake_child(0).path);
    EXPECT_FALSE(fake_env_has("PATH"));
    EXPECT_NE(std::string::npos, log_text().find("Reset path to \n"));
}

TEST_F(ChildProcess, EmptyWrapperPathIsRestoredAsEmpty)
{
    fake_env_set("PATH", "");
    ASSERT_NE(0, start_with("PATH=D:\\x"));
    EXPECT_TRUE(fake_env_has("PATH"));
    EXPECT_EQ("", fake_env_get("PATH"));
}

TEST_F(ChildProcess, NoMemoryForAnyPathBufferLeavesEverythingUntouched)
{
    // HeapAlloc makes the two buffers; with a PATH too long for 2048 bytes,
    // the first HeapReAlloc enlarges the saved PATH's and the second the
    // expanded value's.
    const std::string longPath(3000, 'q');
    struct Row {
        const char* call;
        int nth;
        std::string wrapperPath;
        const char* line;
    } rows[] = {
        {"HeapAlloc", 1, DEFAULT_PATH, "PATH=D:\\x"},
        {"HeapAlloc", 2, DEFAULT_PATH, "PATH=D:\\x"},
        {"HeapReAlloc", 1, longPath, "PATH=%PATH%"},
        {"HeapReAlloc", 2, longPath, "PATH=%PATH%"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.call) + " #" + std::to_string(row.nth));
        next_row();
        fake_env_set("PATH", row.wrapperPath);
        fake_fail(row.call, PLAT_ERROR_NOT_ENOUGH_MEMORY, row.nth);
        EXPECT_EQ(0, start_with(row.line));
        EXPECT_EQ((uint32_t)PLAT_ERROR_OUTOFMEMORY, plat_get_last_error());
        EXPECT_EQ(0u, fake_child_count());
        EXPECT_EQ(0, fake_call_count("SetEnvironmentVariableA"));
        EXPECT_EQ(row.wrapperPath, fake_env_get("PATH"));
        EXPECT_EQ(0, fake_env_blocks_outstanding());
    }
}

TEST_F(ChildProcess, LongExpandedValueAloneEnlargesOnlyItsBuffer)
{
    DebugEnabled = 1;
    std::string longValue(2500, 'v');
    std::string line = "PATH=" + longValue;
    ASSERT_NE(0, start_with(line.c_str()));
    EXPECT_EQ(longValue, fake_child(0).path);
    std::string log = log_text();
    EXPECT_EQ(std::string::npos, log.find("Reallocating space for oldPathSetting"));
    EXPECT_NE(std::string::npos, log.find("Reallocating space for expandedPath\n"));
    EXPECT_EQ(DEFAULT_PATH, fake_env_get("PATH"));
}

// --- Ctrl+Break --------------------------------------------------------------------

TEST_F(ChildProcess, CtrlBreakReachesAChildInItsOwnConsole)
{
    // A service has no console; its child gets one of its own.
    fake_set_console(false);
    fake_set_default_child(fake_container_script(0, 0));
    PlatHandle outKept, outChild;
    ASSERT_EQ(1, initPipe(&outKept, &outChild));
    si.flags = CHILD_STARTF_USESTDHANDLES;
    si.std_output = outChild;
    char command[] = "java container";
    ASSERT_NE(0, StartProcess(command, nullptr, &pi, &si, 1, nullptr));
    EXPECT_EQ(0u, SendCtrlBreak(&pi));
    EXPECT_EQ(1, fake_child(0).ctrl_breaks);
    EXPECT_EQ("\bFull thread dump\n", fake_pipe_take(outKept));
    EXPECT_EQ(fake_child(0).console, fake_console_id());
    EXPECT_EQ("", log_text());
}

TEST_F(ChildProcess, CtrlBreakReachesAChildSharingTheWrappersConsole)
{
    fake_set_default_child(fake_container_script(0, 0));
    start_container();
    EXPECT_EQ(0u, SendCtrlBreak(&pi));
    EXPECT_EQ(std::vector<uint32_t>{pi.process_id}, fake_ctrl_breaks_delivered());
}

TEST_F(ChildProcess, UndeliverableCtrlBreakIsLoggedWithTheSystemTextOrTheCode)
{
    struct Row {
        uint32_t error;  // 0: the child has already ended
        uint32_t returned;
        const char* log;
    } rows[] = {
        {PLAT_ERROR_INVALID_HANDLE, PLAT_ERROR_INVALID_HANDLE,
         "Ctrl+Break could not be sent due to: The handle is invalid.\r\n\n"},
        {0, PLAT_ERROR_INVALID_PARAMETER, "Ctrl+Break could not be sent due to: The parameter is incorrect.\r\n\n"},
        {1234, 1234, "Ctrl+Break could not be sent due to: error 1234\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.log);
        next_row();
        start_container();
        if (row.error)
            fake_fail("GenerateConsoleCtrlEvent", row.error);
        else
            ASSERT_EQ(1, plat_terminate_process(pi.process, 1));
        EXPECT_EQ(row.returned, SendCtrlBreak(&pi));
        EXPECT_EQ(row.log, log_text());
    }
}

// --- input flusher ---------------------------------------------------------------------

struct FlusherRig {
    PlatHandle childEnd = nullptr;
    FlusherBlock block = {};
};

void make_rig(FlusherRig* rig, FILE* log, bool withWake)
{
    ASSERT_EQ(1, initInputPipe(&rig->childEnd, &rig->block.input));
    rig->block.log = log;
    rig->block.wake = withWake ? plat_create_event() : nullptr;
}

TEST_F(ChildProcess, FlusherStoppedBeforeItRunsWritesNothing)
{
    FlusherRig rig;
    make_rig(&rig, LogFile, true);
    rig.block.stop = 1;
    EXPECT_EQ(0u, InputFlusherThread(&rig.block));
    EXPECT_EQ("", fake_pipe_history(rig.childEnd));
    EXPECT_EQ("NT Service starting input flusher thread\nNT Service exiting input flusher thread\n", log_text());
    EXPECT_EQ(0u, fake_now_ms());
}

TEST_F(ChildProcess, FlusherWritesOneNewlineEveryTwoSeconds)
{
    FlusherRig rig;
    make_rig(&rig, LogFile, true);
    std::vector<std::pair<uint64_t, std::string>> seen;
    FlusherRig* r = &rig;
    fake_on_wait([&seen, r](PlatHandle h, uint32_t ms) {
        EXPECT_EQ(r->block.wake, h);
        EXPECT_EQ(2000u, ms);
        seen.emplace_back(fake_now_ms(), fake_pipe_history(r->childEnd));
        if (seen.size() == 3) {
            r->block.stop = 1;
            plat_set_event(r->block.wake);
        }
    });
    EXPECT_EQ(0u, InputFlusherThread(&rig.block));
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(0u, seen[0].first);
    EXPECT_EQ("\n", seen[0].second);
    EXPECT_EQ(2000u, seen[1].first);
    EXPECT_EQ("\n\n", seen[1].second);
    EXPECT_EQ(4000u, seen[2].first);
    EXPECT_EQ("\n\n\n", seen[2].second);
    // The stop's event ends the last wait at once.
    EXPECT_EQ(4000u, fake_now_ms());
    EXPECT_EQ(3, fake_call_count("WriteFile"));
}

TEST_F(ChildProcess, FlusherRunAsAThreadEndsWhenWaitedOnAfterTheStop)
{
    FlusherRig rig;
    make_rig(&rig, LogFile, true);
    PlatHandle thread = plat_create_thread(InputFlusherThread, &rig.block);
    ASSERT_NE(nullptr, thread);
    rig.block.stop = 1;
    plat_set_event(rig.block.wake);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(thread, 10000));
    EXPECT_EQ(0u, fake_now_ms());
    EXPECT_EQ(0u, fake_thread(0).exit_code);
    EXPECT_NE(std::string::npos, log_text().find("NT Service exiting input flusher thread\n"));
}

// A child step stands in for the supervisor: it sets the stop flag at a
// chosen moment of the virtual clock while the flusher sleeps.
void stop_flusher_at(uint64_t ms, FlusherBlock* block)
{
    FakeChildScript s;
    s.at(ms, [block](FakeChild&) { block->stop = 1; });
    fake_set_default_child(s);
    PlatProcessInfo pi = {};
    PlatStartupInfo si = {};
    char command[] = "timer";
    ASSERT_EQ(1, plat_create_process(command, nullptr, 0, 0, &si, &pi));
}

TEST_F(ChildProcess, FlusherWithoutWakeEventOrWhoseWaitFailsKeepsTheInterval)
{
    for (bool withWake : {false, true}) {
        SCOPED_TRACE(withWake ? "wait fails" : "no wake event");
        next_row();
        FlusherRig rig;
        make_rig(&rig, LogFile, withWake);
        stop_flusher_at(4500, &rig.block);
        if (withWake) fake_fail("WaitForSingleObject", PLAT_ERROR_INVALID_HANDLE, 1, true);
        EXPECT_EQ(0u, InputFlusherThread(&rig.block));
        EXPECT_EQ("\n\n\n", fake_pipe_history(rig.childEnd));
        EXPECT_EQ(6000u, fake_now_ms());
    }
}

TEST_F(ChildProcess, FlusherIgnoresFailedWritesAndWritesNoLinesWithoutALog)
{
    FlusherRig rig;
    make_rig(&rig, nullptr, true);
    fake_fail("WriteFile", PLAT_ERROR_BROKEN_PIPE, 1);
    int waits = 0;
    FlusherRig* r = &rig;
    fake_on_wait([&waits, r](PlatHandle, uint32_t) {
        if (++waits == 2) r->block.stop = 1;
    });
    EXPECT_EQ(0u, InputFlusherThread(&rig.block));
    EXPECT_EQ(2, fake_call_count("WriteFile"));
    EXPECT_EQ("\n", fake_pipe_history(rig.childEnd));
    EXPECT_EQ("", log_text());
}

// --- shutdown command -----------------------------------------------------------------

std::vector<PlatServiceStatus> stop_pending_reports()
{
    std::vector<PlatServiceStatus> out;
    for (const FakeStatusReport& r : fake_status_attempts())
        if (r.status.current_state == SERVICE_STATE_STOP_PENDING) out.push_back(r.status);
    return out;
}

TEST_F(ChildProcess, ShutdownIsOneWriteOfNineBytesAndReportsStopPending)
{
    for (int debug : {1, 0}) {
        SCOPED_TRACE(debug ? "debug" : "no debug");
        next_row();
        DebugEnabled = debug;
        PlatHandle childEnd, kept;
        ASSERT_EQ(1, initInputPipe(&childEnd, &kept));
        SendShutdownCommand(kept);
        EXPECT_EQ("shutdown\n", fake_pipe_history(childEnd));
        EXPECT_EQ(1, fake_call_count("WriteFile"));
        std::vector<PlatServiceStatus> reports = stop_pending_reports();
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(0u, reports[0].win32_exit_code);
        EXPECT_EQ(15000u, reports[0].wait_hint);
        EXPECT_EQ(debug ? "DEBUG: stop service initiated\nDEBUG: shutdown written\nDEBUG: stop service ended\n" : "",
                  log_text());
    }
}

TEST_F(ChildProcess, ShortOrFailedShutdownWriteReportsNothing)
{
    DebugEnabled = 1;
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failed write" : "short write");
        next_row();
        PlatHandle childEnd, kept;
        ASSERT_EQ(1, initInputPipe(&childEnd, &kept));
        if (fails) {
            fake_fail("WriteFile", PLAT_ERROR_BROKEN_PIPE);
        } else {
            fake_short_write(4, kept);
        }
        SendShutdownCommand(kept);
        EXPECT_EQ(fails ? "" : "shut", fake_pipe_history(childEnd));
        EXPECT_TRUE(fake_status_attempts().empty());
        EXPECT_EQ("DEBUG: stop service initiated\nDEBUG: stop service ended\n", log_text());
    }
}

TEST_F(ChildProcess, ContainerAnswersTheShutdownItReads)
{
    PlatHandle outKept, outChild, inChild, inKept;
    ASSERT_EQ(1, initPipe(&outKept, &outChild));
    ASSERT_EQ(1, initInputPipe(&inChild, &inKept));
    fake_add_child("Container", fake_container_script(0, 300));
    si.flags = CHILD_STARTF_USESTDHANDLES;
    si.std_input = inChild;
    si.std_output = outChild;
    si.std_error = outChild;
    char command[] = "java Container";
    ASSERT_NE(0, StartProcess(command, nullptr, &pi, &si, 1, nullptr));
    SendShutdownCommand(inKept);
    EXPECT_EQ("shutdown\n", fake_child(0).input);
    EXPECT_EQ((uint32_t)PLAT_WAIT_OBJECT_0, plat_wait(pi.process, 1000));
    EXPECT_EQ(300u, fake_now_ms());
    char buffer[READ_CHUNK_SIZE];
    ASSERT_EQ(4u, DrainPipe(outKept, buffer, sizeof buffer, 0));
    EXPECT_STREQ("\b\a0\a", buffer);
}

// --- exit script ------------------------------------------------------------------------

TEST_F(ChildProcess, NoExitScriptMeansNothingHappens)
{
    fake_fs_mkdir("C:\\app");
    RunExitScript("svc", "C:\\app");
    EXPECT_EQ(0u, fake_child_count());
    EXPECT_EQ(0, fake_call_count("CreateProcessA"));
    EXPECT_TRUE(fake_events().empty());
    EXPECT_EQ("", log_text());
}

TEST_F(ChildProcess, ExitScriptIsStartedThroughCallAndNotWaitedFor)
{
    fake_fs_write("C:\\app\\exit.bat", "@echo off\r\necho bye > done.txt\r\n");
    RunExitScript("svc", "C:\\app");
    ASSERT_EQ(1u, fake_child_count());
    FakeChild& c = fake_child(0);
    EXPECT_EQ("cmd /c call exit.bat", c.command_line);
    EXPECT_EQ("C:\\app", c.current_directory);
    EXPECT_EQ(0, c.inherit_handles);
    EXPECT_EQ(0x220u, c.creation_flags);
    EXPECT_EQ(1u, c.startup.flags);
    EXPECT_EQ(0u, c.startup.show_window);
    EXPECT_EQ(nullptr, c.startup.std_input);
    EXPECT_EQ(nullptr, c.startup.std_output);
    EXPECT_EQ(DEFAULT_PATH, c.path);
    // Returned at once: the script still runs, no time passed, both handles
    // were closed.
    EXPECT_FALSE(c.ended);
    EXPECT_EQ(0u, fake_now_ms());
    EXPECT_EQ(0, fake_call_count("WaitForSingleObject"));
    EXPECT_EQ(0, fake_open_handle_count());
    EXPECT_EQ(2, fake_call_count("CloseHandle"));
    EXPECT_EQ(0, fake_bad_handle_count());
    EXPECT_TRUE(fake_events().empty());
}

TEST_F(ChildProcess, ExitScriptInARelativeWorkingDirectoryIsFoundThere)
{
    fake_set_current_directory("C:\\base");
    fake_fs_write("C:\\base\\rel\\exit.bat", "@echo off\r\n");
    RunExitScript("svc", "rel");
    ASSERT_EQ(1u, fake_child_count());
    EXPECT_EQ("rel", fake_child(0).current_directory);
}

TEST_F(ChildProcess, ExitScriptThatCannotStartIsReportedAsAnErrorEvent)
{
    struct Row {
        uint32_t error;
        const char* text;
    } rows[] = {
        {PLAT_ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {1234, "error 1234"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        next_row();
        fake_fs_write("C:\\app\\exit.bat", "@echo off\r\n");
        fake_fail("CreateProcessA", row.error);
        RunExitScript("svc", "C:\\app");
        std::vector<FakeEvent> events = fake_events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ("svc", events[0].source);
        EXPECT_EQ((uint32_t)EVENT_ERROR, events[0].id);
        ASSERT_EQ(2u, events[0].strings.size());
        EXPECT_EQ("svc", events[0].strings[0]);
        EXPECT_EQ(row.text, events[0].strings[1]);
        EXPECT_EQ(0, fake_open_handle_count());
    }
}

}  // namespace
