// The fake library: one lock over all state, one event thread that delivers
// queued events in order, and virtual time for the waits (see fake_comm.h).
#include "fake_comm.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace fake_comm {
namespace {

using Clock = std::chrono::steady_clock;

// Bound of every real wait inside the fake itself, so a broken test fails
// instead of hanging.
constexpr int FAKE_DRAIN_MS = 10000;

struct Hook {
    bool on = false;
    int codes[3] = {0, 0, 0};
    unsigned char *bufs[3] = {nullptr, nullptr, nullptr};
    int sizes[3] = {0, 0, 0};
    int counts[3] = {0, 0, 0};
    // Frames are staged here and copied into the caller's buffers by the
    // wait, on the caller's thread, as the library does.
    Bytes staged[3];
    bool stored = false;
};

struct Conn {
    int id = -1;
    std::string conn_string;
    comm_event_proc proc = nullptr;
    void *ctx = nullptr;
    int idle_ms = 0;
    long long next_idle = 0;
    int state = COMM_STATE_OPENING;
    int state_override = -1;
    bool signalled = false;
    bool closing = false;
    bool gone = false; // COMM_EV_CLOSED delivered
    Hook hook;
};

struct Event {
    int id;
    int event;
    Bytes data;
};

// An event due at a moment of virtual time (post_after); seq keeps events
// due at the same moment in the order they were posted.
struct TimedEvent {
    long long at;
    long long seq;
    Event event;
};

struct State {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Event> queue;
    std::vector<TimedEvent> timed; // due later, in virtual time
    long long timed_seq = 0;
    bool busy = false;
    bool stop = false;
    std::thread worker;
    std::thread::id worker_id;

    bool virtual_time = true;
    bool auto_idle = true;
    bool auto_link_up = true;
    long long now = 0;
    int next_id = 1;
    int last_id = -1;
    int connect_rc = COMM_OK;
    int init_rc = COMM_OK;
    int usb_register_rc = COMM_OK;
    std::vector<std::string> usb_list;
    int usb_rc = COMM_OK;
    int bt_available = 0;
    std::vector<std::string> bt_found;

    std::vector<Conn> conns; // never erased before reset; cursor = index
    DeviceFn device;
    FillSeam fill_seam;
    WaitSeam wait_seam;
    std::map<int, Bytes> answers;
    std::map<int, std::deque<Bytes>> answers_once;
    std::deque<int> write_results;
    std::deque<WaitReply> wait_script;

