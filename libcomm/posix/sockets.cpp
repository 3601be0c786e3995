// Stream sockets: TCP connections and adopted socket descriptors. Bluetooth
// RFCOMM uses the same reading and writing (bluetooth.cpp).
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm_internal.h"

namespace comm {

int connect_within(int fd, const void *addr, unsigned addr_len,
                   int timeout_ms) {
    if (connect(fd, static_cast<const sockaddr *>(addr), addr_len) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return ETIMEDOUT;
        pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            return ETIMEDOUT;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            return errno;
        return err;
    }
}

ssize_t socket_read(Handle fd, unsigned char *buf, size_t len) {
    return recv(static_cast<int>(fd), buf, len, 0);
}

// MSG_NOSIGNAL: a peer that went away must not kill the program.
ssize_t socket_write(Handle fd, const unsigned char *buf, size_t len) {
    return send(static_cast<int>(fd), buf, len, MSG_NOSIGNAL);
}

void socket_close(Handle fd) {
    close(static_cast<int>(fd));
}

bool socket_adopt(Handle fd) {
    int flags = fcntl(static_cast<int>(fd), F_GETFL);
    return flags >= 0 &&
           fcntl(static_cast<int>(fd), F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

int tcp_open(const Target &t, Handle *fd_out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string service = std::to_string(t.tcp_port);
    int r = getaddrinfo(t.host.c_str(), service.c_str(), &hints, &found);
    if (r != 0) {
        log_error("\nCannot open %s: %s\n", t.port.c_str(),
                  r == EAI_SYSTEM ? strerror(errno) : gai_strerror(r));
        return COMM_ERR_NOT_FOUND;
    }
    int err = ECONNREFUSED;
    for (addrinfo *a = found; a; a = a->ai_next) {
        int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                   a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        err = connect_within(fd, a->ai_addr, a->ai_addrlen, t.timeout_ms);
        if (err == 0) {
            // Frames are small and a reply is awaited: send them at once.
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            freeaddrinfo(found);
            *fd_out = fd;
            return COMM_OK;
        }
        close(fd);
    }
    freeaddrinfo(found);
    log_error("%s", open_error_text(t.port, "", err).c_str());
    return err == ETIMEDOUT ? COMM_ERR_TIMEOUT : COMM_ERR_IO;
}

int network_line_ms(const Target &, int) {
    return 0;
}

} // namespace

const Transport tcp_transport = {"tcp",           tcp_open,     socket_close,
                                 socket_read,     socket_write, nullptr,
                                 network_line_ms, fd_wait};

const Transport socket_transport = {"socket",        nullptr,      socket_close,
                                    socket_read,     socket_write, nullptr,
                                    network_line_ms, fd_wait};

} // namespace comm
