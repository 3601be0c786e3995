#include "simulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include "frame.h"

namespace vo62sim {

namespace {

// A partly received frame is dropped after this much silence on the line,
// so a torn frame never swallows the next request.
constexpr auto kRxIdleReset = std::chrono::milliseconds(500);
// A restart waits at most this long for its reply to leave.
constexpr auto kRestartFlushLimit = std::chrono::milliseconds(1000);
// Bytes written to the pseudo-terminal take a moment to reach the slave
// side's queue; a restart waits at least this long after the last write.
constexpr auto kRestartGrace = std::chrono::milliseconds(30);
// How often a pending restart looks whether its reply was read.
constexpr auto kRestartPollInterval = std::chrono::milliseconds(2);
// Output held for a link that nobody reads is bounded.
constexpr size_t kMaxQueuedOut = 1u << 20;
// Most replies that one write carries when a stalled line drains.
constexpr int kMaxWriteChunks = 64;
constexpr size_t kReadPiece = 65536;
constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit

bool set_nonblock(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// Creates dir (and missing parents) with mode 0700, and checks that the
// directory is ours and not a symbolic link.
int ensure_private_dir(const std::string &dir, std::string &err) {
    std::error_code ec;
    std::filesystem::path p(dir);
    std::filesystem::path acc;
    for (const auto &part : p) {
        acc /= part;
        if (::mkdir(acc.c_str(), 0700) != 0 && errno != EEXIST) {
            err = "cannot create " + acc.string() + ": " + strerror(errno);
            return -1;
        }
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = dir + " is not a directory";
        return -1;
    }
    if (st.st_uid != ::getuid()) {
        err = dir + " belongs to another user";
        return -1;
    }
    return 0;
}

} // namespace

std::string announcement_dir() {
    const char *d = std::getenv("VO62_SIM_DIR");
    if (d && *d)
        return d;
    const char *x = std::getenv("XDG_RUNTIME_DIR");
    if (x && *x)
        return std::string(x) + "/vo62-sim";
    return "/tmp/vo62-sim-" + std::to_string(::getuid());
}

Simulator::Simulator(Options opts) : opts_(std::move(opts)) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
}

Simulator::~Simulator() {
    stop();
    join();
    for (auto &[id, l] : links_)
        close_link(*l);
    links_.clear();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    remove_announcement();
    if (inst_)
        inst_->persist();
    inst_.reset();
    if (temp_card_) {
        std::error_code ec;
        std::filesystem::remove_all(card_dir_, ec);
    }
    if (trace_)
        std::fclose(trace_);
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

int Simulator::start(std::string &err) {
    if (wake_[0] < 0) {
        err = "cannot create a pipe";
        return -1;
    }
    started_ = Clock::now();
    if (!opts_.seed_given)
        opts_.seed = static_cast<uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count());
    latency_ = std::chrono::milliseconds(opts_.latency_ms);
    if (opts_.baud > 0)
        byte_time_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(1000000000ull * kBitsPerByte /
                                     opts_.baud));
    faults_ = FaultEngine(opts_.faults, opts_.seed);
    if (!opts_.trace.empty()) {
        trace_ = std::fopen(opts_.trace.c_str(), "ae");
        if (!trace_) {
            err = "cannot open " + opts_.trace + ": " + strerror(errno);
            return -1;
        }
    }
    if (opts_.card.empty()) {
        char tmpl[] = "/tmp/vo62-sim-card-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            err = std::string("cannot create a card directory: ") +
                  strerror(errno);
            return -1;
        }
        card_dir_ = tmpl;
        temp_card_ = true;
    } else {
        card_dir_ = opts_.card;
    }
    inst_ = std::make_unique<Instrument>(*this);
    inst_->set_stuck(faults_.stuck());
    if (inst_->init(opts_, card_dir_, err) != 0)
        return -1;
    {
        std::lock_guard<std::mutex> g(mu_);
        serial_copy_ = inst_->serial();
    }
    if (opts_.announce) {
        ann_dir_ = opts_.ann_dir.empty() ? announcement_dir() : opts_.ann_dir;
        if (ensure_private_dir(ann_dir_, err) != 0)
            return -1;
        ann_path_ = ann_dir_ + "/sim-" + std::to_string(::getpid()) + ".ann";
    }
    if (open_pty(err) != 0)
        return -1;
    if (opts_.tcp_port >= 0 && open_tcp(err) != 0)
        return -1;
    if (opts_.announce && write_announcement() != 0) {
        err = "cannot write the announcement " + ann_path_;
        return -1;
    }
    started_ok_ = true;
    return 0;
}

