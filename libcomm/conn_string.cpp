// Connection strings: building them, taking them apart, and the readable name
// of a list entry. The forms (README.md lists them for users):
//
//   serial:115200,8N1:/dev/ttyUSB0      serial port by path
//   com:115200,8N1:3                    serial port by COM number
//   USBS:/dev/ttyACM0/c44               USB serial port (also USBF, USBU)
//   tcp:host:5000,1000                  network, connect time-out in ms
//   bt:00:11:22:AA:BB:CC,1,60000,Name   Bluetooth RFCOMM channel, time-out
//
// A serial setting may carry ",rtscts" for hardware flow control. A bare
// absolute path is taken as a serial port at 115200 8N1.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#ifndef _WIN32
#include <termios.h>
#endif

#include "comm_internal.h"

namespace comm {

namespace {

constexpr int TAG_LEN = 4;
constexpr int BT_ADDR_LEN = 17; // "00:11:22:AA:BB:CC"
constexpr int MAX_CHANNEL = 30; // highest RFCOMM channel
constexpr char PARITY_LETTERS[] = "NOE";

bool parse_int(std::string_view s, int &out, int base = 10) {
    if (s.empty())
        return false;
    int v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || end != s.data() + s.size())
        return false;
    out = v;
    return true;
}

bool is_usb_tag(std::string_view s) {
    return s.size() > TAG_LEN && s[TAG_LEN] == ':' &&
           (s.substr(0, TAG_LEN) == "USBS" || s.substr(0, TAG_LEN) == "USBF" ||
            s.substr(0, TAG_LEN) == "USBU");
}

bool valid_settings(int baud, int data_bits, int stop_bits, int parity,
                    int flow) {
    return baud_constant(baud) != 0 && data_bits >= 5 && data_bits <= 8 &&
           (stop_bits == 1 || stop_bits == 2) && parity >= 0 && parity <= 2 &&
           (flow == 0 || flow == 1);
}

std::string settings_text(int baud, int data_bits, int stop_bits, int parity,
                          int flow) {
    std::string s = std::to_string(baud) + "," + std::to_string(data_bits) +
                    PARITY_LETTERS[parity] + std::to_string(stop_bits);
    if (flow)
        s += ",rtscts";
    return s;
}

// "115200,8N1[,rtscts]"
bool parse_settings(std::string_view s, Target &t) {
    size_t comma = s.find(',');
    if (comma == std::string_view::npos ||
        !parse_int(s.substr(0, comma), t.baud))
        return false;
    std::string_view rest = s.substr(comma + 1);
    std::string_view frame = rest.substr(0, rest.find(','));
    if (frame.size() != 3)
        return false;
    const char *p = strchr(PARITY_LETTERS, frame[1]);
    if (!p || frame[1] == 0)
        return false;
    t.data_bits = frame[0] - '0';
    t.parity = static_cast<int>(p - PARITY_LETTERS);
    t.stop_bits = frame[2] - '0';
    t.flow = 0;
    if (frame.size() < rest.size()) {
        if (rest.substr(frame.size()) != ",rtscts")
            return false;
        t.flow = 1;
    }
    return valid_settings(t.baud, t.data_bits, t.stop_bits, t.parity, t.flow);
}

// Accepts six hexadecimal pairs separated by ':' or '-', or none at all;
// writes the upper-case colon form.
bool normalise_bt_address(const char *in, std::string &out) {
    std::string hex;
    for (const char *c = in; *c; c++) {
        if (isxdigit(static_cast<unsigned char>(*c)))
            hex += static_cast<char>(toupper(static_cast<unsigned char>(*c)));
        else if (*c != ':' && *c != '-')
            return false;
    }
    if (hex.size() != 12)
        return false;
    // With separators, each group must be exactly one pair.
    std::string_view v(in);
    if (v.find_first_of(":-") != std::string_view::npos) {
        if (v.size() != BT_ADDR_LEN)
            return false;
        for (int i = 2; i < BT_ADDR_LEN; i += 3)
            if (v[i] != ':' && v[i] != '-')
                return false;
    }
    out.clear();
    for (int i = 0; i < 12; i += 2) {
        if (i)
            out += ':';
        out += hex.substr(i, 2);
    }
    return true;
}

bool parse_serial(std::string_view rest, Target &t, bool by_number) {
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos ||
        !parse_settings(rest.substr(0, colon), t))
        return false;
    std::string_view what = rest.substr(colon + 1);
    if (by_number) {
        if (!parse_int(what, t.com) || t.com < 0 || t.com > 0xFFFF)
            return false;
        t.numbered = true;
        t.path = com_port_path(t.com);
#ifdef _WIN32
        t.port = "COM" + std::to_string(t.com);
#else
        t.port = "COM " + std::to_string(t.com);
        if (!t.path.empty())
            t.port += " (" + t.path + ")";
#endif
    } else {
        if (what.empty() || what[0] != '/')
            return false;
        t.path = what;
        t.port = t.path;
    }
    t.transport = &serial_transport;
    return true;
}

