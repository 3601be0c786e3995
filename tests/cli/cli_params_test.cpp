// params against vo62-sim: the JSON listing keeps every float exactly, and
// what it printed restores the record byte for byte; a file asking what
// cannot be set is refused before anything is written; gps_pin is set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

constexpr size_t kHostWriteFlag = 99; // set in every record written
constexpr size_t kGpsPin = 71, kGpsPinSize = 8;

std::string params_file(const SimProcess &sim) {
    return sim.card_dir() + "/.vo62sim/params.bin";
}

float float_of(double d) {
    return static_cast<float>(d);
}

TEST_F(CliEndToEnd, ParamsJsonRestoresTheRecordByteForByte) {
    SimProcess sim({"--seed", "3"});
    ASSERT_TRUE(sim.started());
    // Values the listing's %.2f and %f would round, the float's extremes
    // and an infinity.
    ProcessResult r =
        cli(sim,
            {"params", "set", "calib.fs=1.2345", "calib2.a=1.23456789",
             "calib.us=1e-45", "calib2_pin.d=-3.4028235e38", "calib.fc=inf",
             "calib2.cond_meas[6]=0.1", "gps_pin=A1b2"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string record = read_file(params_file(sim));
    ASSERT_EQ(record.size(), 319u);
    EXPECT_EQ(record[kHostWriteFlag], 1);
    EXPECT_EQ(record.substr(kGpsPin, kGpsPinSize),
              std::string("A1b2\0\0\0\0", 8));

    r = cli(sim, {"--json", "params", "get", "--extended"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(write_file(b("p.json"), r.out));
    const json p = parse(r)["params"];
    EXPECT_NE(r.out.find("\"calib.fs\":1.2345,"), std::string::npos) << r.out;
    EXPECT_EQ(float_of(p["calib2.a"].get<double>()), 1.23456789f);
    EXPECT_EQ(float_of(p["calib.us"].get<double>()), 1e-45f);
    EXPECT_EQ(float_of(p["calib2_pin.d"].get<double>()), -3.4028235e38f);
    EXPECT_EQ(p["calib.fc"], "inf");
    EXPECT_EQ(float_of(p["calib2.cond_meas"][6].get<double>()), 0.1f);
    EXPECT_EQ(p["calib2.cond_nom"].size(), 7u);
    EXPECT_EQ(p["gps_addr"].size(), 6u);
    EXPECT_EQ(p["gps_pin"], "A1b2");

    // Nothing changed: nothing differs, the record stays as it is.
    r = cli(sim, {"--json", "params", "set", "--from", "p.json"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["written"], 0);
    EXPECT_EQ(read_file(params_file(sim)), record);

    // Changed on the instrument, then restored from the file.
    r = cli(sim,
            {"params", "set", "contrast=10", "calib.fs=2", "calib.fc=0",
             "calib2.cond_nom[3]=7", "gps_pin=9"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_NE(read_file(params_file(sim)), record);
    r = cli(sim, {"--json", "params", "set", "--from", "p.json"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["written"], 5);
    EXPECT_EQ(read_file(params_file(sim)), record);

    // A field that cannot be set must hold the instrument's value; a value
    // out of range or a name the listing lacks is refused; nothing is
    // written either way.
    json changed = json::parse(read_file(b("p.json")));
    changed["params"]["gps_uuid"] = 1;
    struct Bad {
        std::string file, content, says;
        std::vector<std::string> more;
    } bad[] = {
        {"uuid.json", changed.dump(), "gps_uuid is 4353 on the instrument", {}},
        {"range.json",
         R"({"contrast": 101})",
         "contrast=101: out of range 0 to 100",
         {}},
        {"name.json",
         R"({"contrast2": 1})",
         "unknown parameter 'contrast2'",
         {}},
        {"twice.json",
         R"({"Params.contrast": 1})",
         "contrast is given twice",
         {"contrast=2"}},
    };
    for (const Bad &c : bad) {
        ASSERT_TRUE(write_file(b(c.file), c.content));
        std::vector<std::string> args = {"params", "set", "--from", c.file};
        args.insert(args.end(), c.more.begin(), c.more.end());
        r = cli(sim, args, b_dir());
        EXPECT_NE(r.exit_code, 0) << c.file;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_EQ(read_file(params_file(sim)), record) << c.file;
    }
}

} // namespace
