// Serial ports, USB serial ports and the pseudo-terminals of simulated
// instruments: all are opened through termios, raw, exclusively, with stale
// input discarded.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "comm_internal.h"

namespace comm {

namespace {

constexpr int BITS_PER_BYTE_MAX = 12; // start, 8 data, parity, 2 stop
// The udev rule installed with the program (dist/60-vo62.rules).
constexpr const char *UDEV_RULE = "60-vo62.rules";

// Closes a descriptor unless released.
class FdGuard {
  public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0)
            close(fd_);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

int fail(const Target &t, int err, int code) {
    log_error("%s", open_error_text(t.port, t.path, err).c_str());
    return code;
}

int fail_text(const Target &t, const char *reason, int code) {
    log_error("\nCannot open %s: %s\n", t.port.c_str(), reason);
    return code;
}

int configure(int fd, const Target &t) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[t.data_bits - 5] | CLOCAL | CREAD;
    if (t.stop_bits == 2)
        tio.c_cflag |= CSTOPB;
    if (t.parity)
        tio.c_cflag |= PARENB | (t.parity == 1 ? PARODD : 0);
    if (t.flow)
        tio.c_cflag |= CRTSCTS;
    // One byte is enough for a read; the descriptor never blocks anyway.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = baud_constant(t.baud);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0)
        return -1;
    return 0;
}

int serial_open(const Target &t, Handle *fd_out) {
    if (t.path.empty()) {
        log_error("\nCannot open COM %d: no such port (COM 1-32 are "
                  "/dev/ttyS0-31, 33-64 /dev/ttyUSB0-31, 65-96 "
                  "/dev/ttyACM0-31, 97-128 /dev/rfcomm0-31)\n",
                  t.com);
        return COMM_ERR_NOT_FOUND;
    }
    int fd = open(t.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        return fail(t, e,
                    e == ENOENT || e == ENXIO || e == ENODEV
                        ? COMM_ERR_NOT_FOUND
                        : COMM_ERR_IO);
    }
    FdGuard guard(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd))
        return fail_text(t, "not a serial port", COMM_ERR_ARG);
    // The lock keeps out every program that locks too; TIOCEXCL keeps out
    // the rest (except the superuser).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK
                   ? fail_text(t, "the port is in use by another program",
                               COMM_ERR_IO)
                   : fail(t, errno, COMM_ERR_IO);
    if (ioctl(fd, TIOCEXCL) != 0 || configure(fd, t) != 0)
        return fail(t, errno, COMM_ERR_IO);
    tcflush(fd, TCIOFLUSH);
    *fd_out = guard.release();
    return COMM_OK;
}

void serial_close(Handle fd) {
    ioctl(static_cast<int>(fd), TIOCNXCL);
    close(static_cast<int>(fd));
}

ssize_t fd_read(Handle fd, unsigned char *buf, size_t len) {
    return read(static_cast<int>(fd), buf, len);
}

ssize_t fd_write(Handle fd, const unsigned char *buf, size_t len) {
    return write(static_cast<int>(fd), buf, len);
}

int serial_line_ms(const Target &t, int len) {
    long long bits = static_cast<long long>(len) * BITS_PER_BYTE_MAX;
    return static_cast<int>(bits * 1000 / (t.baud > 0 ? t.baud : 1));
}

} // namespace

std::string open_error_text(const std::string &port, const std::string &path,
                            int err) {
    std::string text = "\nCannot open " + port + ": " + strerror(err);
    if (err == EACCES || err == EPERM) {
        struct stat st;
        std::string owner;
        if (stat(path.c_str(), &st) == 0) {
            owner = std::to_string(st.st_gid);
            char buf[1024];
            struct group g, *found = nullptr;
            if (getgrgid_r(st.st_gid, &g, buf, sizeof buf, &found) == 0 &&
                found)
                owner = found->gr_name;
        }
        if (owner.empty())
            text += ". Ask for read and write access to the port";
        else
            text += ". Make your user a member of the group '" + owner +
                    "' that owns the port (sudo usermod -aG " + owner +
                    " $USER), then log in again";
        // A port with a path may be an instrument on USB, which the
        // package's udev rule opens to the user at the seat.
        if (!path.empty())
            text += std::string(", or install the udev rule ") + UDEV_RULE +
                    " and plug the instrument in again";
    }
    return text + "\n";
}

const Transport serial_transport = {"serial",       serial_open, serial_close,
                                    fd_read,        fd_write,    list_usb,
                                    serial_line_ms, fd_wait};

} // namespace comm
