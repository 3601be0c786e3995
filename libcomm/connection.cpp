// Connections: the registry, one reader thread per connection that calls the
// event procedure, writing, the identification signal and the reply hook.
//
// Locks: the registry's mutex guards the list of connections; each
// connection has a write mutex (whole frames, and the descriptor) and a
// state mutex (signal, hook). None is held while an event procedure runs,
// and no thread holds one while it waits for a reader.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "comm_internal.h"

namespace comm {

namespace {

using std::chrono::milliseconds;

constexpr int HOOK_SLOTS = 3;

// One hooked reply buffer. Frames are staged in the library's own copy and
// handed to the caller's buffer by comm_wait_response() on the caller's
// thread, so the event thread never writes memory the caller may be reading.
struct Slot {
    int code = -1;
    unsigned char *user = nullptr;
    int size = 0;
    std::vector<unsigned char> staged;
    int staged_len = 0; // bytes stored since the previous wait, 0 for none
};

struct Conn {
    int id = 0;
    Target target;
    comm_event_proc proc = nullptr;
    void *ctx = nullptr;
    int rx_size = 0;
    int idle_ms = 0;

    std::thread reader;
    Wake wake; // wakes the reader
    std::atomic<int> state{COMM_STATE_OPENING};
    std::atomic<bool> closing{false};        // writes and waits fail at once
    std::atomic<bool> stop_requested{false}; // comm_disconnect, comm_shut
    std::atomic<bool> write_failed{false};   // a write found the link gone
    std::atomic<bool> finished{false};       // the closed event was delivered

    std::mutex write_mutex; // one frame at a time; guards fd
    Handle fd = NO_HANDLE;

    std::mutex m; // guards the rest
    std::condition_variable cv;
    bool signalled = false;
    bool signal_pending = false; // signalled inside the running procedure
    bool hooked = false;
    bool fresh = false; // a frame was staged since the previous wait
    Slot slots[HOOK_SLOTS];

