// "measure", "scanner" and "measure data" against the fake instrument, and
// the bounds of the state waits.
#include <chrono>

#include "device.h"
#include "process.h"
#include "shell.h"
#include "v21_cmds.h"

namespace {

using fake_comm::frame;
using fake_comm::u32le;

using Remote = RemoteTest;

std::vector<uint32_t> events(const std::vector<Bytes> &payloads) {
    std::vector<uint32_t> out;
    for (const Bytes &p : payloads)
        out.push_back(p.size() == 4
                          ? uint32_t(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24)
                          : 0xDEADBEEF);
    return out;
}

void answer_set_and_events() {
    fake_comm::answer(8023, frame(9023));
    fake_comm::answer(8022, frame(9022));
}

TEST_F(Remote, MeasureTriggersWaitsAndPrintsTheResult) {
    answer_set_and_events();
    // Idle, remote requested, ready; then measuring twice and done.
    dev_.states = {0, 25, 2, 26, 26, 2};
    RecordFields f;
    f.flags = 1 | 3u << 8 | 4u << 16;
    f.meas_mode = 2;
    f.pin = 1;
    f.error = 0;
    f.dia = 5;
    f.susc = 1.25f;
    f.cond = 12.5f;
    f.counter = 7;
    f.num_samples = 3;
    dev_.result = make_record(f);
    f.counter = 6; // the measurement before
    dev_.files["meas/last.dat"] = make_record(f);
    feed_stdin("\n");
    OutputCapture cap;
    char line[] = "me\n";
    EXPECT_EQ(V21_cmd_measure(line, 0), 0);
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(cap.out(),
              "0-Trigger,1-Cancel[0]:Downloading record[-1,4063]"
              "0.450.900.1350.1800.2250.2700.3150.3600.4050.Ok\n"
              "Type=1,MeasMode=2,Curve1=3,Curve2=4,Pin=1,Error=0,Dia= 5    "
              "Susc= 1.250 Cond=  12.5 [ 7/ 3]\n");
    EXPECT_EQ(sent(8023), std::vector<Bytes>{u32le(25)});
    EXPECT_EQ(events(sent(8022)),
              (std::vector<uint32_t>{0x2002, 0x4001, 0x2001, 0x2001}));
    // The first state request is the unused one; each wait polled until the
    // state it looked for, pausing after every other poll.
    EXPECT_EQ(dev_.state_requests(), 6);
    EXPECT_EQ(slept_ms(), 3 * WAIT_STATE_POLL_MS);
}

TEST_F(Remote, MeasureCancelEndsWithoutWaitingOrResult) {
    answer_set_and_events();
    dev_.states = {2};
    feed_stdin("1\n");
    OutputCapture cap;
    char line[] = "me\n";
    EXPECT_EQ(V21_cmd_measure(line, 0), 0);
    EXPECT_EQ(cap.out(), "0-Trigger,1-Cancel[0]:");
    EXPECT_EQ(events(sent(8022)),
              (std::vector<uint32_t>{0x2002, 0x4001, 0x2001, 0x2002}));
    EXPECT_EQ(dev_.state_requests(), 2);
    // Only the last measurement's first piece, before the events.
    EXPECT_EQ(dev_.reads(), std::vector<std::string>{"meas/last.dat"});
}

TEST_F(Remote, MeasureReportsFailedStepsAndAnIncompleteRecord) {
    answer_set_and_events();
    dev_.states = {2};
    OutputCapture cap;
    char line[] = "me\n";

    fake_comm::answer_once(8023, frame(12290));
    EXPECT_EQ(V21_cmd_measure(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure error(code=1)!\n");
    EXPECT_TRUE(sent(8022).empty());

    // The third start-up event is refused.
    cap.clear();
    fake_comm::answer_once(8022, frame(9022));
    fake_comm::answer_once(8022, frame(9022));
    fake_comm::answer_once(8022, frame(12290));
    EXPECT_EQ(V21_cmd_measure(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure error(code=1)!\n");

    // The last measurement's file ends early.
    cap.clear();
    dev_.files["meas/last.dat"] = Bytes(1000, 0);
    feed_stdin("0\n");
    EXPECT_EQ(V21_cmd_measure(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure error(code=-1)!\n");
    EXPECT_EQ(cap.out().find("Type="), std::string::npos);
}

TEST_F(Remote, WaitGivesUpOnAnInstrumentThatNeverChangesState) {
    answer_set_and_events();
    dev_.states = {25}; // stays in the requested state for ever
    OutputCapture cap;
    auto started = std::chrono::steady_clock::now();
    char line[] = "me\n";
    EXPECT_EQ(V21_cmd_measure(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure error(code=255)!\n");
    EXPECT_TRUE(sent(8022).empty());
    // The limit was reached on the wait's clock, not on the test's.
    EXPECT_GE(slept_ms() + fake_comm::now_ms(), WAIT_STATE_LIMIT_MS);
    EXPECT_LT(slept_ms(), WAIT_STATE_LIMIT_MS + 2 * WAIT_STATE_POLL_MS);
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(30));

    // The same for a scan that never stops.
    dev_.states = {2, 27};
    feed_stdin("1\n");
    cap.clear();
    char scan[] = "sn\n";
    EXPECT_EQ(V21_cmd_scanner(scan, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_scanner error(code=255)!\n");
    EXPECT_EQ(dev_.reads(), std::vector<std::string>{"meas/last.dat"});
}

TEST_F(Remote, FailedStateRequestsEndAWaitOnlyWhenTheyRepeat) {
    // A failed poll never counts as having left the state, and failures
    // between successes start counting again.
    const int64_t F = Device::FAIL;
    dev_.states = {F, 26, F, F, F, F, 26, F, F, F, F, 3};
    int32_t last = -1;
    EXPECT_EQ(wait_for_state_finish(26, &last), 0);
    EXPECT_EQ(last, 3);
    EXPECT_EQ(dev_.state_requests(), 12);

    dev_.states = {F, F, F, F, F, 2};
    EXPECT_EQ(wait_for_state(2), 1);
    EXPECT_EQ(dev_.state_requests(), 12 + WAIT_STATE_MAX_FAILURES);

    // A lost link fails every request at once.
    dev_.states = {25};
    fake_comm::fail_writes(
        std::vector<int>(3 * WAIT_STATE_MAX_FAILURES, COMM_ERR_CLOSED));
    EXPECT_EQ(wait_for_state(2), COMM_ERR_CLOSED);
}

TEST_F(Remote, ScannerTriggersUntilStopAndPrintsMarkedSamples) {
    answer_set_and_events();
    dev_.states = {25, 2, 27, 27, 2};
    RecordFields f;
    f.num_samples = 7;
    f.marked = {0, 6};
    for (int i = 0; i < 7; i++) {
        f.susc_samples.push_back(0.5f * i);
        f.cond_samples.push_back(i == 0 ? 0.0f : -10.0f * i);
    }
    dev_.result = make_record(f);
    feed_stdin("0\n0\n0\n1\n");
    OutputCapture cap;
    char line[] = "sn\n";
    EXPECT_EQ(V21_cmd_scanner(line, 0), 0);
    EXPECT_EQ(sent(8023), std::vector<Bytes>{u32le(25)});
    EXPECT_EQ(events(sent(8022)),
              (std::vector<uint32_t>{0x2002, 0x2002, 0x4001, 0x2001, 0x2001,
                                     0x2001, 0x2001, 0x2002}));
    const std::string out = cap.out();
    const std::string prompts = "0-Trigger,1-Stop[0]:0-Trigger,1-Stop[0]:"
                                "0-Trigger,1-Stop[0]:0-Trigger,1-Stop[0]:";
    EXPECT_EQ(out.rfind(prompts, 0), 0u);
    EXPECT_EQ(out.substr(out.find("Ok\n") + 3),
              "Meas time: 7\n"
              "[   0.000    0.0]    0.500  -10.0     1.000  -20.0     "
              "1.500  -30.0     2.000  -40.0 \n"
              "    2.500  -50.0 [   3.000  -60.0]\n");
}

TEST_F(Remote, ScannerStopsAtTheEndOfInput) {
    answer_set_and_events();
    RecordFields f;
    // A last answer without a line end still triggers once; then the input
    // has ended, which stops.
    for (const char *input : {"0\n", "0"}) {
        fake_comm::clear_records();
        f.counter++;
        dev_.result = make_record(f);
        dev_.states = {2, 0};
        feed_stdin(input);
        OutputCapture cap;
        char line[] = "sn\n";
        EXPECT_EQ(V21_cmd_scanner(line, 0), 0) << input;
        EXPECT_EQ(events(sent(8022)),
                  (std::vector<uint32_t>{0x2002, 0x2002, 0x4001, 0x2001, 0x2001,
                                         0x2002}))
            << input;
        // No samples: the count and a single line end.
        EXPECT_NE(cap.out().find("Ok\nMeas time: 0\n\n"), std::string::npos);
    }
    // Unparsable last line: asked again, then the end stops it.
    fake_comm::clear_records();
    f.counter++;
    dev_.result = make_record(f);
    dev_.states = {2, 0};
    feed_stdin("x\n");
    OutputCapture cap;
    char line[] = "sn\n";
    EXPECT_EQ(V21_cmd_scanner(line, 0), 0);
    EXPECT_EQ(events(sent(8022)).back(), 0x2002u);
    EXPECT_EQ(sent(8022).size(), 5u);
}

TEST_F(Remote, WithoutConnectionTheRequestsReportTheError) {
    connected = 0;
    const int saved = id_conn;
    id_conn = -1; // no connection was ever made
    OutputCapture cap;
    char me[] = "me\n", sn[] = "sn\n", md[] = "md\n";
    EXPECT_EQ(V21_cmd_measure(me, 0), -1);
    EXPECT_EQ(V21_cmd_scanner(sn, 0), -1);
    EXPECT_EQ(V21_cmd_measure_data(md, 0), -1);
    id_conn = saved;
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure error(code=-2)!\n"
                         "Command V21_cmd_scanner error(code=-2)!\n"
                         "\nDevice not connected!\n");
    EXPECT_EQ(cap.out(), "");
}

struct MeasureData : Remote {
    void answer_values(std::initializer_list<int32_t> values) {
        for (int32_t v : values)
            fake_comm::answer_once(
                8212, frame(9212, u32le(static_cast<uint32_t>(v))));
    }
};

TEST_F(MeasureData, PrintsAndSavesEachValue) {
    TempDir dir;
    const std::string path = dir.file("s.dat");
    answer_values({5, -17, 123456});
    feed_stdin("3\ny\n" + path + "\n");
    OutputCapture cap;
    char line[] = "md\n";
    EXPECT_EQ(V21_cmd_measure_data(line, 0), 0);
    EXPECT_EQ(cap.out(), "Number of samples[1200]:Save samples to file[no]:"
                         "Enter file name[samples.dat]:5\n-17\n123456\n");
    EXPECT_EQ(read_text_file(path), "5\n-17\n123456\n");

    // No values: no request, an empty file.
    fake_comm::clear_records();
    feed_stdin("0\nyes\n" + path + "\n");
    EXPECT_EQ(V21_cmd_measure_data(line, 0), 0);
    EXPECT_TRUE(sent(8212).empty());
    EXPECT_TRUE(file_exists(path));
    EXPECT_EQ(read_text_file(path), "");
}

TEST_F(MeasureData, FailureKeepsTheValuesSoFar) {
    TempDir dir;
    const std::string path = dir.file("s.dat");
    answer_values({1, 2});
    fake_comm::answer(8212, frame(12290));
    feed_stdin("5\ny\n" + path + "\n");
    OutputCapture cap;
    char line[] = "md\n";
    EXPECT_EQ(V21_cmd_measure_data(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_measure_data error(code=1)!\n");
    EXPECT_EQ(read_text_file(path), "1\n2\n");
}

TEST_F(MeasureData, AFileThatCannotBeCreatedIsReported) {
    TempDir dir;
    const std::string path = dir.file("missing/s.dat");
    answer_values({8, 9});
    feed_stdin("2\ny\n" + path + "\n");
    OutputCapture cap;
    char line[] = "md\n";
    EXPECT_EQ(V21_cmd_measure_data(line, 0), -1);
    EXPECT_EQ(cap.err(), "Error writing file:" + path + "!\n");
    // The values are still shown.
    EXPECT_NE(cap.out().find(":8\n9\n"), std::string::npos);

    // A device that refuses writes: "/dev/full" takes nothing.
    if (file_exists("/dev/full")) {
        answer_values({8});
        feed_stdin("1\ny\n/dev/full\n");
        cap.clear();
        EXPECT_EQ(V21_cmd_measure_data(line, 0), -1);
        EXPECT_EQ(cap.err(), "Error writing file:/dev/full!\n");
    }
}

} // namespace