int Simulator::start_thread(std::string &err) {
    if (start(err) != 0)
        return -1;
    thread_ = std::thread([this]() { run(); });
    return 0;
}

void Simulator::stop() {
    stop_.store(true);
    if (wake_[1] >= 0) {
        char c = 1;
        ssize_t r = ::write(wake_[1], &c, 1);
        (void)r;
    }
}

void Simulator::join() {
    if (thread_.joinable())
        thread_.join();
}

std::string Simulator::pty_path() const {
    std::lock_guard<std::mutex> g(mu_);
    return pty_path_copy_;
}

std::string Simulator::serial() const {
    std::lock_guard<std::mutex> g(mu_);
    return serial_copy_;
}

uint64_t Simulator::requests(uint16_t code) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = counts_.find(code);
    return it == counts_.end() ? 0 : it->second;
}

void Simulator::trace(const char *fmt, ...) {
    if (!trace_)
        return;
    double t = std::chrono::duration<double>(Clock::now() - started_).count();
    std::fprintf(trace_, "%.3f ", t);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(trace_, fmt, ap);
    va_end(ap);
    std::fputc('\n', trace_);
    std::fflush(trace_);
}

// ---- Links ------------------------------------------------------------------

int Simulator::open_pty(std::string &err) {
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
        err = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        if (m >= 0)
            ::close(m);
        return -1;
    }
    char name[PATH_MAX];
    if (::ptsname_r(m, name, sizeof name) != 0) {
        err = "cannot name the pseudo-terminal";
        ::close(m);
        return -1;
    }
    // Raw from the start: nothing echoed or translated before the console
    // opens the slave side and sets raw mode itself.
    struct termios t;
    if (::tcgetattr(m, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(m, TCSANOW, &t);
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0 || !set_nonblock(m)) {
        err = std::string("cannot open ") + name + ": " + strerror(errno);
        ::close(m);
        if (s >= 0)
            ::close(s);
        return -1;
    }
    if (::tcgetattr(s, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(s, TCSANOW, &t);
    }
    auto l = std::make_unique<Link>();
    l->id = next_link_id_++;
    l->pty = true;
    l->fd = m;
    l->slave_fd = s;
    l->path = name;
    pty_id_ = l->id;
    {
        std::lock_guard<std::mutex> g(mu_);
        pty_path_copy_ = name;
    }
    links_[l->id] = std::move(l);
    return 0;
}

int Simulator::open_tcp(std::string &err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = std::string("cannot create a socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(opts_.tcp_port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(fd, 4) != 0) {
        err = "cannot listen on 127.0.0.1:" + std::to_string(opts_.tcp_port) +
              ": " + strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    tcp_port_.store(ntohs(a.sin_port));
    listen_fd_ = fd;
    return 0;
}

void Simulator::close_link(Link &l) {
    if (l.fd >= 0)
        ::close(l.fd);
    if (l.slave_fd >= 0)
        ::close(l.slave_fd);
    l.fd = l.slave_fd = -1;
}

void Simulator::drop_links() {
    for (auto &[id, l] : links_)
        close_link(*l);
    links_.clear();
    pty_id_ = tcp_client_id_ = -1;
    link_drops_.fetch_add(1);
    restart_pending_ = false;
    inst_->restart();
    std::string err;
    if (open_pty(err) != 0) {
        std::fprintf(stderr, "vo62-sim: %s\n", err.c_str());
        stop();
        return;
    }
    trace("link dropped, new pseudo-terminal %s", pty_path().c_str());
    if (opts_.announce)
        write_announcement();
}

Simulator::Link *Simulator::find_link(int id) {
    auto it = links_.find(id);
    return it == links_.end() ? nullptr : it->second.get();
}

// ---- Announcement -------------------------------------------------------

int Simulator::write_announcement() {
    std::string body = "pid=" + std::to_string(::getpid()) +
                       "\npty=" + pty_path() + "\nserial=" + serial() +
                       "\ntcp=" + std::to_string(tcp_port()) +
                       "\nlink=" + std::to_string(pty_id_) + "\n";
    std::string tmp = ann_path_ + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "we");
    if (!f)
        return -1;
    bool ok = std::fwrite(body.data(), 1, body.size(), f) == body.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), ann_path_.c_str()) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return 0;
}

