// Every command of the instrument's table, connected to vo62-sim, fed
// hostile console input: the input ends at each of its prompts in turn,
// every answer is preceded by an overlong line, or by a line of binary
// bytes and format directives. The console must end by itself each time,
// within a bound, with exit status 0 and without a sanitizer report.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture.h"
#include "process.h"
#include "sim_process.h"

namespace {

// One run ends within this, even under the thread sanitizer; the longest
// command with its defaults (1,200 raw values of "md") takes a second.
constexpr int kRunMs = 60000;
// Enter at "Select connection type" and "Select device" reaches the
// simulator.
const std::string kConnect = "\n\n";
// Prompts of the connection dialog, shown before any command.
constexpr size_t kDialogPrompts = 2;

struct Script {
    const char *key;
    // Answers that reach every prompt of the command (yes where a question
    // opens further ones), in the order asked.
    std::vector<std::string> answers;
};

std::vector<std::string> repeat(const std::string &answer, size_t n) {
    return std::vector<std::string>(n, answer);
}

std::vector<std::string>
join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// "sp" with extended parameters: 13 everyday fields, the slot count, two
// calibration sets of 30 values, 7 further settings.
constexpr size_t kSetParamsFields = 13 + 1 + 30 + 30 + 7;
// "sc": the name, then value and concentration of 12 records.
constexpr size_t kLutFields = 1 + 2 * 12;

const std::vector<Script> &scripts() {
    static const std::vector<Script> all = {
        {"ss", {"1234"}},
        {"re", {}},
        {"ve", {}},
        {"sa", {}},
        {"gs", {}},
        {"gt", {}},
        {"st", {"3"}},
        {"gp", {"y", "y", "params.txt"}},
        {"sp", join({{"y"}, repeat("", kSetParamsFields)})},
        {"cg", {"fw.bin", "fw.qfw", "y", "1", "2"}},
        {"up", {"fw.qfw"}},
        {"fl", {"fw.qfw"}},
        {"cs", {"screen.bmp"}},
        {"gm", {}},
        {"sm", repeat("", 6)},
        {"sc", join({{"1", "y", "conclut.dat"},
                     repeat("", kLutFields),
                     {"y", "saved.dat"}})},
        {"ml", {"y", "y", "y", "y"}},
        {"dr", {"5"}},
        {"cl", {}},
        {"mu", {}},
        {"ds", {"sd.img"}},
        {"uf", {"sd.tar"}},
        {"pu", {"y"}},
        {"md", {"3", "y", "samples.dat"}},
        {"me", {"1"}},
        {"sn", {"0", "0", "1"}},
    };
    return all;
}

// Lines no prompt accepts: longer than the menu's 254 characters, longer
// than a prompt's 1,023, and binary bytes with format directives (a zero
// byte in the middle, so the line does not read as empty).
const std::string kLong = std::string(300, 'x') + " %s%n";
const std::string kOverlong = std::string(1500, '9');
const std::string kBinary =
    std::string("\x01\x7f\xff\xfe\x80\x1b[2J\r\t%s%n%x") +
    std::string(1, '\0') + "\x9b\xc3\x28";

void PrintTo(const Script &s, std::ostream *os) {
    *os << s.key;
}

class ConsoleInput : public ::testing::TestWithParam<Script> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(sim_binary_path().empty());
        sim_ = std::make_unique<SimProcess>(
            std::vector<std::string>{"--seed", "3", "--image-size", "65536",
                                     "--measure-ms", "100", "--scan-ms", "20"});
        ASSERT_TRUE(sim_->started());
    }

    // Runs the console with the command line and the given lines, then the
    // end of input, and checks that it ended well.
    ProcessResult run(const std::string &command,
                      const std::vector<std::string> &lines,
                      const std::string &what) {
        std::string input = kConnect + command + "\n";
        for (const std::string &l : lines)
            input += l + "\n";
        const int link = sim_->link();
        const auto start = std::chrono::steady_clock::now();
        ProcessResult r = run_process({console_binary_path()}, input,
                                      sim_->env(), kRunMs, false, work_.path());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_FALSE(r.timed_out)
            << what << ": still running after " << ms << " ms";
        EXPECT_EQ(r.signal, 0) << what;
        EXPECT_EQ(r.exit_code, 0) << what;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos)
            << what << r.err;
        // The command ran with the instrument connected.
        EXPECT_NE(r.out.find("\nFound device:   VO-62 S/C"), std::string::npos)
            << what;
        EXPECT_EQ(r.out.find("Device not connected!"), std::string::npos)
            << what;
        // A restart drops the link: the next run needs the new one.
        if (command.rfind("re", 0) == 0) {
            EXPECT_TRUE(sim_->wait_new_link(link, kRunMs)) << what;
        }
        return r;
    }

    std::unique_ptr<SimProcess> sim_;
    TempDir work_;
};

