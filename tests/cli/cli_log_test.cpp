// log and lut against vo62-sim: a download stops at the first file that
// cannot be written and says what was saved; log list shows the slots that
// log delete takes, and an empty one is refused; lut list.
#include <gtest/gtest.h>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

// A full disk: the file that fills it ends the download at once, with one
// line naming it and the system's reason and one saying what was saved.
TEST_F(CliEndToEnd, LogDownloadStopsAtTheFirstFileItCannotWrite) {
    SimProcess sim({"--seed", "7"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"--json", "log", "list"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json listed = parse(r);
    ASSERT_EQ(listed["used"], 21);
    // Records in download order: the fourth's raw-sample file.
    const std::string fourth =
        "data" +
        std::to_string(listed["records"][3]["rec_no"].get<int>() + 100000000)
            .substr(1) +
        ".dat";
    struct Case {
        std::string full; // the file that lands on a full disk
        std::vector<std::string> options;
        int saved;
    } cases[] = {{"kappa.dat", {}, 0}, {fourth, {"--raw"}, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.full);
        fs::remove_all(b("L"));
        ASSERT_TRUE(fs::create_directories(b("L")));
        fs::create_symlink("/dev/full", b("L/" + c.full));
        std::vector<std::string> args = {"--json", "log", "download", "L"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        r = cli(sim, args, b_dir());
        EXPECT_EQ(r.exit_code, 4);
        EXPECT_EQ(r.err, "ra62d2ide: cannot write L/" + c.full +
                             ": No space left on device\n"
                             "ra62d2ide: download stopped at the first file "
                             "that could not be written: " +
                             std::to_string(c.saved) +
                             " of 21 records saved in L\n");
        const json j = parse(r);
        EXPECT_EQ(j["records"], c.saved);
        EXPECT_EQ(j["complete"], false);
        EXPECT_EQ(j["error"]["status"], 4);
    }
    // A directory that cannot be made: its line alone, nothing downloaded.
    r = cli(sim, {"log", "download", "/dev/null/L"}, b_dir());
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("/dev/null/L"), std::string::npos);
}

TEST_F(CliEndToEnd, LogListShowsWhatDeleteTakes) {
    SimProcess sim({"--seed", "7"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"--json", "log", "list"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    EXPECT_EQ(j["slots"], 100);
    std::set<int> used;
    for (const json &e : j["records"]) {
        used.insert(e["slot"].get<int>());
        EXPECT_EQ(e["time"].get<std::string>().size(), 19u);
        EXPECT_EQ(e["type_name"] == "single", e["type"] == 1) << e;
        EXPECT_EQ(e["type_name"] == "series", e["type"] == 2) << e;
    }
    ASSERT_EQ(used.size(), 21u);
    int empty = 0;
    while (used.count(empty))
        empty++;
    const std::string slot_file = sim.card_dir() + "/meas/meas%.4d.dat";
    auto meas = [&](int slot) {
        char name[128];
        snprintf(name, sizeof name, slot_file.c_str(), slot);
        return std::string(name);
    };
    r = cli(sim, {"-y", "log", "delete", std::to_string(empty)}, b_dir());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("slot " + std::to_string(empty) + " is empty"),
              std::string::npos)
        << r.err;
    const int first = *used.begin();
    ASSERT_TRUE(file_exists(meas(first)));
    r = cli(sim, {"--json", "-y", "log", "delete", std::to_string(first)},
            b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["record"], true);
    EXPECT_FALSE(file_exists(meas(first)));
    r = cli(sim, {"log", "list"}, b_dir());
    EXPECT_EQ(count_of(r.out, "\n"), 20u) << r.out;
    EXPECT_EQ(r.err, "20 of 100 slots in use\n");

    r = cli(sim, {"-q", "log", "list"}, b_dir());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(count_of(r.out, "\n"), 20u) << r.out;

    r = cli(sim, {"--json", "lut", "list"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    j = parse(r)["tables"];
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["present"], true);
    EXPECT_EQ(j[0]["name"], "Magnetite");
    EXPECT_EQ(j[1]["present"], false);
    ASSERT_EQ(cli(sim, {"lut", "delete", "1"}, b_dir()).exit_code, 0);
    r = cli(sim, {"lut", "list"}, b_dir());
    EXPECT_EQ(r.out, "1  (none)\n2  (none)\n3  (none)\n");
}

} // namespace