bool parse_usb(std::string_view s, Target &t) {
    std::string_view rest = s.substr(TAG_LEN + 1);
    size_t slash = rest.rfind('/');
    int pid = 0;
    if (slash == std::string_view::npos || slash == 0 ||
        !parse_int(rest.substr(slash + 1), pid, 16) || pid < 0 || pid > 0xFFFF)
        return false;
    t.port = rest.substr(0, slash);
#ifdef _WIN32
    // The port's name as the system lists it ("COM5").
    if (!t.port.starts_with("COM") || t.port.find('\\') != std::string::npos)
        return false;
    t.path = "\\\\.\\" + t.port;
#else
    if (rest[0] != '/')
        return false;
    t.path = t.port;
#endif
    t.transport = &serial_transport;
    return true;
}

bool parse_tcp(std::string_view rest, Target &t) {
    size_t comma = rest.rfind(',');
    t.timeout_ms = NET_CONNECT_DEFAULT_MS;
    if (comma != std::string_view::npos) {
        if (!parse_int(rest.substr(comma + 1), t.timeout_ms) ||
            t.timeout_ms <= 0)
            return false;
        rest = rest.substr(0, comma);
    }
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos ||
        !parse_int(rest.substr(colon + 1), t.tcp_port) || t.tcp_port < 1 ||
        t.tcp_port > 0xFFFF)
        return false;
    std::string_view host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of(" \t[]") != std::string_view::npos)
        return false;
    t.host = host;
    t.port = std::string(rest);
    t.transport = &tcp_transport;
    return true;
}

bool parse_bt(std::string_view rest, Target &t) {
    if (rest.size() < BT_ADDR_LEN)
        return false;
    std::string addr(rest.substr(0, BT_ADDR_LEN));
    if (!normalise_bt_address(addr.c_str(), t.address))
        return false;
    rest = rest.substr(BT_ADDR_LEN);
    t.channel = 1;
    t.timeout_ms = BT_CONNECT_DEFAULT_MS;
    if (!rest.empty()) {
        if (rest[0] != ',')
            return false;
        rest = rest.substr(1);
        size_t c1 = rest.find(',');
        if (!parse_int(rest.substr(0, c1), t.channel) || t.channel < 1 ||
            t.channel > MAX_CHANNEL)
            return false;
        if (c1 != std::string_view::npos) {
            rest = rest.substr(c1 + 1);
            size_t c2 = rest.find(',');
            if (!parse_int(rest.substr(0, c2), t.timeout_ms) ||
                t.timeout_ms <= 0)
                return false;
            if (c2 != std::string_view::npos)
                t.name = rest.substr(c2 + 1);
        }
    }
    t.port = "Bluetooth " + t.address;
    t.transport = &bt_transport;
    return true;
}