    std::vector<Write> writes;
    std::vector<std::string> calls;
};

State &S() {
    static State s;
    return s;
}

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Caller holds the lock.
void record(const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    S().calls.emplace_back(line);
}

Conn *find(int id) {
    for (auto &c : S().conns)
        if (c.id == id && !c.gone)
            return &c;
    return nullptr;
}

bool quiet() {
    return S().queue.empty() && !S().busy;
}

// Runs one event through its procedure; lock held on entry and exit, released
// during the call. busy must already be set by the caller.
int run_event(std::unique_lock<std::mutex> &lock, const Event &e) {
    Conn *c = find(e.id);
    if (c == nullptr || c->proc == nullptr)
        return 0;
    comm_event_proc proc = c->proc;
    void *ctx = c->ctx;
    if (e.event == COMM_EV_DATA)
        c->next_idle = S().now + c->idle_ms;
    lock.unlock();
    const int rc = proc(e.id, e.event, e.data.empty() ? nullptr : e.data.data(),
                        static_cast<int>(e.data.size()), ctx);
    lock.lock();
    c = find(e.id);
    if (c != nullptr) {
        if (e.event == COMM_EV_IDLE && rc == -1)
            c->state = COMM_STATE_FAILED;
        if (e.event == COMM_EV_CLOSED) {
            c->gone = true;
            c->state = COMM_STATE_NONE;
            c->hook = Hook{};
        }
    }
    return rc;
}

void worker_loop() {
    State &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    for (;;) {
        s.cv.wait(lock,
                  [&] { return s.stop || (!s.queue.empty() && !s.busy); });
        if (s.queue.empty() && s.stop)
            return;
        Event e = std::move(s.queue.front());
        s.queue.pop_front();
        s.busy = true;
        run_event(lock, e);
        s.busy = false;
        s.cv.notify_all();
    }
}

// Caller holds the lock.
void post_locked(int id, int event, const Bytes &data) {
    State &s = S();
    Conn *c = find(id);
    if (c == nullptr || (c->closing && event != COMM_EV_CLOSED))
        return;
    if (!s.worker.joinable()) {
        s.stop = false;
        s.worker = std::thread(worker_loop);
        s.worker_id = s.worker.get_id();
    }
    s.queue.push_back(Event{id, event, data});
    s.cv.notify_all();
}

// Waits, under the lock, until done() holds; false at the time-out. In
// virtual time the clock jumps over silence, delivering idle events on the
// way.
template <typename Done>
bool wait_for(std::unique_lock<std::mutex> &lock, int timeout_ms, Done done) {
    State &s = S();
    if (!s.virtual_time) {
        auto deadline = Clock::now() + std::chrono::milliseconds(
                                           timeout_ms > 0 ? timeout_ms : 0);
        return s.cv.wait_until(lock, deadline, done);
    }
    const long long deadline = s.now + (timeout_ms > 0 ? timeout_ms : 0);
    auto real_bound = Clock::now() + std::chrono::milliseconds(FAKE_DRAIN_MS);
    for (;;) {
        if (done())
            return true;
        if (!quiet()) {
            if (s.cv.wait_until(lock, real_bound) == std::cv_status::timeout)
                return done();
            continue;
        }
        Conn *next = nullptr;
        if (s.auto_idle) {
            for (auto &c : s.conns) {
                if (c.gone || c.closing || c.idle_ms <= 0 ||
                    c.state == COMM_STATE_FAILED)
                    continue;
                if (next == nullptr || c.next_idle < next->next_idle)
                    next = &c;
            }
        }
        // The earliest timed event, if it comes before the next idle event
        // and before the deadline, is what happens next.
        auto timed = std::min_element(
            s.timed.begin(), s.timed.end(),
            [](const TimedEvent &a, const TimedEvent &b) {
                return a.at != b.at ? a.at < b.at : a.seq < b.seq;
            });
        if (timed != s.timed.end() && timed->at < deadline &&
            (next == nullptr || timed->at <= next->next_idle)) {
            if (timed->at > s.now)
                s.now = timed->at;
            Event e = std::move(timed->event);
            s.timed.erase(timed);
            post_locked(e.id, e.event, e.data);
            continue;
        }
        if (next == nullptr || next->next_idle > deadline) {
            s.now = deadline;
            return false;
        }
        if (next->next_idle > s.now)
            s.now = next->next_idle;
        next->next_idle += next->idle_ms;
        post_locked(next->id, COMM_EV_IDLE, {});
    }
}

void copy_entry(comm_entry &out, const std::string &text) {
    snprintf(out, COMM_STR_SIZE, "%s", text.c_str());
}

} // namespace

// ---- Set-up ----------------------------------------------------------------

void reset() {
    State &s = S();
    {
        std::unique_lock<std::mutex> lock(s.m);
        s.stop = true;
        s.queue.clear();
        s.timed.clear();
        s.cv.notify_all();
    }
    if (s.worker.joinable())
        s.worker.join();
    std::lock_guard<std::mutex> lock(s.m);
    s.worker = std::thread();
    s.worker_id = std::thread::id();
    s.busy = false;
    s.stop = false;
    s.virtual_time = true;
    s.auto_idle = true;
    s.auto_link_up = true;
    s.now = 0;
    s.next_id = 1;
    s.last_id = -1;
    s.connect_rc = s.init_rc = s.usb_register_rc = s.usb_rc = COMM_OK;
    s.usb_list.clear();
    s.bt_available = 0;
    s.bt_found.clear();
    s.conns.clear();
    s.device = nullptr;
    s.fill_seam = nullptr;
    s.wait_seam = nullptr;
    s.answers.clear();
    s.answers_once.clear();
    s.write_results.clear();
    s.wait_script.clear();
    s.writes.clear();
    s.calls.clear();
}

