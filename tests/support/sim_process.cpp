#include "sim_process.h"

#include <cstdlib>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 20;

} // namespace

std::string sim_binary_path() {
#ifdef VO62_SIM_BIN
    return VO62_SIM_BIN;
#else
    return "";
#endif
}

std::string console_binary_path() {
#ifdef RA62_CONSOLE_BIN
    return RA62_CONSOLE_BIN;
#else
    return "";
#endif
}

SimProcess::SimProcess(const std::vector<std::string> &extra_args,
                       const std::string &card_dir) {
    if (card_dir.empty()) {
        own_card_ = std::make_unique<TempDir>();
        card_dir_ = own_card_->file("card");
    } else {
        card_dir_ = card_dir;
    }
    std::string bin = sim_binary_path();
    if (bin.empty())
        return;
    std::vector<std::string> argv = {bin, "--card", card_dir_};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    child_ = std::make_unique<ChildProcess>(argv, env(), true);
    if (!child_->wait_output("\n", kStartTimeoutMs))
        return;
    std::string out = child_->out();
    size_t at = out.find("vo62-sim: ");
    if (at == std::string::npos)
        return;
    start_line_ = out.substr(at, out.find('\n', at) - at);
    auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (Clock::now() < deadline) {
        if (!announcement()["pty"].empty()) {
            started_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

SimProcess::~SimProcess() {
    if (child_ && !stopped_)
        stop();
}

std::string SimProcess::announcement_path() const {
    return sim_dir_.file("sim-" + std::to_string(pid()) + ".ann");
}

std::map<std::string, std::string> SimProcess::announcement() const {
    std::map<std::string, std::string> kv;
    std::ifstream f(announcement_path());
    std::string line;
    while (std::getline(f, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

std::string SimProcess::pty() const {
    return announcement()["pty"];
}
std::string SimProcess::serial() const {
    return announcement()["serial"];
}

std::map<std::string, std::string> SimProcess::env() const {
    return {{"VO62_SIM_DIR", sim_dir_.path()}};
}

int SimProcess::link() const {
    auto ann = announcement();
    auto it = ann.find("link");
    return it == ann.end() ? 0 : atoi(it->second.c_str());
}

bool SimProcess::wait_new_link(int old, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        int now = link();
        if (now != 0 && now != old)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return false;
}

bool SimProcess::stop(int timeout_ms) {
    if (!child_ || stopped_)
        return false;
    stopped_ = true;
    std::string ann = announcement_path();
    child_->kill_now(SIGTERM);
    ProcessResult r = child_->finish(timeout_ms);
    out_ = r.out;
    return !r.timed_out && r.exit_code == 0 && access(ann.c_str(), F_OK) != 0;
}
