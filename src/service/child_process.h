// Pipes, child processes, the input flusher thread, the shutdown command and
// the exit script.
#ifndef TALVEX_SERVICE_CHILD_PROCESS_H
#define TALVEX_SERVICE_CHILD_PROCESS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

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
    FLUSH_INTERVAL_MS = 2000,
};

// The input flusher thread's parameter.
struct FlusherBlock {
    PlatHandle input;          // kept write end of the container's stdin pipe
    volatile uint32_t stop;    // set to 1 to make the thread end
    PlatHandle wake;           // event set together with stop, so the thread ends at once
};

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
// Starts a hidden child in its own process group, optionally with a PATH taken
// from a start-script line, and in the job when one is given: created
// suspended, put in the job, then let run.  A child that could not be put in
// the job runs without it and *jobError holds why (else 0).  On failure the
// last error tells why.
int StartProcess(char* commandLine, const char* currentDirectory, PlatProcessInfo* process,
                 PlatStartupInfo* startup, int inheritHandles, const char* pathLine, PlatHandle job,
                 uint32_t* jobError);
uint32_t SendCtrlBreak(const PlatProcessInfo* process);
uint32_t InputFlusherThread(void* block);
// Writes "shutdown\n" to the container's input, or what of it is still to go
// when an earlier call got only part of it through.  Returns 1 once it is
// complete.
int SendShutdownCommand(PlatHandle containerInput);
// Forgets a shutdown command of an earlier container.
void ResetShutdownCommand(void);
// Looks into the container's input through the child's end of its pipe:
// *unread, the bytes waiting there, and *read, how many the container has
// read of what was written since the pipe was last emptied.  0 when the pipe
// cannot be looked into.
int LookAtContainerInput(PlatHandle childEnd, uint32_t* unread, uint64_t* read);
// Empties the container's input pipe of what an earlier container left
// unread, before the next one starts: it would otherwise find stale
// keep-alive lines, and a "shutdown" behind them that it reads too late.
void DiscardContainerInput(PlatHandle childEnd);
void RunExitScript(const char* serviceName, const char* workingDirectory);

#endif
