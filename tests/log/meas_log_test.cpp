// "meas log" against an instrument with a log on its card: the listing, the
// download order, the dump, the local files and the failures on the way.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "fake_card.h"
#include "process.h"
#include "record_builder.h"
#include "shell.h"
#include "v21_cmds.h"

namespace {

constexpr uint8_t NOTE = 1, AUX = 2;

Bytes frame_fail() {
    return fake_comm::frame(12290);
}

std::string slot_file(const char *dir, const char *stem, int slot,
                      const char *ext) {
    char name[64];
    snprintf(name, sizeof name, "%s/%s%.4d.%s", dir, stem, slot, ext);
    return name;
}

class MeasLog : public InstrumentTest {
  protected:
    // Adds a slot; a record file is stored for it when spec is given.
    void slot(uint32_t key, uint8_t flags, const RecordSpec *spec = nullptr) {
        int i = int(card_.entries.size());
        card_.entries.push_back({key, flags});
        if (spec) {
            auto b = spec->bytes();
            card_.files[slot_file("meas", "meas", i, "dat")] = b;
        }
    }
    // Runs the command with the four answers (and Enter for the rest).
    int run(const std::string &answers) {
        card_.set_slots(slots_ < 0 ? int32_t(card_.entries.size()) : slots_);
        card_.install();
        fake_comm::clear_records();
        feed_stdin(answers);
        char line[] = "ml\n";
        return V21_cmd_get_meas_log(line, 0);
    }
    std::vector<std::string> records_read() const {
        std::vector<std::string> names;
        for (const auto &n : FakeCard::files_read())
            if (n.rfind("meas/", 0) == 0)
                names.push_back(n);
        return names;
    }