void set_virtual_time(bool on) {
    std::lock_guard<std::mutex> lock(S().m);
    S().virtual_time = on;
}
void set_auto_idle(bool on) {
    std::lock_guard<std::mutex> lock(S().m);
    S().auto_idle = on;
}
void set_auto_link_up(bool on) {
    std::lock_guard<std::mutex> lock(S().m);
    S().auto_link_up = on;
}
void set_next_id(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    S().next_id = id;
}
void set_connect_result(int rc) {
    std::lock_guard<std::mutex> lock(S().m);
    S().connect_rc = rc;
}
void set_init_result(int rc) {
    std::lock_guard<std::mutex> lock(S().m);
    S().init_rc = rc;
}
void set_usb_register_result(int rc) {
    std::lock_guard<std::mutex> lock(S().m);
    S().usb_register_rc = rc;
}
void set_usb_list(const std::vector<std::string> &entries, int rc) {
    std::lock_guard<std::mutex> lock(S().m);
    S().usb_list = entries;
    S().usb_rc = rc;
}
void set_bt(int available, const std::vector<std::string> &found) {
    std::lock_guard<std::mutex> lock(S().m);
    S().bt_available = available;
    S().bt_found = found;
}
void set_state(int id, int state) {
    std::lock_guard<std::mutex> lock(S().m);
    if (Conn *c = find(id))
        c->state_override = state;
}

// ---- Playing the device ----------------------------------------------------

void set_device(DeviceFn fn) {
    std::lock_guard<std::mutex> lock(S().m);
    S().device = std::move(fn);
}
void answer(int request_code, const Bytes &reply) {
    std::lock_guard<std::mutex> lock(S().m);
    S().answers[request_code] = reply;
}
void answer_once(int request_code, const Bytes &reply) {
    std::lock_guard<std::mutex> lock(S().m);
    S().answers_once[request_code].push_back(reply);
}
void fail_writes(const std::vector<int> &results) {
    std::lock_guard<std::mutex> lock(S().m);
    S().write_results.insert(S().write_results.end(), results.begin(),
                             results.end());
}
void set_fill_seam(FillSeam fn) {
    std::lock_guard<std::mutex> lock(S().m);
    S().fill_seam = std::move(fn);
}

void set_wait_seam(WaitSeam fn) {
    std::lock_guard<std::mutex> lock(S().m);
    S().wait_seam = std::move(fn);
}

void script_wait(const WaitReply &reply) {
    std::lock_guard<std::mutex> lock(S().m);
    S().wait_script.push_back(reply);
}

void post(int id, int event, const Bytes &data) {
    std::lock_guard<std::mutex> lock(S().m);
    post_locked(id, event, data);
}

void post_after(int id, int delay_ms, int event, const Bytes &data) {
    std::lock_guard<std::mutex> lock(S().m);
    State &s = S();
    s.timed.push_back(TimedEvent{s.now + (delay_ms > 0 ? delay_ms : 0),
                                 s.timed_seq++, Event{id, event, data}});
}

int deliver(int id, int event, const Bytes &data) {
    State &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    s.cv.wait_for(lock, std::chrono::milliseconds(FAKE_DRAIN_MS), quiet);
    s.busy = true;
    const int rc = run_event(lock, Event{id, event, data});
    s.busy = false;
    s.cv.notify_all();
    return rc;
}

void deliver_split(int id, const Bytes &data, const std::vector<int> &sizes) {
    size_t at = 0;
    for (int n : sizes) {
        size_t take = n < 0 ? 0 : static_cast<size_t>(n);
        if (take > data.size() - at)
            take = data.size() - at;
        deliver(id, COMM_EV_DATA,
                Bytes(data.begin() + static_cast<long>(at),
                      data.begin() + static_cast<long>(at + take)));
        at += take;
    }
    if (at < data.size())
        deliver(id, COMM_EV_DATA,
                Bytes(data.begin() + static_cast<long>(at), data.end()));
}

void drop_link(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    post_locked(id, COMM_EV_ERROR, {});
    if (Conn *c = find(id)) {
        post_locked(id, COMM_EV_CLOSED, {});
        c->closing = true;
        c->hook.stored = false;
        S().cv.notify_all();
    }
}

bool drain(int ms) {
    std::unique_lock<std::mutex> lock(S().m);
    return S().cv.wait_for(lock, std::chrono::milliseconds(ms), quiet);
}

