// Upload and flashing against the fake instrument: header checks and their
// order, the block split, retries per block, refused block sizes, and the
// flash start with its disconnection.
#include <cstring>

#include "cmd_fixture.h"
#include "fw_support.h"
#include "m17_cmds.h"
#include "process.h"
#include "shell.h"
#include "v21_cmds.h"

namespace {

using fake_comm::frame;
using fake_comm::u32le;

constexpr int ERASE = 8100, WRITE = 8102, FLASH = 8103;

class Firmware : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        fake_comm::answer(WRITE, frame(WRITE + 1000));
        fake_comm::answer(FLASH, frame(FLASH + 1000));
    }
    void erase_answers(uint32_t block_size) {
        fake_comm::answer(ERASE, frame(ERASE + 1000, u32le(block_size)));
    }
    // Runs "up" on the container; answers its result.
    int upload(const std::string &qfw) {
        feed_stdin(qfw + "\n");
        char line[] = "up\n";
        return V21_cmd_upload_qfw(line, 0);
    }
    int flash(const std::string &qfw) {
        feed_stdin(qfw + "\n");
        char line[] = "fl\n";
        return V21_cmd_flash_fw(line, 0);
    }
    // Block indexes and sizes of the block writes sent.
    std::vector<std::pair<int, size_t>> blocks() const {
        std::vector<std::pair<int, size_t>> out;
        for (const Bytes &p : sent(WRITE))
            out.emplace_back(p.at(0) | (p.at(1) << 8), p.size() - 2);
        return out;
    }

    TempDir dir_;
};

TEST_F(Firmware, UploadsTheImageAsStoredInBlocksOf4096) {
    const std::string qfw =
        make_container(dir_.path(), random_image(300001, 1), true, 1, 5);
    const std::string stored = read_file(qfw).substr(72);
    erase_answers(4096);
    OutputCapture cap;
    ASSERT_EQ(upload(qfw), 0);

    const std::string data = read_file(qfw);
    char sums[200];
    snprintf(sums, sizeof sums,
             "Calc raw checksum:0x%.8x\nCalc enc checksum:0x%.8x\n"
             "File raw checksum:0x%.8x\nFile enc checksum:0x%.8x\n",
             le32(data, 52), le32(data, 56), le32(data, 52), le32(data, 56));
    std::string expect = "Enter QFW file name[de62d2.qfw]:Reading file " + qfw +
                         "...Ok (size=0x7f000,flags=0x01).\n"
                         "Version:1.05\n"
                         "Encrypted:0x01\n" +
                         std::string(sums) + "Erasing external flash....Ok.\n";
    for (int k = 1; k <= 127; k++)
        expect += "Writing block " + std::to_string(k) +
                  " of 127 (size:4096)...Ok.\n";
    EXPECT_EQ(cap.out(), expect);
    EXPECT_EQ(cap.err(), "");

    // One erase, then blocks 0..126 carrying the stored (scrambled) bytes;
    // no flash request.
    const auto codes = fake_comm::written_codes();
    ASSERT_EQ(codes.size(), 128u);
    EXPECT_EQ(codes.front(), ERASE);
    const auto writes = sent(WRITE);
    ASSERT_EQ(writes.size(), 127u);
    std::string joined;
    for (size_t k = 0; k < writes.size(); k++) {
        EXPECT_EQ(writes[k].at(0) | (writes[k].at(1) << 8), int(k));
        joined.append(writes[k].begin() + 2, writes[k].end());
    }
    EXPECT_TRUE(joined == stored);
}

