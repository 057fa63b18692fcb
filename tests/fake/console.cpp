// The console: what the commands print (on standard output and error) is captured, and a Ctrl+Break reaches
// a child only while the wrapper is attached to the child's console.
#include "common/console.h"
#include "fake/state.h"

static char* console_buffer = nullptr;
static size_t console_size = 0;

void fake::reset_console()
{
    if (ConsoleOut != nullptr) fclose(ConsoleOut);
    free(console_buffer);
    ConsoleOut = open_memstream(&console_buffer, &console_size);
    // Standard error lands in the same capture, in the order it was written.
    ConsoleErr = ConsoleOut;
}

std::string fake_console()
{
    fflush(ConsoleOut);
    return std::string(console_buffer, console_size);
}

int plat_set_console_handler(PlatConsoleHandlerFn h) { return fails("SetConsoleCtrlHandler") ? 0 : (S.console_handler = h, 1); }
int plat_free_console(void) { return fails("FreeConsole") ? 0 : (S.attached = 0, 1); }
// As on Windows, a process that has a console cannot attach to another one.
int plat_attach_console(uint32_t process_id)
{
    if (fails("AttachConsole")) return 0;
    if (S.attached != 0) return last_error = PLAT_ERROR_ACCESS_DENIED, 0;
    S.attached = process_id;
    return 1;
}

int plat_send_ctrl_break(uint32_t process_group_id)
{
    if (fails("GenerateConsoleCtrlEvent")) return 0;
    for (Child& child : S.children) {
        if (child.pid != process_group_id || child.ended || S.attached != child.pid) continue;
        note("ctrl-break child %u", child.pid);
        child_break(child);
        return 1;
    }
    return last_error = PLAT_ERROR_INVALID_PARAMETER, 0;
}