    FakeCard card_;
    int32_t slots_ = -1; // max_stored_meas; -1: the number of slots made
    TempDir dir_;
    InDir in_{dir_.path()};
};

const char *const QUESTIONS =
    "Save to file[yes]:Save notes[no]:Save raw data[no]:Save aux. data[no]:";

RecordSpec reading(int rec_no, int group, float susc, float cond) {
    RecordSpec s;
    s.rec_no = rec_no;
    s.group_no = group;
    s.susc = susc;
    s.cond = cond;
    return s;
}

TEST_F(MeasLog, ListingOrderDumpAndCount) {
    RecordSpec r = reading(1, 1, 1, 1);
    slot(5, 0, &r);           // 0
    slot(0, NOTE);            // 1: empty
    slot(3, NOTE, &r);        // 2
    slot(5, 0, &r);           // 3: same key as slot 0
    slot(0x80000001u, 0, &r); // 4: downloaded last, not listed
    slot(0xFFFFFFFFu, 0);     // 5: never downloaded
    slot(1, NOTE | AUX, &r);  // 6
    OutputCapture cap;
    EXPECT_EQ(run("n\n"), 0);
    EXPECT_EQ(records_read(),
              (std::vector<std::string>{
                  "meas/meas0006.dat", "meas/meas0002.dat", "meas/meas0000.dat",
                  "meas/meas0003.dat", "meas/meas0004.dat"}));
    const std::string out = cap.out();
    EXPECT_EQ(out.substr(0, out.find("Downloading record")),
              std::string(QUESTIONS) + "Downloading entry table(7 entries).\n\n"
                                       "[0000] : 5 \n"
                                       "[0002] : 3  note\n"
                                       "[0003] : 5 \n"
                                       "[0006] : 1  note\n"
                                       "Meas log num entries = 4\n\n");
    // Only what was downloaded is counted.
    EXPECT_EQ(out.substr(out.size() - 26), "\nNum downloaded records:5\n");
    EXPECT_EQ(read_text_file("aaa"), "0/7   5\n1/7   0\n2/7   3\n3/7   5\n"
                                     "4/7   -2147483647\n5/7   -1\n6/7   1\n");
    // No save option: no serial, no directory, no side files.
    EXPECT_TRUE(sent(8007).empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(cap.err(), "");
}

TEST_F(MeasLog, OrderIsTheOrderOfRepeatedSelection) {
    // The selection the download order stands for: the smallest key
    // (unsigned) among the slots left, the lowest slot among equal keys.
    std::mt19937 rng(7);
    for (int round = 0; round < 20; round++) {
        int n = int(rng() % 700);
        std::vector<log_entry> t(static_cast<size_t>(n));
        for (auto &e : t) {
            switch (rng() % 5) {
            case 0:
                e.sort_key = 0;
                break;
            case 1:
                e.sort_key = 0xFFFFFFFF;
                break;
            case 2:
                e.sort_key = 0x80000000u | (rng() % 4);
                break;
            default:
                e.sort_key = rng() % 40;
                break;
            }
        }
        std::vector<int> expect;
        std::vector<log_entry> left = t;
        for (;;) {
            int best = -1;
            for (int i = 0; i < n; i++) {
                uint32_t k = left[size_t(i)].sort_key;
                if (k == 0 || k == 0xFFFFFFFF)
                    continue;
                if (best < 0 || k < left[size_t(best)].sort_key)
                    best = i;
            }
            if (best < 0)
                break;
            expect.push_back(best);
            left[size_t(best)].sort_key = 0;
        }
        EXPECT_EQ(meas_log_download_order(t.data(), n), expect) << round;
    }
    EXPECT_TRUE(meas_log_download_order(nullptr, 0).empty());
}

TEST_F(MeasLog, EveryFileOfTheDirectory) {
    RecordSpec a = reading(10, 7, 1, 10);
    RecordSpec b;
    b.rec_no = 11;
    b.group_no = 7; // a series of the same group does not split it
    b.type = 2;
    b.num_samples = 2;
    RecordSpec c = reading(12, 7, 3, 30);
    RecordSpec d = reading(13, 8, 2, 5);
    slot(1, NOTE, &a);
    slot(2, AUX, &b);
    slot(3, 0, &c);
    slot(4, NOTE | AUX, &d);
    card_.files["notes/rec0000.wav"] = Bytes{'R', 'I', 'F', 'F'};
    card_.files["aux/aux0001.dat"] = Bytes(1000, 0x5A);
    card_.files["notes/rec0003.wav"] = Bytes();
    card_.files["aux/aux0003.dat"] = Bytes{1, 2, 3};
    OutputCapture cap;
    EXPECT_EQ(run("y\ny\ny\ny\n"), 0);
    EXPECT_EQ(cap.err(), "");
    const std::string dir = "kappa_1234/";
    const std::string no_fix = "   0.00000000    0.00000000 000 00     \n";
    const std::string stats = "---  2.000 +/-  1.414 "
                              "------------------------------------------------"
                              "------\n\n"
                              "--- 20.000 +/- 14.142 "
                              "------------------------------------------------"
                              "------\n\n";
    const std::string dashes = std::string(76, '-') + "\n\n";
    EXPECT_EQ(
        read_text_file(dir + "kappa.dat"),
        "10 0 2025/03/04 05:06:07 1,0,0,0,0, 0  1.000   10.0 [ 0/ 0]" + no_fix +
            "11 0 2025/03/04 05:06:07 2 0 0  2\n"
            "                (   0.000  100.0)(   0.500   95.0)\n" +
            no_fix +
            "12 0 2025/03/04 05:06:07 1,0,0,0,0, 0  3.000   30.0 [ 0/ 0]" +
            no_fix + stats +
            "13 0 2025/03/04 05:06:07 1,0,0,0,0, 0  2.000    5.0 [ 0/ 0]" +
            no_fix + dashes + dashes);
    for (int rec = 10; rec <= 13; rec++) {
        std::string raw =
            read_text_file(dir + "data000000" + std::to_string(rec) + ".dat");
        EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 482) << rec;
    }
    EXPECT_EQ(read_file(dir + "rec00000010.wav"), "RIFF");
    EXPECT_EQ(read_file(dir + "aux00000011.dat"), std::string(1000, 0x5A));
    EXPECT_TRUE(file_exists(dir + "rec00000013.wav"));
    EXPECT_EQ(read_file(dir + "rec00000013.wav"), "");
    EXPECT_EQ(read_file(dir + "aux00000013.dat"), "\x01\x02\x03");
    EXPECT_FALSE(file_exists(dir + "aux00000010.dat")); // no aux flag
    EXPECT_FALSE(file_exists(dir + "rec00000011.wav")); // no note flag

    // Console: the serial line after the listing, statistics before the
    // record that closes the group, the side downloads indented.
    const std::string out = cap.out();
    EXPECT_NE(out.find("Meas log num entries = 4\n\nSerial = A0001234\n"
                       "Downloading record[0,4063]"),
              std::string::npos);
    EXPECT_NE(out.find("                    Downloading note[0,4]Ok\n"),
              std::string::npos);
    EXPECT_NE(out.find("                    Downloading aux. data[1,1000]Ok\n"),
              std::string::npos);
    EXPECT_NE(out.find("4050.Ok\n" + stats + "13: 0 8 "), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 25 - 2 * dashes.size()),
              dashes + dashes + "Num downloaded records:4\n");
}

