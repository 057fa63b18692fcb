// PROVISIONAL: every call fails until this area of the fake is written.
// The owner replaces this whole file.
#include "common/platform.h"

int plat_start_service_dispatcher(PlatServiceMainFn service_main)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

StatusHandle plat_register_control_handler(const char* name, PlatControlHandlerFn handler)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_service_status(StatusHandle handle, const PlatServiceStatus* status)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_os_major_version(uint32_t* major)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_console_handler(PlatConsoleHandlerFn handler)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }
