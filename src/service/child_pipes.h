// The children's standard handles: the six pipes of a run, made and kept in
// one place, and the drain that reads what an output pipe holds.
#ifndef TALVEX_SERVICE_CHILD_PIPES_H
#define TALVEX_SERVICE_CHILD_PIPES_H

#include <stddef.h>
#include <stdint.h>

#include "common/platform.h"

enum {
    // Error output is read, and made into events, in chunks of this size.
    READ_CHUNK_SIZE = 8192,
    // The container's standard output, which only goes to the log and is
    // looked at for markers, is read in chunks of this size: under Wine
    // every read is a round trip to the server, whatever its size, and a poll
    // of a writing container finds some 128 KiB (poll_pacing.cpp) to take
    // in one read.  Only what the reads fill is ever touched.
    OUTPUT_CHUNK_SIZE = 262144,
};

// The six pipes, made once per run and shared by every cycle.  The kept ends
// are the supervisor's own (not inheritable); the child ends become the
// children's standard handles.  The child's end of the container's input is
// kept too, to look into.
struct Pipes {
    PlatOutputPipe *launcherOut, *containerOut, *launcherErr, *containerErr;
    PlatHandle launcherOutChild, containerOutChild, launcherErrChild, containerErrChild;
    PlatHandle launcherInChild, launcherIn;
    PlatHandle containerInChild, containerIn;
    PlatHandle savedStdOut, savedStdErr;
};

// Makes the six pipes, saving the process's own standard handles before the
// pipes that stand in for them.  A pipe that cannot be made is a warning
// event of the service's, and the result is 0.
int CreatePipes(Pipes* pipes, const char* serviceName);
// An output pipe whose kept read end can be waited on where the platform
// allows (an ordinary pipe otherwise), and an input pipe whose kept write end
// is private and never waits.  0 when it cannot be made, nothing left open.
int initPipe(PlatOutputPipe** keptRead, PlatHandle* childWrite);
int initInputPipe(PlatHandle* childRead, PlatHandle* keptWrite);
// Reads what the pipe holds, at most size-1 bytes, never blocking.  Returns the
// number of bytes read (0 when the pipe was empty); buffer is NUL-terminated
// after them.  Every byte read is copied to LogFile when copyToLog is set.
size_t DrainPipe(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog);
// DrainPipe for a loop that drains one pipe until it is empty: *waiting (0
// before the first call) carries the bytes that the last look into the pipe
// found and that are still unread, so that the pipe is looked into again only
// once they have all been read.
size_t DrainPipeCounted(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog, uint32_t* waiting);
// DrainPipe without the look first, for a pipe that is likely to hold bytes
// (its child wrote some at the poll before): where the pipe can be waited on
// that spares a round trip to the Wine server a poll.
size_t TakePipe(PlatOutputPipe* pipe, char* buffer, size_t size, int copyToLog);

#endif
