/*
 * libcomm.h - the communication library of ra62d2ide.
 *
 * The library carries raw bytes between the console and one instrument and
 * prints every line of console output. It knows nothing about frames or
 * commands: framing, checksums and the meaning of replies belong to the
 * device link (mxx_comm) that sits on top of it.
 *
 * libcomm/: include/ holds the library's public headers, the only ones the
 * program includes (this one and log_sink.h); the shared sources lie at
 * libcomm/, the transports and discovery in a POSIX form (posix/) and a
 * Windows form (win32/) behind the table of comm_internal.h. The library
 * uses nothing of the program.
 *
 * What it provides
 * ================
 *
 *  - Transports, chosen by the connection string: serial ports (by path or by
 *    number), USB serial ports, TCP, Bluetooth RFCOMM, and simulated
 *    instruments announced by vo62-sim. README.md gives the text form of each
 *    connection string and list entry.
 *  - Discovery: USB serial ports by vendor and product id (followed by any
 *    announced simulators), and Bluetooth inquiry.
 *  - One reader per open connection, which calls the connection's event
 *    procedure on the library's own thread (the "event thread").
 *  - Reply waiting: the caller hooks three reply buffers by frame code, writes
 *    a command and blocks in comm_wait_response(); the event procedure hands
 *    every verified frame to comm_fill_rsp_buff(), which stores it and wakes
 *    the waiter.
 *  - Console output: log_write(), log_append() and log_error(), each written
 *    whole under one lock and flushed at once.
 *
 * Result codes
 * ============
 *
 * Functions returning int answer COMM_OK (0) on success and one of the
 * negative COMM_ERR_* codes below on failure, unless their description says
 * otherwise. No library function ever returns 1 or 255: the device link uses
 * those two values for "instrument reported failure" and "no reply", and
 * hands any other non-zero write result on unchanged as the code printed in
 * "Command %s error(code=%d)!".
 *
 * Threads
 * =======
 *
 *  - comm_init(), comm_shut(), comm_usb_register(), comm_usb_deregister():
 *    main thread only, once each (comm_init() may follow comm_shut() again).
 *  - comm_connect(), comm_wait_connected(), comm_disconnect(),
 *    comm_hook_response(), comm_wait_response(), comm_unhook_response():
 *    main thread. comm_wait_connected() and comm_wait_response() block the
 *    caller; comm_disconnect() does not wait for the reader to finish and
 *    may also be called from an event procedure.
 *  - comm_write(), comm_get_state(), comm_data_cntr_init(), comm_get_data():
 *    any thread, including the event thread from inside an event procedure.
 *  - comm_signal_connected(), comm_fill_rsp_buff(): meant for the event
 *    procedure; they only store and wake, and never block on the main thread.
 *  - The log functions: any thread. Each call is written whole, so a line of
 *    the event thread never cuts into one of the main thread.
 *
 * An event procedure cannot wait for its own connection: comm_wait_response()
 * and comm_wait_connected() called there answer COMM_ERR_STATE at once, and
 * comm_shut() called from any event procedure does too.
 *
 * No library lock is held while an event procedure runs, and no thread
 * holds one while it waits for a reader.
 *
 * Events
 * ======
 *
 * The event procedure of a connection is called on the event thread as
 *     proc(id, event, data, data_len, ctx)
 * with the ctx given to comm_connect(). The events, in the order they occur:
 *
 *  - COMM_EV_LINK_UP (1): once, first, when the link is open.
 *  - COMM_EV_DATA (5): bytes as they arrive (data, data_len), in order.
 *  - COMM_EV_IDLE (6): after the connection has received nothing for the
 *    idle interval given to comm_connect(), counted from the link coming up
 *    or from the last bytes received; repeated once per further idle
 *    interval; never while bytes are waiting to be read. An answer of -1
 *    tells the library that identification was given up: comm_get_state()
 *    then answers COMM_STATE_FAILED for that connection.
 *  - COMM_EV_ERROR (2): the link was lost without comm_disconnect(): a read
 *    or write error, the device unplugged, the peer closed. Writes and waits
 *    on the connection fail at once from the moment the loss is seen;
 *    COMM_EV_CLOSED follows.
 *  - COMM_EV_CLOSED (3): exactly once and last, after comm_disconnect() or
 *    the loss of the link. The procedure is never called again with ctx,
 *    so the caller may free ctx there.
 *
 * For every other argument data is NULL and data_len 0.
 *
 * Tracing
 * =======
 *
 * With the environment variable VO62_TRACE set to a file name when
 * comm_init() runs, every byte written and received is appended to that
 * file as timestamped hexadecimal lines with their direction and connection
 * (README.md shows the format). Off when the variable is unset.
 */
