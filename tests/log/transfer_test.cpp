// Copying a record, a voice note and auxiliary data from the instrument's
// card in read requests of 450 bytes.
#include <cstring>

#include "fake_card.h"
#include "process.h"
#include "shell.h"
#include "v21_cmds.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

class Transfer : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        for (size_t i = 0; i < record_.size(); i++)
            record_[i] = uint8_t(i * 13 + 1);
    }
    void install() {
        card_.install();
        fake_comm::clear_records();
    }
    // Offsets and sizes of the read requests sent.
    std::vector<std::pair<uint32_t, uint32_t>> reads() const {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const Bytes &p : sent(8211)) {
            WireReader r(p.data(), p.size());
            out.push_back({r.u32(32), r.u32(36)});
        }
        return out;
    }

    Bytes record_ = Bytes(4063);
    FakeCard card_;
    TempDir dir_;
};

TEST_F(Transfer, RecordInPiecesWithProgress) {
    card_.files["meas/meas0012.dat"] = record_;
    install();
    OutputCapture cap;
    // A guard after the record shows nothing is written past it.
    Bytes buf(4063 + 16, 0xEE);
    EXPECT_EQ(download_record(id_conn, 12, buf.data()), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4063), record_);
    EXPECT_EQ(Bytes(buf.begin() + 4063, buf.end()), Bytes(16, 0xEE));
    std::string progress = "Downloading record[12,4063]";
    for (int off = 0; off < 4063; off += 450)
        progress += std::to_string(off) + ".";
    EXPECT_EQ(cap.out(), progress + "Ok\n");
    auto r = reads();
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r.front(), std::make_pair(0u, 450u));
    EXPECT_EQ(r.back(), std::make_pair(4050u, 450u));
}

// The command line's bulk pieces: a record in two reads, a note in pieces
// of 3,996 bytes. An instrument that answers at most 512 bytes gives the
// same bytes: its first short read is kept, and the sizes fall back to the
// console's 450 for the rest, the note included.
TEST_F(Transfer, BulkPiecesAndTheirFallBack) {
    Bytes note(20000);
    for (size_t i = 0; i < note.size(); i++)
        note[i] = uint8_t(i % 241);
    card_.files["meas/meas0005.dat"] = record_;
    card_.files["notes/rec0005.wav"] = note;
    using Reads = std::vector<std::pair<uint32_t, uint32_t>>;
    for (uint32_t limit : {0u, 512u}) {
        card_.max_read = limit;
        install();
        V21_Chunks chunks = V21_Chunks::bulk();
        OutputCapture cap;
        Bytes buf(4063);
        EXPECT_EQ(V21_op_download_record(id_conn, 5, buf.data(), no_progress(),
                                         &chunks),
                  0);
        EXPECT_EQ(buf, record_);
        const std::string path = dir_.file("bulk.wav");
        EXPECT_EQ(V21_op_download_note(id_conn, 5, path.c_str(), no_progress(),
                                       &chunks),
                  OP_OK);
        EXPECT_EQ(read_file(path), std::string(note.begin(), note.end()));
        EXPECT_EQ(chunks.reduced(), limit > 0);
        const Reads r = reads();
        if (limit == 0) {
            EXPECT_EQ(r, (Reads{{0, 3996},
                                {3996, 3996},
                                {0, 3996},
                                {3996, 3996},
                                {7992, 3996},
                                {11988, 3996},
                                {15984, 3996},
                                {19980, 3996},
                                {20000, 3996}}));
        } else {
            // The record: 512 bytes, then eight reads of 450; the note: 45
            // of 450 and the empty one.
            ASSERT_EQ(r.size(), 9u + 46);
            EXPECT_EQ(r[0], std::make_pair(0u, 3996u));
            EXPECT_EQ(r[1], std::make_pair(512u, 450u));
            EXPECT_EQ(r[9], std::make_pair(0u, 450u));
        }
    }
}

