// Child processes for end-to-end tests: start a program with its own
// environment, talk to its standard input, collect standard output and
// standard error, and never wait without a bound.
#ifndef TEST_PROCESS_H
#define TEST_PROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1; // exit status, or -1 when killed by a signal
    int signal = 0;     // the signal that ended it, 0 if it exited
    bool timed_out = false;
    std::string out; // standard output (everything, when merged)
    std::string err; // standard error (empty when merged)
};

class ChildProcess {
  public:
    // env entries are set (or, with an empty value, removed) on top of the
    // test's own environment. With merge_stderr both streams go to out, in
    // the order the child wrote them.
    ChildProcess(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env = {},
                 bool merge_stderr = false, const std::string &cwd = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    // Writes text to the child's standard input.
    bool send(const std::string &text);
    void close_input();
    // Waits until the collected standard output contains text; false at the
    // time-out or when the child has ended without printing it.
    bool wait_output(const std::string &text, int timeout_ms);
    // Everything collected so far.
    std::string out() const { return out_; }
    std::string err() const { return err_; }
    // Closes the input, waits for the end up to timeout_ms, then kills.
    ProcessResult finish(int timeout_ms);
    void kill_now(int sig);

  private:
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    bool exited_ = false;
    int status_ = 0;
};

// Runs a program to its end with the given input.
ProcessResult run_process(const std::vector<std::string> &argv,
                          const std::string &input,
                          const std::map<std::string, std::string> &env = {},
                          int timeout_ms = 30000, bool merge_stderr = false,
                          const std::string &cwd = "");

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
// Reads a file the console writes as text: on Windows its lines must end in
// CR LF (a bare LF shows as "<LF without CR>" in the result, so the
// comparison fails) and come back ending in LF; elsewhere as read_file.
std::string read_text_file(const std::string &path);
bool write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);

#endif
