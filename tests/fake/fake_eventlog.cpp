// PROVISIONAL: every call fails until this area of the fake is written.
// The owner replaces this whole file.
#include "common/platform.h"

EventSource plat_register_event_source(const char* source)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_report_event(EventSource source, uint16_t type, uint32_t event_id, uint16_t count, const char** strings)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

void plat_deregister_event_source(EventSource source)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); }
