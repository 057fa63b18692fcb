#ifndef TALVEX_ADMIN_INSTALL_SERVICE_H
#define TALVEX_ADMIN_INSTALL_SERVICE_H

// Creates or reconfigures the service from Options, writes its Parameters
// values and registers its event source.
int InstallService(const char* serviceName);

#endif