// Copies text into a COMM_STR_SIZE buffer; refuses what does not fit.
int put(char *out, const std::string &text) {
    if (text.size() >= COMM_STR_SIZE) {
        out[0] = 0;
        return COMM_ERR_ARG;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return COMM_OK;
}

// Printable characters only, so a name never breaks the console's lines.
std::string printable(const std::string &s) {
    std::string r;
    for (char c : s)
        r += isprint(static_cast<unsigned char>(c)) ? c : '?';
    return r;
}

} // namespace

std::string com_port_path(int com) {
    if (com < 1 || com > COM_MAX)
        return "";
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(com);
#else
    static const char *const families[] = {"/dev/ttyS", "/dev/ttyUSB",
                                           "/dev/ttyACM", "/dev/rfcomm"};
    return families[(com - 1) / COM_BLOCK] +
           std::to_string((com - 1) % COM_BLOCK);
#endif
}

#ifdef _WIN32
// The DCB takes the rate itself; these are the rates accepted elsewhere too.
unsigned baud_constant(int baud) {
    static const int rates[] = {1200,   2400,   4800,    9600,    19200,
                                38400,  57600,  115200,  230400,  460800,
                                500000, 921600, 1000000, 2000000, 3000000};
    for (int r : rates)
        if (r == baud)
            return static_cast<unsigned>(r);
    return 0;
}
#else
unsigned baud_constant(int baud) {
    static const struct {
        int rate;
        unsigned constant;
    } table[] = {{1200, B1200},       {2400, B2400},       {4800, B4800},
                 {9600, B9600},       {19200, B19200},     {38400, B38400},
                 {57600, B57600},     {115200, B115200},   {230400, B230400},
                 {460800, B460800},   {500000, B500000},   {921600, B921600},
                 {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000}};
    for (const auto &e : table)
        if (e.rate == baud)
            return e.constant;
    return 0;
}
#endif

bool parse_target(const char *text, Target &t) {
    if (!text || !*text || strlen(text) >= COMM_STR_SIZE)
        return false;
    t = Target();
    t.text = text;
    std::string_view s(text);
    if (s[0] == '/') {
        t.path = t.port = t.text;
        t.transport = &serial_transport;
        return true;
    }
    if (is_usb_tag(s))
        return parse_usb(s, t);
    if (s.starts_with("serial:"))
        return parse_serial(s.substr(7), t, false);
    if (s.starts_with("com:"))
        return parse_serial(s.substr(4), t, true);
    if (s.starts_with("tcp:"))
        return parse_tcp(s.substr(4), t);
    if (s.starts_with("bt:"))
        return parse_bt(s.substr(3), t);
    return false;
}

} // namespace comm

using namespace comm;