TEST_F(MeasLog, OnlyAuxDataStillMakesTheDirectory) {
    RecordSpec a = reading(3, 1, 1, 1);
    slot(1, NOTE | AUX, &a);
    card_.files["aux/aux0000.dat"] = Bytes{9};
    card_.files["notes/rec0000.wav"] = Bytes{8};
    OutputCapture cap;
    EXPECT_EQ(run("n\nn\nn\ny\n"), 0);
    EXPECT_EQ(sent(8007).size(), 1u);
    EXPECT_EQ(read_file("kappa_1234/aux00000003.dat"), "\x09");
    EXPECT_FALSE(file_exists("kappa_1234/kappa.dat"));
    EXPECT_FALSE(file_exists("kappa_1234/rec00000003.wav"));
    EXPECT_FALSE(file_exists("kappa_1234/data00000003.dat"));
}

TEST_F(MeasLog, SerialCannotLeadOutOfTheWorkingDirectory) {
    card_.serial = "A000/../";
    RecordSpec a = reading(3, 1, 1, 1);
    slot(1, 0, &a);
    OutputCapture cap;
    EXPECT_EQ(run("y\nn\ny\n"), 0);
    EXPECT_TRUE(file_exists("kappa_____/kappa.dat"));
    EXPECT_TRUE(file_exists("kappa_____/data00000003.dat"));
    EXPECT_FALSE(file_exists("kappa_/"));

    // A serial of four characters or fewer names no directory: the serial
    // request has failed, and nothing is written.
    for (const char *serial : {"A00", "A000", ""}) {
        card_.serial = serial;
        cap.clear();
        EXPECT_EQ(run("y\n"), -1) << serial;
        EXPECT_EQ(cap.err(), "Command V21_cmd_get_meas_log error(code=1)!\n");
        EXPECT_FALSE(file_exists("kappa_/")) << serial;
    }
}

TEST_F(MeasLog, EmptyLogAndSlotCountLimits) {
    OutputCapture cap;
    EXPECT_EQ(run("n\n"), 0);
    EXPECT_TRUE(sent(8204).empty());
    EXPECT_EQ(cap.out(), std::string(QUESTIONS) +
                             "Downloading entry table(0 entries)\n\n"
                             "Meas log num entries = 0\n\n"
                             "Num downloaded records:0\n");
    EXPECT_TRUE(file_exists("aaa"));
    EXPECT_EQ(read_text_file("aaa"), "");

    cap.clear();
    EXPECT_EQ(run(""), 0); // summary on by default: the serial is read
    EXPECT_NE(cap.out().find("Meas log num entries = 0\n\nSerial = A0001234\n"
                             "Num downloaded records:0\n"),
              std::string::npos);
    EXPECT_EQ(read_text_file("kappa_1234/kappa.dat"), "");

    slots_ = -5;
    cap.clear();
    EXPECT_EQ(run("n\n"), 0);
    EXPECT_NE(cap.out().find("Downloading entry table(0 entries)\n\n"),
              std::string::npos);

    // More slots than the table holds: 65536 entries in 2048 requests.
    slots_ = 100000;
    cap.clear();
    EXPECT_EQ(run("n\n"), 0);
    EXPECT_NE(cap.out().find("Downloading entry table(65536 entries)"),
              std::string::npos);
    EXPECT_EQ(sent(8204).size(), 2048u);
    std::string dump = read_text_file("aaa");
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 65536);
    EXPECT_NE(dump.find("\n65535/65536   0\n"), std::string::npos);
}

TEST_F(MeasLog, EntryRequestsCoverEveryBlock) {
    for (int i = 0; i < 70; i++)
        slot(0, 0);
    RecordSpec r = reading(69, 1, 1, 1);
    card_.entries[69] = {1, 0};
    card_.files["meas/meas0069.dat"] = r.bytes();
    OutputCapture cap;
    EXPECT_EQ(run("n\n"), 0);
    auto requests = sent(8204);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], fake_comm::u32le(0));
    EXPECT_EQ(requests[1], fake_comm::u32le(32));
    EXPECT_EQ(requests[2], fake_comm::u32le(64));
    EXPECT_NE(cap.out().find("(70 entries)...\n\n[0069] : 1 \n"),
              std::string::npos);
    EXPECT_EQ(records_read(), std::vector<std::string>{"meas/meas0069.dat"});
}

