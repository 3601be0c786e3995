#include "platform.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>

namespace {

// The status Windows gives a console program ended by Ctrl-C.
constexpr unsigned CTRL_C_EXIT_STATUS = 0xC000013A;

// Runs on a thread of its own. The process ends there and then, like a
// POSIX process on SIGINT: no destructor runs while the library's threads
// are still at work, and the system closes the port.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        _exit(static_cast<int>(CTRL_C_EXIT_STATUS));
    default:
        return FALSE;
    }
}

} // namespace

void platform_console_init() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
#else
void platform_console_init() {}
#endif
