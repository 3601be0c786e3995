// The vo62-sim executable as a child process: its start line, its
// announcement, and a clean end on SIGTERM and SIGINT.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(SimProcess, StartsAnnouncesAnswersAndEndsCleanly) {
    SimProcess sim({"--seed", "3", "--serial", "A0000042"});
    ASSERT_TRUE(sim.started()) << sim.output();
    const std::string head = "vo62-sim: A0000042 on /dev/pts/";
    ASSERT_EQ(sim.start_line().rfind(head, 0), 0u) << sim.start_line();
    std::string num = sim.start_line().substr(head.size());
    EXPECT_FALSE(num.empty());
    EXPECT_EQ(num.find_first_not_of("0123456789"), std::string::npos);
    auto ann = sim.announcement();
    EXPECT_EQ(ann["pid"], std::to_string(sim.pid()));
    EXPECT_EQ(ann["serial"], "A0000042");
    EXPECT_EQ(ann["tcp"], "0");
    EXPECT_EQ(sim.start_line(), "vo62-sim: A0000042 on " + ann["pty"]);
    SimClient c;
    ASSERT_TRUE(c.open_pty(sim.pty()));
    WireFrame r;
    ASSERT_TRUE(c.request(8007, {}, r));
    EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "A0000042");
    // The console may close and reopen the line between runs.
    c.close();
    ASSERT_TRUE(c.open_pty(sim.pty()));
    ASSERT_TRUE(c.request(8001, {}, r));
    EXPECT_EQ(r.code, 9001);
    EXPECT_TRUE(sim.stop());
    EXPECT_TRUE(file_exists(sim.card_dir() + "/meas/last.dat"));
}

TEST(SimProcess, InterruptRemovesTheAnnouncementAndRestartRenewsIt) {
    SimProcess sim;
    ASSERT_TRUE(sim.started()) << sim.output();
    int old = sim.link();
    EXPECT_NE(old, 0);
    SimClient c;
    ASSERT_TRUE(c.open_pty(sim.pty()));
    WireFrame r;
    ASSERT_TRUE(c.request(8021, {}, r));
    ASSERT_TRUE(sim.wait_new_link(old, 5000));
    ASSERT_TRUE(c.open_pty(sim.pty()));
    ASSERT_TRUE(c.request(8007, {}, r));
    std::string ann = sim.announcement_path();
    kill(sim.pid(), SIGINT);
    for (int i = 0; i < 500 && file_exists(ann); i++)
        usleep(10000);
    EXPECT_FALSE(file_exists(ann));
}

TEST(SimProcess, BadOptionsEndWithAMessage) {
    TempDir d;
    ProcessResult r = run_process({sim_binary_path(), "--fault", "explode"}, "",
                                  {{"VO62_SIM_DIR", d.path()}}, 10000, true);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.out.find("unknown fault 'explode'"), std::string::npos)
        << r.out;
}

} // namespace