// ---- Frames ----------------------------------------------------------------

Bytes frame(int code, const Bytes &payload, int status, int param) {
    // Sized once and filled in place: header, payload, payload checksum.
    constexpr size_t head = 12;
    const size_t len = payload.size() + 1;
    Bytes f(head + len, 0);
    const unsigned char fields[head] = {
        'D',
        'E',
        'V',
        'O',
        static_cast<unsigned char>(code & 0xFF),
        static_cast<unsigned char>((code >> 8) & 0xFF),
        static_cast<unsigned char>(len & 0xFF),
        static_cast<unsigned char>((len >> 8) & 0xFF),
        static_cast<unsigned char>(param & 0xFF),
        static_cast<unsigned char>((param >> 8) & 0xFF),
        static_cast<unsigned char>(status),
        0};
    unsigned char x = 0;
    for (size_t i = 0; i < head; i++) {
        f[i] = fields[i];
        x ^= fields[i];
    }
    f[head - 1] = x;
    x = 0;
    for (size_t i = 0; i < payload.size(); i++) {
        f[head + i] = payload[i];
        x ^= payload[i];
    }
    f[head + payload.size()] = x;
    return f;
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}
Bytes u32le(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}
Bytes u16le(uint16_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
}
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
int frame_code(const Bytes &f) {
    return f.size() >= 6 ? f[4] | (f[5] << 8) : 0;
}
int frame_param(const Bytes &f) {
    return f.size() >= 10 ? f[8] | (f[9] << 8) : 0;
}
Bytes frame_payload(const Bytes &f) {
    if (f.size() < 13)
        return {};
    return Bytes(f.begin() + 12, f.end() - 1);
}

// ---- What happened ---------------------------------------------------------

std::vector<Write> writes() {
    std::lock_guard<std::mutex> lock(S().m);
    return S().writes;
}
std::vector<int> written_codes() {
    std::vector<int> codes;
    for (const Write &w : writes())
        codes.push_back(frame_code(w.bytes));
    return codes;
}
std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(S().m);
    return S().calls;
}
int count_calls(const std::string &prefix) {
    int n = 0;
    for (const std::string &c : calls())
        if (c.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}
void clear_records() {
    std::lock_guard<std::mutex> lock(S().m);
    S().writes.clear();
    S().calls.clear();
}
int last_id() {
    std::lock_guard<std::mutex> lock(S().m);
    return S().last_id;
}
std::string conn_string(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    for (const Conn &c : S().conns)
        if (c.id == id)
            return c.conn_string;
    return "";
}
long long now_ms() {
    std::lock_guard<std::mutex> lock(S().m);
    return S().now;
}

} // namespace fake_comm

// ---- The library's functions -----------------------------------------------

using namespace fake_comm;

extern "C" {

long long comm_time_ms(void) {
    std::lock_guard<std::mutex> lock(S().m);
    if (S().virtual_time)
        return S().now;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               Clock::now().time_since_epoch())
        .count();
}

int comm_init(void) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_init()");
    return S().init_rc;
}

int comm_shut(void) {
    {
        std::lock_guard<std::mutex> lock(S().m);
        record("comm_shut()");
        for (Conn &c : S().conns) {
            if (!c.gone && !c.closing) {
                post_locked(c.id, COMM_EV_CLOSED, {});
                c.closing = true;
            }
        }
        S().cv.notify_all();
    }
    drain(FAKE_DRAIN_MS);
    return COMM_OK;
}

int comm_usb_register(comm_usb_change_proc, void *) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_usb_register()");
    return S().usb_register_rc;
}

int comm_usb_deregister(void) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_usb_deregister()");
    return COMM_OK;
}

int comm_connect(int *id, const char *conn_string, comm_event_proc proc,
                 int rx_buffer_size, int idle_ms, void *ctx) {
    std::lock_guard<std::mutex> lock(S().m);
    State &s = S();
    record("comm_connect(%s,%d,%d)", conn_string ? conn_string : "(null)",
           rx_buffer_size, idle_ms);
    if (s.connect_rc != COMM_OK)
        return s.connect_rc;
    Conn c;
    c.id = s.next_id++;
    c.conn_string = conn_string ? conn_string : "";
    c.proc = proc;
    c.ctx = ctx;
    c.idle_ms = idle_ms;
    c.next_idle = s.now + idle_ms;
    s.conns.push_back(c);
    s.last_id = c.id;
    *id = c.id;
    if (s.auto_link_up)
        post_locked(c.id, COMM_EV_LINK_UP, {});
    return COMM_OK;
}

