// The container's standard input (see container_input.h).
//
// The input is written by two threads: the flusher's keep-alive newlines and
// the supervisor's "shutdown\n".  Its pipe does not wait, so a write may take
// only part of a message when the container has stopped reading; the rest of
// "shutdown\n" follows at the next polls, and the lock keeps a newline from
// landing in between.  The count of bytes written is taken under the same
// lock, so that a look sees how many the container has read.
#include "service/container_input.h"

#include <mutex>

#include "diag/log_file.h"

namespace {

const char SHUTDOWN_COMMAND[] = "shutdown\n";
const uint32_t SHUTDOWN_COMMAND_LENGTH = sizeof SHUTDOWN_COMMAND - 1;

enum : uint32_t {
    // The input pipe keeps the system's default buffer (4 KB under Wine);
    // what is left in it is read out in pieces of this size.
    INPUT_DISCARD_SIZE = 4096,
    FLUSHER_JOIN_MS = 10000,
};

std::mutex InputLock;

}  // namespace

void ResetContainerInput(ContainerInput* input)
{
    // Nobody else reads the pipe now and nobody writes it: what the peek
    // finds can be read without waiting.
    std::lock_guard<std::mutex> guard(InputLock);
    char stale[INPUT_DISCARD_SIZE];
    uint32_t available = 0;
    while (plat_peek_pipe(input->childEnd, &available) && available > 0) {
        uint32_t got = 0;
        uint32_t want = available < sizeof stale ? available : (uint32_t)sizeof stale;
        if (!plat_read_file(input->childEnd, stale, want, &got) || got == 0) break;
    }
    input->shutdownOnItsWay = 0;
    input->shutdownWritten = 0;
    input->written = 0;
}

int StartInputFlusher(ContainerInput* input)
{
    input->stop = 0;
    // Without its wake event the thread still ends, only up to one flush
    // interval later.
    input->wake = plat_create_event();
    input->flusher = plat_create_thread(InputFlusherThread, input);
    if (input->flusher != nullptr) return 1;
    uint32_t error = plat_get_last_error();
    if (input->wake != nullptr) plat_close_handle(input->wake);
    input->wake = nullptr;
    plat_set_last_error(error);
    return 0;
}

void TellInputFlusherToStop(ContainerInput* input)
{
    if (input->stop) return;
    input->stop = 1;
    if (input->wake != nullptr) plat_set_event(input->wake);
}

void StopInputFlusher(ContainerInput* input)
{
    TellInputFlusherToStop(input);
    if (plat_wait(input->flusher, FLUSHER_JOIN_MS) != PLAT_WAIT_OBJECT_0) plat_terminate_thread(input->flusher, 0);
    plat_close_handle(input->flusher);
    if (input->wake != nullptr) plat_close_handle(input->wake);
    input->flusher = nullptr;
    input->wake = nullptr;
}

uint32_t InputFlusherThread(void* parameter)
{
    ContainerInput* input = (ContainerInput*)parameter;
    log_always("NT Service starting input flusher thread\n");
    while (input->stop == 0) {
        {
            // A newline that does not fit is skipped; none goes in between
            // the parts of a shutdown command that is on its way.
            std::lock_guard<std::mutex> guard(InputLock);
            uint32_t written = 0;
            if (!input->shutdownOnItsWay && plat_write_file(input->keptEnd, "\n", 1, &written) && written <= 1)
                input->written += written;
        }
        // The supervisor sets the wake event right after the stop flag, so a
        // stop ends the wait at once instead of after a whole interval.  A
        // wait that fails at once would turn this loop into a busy writer;
        // it sleeps the interval instead.
        if (input->wake == nullptr || plat_wait(input->wake, FLUSH_INTERVAL_MS) == PLAT_WAIT_FAILED)
            plat_sleep(FLUSH_INTERVAL_MS);
    }
    log_always("NT Service exiting input flusher thread\n");
    return 0;
}

int SendShutdownCommand(ContainerInput* input)
{
    std::lock_guard<std::mutex> guard(InputLock);
    int starting = !input->shutdownOnItsWay;
    if (starting) {
        log_debug("DEBUG: stop service initiated\n");
        input->shutdownOnItsWay = 1;
        input->shutdownWritten = 0;
    }
    uint32_t written = 0;
    uint32_t rest = SHUTDOWN_COMMAND_LENGTH - input->shutdownWritten;
    if (plat_write_file(input->keptEnd, SHUTDOWN_COMMAND + input->shutdownWritten, rest, &written) &&
        written <= rest) {
        input->shutdownWritten += written;
        input->written += written;
    }
    int complete = input->shutdownWritten == SHUTDOWN_COMMAND_LENGTH;
    if (complete) {
        input->shutdownOnItsWay = 0;
        log_debug("DEBUG: shutdown written\n");
    }
    if (starting) log_debug("DEBUG: stop service ended\n");
    return complete;
}

int ShutdownSent(const ContainerInput* input)
{
    return input->shutdownWritten == SHUTDOWN_COMMAND_LENGTH;
}

int LookAtContainerInput(ContainerInput* input, uint32_t* unread, uint64_t* read)
{
    // The count and the look are taken together: a newline written between
    // them would make a container that read nothing look like one that read.
    std::lock_guard<std::mutex> guard(InputLock);
    if (!plat_peek_pipe(input->childEnd, unread)) return 0;
    *read = input->written > *unread ? input->written - *unread : 0;
    return 1;
}
