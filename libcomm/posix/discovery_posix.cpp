// Device discovery on POSIX systems: USB serial ports through libserialport,
// the announcement directory and the liveness of simulators, and the
// notification when either set changes (inotify).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

std::string text_or_empty(const char *s) {
    return s ? s : "";
}

} // namespace

std::vector<UsbPort> system_usb_ports() {
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

bool process_alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

std::string sim_entry(const Announcement &a) {
    return usb_entry(a.pty, SIM_PRODUCT_ID);
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