int comm_wait_connected(int id, int timeout_ms) {
    std::unique_lock<std::mutex> lock(S().m);
    record("comm_wait_connected(%d,%d)", id, timeout_ms);
    if (std::this_thread::get_id() == S().worker_id)
        return COMM_ERR_STATE; // never from an event procedure
    // Released only once the event that signalled has been fully handled,
    // so the state read next reflects its answer (-1 when identification
    // was given up).
    bool ok = wait_for(lock, timeout_ms, [&] {
        Conn *c = find(id);
        return c == nullptr || c->closing || (c->signalled && !S().busy);
    });
    Conn *c = find(id);
    if (c == nullptr || (c->closing && !c->signalled))
        return COMM_ERR_CLOSED;
    return ok && c->signalled ? COMM_OK : COMM_ERR_TIMEOUT;
}

int comm_signal_connected(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_signal_connected(%d)", id);
    Conn *c = find(id);
    if (c == nullptr)
        return COMM_ERR_NOT_FOUND;
    c->signalled = true;
    c->state = COMM_STATE_CONNECTED;
    S().cv.notify_all();
    return COMM_OK;
}

int comm_get_state(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    for (const Conn &c : S().conns) {
        if (c.id != id)
            continue;
        if (c.state_override >= 0)
            return c.state_override;
        if (!c.gone)
            return c.state;
    }
    return COMM_STATE_NONE;
}

int comm_disconnect(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_disconnect(%d)", id);
    Conn *c = find(id);
    // As the library: a connection that is closing or has closed answers
    // COMM_ERR_CLOSED, one that never existed COMM_ERR_NOT_FOUND.
    if (c == nullptr)
        return id > 0 && id < S().next_id ? COMM_ERR_CLOSED
                                          : COMM_ERR_NOT_FOUND;
    if (c->closing)
        return COMM_ERR_CLOSED;
    post_locked(id, COMM_EV_CLOSED, {});
    c->closing = true;
    S().cv.notify_all();
    return COMM_OK;
}

int comm_data_cntr_init(comm_cursor *cursor) {
    *cursor = 0;
    return COMM_OK;
}

int comm_get_data(comm_cursor *cursor, int *id, void **ctx) {
    std::lock_guard<std::mutex> lock(S().m);
    auto &conns = S().conns;
    while (*cursor >= 0 && static_cast<size_t>(*cursor) < conns.size()) {
        const Conn &c = conns[static_cast<size_t>(*cursor)];
        (*cursor)++;
        if (c.gone)
            continue;
        *id = c.id;
        *ctx = c.ctx;
        return 1;
    }
    return 0;
}

int comm_hook_response(int id, int rsp_code, unsigned char *rsp_buf,
                       int rsp_size, int fail_code, unsigned char *fail_buf,
                       int fail_size, int retry_code, unsigned char *retry_buf,
                       int retry_size) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_hook_response(%d,%d,%d,%d,%d,%d,%d)", id, rsp_code, rsp_size,
           fail_code, fail_size, retry_code, retry_size);
    Conn *c = find(id);
    if (c == nullptr)
        return COMM_ERR_NOT_FOUND;
    Hook h;
    h.on = true;
    h.codes[0] = rsp_code;
    h.codes[1] = fail_code;
    h.codes[2] = retry_code;
    h.bufs[0] = rsp_buf;
    h.bufs[1] = fail_buf;
    h.bufs[2] = retry_buf;
    h.sizes[0] = rsp_size;
    h.sizes[1] = fail_size;
    h.sizes[2] = retry_size;
    c->hook = h;
    return COMM_OK;
}

