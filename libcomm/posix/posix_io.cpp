// Waiting on a POSIX descriptor: the reader's wake is an eventfd polled
// together with the link's descriptor.
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "comm_internal.h"

namespace comm {

Wake::Wake() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0)
        native_ = fd;
}

Wake::~Wake() {
    if (ok())
        close(static_cast<int>(native_));
}

void Wake::set() {
    uint64_t one = 1;
    if (write(static_cast<int>(native_), &one, sizeof one) < 0) {
        // Only a full counter makes this fail, and then it is set already.
    }
}

void Wake::clear() {
    uint64_t n;
    if (read(static_cast<int>(native_), &n, sizeof n) < 0) {
        // Drained already.
    }
}

WaitResult fd_wait(Handle h, Wake *wake, bool for_write,
                   const Clock::time_point *deadline) {
    const short events = for_write ? POLLOUT : POLLIN;
    pollfd fds[2] = {{static_cast<int>(h), events, 0},
                     {wake ? static_cast<int>(wake->native()) : -1, POLLIN, 0}};
    timespec ts{};
    if (deadline) {
        auto left = *deadline - Clock::now();
        if (left < Clock::duration::zero())
            left = Clock::duration::zero();
        auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts = timespec{static_cast<time_t>(ns / 1000000000),
                      static_cast<long>(ns % 1000000000)};
    }
    int r = ppoll(fds, wake ? 2 : 1, deadline ? &ts : nullptr, nullptr);
    if (r < 0)
        return errno == EINTR ? WaitResult::Woken : WaitResult::Failed;
    if (wake && fds[1].revents)
        return WaitResult::Woken;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        return WaitResult::Hangup;
    if (fds[0].revents)
        return WaitResult::Ready;
    return WaitResult::Timeout;
}

} // namespace comm
