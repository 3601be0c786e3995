// Inner parts of the communication library, shared by its sources and by its
// tests: parsed connection strings, the table of transport operations, the
// USB port source, the simulator announcements and the trace.
#ifndef LIBCOMM_COMM_INTERNAL_H
#define LIBCOMM_COMM_INTERNAL_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
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
#ifdef _WIN32
// Serial port numbers are the system's own COM numbers.
constexpr int COM_MAX = 255;
#else
// Serial port numbers: blocks of 32 per device family.
constexpr int COM_BLOCK = 32;
constexpr int COM_MAX = 128;
#endif

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
// The system's speed constant of a baud rate (termios, or the rate itself on
// Windows), 0 when unsupported.
unsigned baud_constant(int baud);

// ---- Transports ------------------------------------------------------------

// An open link as its transport knows it: a file descriptor on POSIX
// systems, the address of the transport's own port object on Windows.
using Handle = intptr_t;
constexpr Handle NO_HANDLE = -1;

using Clock = std::chrono::steady_clock;

// Wakes a reader out of its wait from another thread: an eventfd on POSIX
// systems, an event object on Windows. Setting it twice before the reader
// wakes counts once.
class Wake {
  public:
    Wake();
    ~Wake();
    Wake(const Wake &) = delete;
    Wake &operator=(const Wake &) = delete;
    bool ok() const { return native_ != NO_HANDLE; }
    void set();
    void clear(); // the reader's part, once it has woken
    Handle native() const { return native_; }

  private:
    Handle native_ = NO_HANDLE;
};

// Answers of Transport::wait.
enum class WaitResult {
    Ready,   // read (or write) can go on
    Hangup,  // the peer or the device is gone; a read tells the rest
    Woken,   // the wake was set (or a signal came): look at the flags
    Timeout, // the deadline passed
    Failed   // the wait itself failed; errno says why
};

// How one kind of connection carries bytes. Every transport ends in a handle
// that its wait function watches, so the event thread, the reply waiting
// and the tests see one shape whatever carries the bytes.
struct Transport {
    const char *kind;
    // Opens the target into a non-blocking handle; on failure prints one
    // line naming the port and the reason, and answers a COMM_ERR_* code.
    int (*open)(const Target &t, Handle *h);
    void (*close)(Handle h);
    // As read(2) and write(2): a count, 0 for end of stream on read, or -1
    // with errno set (EAGAIN when nothing can be moved now).
    ssize_t (*read)(Handle h, unsigned char *buf, size_t len);
    ssize_t (*write)(Handle h, const unsigned char *buf, size_t len);
    // Lists the devices this transport can reach, as connection strings;
    // null when it cannot list.
    int (*list)(const ListFilter &filter, std::vector<std::string> &entries);
    // Milliseconds that len bytes need on the line at the target's speed.
    int (*line_ms)(const Target &t, int len);
    // Waits until h can be read (for_write false) or written, wake (may be
    // null) is set, or deadline (null: none) passes.
    WaitResult (*wait)(Handle h, Wake *wake, bool for_write,
                       const Clock::time_point *deadline);
};

#ifndef _WIN32
// The wait of every POSIX transport: poll(2) on the descriptor and the wake.
WaitResult fd_wait(Handle h, Wake *wake, bool for_write,
                   const Clock::time_point *deadline);
#endif

extern const Transport serial_transport;
extern const Transport tcp_transport;
extern const Transport bt_transport;
// An already connected stream socket (tests, socket pairs).
extern const Transport socket_transport;

// Connects a non-blocking socket within timeout_ms: 0, or an errno value.
int connect_within(int fd, const void *addr, unsigned addr_len, int timeout_ms);
ssize_t socket_read(Handle h, unsigned char *buf, size_t len);
ssize_t socket_write(Handle h, const unsigned char *buf, size_t len);
void socket_close(Handle h);
// Makes an adopted socket non-blocking; false when it cannot be.
bool socket_adopt(Handle h);

// The line printed when opening a device fails: names the port and the
// system's reason; for a permission error also the group that owns it and,
// for a port with a path, the udev rule that opens instruments on USB. err
// is an errno value, on Windows a system error code.
std::string open_error_text(const std::string &port, const std::string &path,
                            int err);
#ifdef _WIN32
// The system's own text of a Windows error code, without the final period.
std::string system_error_text(unsigned long err);
#endif

// Opens an already connected stream socket as a connection (it takes the
// descriptor over). Used by tests to play the device on a socket pair.
int connect_fd(int *id, Handle fd, const char *name, comm_event_proc proc,
               int rx_buffer_size, int idle_ms, void *ctx);

// ---- USB ports and simulated instruments -----------------------------------

struct UsbPort {
    std::string path;
    int vid = 0, pid = 0;
    std::string product, serial;
};
// Where USB serial ports come from; the system (libserialport, or SetupAPI
// on Windows) unless a test replaces it.
using UsbSource = std::vector<UsbPort> (*)();
void set_usb_source(UsbSource source); // null restores the system's
std::vector<UsbPort> usb_ports();
std::vector<UsbPort> system_usb_ports();
// Takes a Windows USB device instance id ("USB\VID_1781&PID_0C44\A0001234")
// apart into vendor, product and serial number; false when it names no USB
// device. The serial is empty when the system made the last part up (it
// then holds '&').
bool parse_usb_instance_id(const std::string &id, UsbPort &port);
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
// The list entry through which an announced simulator is connected: its
// pseudo-terminal, or on Windows its TCP port ("" when it has none).
std::string sim_entry(const Announcement &a);
// Parses one announcement file's text; false when it lacks pid or pty.
bool parse_announcement(const std::string &text, Announcement &a);
// "sim-<digits>.ann"
bool announcement_name(const char *name);
// Reads a file of at most ANNOUNCEMENT_MAX_BYTES; false for a larger one or
// one that cannot be opened. Never blocks on a pipe.
bool read_small_file(const std::string &path, std::string &text);
// Whether the announcing process still runs (always true where the system
// cannot tell).
bool process_alive(pid_t pid);

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
