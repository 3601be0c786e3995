// The console against vo62-sim: connecting, identity, clock, status, model
// options and restart, with the console's real output compared.
#include <gtest/gtest.h>

#include "process.h"
#include "sim_process.h"

namespace {

constexpr int kRunMs = 60000;

ProcessResult console(const SimProcess &sim, const std::string &commands) {
    // Enter at "Select connection type" (USB) and at "Select device" (the
    // last listed device: the simulator).
    return run_process({console_binary_path()}, "\n\n" + commands, sim.env(),
                       kRunMs);
}

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

TEST(Instrument, EnterTwiceConnectsTheSimulator) {
    SimProcess sim({"--seed", "1"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "q\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(has(r.out, "Connecting device...Ok.\n"));
    EXPECT_TRUE(has(r.out, "\nFound device:   VO-62 S/C\n\n[ he] help\n"));
    EXPECT_EQ(r.err, "");
}

TEST(Instrument, SilentSimulatorIsUndefined) {
    SimProcess sim({"--fault", "silent"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "q\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(has(r.out, "Connecting device...Error!\n"));
    EXPECT_FALSE(has(r.out, "[ he] help"));
    EXPECT_TRUE(has(r.err, "Undefined\n\n"));
}

TEST(Instrument, IdentityClockStatusAndModel) {
    SimProcess sim({"--seed", "2"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "ve\ngs\nss 1234\ngs\ngt\nst 3\nsa\n"
                                   "gm\nsm\n\n\n\n\n\n\ngm\nhe\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::string &out = r.out;
    EXPECT_TRUE(has(out, ">FW Version="));
    EXPECT_TRUE(has(out, ">Serial = A000XXXX\n"));
    EXPECT_TRUE(has(out, ">Setting serial to:A0001234\n"
                         "serial number already set\n>Serial = A0001234\n"));
    EXPECT_TRUE(has(out, ">Device time: "));
    EXPECT_TRUE(has(out, ">Setting device time: "));
    EXPECT_TRUE(has(out, " ...Ok.\n"));
    for (const char *line :
         {"\nStatus.error           = 0x",
          "\nStatus.bat_voltage     = ", "\nStatus.bat_perc        = ",
          "\nStatus.contrast        = ", "\nStatus.bt_status       = ",
          "\nStatus.gps_status      = ", "\nStatus.flash_size      = "})
        EXPECT_TRUE(has(out, line)) << line;

    // Enter at every model prompt sends the same option bits back: the
    // model lines after "sm" equal those before it.
    size_t first = out.find("Model information:\n");
    size_t second = out.find("Model information:\n", first + 1);
    ASSERT_NE(second, std::string::npos);
    auto lines_at = [&](size_t at) {
        return out.substr(at, out.find('>', at) - at);
    };
    EXPECT_EQ(lines_at(first), lines_at(second));
    EXPECT_TRUE(has(out, "Rect. coil[0]:Ok.\n"));

    // The help list aligns every description in one column.
    size_t help = out.find("[ he] help\n");
    ASSERT_NE(help, std::string::npos);
    size_t column = std::string::npos;
    for (size_t at = out.find('\n', help) + 1; out.compare(at, 1, "[") == 0;
         at = out.find('\n', at) + 1) {
        size_t dash = out.find(" - ", at) - at;
        if (column == std::string::npos)
            column = dash;
        EXPECT_EQ(dash, column) << out.substr(at, out.find('\n', at) - at);
    }
}

TEST(Instrument, RestartDisconnectsForTheRestOfTheRun) {
    SimProcess sim({"--seed", "3"});
    ASSERT_TRUE(sim.started());
    ChildProcess con({console_binary_path()}, sim.env());
    con.send("\n\nre\n");
    ASSERT_TRUE(con.wait_output("\nDevice disconnected!\n", kRunMs));
    // Once the disconnection is reported, device commands find no device.
    con.send("ve\nq\n");
    ProcessResult r = con.finish(kRunMs);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(has(r.out, ">Restarting device.\n"));
    EXPECT_FALSE(has(r.out, "FW Version="));
    // The second "re" entry found the connection closing or closed; "ve"
    // and the shutdown then report no device.
    const std::string tail =
        "\nDevice not connected!\n\nDevice not connected!\n";
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    std::string second = r.err.substr(0, r.err.size() - tail.size());
    EXPECT_TRUE(second == "Command M17_cmd_restart error(code=-4)!\n" ||
                second == "\nDevice not connected!\n")
        << second;
}

} // namespace
