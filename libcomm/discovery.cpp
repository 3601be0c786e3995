// Device discovery: USB serial ports through libserialport, simulated
// instruments through their announcement files, and the notification when
// either set changes.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libserialport.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

#include "comm_internal.h"

namespace comm {

namespace {

constexpr size_t INOTIFY_BUF = 4096;

std::mutex source_mutex;
UsbSource source_override = nullptr;

std::string text_or_empty(const char *s) {
    return s ? s : "";
}

std::vector<UsbPort> serialport_ports() {
    std::vector<UsbPort> ports;
    sp_port **list = nullptr;
    if (sp_list_ports(&list) != SP_OK)
        return ports;
    for (int i = 0; list[i]; i++) {
        sp_port *p = list[i];
        UsbPort u;
        if (sp_get_port_transport(p) != SP_TRANSPORT_USB ||
            sp_get_port_usb_vid_pid(p, &u.vid, &u.pid) != SP_OK)
            continue;
        u.path = text_or_empty(sp_get_port_name(p));
        u.product = text_or_empty(sp_get_port_usb_product(p));
        u.serial = text_or_empty(sp_get_port_usb_serial(p));
        if (!u.path.empty())
            ports.push_back(u);
    }
    sp_free_port_list(list);
    return ports;
}

bool in_range(const ListFilter &f, int vid, int pid) {
    return vid >= f.vid_min && vid <= f.vid_max && pid >= f.pid_min &&
           pid <= f.pid_max;
}

bool read_small_file(const std::string &path, std::string &text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char buf[ANNOUNCEMENT_MAX_BYTES + 1];
    size_t got = 0;
    for (;;) {
        ssize_t n = read(fd, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
        if (got == sizeof buf)
            break;
    }
    close(fd);
    if (got > ANNOUNCEMENT_MAX_BYTES)
        return false; // not an announcement
    text.assign(buf, got);
    return true;
}

// "sim-<digits>.ann"
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

bool alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

} // namespace

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
    std::vector<UsbPort> ports = source ? source() : serialport_ports();
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

int list_usb(const ListFilter &filter, std::vector<std::string> &entries) {
    for (const UsbPort &p : usb_ports()) {
        std::string e = usb_entry(p.path, p.pid);
        if (in_range(filter, p.vid, p.pid) && e.size() < COMM_STR_SIZE)
            entries.push_back(e);
    }
    if (!in_range(filter, SIM_VENDOR_ID, SIM_PRODUCT_ID))
        return COMM_OK;
    for (const Announcement &a : announcements()) {
        std::string e = usb_entry(a.pty, SIM_PRODUCT_ID);
        if (e.size() < COMM_STR_SIZE)
            entries.push_back(e);
    }
    return COMM_OK;
}

std::string sim_dir() {
    const char *dir = getenv("VO62_SIM_DIR");
    if (dir && *dir)
        return dir;
    const char *run = getenv("XDG_RUNTIME_DIR");
    if (run && *run)
        return std::string(run) + "/vo62-sim";
    return "/tmp/vo62-sim-" + std::to_string(getuid());
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
    DIR *d = opendir(dir.c_str());
    if (!d)
        return found;
    while (dirent *e = readdir(d)) {
        if (!announcement_name(e->d_name))
            continue;
        std::string text;
        Announcement a;
        if (read_small_file(dir + "/" + e->d_name, text) &&
            parse_announcement(text, a) && alive(a.pid))
            found.push_back(a);
    }
    closedir(d);
    std::sort(found.begin(), found.end(),
              [](const Announcement &a, const Announcement &b) {
                  return a.pid < b.pid;
              });
    return found;
}

// ---- Change notification ----------------------------------------------------

namespace {

struct Watch {
    std::mutex m; // guards the registration below (main thread)
    std::thread thread;
    int wake = -1;
};
Watch watch;

bool prefix(const char *name, const char *p) {
    return strncmp(name, p, strlen(p)) == 0;
}

constexpr uint32_t SIM_DIR_MASK =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

// What one watcher looks at: /dev for serial devices, and the announcement
// directory (or, until it exists, its parent) for announcements.
struct Watched {
    std::string dir, base;
    int dev_wd = -1, sim_wd = -1, parent_wd = -1;
};

// Watches are added before the thread starts, so no change made after
// registration is missed.
Watched add_watches(int ino) {
    Watched w;
    w.dir = sim_dir();
    std::string parent = w.dir.substr(0, w.dir.rfind('/'));
    w.base = w.dir.substr(w.dir.rfind('/') + 1);
    w.dev_wd = inotify_add_watch(ino, "/dev", IN_CREATE | IN_DELETE);
    w.sim_wd = inotify_add_watch(ino, w.dir.c_str(), SIM_DIR_MASK);
    if (!parent.empty())
        w.parent_wd =
            inotify_add_watch(ino, parent.c_str(), IN_CREATE | IN_MOVED_TO);
    return w;
}

// Calls back once per batch of relevant changes.
void watch_main(int ino, int wake, comm_usb_change_proc callback, void *user,
                Watched w) {
    alignas(inotify_event) char buf[INOTIFY_BUF];
    for (;;) {
        pollfd fds[2] = {{ino, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        ssize_t n = read(ino, buf, sizeof buf);
        if (n <= 0)
            continue;
        bool changed = false;
        for (ssize_t at = 0;
             at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event ev;
            memcpy(&ev, buf + at, sizeof ev);
            const char *name = ev.len ? buf + at + sizeof ev : "";
            if (ev.wd == w.dev_wd &&
                (prefix(name, "tty") || prefix(name, "rfcomm")))
                changed = true;
            else if (ev.wd == w.sim_wd && ev.len && announcement_name(name))
                changed = true;
            else if (ev.wd == w.sim_wd && (ev.mask & IN_IGNORED))
                w.sim_wd = -1;
            else if (ev.wd == w.parent_wd && w.base == name && w.sim_wd < 0) {
                w.sim_wd = inotify_add_watch(ino, w.dir.c_str(), SIM_DIR_MASK);
                changed = true;
            }
            at += static_cast<ssize_t>(sizeof ev + ev.len);
        }
        if (changed && callback)
            callback(user);
    }
    close(ino);
}

} // namespace

void usb_watch_stop() {
    std::lock_guard<std::mutex> lock(watch.m);
    if (watch.wake < 0)
        return;
    uint64_t one = 1;
    if (write(watch.wake, &one, sizeof one) < 0) {
        // An eventfd write only fails when the counter is full: it is set.
    }
    if (watch.thread.joinable())
        watch.thread.join();
    close(watch.wake);
    watch.wake = -1;
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

int comm_usb_register(comm_usb_change_proc callback, void *user) {
    std::lock_guard<std::mutex> lock(watch.m);
    if (watch.wake >= 0)
        return COMM_ERR_STATE;
    int ino = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ino < 0)
        return COMM_ERR_UNSUPPORTED;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        close(ino);
        return COMM_ERR_IO;
    }
    try {
        watch.thread = std::thread(watch_main, ino, wake, callback, user,
                                   add_watches(ino));
    } catch (...) {
        close(ino);
        close(wake);
        return COMM_ERR_NO_MEM;
    }
    watch.wake = wake;
    return COMM_OK;
}

int comm_usb_deregister(void) {
    usb_watch_stop();
    return COMM_OK;
}

} // extern "C"
