// vo62-sim as a child process for end-to-end tests: started in a private
// announcement directory with a private card directory, waited for (with a
// bound) until it has printed its start line and written its announcement,
// and stopped with SIGTERM.
#ifndef TEST_SIM_PROCESS_H
#define TEST_SIM_PROCESS_H

#include "process.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// Paths of the built executables (empty when not built).
std::string sim_binary_path();
std::string console_binary_path();

class SimProcess {
  public:
    // Bounds, not delays: a start or stop takes milliseconds, but the
    // sanitizer builds run several simulators and consoles at once on two
    // cores, where a process may wait seconds for its turn.
    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kStopTimeoutMs = 30000;

    // Starts the simulator with extra arguments. With card_dir empty a
    // temporary card directory is made (and removed at the end); give one
    // to keep the card between runs. "--card" is added by this class.
    explicit SimProcess(const std::vector<std::string> &extra_args = {},
                        const std::string &card_dir = "");
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // True once the start line and the announcement were seen.
    bool started() const { return started_; }
    const std::string &start_line() const { return start_line_; }
    // The pseudo-terminal as the announcement names it now.
    std::string pty() const;
    std::string serial() const;
    const std::string &card_dir() const { return card_dir_; }
    const std::string &sim_dir() const { return sim_dir_.path(); }
    std::string announcement_path() const;
    // Key/value pairs of the announcement (empty when missing).
    std::map<std::string, std::string> announcement() const;
    // The environment a console run against this simulator needs.
    std::map<std::string, std::string> env() const;
    // The announcement's link number, which changes with every new
    // pseudo-terminal (0 when there is no announcement).
    int link() const;
    // Waits until the announcement names a link other than old (after a
    // restart, a flash or a cut link). The pseudo-terminal's path may be
    // the same again, so it is the link number that tells.
    bool wait_new_link(int old, int timeout_ms);
    pid_t pid() const { return child_ ? child_->pid() : -1; }

    // Sends SIGTERM and waits; true when the simulator ended by itself and
    // its announcement is gone.
    bool stop(int timeout_ms = kStopTimeoutMs);
    // Standard output and error collected so far (complete after stop()).
    std::string output() const { return out_; }

  private:
    TempDir sim_dir_;
    std::unique_ptr<TempDir> own_card_;
    std::string card_dir_;
    std::unique_ptr<ChildProcess> child_;
    std::string start_line_;
    std::string out_;
    bool started_ = false;
    bool stopped_ = false;
};

#endif