TEST_F(Firmware, BlockSplitFor1000AndForTheDefaultOf64) {
    const std::string qfw =
        make_container(dir_.path(), random_image(4096, 2), false);
    erase_answers(1000);
    OutputCapture cap;
    ASSERT_EQ(upload(qfw), 0);
    auto b = blocks();
    ASSERT_EQ(b.size(), 521u);
    EXPECT_EQ(b[519], std::make_pair(519, size_t(1000)));
    EXPECT_EQ(b[520], std::make_pair(520, size_t(192)));
    EXPECT_NE(cap.out().find("Writing block 1 of 521 (size:1000)...Ok.\n"),
              std::string::npos);
    EXPECT_NE(cap.out().find("Writing block 521 of 521 (size:192)...Ok.\n"),
              std::string::npos);
    // The last block is the tail of the image.
    const Bytes last = sent(WRITE).back();
    EXPECT_TRUE(std::string(last.begin() + 2, last.end()) ==
                read_file(qfw).substr(72 + 520000));

    fake_comm::clear_records();
    erase_answers(0);
    cap.clear();
    ASSERT_EQ(upload(qfw), 0);
    b = blocks();
    ASSERT_EQ(b.size(), 8128u);
    for (size_t k = 0; k < b.size(); k++)
        ASSERT_EQ(b[k], std::make_pair(int(k), size_t(64)));
    EXPECT_NE(cap.out().find("Writing block 8128 of 8128 (size:64)...Ok.\n"),
              std::string::npos);
}

