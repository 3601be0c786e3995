// The console against vo62-sim: building a container, uploading it in the
// block sizes the instrument asks for, flashing, refused containers, failing
// block writes, and links cut in the middle of an upload.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "capture.h"
#include "fw_support.h"
#include "process.h"
#include "sim_process.h"

namespace {

constexpr int kRunMs = 60000;
constexpr int kNewPtyMs = 10000;

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

// The console connected to the simulator (Enter at the connection type and
// at the device list), run in dir.
ProcessResult console(const SimProcess &sim, const std::string &dir,
                      const std::string &commands) {
    return run_process({console_binary_path()}, "\n\n" + commands, sim.env(),
                       kRunMs, false, dir);
}

// "cg" with every default but the version 1.5, without an instrument:
// de62d2.bin in dir becomes de62d2.qfw.
ProcessResult create_offline(const std::string &dir) {
    return run_process({console_binary_path()}, "1\ncg\n\n\n\n1\n5\nq\n", {},
                       kRunMs, false, dir);
}

// The simulator's trace: one "code what" entry per request it saw, such as
// "8102 reply" or "8102 fail" or "8102 cut".
std::vector<std::string> requests(const std::string &trace) {
    std::vector<std::string> out;
    std::istringstream in(read_file(trace));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, req, code, len, what;
        if (words >> time >> req >> code >> len >> what && req == "req")
            out.push_back(code + " " + what);
    }
    return out;
}