    Conn() = default;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
};

// The connection whose event procedure this thread is running, if any.
thread_local Conn *tl_in_proc = nullptr;
// Whether this thread holds pins (see comm_get_data).
thread_local bool tl_pinning = false;

struct Registry {
    std::mutex m;
    std::condition_variable pins_cv;
    bool started = false;
    int next_id = 1; // identifiers are never reused within a process
    std::map<int, std::shared_ptr<Conn>> open;  // walked by comm_get_data
    std::vector<std::shared_ptr<Conn>> readers; // threads not yet joined
    // A walk that yields a connection's context to a thread other than its
    // reader pins it until that thread moves on, so the closed event (after
    // which the caller frees the context) waits for the walker.
    std::vector<std::pair<int, std::thread::id>> pins;
};
Registry reg;

std::shared_ptr<Conn> find(int id) {
    std::lock_guard<std::mutex> lock(reg.m);
    auto it = reg.open.find(id);
    return it == reg.open.end() ? nullptr : it->second;
}

// The answer for an identifier that is not open.
int missing(int id) {
    std::lock_guard<std::mutex> lock(reg.m);
    return id > 0 && id < reg.next_id ? COMM_ERR_CLOSED : COMM_ERR_NOT_FOUND;
}

void release_pins() {
    if (!tl_pinning)
        return;
    std::lock_guard<std::mutex> lock(reg.m);
    auto me = std::this_thread::get_id();
    std::erase_if(reg.pins, [&](const auto &p) { return p.second == me; });
    tl_pinning = false;
    reg.pins_cv.notify_all();
}

void wake_reader(Conn &c) {
    c.wake.set();
}

// Wakes every waiter of c; they see closing and return.
void notify_closing(Conn &c) {
    c.closing = true;
    { std::lock_guard<std::mutex> lock(c.m); }
    c.cv.notify_all();
}

void request_stop(Conn &c) {
    c.stop_requested = true;
    notify_closing(c);
    wake_reader(c);
}

// Calls the event procedure with no lock held, then settles what it did:
// a signal given inside it releases comm_wait_connected() only now, so the
// waiter sees the state the procedure's answer decides.
int deliver(Conn &c, int event, const unsigned char *data, int len) {
    tl_in_proc = &c;
    int r = c.proc(c.id, event, data, len, c.ctx);
    tl_in_proc = nullptr;
    release_pins();
    // Only a signal given inside the procedure (set on this thread alone)
    // or identification given up changes what waiters see. Every other
    // event, the bytes of each reply among them, leaves the lock alone, so
    // the reader never contends with the waiter it has just woken.
    const bool gave_up = event == COMM_EV_IDLE && r == -1;
    if (!gave_up && !c.signal_pending)
        return r;
    std::lock_guard<std::mutex> lock(c.m);
    if (gave_up && !c.closing)
        c.state = COMM_STATE_FAILED;
    else if (c.signal_pending && !c.closing)
        c.state = COMM_STATE_CONNECTED;
    if (c.signal_pending) {
        c.signal_pending = false;
        c.signalled = true;
        c.cv.notify_all();
    }
    return r;
}

void finish(const std::shared_ptr<Conn> &c, bool lost,
            const std::string &reason) {
    notify_closing(*c);
    if (lost) {
        c->state = COMM_STATE_FAILED;
        trace_note(c->id, "link lost: " + reason);
        deliver(*c, COMM_EV_ERROR, nullptr, 0);
    }
    {
        std::lock_guard<std::mutex> lock(c->write_mutex);
        c->target.transport->close(c->fd);
        c->fd = NO_HANDLE;
    }
    trace_note(c->id, "closed");
    {
        std::unique_lock<std::mutex> lock(reg.m);
        reg.open.erase(c->id);
        int id = c->id;
        auto pinned = [&] {
            return std::any_of(reg.pins.begin(), reg.pins.end(),
                               [&](const auto &p) { return p.first == id; });
        };
        reg.pins_cv.wait_for(lock, milliseconds(WALK_RELEASE_MS),
                             [&] { return !pinned(); });
        std::erase_if(reg.pins, [&](const auto &p) { return p.first == id; });
    }
    c->state = COMM_STATE_NONE;
    deliver(*c, COMM_EV_CLOSED, nullptr, 0);
    c->finished = true;
}

void reader_main(std::shared_ptr<Conn> c) {
    std::vector<unsigned char> buf(static_cast<size_t>(c->rx_size));
    const Transport &tr = *c->target.transport;
    deliver(*c, COMM_EV_LINK_UP, nullptr, 0);
    auto idle = milliseconds(c->idle_ms);
    auto deadline = Clock::now() + idle;
    bool lost = false;
    std::string reason;
    while (!c->stop_requested && !c->write_failed) {
        WaitResult w = tr.wait(c->fd, &c->wake, false,
                               c->idle_ms > 0 ? &deadline : nullptr);
        if (w == WaitResult::Woken) {
            c->wake.clear(); // the flags say why we woke
            continue;
        }
        if (w == WaitResult::Failed) {
            lost = true;
            reason = strerror(errno);
            break;
        }
        if (w == WaitResult::Ready || w == WaitResult::Hangup) {
            // Bytes waiting are always read before an idle event is due.
            ssize_t n = tr.read(c->fd, buf.data(), buf.size());
            if (n > 0) {
                trace_bytes(c->id, "RX", buf.data(), static_cast<int>(n));
                deliver(*c, COMM_EV_DATA, buf.data(), static_cast<int>(n));
                deadline = Clock::now() + idle;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR) &&
                w != WaitResult::Hangup)
                continue;
            lost = true;
            reason = n == 0 ? "end of stream" : strerror(errno);
            break;
        }
        deliver(*c, COMM_EV_IDLE, nullptr, 0);
        deadline = Clock::now() + idle;
    }
    if (c->write_failed && !lost) {
        lost = true;
        reason = "write failed";
    }
    finish(c, lost && !c->stop_requested, reason);
}

// Joins the readers of connections that have ended.
void reap() {
    std::vector<std::shared_ptr<Conn>> done;
    {
        std::lock_guard<std::mutex> lock(reg.m);
        auto me = std::this_thread::get_id();
        auto ended = [&](const std::shared_ptr<Conn> &c) {
            return c->finished && c->reader.get_id() != me;
        };
        std::copy_if(reg.readers.begin(), reg.readers.end(),
                     std::back_inserter(done), ended);
        std::erase_if(reg.readers, ended);
    }
    for (auto &c : done)
        if (c->reader.joinable())
            c->reader.join();
}

int start(int *id, const Target &t, Handle fd, comm_event_proc proc,
          int rx_size, int idle_ms, void *ctx) {
    reap();
    auto c = std::make_shared<Conn>();
    c->target = t;
    c->proc = proc;
    c->ctx = ctx;
    c->rx_size = rx_size;
    c->idle_ms = idle_ms;
    c->fd = fd;
    if (!c->wake.ok()) {
        t.transport->close(fd);
        return COMM_ERR_IO;
    }
    std::lock_guard<std::mutex> lock(reg.m);
    if (!reg.started) {
        t.transport->close(fd);
        return COMM_ERR_STATE;
    }
    c->id = reg.next_id++;
    trace_note(c->id, "open " + t.text);
    try {
        c->reader = std::thread(reader_main, c);
    } catch (...) {
        t.transport->close(fd);
        return COMM_ERR_NO_MEM;
    }
    reg.open[c->id] = c;
    reg.readers.push_back(c);
    *id = c->id;
    return COMM_OK;
}

bool valid_sizes(int rx_buffer_size, int idle_ms) {
    return rx_buffer_size > 0 && rx_buffer_size <= RX_BUFFER_MAX &&
           idle_ms >= 0;
}

Clock::time_point deadline_after(int timeout_ms) {
    return Clock::now() + milliseconds(timeout_ms > 0 ? timeout_ms : 0);
}

} // namespace

