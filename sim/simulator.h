// vo62-sim's link side: a pseudo-terminal (and optionally a loopback TCP
// port) carrying frames to and from the instrument, pacing like a serial
// line when asked, injecting faults, and announcing the pseudo-terminal in
// the announcement directory so the console can find it. One thread runs
// everything: the links, the timers of the instrument and the faults.
#ifndef VO62SIM_SIMULATOR_H
#define VO62SIM_SIMULATOR_H

#include "faults.h"
#include "instrument.h"
#include "options.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>

namespace vo62sim {

// The directory announcements go to: $VO62_SIM_DIR, else
// $XDG_RUNTIME_DIR/vo62-sim, else /tmp/vo62-sim-<uid>.
std::string announcement_dir();

class Simulator : public InstrumentHost {
  public:
    explicit Simulator(Options opts);
    ~Simulator() override;
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Sets up the card, the instrument, the links and the announcement.
    // 0, or -1 with a message in err.
    int start(std::string &err);
    // Serves until stop() is called.
    void run();
    // start() and then run() on a thread of its own.
    int start_thread(std::string &err);
    // Asks run() to end; safe from any thread and from a signal handler.
    void stop();
    void join();
    // Descriptor a signal handler may write one byte to, to stop the run.
    int wake_fd() const { return wake_[1]; }

    std::string pty_path() const;
    int tcp_port() const { return tcp_port_.load(); }
    std::string serial() const;
    const std::string &card_dir() const { return card_dir_; }
    std::string announcement_path() const { return ann_path_; }
    // How often the link was dropped (restart, flash, fault).
    int link_drops() const { return link_drops_.load(); }
    // Requests received with the given code.
    uint64_t requests(uint16_t code) const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Chunk {
        Bytes data;
        size_t done = 0;
        Clock::time_point start; // when the line begins carrying it
    };
    struct Link {
        int id = 0;
        bool pty = false;
        int fd = -1;
        int slave_fd = -1; // our own hold on the pty's slave side
        std::string path;
        FrameParser parser;
        std::deque<Chunk> in, out;
        Clock::time_point in_free, out_free, last_byte, last_write;
        bool write_blocked = false;
        // Set by a stall with a gap: the replies queued behind it leave one
        // by one with this many microseconds between them; -1 when they
        // leave together. Holds until the queue drains.
        int release_gap_us = -1;
    };
    struct Timer {
        Clock::time_point at;
        uint64_t seq;
        std::function<void()> fn;
        bool operator>(const Timer &o) const {
            return at != o.at ? at > o.at : seq > o.seq;
        }
    };

    // InstrumentHost
    void send_event(const Bytes &frame) override;
    void schedule(int ms, std::function<void()> fn) override;
    void request_restart() override;
    void identity_changed() override;

    int open_pty(std::string &err);
    int open_tcp(std::string &err);
    void close_link(Link &l);
    void drop_links();
    int write_announcement();
    void remove_announcement();
    void queue_out(int link_id, Bytes frame, uint16_t code, int stall_ms = 0,
                   int stall_gap_us = -1);
    void on_frame(Link &l, const Frame &f);
    void pump_input(Link &l, Clock::time_point now);
    bool pump_output(Link &l, Clock::time_point now);
    void read_link(Link &l, Clock::time_point now);
    Link *find_link(int id);
    Clock::time_point due_in(const Link &l) const;
    Clock::time_point due_out(const Link &l) const;
    void trace(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

    Options opts_;
    std::string card_dir_;
    bool temp_card_ = false;
    std::unique_ptr<Instrument> inst_;
    FaultEngine faults_;
    Clock::duration byte_time_{0};
    Clock::duration latency_{0}; // every frame sent is held this long

    std::map<int, std::unique_ptr<Link>> links_;
    int pty_id_ = -1;
    int tcp_client_id_ = -1;
    int listen_fd_ = -1;
    int next_link_id_ = 1;
    int event_link_ = -1; // link of the latest request: live data goes there
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
    uint64_t timer_seq_ = 0;
    bool restart_pending_ = false;
    Clock::time_point restart_deadline_;
    Clock::time_point started_;

    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<int> tcp_port_{0};
    std::atomic<int> link_drops_{0};
    std::thread thread_;
    std::string ann_dir_, ann_path_;
    FILE *trace_ = nullptr;
    bool started_ok_ = false;

    mutable std::mutex mu_; // guards the copies below read by other threads
    std::string pty_path_copy_;
    std::string serial_copy_;
    std::map<uint16_t, uint64_t> counts_;
};

} // namespace vo62sim

#endif
