#include "line_edit.h"

#ifdef _WIN32
// The Windows console edits the line itself (cooked mode: arrow keys, Home,
// End, Esc, F7 and F8 its history). A line of the event thread that
// arrives while a command is being typed ends the console's read early: a
// wake key is put into the console's input, the read returns what was
// typed so far, the text is printed where the prompt stood, and the prompt
// and the typed text are drawn again below it, where the console goes on
// editing them.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "libcomm.h"
#include "platform.h"

namespace {

std::mutex mutex;
bool editing = false;   // under mutex: a line is being typed
bool wake_sent = false; // under mutex: a wake key is in the console's input
std::string pending;    // under mutex: event-thread text not yet shown

// Puts the wake key into the console's input: the read under way returns.
void send_wake() {
    INPUT_RECORD r{};
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = TRUE;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.uChar.UnicodeChar = CONSOLE_WAKE_CHAR;
    DWORD written = 0;
    WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), &r, 1, &written);
}

// Positions in the console's buffer counted in cells from its start.
struct Screen {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    Screen() { GetConsoleScreenBufferInfo(out, &info); }
    long width() const { return info.dwSize.X > 0 ? info.dwSize.X : 1; }
    long cursor() const {
        return long(info.dwCursorPosition.Y) * width() +
               info.dwCursorPosition.X;
    }
    COORD at(long cell) const {
        if (cell < 0)
            cell = 0;
        return COORD{SHORT(cell % width()), SHORT(cell / width())};
    }
    bool shows(long cell, const std::wstring &text) const {
        std::wstring there(text.size(), L'\0');
        DWORD n = 0;
        return !text.empty() &&
               ReadConsoleOutputCharacterW(out, there.data(),
                                           DWORD(there.size()), at(cell), &n) &&
               n == text.size() && there == text;
    }
};

// Blanks the prompt and the text typed after it, which were drawn from
// cell start on (unless the buffer has scrolled since: then they end at the
// cursor), and puts the cursor where they began.
void clear_prompt(long start, const std::wstring &prompt, size_t typed) {
    const Screen s;
    const long cells = long(prompt.size() + typed);
    if (!s.shows(start, prompt))
        start = s.cursor() - cells;
    // Up to the end of the last row the text took.
    const long end = (start + cells) / s.width() * s.width() + s.width();
    DWORD done = 0;
    FillConsoleOutputCharacterW(s.out, L' ', DWORD(end - start), s.at(start),
                                &done);
    SetConsoleCursorPosition(s.out, s.at(start));
}

std::wstring wide(const char *text) {
    std::wstring out;
    for (const char *p = text; *p; p++)
        out += wchar_t(static_cast<unsigned char>(*p));
    return out;
}

// The event thread's text gathered so far, taken.
std::string take_pending() {
    std::lock_guard<std::mutex> lock(mutex);
    wake_sent = false;
    std::string text;
    text.swap(pending);
    return text;
}

} // namespace

bool line_edit_available() {
    static const bool available =
        platform_console_in() && platform_console_out();
    return available;
}

bool line_edit_read(const char *prompt, char *buf, int size) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        editing = true;
    }
    // The prompt is ASCII (">").
    const std::wstring wide_prompt = wide(prompt);
    std::wstring typed, got;
    bool line = false;
    for (;;) {
        const std::string text = take_pending();
        if (!text.empty()) {
            log_write("MAIN", "%s", text.c_str());
            if (text.back() != '\n')
                log_write("MAIN", "\n");
        }
        log_write("MAIN", "%s%s", prompt, platform_utf8(typed).c_str());
        const long start =
            Screen().cursor() - long(wide_prompt.size() + typed.size());
        if (!platform_read_console(typed, 1ul << CONSOLE_WAKE_CHAR, &got))
            break;
        std::erase(got, CONSOLE_WAKE_CHAR);
        if (!got.empty() && got.back() == L'\n') {
            line = true;
            break;
        }
        // Woken: the text goes where the prompt stood.
        typed = got;
        clear_prompt(start, wide_prompt, typed.size());
    }
    std::string late;
    {
        std::lock_guard<std::mutex> lock(mutex);
        editing = false;
        wake_sent = false;
        late.swap(pending);
    }
    if (!late.empty())
        log_write("MAIN", "%s", late.c_str());
    if (!line) {
        log_write("MAIN", "\n");
        if (size > 0)
            buf[0] = 0;
        return false;
    }
    while (!got.empty() && (got.back() == L'\n' || got.back() == L'\r'))
        got.pop_back();
    if (size > 0)
        snprintf(buf, size_t(size), "%s", platform_utf8(got).c_str());
    return true;
}

