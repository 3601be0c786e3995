#include "platform.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace {

// The status Windows gives a console program ended by Ctrl-C.
constexpr unsigned CTRL_C_EXIT_STATUS = 0xC000013A;
// Characters one console read takes at least.
constexpr size_t CONSOLE_READ_CHARS = 1024;
// Ctrl-Z at the start of a line: the end of the input, as the C runtime
// takes it.
constexpr wchar_t CONSOLE_EOF_CHAR = 0x1A;

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

bool is_console(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Takes wake keys the event thread left in the console's input after the
// read they were meant for had ended.
void drop_wakes(HANDLE in) {
    INPUT_RECORD r;
    DWORD n = 0;
    while (PeekConsoleInputW(in, &r, 1, &n) && n == 1 &&
           r.EventType == KEY_EVENT &&
           r.Event.KeyEvent.uChar.UnicodeChar == CONSOLE_WAKE_CHAR)
        ReadConsoleInputW(in, &r, 1, &n);
}

// The line platform_getc hands out byte by byte.
std::string pending_line;
size_t pending_at = 0;
bool input_ended = false;

} // namespace

void platform_console_init() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool platform_console_in() {
    static const bool console = is_console(STD_INPUT_HANDLE);
    return console;
}

bool platform_console_out() {
    static const bool console = is_console(STD_OUTPUT_HANDLE);
    return console;
}

std::string platform_utf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()),
                            out.data(), n, nullptr, nullptr);
    return out;
}

bool platform_read_console(const std::wstring &initial, unsigned long wake_mask,
                           std::wstring *text) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    text->clear();
    std::wstring buf(std::max(CONSOLE_READ_CHARS, initial.size() * 2), L'\0');
    bool first = true;
    for (;;) {
        // The characters typed before go back to the console, which edits
        // them as if just typed (they are on the screen already).
        CONSOLE_READCONSOLE_CONTROL control{};
        control.nLength = sizeof control;
        control.nInitialChars = first ? ULONG(initial.size()) : 0;
        control.dwCtrlWakeupMask = wake_mask;
        if (first)
            std::copy(initial.begin(), initial.end(), buf.begin());
        DWORD got = 0;
        if (!ReadConsoleW(in, buf.data(), DWORD(buf.size()), &got, &control) ||
            got == 0)
            return false;
        text->append(buf.data(), got);
        first = false;
        if (text->back() == L'\n')
            break;
        const bool woken =
            wake_mask != 0 &&
            std::any_of(text->begin(), text->end(), [&](wchar_t c) {
                return c < 32 && (wake_mask & (1ul << c)) != 0;
            });
        // A line longer than the buffer comes in pieces.
        if (woken || got < buf.size())
            break;
    }
    return text->empty() || (*text)[0] != CONSOLE_EOF_CHAR;
}

int platform_getc() {
    if (!platform_console_in())
        return getc(stdin);
    if (pending_at == pending_line.size()) {
        std::wstring text;
        if (!input_ended)
            drop_wakes(GetStdHandle(STD_INPUT_HANDLE));
        if (input_ended || !platform_read_console(L"", 0, &text)) {
            input_ended = true;
            return EOF;
        }
        // The line as the C runtime's text mode gives it: "\n" for the
        // console's "\r\n", no wake key of the prompt.
        std::erase(text, CONSOLE_WAKE_CHAR);
        if (text.size() >= 2 && text[text.size() - 2] == L'\r' &&
            text.back() == L'\n')
            text.erase(text.size() - 2, 1);
        pending_line = platform_utf8(text);
        pending_at = 0;
        if (pending_line.empty())
            return platform_getc();
    }
    return static_cast<unsigned char>(pending_line[pending_at++]);
}

bool platform_input_end() {
    if (!platform_console_in())
        return feof(stdin) || ferror(stdin);
    return input_ended && pending_at == pending_line.size();
}

#else

void platform_console_init() {}

int platform_getc() {
    return getc(stdin);
}

bool platform_input_end() {
    return feof(stdin) || ferror(stdin);
}

#endif
