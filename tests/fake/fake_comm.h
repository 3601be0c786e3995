// fake_comm: a scriptable stand-in for the communication library (every
// comm_* function of libcomm.h), for tests of the device link, the request
// sets, the shell and the console commands. Link the test with fake_comm,
// ra62_core (and ra62_shell where needed) and comm_log instead of comm.
//
// What it does
// ============
//
//  - Records every call (calls()) and every frame written (writes()).
//  - Keeps a list of connections with their event procedure and context, as
//    comm_connect() registers them; comm_data_cntr_init()/comm_get_data()
//    walk it, comm_get_state() answers from it.
//  - Delivers events to a connection's event procedure on its own event
//    thread, in order (post()), or on the test's thread (deliver()). Never
//    two calls of one procedure at a time.
//  - Emulates reply hooking: comm_hook_response() registers three buffers,
//    comm_fill_rsp_buff() stages whole frames whose code is hooked and that
//    fit, comm_wait_response() copies them into the hooked buffers on the
//    waiting thread and reports the bytes staged since the previous wait.
//  - Plays the device: canned answers per request code (answer(),
//    answer_once()) and a callback per written frame (set_device()); both
//    run on the writing thread and normally post their reply bytes, which
//    the event thread then feeds through the event procedure.
//  - Can decide directly what a wait reports (script_wait()), and what a
//    write returns (fail_writes()).
//
// Time
// ====
//
// By default time is virtual: a wait (comm_wait_response,
// comm_wait_connected) returns at once when nothing more can happen, that is
// when no event is queued or being delivered. Before it times out, the
// virtual clock advances through the idle events the real library would
// deliver meanwhile: every open connection receives COMM_EV_IDLE each
// idle_ms (as given to comm_connect) of silence. So a silent device costs no
// real time, and identification gives up as it would after its probes.
// set_auto_idle(false) turns the idle events off; set_virtual_time(false)
// makes waits block for real (bounded by their time-out), for tests in which
// another thread plays the device. comm_time_ms() answers the virtual clock
// (the real one with virtual time off).
//
// Connection states
// =================
//
// comm_connect(): COMM_STATE_OPENING (and a COMM_EV_LINK_UP is posted unless
// set_auto_link_up(false)); comm_signal_connected(): COMM_STATE_CONNECTED;
// an event procedure answering -1 to COMM_EV_IDLE: COMM_STATE_FAILED;
// comm_disconnect(): closing, COMM_EV_CLOSED posted, after which the
// connection is gone (COMM_STATE_NONE, not listed). Writes and waits on a
// closing connection fail with COMM_ERR_CLOSED. comm_wait_connected()
// returns only after the event whose procedure signalled has returned, so
// the state read next already reflects a -1 answer.
//
// Use
// ===
//
//     fake_comm::Scope fake;                 // reset now and at the end
//     fake_comm::answer(8007, fake_comm::frame(9007, fake_comm::text("A1")));
//     MXX_init(nullptr, nullptr, nullptr);
//     MXX_connect("sim", &id, ...);          // link up, probe, answer...
//     MXX_wait_connected(id, 15000);         // ...identified
//     ... run a command ...
//     EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8007, 8201}));
//     MXX_shut();                            // closes, frees the contexts
#ifndef FAKE_COMM_H
#define FAKE_COMM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "libcomm.h"