#ifndef LIBCOMM_H
#define LIBCOMM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of every connection string, list entry and device name, terminator
 * included. */
#define COMM_STR_SIZE 128

/* Entries that comm_bt_discover_wait() may store. */
#define COMM_BT_MAX_DEVICES 32

/* One list entry: a connection string. */
typedef char comm_entry[COMM_STR_SIZE];

enum comm_result {
    COMM_OK = 0,
    COMM_ERR_ARG = -1,       /* bad argument or malformed connection string */
    COMM_ERR_NOT_FOUND = -2, /* no such connection, port or device */
    COMM_ERR_IO = -3,        /* the operating system refused an operation */
    COMM_ERR_CLOSED = -4,    /* the connection is closed or closing */
    COMM_ERR_TIMEOUT = -5,   /* a write could not complete in time */
    COMM_ERR_STATE = -6,     /* not started, or already started */
    COMM_ERR_NO_MEM = -7,
    COMM_ERR_UNSUPPORTED = -8 /* transport not available on this system */
};

/* Events passed to a connection's event procedure (only the low byte of the
 * event argument is meaningful). */
enum comm_event {
    COMM_EV_LINK_UP = 1,
    COMM_EV_ERROR = 2,
    COMM_EV_CLOSED = 3,
    COMM_EV_DATA = 5,
    COMM_EV_IDLE = 6
};

/* Answers of comm_get_state(). */
enum comm_state {
    COMM_STATE_NONE = 0,      /* unknown connection, or closed */
    COMM_STATE_OPENING = 1,   /* link open, device not yet confirmed */
    COMM_STATE_CONNECTED = 2, /* comm_signal_connected() was called */
    COMM_STATE_FAILED = 3     /* identification given up, or link error */
};

typedef int (*comm_event_proc)(int id, int event, const unsigned char *data,
                               int data_len, void *ctx);
typedef int (*comm_usb_change_proc)(void *user);

/* A cursor over the open connections: one word. */
typedef intptr_t comm_cursor;

/* ---- Start and end --------------------------------------------------- */

/* Starts the library. COMM_OK, or COMM_ERR_STATE when already started. */
int comm_init(void);
/* Closes every open connection and stops the library. Each connection
 * reports COMM_EV_CLOSED and its reader has ended when this returns. A
 * Bluetooth inquiry still running is waited for (it ends by itself within
 * about ten seconds). COMM_ERR_STATE when not started or when called from an
 * event procedure. */
int comm_shut(void);
/* Registers a routine called on a watcher thread of the library when serial
 * devices appear in or leave /dev, or simulator announcements change; one
 * call per batch of changes. COMM_ERR_STATE when one is registered already,
 * COMM_ERR_UNSUPPORTED when the system cannot watch files. */
int comm_usb_register(comm_usb_change_proc callback, void *user);
/* Stops the watcher; the routine is not called after this returns. */
int comm_usb_deregister(void);

/* ---- Connections ----------------------------------------------------- */

/* Opens the connection described by conn_string and starts its reader.
 * On COMM_OK *id is set (identifiers are positive and never reused within a
 * process) and the events of the connection arrive at proc with ctx, the
 * first possibly before comm_connect() returns. rx_buffer_size (1 to
 * 1 MiB) is the most bytes handed over in one COMM_EV_DATA; idle_ms is the
 * interval of COMM_EV_IDLE, 0 for none. On failure one line naming the port
 * and the system's reason has been printed with log_error() as
 * "\nCannot open <port>: <reason>\n" (for a permission error also the group
 * to join), no event is ever delivered and the caller keeps ctx. */
int comm_connect(int *id, const char *conn_string, comm_event_proc proc,
                 int rx_buffer_size, int idle_ms, void *ctx);
/* Blocks until comm_signal_connected(id) has been called (also when it was
 * called before this wait began), the connection closes, or timeout_ms pass.
 * COMM_OK when signalled; otherwise COMM_ERR_CLOSED or COMM_ERR_TIMEOUT. */
int comm_wait_connected(int id, int timeout_ms);
/* Releases comm_wait_connected() of id and makes the state
 * COMM_STATE_CONNECTED. Called inside the connection's event procedure, it
 * takes effect when the procedure returns, so the waiter always sees the
 * state that the procedure's answer decides (an answer of -1 to
 * COMM_EV_IDLE makes it COMM_STATE_FAILED). */
