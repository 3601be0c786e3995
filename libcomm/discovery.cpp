// Device discovery shared by every system: the USB list (system ports in the
// filter's range, then announced simulators), the announcement files of
// simulated instruments, and the USB device instance ids of Windows.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "comm_internal.h"

namespace comm {

namespace {

std::mutex source_mutex;
UsbSource source_override = nullptr;

bool in_range(const ListFilter &f, int vid, int pid) {
    return vid >= f.vid_min && vid <= f.vid_max && pid >= f.pid_min &&
           pid <= f.pid_max;
}

// The hexadecimal number after "<key>_" in an instance id's part, or -1.
int id_field(const std::string &part, const char *key) {
    std::string upper;
    for (char c : part)
        upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    size_t at = upper.find(std::string(key) + "_");
    if (at == std::string::npos)
        return -1;
    at += strlen(key) + 1;
    size_t end = at;
    while (end < upper.size() && end - at < 4 &&
           isxdigit(static_cast<unsigned char>(upper[end])))
        end++;
    if (end - at != 4)
        return -1;
    return static_cast<int>(strtol(upper.substr(at, 4).c_str(), nullptr, 16));
}

} // namespace

bool announcement_name(const char *name) {
    size_t len = strlen(name);
    if (len < 9 || strncmp(name, "sim-", 4) != 0 ||
        strcmp(name + len - 4, ".ann") != 0)
        return false;
    for (size_t i = 4; i < len - 4; i++)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

void set_usb_source(UsbSource source) {
    std::lock_guard<std::mutex> lock(source_mutex);
    source_override = source;
}

std::vector<UsbPort> usb_ports() {
    UsbSource source;
    {
        std::lock_guard<std::mutex> lock(source_mutex);
        source = source_override;
    }
    std::vector<UsbPort> ports = source ? source() : system_usb_ports();
    std::sort(
        ports.begin(), ports.end(),
        [](const UsbPort &a, const UsbPort &b) { return a.path < b.path; });
    return ports;
}

std::string usb_entry(const std::string &path, int pid) {
    char hex[8];
    snprintf(hex, sizeof hex, "%x", pid & 0xFFFF);
    return "USBS:" + path + "/" + hex;
}

bool parse_usb_instance_id(const std::string &id, UsbPort &port) {
    // USB\VID_vvvv&PID_pppp[&MI_nn]\<serial or made-up id>
    size_t first = id.find('\\');
    size_t second =
        first == std::string::npos ? first : id.find('\\', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return false;
    std::string bus = id.substr(0, first);
    for (char &c : bus)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (bus != "USB")
        return false;
    std::string ids = id.substr(first + 1, second - first - 1);
    int vid = id_field(ids, "VID"), pid = id_field(ids, "PID");
    if (vid < 0 || pid < 0)
        return false;
    port.vid = vid;
    port.pid = pid;
    std::string serial = id.substr(second + 1);
    // Windows makes up an id with '&' for devices without a serial number.
    port.serial = serial.find('&') == std::string::npos ? serial : "";
    return true;
}

int list_usb(const ListFilter &filter, std::vector<std::string> &entries) {
    for (const UsbPort &p : usb_ports()) {
        std::string e = usb_entry(p.path, p.pid);
        if (in_range(filter, p.vid, p.pid) && e.size() < COMM_STR_SIZE)
            entries.push_back(e);
    }
    if (!in_range(filter, SIM_VENDOR_ID, SIM_PRODUCT_ID))
        return COMM_OK;
    for (const Announcement &a : announcements()) {
        std::string e = sim_entry(a);
        if (!e.empty() && e.size() < COMM_STR_SIZE)
            entries.push_back(e);
    }
    return COMM_OK;
}

bool parse_announcement(const std::string &text, Announcement &a) {
    a = Announcement();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        char *stop = nullptr;
        errno = 0;
        long n = strtol(value.c_str(), &stop, 10);
        bool number = !value.empty() && *stop == 0 && errno == 0;
        if (key == "pid" && number && n > 0 && n <= INT_MAX)
            a.pid = static_cast<pid_t>(n);
        else if (key == "pty")
            a.pty = value;
        else if (key == "serial")
            a.serial = value;
        else if (key == "tcp" && number && n >= 0 && n <= 0xFFFF)
            a.tcp = static_cast<int>(n);
    }
    return a.pid > 0 && !a.pty.empty() && a.pty[0] == '/';
}

std::vector<Announcement> announcements() {
    std::vector<Announcement> found;
    std::string dir = sim_dir();
#ifdef _WIN32
    // The directory's UTF-8 name (a %TEMP% under C:\Users\Jiří): libstdc++
    // takes narrow text there byte by byte.
    const std::filesystem::path dir_path(std::u8string(dir.begin(), dir.end()));
#else
    const std::filesystem::path dir_path(dir);
#endif
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_path, ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::u8string file = it->path().filename().u8string();
        std::string name(file.begin(), file.end());
        if (!announcement_name(name.c_str()))
            continue;
        std::string text;
        Announcement a;
        if (read_small_file(dir + "/" + name, text) &&
            parse_announcement(text, a) && process_alive(a.pid))
            found.push_back(a);
    }
    std::sort(found.begin(), found.end(),
              [](const Announcement &a, const Announcement &b) {
                  return a.pid < b.pid;
              });
    return found;
}

} // namespace comm

using namespace comm;

extern "C" {

int comm_list_devices_usb(int, comm_entry *list, int max, int *count,
                          const char *, const char *, int vid_min, int vid_max,
                          int pid_min, int pid_max) {
    if (count)
        *count = 0;
    if (!list || !count || max < 0)
        return COMM_ERR_ARG;
    ListFilter f{vid_min, vid_max, pid_min, pid_max};
    std::vector<std::string> entries;
    list_usb(f, entries);
    int n = 0;
    for (const std::string &e : entries) {
        if (n == max)
            break;
        memcpy(list[n++], e.c_str(), e.size() + 1);
    }
    *count = n;
    return COMM_OK;
}

} // extern "C"
