// The console's ">" prompt on a terminal: the console runs on a
// pseudo-terminal, connected to an instrument played by this test (its own
// pseudo-terminal, announced like a simulator), which can send a live-data
// event while a command is half typed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "frame.h"
#include "process.h"
#include "sim_process.h"

namespace {

using namespace std::chrono;
using vo62sim::Bytes;

constexpr int kWaitMs = 30000;
constexpr uint16_t kGetFwVersion = 8001, kGetSerial = 8007, kLiveData = 9302;
constexpr uint32_t kLiveProgress = 2;
const std::string kSerial = "A000XXXX", kVersion = "9.99";

// An instrument on a pseudo-terminal that answers the serial and version
// requests and sends live data when asked.
class FakeInstrument {
  public:
    explicit FakeInstrument(const std::string &ann_dir) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const std::string pty = ptsname(master_);
        write_file(ann_dir + "/sim-" + std::to_string(getpid()) + ".ann",
                   "pid=" + std::to_string(getpid()) + "\npty=" + pty +
                       "\nserial=" + kSerial + "\ntcp=0\nlink=1\n");
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeInstrument() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (master_ >= 0)
            close(master_);
    }
    void send_progress(int32_t value) {
        Bytes b(16, 0);
        vo62sim::put_u32(b, 0, kLiveProgress);
        vo62sim::put_i32(b, 4, value);
        write_frame(vo62sim::make_frame(kLiveData, b, 0, 0));
    }
    int version_requests() const { return versions_; }

  private:
    void write_frame(const Bytes &f) {
        std::lock_guard<std::mutex> lock(write_mutex_);
        const ssize_t n = write(master_, f.data(), f.size());
        (void)n;
    }
    void serve() {
        vo62sim::FrameParser parser;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN))
                continue;
            unsigned char buf[512];
            const ssize_t n = read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; i++) {
                vo62sim::Frame f;
                if (!parser.push(buf[i], f))
                    continue;
                std::string text;
                if (f.code == kGetSerial)
                    text = kSerial;
                else if (f.code == kGetFwVersion)
                    text = kVersion, versions_++;
                else
                    continue;
                write_frame(vo62sim::make_frame(
                    uint16_t(f.code + vo62sim::kReplyOffset),
                    Bytes(text.begin(), text.end()), f.param, 0));
            }
        }
    }

    int master_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> versions_{0};
    std::mutex write_mutex_;
};

// The console on a pseudo-terminal.
class TerminalConsole {
  public:
    TerminalConsole(const std::string &ann_dir, const std::string &state) {
        pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            setenv("VO62_SIM_DIR", ann_dir.c_str(), 1);
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            setenv("TERM", "vt100", 1);
            execl(console_binary_path().c_str(), "ra62d2ide", nullptr);
            _exit(127);
        }
    }
    ~TerminalConsole() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    void type(const std::string &keys) {
        const ssize_t n = write(fd_, keys.data(), keys.size());
        (void)n;
    }
    // Reads until the output from offset from on holds text.
    bool wait_for(const std::string &text, size_t from = 0) {
        const auto deadline = steady_clock::now() + milliseconds(kWaitMs);
        while (out_.find(text, from) == std::string::npos) {
            if (steady_clock::now() >= deadline)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[1024];
                const ssize_t n = read(fd_, buf, sizeof buf);
                if (n <= 0)
                    return false;
                out_.append(buf, size_t(n));
            }
        }
        return true;
    }
    int finish() {
        int status = 0;
        const auto deadline = steady_clock::now() + milliseconds(kWaitMs);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (steady_clock::now() >= deadline)
                return -1;
            wait_for("\x01"); // drains the output meanwhile, bounded
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &out() const { return out_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::string out_;
};

TEST(TerminalPrompt, HistoryRecallsAndLiveDataLeavesTheTypedLineIntact) {
    TempDir ann, state;
    FakeInstrument instrument(ann.path());
    TerminalConsole console(ann.path(), state.path());
    ASSERT_TRUE(console.wait_for("Select connection type"));
    console.type("\r");
    ASSERT_TRUE(console.wait_for("Select device"));
    console.type("\r");
    ASSERT_TRUE(console.wait_for("[  q] quit"));
    ASSERT_TRUE(console.wait_for(">", console.out().find("[  q] quit")))
        << console.out();

    // Half a command typed, then live data from the instrument.
    const size_t typed = console.out().size();
    console.type("v");
    ASSERT_TRUE(console.wait_for("v", typed));
    instrument.send_progress(42);
    ASSERT_TRUE(console.wait_for("   Progress:42", typed));
    // The prompt and the typed text come again below the live line.
    const size_t live = console.out().find("   Progress:42", typed);
    ASSERT_TRUE(console.wait_for(">v", live));
    console.type("e\r");
    ASSERT_TRUE(console.wait_for("FW Version=" + kVersion, live));
    EXPECT_EQ(instrument.version_requests(), 1);

    // The up arrow brings "ve" back; Enter runs it again.
    const size_t first = console.out().rfind("FW Version=");
    ASSERT_TRUE(console.wait_for(">", first));
    console.type("\033[A\r");
    ASSERT_TRUE(console.wait_for("FW Version=" + kVersion, first + 1));
    EXPECT_EQ(instrument.version_requests(), 2);

    console.type("q\r");
    EXPECT_EQ(console.finish(), 0);
    // The history outlives the program.
    EXPECT_NE(read_file(state.path() + "/ra62d2ide/history").find("ve"),
              std::string::npos);
}

} // namespace
