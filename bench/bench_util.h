// Helpers of the console benchmarks: statistics, the figures table, a
// pseudo-terminal peer for the baseline round trip, and the peak memory of
// a child process.
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The median of the values (0 for none).
double median(std::vector<double> values);

// A copy of a card image in reads of at most `chunk` bytes, each request
// carrying a 40-byte file request and each reply a 4-byte count before the
// data, every frame 13 bytes more: the reads it takes (the final empty one
// included) and the bytes they put on the line, both directions.
struct ImageReads {
    long reads = 0;
    long line_bytes = 0;
};
ImageReads image_reads(long image_size, long chunk);

// Milliseconds a serial line of baud needs for bytes, 10 bits a byte
// (start bit, 8 data bits, stop bit).
double line_ms(long bytes, int baud);

// The requests a simulator's trace holds past offset *from (moved to its
// end): all of them, those of the log (entry table and file reads), and
// their frames' bytes on the line, request and reply.
struct Traffic {
    long requests = 0, log_requests = 0, bytes = 0;
};
Traffic traffic_since(const std::string &trace, size_t *from);

// One row of the figures table.
struct Row {
    std::string figure;
    std::string measured;
    std::string target;
    // "ok", "MISSED", or "-" when the row has no target; "FAILED" when the
    // figure could not be measured.
    std::string verdict;
    std::string note;
};

// Prints the rows as a table with aligned columns to standard output.
void print_table(const std::vector<Row> &rows);

// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Peak resident memory (VmHWM) of a running process in KiB, -1 when it
// cannot be read.
long peak_rss_kib(pid_t pid);

// A pseudo-terminal whose master side is served by a forked minimal peer:
// for every request_len bytes it reads, it writes reply back, and nothing
// else. Its slave side is left for a RawLine or the library to open.
class EchoPeer {
  public:
    EchoPeer(size_t request_len, const std::vector<unsigned char> &reply);
    ~EchoPeer();
    EchoPeer(const EchoPeer &) = delete;
    EchoPeer &operator=(const EchoPeer &) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string &path() const { return path_; }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

// The slave side of a pseudo-terminal opened raw and non-blocking, as the
// library opens a serial port, for exchanges without the library.
class RawLine {
  public:
    explicit RawLine(const std::string &path);
    ~RawLine();
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;

    bool ok() const { return fd_ >= 0; }
    // Writes the request, then waits for and reads reply_len bytes; false
    // on an error or when they do not come within timeout_ms.
    bool exchange(const std::vector<unsigned char> &request, size_t reply_len,
                  int timeout_ms);

  private:
    int fd_ = -1;
    std::vector<unsigned char> buf_;
};

} // namespace bench

#endif