int connect_fd(int *id, Handle fd, const char *name, comm_event_proc proc,
               int rx_buffer_size, int idle_ms, void *ctx) {
    if (!id || fd < 0 || !proc || !valid_sizes(rx_buffer_size, idle_ms) ||
        !socket_adopt(fd))
        return COMM_ERR_ARG;
    Target t;
    t.transport = &socket_transport;
    t.text = t.port = name ? name : "socket";
    return start(id, t, fd, proc, rx_buffer_size, idle_ms, ctx);
}

} // namespace comm

using namespace comm;

extern "C" {

int comm_init(void) {
    std::lock_guard<std::mutex> lock(reg.m);
    if (reg.started)
        return COMM_ERR_STATE;
    reg.started = true;
    trace_start();
    return COMM_OK;
}

int comm_shut(void) {
    if (tl_in_proc)
        return COMM_ERR_STATE; // a reader cannot join itself
    release_pins();
    usb_watch_stop();
    bt_stop();
    std::vector<std::shared_ptr<Conn>> all;
    {
        std::lock_guard<std::mutex> lock(reg.m);
        if (!reg.started)
            return COMM_ERR_STATE;
        reg.started = false;
        all.swap(reg.readers);
    }
    for (auto &c : all)
        request_stop(*c);
    for (auto &c : all)
        if (c->reader.joinable())
            c->reader.join();
    trace_stop();
    return COMM_OK;
}

int comm_connect(int *id, const char *conn_string, comm_event_proc proc,
                 int rx_buffer_size, int idle_ms, void *ctx) {
    if (!id || !conn_string || !proc || !valid_sizes(rx_buffer_size, idle_ms))
        return COMM_ERR_ARG;
    {
        std::lock_guard<std::mutex> lock(reg.m);
        if (!reg.started)
            return COMM_ERR_STATE;
    }
    Target t;
    if (!parse_target(conn_string, t)) {
        std::string shown(conn_string);
        if (shown.size() >= COMM_STR_SIZE)
            shown = shown.substr(0, COMM_STR_SIZE - 1) + "...";
        log_error("\nCannot open '%s': not a connection string\n",
                  shown.c_str());
        return COMM_ERR_ARG;
    }
    Handle fd = NO_HANDLE;
    int r = t.transport->open(t, &fd);
    if (r != COMM_OK)
        return r;
    return start(id, t, fd, proc, rx_buffer_size, idle_ms, ctx);
}

int comm_wait_connected(int id, int timeout_ms) {
    release_pins();
    auto c = find(id);
    if (!c)
        return missing(id);
    if (tl_in_proc == c.get())
        return COMM_ERR_STATE; // its own reader could never signal
    auto deadline = deadline_after(timeout_ms);
    std::unique_lock<std::mutex> lock(c->m);
    c->cv.wait_until(lock, deadline,
                     [&] { return c->signalled || c->closing; });
    if (c->signalled)
        return COMM_OK;
    return c->closing ? COMM_ERR_CLOSED : COMM_ERR_TIMEOUT;
}

int comm_signal_connected(int id) {
    auto c = find(id);
    if (!c)
        return missing(id);
    std::lock_guard<std::mutex> lock(c->m);
    if (tl_in_proc == c.get()) {
        c->signal_pending = true;
        return COMM_OK;
    }
    c->signalled = true;
    if (!c->closing)
        c->state = COMM_STATE_CONNECTED;
    c->cv.notify_all();
    return COMM_OK;
}

int comm_get_state(int id) {
    auto c = find(id);
    return c ? c->state.load() : COMM_STATE_NONE;
}

int comm_disconnect(int id) {
    release_pins();
    auto c = find(id);
    if (!c)
        return missing(id);
    request_stop(*c);
    return COMM_OK;
}

int comm_data_cntr_init(comm_cursor *cursor) {
    release_pins();
    if (!cursor)
        return COMM_ERR_ARG;
    *cursor = 0;
    return COMM_OK;
}

int comm_get_data(comm_cursor *cursor, int *id, void **ctx) {
    release_pins();
    if (!cursor || !id || !ctx)
        return 0;
    std::lock_guard<std::mutex> lock(reg.m);
    auto it = reg.open.upper_bound(static_cast<int>(*cursor));
    if (it == reg.open.end())
        return 0;
    *cursor = it->first;
    *id = it->first;
    *ctx = it->second->ctx;
    if (tl_in_proc != it->second.get()) {
        reg.pins.emplace_back(it->first, std::this_thread::get_id());
        tl_pinning = true;
    }
    return 1;
}

int comm_hook_response(int id, int rsp_code, unsigned char *rsp_buf,
                       int rsp_size, int fail_code, unsigned char *fail_buf,
                       int fail_size, int retry_code, unsigned char *retry_buf,
                       int retry_size) {
    const int codes[HOOK_SLOTS] = {rsp_code, fail_code, retry_code};
    unsigned char *bufs[HOOK_SLOTS] = {rsp_buf, fail_buf, retry_buf};
    const int sizes[HOOK_SLOTS] = {rsp_size, fail_size, retry_size};
    for (int i = 0; i < HOOK_SLOTS; i++)
        if (sizes[i] < 0 || (sizes[i] > 0 && !bufs[i]))
            return COMM_ERR_ARG;
    auto c = find(id);
    if (!c)
        return missing(id);
    std::lock_guard<std::mutex> lock(c->m);
    c->hooked = true;
    c->fresh = false;
    for (int i = 0; i < HOOK_SLOTS; i++) {
        Slot &s = c->slots[i];
        s.code = sizes[i] > 0 ? (codes[i] & 0xFFFF) : -1;
        s.user = bufs[i];
        s.size = sizes[i];
        s.staged.resize(static_cast<size_t>(sizes[i]));
        s.staged_len = 0;
    }
    return COMM_OK;
}

int comm_write(int id, const unsigned char *data, int len, int flags,
               int timeout_ms) {
    if (len < 0 || (len > 0 && !data) || flags != 0)
        return COMM_ERR_ARG;
    auto c = find(id);
    if (!c)
        return missing(id);
    if (c->closing)
        return COMM_ERR_CLOSED;
    if (len == 0)
        return COMM_OK;
    std::lock_guard<std::mutex> lock(c->write_mutex);
    if (c->closing || c->fd == NO_HANDLE)
        return COMM_ERR_CLOSED;
    const Transport &tr = *c->target.transport;
    int bound = std::max(timeout_ms, tr.line_ms(c->target, len) + WRITE_MIN_MS);
    auto deadline = deadline_after(bound);
    int done = 0;
    while (done < len) {
        ssize_t n =
            tr.write(c->fd, data + done, static_cast<size_t>(len - done));
        if (n > 0) {
            trace_bytes(c->id, "TX", data + done, static_cast<int>(n));
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (c->closing)
                return COMM_ERR_CLOSED;
            if (Clock::now() >= deadline) {
                trace_note(c->id, "write timed out after " +
                                      std::to_string(done) + " of " +
                                      std::to_string(len) + " bytes");
                return COMM_ERR_TIMEOUT;
            }
            tr.wait(c->fd, nullptr, true, &deadline);
            continue;
        }
        std::string why = n == 0 ? "nothing written" : strerror(errno);
        trace_note(c->id, "write failed: " + why);
        c->write_failed = true;
        notify_closing(*c);
        wake_reader(*c);
        return COMM_ERR_IO;
    }
    return COMM_OK;
}

int comm_wait_response(int id, int *rsp_count, int *fail_count,
                       int *retry_count, int timeout_ms) {
    int *counts[HOOK_SLOTS] = {rsp_count, fail_count, retry_count};
    for (int *p : counts)
        if (p)
            *p = 0;
    release_pins();
    auto c = find(id);
    if (!c)
        return missing(id);
    if (tl_in_proc == c.get())
        return COMM_ERR_STATE; // its own reader could never deliver
    auto deadline = deadline_after(timeout_ms);
    std::unique_lock<std::mutex> lock(c->m);
    if (!c->hooked)
        return COMM_ERR_STATE;
    c->cv.wait_until(lock, deadline,
                     [&] { return c->fresh || c->closing || !c->hooked; });
    for (int i = 0; i < HOOK_SLOTS; i++) {
        Slot &s = c->slots[i];
        if (s.staged_len > 0 && s.user)
            memcpy(s.user, s.staged.data(), static_cast<size_t>(s.staged_len));
        if (counts[i])
            *counts[i] = s.staged_len;
        s.staged_len = 0;
    }
    bool got = c->fresh;
    c->fresh = false;
    if (got)
        return COMM_OK;
    return c->closing ? COMM_ERR_CLOSED : COMM_ERR_TIMEOUT;
}

long long comm_time_ms(void) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               Clock::now().time_since_epoch())
        .count();
}

