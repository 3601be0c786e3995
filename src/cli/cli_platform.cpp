#include "cli_platform.h"

#include <cstdlib>

#include "libcomm.h"
#include "mxx_comm.h"
#include "ops.h"

#ifdef _WIN32
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <chrono>
#include <thread>
#else
#include <csignal>
#include <poll.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// Highest COM number Windows gives a port.
constexpr int COM_PORT_MAX = 255;
// How often a pipe is looked at for input.
constexpr int PIPE_POLL_MS = 20;
// Console input records taken in one read.
constexpr DWORD INPUT_RECORDS = 64;

HANDLE handle_of(FILE *stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Runs on a thread of its own, which Windows starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (!op_stop_requested()) {
            op_request_stop();
            return TRUE;
        }
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    // At once, as a POSIX process ends on a second SIGINT: no destructor
    // runs while the library's threads are at work; the system closes the
    // port and the files.
    _exit(OP_INTERRUPTED);
}

// A console: the key events that came within ms are taken; true when one
// of them is Enter. What else was typed is dropped, as nothing reads it.
bool console_line(HANDLE in, int ms) {
    if (WaitForSingleObject(in, DWORD(ms)) != WAIT_OBJECT_0)
        return false;
    INPUT_RECORD records[INPUT_RECORDS];
    DWORD n = 0;
    if (!ReadConsoleInputW(in, records, INPUT_RECORDS, &n))
        return true; // the console is gone: the end of the input
    for (DWORD i = 0; i < n; i++) {
        const INPUT_RECORD &r = records[i];
        if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown &&
            r.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
            return true;
    }
    return false;
}

// A pipe: true once it holds bytes or its writer has closed it.
bool pipe_input(HANDLE in, int ms) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr) ||
            avail > 0)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        std::this_thread::sleep_for(
            std::min(left, std::chrono::milliseconds(PIPE_POLL_MS)));
    }
}

} // namespace

bool cli_is_terminal(FILE *stream) {
    DWORD mode = 0;
    return GetConsoleMode(handle_of(stream), &mode) != 0;
}

void cli_install_interrupt() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool cli_wait_input(int ms) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE)
        return true; // no input at all: its end
    DWORD mode = 0;
    if (GetConsoleMode(in, &mode))
        return console_line(in, ms);
    if (GetFileType(in) == FILE_TYPE_PIPE)
        return pipe_input(in, ms);
    return true; // a file or NUL: read at once, as poll says of a file
}

void cli_set_env(const char *name, const char *value) {
    _putenv_s(name, value);
}

std::string cli_port_alias(const std::string &port) {
    if (port.size() < 4 || port.size() > 6 ||
        (port[0] != 'C' && port[0] != 'c') ||
        (port[1] != 'O' && port[1] != 'o') ||
        (port[2] != 'M' && port[2] != 'm') || port[3] == '0')
        return port;
    int number = 0;
    for (size_t i = 3; i < port.size(); i++) {
        if (port[i] < '0' || port[i] > '9')
            return port;
        number = number * 10 + (port[i] - '0');
    }
    if (number < 1 || number > COM_PORT_MAX)
        return port;
    char conn[COMM_STR_SIZE] = "";
    if (MXX_make_serial_conn_string(conn, number) != 0)
        return port;
    return conn;
}

#else

namespace {

// The first Ctrl-C asks the transfer to stop at the next request boundary,
// a second one ends the program at once.
void on_sigint(int) {
    if (op_stop_requested()) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
        return;
    }
    op_request_stop();
}

} // namespace

bool cli_is_terminal(FILE *stream) {
    return isatty(fileno(stream)) != 0;
}

void cli_install_interrupt() {
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

bool cli_wait_input(int ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, ms) > 0; // a line, or the end of the input
}

void cli_set_env(const char *name, const char *value) {
    setenv(name, value, 1);
}

std::string cli_port_alias(const std::string &port) {
    return port;
}

#endif
