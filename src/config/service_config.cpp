// PROVISIONAL: placeholder definitions so the other areas link; the owner
// replaces this whole file.
#include "config/service_config.h"

RegKey OpenRegistryPath(const char* const* names)
{ return nullptr; }

RegKey CreateRegistryPath(const char* const* names)
{ return nullptr; }

void QueryRegistryString(RegKey key, const char* name, char* buffer, uint32_t capacity)
{}

int SetRegistryString(RegKey key, const char* name, const char* text, uint32_t type)
{ return 0; }

int LoadServiceConfig(const char* serviceName, ServiceConfig* config)
{ return 0; }
