// vo62-sim: a virtual VO-62 V2 on a pseudo-terminal.
#include "options.h"
#include "simulator.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_wake_fd = -1;

void on_signal(int) {
    int fd = g_wake_fd;
    if (fd >= 0) {
        char c = 1;
        ssize_t r = ::write(fd, &c, 1);
        (void)r;
    }
}

} // namespace

int main(int argc, char **argv) {
    vo62sim::Options opts;
    std::string err;
    int r = vo62sim::parse_options(argc, argv, opts, err);
    if (r == 1) {
        std::fputs(err.c_str(), stdout);
        return 0;
    }
    if (r != 0) {
        std::fprintf(stderr, "vo62-sim: %s\n%s", err.c_str(),
                     vo62sim::usage_text());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    vo62sim::Simulator sim(opts);
    // Handlers first, so a signal during start-up still removes what start()
    // made: the run loop sees the wake byte at once.
    g_wake_fd = sim.wake_fd();
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    if (sim.start(err) != 0) {
        std::fprintf(stderr, "vo62-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("vo62-sim: %s on %s\n", sim.serial().c_str(),
                sim.pty_path().c_str());
    std::fflush(stdout);
    sim.run();
    g_wake_fd = -1;
    return 0;
}
