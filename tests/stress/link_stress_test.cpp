// The device link under load with real threads: the communication library's
// reader thread, the transaction's thread and an instrument played by a
// thread of its own, over a loopback TCP connection. The instrument answers
// late (holding back everything behind the late reply, as a stalled line
// does, then releasing what queued in one write or one by one with a gap of
// tens to hundreds of microseconds; it answers every try it receives, so a
// retried request is answered two or three times), twice in one write,
// with a retry or failure reply, or not at all, in a mix drawn from a seed.
// Every request carries its own number and every reply the number of the
// request it answers, so each payload a transaction returns is checked against
// the request it answers.
//
// VO62_STRESS_SEED and VO62_STRESS_TRANSACTIONS override the seed and the
// count, to repeat a failing run or to run longer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libcomm.h"
#include "mxx_comm.h"
#include "v21_comm.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kRead = 8211;
constexpr int kTimeoutMs = 4;
constexpr int kTries = 3;
constexpr long kDefaultTransactions = 100000;
constexpr unsigned kDefaultSeed = 20261209;
// Most time one gap of a released queue takes, and the least.
constexpr int kGapMinUs = 30;
constexpr int kGapMaxUs = 500;
constexpr int kConnectMs = 5000;

long env_long(const char *name, long fallback) {
    const char *v = getenv(name);
    return v != nullptr && *v != 0 ? strtol(v, nullptr, 10) : fallback;
}

Bytes make_frame(int code, const Bytes &payload) {
    Bytes f(12 + payload.size() + 1, 0);
    f[0] = 'D';
    f[1] = 'E';
    f[2] = 'V';
    f[3] = 'O';
    f[4] = static_cast<unsigned char>(code);
    f[5] = static_cast<unsigned char>(code >> 8);
    const size_t length = payload.size() + 1;
    f[6] = static_cast<unsigned char>(length);
    f[7] = static_cast<unsigned char>(length >> 8);
    for (int i = 0; i < 11; i++)
        f[11] ^= f[i];
    unsigned char x = 0;
    for (size_t i = 0; i < payload.size(); i++) {
        f[12 + i] = payload[i];
        x ^= payload[i];
    }
    f[12 + payload.size()] = x;
    return f;
}

Bytes u32le(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}

