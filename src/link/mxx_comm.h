// link/: the device link, the layer between the communication library and
// the request sets: frames and their checksums, the command transaction
// with its retries and time-outs, connections and their identification, and
// the dispatch of the instrument's asynchronous events. It uses base/ and
// the library's public headers (libcomm/include/) only.
//
// The device link: frames, the command transaction, connections,
// identification and the dispatch of asynchronous events.
#ifndef MXX_COMM_H
#define MXX_COMM_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "libcomm.h"

// Frame layout: 12-byte header, payload, one payload checksum byte.
constexpr int MXX_HEADER_SIZE = 12;
constexpr int MXX_FRAME_OVERHEAD = 13;
constexpr int MXX_MAX_PAYLOAD = 65533;   // largest command payload
constexpr int MXX_CMD_BUF_SIZE = 65548;  // 12 + 65535 + 1
constexpr int MXX_RX_BUF_SIZE = 65536;   // reassembly buffer of a connection
constexpr int MXX_RSP_BUF_SIZE = 4096;   // response frame of a transaction
constexpr int MXX_REPLY_BUF_SIZE = 1024; // failure and retry reply buffers
constexpr int MXX_RSP_OFFSET = 1000;     // response code = command code + 1000
constexpr int MXX_CODE_RETRY = 12289;    // 0x3001: send the command again
constexpr int MXX_CODE_FAIL = 12290;     // 0x3002: the command failed
constexpr int MXX_HOOK_SLOTS = 255;
constexpr int MXX_HOOK_ANY = 0xFFFF; // code of the catch-all hook
// Request codes of the device family; their replies (code + 1000) and the
// two general replies are what the link matches. Frames of other codes are
// events (live data: 9302) and never answer a request.
constexpr int MXX_REQUEST_FIRST = 8000;
constexpr int MXX_REQUEST_LAST = 8299;

// Transaction results besides the library's own write errors.
constexpr int MXX_OK = 0;
constexpr int MXX_FAILED = 1;
constexpr int MXX_NO_REPLY = 255;

// Time the connection dialog waits for identification.
constexpr int MXX_CONNECT_WAIT_MS = 15000;
// Idle interval after which the library reports a time-out event.
constexpr int MXX_IDLE_MS = 200;

struct MXX_conn;

typedef int (*MXX_wait_cb)(int id, uint16_t value, int arg);
typedef int (*MXX_probe_cb)(int id, int attempts);
typedef int (*MXX_test_probe_cb)(int id, const unsigned char *frame, int *type,
                                 int attempts);
typedef int (*MXX_connected_cb)(int id, MXX_conn *ctx, int type, intptr_t user);
typedef int (*MXX_conn_error_cb)(int id, MXX_conn *ctx, intptr_t user);
typedef int (*MXX_disconnected_cb)(int id, MXX_conn *ctx, intptr_t user);
// A hooked event callback; frame points at a verified frame (header first)
// whose length field tells how many payload bytes are valid.
typedef int (*MXX_event_cb)(int id, MXX_conn *ctx, const unsigned char *frame,
                            intptr_t user);

struct MXX_hook {
    uint16_t code;
    MXX_event_cb callback;
};

// A reply that may still arrive: its code, since when (comm_time_ms), and a
// number of its own.
struct MXX_owed {
    int rsp_code;
    long long since;
    unsigned long long seq;
};

// One per connection; created by MXX_connect, retired on the library's
// connection-closed event and freed by MXX_shut.
struct MXX_conn {
    int identified;
    intptr_t user;
    unsigned char rx_buf[MXX_RX_BUF_SIZE];
    int rx_pos;
    int rx_expect;
    int rx_got;
    int probe_attempts;
    std::atomic<int> cmd_tries; // written on the event thread, read by commands
    int probe_type;
    MXX_probe_cb probe;
    MXX_test_probe_cb test_probe;
    MXX_connected_cb event_connected;
    MXX_conn_error_cb event_connection_error;
    MXX_disconnected_cb event_disconnected;
    int hook_count;
    MXX_hook hooks[MXX_HOOK_SLOTS];
    // The frames completed by one read, back to back, and where each ends
    // (event thread only).
    std::vector<unsigned char> batch;
    std::vector<size_t> batch_ends;

    // Command frames written whole on this connection, and its identifier
    // (set once connected), by which a retired context is still found.
    std::atomic<unsigned> frames_written{0};
    std::atomic<int> conn_id{-1};