TEST_F(Firmware, HeaderChecksInOrderAndNothingSentOnFailure) {
    std::string good =
        read_file(make_container(dir_.path(), random_image(5000, 4), true));
    const std::string path = dir_.file("bad.qfw");
    const std::string head =
        "Enter QFW file name[de62d2.qfw]:Reading file " + path + "...";
    auto run = [&](const std::string &data) {
        write_file(path, data);
        OutputCapture cap;
        EXPECT_EQ(upload(path), -1);
        return cap.out();
    };
    auto out_of = [&](const std::string &text) {
        return text.substr(0, head.size()) == head ? text.substr(head.size())
                                                   : "(other) " + text;
    };

    std::string bad = good;
    put_le32(bad, 44, 9);       // another device...
    put_le32(bad, 40, 0x7F001); // ...also too long: the type comes first
    EXPECT_EQ(out_of(run(bad)), "Invalid QFW file!\n");

    bad = good;
    put_le32(bad, 40, 0x7F001);
    EXPECT_EQ(out_of(run(bad)), "Error,file longer than 0x7f000!\n");

    EXPECT_EQ(out_of(run(good.substr(0, good.size() - 1))),
              "Error loading file:" + path + "!\n");
    EXPECT_EQ(out_of(run(good.substr(0, 71))),
              "Error loading file:" + path + "!\n");

    // One changed image byte: the raw sum is checked first.
    bad = good;
    bad[72 + 1000] ^= 0x40;
    std::string text = run(bad);
    EXPECT_NE(text.find("Version:1.05\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 17), "Raw chsum wrong!\n");

    bad = good;
    put_le32(bad, 56, le32(bad, 56) ^ 1);
    text = run(bad);
    EXPECT_EQ(text.substr(text.size() - 17), "Enc chsum wrong!\n");

    {
        OutputCapture cap;
        EXPECT_EQ(upload(dir_.file("missing.qfw")), -1);
        EXPECT_EQ(cap.out(), "Enter QFW file name[de62d2.qfw]:Error loading "
                             "file:" +
                                 dir_.file("missing.qfw") + "!\n");
    }
    EXPECT_TRUE(fake_comm::writes().empty());
}

TEST_F(Firmware, ShortImageIsPaddedWithErasedBytes) {
    // A container holding 100 image bytes whose sums cover 0xFF padding.
    std::string image =
        random_image(100, 5) + std::string(FW_IMAGE - 100, '\xFF');
    std::string data(72, '\0');
    put_le32(data, 40, 100);
    put_le32(data, 44, 10);
    put_le32(data, 52, xor_words(image));
    put_le32(data, 56, xor_words(image));
    const std::string path = dir_.file("short.qfw");
    write_file(path, data + image.substr(0, 100));
    erase_answers(65531); // the largest block a write carries
    OutputCapture cap;
    ASSERT_EQ(upload(path), 0);
    EXPECT_NE(cap.out().find("Ok (size=0x64,flags=0x00).\n"),
              std::string::npos);
    std::string joined;
    for (const Bytes &p : sent(WRITE))
        joined.append(p.begin() + 2, p.end());
    EXPECT_TRUE(joined == image);
    ASSERT_EQ(blocks().size(), 8u);
    EXPECT_EQ(blocks().back(), std::make_pair(7, size_t(FW_IMAGE - 7 * 65531)));

    // Sums over the unpadded image alone do not match.
    put_le32(data, 52, xor_words(image.substr(0, 100)));
    write_file(path, data + image.substr(0, 100));
    fake_comm::clear_records();
    cap.clear();
    EXPECT_EQ(upload(path), -1);
    EXPECT_NE(cap.out().find("Raw chsum wrong!\n"), std::string::npos);
    EXPECT_TRUE(fake_comm::writes().empty());
}

TEST_F(Firmware, FiveAttemptsPerBlock) {
    const std::string qfw =
        make_container(dir_.path(), random_image(64, 6), true);
    erase_answers(65024); // 8 blocks

    // Block 3 fails four times, then goes through: one "Ok." for it.
    fake_comm::answer_once(WRITE, frame(WRITE + 1000));
    fake_comm::answer_once(WRITE, frame(WRITE + 1000));
    for (int i = 0; i < 4; i++)
        fake_comm::answer_once(WRITE, frame(12290));
    OutputCapture cap;
    ASSERT_EQ(upload(qfw), 0);
    auto b = blocks();
    ASSERT_EQ(b.size(), 8u + 4u);
    for (int i = 2; i < 7; i++)
        EXPECT_EQ(b[i].first, 2);
    EXPECT_EQ(b.back().first, 7);
    EXPECT_NE(cap.out().find("Writing block 3 of 8 (size:65024)...Ok.\n"
                             "Writing block 4 of 8"),
              std::string::npos);
    EXPECT_EQ(cap.err(), "");

    // Five failures end the upload at that block.
    fake_comm::clear_records();
    cap.clear();
    fake_comm::answer_once(WRITE, frame(WRITE + 1000));
    for (int i = 0; i < 5; i++)
        fake_comm::answer_once(WRITE, frame(12290));
    EXPECT_EQ(upload(qfw), -1);
    b = blocks();
    ASSERT_EQ(b.size(), 6u);
    EXPECT_EQ(b.back().first, 1);
    const std::string out = cap.out();
    const std::string last = "Writing block 2 of 8 (size:65024)...Error!\n";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
    EXPECT_EQ(cap.err(), "Command M17_cmd_upload_qfw error(code=1)!\n");
    EXPECT_TRUE(sent(FLASH).empty());
}

TEST_F(Firmware, BlockSizesThatWouldWrapOrOverflowAreRefused) {
    const std::string qfw =
        make_container(dir_.path(), random_image(64, 8), false);
    // 65532 does not fit a write; 7 would need 74,314 blocks, so the index
    // would wrap and overwrite block 0.
    for (uint32_t size : {65532u, 0x7F000u, 0xFFFFFFFFu, 7u, 1u}) {
        fake_comm::clear_records();
        erase_answers(size);
        OutputCapture cap;
        EXPECT_EQ(upload(qfw), -1) << size;
        EXPECT_EQ(fake_comm::written_codes(), std::vector<int>{ERASE}) << size;
        EXPECT_NE(cap.err().find("external flash left erased"),
                  std::string::npos)
            << cap.err();
        EXPECT_NE(cap.out().find("Erasing external flash....Ok.\n"),
                  std::string::npos);
    }
    // 8 is the smallest block size whose index fits: 65,024 blocks.
    fake_comm::clear_records();
    erase_answers(8);
    OutputCapture cap;
    EXPECT_EQ(upload(qfw), 0);
    ASSERT_EQ(blocks().size(), 65024u);
    EXPECT_EQ(blocks().back(), std::make_pair(65023, size_t(8)));
}

TEST_F(Firmware, FailedEraseAndNoConnection) {
    const std::string qfw =
        make_container(dir_.path(), random_image(64, 9), true);
    fake_comm::answer(ERASE, frame(12290));
    OutputCapture cap;
    EXPECT_EQ(upload(qfw), -1);
    EXPECT_EQ(cap.err(), "Command M17_cmd_upload_qfw error(code=1)!\n");
    EXPECT_EQ(fake_comm::written_codes(), std::vector<int>{ERASE});

    connected = 0;
    fake_comm::clear_records();
    cap.clear();
    char line[] = "x\n";
    EXPECT_EQ(V21_cmd_upload_qfw(line, 0), -1);
    EXPECT_EQ(V21_cmd_flash_fw(line, 0), -1);
    EXPECT_EQ(cap.out(), ""); // no prompt either
    EXPECT_EQ(cap.err(), "\nDevice not connected!\n\nDevice not connected!\n");
    EXPECT_TRUE(fake_comm::writes().empty());
}

TEST_F(Firmware, FlashNamesTheContainerAndDisconnects) {
    const std::string qfw =
        make_container(dir_.path(), random_image(777, 10), true);
    const std::string data = read_file(qfw);
    OutputCapture cap;
    ASSERT_EQ(flash(qfw), 0);
    EXPECT_EQ(sent(FLASH), std::vector<Bytes>{fake_comm::concat(
                               {u32le(1), u32le(le32(data, 52))})});
    char sums[100];
    snprintf(sums, sizeof sums, "Raw checksum:0x%.8x\nEnc checksum:0x%.8x\n",
             le32(data, 52), le32(data, 56));
    ASSERT_TRUE(fake_comm::drain());
    EXPECT_EQ(cap.out(), "Enter QFW file name[de62d2.qfw]:Reading file " + qfw +
                             "...Ok.\nEncrypted:0x01\n" + sums +
                             "Starting memory flashing process..."
                             "\nDevice disconnected!\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(fake_comm::count_calls("comm_disconnect"), 1);
}

TEST_F(Firmware, FlashFailuresKeepTheConnection) {
    const std::string qfw =
        make_container(dir_.path(), random_image(64, 11), false);
    fake_comm::answer(FLASH, frame(12290));
    OutputCapture cap;
    EXPECT_EQ(flash(qfw), -1);
    EXPECT_EQ(sent(FLASH), std::vector<Bytes>{fake_comm::concat(
                               {u32le(0), u32le(le32(read_file(qfw), 52))})});
    EXPECT_EQ(cap.err(), "Command M17_cmd_flash_fw error(code=1)!\n");
    EXPECT_EQ(connected, 1);

    // A file shorter than a header, or none: nothing is sent.
    fake_comm::clear_records();
    write_file(dir_.file("stub.qfw"), read_file(qfw).substr(0, 71));
    for (const std::string &name :
         {dir_.file("stub.qfw"), dir_.file("none.qfw")}) {
        cap.clear();
        EXPECT_EQ(flash(name), -1);
        EXPECT_NE(cap.out().find("Error loading file:" + name + "!\n"),
                  std::string::npos);
    }
    EXPECT_TRUE(fake_comm::writes().empty());
    EXPECT_EQ(fake_comm::count_calls("comm_disconnect"), 0);
}

TEST(FirmwareMenu, CreateUploadFlashStandBeforeTheSecondRestart) {
    menu_record menu;
    menu_init(&menu);
    V21_cmd_create_menu(&menu, 0);
    struct {
        const char *key, *name, *description;
        cmd_handler handler;
    } rows[] = {
        {"cg", "create qfw", "creates firmware file", V21_cmd_create_qfw},
        {"up", "upload qfw", "uploads firmware file", V21_cmd_upload_qfw},
        {"fl", "flash  fw", "uploads firmware file", V21_cmd_flash_fw},
        {"re", "restart", "restarts device", V21_cmd_restart},
    };
    int at = -1;
    for (int i = 0; i < menu.count && at < 0; i++)
        if (strcmp(menu.entries[i].key, "cg") == 0)
            at = i;
    ASSERT_GE(at, 1);
    ASSERT_LE(at + 4, menu.count);
    for (int r = 0; r < 4; r++) {
        const menu_entry &e = menu.entries[at + r];
        EXPECT_STREQ(e.key, rows[r].key);
        EXPECT_STREQ(e.name, rows[r].name);
        EXPECT_STREQ(e.description, rows[r].description);
        EXPECT_EQ(e.handler, rows[r].handler);
    }
    // After the clock rows, or after the parameter rows once they are in.
    const std::string before = menu.entries[at - 1].key;
    EXPECT_TRUE(before == "sp" || before == "st") << before;
}

} // namespace
