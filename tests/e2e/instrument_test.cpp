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

    // The help list aligns the descriptions after the longest name.
    EXPECT_TRUE(has(out, "[ ss] set serial - sets device serial number\n"
                         "[ re] restart    - restarts device\n"));
}

TEST(Instrument, RestartDisconnectsForTheRestOfTheRun) {
    SimProcess sim({"--seed", "3"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "re\nve\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(has(r.out, ">Restarting device.\n"));
    EXPECT_TRUE(has(r.out, "\nDevice disconnected!\n"));
    // The second "re" entry finds the connection closing or closed and says
    // so; "ve" and the shutdown find no device.
    EXPECT_TRUE(has(r.err, "Command M17_cmd_restart error(code=-4)!\n") ||
                has(r.err, "\nDevice not connected!\n"
                           "\nDevice not connected!\n"
                           "\nDevice not connected!\n"));
    EXPECT_TRUE(
        has(r.err, "\nDevice not connected!\n\nDevice not connected!\n"));
    EXPECT_FALSE(has(r.out, "FW Version="));
}

} // namespace