void Simulator::remove_announcement() {
    if (!ann_path_.empty() && started_ok_)
        std::remove(ann_path_.c_str());
}

// ---- Instrument host ------------------------------------------------------

void Simulator::send_event(const Bytes &frame) {
    if (event_link_ >= 0)
        queue_out(event_link_, frame, kLiveDataCode);
}

void Simulator::schedule(int ms, std::function<void()> fn) {
    timers_.push(Timer{Clock::now() + std::chrono::milliseconds(ms),
                       timer_seq_++, std::move(fn)});
}

void Simulator::request_restart() {
    restart_pending_ = true;
    restart_deadline_ = Clock::now() + kRestartFlushLimit + latency_;
}

void Simulator::identity_changed() {
    {
        std::lock_guard<std::mutex> g(mu_);
        serial_copy_ = inst_->serial();
    }
    if (opts_.announce)
        write_announcement();
}

// ---- Frames -----------------------------------------------------------------

void Simulator::queue_out(int link_id, Bytes frame, uint16_t code, int stall_ms,
                          int stall_gap_us) {
    Link *l = find_link(link_id);
    if (!l)
        return;
    faults_.corrupt(code, frame);
    size_t queued = 0;
    for (const auto &c : l->out)
        queued += c.data.size() - c.done;
    if (queued + frame.size() > kMaxQueuedOut)
        return; // nobody reads this link: drop rather than grow without end
    Chunk c;
    auto now = Clock::now();
    if (l->out.empty())
        l->release_gap_us = -1; // the queue has drained
    // A link's latency holds every frame it carries, in order: a frame
    // leaves its latency after it was made, and never before the one ahead
    // of it has gone.
    const auto ready = now + latency_;
    c.start = l->out_free > ready ? l->out_free : ready;
    // Behind a stall that releases its queue one by one, each reply leaves
    // its gap after the one before.
    if (!l->out.empty() && l->release_gap_us >= 0)
        c.start += std::chrono::microseconds(l->release_gap_us);
    // A stalled line carries nothing for a while; what follows queues up
    // behind this reply, since out_free moves with it.
    c.start += std::chrono::milliseconds(stall_ms);
    if (stall_ms > 0)
        l->release_gap_us = stall_gap_us;
    c.data = std::move(frame);
    l->out_free = c.start + byte_time_ * static_cast<Clock::rep>(c.data.size());
    l->out.push_back(std::move(c));
}

void Simulator::on_frame(Link &l, const Frame &f) {
    {
        std::lock_guard<std::mutex> g(mu_);
        counts_[f.code]++;
    }
    event_link_ = l.id;
    FaultDecision d = faults_.on_request(f.code);
    Bytes reply;
    const char *what = "reply";
    switch (d.action) {
    case FaultDecision::Ignore:
        trace("req %u len=%zu ignored", f.code, f.payload.size());
        return;
    case FaultDecision::Cut:
        trace("req %u len=%zu cut", f.code, f.payload.size());
        drop_links();
        return;
    case FaultDecision::Retry:
    case FaultDecision::Fail: {
        Bytes p(2, 0);
        put_u16(p, 0, f.code);
        bool retry = d.action == FaultDecision::Retry;
        reply = make_frame(retry ? kCodeRetry : kCodeFailure, p, f.param,
                           static_cast<uint8_t>(d.status));
        what = retry ? "retry" : "fail";
        break;
    }
    case FaultDecision::Status:
        reply = make_frame(static_cast<uint16_t>(f.code + kReplyOffset),
                           nullptr, 0, f.param, static_cast<uint8_t>(d.status));
        what = "status";
        break;
    case FaultDecision::Execute:
        reply = inst_->handle(f);
        break;
    }
    uint16_t rcode = reply.size() >= 6
                         ? static_cast<uint16_t>(reply[4] | (reply[5] << 8))
                         : 0;
    // The frames' bytes on the line, request and reply, for line times.
    trace("req %u len=%zu %s %u%s%s%s bytes=%zu+%zu", f.code, f.payload.size(),
          what, rcode, d.drop_reply ? " dropped" : "",
          d.delay_ms ? " delayed" : "", d.stall_ms ? " stalled" : "",
          kFrameHeader + f.payload.size() + 1,
          d.drop_reply ? size_t(0) : reply.size());
    if (reply.empty() || d.drop_reply)
        return;
    if (d.delay_ms > 0) {
        int id = l.id;
        uint16_t code = f.code;
        const int stall = d.stall_ms, gap = d.stall_gap_us;
        schedule(d.delay_ms, [this, id, code, reply, stall, gap]() {
            queue_out(id, reply, code, stall, gap);
        });
        if (restart_pending_)
            restart_deadline_ += std::chrono::milliseconds(d.delay_ms);
    } else {
        queue_out(l.id, std::move(reply), f.code, d.stall_ms, d.stall_gap_us);
    }
    if (restart_pending_ && d.stall_ms > 0)
        restart_deadline_ += std::chrono::milliseconds(d.stall_ms);
}