int comm_fill_rsp_buff(int id, int code, const unsigned char *frame, int len) {
    if (!frame || len <= 0)
        return COMM_ERR_ARG;
    auto c = find(id);
    if (!c)
        return COMM_ERR_NOT_FOUND;
    {
        std::lock_guard<std::mutex> lock(c->m);
        if (!c->hooked)
            return COMM_ERR_NOT_FOUND;
        Slot *slot = nullptr;
        for (Slot &s : c->slots) {
            if (s.code == (code & 0xFFFF)) {
                slot = &s;
                break;
            }
        }
        if (!slot || len > slot->size)
            return COMM_ERR_NOT_FOUND; // not hooked, or does not fit
        memcpy(slot->staged.data(), frame, static_cast<size_t>(len));
        slot->staged_len = len;
        c->fresh = true;
    }
    // Woken after the lock is released, the waiter takes it at once instead
    // of waking only to sleep again on the mutex.
    c->cv.notify_all();
    return COMM_OK;
}

int comm_unhook_response(int id) {
    auto c = find(id);
    if (!c)
        return missing(id);
    std::lock_guard<std::mutex> lock(c->m);
    c->hooked = false;
    c->fresh = false;
    for (Slot &s : c->slots) {
        s.code = -1;
        s.user = nullptr;
        s.staged_len = 0;
    }
    return COMM_OK;
}

} // extern "C"