size_t count_req(const std::vector<std::string> &reqs,
                 const std::string &prefix) {
    size_t n = 0;
    for (const auto &r : reqs)
        n += r.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// Waits until the simulator has dropped the link and announces the new
// pseudo-terminal that its trace names. (The new one may reuse the old
// one's number, so a changed name cannot be waited for.)
bool wait_link_dropped(const SimProcess &sim, const std::string &trace) {
    const std::string mark = "link dropped, new pseudo-terminal ";
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kNewPtyMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = read_file(trace);
        const size_t at = text.rfind(mark);
        if (at != std::string::npos) {
            const size_t from = at + mark.size();
            const std::string pty =
                text.substr(from, text.find('\n', from) - from);
            if (sim.pty() == pty)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The image part of the simulator's external flash.
std::string flash_image(const SimProcess &sim) {
    return read_file(sim.card_dir() + "/.vo62sim/extflash.bin")
        .substr(0, FW_IMAGE);
}

class FirmwareE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(work_.file("de62d2.bin"), random_image(300001, 42));
        ProcessResult r = create_offline(work_.path());
        ASSERT_FALSE(r.timed_out);
        ASSERT_TRUE(has(r.out, "Reading file de62d2.bin...Ok.\n")) << r.out;
        ASSERT_TRUE(has(r.out, "Version:1.5\nWriting file de62d2.qfw...Ok.\n"))
            << r.out;
        qfw_ = read_file(work_.file("de62d2.qfw"));
        ASSERT_EQ(qfw_.size(), FW_FILE);
    }
    std::vector<std::string> sim_args(std::vector<std::string> extra) const {
        extra.insert(extra.end(), {"--seed", "9", "--trace", trace()});
        return extra;
    }
    std::string trace() const { return work_.file("trace.txt"); }

    TempDir work_;
    std::string qfw_;
};

TEST_F(FirmwareE2E, UploadAndFlashInEachBlockSize) {
    struct {
        const char *block_size;
        size_t blocks;
        const char *last;
    } cases[] = {
        {"4096", 127, "Writing block 127 of 127 (size:4096)...Ok.\n"},
        {"1000", 521, "Writing block 521 of 521 (size:192)...Ok.\n"},
        {"0", 8128, "Writing block 8128 of 8128 (size:64)...Ok.\n"},
        // An erase reply without a block size: 64-byte blocks as for 0.
        {"none", 8128, "Writing block 8128 of 8128 (size:64)...Ok.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block_size);
        remove(trace().c_str());
        SimProcess sim(sim_args({"--block-size", c.block_size}));
        ASSERT_TRUE(sim.started());
        ProcessResult r = console(sim, work_.path(), "up\n\nfl\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(has(r.out, "...Ok (size=0x7f000,flags=0x01).\n"
                               "Version:1.05\nEncrypted:0x01\n"));
        EXPECT_TRUE(has(r.out, "Erasing external flash....Ok.\n"
                               "Writing block 1 of "));
        EXPECT_TRUE(has(r.out, c.last));
        EXPECT_EQ(count_of(r.out, "...Ok.\nWriting block "), c.blocks);
        EXPECT_TRUE(has(r.out, "Starting memory flashing process..."));
        EXPECT_TRUE(has(r.out, "\nDevice disconnected!\n"));
        EXPECT_FALSE(has(r.err, "error(code=")) << r.err;

        // The simulator took every block and accepted the checksum, and its
        // external flash holds the image as stored in the container.
        const auto reqs = requests(trace());
        EXPECT_EQ(count_req(reqs, "8102 reply"), c.blocks);
        EXPECT_EQ(count_req(reqs, "8103 reply"), 1u);
        EXPECT_TRUE(flash_image(sim) == qfw_.substr(72));
    }
}

TEST_F(FirmwareE2E, RefusedContainersSendNothing) {
    std::string changed = qfw_;
    changed[72 + 12345] ^= 0x01;
    write_file(work_.file("changed.qfw"), changed);
    std::string other = qfw_;
    put_le32(other, 44, 9);
    write_file(work_.file("type9.qfw"), other);

    SimProcess sim(sim_args({}));
    ASSERT_TRUE(sim.started());
    ProcessResult r =
        console(sim, work_.path(), "up\nchanged.qfw\nup\ntype9.qfw\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(has(r.out, "File enc checksum:0x"));
    EXPECT_TRUE(has(r.out, "Raw chsum wrong!\n>"));
    EXPECT_TRUE(has(r.out, "Reading file type9.qfw...Invalid QFW file!\n>"));
    EXPECT_FALSE(has(r.out, "Erasing"));
    const auto reqs = requests(trace());
    EXPECT_EQ(count_req(reqs, "810"), 0u); // no erase, write or flash
}

TEST_F(FirmwareE2E, BlockWritesFailingFourOrFiveTimes) {
    {
        remove(trace().c_str());
        SimProcess sim(sim_args({"--fault", "fail:code=8102,count=4"}));
        ASSERT_TRUE(sim.started());
        ProcessResult r = console(sim, work_.path(), "up\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_TRUE(has(r.out, "Writing block 1 of 127 (size:4096)...Ok.\n"
                               "Writing block 2 of 127"));
        EXPECT_TRUE(has(r.out, "Writing block 127 of 127 (size:4096)...Ok.\n"));
        EXPECT_EQ(r.err.find("error(code="), std::string::npos) << r.err;
        const auto reqs = requests(trace());
        EXPECT_EQ(count_req(reqs, "8102 fail"), 4u);
        EXPECT_EQ(count_req(reqs, "8102 reply"), 127u);
    }
    {
        remove(trace().c_str());
        SimProcess sim(sim_args({"--fault", "fail:code=8102,count=5"}));
        ASSERT_TRUE(sim.started());
        ProcessResult r = console(sim, work_.path(), "up\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_TRUE(
            has(r.out, "Writing block 1 of 127 (size:4096)...Error!\n>"));
        EXPECT_FALSE(has(r.out, "Writing block 2 of"));
        EXPECT_TRUE(has(r.err, "Command M17_cmd_upload_qfw error(code=1)!\n"));
        const auto reqs = requests(trace());
        EXPECT_EQ(count_req(reqs, "8102"), 5u);
        EXPECT_EQ(count_req(reqs, "8103"), 0u);
    }
}

TEST_F(FirmwareE2E, LinkCutDuringUploadNeverLeadsToFlashing) {
    // Cut at the first, second, a middle and the last of 127 blocks.
    for (int index : {0, 1, 63, 126}) {
        SCOPED_TRACE(index);
        remove(trace().c_str());
        SimProcess sim(sim_args(
            {"--fault", "cut:code=8102,skip=" + std::to_string(index)}));
        ASSERT_TRUE(sim.started());
        ProcessResult r = console(sim, work_.path(), "up\n\nfl\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        const std::string cut_block =
            "Writing block " + std::to_string(index + 1) + " of 127";
        // The link's loss may be reported between the block's line and its
        // end.
        const size_t cut_at = r.out.find(cut_block + " (size:4096)...");
        ASSERT_NE(cut_at, std::string::npos);
        EXPECT_NE(r.out.find("Error!\n", cut_at), std::string::npos);
        EXPECT_FALSE(has(r.out, "Writing block " + std::to_string(index + 2) +
                                    " of 127"));
        EXPECT_TRUE(has(r.out, "\nDevice disconnected!\n"));
        auto reqs = requests(trace());
        EXPECT_EQ(count_req(reqs, "8102 reply"), size_t(index));
        EXPECT_EQ(count_req(reqs, "8102 cut"), 1u);
        EXPECT_EQ(count_req(reqs, "8103"), 0u);

        // A fresh run finds the instrument again, uploads and flashes.
        ASSERT_TRUE(wait_link_dropped(sim, trace()));
        r = console(sim, work_.path(), "up\n\nfl\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_TRUE(has(r.out, "Writing block 127 of 127 (size:4096)...Ok.\n"));
        EXPECT_TRUE(has(r.out, "Starting memory flashing process..."));
        EXPECT_TRUE(has(r.out, "\nDevice disconnected!\n"));
        reqs = requests(trace());
        EXPECT_EQ(count_req(reqs, "8103 reply"), 1u);
        EXPECT_TRUE(flash_image(sim) == qfw_.substr(72));
    }
}

TEST_F(FirmwareE2E, ALinkLostAtTheFlashRequestSaysTheInstrumentMayBeFlashing) {
    const std::string hint = "The instrument may be flashing: wait until it "
                             "has restarted, then connect again and check "
                             "its version with \"ve\".\n";
    struct {
        const char *fault;
        bool lost; // the link went down with the request on its way
    } cases[] = {{"cut:code=8103", true}, {"fail:code=8103", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        SimProcess sim(sim_args({"--fault", c.fault}));
        ASSERT_TRUE(sim.started());
        ProcessResult r = console(sim, work_.path(), "fl\n\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_TRUE(has(r.out, "Starting memory flashing process..."));
        const size_t error = r.err.find("Command M17_cmd_flash_fw error(code=");
        ASSERT_NE(error, std::string::npos) << r.err;
        EXPECT_EQ(has(r.err.substr(error), ")!\n" + hint), c.lost) << r.err;
    }
}

} // namespace