void line_edit_print(const char *text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (editing) {
            pending += text;
            if (!wake_sent) {
                wake_sent = true;
                send_wake();
            }
            return;
        }
    }
    log_write("MAIN", "%s", text);
}

#else

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <editline/readline.h>

#include "libcomm.h"

namespace {

constexpr mode_t STATE_DIR_MODE = 0700;

std::mutex mutex;
bool editing = false; // under mutex: a line is being typed
std::string pending;  // under mutex: event-thread text not yet shown
int wake_pipe[2] = {-1, -1};

bool line_done = false; // main thread only
bool line_eof = false;
std::string line_text;
std::string history_path;

void on_line(char *line) {
    line_done = true;
    line_eof = line == nullptr;
    line_text = line ? line : "";
    free(line);
}

// Makes the directory of the history file, parents included.
bool make_dirs(const std::string &dir) {
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at != dir.size() && dir[at] != '/')
            continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), STATE_DIR_MODE) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Sets libedit up once: no signal handling of its own (Ctrl-C ends the
// program as before), the history read from its file.
void set_up() {
    static bool done = false;
    if (done)
        return;
    done = true;
    rl_readline_name = "ra62d2ide";
    rl_catch_signals = 0;
    rl_instream = stdin;
    rl_outstream = stdout;
    using_history();
    stifle_history(LINE_EDIT_HISTORY_MAX);
    if (pipe(wake_pipe) == 0) {
        fcntl(wake_pipe[0], F_SETFL, O_NONBLOCK);
        fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);
    }
    std::string dir;
    if (const char *state = getenv("XDG_STATE_HOME"); state && *state)
        dir = std::string(state) + "/ra62d2ide";
    else if (const char *home = getenv("HOME"); home && *home)
        dir = std::string(home) + "/.local/state/ra62d2ide";
    if (!dir.empty() && make_dirs(dir)) {
        history_path = dir + "/history";
        read_history(history_path.c_str());
    }
}

// Shows the event thread's text above the line being typed.
void show_pending() {
    char drain[64];
    while (read(wake_pipe[0], drain, sizeof drain) > 0) {
    }
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex);
        text.swap(pending);
    }
    if (text.empty())
        return;
    // Back to the line's start and clear it, the text, then the prompt and
    // what was typed on a line of their own.
    log_write("MAIN", "\r\033[K%s", text.c_str());
    if (text.back() != '\n')
        log_write("MAIN", "\n");
    rl_forced_update_display();
    fflush(stdout);
}

} // namespace

bool line_edit_available() {
    static const bool available = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    return available;
}

bool line_edit_read(const char *prompt, char *buf, int size) {
    set_up();
    line_done = false;
    line_eof = false;
    // Event-thread text is held from before the prompt shows, so none can
    // land between the prompt and the typed text.
    {
        std::lock_guard<std::mutex> lock(mutex);
        editing = true;
    }
    rl_callback_handler_install(prompt, on_line);
    show_pending();
    while (!line_done) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        const int n = poll(fds, wake_pipe[0] >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            line_done = line_eof = true;
            break;
        }
        if (wake_pipe[0] >= 0 && (fds[1].revents & POLLIN))
            show_pending();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            rl_callback_read_char();
    }
    rl_callback_handler_remove();
    std::string late;
    {
        std::lock_guard<std::mutex> lock(mutex);
        editing = false;
        late.swap(pending);
    }
    if (!late.empty())
        log_write("MAIN", "%s", late.c_str());
    if (line_eof) {
        log_write("MAIN", "\n");
        if (size > 0)
            buf[0] = 0;
        return false;
    }
    if (!line_text.empty() &&
        line_text.find_first_not_of(" \t") != std::string::npos) {
        add_history(line_text.c_str());
        if (!history_path.empty())
            write_history(history_path.c_str());
    }
    if (size > 0)
        snprintf(buf, size_t(size), "%s", line_text.c_str());
    return true;
}

void line_edit_print(const char *text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (editing) {
            pending += text;
            if (wake_pipe[1] >= 0) {
                const ssize_t w = write(wake_pipe[1], "x", 1);
                (void)w; // a full pipe wakes the reader all the same
            }
            return;
        }
    }
    log_write("MAIN", "%s", text);
}

#endif