int comm_write(int id, const unsigned char *data, int len, int flags,
               int timeout_ms) {
    DeviceFn device;
    std::vector<Bytes> replies;
    Bytes bytes(data, data + (len > 0 ? len : 0));
    {
        std::lock_guard<std::mutex> lock(S().m);
        State &s = S();
        record("comm_write(%d,%d,%d)", id, len, timeout_ms);
        Conn *c = find(id);
        if (c == nullptr)
            return COMM_ERR_NOT_FOUND;
        if (c->closing)
            return COMM_ERR_CLOSED;
        if (flags != 0 || len <= 0 || data == nullptr)
            return COMM_ERR_ARG;
        if (!s.write_results.empty()) {
            int rc = s.write_results.front();
            s.write_results.pop_front();
            if (rc != COMM_OK)
                return rc;
        }
        s.writes.push_back(Write{id, bytes, timeout_ms});
        const int code = frame_code(bytes);
        auto once = s.answers_once.find(code);
        if (once != s.answers_once.end() && !once->second.empty()) {
            replies.push_back(once->second.front());
            once->second.pop_front();
        } else if (auto a = s.answers.find(code); a != s.answers.end()) {
            replies.push_back(a->second);
        }
        for (const Bytes &r : replies)
            post_locked(id, COMM_EV_DATA, r);
        device = s.device;
    }
    if (device)
        device(id, bytes);
    return COMM_OK;
}

int comm_wait_response(int id, int *rsp_count, int *fail_count,
                       int *retry_count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(S().m);
    State &s = S();
    record("comm_wait_response(%d,%d)", id, timeout_ms);
    *rsp_count = *fail_count = *retry_count = 0;
    if (std::this_thread::get_id() == s.worker_id)
        return COMM_ERR_STATE; // never from an event procedure
    Conn *c = find(id);
    if (c == nullptr)
        return COMM_ERR_NOT_FOUND;
    if (!s.wait_script.empty()) {
        WaitReply w = s.wait_script.front();
        s.wait_script.pop_front();
        // The frames also pass through the event procedure, as arriving
        // frames do, so that the link sees them arrive.
        lock.unlock();
        for (const Bytes *f : {&w.rsp, &w.fail, &w.retry})
            if (!f->empty())
                deliver(id, COMM_EV_DATA, *f);
        lock.lock();
        c = find(id);
        if (c == nullptr)
            return COMM_ERR_CLOSED;
        const Bytes *frames[3] = {&w.rsp, &w.fail, &w.retry};
        int *counts[3] = {rsp_count, fail_count, retry_count};
        bool any = false;
        for (int k = 0; k < 3; k++) {
            if (frames[k]->empty() || c->hook.bufs[k] == nullptr)
                continue;
            int n = static_cast<int>(frames[k]->size());
            if (n > c->hook.sizes[k])
                n = c->hook.sizes[k];
            memcpy(c->hook.bufs[k], frames[k]->data(), static_cast<size_t>(n));
            *counts[k] = n;
            any = true;
        }
        c->hook.stored = false;
        for (int &n : c->hook.counts)
            n = 0;
        return any ? COMM_OK : COMM_ERR_TIMEOUT;
    }
    wait_for(lock, timeout_ms, [&] {
        Conn *cc = find(id);
        return cc == nullptr || cc->closing || cc->hook.stored;
    });
    c = find(id);
    if (c == nullptr || (c->closing && !c->hook.stored))
        return COMM_ERR_CLOSED;
    if (!c->hook.stored)
        return COMM_ERR_TIMEOUT;
    *rsp_count = c->hook.counts[0];
    *fail_count = c->hook.counts[1];
    *retry_count = c->hook.counts[2];
    for (int k = 0; k < 3; k++)
        if (c->hook.counts[k] > 0)
            memcpy(c->hook.bufs[k], c->hook.staged[k].data(),
                   static_cast<size_t>(c->hook.counts[k]));
    c->hook.stored = false;
    for (int &n : c->hook.counts)
        n = 0;
    if (WaitSeam seam = s.wait_seam) {
        lock.unlock();
        seam();
    }
    return COMM_OK;
}

