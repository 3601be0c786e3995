#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "mxx_comm.h"
#include "v21_comm.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Frames and file reads on the wire.
constexpr long FRAME_OVERHEAD = MXX_FRAME_OVERHEAD;   // header and payload sum
constexpr long FILE_REQUEST_HEAD = V21_FILE_REQ_SIZE; // name, offset, length
constexpr long READ_COUNT_SIZE = 4; // the count before the data
constexpr int BITS_PER_BYTE = 10;   // start bit, 8 data bits, stop bit

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The settings the library gives a serial port, on the slave side.
bool configure_raw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The peer: blocking reads of the master side until a request is whole,
// then the reply in one write. Ends when the slave side is closed (or is
// killed); in holds request_len bytes, allocated before the fork.
[[noreturn]] void serve(int master, size_t request_len,
                        const std::vector<unsigned char> &reply,
                        std::vector<unsigned char> &in) {
    for (;;) {
        size_t got = 0;
        while (got < request_len) {
            ssize_t n = read(master, in.data() + got, request_len - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                _exit(0);
            got += static_cast<size_t>(n);
        }
        size_t done = 0;
        while (done < reply.size()) {
            ssize_t n = write(master, reply.data() + done, reply.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                _exit(0);
            done += static_cast<size_t>(n);
        }
    }
}

} // namespace

ImageReads image_reads(long image_size, long chunk) {
    ImageReads r;
    if (chunk <= 0)
        return r;
    for (long left = image_size < 0 ? 0 : image_size;;) {
        const long count = std::min(left, chunk);
        r.reads++;
        r.line_bytes += (FRAME_OVERHEAD + FILE_REQUEST_HEAD) +
                        (FRAME_OVERHEAD + READ_COUNT_SIZE + count);
        left -= count;
        if (count == 0)
            return r;
    }
}

Traffic traffic_since(const std::string &trace, size_t *from) {
    std::ifstream f(trace, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(f)),
                           std::istreambuf_iterator<char>());
    Traffic t;
    size_t pos = std::min(*from, text.size());
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        unsigned code = 0;
        size_t req = line.find(" req ");
        if (req == std::string::npos ||
            sscanf(line.c_str() + req, " req %u", &code) != 1)
            continue;
        t.requests++;
        if (code == V21_CODE_GET_LOG_ENTRIES || code == V21_CODE_READ_FILE)
            t.log_requests++;
        size_t at = line.find(" bytes=");
        unsigned long in = 0, out = 0;
        if (at != std::string::npos &&
            sscanf(line.c_str() + at, " bytes=%lu+%lu", &in, &out) == 2)
            t.bytes += long(in + out);
    }
    *from = text.size();
    return t;
}

double line_ms(long bytes, int baud) {
    return baud > 0 ? double(bytes) * BITS_PER_BYTE * 1000 / baud : 0;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    auto mid = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    if (values.size() % 2 == 1)
        return *mid;
    double upper = *mid;
    double lower = *std::max_element(values.begin(), mid);
    return (lower + upper) / 2;
}

std::string format(const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

void print_table(const std::vector<Row> &rows) {
    const Row head = {"figure", "measured", "target", "verdict", "note"};
    size_t w[4] = {head.figure.size(), head.measured.size(), head.target.size(),
                   head.verdict.size()};
    for (const Row &r : rows) {
        w[0] = std::max(w[0], r.figure.size());
        w[1] = std::max(w[1], r.measured.size());
        w[2] = std::max(w[2], r.target.size());
        w[3] = std::max(w[3], r.verdict.size());
    }
    auto line = [&](const Row &r) {
        printf("| %-*s | %-*s | %-*s | %-*s | %s\n", int(w[0]),
               r.figure.c_str(), int(w[1]), r.measured.c_str(), int(w[2]),
               r.target.c_str(), int(w[3]), r.verdict.c_str(), r.note.c_str());
    };
    line(head);
    printf("|-%s-|-%s-|-%s-|-%s-|-----\n", std::string(w[0], '-').c_str(),
           std::string(w[1], '-').c_str(), std::string(w[2], '-').c_str(),
           std::string(w[3], '-').c_str());
    for (const Row &r : rows)
        line(r);
    fflush(stdout);
}

long peak_rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

EchoPeer::EchoPeer(size_t request_len,
                   const std::vector<unsigned char> &reply) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[PATH_MAX];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0)
            close(master);
        return;
    }
    termios tio;
    if (tcgetattr(master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    path_ = name;
    std::vector<unsigned char> in(request_len);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Never outlives the benchmark, whatever way it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        serve(master, request_len, reply, in);
    }
    close(master);
}

EchoPeer::~EchoPeer() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
}

RawLine::RawLine(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0 && !configure_raw(fd_)) {
        close(fd_);
        fd_ = -1;
    }
}

RawLine::~RawLine() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawLine::exchange(const std::vector<unsigned char> &request,
                       size_t reply_len, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    buf_.resize(reply_len);
    size_t done = 0;
    while (done < request.size()) {
        ssize_t n = write(fd_, request.data() + done, request.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p = {fd_, POLLOUT, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return false;
    }
    // Wait, then read what is there, as the library's reader does.
    size_t got = 0;
    while (got < reply_len) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return false;
        ssize_t n = read(fd_, buf_.data() + got, reply_len - got);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
    return true;
}

} // namespace bench
