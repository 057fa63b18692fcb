// A child started and asked for a thread dump.
#ifndef TALVEX_SERVICE_CHILD_START_H
#define TALVEX_SERVICE_CHILD_START_H

#include <stdint.h>

#include "common/platform.h"

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

#endif
