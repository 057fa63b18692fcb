// Console control events.
//
// SetConsoleCtrlHandler calls its routine with the WINAPI convention on a
// thread the system creates; the logic's handler is a plain function, so the
// system gets a trampoline and the logic's pointer waits in a file-scope
// variable (the process installs one handler).
#include <windows.h>

#include "common/platform.h"

static PlatConsoleHandlerFn g_console_handler;

static BOOL WINAPI console_handler_trampoline(DWORD ctrl_type)
{
    if (g_console_handler == NULL) return FALSE;
    return g_console_handler(ctrl_type) ? TRUE : FALSE;
}

int plat_set_console_handler(PlatConsoleHandlerFn handler)
{
    g_console_handler = handler;
    // A null routine would mean "ignore Ctrl+C" to the system, which is not
    // what a missing handler should do; the trampoline declines the event
    // instead, so the next handler in the chain sees it.
    return SetConsoleCtrlHandler(console_handler_trampoline, TRUE) ? 1 : 0;
}

int plat_free_console(void)
{
    return FreeConsole() ? 1 : 0;
}

int plat_attach_console(uint32_t process_id)
{
    return AttachConsole(process_id) ? 1 : 0;
}

int plat_send_ctrl_break(uint32_t process_group_id)
{
    return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_group_id) ? 1 : 0;
}