TEST_F(MeasLog, CutRecordEndsTheRunWithWhatWasWritten) {
    RecordSpec a = reading(1, 1, 1, 1), b = reading(2, 1, 2, 2);
    slot(1, 0, &a);
    slot(2, 0, &b);
    slot(3, 0, &b);
    card_.files["meas/meas0001.dat"].resize(1000);
    OutputCapture cap;
    EXPECT_EQ(run("y\n"), -1);
    EXPECT_EQ(cap.err(), "\nError downloading data!\n");
    EXPECT_EQ(read_text_file("kappa_1234/kappa.dat"),
              "1 0 2025/03/04 05:06:07 1,0,0,0,0, 0  1.000    1.0 [ 0/ 0]"
              "   0.00000000    0.00000000 000 00     \n");
    EXPECT_EQ(cap.out().find("Num downloaded"), std::string::npos);
    EXPECT_EQ(cap.out().find("---"), std::string::npos);
    EXPECT_EQ(records_read().size(), 2u);

    // A failing read request names the transfer first.
    card_.files["meas/meas0001.dat"] = b.bytes();
    card_.failing.insert("meas/meas0001.dat");
    cap.clear();
    EXPECT_EQ(run("n\n"), -1);
    EXPECT_EQ(cap.err(), "Command download_record error(code=1)!\n"
                         "\nError downloading data!\n");
}

TEST_F(MeasLog, SideFileFailuresAreReportedAndTheRunGoesOn) {
    RecordSpec a = reading(1, 1, 1, 1), b = reading(2, 1, 2, 2);
    slot(1, NOTE | AUX, &a);
    slot(2, NOTE, &b);
    card_.files["notes/rec0000.wav"] = Bytes{1};
    card_.files["aux/aux0000.dat"] = Bytes{2};
    card_.files["notes/rec0001.wav"] = Bytes{3};
    card_.failing.insert("aux/aux0000.dat");
    // Directories where the summary and the first raw file and note go.
    std::filesystem::create_directories("kappa_1234/kappa.dat");
    std::filesystem::create_directories("kappa_1234/data00000001.dat");
    std::filesystem::create_directories("kappa_1234/rec00000001.wav");
    OutputCapture cap;
    EXPECT_EQ(run("y\ny\ny\ny\n"), 0);
    EXPECT_EQ(cap.err(), "Error writing file:kappa_1234/kappa.dat!\n"
                         "Error writing file:kappa_1234/data00000001.dat!\n"
                         "Error writing file:kappa_1234/rec00000001.wav!\n"
                         "Command download_aux error(code=1)!\n");
    EXPECT_EQ(read_file("kappa_1234/rec00000002.wav"), "\x03");
    EXPECT_TRUE(file_exists("kappa_1234/data00000002.dat"));
    EXPECT_TRUE(file_exists("kappa_1234/aux00000001.dat")); // partial stays
    EXPECT_NE(cap.out().find("Num downloaded records:2\n"), std::string::npos);
}

TEST_F(MeasLog, UnwritableDumpIsReported) {
    RecordSpec a = reading(1, 1, 1, 1);
    slot(1, 0, &a);
    std::filesystem::create_directories("aaa");
    OutputCapture cap;
    EXPECT_EQ(run("n\n"), 0);
    EXPECT_EQ(cap.err(), "Error writing file:aaa!\n");
    EXPECT_NE(cap.out().find("Num downloaded records:1\n"), std::string::npos);
}

TEST_F(MeasLog, FailedRequestsBeforeTheDownload) {
    OutputCapture cap;
    card_.serial_fails = true;
    slot(1, 0);
    EXPECT_EQ(run("y\n"), -1);
    EXPECT_EQ(cap.err(), "Command M17_cmd_get_serial error(code=1)!\n"
                         "Command V21_cmd_get_meas_log error(code=-1)!\n");
    EXPECT_FALSE(file_exists("aaa"));

    fake_comm::set_device(nullptr);
    fake_comm::answer(8201, frame_fail());
    cap.clear();
    feed_stdin("");
    char line[] = "ml\n";
    EXPECT_EQ(V21_cmd_get_meas_log(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_get_meas_log error(code=1)!\n");

    fake_comm::answer(8201, fake_comm::frame(9201, card_.params));
    fake_comm::answer(8204, frame_fail());
    cap.clear();
    feed_stdin("");
    EXPECT_EQ(V21_cmd_get_meas_log(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_get_meas_log error(code=1)!\n");
    EXPECT_FALSE(file_exists("aaa"));

    connected = 0;
    cap.clear();
    fake_comm::clear_records();
    EXPECT_EQ(V21_cmd_get_meas_log(line, 0), -1);
    EXPECT_EQ(cap.err(), "\nDevice not connected!\n");
    EXPECT_EQ(cap.out(), "");
    EXPECT_TRUE(fake_comm::writes().empty());
}

} // namespace
