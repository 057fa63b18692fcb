// PROVISIONAL: every call fails until this area of the fake is written.
// The owner replaces this whole file.
#include "common/platform.h"

RegKey plat_reg_root(void)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

long plat_reg_open(RegKey parent, const char* name, RegKey* out)
{ return PLAT_ERROR_CALL_NOT_IMPLEMENTED; }

long plat_reg_create(RegKey parent, const char* name, RegKey* out)
{ return PLAT_ERROR_CALL_NOT_IMPLEMENTED; }

long plat_reg_query(RegKey key, const char* name, void* buf, uint32_t* size)
{ return PLAT_ERROR_CALL_NOT_IMPLEMENTED; }

long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{ return PLAT_ERROR_CALL_NOT_IMPLEMENTED; }

long plat_reg_delete_key(RegKey parent, const char* name)
{ return PLAT_ERROR_CALL_NOT_IMPLEMENTED; }

void plat_reg_close(RegKey key)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); }
