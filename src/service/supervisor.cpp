// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "service/supervisor.h"

int64_t ReferenceStartTime = 0;

uint32_t RunService(int argc, char** argv)
{ return 0; }

int ElapsedAtLeast(uint32_t limitSeconds)
{ return 0; }
