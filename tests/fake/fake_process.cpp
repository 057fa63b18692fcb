// PROVISIONAL: every call fails until this area of the fake is written.
// The owner replaces this whole file.
#include "common/platform.h"

char* plat_environment_block(void)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

void plat_free_environment_block(char* block)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); }

uint32_t plat_get_env(const char* name, char* buf, uint32_t cap)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_env(const char* name, const char* value)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_create_pipe(PlatHandle* read_end, PlatHandle* write_end, uint32_t buffer_size)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_duplicate_private(PlatHandle source, PlatHandle* out)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_close_handle(PlatHandle handle)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_peek_pipe(PlatHandle pipe, uint32_t* available)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_read_file(PlatHandle h, void* buf, uint32_t size, uint32_t* got)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_write_file(PlatHandle h, const void* buf, uint32_t size, uint32_t* written)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

PlatHandle plat_get_std_handle(int which)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_std_handle(int which, PlatHandle handle)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_create_process(char* command_line, const char* current_directory, int inherit_handles, uint32_t creation_flags, const PlatStartupInfo* startup, PlatProcessInfo* process)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_terminate_process(PlatHandle process, uint32_t exit_code)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_process_exit_code(PlatHandle process, uint32_t* code)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

uint32_t plat_wait(PlatHandle handle, uint32_t milliseconds)
{ return PLAT_WAIT_FAILED; }

PlatHandle plat_create_thread(PlatThreadFn fn, void* parameter)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_terminate_thread(PlatHandle thread, uint32_t exit_code)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

PlatHandle plat_create_event(void)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_set_event(PlatHandle event)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_free_console(void)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_attach_console(uint32_t process_id)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }

int plat_send_ctrl_break(uint32_t process_group_id)
{ plat_set_last_error(PLAT_ERROR_CALL_NOT_IMPLEMENTED); return 0; }
