// Console output of the library: every call is formatted first and then
// written whole under one lock, and flushed at once. A line printed by the
// event thread therefore never cuts into one of the main thread, a prompt
// without a line end is visible before input is read, and standard output
// and standard error keep their order when both reach one terminal or file.
// Text is UTF-8; on Windows a console window is given it as UTF-16, which it
// shows whatever its code page.
#include "log_sink.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#endif

#include "libcomm.h"

namespace {

#ifdef _WIN32
// Writes text to f when f is a console window (true), in UTF-16: the C
// runtime would hand the bytes to the console in a code page of its own.
bool write_console(FILE *f, const std::string &text) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    DWORD mode = 0;
    if (text.empty() || !GetConsoleMode(h, &mode))
        return false;
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()),
                                      nullptr, 0);
    if (n <= 0)
        return false;
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(),
                        n);
    fflush(f);
    DWORD written = 0;
    return WriteConsoleW(h, wide.data(), DWORD(n), &written, nullptr) != 0;
}
#endif

std::mutex log_mutex;
FILE *out_stream = nullptr; // null: stdout
FILE *err_stream = nullptr; // null: stderr

int vformat(std::string &text, const char *format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
        return n;
    }
    text.resize(static_cast<size_t>(n) + 1);
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return n;
}

int emit(bool error, const char *format, va_list args) {
    std::string text;
    if (vformat(text, format, args) < 0)
        return COMM_ERR_ARG;
    std::lock_guard<std::mutex> lock(log_mutex);
    FILE *f = error ? (err_stream ? err_stream : stderr)
                    : (out_stream ? out_stream : stdout);
#ifdef _WIN32
    if (write_console(f, text))
        return static_cast<int>(text.size());
#endif
    fwrite(text.data(), 1, text.size(), f);
    fflush(f);
    return static_cast<int>(text.size());
}

} // namespace

extern "C" {

int log_addlevel(const char *, int, int, int, int, const char *) {
    return COMM_OK;
}

int log_seterror(int, int, int, int, const char *) {
    return COMM_OK;
}

int log_write(const char *, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = emit(false, format, args);
    va_end(args);
    return n;
}

int log_append(const char *, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = emit(false, format, args);
    va_end(args);
    return n;
}

int log_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = emit(true, format, args);
    va_end(args);
    return n;
}

} // extern "C"

void log_set_streams(FILE *out, FILE *err) {
    std::lock_guard<std::mutex> lock(log_mutex);
    out_stream = out;
    err_stream = err;
}
