// PROVISIONAL: every call fails until this area of the fake is written.
// The owner replaces this whole file.
#include "common/platform.h"

ScHandle plat_open_sc_manager(uint32_t access)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

ScHandle plat_open_service(ScHandle scm, const char* name, uint32_t access)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

ScHandle plat_create_service(ScHandle scm, const char* name, uint32_t access, const PlatServiceConfig* cfg)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_change_service_config(ScHandle svc, const PlatServiceConfig* cfg)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_service_description(ScHandle svc, const char* description)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_service_failure_actions_flag(ScHandle svc, int on_non_crash_failures)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_delete_service(ScHandle svc)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_start_service(ScHandle svc)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_control_service(ScHandle svc, uint32_t control)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_query_service_state(ScHandle svc, uint32_t* state)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

void plat_close_service_handle(ScHandle handle)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); }
