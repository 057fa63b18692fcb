// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "front/entry.h"

void PrintUsage(void)
{}

int talvex_main(int argc, char** argv)
{ return 0; }