int comm_signal_connected(int id);
/* One of enum comm_state. */
int comm_get_state(int id);
/* Starts closing the connection. COMM_EV_CLOSED follows on the event thread;
 * waits in progress on id return at once and writes fail from now on.
 * COMM_ERR_CLOSED for a connection that has closed already. */
int comm_disconnect(int id);
/* Walk the open connections: comm_data_cntr_init(&c), then comm_get_data()
 * until it answers 0. Each call that answers non-zero yields one
 * connection's id and the ctx given to comm_connect(), in increasing order
 * of id. Safe while readers run; a connection whose COMM_EV_CLOSED has been
 * delivered is never yielded. A ctx yielded to a thread other than the
 * connection's own reader stays valid until that thread calls
 * comm_get_data() or comm_data_cntr_init() again or enters a waiting call:
 * the connection's COMM_EV_CLOSED waits for that (at most half a second),
 * so walk to the end rather than keep a ctx. */
int comm_data_cntr_init(comm_cursor *cursor);
int comm_get_data(comm_cursor *cursor, int *id, void **ctx);

/* ---- Replies ---------------------------------------------------------- */

/* Hooks three reply buffers of connection id: whole frames whose code is
 * rsp_code, fail_code or retry_code (compared on 16 bits) are stored (header
 * included) for the matching buffer by comm_fill_rsp_buff() until
 * comm_unhook_response(). A frame larger than its buffer is not stored; a
 * buffer of size 0 is not used. Replaces an earlier hook and forgets what it
 * had stored. The library writes the buffers only on the caller's thread,
 * inside comm_wait_response(), so the caller may read them between waits. */
int comm_hook_response(int id, int rsp_code, unsigned char *rsp_buf,
                       int rsp_size, int fail_code, unsigned char *fail_buf,
                       int fail_size, int retry_code, unsigned char *retry_buf,
                       int retry_size);
/* Writes all len bytes, handling partial writes and interruptions, or
 * fails; one call's bytes are never interleaved with another's. flags must
 * be 0. The write gives up with COMM_ERR_TIMEOUT after timeout_ms, but never
 * before the time the bytes need on the line (at the serial speed) plus
 * half a second, since a reply time-out is often shorter than sending a
 * large frame takes. COMM_ERR_CLOSED at once on a closed or closing
 * connection; COMM_ERR_IO when the link fails, and the connection then
 * closes (COMM_EV_ERROR, COMM_EV_CLOSED). */
int comm_write(int id, const unsigned char *data, int len, int flags,
               int timeout_ms);
/* Blocks until a hooked frame has been stored since the previous wait on
 * this hook (a frame stored before the wait began counts), the connection
 * closes, or timeout_ms pass; it wakes as soon as a frame is stored. Copies
 * what was stored into the buffers and sets each count to the bytes stored
 * in its buffer since the previous wait, 0 for none (of several frames for
 * one buffer, the last). COMM_OK when something was stored,
 * COMM_ERR_TIMEOUT or COMM_ERR_CLOSED otherwise; COMM_ERR_STATE without a
 * hook or inside the connection's own event procedure. */
int comm_wait_response(int id, int *rsp_count, int *fail_count,
                       int *retry_count, int timeout_ms);
/* Offers one verified frame (len bytes, its code) to the hook of id. Stores
 * it and wakes the waiter when the code is hooked and the frame fits.
 * COMM_OK when stored, COMM_ERR_NOT_FOUND otherwise. */
int comm_fill_rsp_buff(int id, int code, const unsigned char *frame, int len);
/* Ends the hook of id; the buffers are not touched afterwards. */
int comm_unhook_response(int id);

/* Milliseconds of a monotonic clock, from an arbitrary start. The device
 * link measures its own deadlines with it, so that they agree with the
 * time-outs of the waits above. Any thread. */
long long comm_time_ms(void);

/* ---- Discovery and connection strings --------------------------------- */

/* Lists USB serial ports with vid_min <= vendor <= vid_max and
 * pid_min <= product <= pid_max into list (at most max entries), sorted by
 * port, then the live simulated instruments announced in VO62_SIM_DIR,
 * sorted by process id; a simulator counts as vendor 0x1781, product
 * 0x0C44. Every entry is a connection string as it stands:
 * "USBS:<port path>/<product id in hexadecimal>", for example
 * "USBS:/dev/ttyACM0/c44". The tag may be rewritten to "USBF" or "USBU";
 * such entries connect the same way. flags, filter and filter2 are reserved
 * (0, "", ""). */
int comm_list_devices_usb(int flags, comm_entry *list, int max, int *count,
                          const char *filter, const char *filter2, int vid_min,
                          int vid_max, int pid_min, int pid_max);
