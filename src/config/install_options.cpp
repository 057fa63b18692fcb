// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "config/install_options.h"

InstallOptions Options;

void ResetInstallOptions(void)
{}

int ParseInstallOptions(char** argv, int argc)
{ return 0; }

int LocateModule(const char* fileName, char* buffer)
{ return 0; }
