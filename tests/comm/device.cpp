#include "device.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int Recorder::proc(int id, int event, const unsigned char *data, int len,
                   void *ctx) {
    auto *self = static_cast<Recorder *>(ctx);
    std::string bytes = data ? std::string(reinterpret_cast<const char *>(data),
                                           static_cast<size_t>(len))
                             : std::string();
    int answer = self->react ? self->react(id, event, bytes) : 0;
    // Notified under the lock: once a waiter has seen the closed event, the
    // test may destroy the recorder.
    std::lock_guard<std::mutex> lock(self->m_);
    self->events_.push_back({event, bytes, Clock::now()});
    self->cv_.notify_all();
    return answer;
}

std::vector<Event> Recorder::events() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
}

int Recorder::count(int event) const {
    std::lock_guard<std::mutex> lock(m_);
    int n = 0;
    for (const Event &e : events_)
        n += e.event == event;
    return n;
}

std::string Recorder::data() const {
    std::lock_guard<std::mutex> lock(m_);
    std::string all;
    for (const Event &e : events_)
        all += e.data;
    return all;
}

bool Recorder::wait(const std::function<bool(const std::vector<Event> &)> &pred,
                    int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return pred(events_); });
}

bool Recorder::wait_event(int event, int n, int timeout_ms) const {
    return wait(
        [&](const std::vector<Event> &evs) {
            int k = 0;
            for (const Event &e : evs)
                k += e.event == event;
            return k >= n;
        },
        timeout_ms);
}

bool Recorder::wait_data(const std::string &text, int timeout_ms) const {
    return wait(
        [&](const std::vector<Event> &evs) {
            std::string all;
            for (const Event &e : evs)
                all += e.data;
            return all.find(text) != std::string::npos;
        },
        timeout_ms);
}

namespace {

void send_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << strerror(errno);
        done += static_cast<size_t>(n);
    }
}

std::string receive_from(int fd, size_t n, int timeout_ms) {
    std::string got;
    auto start = Clock::now();
    while (got.size() < n) {
        int left = timeout_ms - static_cast<int>(ms_since(start));
        if (left <= 0)
            break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        static thread_local char buf[65536];
        ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0)
            break;
        got.append(buf, static_cast<size_t>(k));
    }
    return got;
}

} // namespace

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        abort();
    slave_ = name;
}

Pty::~Pty() {
    close_master();
}

std::string Pty::conn_string() const {
    char cs[COMM_STR_SIZE];
    if (comm_make_conn_string_serial_path(cs, slave_.c_str(), 115200, 8, 1, 0,
                                          0) != COMM_OK)
        abort();
    return cs;
}

void Pty::send(const std::string &bytes) {
    send_all(master_, bytes);
}

std::string Pty::receive(size_t n, int timeout_ms) {
    return receive_from(master_, n, timeout_ms);
}

void Pty::close_master() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

SocketPeer::SocketPeer() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        abort();
    lib_end_ = sv[0];
    peer_ = sv[1];
}

SocketPeer::~SocketPeer() {
    if (lib_end_ >= 0)
        close(lib_end_);
    close_peer();
}

int SocketPeer::connect(int *id, Recorder &rec, int idle_ms) {
    int r = comm::connect_fd(id, lib_end_, "socket pair", Recorder::proc, 4096,
                             idle_ms, &rec);
    if (r == COMM_OK)
        lib_end_ = -1; // the library owns it now
    return r;
}

void SocketPeer::send(const std::string &bytes) {
    send_all(peer_, bytes);
}

std::string SocketPeer::receive(size_t n, int timeout_ms) {
    return receive_from(peer_, n, timeout_ms);
}

void SocketPeer::close_peer() {
    if (peer_ >= 0)
        close(peer_);
    peer_ = -1;
}

void CommTest::SetUp() {
    setenv("VO62_SIM_DIR", sim_dir_.path().c_str(), 1);
    ASSERT_EQ(comm_init(), COMM_OK);
}

void CommTest::TearDown() {
    comm_shut(); // already stopped by tests of shutting down
    comm::set_usb_source(nullptr);
    recorders_.clear();
}

Recorder &CommTest::recorder() {
    recorders_.push_back(std::make_unique<Recorder>());
    return *recorders_.back();
}