/* Writes a readable name of a list entry or connection string (at most
 * COMM_STR_SIZE bytes, printable characters only): "vo62-sim <serial> on
 * <pseudo-terminal>" for a simulator, "<product> <serial> on <port>" for a
 * USB port, "<name> (<address>)" for a Bluetooth device found by inquiry. */
int comm_get_devid_string(const char *entry, char *text);

/* Non-zero when a Bluetooth adapter is present and up. */
int comm_bt_is_available(void);
/* Starts an inquiry (about ten seconds) on a library thread. cod_mask (a
 * class of device) is accepted but does not filter: every device found is
 * listed, so an instrument is never hidden by the class it reports. flags
 * and mode are reserved. COMM_ERR_UNSUPPORTED at once without an adapter,
 * COMM_ERR_STATE while an inquiry runs. */
int comm_bt_discover(int flags, unsigned int cod_mask, int mode);
/* Blocks until the inquiry ends (with the devices' names read, at most
 * about half a minute in all) and stores up to COMM_BT_MAX_DEVICES entries
 * into list; *count is 0 on every failure. Answers the inquiry's result, or
 * COMM_ERR_STATE when none was started. */
int comm_bt_discover_wait(comm_entry *list, int *count);
/* Makes a pending comm_bt_discover_wait() return at once with nothing
 * (COMM_ERR_CLOSED); the inquiry itself ends by itself. */
int comm_bt_discover_cancel(void);

/* Connection string builders; out holds COMM_STR_SIZE bytes. On bad
 * arguments they answer COMM_ERR_ARG and leave out empty. README.md lists
 * the forms. Serial settings: a baud rate termios knows, 5 to 8 data bits,
 * 1 or 2 stop bits, parity 0 none, 1 odd, 2 even, flow 0 none or 1 RTS/CTS.
 * A COM number is kept as given and mapped to a device when connecting:
 * COM 1-32 /dev/ttyS0-31, 33-64 /dev/ttyUSB0-31, 65-96 /dev/ttyACM0-31,
 * 97-128 /dev/rfcomm0-31; other numbers fail to connect. On Windows COM n
 * is the system's \\.\COMn, 1 to 255. The Bluetooth
 * address may be written with ':' or '-' or without separators; a bad one is
 * also reported with log_error(), as the user typed it. The pairing PIN and
 * cod_mask are not part of the string: pairing is the system's. The network
 * and Bluetooth time-outs bound the connect; 0 or less takes 5000 and
 * 60000 ms. comm_make_conn_string_usb() rewrites a listed entry to its
 * "USBS" form; vid and pid are checked for range only, extra is reserved. */
int comm_make_conn_string_serial(char *out, uint16_t port, int baud,
                                 int data_bits, int stop_bits, int parity,
                                 int flow);
int comm_make_conn_string_serial_path(char *out, const char *path, int baud,
                                      int data_bits, int stop_bits, int parity,
                                      int flow);
int comm_make_conn_string_bt(char *out, const char *address, const char *name,
                             unsigned int cod_mask, int channel,
                             const char *pin, int timeout_ms);
int comm_make_conn_string_net(char *out, const char *host, uint16_t port,
                              int timeout_ms);
int comm_make_conn_string_usb(char *out, const char *entry, int extra, int vid,
                              int pid);

/* ---- Console output --------------------------------------------------- */

/* The printf check of a formatting function. On Windows the program
 * formats with mingw-w64's C99 printf (as on Linux: %zu, %lld, two-digit
 * exponents), which GCC checks as gnu_printf; its "printf" there means
 * msvcrt's. */
#ifdef __MINGW32__
#define COMM_PRINTF(format_arg, first_arg)                                     \
    __attribute__((format(gnu_printf, format_arg, first_arg)))
#else
#define COMM_PRINTF(format_arg, first_arg)                                     \
    __attribute__((format(printf, format_arg, first_arg)))
#endif

/* Registers an output channel. Arguments after the channel are reserved and
 * passed as 0, 1, 0, 0, "". */
int log_addlevel(const char *channel, int level, int console, int file,
                 int flags, const char *file_name);
/* Sets up error output; arguments reserved, passed as 0, 1, 0, 0, "". */
int log_seterror(int level, int console, int file, int flags,
                 const char *file_name);

/* Ordinary output to standard output. */
int log_write(const char *channel, const char *format, ...) COMM_PRINTF(2, 3);
/* Continuation output; the same as log_write(). */
int log_append(const char *channel, const char *format, ...) COMM_PRINTF(2, 3);
/* Error output to standard error. */
int log_error(const char *format, ...) COMM_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif /* LIBCOMM_H */
