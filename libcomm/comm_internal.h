// Inner parts of the communication library, shared by its sources and by its
// tests: parsed connection strings, the table of transport operations, the
// USB port source, the simulator announcements and the trace.
#ifndef LIBCOMM_COMM_INTERNAL_H
#define LIBCOMM_COMM_INTERNAL_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "libcomm.h"

namespace comm {

// ---- Named limits and time-outs -----------------------------------------

// Largest receive buffer a connection may ask for.
constexpr int RX_BUFFER_MAX = 1 << 20;
// A write never gives up before this many milliseconds beyond the time the
// bytes need on the line, whatever time-out the caller passes: a command's
// reply time-out is often far shorter than sending a large frame takes.
constexpr int WRITE_MIN_MS = 500;
// How long the delivery of a connection's closed event waits for another
// thread that was handed that connection's context by a walk to move on.
constexpr int WALK_RELEASE_MS = 500;
// Time-outs of network and Bluetooth connects when the string names none.
constexpr int NET_CONNECT_DEFAULT_MS = 5000;
constexpr int BT_CONNECT_DEFAULT_MS = 60000;
// Bluetooth inquiry: length in units of 1.28 s, answers kept, and the bound
// on reading one device's name.
constexpr int BT_INQUIRY_UNITS = 8;
constexpr int BT_NAME_TIMEOUT_MS = 2000;
// Largest announcement file read.
constexpr int ANNOUNCEMENT_MAX_BYTES = 4096;
// USB identity under which simulated instruments are listed.
constexpr int SIM_VENDOR_ID = 0x1781;
constexpr int SIM_PRODUCT_ID = 0x0C44;
// Serial port numbers: blocks of 32 per device family.
constexpr int COM_BLOCK = 32;
constexpr int COM_MAX = 128;

// ---- Connection strings ---------------------------------------------------

struct Transport;

// Which USB devices a listing keeps.
struct ListFilter {
    int vid_min = 0, vid_max = 0xFFFF, pid_min = 0, pid_max = 0xFFFF;
};

// A connection string taken apart.
struct Target {
    const Transport *transport = nullptr;
    std::string text; // the connection string as given
    std::string port; // what messages and the trace name: a path, host:port
    // Serial ports (also USB and simulated instruments).
    std::string path;
    bool numbered = false; // given by COM number
    int com = 0;
    int baud = 115200, data_bits = 8, stop_bits = 1, parity = 0, flow = 0;
    // Network.
    std::string host;
    int tcp_port = 0;
    int timeout_ms = 0;
    // Bluetooth.
    std::string address; // upper case, colon separated
    int channel = 1;
    std::string name;
};

// Parses a connection string; false (and nothing printed) when malformed.
bool parse_target(const char *text, Target &t);
// The device a COM number stands for, or "" when the number maps to none.
std::string com_port_path(int com);
// termios speed constant of a baud rate, 0 when unsupported.
unsigned baud_constant(int baud);

// ---- Transports ------------------------------------------------------------

// How one kind of connection carries bytes. Every transport ends in a file
// descriptor that the reader polls, so the event thread, the reply waiting
// and the tests see one shape whatever carries the bytes.
struct Transport {
    const char *kind;
    // Opens the target into a non-blocking descriptor; on failure prints one
    // line naming the port and the reason, and answers a COMM_ERR_* code.
    int (*open)(const Target &t, int *fd);
    void (*close)(int fd);
    // As read(2) and write(2): a count, 0 for end of stream on read, or -1
    // with errno set.
    ssize_t (*read)(int fd, unsigned char *buf, size_t len);
    ssize_t (*write)(int fd, const unsigned char *buf, size_t len);
    // Lists the devices this transport can reach, as connection strings;
    // null when it cannot list.
    int (*list)(const ListFilter &filter, std::vector<std::string> &entries);
    // Milliseconds that len bytes need on the line at the target's speed.
    int (*line_ms)(const Target &t, int len);
};

extern const Transport serial_transport;
extern const Transport tcp_transport;
extern const Transport bt_transport;
// An already connected stream socket (tests, socket pairs).
extern const Transport socket_transport;

// Connects a non-blocking socket within timeout_ms: 0, or an errno value.
int connect_within(int fd, const void *addr, unsigned addr_len, int timeout_ms);
ssize_t socket_read(int fd, unsigned char *buf, size_t len);
ssize_t socket_write(int fd, const unsigned char *buf, size_t len);
void socket_close(int fd);

// The line printed when opening a device fails: names the port and the
// system's reason; for a permission error also the group that owns it and,
// for a port with a path, the udev rule that opens instruments on USB.
std::string open_error_text(const std::string &port, const std::string &path,
                            int err);

// Opens an already connected stream socket as a connection (it takes the
// descriptor over). Used by tests to play the device on a socket pair.
int connect_fd(int *id, int fd, const char *name, comm_event_proc proc,
               int rx_buffer_size, int idle_ms, void *ctx);

// ---- USB ports and simulated instruments -----------------------------------

struct UsbPort {
    std::string path;
    int vid = 0, pid = 0;
    std::string product, serial;
};
// Where USB serial ports come from; libserialport unless a test replaces it.
using UsbSource = std::vector<UsbPort> (*)();
void set_usb_source(UsbSource source); // null restores libserialport
std::vector<UsbPort> usb_ports();
// The list entry of a USB serial port: "USBS:<path>/<product id in hex>".
std::string usb_entry(const std::string &path, int pid);
// USB ports in the filter's range, then announced simulators.
int list_usb(const ListFilter &filter, std::vector<std::string> &entries);

struct Announcement {
    pid_t pid = 0;
    std::string pty, serial;
    int tcp = 0;
};
// The announcement directory in force.
std::string sim_dir();
// Live simulators announced there, sorted by pid.
std::vector<Announcement> announcements();
// Parses one announcement file's text; false when it lacks pid or pty.
bool parse_announcement(const std::string &text, Announcement &a);

// ---- Trace ---------------------------------------------------------------

void trace_start(); // opens $VO62_TRACE when set
void trace_stop();
bool trace_on();
void trace_bytes(int id, const char *dir, const unsigned char *data, int len);
void trace_note(int id, const std::string &what);

// ---- Discovery threads, stopped by comm_shut
// ---------------------------------

void bt_stop();
void usb_watch_stop();

} // namespace comm

#endif
