#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv,
                           const std::map<std::string, std::string> &env,
                           bool merge_stderr, const std::string &cwd) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        abort();
    pid_ = fork();
    if (pid_ < 0)
        abort();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(merge_stderr ? out[1] : err[1], 2);
        for (const auto &[k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_fd_ = in[1];
    fcntl(in_fd_, F_SETFL, fcntl(in_fd_, F_GETFL) | O_NONBLOCK);
    out_fd_ = out[0];
    err_fd_ = err[0];
    signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    for (int fd : {in_fd_, out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

bool ChildProcess::send(const std::string &text) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < text.size() && in_fd_ >= 0) {
        ssize_t n = write(in_fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && ms_left(deadline) > 0) {
            pump(10);
            continue;
        }
        return false;
    }
    return done == text.size();
}

void ChildProcess::close_input() {
    if (in_fd_ >= 0) {
        close(in_fd_);
        in_fd_ = -1;
    }
}

void ChildProcess::pump(int timeout_ms) {
    pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0)
        fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0) {
        if (timeout_ms > 0)
            usleep(static_cast<useconds_t>(timeout_ms) * 1000);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0)
        return;
    for (int i = 0; i < n; i++) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t r = read(fds[i].fd, buf, sizeof buf);
        std::string &dst = fds[i].fd == out_fd_ ? out_ : err_;
        if (r > 0) {
            dst.append(buf, static_cast<size_t>(r));
        } else if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
            int &fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
            close(fd);
            fd = -1;
        }
    }
}

bool ChildProcess::wait_output(const std::string &text, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (out_.find(text) != std::string::npos)
            return true;
        if (out_fd_ < 0 || ms_left(deadline) == 0)
            return false;
        pump(std::min(ms_left(deadline), 50));
    }
}

void ChildProcess::kill_now(int sig) {
    if (!exited_ && pid_ > 0)
        kill(pid_, sig);
}

ProcessResult ChildProcess::finish(int timeout_ms) {
    close_input();
    ProcessResult r;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!exited_) {
        pump(std::min(std::max(ms_left(deadline), 1), 20));
        pid_t w = waitpid(pid_, &status_, WNOHANG);
        if (w == pid_) {
            exited_ = true;
            break;
        }
        if (ms_left(deadline) == 0) {
            r.timed_out = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            exited_ = true;
        }
    }
    // Collect what is still in the pipes (bounded: the writer is gone).
    auto drain_deadline = Clock::now() + std::chrono::seconds(2);
    while ((out_fd_ >= 0 || err_fd_ >= 0) && ms_left(drain_deadline) > 0)
        pump(20);
    r.out = out_;
    r.err = err_;
    if (WIFEXITED(status_)) {
        r.exit_code = WEXITSTATUS(status_);
    } else if (WIFSIGNALED(status_)) {
        r.signal = WTERMSIG(status_);
    }
    return r;
}

ProcessResult run_process(const std::vector<std::string> &argv,
                          const std::string &input,
                          const std::map<std::string, std::string> &env,
                          int timeout_ms, bool merge_stderr,
                          const std::string &cwd) {
    ChildProcess child(argv, env, merge_stderr, cwd);
    child.send(input);
    return child.finish(timeout_ms);
}
