// The container's standard input: the keep-alive newline that the input
// flusher thread writes every 2 s, the "shutdown" command of a stop, and the
// looks of the stall watch into what the container has not read yet.  Their
// state is one record that the run owns and the flusher thread is given.
#ifndef TALVEX_SERVICE_CONTAINER_INPUT_H
#define TALVEX_SERVICE_CONTAINER_INPUT_H

#include <stdint.h>

#include "common/platform.h"

enum { FLUSH_INTERVAL_MS = 2000 };

struct ContainerInput {
    PlatHandle keptEnd;         // the supervisor's write end, which never waits
    PlatHandle childEnd;        // the container's read end, kept to look into
    // The flusher thread, the flag that ends it and the event set with the
    // flag, so that it ends at once.
    PlatHandle flusher;
    volatile uint32_t stop;
    PlatHandle wake;
    // A shutdown command whose first part is written and its rest still to
    // go, and how much of it is through.
    int shutdownOnItsWay;
    uint32_t shutdownWritten;
    // The bytes written since the pipe was last emptied.
    uint64_t written;
};

// Empties the pipe of what an earlier container left unread and forgets its
// shutdown command, before the next container starts: it would otherwise
// find stale keep-alive lines, and a "shutdown" behind them that it reads too
// late.
void ResetContainerInput(ContainerInput* input);
// Starts and ends the flusher thread.  Starting fails (0, with the last error
// set) when the thread cannot be made.  Ending is in two steps: the thread is
// told to stop, and may end while the caller does other work, before it is
// waited for (and terminated, should it not end).  Stopping a thread that was
// not told to stop tells it first.
int StartInputFlusher(ContainerInput* input);
void TellInputFlusherToStop(ContainerInput* input);
void StopInputFlusher(ContainerInput* input);
// The flusher thread's body; its parameter is the ContainerInput.
uint32_t InputFlusherThread(void* input);
// Writes "shutdown\n", or what of it is still to go when an earlier call got
// only part of it through.  Returns 1 once it is complete.
int SendShutdownCommand(ContainerInput* input);
// 1 once all of "shutdown\n" has gone in.
int ShutdownSent(const ContainerInput* input);
// Looks into the pipe through the child's end: *unread, the bytes waiting
// there, and *read, how many the container has read since the pipe was last
// emptied.  0 when the pipe cannot be looked into.
int LookAtContainerInput(ContainerInput* input, uint32_t* unread, uint64_t* read);

#endif
