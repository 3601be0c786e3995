// "delete record", "clear log", "purge memory" and "memory usage" against
// the fake instrument.
#include "device.h"
#include "shell.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

using fake_comm::concat;
using fake_comm::frame;
using fake_comm::text;
using fake_comm::u32le;

struct Maint : RemoteTest {
    void slots(int32_t n) {
        Bytes params(319, 0);
        WireWriter(params.data(), params.size()).i32(94, n);
        fake_comm::answer(8201, frame(9201, params));
    }
    std::vector<std::string> deleted() {
        std::vector<std::string> out;
        for (const FileOp &w : dev_.writes()) {
            EXPECT_EQ(w.operation, 4u) << w.name;
            EXPECT_TRUE(w.data.empty()) << w.name;
            out.push_back(w.name);
        }
        return out;
    }
    int run(cmd_handler h, const std::string &input) {
        feed_stdin(input);
        char line[] = "x\n";
        return h(line, 0);
    }
};

TEST_F(Maint, DeleteRecordRemovesOneSlotsFiles) {
    slots(10);
    OutputCapture cap;
    // 10 is not a slot: asked again.
    ASSERT_EQ(run(V21_cmd_delete_record, "10\n7\n"), 0);
    EXPECT_EQ(cap.out(), "Select entry index[0]:Select entry index[0]:Ok.\n");
    EXPECT_EQ(deleted(), (std::vector<std::string>{"meas/meas0007.dat",
                                                   "notes/rec0007.wav",
                                                   "aux/aux0007.dat"}));
    fake_comm::clear_records();
    ASSERT_EQ(run(V21_cmd_delete_record, "\n"), 0);
    EXPECT_EQ(deleted().size(), 6u);
    EXPECT_EQ(deleted()[3], "meas/meas0000.dat");

    // The first refused file ends the command; earlier ones stay deleted.
    dev_.failing_writes = {8};
    cap.clear();
    EXPECT_EQ(run(V21_cmd_delete_record, "3\n"), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_delete_record error(code=1)!\n");
    EXPECT_EQ(deleted().size(), 8u);

    fake_comm::answer(8201, frame(12290));
    cap.clear();
    EXPECT_EQ(run(V21_cmd_delete_record, "3\n"), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_delete_record error(code=1)!\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(Maint, PurgeDeletesEverySlotWithDots) {
    OutputCapture cap;
    // No (or Enter) ends at once without a request or output.
    EXPECT_EQ(run(V21_cmd_purge, "\n"), 0);
    EXPECT_EQ(run(V21_cmd_purge, "no\n"), 0);
    EXPECT_EQ(cap.out(), "Purge records[no]:Purge records[no]:");
    EXPECT_TRUE(fake_comm::writes().empty());

    slots(41);
    cap.clear();
    ASSERT_EQ(run(V21_cmd_purge, "y\n"), 0);
    EXPECT_EQ(cap.out(), "Purge records[no]:Purging...Done.\n");
    const auto names = deleted();
    ASSERT_EQ(names.size(), 123u);
    EXPECT_EQ(names[0], "meas/meas0000.dat");
    EXPECT_EQ(names[1], "meas/0000.uid");
    EXPECT_EQ(names[2], "notes/rec0000.wav");
    EXPECT_EQ(names[122], "notes/rec0040.wav");
    for (const std::string &n : names)
        EXPECT_EQ(n.find("aux"), std::string::npos);

    slots(0);
    cap.clear();
    ASSERT_EQ(run(V21_cmd_purge, "y\n"), 0);
    EXPECT_EQ(cap.out(), "Purge records[no]:PurgingDone.\n");
    EXPECT_EQ(deleted().size(), 123u);
}

TEST_F(Maint, PurgeStopsAtTheFirstRefusedFile) {
    slots(30);
    dev_.failing_writes = {3 * 21 + 2}; // slot 21, its uid file
    OutputCapture cap;
    EXPECT_EQ(run(V21_cmd_purge, "yes\n"), -1);
    EXPECT_EQ(cap.out(), "Purge records[no]:Purging..");
    EXPECT_EQ(cap.err(), "Command V21_cmd_purge error(code=1)!\n");
    EXPECT_EQ(deleted().size(), 3u * 21 + 2);
}

TEST_F(Maint, ClearLogsAndMemoryUsage) {
    fake_comm::answer(8206, frame(9206));
    OutputCapture cap;
    ASSERT_EQ(run(V21_cmd_clear_logs, ""), 0);
    EXPECT_EQ(cap.out(), "Ok.\n");
    EXPECT_EQ(sent(8206), std::vector<Bytes>{u32le(255)});
    // The long time-out travels in the frame: 300000 cut to 16 bits.
    ASSERT_EQ(fake_comm::writes().size(), 1u);
    EXPECT_EQ(fake_comm::frame_param(fake_comm::writes()[0].bytes), 37856);

    fake_comm::answer(8016,
                      frame(9016, concat({u32le(51234), text("free 3 blocks"),
                                          Bytes{0}, text("junk")})));
    cap.clear();
    ASSERT_EQ(run(V21_cmd_memory_usage, ""), 0);
    EXPECT_EQ(cap.out(), "Heap avail:51234 bytes\nfree 3 blocks\n");

    fake_comm::answer(8206, frame(12290));
    fake_comm::answer(8016, frame(9016, Bytes{1, 2})); // too short
    cap.clear();
    EXPECT_EQ(run(V21_cmd_clear_logs, ""), -1);
    EXPECT_EQ(run(V21_cmd_memory_usage, ""), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_clear_logs error(code=1)!\n"
                         "Command V21_cmd_memory_usage error(code=1)!\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(Maint, NothingIsSentWithoutConnection) {
    connected = 0;
    OutputCapture cap;
    for (cmd_handler h : {V21_cmd_delete_record, V21_cmd_clear_logs,
                          V21_cmd_purge, V21_cmd_memory_usage})
        EXPECT_EQ(run(h, "y\n"), -1);
    EXPECT_TRUE(fake_comm::writes().empty());
    std::string four;
    for (int i = 0; i < 4; i++)
        four += "\nDevice not connected!\n";
    EXPECT_EQ(cap.err(), four);
}

} // namespace