Simulator::Clock::time_point Simulator::due_in(const Link &l) const {
    const Chunk &c = l.in.front();
    return c.start + byte_time_ * static_cast<Clock::rep>(c.done + 1);
}

Simulator::Clock::time_point Simulator::due_out(const Link &l) const {
    const Chunk &c = l.out.front();
    return c.start + byte_time_ * static_cast<Clock::rep>(c.done + 1);
}

void Simulator::pump_input(Link &l, Clock::time_point now) {
    while (!l.in.empty()) {
        Chunk &c = l.in.front();
        size_t avail = c.data.size();
        if (byte_time_.count() > 0) {
            auto elapsed = now - c.start;
            size_t n = elapsed.count() < 0
                           ? 0
                           : static_cast<size_t>(elapsed / byte_time_);
            avail = std::min(avail, n);
        }
        int id = l.id;
        while (c.done < avail) {
            uint8_t b = c.data[c.done++];
            Frame f;
            if (l.parser.push(b, f)) {
                on_frame(l, f);
                // The frame may have dropped this link.
                if (!find_link(id))
                    return;
            }
        }
        if (c.done < c.data.size())
            return;
        l.in.pop_front();
    }
}

bool Simulator::pump_output(Link &l, Clock::time_point now) {
    l.write_blocked = false;
    while (!l.out.empty()) {
        Chunk &c = l.out.front();
        if (now < c.start)
            return true; // the line is stalled until then
        size_t upto = c.data.size();
        if (byte_time_.count() > 0) {
            auto elapsed = now - c.start;
            size_t n = elapsed.count() < 0
                           ? 0
                           : static_cast<size_t>(elapsed / byte_time_);
            upto = std::min(upto, n);
        }
        if (upto <= c.done)
            return true;
        // On an unpaced line every reply that is due leaves in one write,
        // as a buffer drains when a stalled line moves again.
        iovec iov[kMaxWriteChunks];
        int parts = 0;
        size_t total = 0;
        for (auto it = l.out.begin();
             it != l.out.end() && parts < kMaxWriteChunks; ++it, ++parts) {
            if (parts > 0 && (byte_time_.count() > 0 || now < it->start))
                break;
            const size_t end = parts == 0 ? upto : it->data.size();
            iov[parts].iov_base = it->data.data() + it->done;
            iov[parts].iov_len = end - it->done;
            total += end - it->done;
        }
        ssize_t w;
        if (l.pty) {
            w = ::writev(l.fd, iov, parts);
        } else {
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = static_cast<size_t>(parts);
            w = ::sendmsg(l.fd, &msg, MSG_NOSIGNAL);
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            l.write_blocked = true;
            return true;
        }
        if (w < 0)
            return false;
        l.last_write = now;
        size_t left = static_cast<size_t>(w);
        while (left > 0 && !l.out.empty()) {
            Chunk &d = l.out.front();
            const size_t take = std::min(left, d.data.size() - d.done);
            d.done += take;
            left -= take;
            if (d.done == d.data.size())
                l.out.pop_front();
        }
        if (static_cast<size_t>(w) < total)
            return true; // the rest when the line takes more
    }
    return true;
}