    // Reply matching (see "Matching replies" in mxx_comm.cpp). The fields
    // below are guarded by match_mutex. The event thread decides for every
    // frame, one at a time in the order they arrived and under that lock,
    // whether it answers the transaction in progress, is owed to an earlier
    // request or came unasked, and hands it over in the same step.
    std::mutex match_mutex;
    // The transaction in progress waits for replies of code pending_rsp
    // (-1: none); frames that could answer it (that code, a retry or a
    // failure reply) are counted in pending_arrivals.
    int pending_rsp = -1;
    unsigned pending_arrivals = 0;
    // Replies that may still be on their way, one entry per reply: of
    // requests sent without waiting (identification probes, restart), of
    // transactions that ended with replies owed, and of requests sent to
    // prove the line clean. A frame that comes outside a transaction
    // crosses off the oldest entry of its code (a general reply the oldest
    // of all); there are never fewer entries than replies truly on their
    // way. Emptied once the line is proven clean.
    std::vector<MXX_owed> owed;
    unsigned long long owed_seq = 0;
    // A reply came that nobody was owed (an unsolicited frame, or more
    // replies than a transaction wrote requests): until the line is proven
    // clean, any reply could be a stray one.
    bool stray = false;
};

// Frames.
int MXX_make_command(unsigned char *frame, int code, const void *payload,
                     int payload_size, int param);
int MXX_test_response(int conn, const unsigned char *rsp, int rsp_len,
                      const unsigned char *fail, int fail_len,
                      const unsigned char *retry, int retry_len, void *dst,
                      int dst_size, int *out_len, int *out_param,
                      int *out_status, int *out_kind);

// Resynchronisation after a reply was missed: a transaction whose replies
// did not all come keeps listening for those it is still owed, and discards
// them, until its latest try has had twice its time-out, but for no longer
// than this after the transaction's end.
constexpr int MXX_SETTLE_MAX_MS = 2000;
// When owed replies are still out after that, the next transaction first
// proves the line clean: it sends a request whose reply cannot be mistaken
// (a code no reply still on its way carries) and discards everything until
// that reply. The instrument answers in order, so its arrival proves every
// earlier reply has arrived or is lost. Each try takes another such code.
constexpr int MXX_BARRIER_TRIES = 3;
constexpr int MXX_BARRIER_TIMEOUT_MS = 800;
// A reply still owed this long after its request is taken to be lost, so
// that a link whose every proving code has a reply owed (an instrument that
// answered nothing for a while) can be proven clean again.
constexpr int MXX_OWED_FORGET_MS = 10000;

// The command transaction.
int MXX_send_cmd(int conn, int code, const void *req, int req_size, void *dst,
                 int dst_size, int *out_len, int *out_param, int *out_status,
                 int timeout_ms, int wait);
// The same for a command that must not be carried out twice: it is written
// again only after a retry reply, by which the device says it did not carry
// it out. After a time-out or a failed write it answers at once, since the
// command may have arrived and only its reply have been lost.
int MXX_send_cmd_once(int conn, int code, const void *req, int req_size,
                      void *dst, int dst_size, int *out_len, int *out_param,
                      int *out_status, int timeout_ms, int wait);
void MXX_set_cmd_num_try(int conn, int tries);
// Command frames written whole on connection conn so far (0 for an unknown
// one): tells whether a request that got no reply reached the line.
unsigned MXX_frames_written(int conn);
int MXX_idle_wait(int conn, int value, int arg);

// Library lifetime.
int MXX_init(MXX_wait_cb wait_callback,
             comm_usb_change_proc usb_change_callback, void *user);
int MXX_shut();

// Connection strings (out holds COMM_STR_SIZE bytes).
int MXX_make_serial_conn_string(char *out, int port);
int MXX_make_serial_path_conn_string(char *out, const char *path);
int MXX_make_bt_conn_string(char *out, const char *address, const char *name);
int MXX_make_net_conn_string(char *out, const char *host, int port);
int MXX_make_usb_conn_string(char *out, const char *entry, int extra);

// Discovery.
int MXX_list_usb_devices(comm_entry *list, int max, int *count);
int MXX_bt_is_available();
int MXX_comm_bt_discover(int first, int second);
int MXX_comm_bt_discover_wait(comm_entry *list, int *count);
int MXX_comm_bt_discover_cancel();

// Connections.
int MXX_connect(const char *conn_string, int *id, MXX_connected_cb connected,
                MXX_conn_error_cb connection_error,
                MXX_disconnected_cb disconnected, MXX_probe_cb probe,
                MXX_test_probe_cb test_probe, intptr_t user);
int MXX_wait_connected(int id, int ms);
int MXX_get_conn_state_id(int id);
int MXX_disconnect(int id);
// Hooks callback for frames with code on connection id (MXX_HOOK_ANY: the
// catch-all). The hook table is read on the event thread without a lock, so
// hook from a connection callback (as the instrument does once identified)
// or before the connection's events flow.
int MXX_hook_async_event(int id, int code, MXX_event_cb callback);
int MXX_event_proc(int id, int event, const unsigned char *data, int data_len,
                   void *context);

#endif
