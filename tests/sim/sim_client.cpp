#include "sim_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;
constexpr uint16_t kLiveData = 9302;

int ms_left(Clock::time_point deadline) {
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    return d.count() > 0 ? static_cast<int>(d.count()) : 0;
}
} // namespace

ByteVec encode_request(uint16_t code, const ByteVec &payload, uint16_t param) {
    ByteVec f = {'D', 'E', 'V', 'O'};
    add_u16(f, code);
    add_u16(f, static_cast<uint16_t>(payload.size() + 1));
    add_u16(f, param);
    f.push_back(0);
    uint8_t h = 0;
    for (uint8_t b : f)
        h ^= b;
    f.push_back(h);
    uint8_t d = 0;
    for (uint8_t b : payload) {
        f.push_back(b);
        d ^= b;
    }
    f.push_back(d);
    return f;
}

void add_u16(ByteVec &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void add_u32(ByteVec &b, uint32_t v) {
    add_u16(b, static_cast<uint16_t>(v));
    add_u16(b, static_cast<uint16_t>(v >> 16));
}
uint16_t get_u16(const ByteVec &b, size_t off) {
    if (off + 2 > b.size())
        return 0;
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}
uint32_t get_u32(const ByteVec &b, size_t off) {
    if (off + 4 > b.size())
        return 0;
    return static_cast<uint32_t>(get_u16(b, off)) |
           (static_cast<uint32_t>(get_u16(b, off + 2)) << 16);
}
float get_f32(const ByteVec &b, size_t off) {
    uint32_t v = get_u32(b, off);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}
ByteVec u32_payload(uint32_t v) {
    ByteVec b;
    add_u32(b, v);
    return b;
}
ByteVec file_request(const std::string &name, uint32_t a, uint32_t b,
                     const ByteVec &data) {
    ByteVec p(32, 0);
    std::memcpy(p.data(), name.data(), std::min<size_t>(32, name.size()));
    add_u32(p, a);
    add_u32(p, b);
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

bool SimClient::open_pty(const std::string &path) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        return false;
    termios t;
    if (tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    tcflush(fd_, TCIOFLUSH);
    return true;
}

bool SimClient::open_tcp(int port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ < 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    return true;
}

void SimClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    rx_.clear();
}

bool SimClient::send_raw(const ByteVec &bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) &&
                   ms_left(deadline) > 0) {
            pollfd p = {fd_, POLLOUT, 0};
            poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}

// Decodes one frame from the front of rx_, skipping bytes before "DEVO".
bool SimClient::take_frame(WireFrame &out) {
    for (;;) {
        size_t start = 0;
        while (start + 4 <= rx_.size() &&
               std::memcmp(rx_.data() + start, "DEVO", 4) != 0)
            start++;
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(start));
        if (rx_.size() < 12)
            return false;
        uint8_t h = 0;
        for (size_t i = 0; i < 12; i++)
            h ^= rx_[i];
        if (h != 0) {
            rx_.erase(rx_.begin());
            continue;
        }
        size_t len = get_u16(rx_, 6);
        if (rx_.size() < 12 + len)
            return false;
        uint8_t d = 0;
        for (size_t i = 0; i < len; i++)
            d ^= rx_[12 + i];
        if (d != 0) {
            rx_.erase(rx_.begin());
            continue;
        }
        out.code = get_u16(rx_, 4);
        out.param = get_u16(rx_, 8);
        out.status = rx_[10];
        out.payload.assign(rx_.begin() + 12,
                           rx_.begin() + 12 +
                               static_cast<long>(len ? len - 1 : 0));
        rx_.erase(rx_.begin(), rx_.begin() + 12 + static_cast<long>(len));
        return true;
    }
}

bool SimClient::next_frame(WireFrame &out, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (take_frame(out))
            return true;
        if (fd_ < 0)
            return false;
        pollfd p = {fd_, POLLIN, 0};
        int left = ms_left(deadline);
        if (poll(&p, 1, left) <= 0)
            return false;
        uint8_t buf[65536];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            rx_.insert(rx_.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
}

bool SimClient::request(uint16_t code, const ByteVec &payload, WireFrame &reply,
                        int timeout_ms, uint16_t param) {
    if (!send_raw(encode_request(code, payload, param)))
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!next_frame(reply, ms_left(deadline)))
            return false;
        if (reply.code != kLiveData)
            return true;
        events_.push_back(reply);
    }
}

bool SimClient::wait_hangup(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (fd_ >= 0) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return false;
        if (p.revents & (POLLHUP | POLLERR))
            return true;
        uint8_t buf[4096];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}
