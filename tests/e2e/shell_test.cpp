// The console program on its own: banner, dialog, fallback, menu, quit and
// end of input, with no instrument.
#include <gtest/gtest.h>

#include "capture.h"
#include "process.h"

namespace {

// No simulator may be found: point the announcement directory at an empty one.
std::map<std::string, std::string> isolated(const TempDir &dir) {
    return {{"VO62_SIM_DIR", dir.path()}};
}

TEST(Shell, NoDeviceFallsBackToTheInstrumentMenu) {
    TempDir dir;
    ProcessResult r =
        run_process({RA62_CONSOLE_BIN}, "1\nhe\nq\n", isolated(dir), 20000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    const std::string &out = r.out;
    EXPECT_EQ(out.rfind("--- ZUVODEDE VO-62 V2 ---\nver:0.12.0\n\n", 0), 0u);
    EXPECT_NE(out.find("1. No device\n2. USB\n3. COM port\n"),
              std::string::npos);
    EXPECT_NE(out.find("Select connection type[2]:\nConnecting device..."),
              std::string::npos);
    EXPECT_NE(out.find("\nNo device connected, using DE62d2 as default.\n"
                       "Found device:   VO-62 S/C\n\n[ he] help\n"),
              std::string::npos);
    EXPECT_EQ(count_of(out, "[ he] help\n"), 2u);
    EXPECT_EQ(count_of(out, "[  q] quit"), 2u);
    EXPECT_NE(out.find(" - quits program\n"), std::string::npos);
    EXPECT_EQ(r.err, "\nError connecting device!\n\nDevice not connected!\n");
}

TEST(Shell, EndOfInputEndsTheProgram) {
    TempDir dir;
    ProcessResult r = run_process({RA62_CONSOLE_BIN}, "", isolated(dir), 20000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Found device:   VO-62 S/C"), std::string::npos);
}

TEST(Shell, OutputAndErrorsKeepTheirOrderInOneStream) {
    TempDir dir;
    ProcessResult r = run_process({RA62_CONSOLE_BIN}, "1\nq\n", isolated(dir),
                                  20000, /*merge_stderr=*/true);
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Connecting device...\nError connecting device!\n"
                         "\nNo device connected"),
              std::string::npos);
}

// The command line of both programs: version, usage, and a wrong argument,
// which ends the console before its banner or any question.
TEST(Shell, CommandLineOfBothPrograms) {
    TempDir dir;
    const std::string refused = "ra62d2ide: unknown argument '--bogus' (try "
                                "--help)\n";
    struct {
        std::vector<std::string> argv;
        int status;
        std::string out_start; // empty: nothing may be printed
        std::string err;
    } cases[] = {
        {{RA62_CONSOLE_BIN, "--version"}, 0, "ra62d2ide 0.12.0\n", ""},
        {{RA62_CONSOLE_BIN, "--help"}, 0, "usage: ra62d2ide ", ""},
        {{RA62_CONSOLE_BIN, "--bogus"}, 2, "", refused},
        {{RA62_CONSOLE_BIN, "--version", "--bogus"}, 2, "", refused},
        {{RA62_CONSOLE_BIN, "1"},
         2,
         "",
         "ra62d2ide: unknown argument '1' (try --help)\n"},
        {{VO62_SIM_BIN, "--version"}, 0, "vo62-sim 0.12.0\n", ""},
        {{VO62_SIM_BIN, "--help"}, 0, "usage: vo62-sim ", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv.back());
        // Input that would answer the dialog and quit, were it started.
        ProcessResult r = run_process(c.argv, "1\nq\n", isolated(dir), 20000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.status);
        if (c.out_start.empty())
            EXPECT_EQ(r.out, "");
        else
            EXPECT_EQ(r.out.rfind(c.out_start, 0), 0u) << r.out;
        EXPECT_EQ(r.err, c.err);
    }
}

} // namespace