extern "C" {

int comm_make_conn_string_serial(char *out, uint16_t port, int baud,
                                 int data_bits, int stop_bits, int parity,
                                 int flow) {
    if (!out)
        return COMM_ERR_ARG;
    out[0] = 0;
    if (!valid_settings(baud, data_bits, stop_bits, parity, flow))
        return COMM_ERR_ARG;
    return put(
        out, "com:" + settings_text(baud, data_bits, stop_bits, parity, flow) +
                 ":" + std::to_string(port));
}

int comm_make_conn_string_serial_path(char *out, const char *path, int baud,
                                      int data_bits, int stop_bits, int parity,
                                      int flow) {
    if (!out)
        return COMM_ERR_ARG;
    out[0] = 0;
    if (!path || path[0] != '/' ||
        !valid_settings(baud, data_bits, stop_bits, parity, flow))
        return COMM_ERR_ARG;
    return put(
        out,
        "serial:" + settings_text(baud, data_bits, stop_bits, parity, flow) +
            ":" + path);
}

int comm_make_conn_string_bt(char *out, const char *address, const char *name,
                             unsigned int, int channel, const char *,
                             int timeout_ms) {
    if (!out)
        return COMM_ERR_ARG;
    out[0] = 0;
    std::string addr;
    if (!address || !normalise_bt_address(address, addr)) {
        log_error("\nNot a Bluetooth address: '%s' (six hexadecimal pairs "
                  "such as 00:11:22:AA:BB:CC)\n",
                  address ? printable(address).c_str() : "");
        return COMM_ERR_ARG;
    }
    if (channel < 1 || channel > MAX_CHANNEL)
        return COMM_ERR_ARG;
    if (timeout_ms <= 0)
        timeout_ms = BT_CONNECT_DEFAULT_MS;
    std::string text = "bt:" + addr + "," + std::to_string(channel) + "," +
                       std::to_string(timeout_ms);
    // A device's name may be longer than an entry holds: it is shortened,
    // so the device is still listed.
    if (name && *name) {
        std::string tail = ",";
        tail += printable(name);
        text += tail.substr(0, COMM_STR_SIZE - 1 - text.size());
    }
    return put(out, text);
}

int comm_make_conn_string_net(char *out, const char *host, uint16_t port,
                              int timeout_ms) {
    if (!out)
        return COMM_ERR_ARG;
    out[0] = 0;
    if (!host || !*host || port == 0 || strpbrk(host, " \t[],"))
        return COMM_ERR_ARG;
    if (timeout_ms <= 0)
        timeout_ms = NET_CONNECT_DEFAULT_MS;
    // An IPv6 address is written in brackets. (Built by appending: GCC 12
    // at -O3 wrongly warns about a string literal joined to a temporary.)
    std::string h;
    if (strchr(host, ':'))
        h.append("[").append(host).append("]");
    else
        h = host;
    return put(out, "tcp:" + h + ":" + std::to_string(port) + "," +
                        std::to_string(timeout_ms));
}

int comm_make_conn_string_usb(char *out, const char *entry, int, int vid,
                              int pid) {
    if (!out)
        return COMM_ERR_ARG;
    out[0] = 0;
    Target t;
    if (!entry || vid < 0 || vid > 0xFFFF || pid < 0 || pid > 0xFFFF ||
        !is_usb_tag(entry) || !parse_target(entry, t))
        return COMM_ERR_ARG;
    // The entry's own product id is kept: it is what the port reported.
    std::string_view e(entry);
    return put(out, "USBS" + std::string(e.substr(TAG_LEN)));
}

int comm_check_conn_string(const char *conn_string) {
    Target t;
    return parse_target(conn_string, t) ? COMM_OK : COMM_ERR_ARG;
}

int comm_get_devid_string(const char *entry, char *text) {
    if (!text)
        return COMM_ERR_ARG;
    text[0] = 0;
    if (!entry)
        return COMM_ERR_ARG;
    Target t;
    std::string name;
    if (!parse_target(entry, t)) {
        name = printable(entry);
    } else if (t.transport == &tcp_transport) {
        name = "Network " + t.port;
        // A simulator listed through its TCP port (as on Windows).
        if (t.host == "127.0.0.1")
            for (const Announcement &a : announcements())
                if (a.tcp == t.tcp_port)
                    name = "vo62-sim " + a.serial + " on " + t.port;
    } else if (t.transport == &bt_transport) {
        name = t.name.empty() ? t.port : t.name + " (" + t.address + ")";
    } else if (t.numbered) {
        name = t.port;
    } else if (is_usb_tag(entry)) {
        for (const Announcement &a : announcements())
            if (a.pty == t.path)
                name = "vo62-sim " + a.serial + " on " + a.pty;
        if (name.empty()) {
            for (const UsbPort &p : usb_ports()) {
                if (p.path != t.port) // the port as listed
                    continue;
                std::string what = p.product;
                if (!p.serial.empty())
                    what += (what.empty() ? "" : " ") + p.serial;
                if (!what.empty())
                    name = what + " on " + p.path;
            }
        }
        if (name.empty())
            name = "USB serial port on " + t.port;
    } else {
        name = "Serial port " + t.path;
    }
    name = printable(name);
    if (name.size() >= COMM_STR_SIZE)
        name.resize(COMM_STR_SIZE - 1);
    memcpy(text, name.c_str(), name.size() + 1);
    return COMM_OK;
}

} // extern "C"
