// The service main function that the dispatcher runs.
#ifndef TALVEX_SERVICE_SERVICE_MAIN_H
#define TALVEX_SERVICE_SERVICE_MAIN_H

#include <stdint.h>

// The first element of argv is the service name.  Returns when the service
// is over, after the final STOPPED report.
void ServiceMain(uint32_t argc, char** argv);

#endif
