// measure against vo62-sim: a wait too short for the measurement says so,
// and the instrument is left in the state it was found in, as its screen
// shows.
#include <gtest/gtest.h>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

// The screen bitmap's band that shows the instrument's state (display rows
// 23 to 29, stored bottom row first after the 62-byte header).
std::string state_band(const std::string &bmp) {
    constexpr size_t header = 62, row_bytes = 16, rows = 81;
    constexpr size_t top = 23, bottom = 29;
    const size_t first = header + row_bytes * (rows - 1 - bottom);
    return bmp.size() < first
               ? ""
               : bmp.substr(first, row_bytes * (bottom - top + 1));
}

TEST_F(CliEndToEnd, MeasureLeavesTheInstrumentAsFound) {
    SimProcess sim({"--seed", "9", "--measure-ms", "600"});
    ASSERT_TRUE(sim.started());
    auto band = [&]() {
        EXPECT_EQ(cli(sim, {"screen", "s.bmp"}, b_dir()).exit_code, 0);
        return state_band(read_file(b("s.bmp")));
    };
    const std::string ready = band();
    ASSERT_FALSE(ready.empty());

    ProcessResult r = cli(sim, {"--json", "measure", "--ms", "100"}, b_dir());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ra62d2ide: the measurement did not finish within 100 "
                     "ms (--ms); it was cancelled\n");
    EXPECT_EQ(parse(r)["error"]["status"], 1);
    EXPECT_EQ(band(), ready);

    r = cli(sim, {"--json", "measure"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json m = parse(r);
    EXPECT_EQ(m["type_name"], "single");
    EXPECT_TRUE(m["meas_error"].is_number());
    EXPECT_EQ(m["state_restored"], 1);
    EXPECT_EQ(band(), ready);

    // The console's measure leaves it in remote operation, as it always
    // did: the band shows it.
    ProcessResult c = console(sim, "me\n\n", b_dir());
    ASSERT_EQ(c.exit_code, 0);
    EXPECT_NE(band(), ready);
}

} // namespace
