// The registration of a service's Application event source.
#ifndef TALVEX_ADMIN_EVENT_SOURCE_H
#define TALVEX_ADMIN_EVENT_SOURCE_H

// Registers serviceName as an Application event source with the message DLL
// found by the install options.  Prints its own message on failure.
int AddEventSource(const char* serviceName);
// Deletes serviceName's Application event source.  Prints its own message on
// failure.
int RemoveEventSource(const char* serviceName);

#endif
