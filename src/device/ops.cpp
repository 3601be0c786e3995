#include "ops.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "libcomm.h"

namespace {

class NoProgress : public Progress {
  public:
    void begin(uint64_t, ProgressUnit) override {}
    void advance(uint64_t) override {}
    void end() override {}
};

std::atomic<bool> narration{true};

void print_line(const char *text) {
    log_write("MAIN", "%s", text);
}

// Set before the event thread starts, read on it.
std::atomic<void (*)(const char *)> event_sink{print_line};

// Set once by the command line before any operation runs.
std::atomic<void (*)(const char *, const char *, int)> file_failure_sink{
    nullptr};

// Written by the signal handler, read between requests.
std::atomic<bool> stop_requested{false};

} // namespace

std::string op_vformat(const char *format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

Progress &no_progress() {
    static NoProgress none;
    return none;
}

namespace {

// Formats a narration line and hands it to sink, unless narration is off.
void narrate(void (*sink)(const char *), const char *format, va_list args) {
    if (!narration)
        return;
    sink(op_vformat(format, args).c_str());
}

} // namespace

void op_text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    narrate(print_line, format, args);
    va_end(args);
}

void op_event_text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    narrate(event_sink.load(), format, args);
    va_end(args);
}

void op_set_event_sink(void (*sink)(const char *text)) {
    event_sink = sink ? sink : print_line;
}

void op_text_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = op_vformat(format, args);
    va_end(args);
    if (narration)
        log_write("MAIN", "%s", text.c_str());
    else
        log_error("%s", text.c_str());
}

void op_set_narration(bool on) {
    narration = on;
}

bool op_narration() {
    return narration;
}

bool op_file_failure(const char *what, const char *path, int err) {
    auto *sink = file_failure_sink.load();
    if (!sink)
        return false;
    sink(what, path, err);
    return true;
}

void op_set_file_failure_sink(void (*sink)(const char *, const char *, int)) {
    file_failure_sink = sink;
}

void op_request_stop() {
    stop_requested = true;
}

void op_clear_stop() {
    stop_requested = false;
}

bool op_stop_requested() {
    return stop_requested;
}