TEST_P(ConsoleInput, EndOfInputAtEveryPrompt) {
    const Script &s = GetParam();
    for (size_t k = 0; k <= s.answers.size(); k++) {
        const std::vector<std::string> given(s.answers.begin(),
                                             s.answers.begin() + long(k));
        ProcessResult r = run(s.key, given,
                              std::string(s.key) + " ending at prompt " +
                                  std::to_string(k + 1));
        if (k == s.answers.size()) {
            // The answers reached every prompt of the command.
            EXPECT_GE(count_of(r.out, "]:"), kDialogPrompts + s.answers.size())
                << s.key << r.out;
        }
    }
}

TEST_P(ConsoleInput, OverlongAndBinaryLinesAtEveryPrompt) {
    const Script &s = GetParam();
    // Each prompt first gets a line it refuses (or, for a number, takes by
    // its leading part), then its answer.
    for (const std::string &junk : {kLong, kOverlong, kBinary}) {
        std::vector<std::string> lines;
        for (const std::string &a : s.answers) {
            lines.push_back(junk);
            lines.push_back(a);
        }
        lines.push_back(junk);
        run(std::string(s.key) + " " + junk, lines,
            std::string(s.key) + " with junk lines of " +
                std::to_string(junk.size()) + " bytes");
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, ConsoleInput, ::testing::ValuesIn(scripts()),
                         [](const ::testing::TestParamInfo<Script> &info) {
                             return std::string(info.param.key);
                         });

// Every row of the table has a script above: a new command is walked too.
TEST(ConsoleInputTable, EveryCommandOfTheTableIsWalked) {
    TempDir dir;
    ProcessResult r = run_process({console_binary_path()}, "1\nhe\n",
                                  {{"VO62_SIM_DIR", dir.path()}}, kRunMs);
    ASSERT_FALSE(r.timed_out);
    std::set<std::string> table;
    for (size_t at = r.out.find("\n["); at != std::string::npos;
         at = r.out.find("\n[", at + 1)) {
        std::string key = r.out.substr(at + 2, 3);
        key.erase(0, key.find_first_not_of(' '));
        if (key != "he" && key != "q")
            table.insert(key);
    }
    std::set<std::string> walked;
    for (const Script &s : scripts())
        walked.insert(s.key);
    EXPECT_EQ(table, walked);
    EXPECT_EQ(table.size(), 26u); // "ss" and "re" stand twice in the table
}

// The connection dialog's prompts, and the menu itself, under the same
// input.
TEST(ConsoleInputDialog, DialogAndMenuSurviveEveryKindOfLine) {
    TempDir dir, work;
    const std::map<std::string, std::string> env = {
        {"VO62_SIM_DIR", dir.path()}};
    const std::vector<std::string> inputs = {
        "",    // ends at "Select connection type"
        "2\n", // ends at "Select device"
        // At "Select COM port" the default opens a real serial port, so
        // the input goes on to a number that names none.
        "3\n" + kOverlong + "\n" + kBinary + "\n200\n",
        kLong + "\n" + kBinary + "\n" + kOverlong + "\n1\n",
        "1\n" + kLong + "\n" + kBinary + "\n" + kOverlong + "\n" + "gt" +
            std::string(300, ' ') + "q\n" + "%n%n%n%n\n",
    };
    for (const std::string &input : inputs) {
        ProcessResult r = run_process({console_binary_path()}, input, env,
                                      kRunMs, false, work.path());
        EXPECT_FALSE(r.timed_out) << input.size();
        EXPECT_EQ(r.exit_code, 0) << input.size();
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("Found device:   VO-62 S/C"), std::string::npos);
    }
}

} // namespace
