// The device link: building and reassembling frames, the command transaction
// with its tries, connections with device identification, and the dispatch
// of every verified frame to identification, hooked callbacks and the
// library's reply buffers.
//
// Threads: transactions run on the caller's thread; the event procedure and
// every callback it calls run on the library's event thread. The receive
// state, `identified`, `probe_attempts` and the hook table of a context are
// touched only on the event thread; `cmd_tries` is atomic because the
// identification routine writes it there while commands read it on the main
// thread. Reply matching is shared by both threads and has one owner: the
// event thread decides for each frame under the context's match lock, and
// the transaction reads those decisions under the same lock (see "Matching
// replies" below).
//
// Context lifetime: the main thread finds a connection's context by walking
// the library's connection list and then reads from it, while the event
// thread may be closing that very connection. A context therefore is not
// freed when its connection closes: it is retired and stays valid until
// MXX_shut, after the library has stopped. A program opens one connection
// per run, so at most a few contexts are ever held.
#include "mxx_comm.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "wire.h"

namespace {

// Offsets of the header fields.
constexpr int OFF_CODE = 4;
constexpr int OFF_LENGTH = 6;
constexpr int OFF_PARAM = 8;
constexpr int OFF_STATUS = 10;
constexpr int OFF_HDR_XOR = 11;
constexpr unsigned char MAGIC[4] = {'D', 'E', 'V', 'O'};

// Reply kinds reported by MXX_test_response.
constexpr int KIND_NONE_OR_RETRY = 0;
constexpr int KIND_RESPONSE = 1;
constexpr int KIND_FAILURE = 2;

// Requests that every device of the family answers with its own reply code
// and that change nothing: get-serial, get-firmware-version, get-model-word
// and get-time. They prove the line clean after a missed reply; each try
// takes one whose reply code no reply still on its way carries.
constexpr int BARRIER_CODES[] = {8007, 8001, 8008, 8002};

// Identification: probes sent on time-outs before giving up.
constexpr int MXX_PROBE_RETRIES = 5;
constexpr int MXX_GAVE_UP = -1;

// Arguments of the library's connection call.
constexpr int MXX_RX_CHUNK = 4096;

// Transport settings.
constexpr int SERIAL_BAUD = 115200;
constexpr int SERIAL_DATA_BITS = 8;
constexpr int SERIAL_STOP_BITS = 1;
constexpr int SERIAL_PARITY = 0;
constexpr int SERIAL_FLOW = 0;
constexpr unsigned BT_COD_MASK = 0xFFE050;
constexpr int BT_CHANNEL = 1;
constexpr const char *BT_PIN = "7294";
constexpr int BT_TIMEOUT_MS = 60000;
constexpr int NET_TIMEOUT_MS = 1000;
constexpr int USB_VID = 0x1781;
constexpr int USB_PID_FIRST = 0x0C44;
constexpr int USB_PID_LAST = 0x0C4D;
constexpr int USB_PID_SERIAL = 0x0C44;
constexpr int USB_PID_OTHER = 0x0C45;
constexpr int USB_TAG_LEN = 4;

std::atomic<MXX_wait_cb> MXX_wait_callback{nullptr};

// Every context handed to the library, kept until MXX_shut.
std::mutex contexts_mutex;
std::vector<std::unique_ptr<MXX_conn>> contexts;

[[noreturn]] void assert_fail(const char *expr, const char *message,
                              const char *function, int line) {
    log_error("mxx_comm.cpp:%d: %s: Assertion `%s' failed: %s\n", line,
              function, expr, message);
    abort();
}

// Checked in every build: a violation is a programming error, and sending a
// frame whose length field cannot describe its payload would corrupt the
// link.
#define MXX_ASSERT(expr, message)                                              \
    ((expr) ? (void)0 : assert_fail(#expr, message, __func__, __LINE__))

unsigned char xor_of(const unsigned char *bytes, int n) {
    unsigned char x = 0;
    for (int i = 0; i < n; i++)
        x ^= bytes[i];
    return x;
}

// Walks the library's connection list; fn(ctx) for each entry of id.
template <typename Fn> void for_each_context(int id, Fn fn) {
    comm_cursor cursor = 0;
    comm_data_cntr_init(&cursor);
    int entry_id = -1;
    void *ctx = nullptr;
    while (comm_get_data(&cursor, &entry_id, &ctx) != 0) {
        if (entry_id == id && ctx != nullptr)
            fn(static_cast<MXX_conn *>(ctx));
    }
}

void reset_rx(MXX_conn *c) {
    c->rx_pos = 0;
    c->rx_expect = 0;
    c->rx_got = 0;
}

bool is_general(int code) {
    return code == MXX_CODE_RETRY || code == MXX_CODE_FAIL;
}

// ---- Matching replies -------------------------------------------------------
//
// Frames carry no sequence number: a reply is matched to its request by its
// code alone, or is a general retry or failure reply, which answers whatever
// is pending. Which request a frame answers is decided in one place,
// match_frame(), on the event thread, for one frame at a time in the order
// they arrived, under the context's match lock:
//  - a frame that could answer the transaction in progress (its reply code,
//    or a general reply) is counted for it and handed to the library, which
//    stores it in that transaction's buffers, in the same locked step;
//  - any other reply crosses off the oldest reply still owed to an earlier
//    request (of its code; a general reply the oldest of all);
//  - a reply that nobody is owed came unasked: the line is not clean.
// A transaction hooks its buffers and starts waiting under the same lock,
// and ends (stops counting, unhooks) under it too. So a frame is counted and
// stored for exactly one transaction, and one that arrives after a
// transaction ended can never reach the buffers of the next: it is owed to
// an earlier request, or it is stray and the next transaction proves the
// line clean before it sends anything.

bool is_reply(int code) {
    return is_general(code) || (code >= MXX_REQUEST_FIRST + MXX_RSP_OFFSET &&
                                code <= MXX_REQUEST_LAST + MXX_RSP_OFFSET);
}

// Whether the next transaction must first prove the line clean; match_mutex
// held.
bool unsure(const MXX_conn *c) {
    return c->stray || !c->owed.empty();
}

// Decides what one verified frame is and offers it to the library, as one
// step; match_mutex held (see above).
void match_frame(int id, MXX_conn *c, const unsigned char *frame,
                 int frame_len) {
    const int code = WireReader(frame, frame_len).u16(OFF_CODE);
    if (c->pending_rsp >= 0 && (code == c->pending_rsp || is_general(code))) {
        c->pending_arrivals++;
    } else if (is_reply(code)) {
        // The instrument answers in order: a frame answers the oldest
        // request still owed a reply of its code, a general reply the
        // oldest of all.
        auto &owed = c->owed;
        auto it =
            std::find_if(owed.begin(), owed.end(), [&](const MXX_owed &o) {
                return o.rsp_code == code || is_general(code);
            });
        if (it != owed.end())
            owed.erase(it);
        else
            c->stray = true;
    }
    // Every frame is offered; the library stores only those of the codes
    // the transaction in progress (or the proof of the line) has hooked.
    comm_fill_rsp_buff(id, code, frame, frame_len);
}

// Hands one verified frame to identification and the hooks.
void dispatch_frame(int id, MXX_conn *c, const unsigned char *frame,
                    int frame_len) {
    const int code = WireReader(frame, frame_len).u16(OFF_CODE);
    if (!c->identified && c->test_probe != nullptr) {
        if (c->test_probe(id, frame, &c->probe_type, c->probe_attempts)) {
            c->identified = 1;
            if (c->event_connected != nullptr)
                c->event_connected(id, c, c->probe_type, c->user);
            comm_signal_connected(id);
        }
    }

    bool taken = false;
    const int n =
        c->hook_count < MXX_HOOK_SLOTS ? c->hook_count : MXX_HOOK_SLOTS;
    for (int i = 0; i < n; i++) {
        const MXX_hook &h = c->hooks[i];
        if (h.code == code && h.callback != nullptr) {
            h.callback(id, c, frame, c->user);
            taken = true;
            break;
        }
    }
    const MXX_hook &any = c->hooks[MXX_HOOK_SLOTS - 1];
    if (!taken && any.code == MXX_HOOK_ANY && any.callback != nullptr)
        any.callback(id, c, frame, c->user);
}

// Feeds received bytes through the receive state of c: the magic and the
// header byte by byte, the payload in whole pieces. The frames completed by
// one read are kept in c->batch, then handled in the order they arrived:
// each run of replies is matched together under one hold of the match
// lock, then handed to identification and the hooks; any other frame (live
// data, an event) is matched and handed on alone. Matching comes first,
// since identification may release the main thread, whose first
// transaction must already see the frame matched; replies that arrived
// together are matched together, so a transaction woken by the first of
// them ends only after the others are counted: a reply that came twice in
// one read is seen as such, never as the next request's. And an event that
// came before a reply reaches its hook before the reply wakes the waiting
// thread, as the instrument sent them: a live line printed on the event
// thread comes before what the main thread prints once the reply is in.
void receive(int id, MXX_conn *c, const unsigned char *data, int len) {
    c->batch.clear();
    c->batch_ends.clear();
    for (int i = 0; i < len; i++) {
        const unsigned char b = data[i];
        if (c->rx_pos == 0) {
            if (b == MAGIC[0]) {
                c->rx_buf[0] = b;
                c->rx_pos = 1;
                c->rx_expect = 0;
            }
            continue;
        }
        if (c->rx_pos < 4) {
            // A mismatch is discarded, not taken as the start of a frame.
            if (b == MAGIC[c->rx_pos])
                c->rx_buf[c->rx_pos++] = b;
            else
                c->rx_pos = 0;
            continue;
        }
        if (c->rx_pos < MXX_HEADER_SIZE) {
            c->rx_buf[c->rx_pos++] = b;
            if (c->rx_pos < MXX_HEADER_SIZE)
                continue;
            if (xor_of(c->rx_buf, MXX_HEADER_SIZE) != 0) {
                reset_rx(c);
                continue;
            }
            const int length =
                WireReader(c->rx_buf, MXX_HEADER_SIZE).u16(OFF_LENGTH);
            // A length the buffer cannot hold is dropped like a bad header.
            if (length > MXX_RX_BUF_SIZE - MXX_HEADER_SIZE) {
                reset_rx(c);
                continue;
            }
            c->rx_expect = length;
            c->rx_got = 0;
        } else {
            // The payload: everything this frame still lacks that is here
            // is taken at once rather than byte by byte.
            const int take = std::min(len - i, c->rx_expect - c->rx_got);
            memcpy(c->rx_buf + c->rx_pos, data + i, static_cast<size_t>(take));
            c->rx_pos += take;
            c->rx_got += take;
            i += take - 1;
        }
        if (c->rx_got < c->rx_expect)
            continue;
        if (xor_of(c->rx_buf + MXX_HEADER_SIZE, c->rx_expect) != 0) {
            reset_rx(c);
            continue;
        }
        c->batch.insert(c->batch.end(), c->rx_buf,
                        c->rx_buf + MXX_HEADER_SIZE + c->rx_expect);
        c->batch_ends.push_back(c->batch.size());
        reset_rx(c);
    }
    if (c->batch_ends.empty())
        return;
    const size_t frames = c->batch_ends.size();
    auto start = [&](size_t k) { return k == 0 ? 0 : c->batch_ends[k - 1]; };
    auto frame = [&](size_t k) { return c->batch.data() + start(k); };
    auto length = [&](size_t k) {
        return static_cast<int>(c->batch_ends[k] - start(k));
    };
    auto reply = [&](size_t k) {
        return is_reply(WireReader(frame(k), length(k)).u16(OFF_CODE));
    };
    for (size_t first = 0; first < frames;) {
        // [first, last): one run of replies, or one other frame.
        size_t last = first + 1;
        if (reply(first))
            while (last < frames && reply(last))
                last++;
        {
            std::lock_guard<std::mutex> lock(c->match_mutex);
            for (size_t k = first; k < last; k++)
                match_frame(id, c, frame(k), length(k));
        }
        for (size_t k = first; k < last; k++)
            dispatch_frame(id, c, frame(k), length(k));
        first = last;
    }
}

int on_idle(int id, MXX_conn *c) {
    if (c->identified) {
        reset_rx(c); // drops a frame cut short
        return 0;
    }
    if (c->probe_attempts <= MXX_PROBE_RETRIES) {
        if (c->probe != nullptr)
            c->probe(id, c->probe_attempts);
        c->probe_attempts++;
        return 0;
    }
    comm_signal_connected(id);
    return MXX_GAVE_UP;
}

// Bounded copy of a list entry that may lack its terminator.
void terminate_entries(comm_entry *list, int count) {
    for (int i = 0; i < count; i++)
        list[i][COMM_STR_SIZE - 1] = 0;
}

int clamp_count(int count, int max) {
    if (count < 0)
        return 0;
    return count > max ? max : count;
}

} // namespace

// ---- Frames ----------------------------------------------------------------

int MXX_make_command(unsigned char *frame, int code, const void *payload,
                     int payload_size, int param) {
    const int size = static_cast<uint16_t>(payload_size);
    WireWriter w(frame, static_cast<size_t>(size) + MXX_FRAME_OVERHEAD);
    w.bytes(0, MAGIC, sizeof MAGIC);
    w.u16(OFF_CODE, static_cast<uint16_t>(code));
    w.u16(OFF_LENGTH, static_cast<uint16_t>(size + 1));
    w.u16(OFF_PARAM, static_cast<uint16_t>(param));
    w.u8(OFF_STATUS, 0);
    w.u8(OFF_HDR_XOR, xor_of(frame, OFF_HDR_XOR));
    if (size > 0 && payload != nullptr)
        w.bytes(MXX_HEADER_SIZE, payload, static_cast<size_t>(size));
    else if (size > 0)
        memset(frame + MXX_HEADER_SIZE, 0, static_cast<size_t>(size));
    w.u8(static_cast<size_t>(MXX_HEADER_SIZE + size),
         xor_of(frame + MXX_HEADER_SIZE, size));
    return size + MXX_FRAME_OVERHEAD;
}

int MXX_test_response(int, const unsigned char *rsp, int rsp_len,
                      const unsigned char *fail, int fail_len,
                      const unsigned char *retry, int retry_len, void *dst,
                      int dst_size, int *out_len, int *out_param,
                      int *out_status, int *out_kind) {
    // A buffer counts only when it holds at least a whole header: anything
    // shorter cannot be a verified frame, and its fields are not there.
    auto holds = [](const unsigned char *buf, int len) {
        return buf != nullptr && len >= MXX_HEADER_SIZE;
    };
    const unsigned char *frame = nullptr;
    int frame_len = 0;
    int kind = KIND_NONE_OR_RETRY;
    if (holds(rsp, rsp_len)) {
        frame = rsp;
        frame_len = rsp_len;
        kind = KIND_RESPONSE;
    } else if (holds(fail, fail_len)) {
        frame = fail;
        frame_len = fail_len;
        kind = KIND_FAILURE;
    } else if (holds(retry, retry_len)) {
        frame = retry;
        frame_len = retry_len;
    }
    if (out_kind != nullptr)
        *out_kind = kind;
    if (frame == nullptr)
        return MXX_NO_REPLY;

    WireReader r(frame, static_cast<size_t>(frame_len));
    const int status = r.u8(OFF_STATUS);
    if (out_status != nullptr)
        *out_status = status;
    if (out_param != nullptr)
        *out_param = r.u16(OFF_PARAM);

    if (kind == KIND_RESPONSE && status == 0) {
        const int size = frame_len - MXX_FRAME_OVERHEAD;
        if (size > 0 && dst != nullptr) {
            // A payload larger than the caller's buffer is not what was
            // asked for: nothing is copied, and the reply counts as failed
            // rather than leaving the caller's stale buffer as its answer.
            if (size > dst_size)
                return MXX_FAILED;
            r.bytes(MXX_HEADER_SIZE, dst, static_cast<size_t>(size));
            if (out_len != nullptr)
                *out_len = size;
        }
    }
    return (kind == KIND_FAILURE || status != 0) ? MXX_FAILED : MXX_OK;
}

// ---- The command transaction -----------------------------------------------

namespace {

MXX_conn *context_of(int conn) {
    MXX_conn *found = nullptr;
    for_each_context(conn, [&](MXX_conn *c) {
        if (found == nullptr)
            found = c;
    });
    return found;
}

bool write_may_have_sent(int rc) {
    return rc != COMM_OK && rc != COMM_ERR_CLOSED && rc != COMM_ERR_NOT_FOUND &&
           rc != COMM_ERR_ARG;
}

// Records a reply that may still be on its way; match_mutex held. Answers
// the entry's number.
unsigned long long owe(MXX_conn *c, int rsp_code) {
    const unsigned long long seq = ++c->owed_seq;
    c->owed.push_back(MXX_owed{rsp_code, comm_time_ms(), seq});
    return seq;
}

// Proves the line clean: sends a request that changes nothing and waits for
// its reply, discarding everything else. The instrument answers in order,
// so once that reply is here every earlier reply has arrived or is lost.
// The code taken is the one with the fewest replies still owed, and the
// request counts as answered only once every older reply of its code has
// come too (its entry is crossed off last). A try that is not answered in
// time is followed by another. MXX_OK when the line is clean; otherwise
// MXX_NO_REPLY, or the library's code when the link is gone.
int prove_clean(int conn, MXX_conn *c) {
    unsigned char rsp[MXX_RSP_BUF_SIZE];
    unsigned char frame[MXX_FRAME_OVERHEAD];
    for (int t = 0; t < MXX_BARRIER_TRIES; t++) {
        int code = BARRIER_CODES[0];
        unsigned long long seq = 0;
        {
            std::lock_guard<std::mutex> lock(c->match_mutex);
            const long long now = comm_time_ms();
            std::erase_if(c->owed, [&](const MXX_owed &o) {
                return now - o.since >= MXX_OWED_FORGET_MS;
            });
            long fewest = -1;
            for (int candidate : BARRIER_CODES) {
                const int rsp_code = candidate + MXX_RSP_OFFSET;
                const long n = std::count_if(
                    c->owed.begin(), c->owed.end(),
                    [&](const MXX_owed &o) { return o.rsp_code == rsp_code; });
                if (fewest < 0 || n < fewest) {
                    fewest = n;
                    code = candidate;
                }
            }
            seq = owe(c, code + MXX_RSP_OFFSET);
            // Only replies of its code are hooked, to wake the wait;
            // general replies cannot tell whose they are.
            comm_hook_response(conn, code + MXX_RSP_OFFSET, rsp,
                               MXX_RSP_BUF_SIZE, MXX_CODE_FAIL, nullptr, 0,
                               MXX_CODE_RETRY, nullptr, 0);
        }
        // Answered: the proof's own entry is crossed off. The line is then
        // clean, and is declared so in the same step, so that a frame
        // arriving after it is judged against a clean line.
        auto answered = [&] {
            std::lock_guard<std::mutex> lock(c->match_mutex);
            const bool done =
                std::none_of(c->owed.begin(), c->owed.end(),
                             [&](const MXX_owed &o) { return o.seq == seq; });
            if (done) {
                c->owed.clear();
                c->stray = false;
                comm_unhook_response(conn);
            }
            return done;
        };
        const int len =
            MXX_make_command(frame, code, nullptr, 0, MXX_BARRIER_TIMEOUT_MS);
        int rc = comm_write(conn, frame, len, 0, MXX_BARRIER_TIMEOUT_MS);
        const long long deadline = comm_time_ms() + MXX_BARRIER_TIMEOUT_MS;
        while (rc == COMM_OK) {
            if (answered())
                return MXX_OK;
            const long long left = deadline - comm_time_ms();
            if (left <= 0)
                break;
            int rsp_count = 0, fail_count = 0, retry_count = 0;
            rc = comm_wait_response(conn, &rsp_count, &fail_count, &retry_count,
                                    static_cast<int>(left));
            if (rc == COMM_ERR_TIMEOUT)
                rc = COMM_OK; // looked at once more, then the deadline ends it
        }
        {
            std::lock_guard<std::mutex> lock(c->match_mutex);
            comm_unhook_response(conn);
        }
        if (rc != COMM_OK)
            return rc; // the link is gone
    }
    return MXX_NO_REPLY;
}

// The frames that this transaction's tries may still receive: counted
// arrivals against whole writes, read under the match lock.
unsigned arrivals_of(MXX_conn *c) {
    std::lock_guard<std::mutex> lock(c->match_mutex);
    return c->pending_arrivals;
}

// The transaction. With again_after_silence the command is written again
// after a time-out, as after a retry reply; without it only a retry reply,
// by which the device says it did not carry the command out, brings another
// try.
//
// A reply that missed its time-out could answer a later request of the
// same code. The transaction therefore counts its writes, and the event
// thread counts the frames that could answer them (see "Matching replies").
// When replies are still owed at its end (a try timed out, or its reply
// came late and another try's reply was taken), it keeps listening for them
// and discards them, until the latest try has had its time-out twice over,
// but at most MXX_SETTLE_MAX_MS after the transaction's end. Replies that
// have not come by then are written in the connection's list of owed
// replies, and more replies than writes mark the line stray: either way the
// next transaction first proves the line clean (prove_clean), and sends
// nothing if it cannot. A healthy exchange pays nothing of this.
int transact(int conn, int code, const void *req, int inbuff_size, void *dst,
             int dst_size, int *out_len, int *out_param, int *out_status,
             int timeout_ms, int wait, bool again_after_silence) {
    // The context outlives the connection (see top), so it may be kept for
    // the length of the transaction.
    MXX_conn *ctx = context_of(conn);
    int tries = ctx != nullptr ? ctx->cmd_tries.load() : 1;
    if (tries < 1)
        tries = 1; // a command is always written at least once
    const int rsp_code = static_cast<uint16_t>(code) + MXX_RSP_OFFSET;

    std::vector<unsigned char> frame(static_cast<size_t>(inbuff_size) +
                                     MXX_FRAME_OVERHEAD);
    const int frame_len =
        MXX_make_command(frame.data(), code, req, inbuff_size, timeout_ms);

    if (!wait) {
        // Nobody waits for this reply: until it is seen, it is one that a
        // later request must not take. Owed before the write, so that a
        // reply quicker than this thread finds its entry.
        unsigned long long seq = 0;
        if (ctx != nullptr) {
            std::lock_guard<std::mutex> lock(ctx->match_mutex);
            seq = owe(ctx, rsp_code);
        }
        const int rc = comm_write(conn, frame.data(), frame_len, 0, timeout_ms);
        if (ctx != nullptr && rc == COMM_OK)
            ctx->frames_written.fetch_add(1);
        if (ctx != nullptr && rc != COMM_OK && !write_may_have_sent(rc)) {
            std::lock_guard<std::mutex> lock(ctx->match_mutex);
            std::erase_if(ctx->owed,
                          [&](const MXX_owed &o) { return o.seq == seq; });
        }
        return rc;
    }

    if (ctx != nullptr) {
        bool must_prove;
        {
            std::lock_guard<std::mutex> lock(ctx->match_mutex);
            must_prove = unsure(ctx);
        }
        // Until the line is proven clean, a reply could be taken for
        // another request's: the command is not sent.
        if (must_prove) {
            const int proven = prove_clean(conn, ctx);
            if (proven != MXX_OK)
                return proven;
        }
    }

    unsigned char rsp[MXX_RSP_BUF_SIZE];
    unsigned char fail[MXX_REPLY_BUF_SIZE];
    unsigned char retry[MXX_REPLY_BUF_SIZE];
    auto hook = [&] {
        comm_hook_response(conn, rsp_code, rsp, MXX_RSP_BUF_SIZE, MXX_CODE_FAIL,
                           fail, MXX_REPLY_BUF_SIZE, MXX_CODE_RETRY, retry,
                           MXX_REPLY_BUF_SIZE);
    };
    if (ctx != nullptr) {
        // Hooked and counted from the same moment on.
        std::lock_guard<std::mutex> lock(ctx->match_mutex);
        hook();
        ctx->pending_rsp = rsp_code;
        ctx->pending_arrivals = 0;
    } else {
        hook();
    }

    int done = 0;
    int result = MXX_NO_REPLY;
    unsigned written = 0;     // writes that went out whole
    long long last_write = 0; // when the latest of them did
    bool doubtful = false;    // a failed write may have sent something
    for (int t = 0; t < tries; t++) {
        result = comm_write(conn, frame.data(), frame_len, 0, timeout_ms);
        if (result == COMM_OK) {
            written++;
            last_write = comm_time_ms();
            if (ctx != nullptr)
                ctx->frames_written.fetch_add(1);
        } else if (write_may_have_sent(result))
            doubtful = true;
        if (result == 0) {
            int rsp_count = 0, fail_count = 0, retry_count = 0;
            comm_wait_response(conn, &rsp_count, &fail_count, &retry_count,
                               timeout_ms);
            // Never trust a count beyond the buffer it describes.
            rsp_count = clamp_count(rsp_count, MXX_RSP_BUF_SIZE);
            fail_count = clamp_count(fail_count, MXX_REPLY_BUF_SIZE);
            retry_count = clamp_count(retry_count, MXX_REPLY_BUF_SIZE);
            result = MXX_test_response(conn, rsp, rsp_count, fail, fail_count,
                                       retry, retry_count, dst, dst_size,
                                       out_len, out_param, out_status, &done);
            // A retry reply to the last try: the device did not carry the
            // command out, and no try is left to ask again.
            if (!done && result == MXX_OK && t == tries - 1)
                result = MXX_FAILED;
            // Nothing came back: the command may have arrived.
            if (!again_after_silence && result == MXX_NO_REPLY)
                done = 1;
        } else if (!again_after_silence) {
            done = 1; // a failed write may have sent the command
        }
        if (done)
            break;
    }

    if (ctx == nullptr) {
        comm_unhook_response(conn);
        return result;
    }
    // Settle: collect the replies still owed to this transaction's tries
    // and discard them. Which try an arrival answered cannot be told, so
    // the latest try's reply is awaited up to twice its time-out after it
    // was written, bounded for long time-outs.
    if (arrivals_of(ctx) < written) {
        const long long deadline = std::min(last_write + 2LL * timeout_ms,
                                            comm_time_ms() + MXX_SETTLE_MAX_MS);
        while (arrivals_of(ctx) < written) {
            const long long left = deadline - comm_time_ms();
            if (left <= 0)
                break;
            int rsp_count = 0, fail_count = 0, retry_count = 0;
            const int rc =
                comm_wait_response(conn, &rsp_count, &fail_count, &retry_count,
                                   static_cast<int>(left));
            if (rc != COMM_OK && rc != COMM_ERR_TIMEOUT)
                break; // the link is closing
        }
    }
    // The end: no frame is counted for this transaction or stored in its
    // buffers after this step. What is still owed is crossed off as it
    // comes, or left to the next transaction's proof.
    std::lock_guard<std::mutex> lock(ctx->match_mutex);
    const unsigned got = ctx->pending_arrivals;
    ctx->pending_rsp = -1;
    ctx->pending_arrivals = 0;
    comm_unhook_response(conn);
    unsigned left_owed = got < written ? written - got : 0;
    if (doubtful)
        left_owed++;
    for (unsigned i = 0; i < left_owed; i++)
        owe(ctx, rsp_code);
    // More replies than requests: one of them was not an answer to this
    // transaction, and the next must not trust the line until it is proven.
    if (got > written)
        ctx->stray = true;
    return result;
}

} // namespace

int MXX_send_cmd(int conn, int code, const void *req, int inbuff_size,
                 void *dst, int dst_size, int *out_len, int *out_param,
                 int *out_status, int timeout_ms, int wait) {
    // clang-format off
    MXX_ASSERT(inbuff_size >=0 && inbuff_size < (UINT16_MAX - 1), "Invalid data size for MXX frame!");
    // clang-format on
    return transact(conn, code, req, inbuff_size, dst, dst_size, out_len,
                    out_param, out_status, timeout_ms, wait, true);
}

int MXX_send_cmd_once(int conn, int code, const void *req, int inbuff_size,
                      void *dst, int dst_size, int *out_len, int *out_param,
                      int *out_status, int timeout_ms, int wait) {
    // clang-format off
    MXX_ASSERT(inbuff_size >=0 && inbuff_size < (UINT16_MAX - 1), "Invalid data size for MXX frame!");
    // clang-format on
    return transact(conn, code, req, inbuff_size, dst, dst_size, out_len,
                    out_param, out_status, timeout_ms, wait, false);
}

void MXX_set_cmd_num_try(int conn, int tries) {
    for_each_context(conn, [&](MXX_conn *c) { c->cmd_tries.store(tries); });
}

unsigned MXX_frames_written(int conn) {
    // Retired contexts count too: the question is often asked just after
    // the connection closed.
    std::lock_guard<std::mutex> lock(contexts_mutex);
    for (const auto &c : contexts)
        if (c->conn_id.load() == conn)
            return c->frames_written.load();
    return 0;
}

int MXX_idle_wait(int conn, int value, int arg) {
    MXX_wait_cb cb = MXX_wait_callback.load();
    return cb ? cb(conn, static_cast<uint16_t>(value), arg) : 0;
}

// ---- Library lifetime ------------------------------------------------------

int MXX_init(MXX_wait_cb wait_callback,
             comm_usb_change_proc usb_change_callback, void *user) {
    if (comm_init() != 0)
        return -1;
    MXX_wait_callback = wait_callback;
    return comm_usb_register(usb_change_callback, user);
}

int MXX_shut() {
    comm_usb_deregister();
    comm_shut();
    MXX_wait_callback = nullptr;
    // The library has stopped and delivers no more events: the contexts of
    // every connection of this run can go.
    std::lock_guard<std::mutex> lock(contexts_mutex);
    contexts.clear();
    return 0;
}

// ---- Connection strings ----------------------------------------------------

int MXX_make_serial_conn_string(char *out, int port) {
    return comm_make_conn_string_serial(
        out, static_cast<uint16_t>(port), SERIAL_BAUD, SERIAL_DATA_BITS,
        SERIAL_STOP_BITS, SERIAL_PARITY, SERIAL_FLOW);
}

int MXX_make_serial_path_conn_string(char *out, const char *path) {
    return comm_make_conn_string_serial_path(out, path, SERIAL_BAUD,
                                             SERIAL_DATA_BITS, SERIAL_STOP_BITS,
                                             SERIAL_PARITY, SERIAL_FLOW);
}

int MXX_make_bt_conn_string(char *out, const char *address, const char *name) {
    return comm_make_conn_string_bt(out, address, name, BT_COD_MASK, BT_CHANNEL,
                                    BT_PIN, BT_TIMEOUT_MS);
}

int MXX_make_net_conn_string(char *out, const char *host, int port) {
    return comm_make_conn_string_net(out, host, static_cast<uint16_t>(port),
                                     NET_TIMEOUT_MS);
}

int MXX_make_usb_conn_string(char *out, const char *entry, int extra) {
    if (entry == nullptr)
        return -1;
    int pid;
    if (strncmp(entry, "USBF", USB_TAG_LEN) == 0 ||
        strncmp(entry, "USBS", USB_TAG_LEN) == 0)
        pid = USB_PID_SERIAL;
    else if (strncmp(entry, "USBU", USB_TAG_LEN) == 0)
        pid = USB_PID_OTHER;
    else
        return -1;
    return comm_make_conn_string_usb(out, entry, extra, USB_VID, pid);
}

// ---- Discovery -------------------------------------------------------------

int MXX_list_usb_devices(comm_entry *list, int max, int *count) {
    int found = 0;
    const int rc = comm_list_devices_usb(0, list, max, &found, "", "", USB_VID,
                                         USB_VID, USB_PID_FIRST, USB_PID_LAST);
    const int n = clamp_count(found, max);
    terminate_entries(list, n);
    for (int i = 0; i < n; i++) {
        char *entry = list[i];
        const char *slash = strrchr(entry, '/');
        if (slash == nullptr)
            continue;
        char *end = nullptr;
        const unsigned long pid = strtoul(slash + 1, &end, 16);
        if (end == slash + 1 || pid != USB_PID_SERIAL)
            continue;
        if (strlen(entry) >= static_cast<size_t>(USB_TAG_LEN))
            memcpy(entry, "USBF", USB_TAG_LEN);
    }
    if (count != nullptr)
        *count = found;
    return rc;
}

int MXX_bt_is_available() {
    return comm_bt_is_available();
}

int MXX_comm_bt_discover(int first, int second) {
    return comm_bt_discover(first, BT_COD_MASK, second);
}

int MXX_comm_bt_discover_wait(comm_entry *list, int *count) {
    int found = 0;
    const int rc = comm_bt_discover_wait(list, &found);
    terminate_entries(list, clamp_count(found, COMM_BT_MAX_DEVICES));
    if (count != nullptr)
        *count = found;
    return rc;
}

int MXX_comm_bt_discover_cancel() {
    return comm_bt_discover_cancel();
}

// ---- Connections -----------------------------------------------------------

int MXX_connect(const char *conn_string, int *id, MXX_connected_cb connected,
                MXX_conn_error_cb connection_error,
                MXX_disconnected_cb disconnected, MXX_probe_cb probe,
                MXX_test_probe_cb test_probe, intptr_t user) {
    if (conn_string == nullptr || conn_string[0] == 0 || id == nullptr)
        return -1;
    auto ctx = std::make_unique<MXX_conn>(); // zeroed
    ctx->user = user;
    ctx->cmd_tries = 1;
    ctx->probe = probe;
    ctx->test_probe = test_probe;
    ctx->event_connected = connected;
    ctx->event_connection_error = connection_error;
    ctx->event_disconnected = disconnected;

    // Registered before the library can deliver its first event for it.
    MXX_conn *raw = ctx.get();
    {
        std::lock_guard<std::mutex> lock(contexts_mutex);
        contexts.push_back(std::move(ctx));
    }
    const int rc = comm_connect(id, conn_string, MXX_event_proc, MXX_RX_CHUNK,
                                MXX_IDLE_MS, raw);
    if (rc == 0)
        raw->conn_id.store(*id);
    if (rc != 0) {
        // The library never saw the context: free it now.
        std::lock_guard<std::mutex> lock(contexts_mutex);
        for (auto it = contexts.begin(); it != contexts.end(); ++it) {
            if (it->get() == raw) {
                contexts.erase(it);
                break;
            }
        }
        return -1;
    }
    return 0;
}

int MXX_wait_connected(int id, int ms) {
    return comm_wait_connected(id, ms);
}

int MXX_get_conn_state_id(int id) {
    return comm_get_state(id);
}

int MXX_disconnect(int id) {
    return comm_disconnect(id);
}

int MXX_hook_async_event(int id, int code, MXX_event_cb callback) {
    int result = 0;
    const uint16_t code16 = static_cast<uint16_t>(code);
    for_each_context(id, [&](MXX_conn *c) {
        MXX_hook &any = c->hooks[MXX_HOOK_SLOTS - 1];
        for (int i = 0; i < c->hook_count && i < MXX_HOOK_SLOTS; i++) {
            if (c->hooks[i].code == code16 && c->hooks[i].callback == callback)
                return;
        }
        if (c->hook_count > MXX_HOOK_SLOTS - 1 ||
            (c->hook_count == MXX_HOOK_SLOTS - 1 && any.code != 0)) {
            result = -1;
            return;
        }
        if (code16 == MXX_HOOK_ANY) {
            any.code = code16;
            any.callback = callback;
            return;
        }
        c->hooks[c->hook_count].code = code16;
        c->hooks[c->hook_count].callback = callback;
        c->hook_count++;
    });
    return result;
}

int MXX_event_proc(int id, int event, const unsigned char *data, int data_len,
                   void *context) {
    auto *c = static_cast<MXX_conn *>(context);
    if (c == nullptr)
        return 0;
    switch (event & 0xFF) {
    case COMM_EV_LINK_UP:
        if (c->probe != nullptr)
            c->probe(id, c->probe_attempts);
        return 0;
    case COMM_EV_ERROR:
        if (c->event_connection_error != nullptr)
            c->event_connection_error(id, c, c->user);
        return 0;
    case COMM_EV_CLOSED:
        // Last call for this context; it is retired, not freed (see top).
        if (c->event_disconnected != nullptr)
            c->event_disconnected(id, c, c->user);
        return 0;
    case COMM_EV_DATA:
        if (data != nullptr && data_len > 0)
            receive(id, c, data, data_len);
        return 0;
    case COMM_EV_IDLE:
        return on_idle(id, c);
    default:
        return 0;
    }
}