uint32_t get_u32(const unsigned char *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

// A read's reply: the request's number, then bytes made from it, so that a
// reply cut or mixed with another's is seen too.
Bytes read_reply(uint32_t n) {
    Bytes p = u32le(n);
    for (int i = 0; i < 28; i++)
        p.push_back(static_cast<unsigned char>(n * 31 + i));
    return make_frame(kRead + 1000, p);
}

// The instrument: frames requests off the socket, and sends replies through
// an outgoing queue that keeps their order, as a serial line does.
class Instrument {
  public:
    struct Tally {
        long late = 0, twice = 0, lost = 0, retry = 0, fail = 0, gaps = 0;
    };

    explicit Instrument(unsigned seed) : rng_(seed) {}

    void start(int listen_fd) {
        thread_ = std::thread([this, listen_fd] { run(listen_fd); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // Whether a retry or failure reply was sent for request n.
    bool refused(uint32_t n) {
        std::lock_guard<std::mutex> lock(m_);
        return refused_.count(n) != 0;
    }
    Tally tally() {
        std::lock_guard<std::mutex> lock(m_);
        return tally_;
    }
    // What the instrument did with the requests around n, for a failure's
    // message.
    std::string around(uint32_t n) {
        std::lock_guard<std::mutex> lock(m_);
        std::string out;
        for (const auto &[k, what] : log_)
            if (k + 4 >= n && k <= n + 1)
                out += "  request " + std::to_string(k) + ": " + what + "\n";
        return out;
    }

  private:
    struct Out {
        Clock::time_point at;
        Bytes bytes;
        int gap_us; // after a stall: written one by one with this gap
    };

    int pick(int n) { return static_cast<int>(rng_() % unsigned(n)); }

    void on_request(int code, const Bytes &payload) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(m_);
        if (code != kRead) {
            // The link's proof of the line and identification: always
            // answered, in order behind whatever is queued.
            queue(now, make_frame(code + 1000,
                                  {'A', '0', '0', '0', '1', '2', '3', '4'}));
            return;
        }
        const uint32_t n = payload.size() >= 4 ? get_u32(payload.data()) : 0;
        const int roll = pick(1000);
        std::string &what = log_[n];
        const long long us =
            std::chrono::duration_cast<std::chrono::microseconds>(now - epoch_)
                .count();
        what += " [" + std::to_string(us) + " us] ";
        if (roll < 4) {
            what += "lost";
            tally_.lost++;
            return;
        }
        if (roll < 7) {
            what += "retry";
            refused_.insert(n);
            tally_.retry++;
            queue(now, make_frame(12289, u32le(n)));
            return;
        }
        if (roll < 10) {
            what += "failure";
            refused_.insert(n);
            tally_.fail++;
            queue(now, make_frame(12290, u32le(n)));
            return;
        }
        if (roll < 14 && out_.empty()) {
            // The same reply twice, back to back in one write, on an idle
            // line. (A copy sent of the instrument's own accord while a
            // request's reply is missing would make the count come out
            // even: without sequence numbers no link can tell that copy
            // from the missing reply. Real links do not copy frames; the
            // replies to a request's retries are what "late" sends.)
            what += "twice";
            tally_.twice++;
            Bytes twice = read_reply(n);
            const Bytes again = read_reply(n);
            twice.insert(twice.end(), again.begin(), again.end());
            queue(now, twice);
            return;
        }
        if (roll < 22) {
            // The line stalls before this reply: it and everything behind
            // it wait, then come close together.
            tally_.late++;
            const int hold_us = kTimeoutMs * 1000 + pick(3 * kTimeoutMs * 1000);
            int gap = -1;
            if (pick(2) == 0) {
                gap = kGapMinUs + pick(kGapMaxUs - kGapMinUs + 1);
                tally_.gaps++;
            }
            what += "late " + std::to_string(hold_us) + " us, gap " +
                    std::to_string(gap);
            queue(now + std::chrono::microseconds(hold_us), read_reply(n), gap);
            return;
        }
        what += "on time";
        queue(now, read_reply(n));
    }

    // Queues bytes to leave no earlier than at, and never before what was
    // queued before them; m_ held. A stall (stall_gap given: -1 for all at
    // once, else the gap in microseconds) decides how the replies queued
    // behind it are released.
    void queue(Clock::time_point at, Bytes bytes, int stall_gap = -2) {
        int gap = -1;
        if (out_.empty())
            stall_gap_us_ = -1;
        if (!out_.empty()) {
            if (at < out_.back().at)
                at = out_.back().at;
            gap = stall_gap_us_;
            if (gap >= 0)
                at += std::chrono::microseconds(gap);
        }
        if (stall_gap >= -1)
            stall_gap_us_ = stall_gap;
        out_.push_back(Out{at, std::move(bytes), gap});
    }

    // Writes what is due: everything due at once in one write, except that
    // replies released with a gap each go alone.
    void flush(int fd) {
        Bytes chunk;
        const auto now = Clock::now();
        while (!out_.empty() && out_.front().at <= now) {
            if (out_.front().gap_us >= 0 && !chunk.empty())
                break;
            const bool alone = out_.front().gap_us >= 0;
            chunk.insert(chunk.end(), out_.front().bytes.begin(),
                         out_.front().bytes.end());
            out_.pop_front();
            if (alone)
                break;
        }
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t w = ::send(fd, chunk.data() + done,
                                     chunk.size() - done, MSG_NOSIGNAL);
            if (w <= 0)
                return;
            done += static_cast<size_t>(w);
        }
    }

    void run(int listen_fd) {
        const int fd = ::accept(listen_fd, nullptr, nullptr);
        if (fd < 0)
            return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Bytes in;
        unsigned char buf[4096];
        while (!stop_) {
            int wait_ms = 20;
            {
                std::lock_guard<std::mutex> lock(m_);
                if (!out_.empty()) {
                    const auto left = out_.front().at - Clock::now();
                    wait_ms = left.count() <= 0
                                  ? 0
                                  : static_cast<int>(
                                        std::chrono::duration_cast<
                                            std::chrono::microseconds>(left)
                                            .count() /
                                        1000);
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (wait_ms > 0 && ::poll(&p, 1, wait_ms) < 0)
                break;
            if (wait_ms == 0)
                ::poll(&p, 1, 0);
            if (p.revents & (POLLIN | POLLHUP)) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                in.insert(in.end(), buf, buf + n);
                parse(in);
            }
            std::lock_guard<std::mutex> lock(m_);
            flush(fd);
        }
        ::close(fd);
    }

    // Takes whole request frames off the front of in (the link's frames
    // are always well formed).
    void parse(Bytes &in) {
        for (;;) {
            if (in.size() < 12)
                return;
            const size_t length = in[6] | (in[7] << 8);
            if (in.size() < 12 + length)
                return;
            const int code = in[4] | (in[5] << 8);
            Bytes payload(in.begin() + 12, in.begin() + 12 + long(length) - 1);
            in.erase(in.begin(), in.begin() + 12 + long(length));
            on_request(code, payload);
        }
    }

    std::mt19937 rng_;
    const Clock::time_point epoch_ = Clock::now();
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex m_; // guards what follows
    std::deque<Out> out_;
    int stall_gap_us_ = -1;
    std::set<uint32_t> refused_;
    std::map<uint32_t, std::string> log_;
    Tally tally_;
};

TEST(LinkStress, EveryReturnedPayloadAnswersItsOwnRequest) {
    const unsigned seed =
        static_cast<unsigned>(env_long("VO62_STRESS_SEED", kDefaultSeed));
    const long count =
        env_long("VO62_STRESS_TRANSACTIONS", kDefaultTransactions);
    SCOPED_TRACE("seed " + std::to_string(seed));

    const int listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listen_fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(
        ::bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listen_fd, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(
        ::getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len), 0);

    Instrument inst(seed);
    inst.start(listen_fd);
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    char cs[COMM_STR_SIZE];
    ASSERT_EQ(MXX_make_net_conn_string(cs, "127.0.0.1", ntohs(addr.sin_port)),
              0);
    int id = -1;
    ASSERT_EQ(MXX_connect(cs, &id, nullptr, nullptr, nullptr, V21_probe,
                          V21_test_probe, 0),
              0);
    ASSERT_EQ(MXX_wait_connected(id, kConnectMs), 0);
    ASSERT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    MXX_set_cmd_num_try(id, kTries);

    long ok = 0, refused = 0, silent = 0;
    for (long i = 0; i < count; i++) {
        const uint32_t n = static_cast<uint32_t>(i + 1);
        const Bytes req = u32le(n);
        unsigned char dst[64];
        memset(dst, 0, sizeof dst);
        int got = 0;
        const int rc = MXX_send_cmd(id, kRead, req.data(), 4, dst, sizeof dst,
                                    &got, nullptr, nullptr, kTimeoutMs, 1);
        if (rc == MXX_OK) {
            const Bytes want = read_reply(n);
            ASSERT_EQ(got, static_cast<int>(want.size()) - 13)
                << "request " << n;
            ASSERT_EQ(memcmp(dst, want.data() + 12, static_cast<size_t>(got)),
                      0)
                << "request " << n << " took the reply of request "
                << get_u32(dst) << "\n"
                << inst.around(n);
            ok++;
        } else if (rc == MXX_FAILED) {
            ASSERT_TRUE(inst.refused(n))
                << "request " << n << " ended as refused, but it was not";
            refused++;
        } else {
            ASSERT_EQ(rc, MXX_NO_REPLY) << "request " << n;
            silent++;
        }
    }
    MXX_disconnect(id);
    MXX_shut();
    inst.stop();
    ::close(listen_fd);

    const Instrument::Tally t = inst.tally();
    // The mix reached every kind of fault, and most requests were answered.
    EXPECT_GT(t.late, 0);
    EXPECT_GT(t.gaps, 0);
    EXPECT_GT(t.twice, 0);
    EXPECT_GT(t.lost, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(ok, count * 9 / 10);
    printf("%ld transactions: %ld answered, %ld refused, %ld unanswered; "
           "%ld late (%ld released with gaps), %ld twice, %ld lost\n",
           count, ok, refused, silent, t.late, t.gaps, t.twice, t.lost);
}

} // namespace
