// The device link: frames, the command transaction, connections,
// identification and the dispatch of asynchronous events.
#ifndef MXX_COMM_H
#define MXX_COMM_H

#include <atomic>
#include <cstdint>

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

// One per connection; created by MXX_connect, freed on the library's
// connection-closed event.
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
};

// Frames.
int MXX_make_command(unsigned char *frame, int code, const void *payload,
                     int payload_size, int param);
int MXX_test_response(int conn, const unsigned char *rsp, int rsp_len,
                      const unsigned char *fail, int fail_len,
                      const unsigned char *retry, int retry_len, void *dst,
                      int dst_size, int *out_len, int *out_param,
                      int *out_status, int *out_kind);

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