int comm_fill_rsp_buff(int id, int code, const unsigned char *frame, int len) {
    FillSeam seam;
    {
        std::lock_guard<std::mutex> lock(S().m);
        seam = S().fill_seam;
    }
    if (seam)
        seam(code);
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_fill_rsp_buff(%d,%d,%d)", id, code, len);
    Conn *c = find(id);
    if (c == nullptr || !c->hook.on || frame == nullptr || len <= 0)
        return COMM_ERR_NOT_FOUND;
    for (int k = 0; k < 3; k++) {
        if (c->hook.codes[k] != code)
            continue;
        if (len > c->hook.sizes[k] || c->hook.bufs[k] == nullptr)
            return COMM_ERR_NOT_FOUND;
        c->hook.staged[k].assign(frame, frame + len);
        c->hook.counts[k] = len;
        c->hook.stored = true;
        S().cv.notify_all();
        return COMM_OK;
    }
    return COMM_ERR_NOT_FOUND;
}

int comm_unhook_response(int id) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_unhook_response(%d)", id);
    if (Conn *c = find(id))
        c->hook = Hook{};
    return COMM_OK;
}

int comm_list_devices_usb(int flags, comm_entry *list, int max, int *count,
                          const char *filter, const char *filter2, int vid_min,
                          int vid_max, int pid_min, int pid_max) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_list_devices_usb(%d,%d,%s,%s,%04X,%04X,%04X,%04X)", flags, max,
           filter ? filter : "(null)", filter2 ? filter2 : "(null)", vid_min,
           vid_max, pid_min, pid_max);
    int n = 0;
    for (const std::string &e : S().usb_list) {
        if (n >= max)
            break;
        copy_entry(list[n++], e);
    }
    *count = n;
    return S().usb_rc;
}

int comm_get_devid_string(const char *entry, char *text) {
    snprintf(text, COMM_STR_SIZE, "%s", entry);
    return COMM_OK;
}

int comm_bt_is_available(void) {
    std::lock_guard<std::mutex> lock(S().m);
    return S().bt_available;
}

int comm_bt_discover(int flags, unsigned int cod_mask, int mode) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_bt_discover(%d,%06X,%d)", flags, cod_mask, mode);
    return COMM_OK;
}

int comm_bt_discover_wait(comm_entry *list, int *count) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_bt_discover_wait()");
    int n = 0;
    for (const std::string &e : S().bt_found) {
        if (n >= COMM_BT_MAX_DEVICES)
            break;
        copy_entry(list[n++], e);
    }
    *count = n;
    return COMM_OK;
}

int comm_bt_discover_cancel(void) {
    std::lock_guard<std::mutex> lock(S().m);
    record("comm_bt_discover_cancel()");
    return COMM_OK;
}

int comm_make_conn_string_serial(char *out, uint16_t port, int baud,
                                 int data_bits, int stop_bits, int parity,
                                 int flow) {
    snprintf(out, COMM_STR_SIZE, "serial:%u,%d,%d,%d,%d,%d", port, baud,
             data_bits, stop_bits, parity, flow);
    return COMM_OK;
}

int comm_make_conn_string_serial_path(char *out, const char *path, int baud,
                                      int data_bits, int stop_bits, int parity,
                                      int flow) {
    snprintf(out, COMM_STR_SIZE, "serial:%s,%d,%d,%d,%d,%d",
             path ? path : "(null)", baud, data_bits, stop_bits, parity, flow);
    return COMM_OK;
}

int comm_make_conn_string_bt(char *out, const char *address, const char *name,
                             unsigned int cod_mask, int channel,
                             const char *pin, int timeout_ms) {
    snprintf(out, COMM_STR_SIZE, "bt:%s,%s,%06X,%d,%s,%d",
             address ? address : "(null)", name ? name : "(null)", cod_mask,
             channel, pin ? pin : "(null)", timeout_ms);
    return COMM_OK;
}

int comm_make_conn_string_net(char *out, const char *host, uint16_t port,
                              int timeout_ms) {
    snprintf(out, COMM_STR_SIZE, "net:%s:%u,%d", host ? host : "(null)", port,
             timeout_ms);
    return COMM_OK;
}

int comm_make_conn_string_usb(char *out, const char *entry, int extra, int vid,
                              int pid) {
    snprintf(out, COMM_STR_SIZE, "usb:%s,%d,%04X,%04X",
             entry ? entry : "(null)", extra, vid, pid);
    return COMM_OK;
}

} // extern "C"
