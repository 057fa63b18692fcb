// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "service/child_process.h"

int initPipe(PlatHandle* keptRead, PlatHandle* childWrite)
{ return 0; }

int initInputPipe(PlatHandle* childRead, PlatHandle* keptWrite)
{ return 0; }

size_t DrainPipe(PlatHandle pipe, char* buffer, size_t size, int copyToLog)
{ return 0; }

int StartProcess(char* commandLine, const char* currentDirectory, PlatProcessInfo* process, PlatStartupInfo* startup, int inheritHandles, const char* pathLine)
{ return 0; }

uint32_t SendCtrlBreak(const PlatProcessInfo* process)
{ return 0; }

uint32_t InputFlusherThread(void* block)
{ return 0; }

void SendShutdownCommand(PlatHandle containerInput)
{}

void RunExitScript(const char* serviceName, const char* workingDirectory)
{}
