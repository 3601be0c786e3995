// What the command line's end-to-end suites share: running the command
// line and the console against a simulator, reading their JSON and the
// files they write, and a fixture with one working directory for each.
#ifndef CLI_E2E_H
#define CLI_E2E_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture.h"
#include "process.h"
#include "sim_process.h"

namespace cli_e2e {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr int kRunMs = 90000;

inline ProcessResult
cli(const SimProcess &sim, const std::vector<std::string> &args,
    const std::string &cwd, const std::string &input = "",
    const std::map<std::string, std::string> &extra_env = {}) {
    std::vector<std::string> argv = {console_binary_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> env = sim.env();
    for (const auto &[k, v] : extra_env)
        env[k] = v;
    return run_process(argv, input, env, kRunMs, false, cwd);
}

// The console with Enter at the two connection questions, then commands.
inline ProcessResult console(const SimProcess &sim, const std::string &commands,
                             const std::string &cwd) {
    return run_process({console_binary_path()}, "\n\n" + commands + "q\n",
                       sim.env(), kRunMs, false, cwd);
}

inline json parse(const ProcessResult &r) {
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.out;
    return j;
}

// Every regular file under dir, by its path relative to dir.
inline std::map<std::string, std::string> tree(const std::string &dir) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files[fs::relative(e.path(), dir).string()] =
                read_file(e.path().string());
    return files;
}

// The files of a log directory without its archive.
inline std::map<std::string, std::string> log_files(const std::string &dir) {
    std::map<std::string, std::string> files = tree(dir);
    std::erase_if(
        files, [](const auto &f) { return f.first.rfind("archive/", 0) == 0; });
    return files;
}

// Requests the simulator has seen that read a file (record reads).
inline size_t reads_in(const std::string &trace) {
    return count_of(read_file(trace), "req 8211 ");
}

class CliEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(sim_binary_path().empty());
        fs::create_directory(a_dir());
        fs::create_directory(b_dir());
    }
    // Working directories of the console (a) and of the command line (b).
    std::string a_dir() const { return work_.file("a"); }
    std::string b_dir() const { return work_.file("b"); }
    std::string a(const std::string &f) const { return a_dir() + "/" + f; }
    std::string b(const std::string &f) const { return b_dir() + "/" + f; }
    TempDir work_;
};

} // namespace cli_e2e

#endif
