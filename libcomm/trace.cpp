// The byte trace: with VO62_TRACE naming a file, every byte written and
// received is appended to it as timestamped hexadecimal lines, for example
//
//   2025-03-14 09:26:53.104211 c1 TX 0000: 44 45 56 4f 47 1f 00 00 ...
//
// with the connection's identifier, the direction (TX written, RX received)
// and the offset of the line's first byte within the chunk. Lines of
// opening, closing and errors are marked "--". Off, it costs one atomic load.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "comm_internal.h"

namespace comm {

namespace {

constexpr int BYTES_PER_LINE = 32;
// Appended as text, and not handed to child processes.
#ifdef _WIN32
constexpr const char *TRACE_MODE = "aN";
#else
constexpr const char *TRACE_MODE = "ae";
#endif

std::atomic<bool> enabled{false};
std::mutex trace_mutex;
FILE *trace_file = nullptr; // guarded by trace_mutex

void stamp(char *out, size_t size) {
    auto now = std::chrono::system_clock::now();
    time_t secs = std::chrono::system_clock::to_time_t(now);
    long micros =
        static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                              now.time_since_epoch())
                              .count() %
                          1000000);
    tm local;
    localtime_r(&secs, &local);
    size_t n = strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(out + n, size - n, ".%06ld", micros);
}

} // namespace

void trace_start() {
    const char *path = getenv("VO62_TRACE");
    if (!path || !*path)
        return;
    // "-" is standard error, on every system.
    const bool to_stderr = strcmp(path, "-") == 0;
    FILE *f = to_stderr ? stderr : fopen(path, TRACE_MODE);
    if (!f) {
        log_error("\nCannot open the trace file %s: %s\n", path,
                  strerror(errno));
        return;
    }
    std::lock_guard<std::mutex> lock(trace_mutex);
    trace_file = f;
    enabled = true;
}

void trace_stop() {
    std::lock_guard<std::mutex> lock(trace_mutex);
    enabled = false;
    if (trace_file && trace_file != stderr)
        fclose(trace_file);
    trace_file = nullptr;
}

bool trace_on() {
    return enabled.load(std::memory_order_relaxed);
}

void trace_bytes(int id, const char *dir, const unsigned char *data, int len) {
    if (!trace_on())
        return;
    char when[48];
    stamp(when, sizeof when);
    std::lock_guard<std::mutex> lock(trace_mutex);
    if (!trace_file)
        return;
    for (int at = 0; at < len; at += BYTES_PER_LINE) {
        fprintf(trace_file, "%s c%d %s %04x:", when, id, dir, at);
        for (int i = at; i < len && i < at + BYTES_PER_LINE; i++)
            fprintf(trace_file, " %02x", data[i]);
        fputc('\n', trace_file);
    }
    fflush(trace_file);
}

void trace_note(int id, const std::string &what) {
    if (!trace_on())
        return;
    char when[48];
    stamp(when, sizeof when);
    std::lock_guard<std::mutex> lock(trace_mutex);
    if (!trace_file)
        return;
    fprintf(trace_file, "%s c%d -- %s\n", when, id, what.c_str());
    fflush(trace_file);
}

} // namespace comm