namespace fake_comm {

using Bytes = std::vector<unsigned char>;

// ---- Set-up ----------------------------------------------------------------

// Back to a fresh state: event thread stopped, no connections, nothing
// recorded or scripted, virtual time with idle events, link-up posted on
// connect, next connection id 1, every library call succeeding.
void reset();

// Resets on construction and on destruction.
struct Scope {
    Scope() { reset(); }
    ~Scope() { reset(); }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
};

void set_virtual_time(bool on);
void set_auto_idle(bool on);
void set_auto_link_up(bool on);
// Identifier the next successful comm_connect() hands out (then counts up).
void set_next_id(int id);
// Result of every later comm_connect(); non-zero refuses the connection.
void set_connect_result(int rc);
void set_init_result(int rc);
void set_usb_register_result(int rc);
// Entries and result of comm_list_devices_usb() (entries cut to 127 chars).
void set_usb_list(const std::vector<std::string> &entries, int rc = COMM_OK);
// Bluetooth: availability, and what comm_bt_discover_wait() finds.
void set_bt(int available, const std::vector<std::string> &found = {});
// Overrides what comm_get_state(id) answers (until reset).
void set_state(int id, int state);

// ---- Playing the device ----------------------------------------------------

// Called for every successful write, on the writing thread, outside the
// fake's lock: may call post(), drop_link(), record what it saw.
using DeviceFn = std::function<void(int id, const Bytes &frame)>;
void set_device(DeviceFn fn);
// Every later frame written with this request code is answered by posting
// reply as one COMM_EV_DATA (replaces an earlier answer for the code).
void answer(int request_code, const Bytes &reply);
// Answers the next frame with this code, before any answer() of it; several
// answer_once() calls are used in order.
void answer_once(int request_code, const Bytes &reply);
// The next writes return these results in order (non-zero: nothing is
// written and the device sees nothing); later writes succeed.
void fail_writes(const std::vector<int> &results);

// What one wait reports, whatever arrived: each non-empty frame is first
// fed through the event procedure, as an arriving frame is, then stored
// into its hooked buffer (cut to the buffer's size) and its count reported.
struct WaitReply {
    Bytes rsp, fail, retry;
};
// The next comm_wait_response() calls report these, in order.
void script_wait(const WaitReply &reply);

// Seams that hold a thread at a chosen point, for tests that force one
// interleaving of the event thread and a waiting transaction (real time
// only). Each runs outside the fake's lock and may block; keep it bounded.
// The fill seam runs at the start of every comm_fill_rsp_buff(), on the
// thread that delivers the frame, before anything is stored.
using FillSeam = std::function<void(int code)>;
void set_fill_seam(FillSeam fn);
// The wait seam runs when comm_wait_response() is about to return replies,
// on the waiting thread, after their bytes and counts were handed over.
using WaitSeam = std::function<void()>;
void set_wait_seam(WaitSeam fn);

// Queues an event for the event thread (data copied). Events of a closed or
// unknown connection are dropped.
void post(int id, int event, const Bytes &data = {});
// Queues an event for the moment delay_ms of virtual time from now; it is
// delivered when a wait's virtual clock reaches that moment; one due exactly
// when a wait times out comes after that time-out. Events due at the same
// moment keep the order of their posting. Virtual time only.
void post_after(int id, int delay_ms, int event, const Bytes &data = {});
// Calls the event procedure on this thread, after everything queued before,
// and returns its result (0 for an unknown or closed connection).
int deliver(int id, int event, const Bytes &data = {});
// Feeds bytes as several COMM_EV_DATA events, cut at the given sizes (the
// rest in one last piece); returns when all have been delivered.
void deliver_split(int id, const Bytes &data, const std::vector<int> &sizes);
// The link is lost: COMM_EV_ERROR, then COMM_EV_CLOSED (posted).
void drop_link(int id);
// Waits until no event is queued or being delivered; false after ms.
bool drain(int ms = 5000);

// ---- Frames ----------------------------------------------------------------

// A frame as the device sends it: magic, code, payload size + 1, param,
// status, header sum, payload, payload sum.
Bytes frame(int code, const Bytes &payload = {}, int status = 0, int param = 0);
Bytes text(const std::string &s); // the characters, no terminator
Bytes u32le(uint32_t v);
Bytes u16le(uint16_t v);
Bytes concat(std::initializer_list<Bytes> parts);
// Fields of a written frame (0 / empty when too short).
int frame_code(const Bytes &f);
int frame_param(const Bytes &f);
Bytes frame_payload(const Bytes &f);

// ---- What happened ---------------------------------------------------------

struct Write {
    int id;
    Bytes bytes;
    int timeout_ms;
};
std::vector<Write> writes();
// Codes of the frames written, in order.
std::vector<int> written_codes();
// Every library call as text, in order, for example
// "comm_hook_response(1,9007,4096,12290,1024,12289,1024)",
// "comm_wait_response(1,800)", "comm_write(1,13,100)" (id, bytes, time-out).
std::vector<std::string> calls();
// How many recorded calls start with prefix.
int count_calls(const std::string &prefix);
void clear_records();
// Identifier handed out by the last successful comm_connect(), -1 if none.
int last_id();
// Connection string given to comm_connect() for id.
std::string conn_string(int id);
// Milliseconds of virtual time passed since reset.
long long now_ms();

} // namespace fake_comm

#endif
