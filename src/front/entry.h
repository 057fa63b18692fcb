#ifndef TALVEX_FRONT_ENTRY_H
#define TALVEX_FRONT_ENTRY_H

void PrintUsage(void);
// The whole program: chooses the mode from the command line and returns the
// process exit code.
int talvex_main(int argc, char** argv);
// Puts every process-wide variable of the logic back to its value at the
// start of a process.  The program runs once per process; the native tests
// run it many times in one process and call this before each run.
void ResetProcessState(void);

#endif