TEST_F(Transfer, LastMeasurementAndLongerFiles) {
    // A file longer than a record: the bytes past 4,063 are dropped.
    Bytes longer = record_;
    longer.resize(5000, 0x77);
    card_.files["meas/last.dat"] = longer;
    install();
    OutputCapture cap;
    Bytes buf(4063 + 16, 0xEE);
    EXPECT_EQ(download_record(id_conn, -1, buf.data()), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4063), record_);
    EXPECT_EQ(Bytes(buf.begin() + 4063, buf.end()), Bytes(16, 0xEE));
    EXPECT_EQ(cap.out().rfind("Downloading record[-1,4063]0.", 0), 0u);
    EXPECT_EQ(FakeCard::files_read(),
              std::vector<std::string>{"meas/last.dat"});
}

TEST_F(Transfer, RecordCutShortOrRefused) {
    Bytes cut = record_;
    cut.resize(1000);
    card_.files["meas/meas0001.dat"] = cut;
    card_.files["meas/meas0002.dat"] = record_;
    card_.failing.insert("meas/meas0002.dat");
    install();
    OutputCapture cap;
    Bytes buf(4063);
    EXPECT_EQ(download_record(id_conn, 1, buf.data()), -1);
    EXPECT_EQ(cap.err(), ""); // no message of its own
    EXPECT_EQ(cap.out(), "Downloading record[1,4063]0.450.900.1000");

    cap.clear();
    EXPECT_EQ(download_record(id_conn, 2, buf.data()), -1);
    EXPECT_EQ(cap.err(), "Command download_record error(code=1)!\n");
}

TEST_F(Transfer, NoteAndAuxCopiedUntilAnEmptyReply) {
    Bytes note(20000);
    for (size_t i = 0; i < note.size(); i++)
        note[i] = uint8_t(i % 251);
    card_.files["notes/rec0007.wav"] = note;
    card_.files["aux/aux0007.dat"] = Bytes{1, 2, 3};
    install();
    OutputCapture cap;
    std::string path = dir_.file("n.wav");
    EXPECT_EQ(download_note(id_conn, 7, path.c_str()), 0);
    EXPECT_EQ(read_file(path), std::string(note.begin(), note.end()));
    // 45 pieces of 450 bytes: a dot after the 30th.
    EXPECT_EQ(cap.out(), "Downloading note[7,20000].Ok\n");
    EXPECT_EQ(reads().size(), 46u);

    cap.clear();
    path = dir_.file("a.dat");
    EXPECT_EQ(download_aux(id_conn, 7, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "\x01\x02\x03");
    EXPECT_EQ(cap.out(), "Downloading aux. data[7,3]Ok\n");
}

TEST_F(Transfer, EmptyNoteLeavesAnEmptyFile) {
    card_.files["notes/rec0003.wav"] = Bytes();
    install();
    OutputCapture cap;
    std::string path = dir_.file("n.wav");
    EXPECT_EQ(download_note(id_conn, 3, path.c_str()), 0);
    EXPECT_TRUE(file_exists(path));
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(cap.out(), "Downloading note[3,0]Ok\n");
}

TEST_F(Transfer, NoteAndAuxFailures) {
    card_.files["notes/rec0004.wav"] = Bytes(900, 1);
    card_.failing.insert("notes/rec0004.wav");
    install();
    OutputCapture cap;
    // No such file: the size request fails.
    std::string path = dir_.file("x.dat");
    EXPECT_EQ(download_aux(id_conn, 9, path.c_str()), -1);
    EXPECT_EQ(cap.err(), "Command download_aux error(code=1)!\n");
    EXPECT_FALSE(file_exists(path));

    // A failing read leaves the local file, closed.
    cap.clear();
    path = dir_.file("n.wav");
    EXPECT_EQ(download_note(id_conn, 4, path.c_str()), -1);
    EXPECT_EQ(cap.err(), "Command download_note error(code=1)!\n");
    EXPECT_TRUE(file_exists(path));

    // A local file that cannot be created is reported, not passed over.
    card_.failing.clear();
    install();
    cap.clear();
    path = dir_.file("missing/n.wav");
    EXPECT_EQ(download_note(id_conn, 4, path.c_str()), -1);
    EXPECT_EQ(cap.err(), "Error writing file:" + path + "!\n");
    EXPECT_TRUE(sent(8211).empty());
}

} // namespace
