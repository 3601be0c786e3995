// TCP on Windows through Winsock: a non-blocking socket whose readiness the
// reader waits for through an event object (WSAEventSelect) together with
// its wake.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "comm_internal.h"

namespace comm {

namespace {

struct Socket {
    SOCKET s = INVALID_SOCKET;
    WSAEVENT ev = WSA_INVALID_EVENT;
};

Socket *socket_of(Handle h) {
    return reinterpret_cast<Socket *>(h);
}

// Winsock is started once and stays up until the process ends.
bool winsock_up() {
    static std::once_flag once;
    static bool up = false;
    std::call_once(once, [] {
        WSADATA data;
        up = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return up;
}

int errno_of(int wsa) {
    switch (wsa) {
    case WSAEWOULDBLOCK:
        return EAGAIN;
    case WSAEINTR:
        return EINTR;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
        return ECONNRESET;
    default:
        return EIO;
    }
}

timeval timeval_of(DWORD ms) {
    return timeval{static_cast<long>(ms / 1000),
                   static_cast<long>(ms % 1000) * 1000};
}

DWORD ms_until(const Clock::time_point *deadline) {
    if (!deadline)
        return INFINITE;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *deadline - Clock::now() + std::chrono::microseconds(999))
                    .count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Connects s within timeout_ms: 0, or a Winsock error code.
int connect_in_time(SOCKET s, const sockaddr *addr, int len, int timeout_ms) {
    if (connect(s, addr, len) == 0)
        return 0;
    int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK)
        return err;
    fd_set w, x;
    FD_ZERO(&w);
    FD_ZERO(&x);
    FD_SET(s, &w);
    FD_SET(s, &x);
    timeval tv = timeval_of(static_cast<DWORD>(timeout_ms));
    int r = select(0, nullptr, &w, &x, &tv);
    if (r == 0)
        return WSAETIMEDOUT;
    if (r < 0)
        return WSAGetLastError();
    int so = 0;
    int so_len = sizeof so;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&so),
                   &so_len) != 0)
        return WSAGetLastError();
    return FD_ISSET(s, &w) && so == 0 ? 0 : (so ? so : WSAECONNREFUSED);
}

int tcp_open(const Target &t, Handle *out) {
    if (!winsock_up()) {
        log_error("\nCannot open %s: Winsock cannot be started\n",
                  t.port.c_str());
        return COMM_ERR_IO;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string service = std::to_string(t.tcp_port);
    int r = getaddrinfo(t.host.c_str(), service.c_str(), &hints, &found);
    if (r != 0) {
        log_error("%s", open_error_text(t.port, "", r).c_str());
        return COMM_ERR_NOT_FOUND;
    }
    int err = WSAECONNREFUSED;
    for (addrinfo *a = found; a; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            err = WSAGetLastError();
            continue;
        }
        u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
        err = connect_in_time(s, a->ai_addr, static_cast<int>(a->ai_addrlen),
                              t.timeout_ms);
        auto *sock = err == 0 ? new (std::nothrow) Socket : nullptr;
        if (sock) {
            sock->s = s;
            sock->ev = WSACreateEvent();
            if (sock->ev != WSA_INVALID_EVENT &&
                WSAEventSelect(s, sock->ev, FD_READ | FD_CLOSE) == 0) {
                // Frames are small and a reply is awaited: send at once.
                BOOL one = TRUE;
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY,
                           reinterpret_cast<const char *>(&one), sizeof one);
                freeaddrinfo(found);
                *out = reinterpret_cast<Handle>(sock);
                return COMM_OK;
            }
            err = WSAGetLastError();
            if (sock->ev != WSA_INVALID_EVENT)
                WSACloseEvent(sock->ev);
            delete sock;
        }
        closesocket(s);
    }
    freeaddrinfo(found);
    log_error("%s", open_error_text(t.port, "", err).c_str());
    return err == WSAETIMEDOUT ? COMM_ERR_TIMEOUT : COMM_ERR_IO;
}

int network_line_ms(const Target &, int) {
    return 0;
}

WaitResult socket_wait(Handle h, Wake *wake, bool for_write,
                       const Clock::time_point *deadline) {
    Socket &sock = *socket_of(h);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock.s, &set);
    if (for_write) {
        timeval tv = timeval_of(std::min<DWORD>(ms_until(deadline), 60000));
        int r = select(0, nullptr, &set, nullptr, &tv);
        return r > 0    ? WaitResult::Ready
               : r == 0 ? WaitResult::Timeout
                        : WaitResult::Failed;
    }
    // Bytes already there, or the peer gone, are seen without waiting; the
    // event then reports everything that arrives after this look.
    timeval none{0, 0};
    if (select(0, &set, nullptr, nullptr, &none) > 0)
        return WaitResult::Ready;
    HANDLE objs[2] = {sock.ev, wake ? reinterpret_cast<HANDLE>(wake->native())
                                    : nullptr};
    DWORD r =
        WaitForMultipleObjects(wake ? 2 : 1, objs, FALSE, ms_until(deadline));
    if (r == WAIT_OBJECT_0) {
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(sock.s, sock.ev, &ne); // resets the event
        return WaitResult::Ready;
    }
    if (r == WAIT_OBJECT_0 + 1)
        return WaitResult::Woken;
    if (r == WAIT_TIMEOUT)
        return WaitResult::Timeout;
    errno = EIO;
    return WaitResult::Failed;
}

} // namespace

int connect_within(int, const void *, unsigned, int) {
    return ENOSYS; // Windows connects through tcp_open's own wait
}

ssize_t socket_read(Handle h, unsigned char *buf, size_t len) {
    int n = recv(socket_of(h)->s, reinterpret_cast<char *>(buf),
                 static_cast<int>(len), 0);
    if (n == SOCKET_ERROR) {
        errno = errno_of(WSAGetLastError());
        return -1;
    }
    return n;
}

ssize_t socket_write(Handle h, const unsigned char *buf, size_t len) {
    int n = send(socket_of(h)->s, reinterpret_cast<const char *>(buf),
                 static_cast<int>(len), 0);
    if (n == SOCKET_ERROR) {
        errno = errno_of(WSAGetLastError());
        return -1;
    }
    return n;
}

void socket_close(Handle h) {
    Socket *sock = socket_of(h);
    closesocket(sock->s);
    WSACloseEvent(sock->ev);
    delete sock;
}

// Sockets of tests are POSIX descriptors; Windows has no such adoption.
bool socket_adopt(Handle) {
    return false;
}

const Transport tcp_transport = {"tcp",           tcp_open,     socket_close,
                                 socket_read,     socket_write, nullptr,
                                 network_line_ms, socket_wait};

const Transport socket_transport = {"socket",        nullptr,      socket_close,
                                    socket_read,     socket_write, nullptr,
                                    network_line_ms, socket_wait};

} // namespace comm
