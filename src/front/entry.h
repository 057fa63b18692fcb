#ifndef TALVEX_FRONT_ENTRY_H
#define TALVEX_FRONT_ENTRY_H

void PrintUsage(void);
// The whole program: chooses the mode from the command line and returns the
// process exit code.
int talvex_main(int argc, char** argv);

#endif