void Simulator::read_link(Link &l, Clock::time_point now) {
    uint8_t buf[kReadPiece];
    for (;;) {
        ssize_t n = ::read(l.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            // A TCP peer left, or the pseudo-terminal failed.
            int id = l.id;
            bool pty = l.pty;
            close_link(l);
            links_.erase(id);
            if (pty) {
                pty_id_ = -1;
                std::string err;
                if (open_pty(err) == 0 && opts_.announce)
                    write_announcement();
            } else if (tcp_client_id_ == id) {
                tcp_client_id_ = -1;
            }
            return;
        }
        // A long silence ends a torn frame.
        if (l.parser.busy() && now - l.last_byte > kRxIdleReset && l.in.empty())
            l.parser.reset();
        l.last_byte = now;
        Chunk c;
        c.data.assign(buf, buf + n);
        c.start = l.in_free > now ? l.in_free : now;
        l.in_free = c.start + byte_time_ * static_cast<Clock::rep>(n);
        l.in.push_back(std::move(c));
        // A short read took everything there was; what comes later wakes
        // the loop again, so a request costs no extra empty read.
        if (static_cast<size_t>(n) < sizeof buf)
            return;
    }
}

// ---- Loop -------------------------------------------------------------------

void Simulator::run() {
    while (!stop_.load()) {
        auto now = Clock::now();
        while (!timers_.empty() && timers_.top().at <= now) {
            auto fn = timers_.top().fn;
            timers_.pop();
            fn();
        }
        std::vector<int> ids;
        for (auto &[id, l] : links_)
            ids.push_back(id);
        for (int id : ids) {
            Link *l = find_link(id);
            if (l)
                pump_input(*l, now);
            l = find_link(id);
            if (l && !pump_output(*l, now)) {
                if (l->pty) {
                    // The line refused the bytes: they are lost, as on a
                    // serial line, rather than retried without end.
                    l->out.clear();
                } else {
                    close_link(*l);
                    links_.erase(id);
                    if (tcp_client_id_ == id)
                        tcp_client_id_ = -1;
                }
            }
        }
        if (restart_pending_) {
            bool flushed = true;
            for (auto &[id, l] : links_) {
                int unread = 0;
                // On the pseudo-terminal a reply counts as delivered once
                // the console has read it: closing the line discards what
                // is still waiting on the slave side.
                if (!l->out.empty() ||
                    Clock::now() - l->last_write < kRestartGrace ||
                    (l->slave_fd >= 0 &&
                     ::ioctl(l->slave_fd, FIONREAD, &unread) == 0 &&
                     unread > 0))
                    flushed = false;
            }
            if (flushed || Clock::now() >= restart_deadline_) {
                trace("restart");
                drop_links();
                continue;
            }
        }

        // Wait for input, for a blocked write, or for the next due moment.
        std::vector<pollfd> fds;
        std::vector<int> fd_links;
        fds.push_back({wake_[0], POLLIN, 0});
        fd_links.push_back(0);
        if (listen_fd_ >= 0) {
            fds.push_back({listen_fd_, POLLIN, 0});
            fd_links.push_back(-1);
        }
        Clock::time_point next = now + std::chrono::seconds(1);
        if (!timers_.empty())
            next = std::min(next, timers_.top().at);
        if (restart_pending_)
            next =
                std::min({next, restart_deadline_, now + kRestartPollInterval});
        for (auto &[id, l] : links_) {
            short ev = POLLIN;
            if (!l->out.empty()) {
                if (l->write_blocked)
                    ev |= POLLOUT;
                else
                    next = std::min(next, due_out(*l));
            }
            if (!l->in.empty())
                next = std::min(next, due_in(*l));
            fds.push_back({l->fd, ev, 0});
            fd_links.push_back(id);
        }
        auto wait = next - Clock::now();
        if (wait.count() < 0)
            wait = Clock::duration::zero();
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait);
        timespec ts{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
        int r = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        now = Clock::now();
        for (size_t i = 0; i < fds.size(); i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == wake_[0]) {
                char b[64];
                while (::read(wake_[0], b, sizeof b) > 0) {
                }
                // The pipe only ever carries a request to stop (it may come
                // from a signal handler, which cannot touch stop_ itself).
                stop_.store(true);
                break;
            }
            if (fd_links[i] == -1) {
                int c = ::accept4(listen_fd_, nullptr, nullptr,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c < 0)
                    continue;
                int one = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                // One console at a time: a new connection replaces the old.
                if (Link *old = find_link(tcp_client_id_)) {
                    close_link(*old);
                    links_.erase(tcp_client_id_);
                }
                auto l = std::make_unique<Link>();
                l->id = next_link_id_++;
                l->fd = c;
                tcp_client_id_ = l->id;
                links_[l->id] = std::move(l);
                continue;
            }
            Link *l = find_link(fd_links[i]);
            if (!l)
                continue;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                read_link(*l, now);
        }
    }
}

} // namespace vo62sim
