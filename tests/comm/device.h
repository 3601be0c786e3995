// The instrument's side of a connection, played in-process: a
// pseudo-terminal master or one end of a socket pair, and a recorder of the
// events the library delivers.
#ifndef COMM_TEST_DEVICE_H
#define COMM_TEST_DEVICE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm_internal.h"
#include "process.h"

using Clock = std::chrono::steady_clock;

inline long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                 t)
        .count();
}

// Generous bound for anything that should happen "at once" on a loaded CI.
constexpr int PROMPT_MS = 2000;

struct Event {
    int event;
    std::string data;
    Clock::time_point at;
};

// An event procedure that records every call; `react` runs inside the call
// (on the event thread) and gives its answer.
class Recorder {
  public:
    std::function<int(int id, int event, const std::string &data)> react;

    static int proc(int id, int event, const unsigned char *data, int len,
                    void *ctx);

    std::vector<Event> events() const;
    int count(int event) const;
    std::string data() const; // every received byte, in order
    // Waits until pred(events) holds; false at the time-out.
    bool wait(const std::function<bool(const std::vector<Event> &)> &pred,
              int timeout_ms = PROMPT_MS) const;
    bool wait_event(int event, int n = 1, int timeout_ms = PROMPT_MS) const;
    bool wait_data(const std::string &text, int timeout_ms = PROMPT_MS) const;

  private:
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<Event> events_;
};

// A pseudo-terminal whose slave the library opens like a serial port.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    const std::string &slave() const { return slave_; }
    std::string conn_string() const; // serial path at 115200 8N1
    void send(const std::string &bytes);
    // Reads until n bytes have come or the time-out passes.
    std::string receive(size_t n, int timeout_ms = PROMPT_MS);
    void close_master(); // the instrument goes away

  private:
    int master_ = -1;
    std::string slave_;
};

// A socket pair: the library gets one end, the test keeps the other.
class SocketPeer {
  public:
    SocketPeer();
    ~SocketPeer();
    SocketPeer(const SocketPeer &) = delete;
    SocketPeer &operator=(const SocketPeer &) = delete;
    // Connects the library to its end.
    int connect(int *id, Recorder &rec, int idle_ms = 200);
    void send(const std::string &bytes);
    std::string receive(size_t n, int timeout_ms = PROMPT_MS);
    void close_peer();
    int fd() const { return peer_; }

  private:
    int lib_end_ = -1, peer_ = -1;
};

// Every test starts the library in a private announcement directory and
// stops it afterwards.
// Recorders come from the fixture, which keeps them until the library has
// been stopped: a connection a test leaves open still reports to them.
class CommTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    Recorder &recorder();
    TempDir sim_dir_;

  private:
    std::vector<std::unique_ptr<Recorder>> recorders_;
};

#endif
