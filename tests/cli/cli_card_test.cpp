// card against vo62-sim: an upload names every entry that did not reach
// the card and fails; the console's "uf" keeps its texts; a partial image
// is not started again from the first byte without a yes.
#include <gtest/gtest.h>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

TEST_F(CliEndToEnd, CardUploadNamesWhatItSkipsAndFails) {
    SimProcess sim({"--seed", "2", "--image-size", "65536"});
    ASSERT_TRUE(sim.started());
    const std::string long_name = "d/" + std::string(51, 'l') + ".txt";
    ASSERT_EQ(long_name.size(), 57u);
    ASSERT_TRUE(fs::create_directories(b("src/d")));
    ASSERT_TRUE(write_file(b("src/d/kept"), "kept\n"));
    ASSERT_TRUE(write_file(b("src/d/empty"), ""));
    ASSERT_TRUE(write_file(b("src/" + long_name), "long\n"));
    fs::create_symlink("kept", b("src/d/link"));
    ProcessResult tar = run_process(
        {"/bin/sh", "-c",
         "tar -cf up.tar -C src d/kept d/empty d/link " + long_name},
        "", {}, kRunMs, false, b_dir());
    ASSERT_EQ(tar.exit_code, 0) << tar.err;
    ASSERT_TRUE(fs::create_directories(sim.card_dir() + "/d"));

    ProcessResult r = cli(sim, {"--json", "card", "upload", "up.tar"}, b_dir());
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const json j = parse(r);
    EXPECT_EQ(j["files"], 1);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["error"]["status"], 1);
    ASSERT_EQ(j["skipped"].size(), 3u) << r.out;
    for (const auto &[path, reason] :
         std::vector<std::pair<std::string, std::string>>{
             {"d/empty", "empty file"},
             {"d/link", "symbolic link"},
             {long_name, "path of 57 characters"}}) {
        EXPECT_EQ(count_of(r.err, "up.tar: " + path + " skipped: " + reason),
                  1u)
            << r.err;
        bool listed = false;
        for (const json &s : j["skipped"])
            listed |= s["path"] == path &&
                      s["reason"].get<std::string>().find(reason) == 0;
        EXPECT_TRUE(listed) << path;
        EXPECT_FALSE(
            fs::exists(fs::symlink_status(sim.card_dir() + "/" + path)))
            << path;
    }
    EXPECT_EQ(read_file(sim.card_dir() + "/d/kept"), "kept\n");
    EXPECT_NE(r.err.find("3 entries of up.tar skipped"), std::string::npos);

    // The console says what it said before: the long path, nothing more.
    ProcessResult c = console(sim, "uf\nup.tar\n", b_dir());
    EXPECT_EQ(count_of(c.out, "skipped"), 1u) << c.out;
    EXPECT_EQ(count_of(c.out, "path too long, skipped:" + long_name), 1u);
    EXPECT_EQ(c.out.find("link"), std::string::npos) << c.out;
    EXPECT_EQ(c.err, "");
}

// A file shorter than the card's image may be hours of copying: without
// --resume it is replaced only after a yes; a whole image is replaced as
// before.
TEST_F(CliEndToEnd, CardDownloadAsksBeforeReplacingAPartialImage) {
    SimProcess sim({"--seed", "2", "--image-size", "65536"});
    ASSERT_TRUE(sim.started());
    const std::string raw = read_file(sim.card_dir() + "/raw");
    ASSERT_EQ(raw.size(), 65536u);
    const std::string part(8192, 'p');
    ASSERT_TRUE(write_file(b("img.bin"), part));
    ProcessResult r = cli(sim, {"card", "download", "img.bin"}, b_dir());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("replace img.bin, which holds 8192 of the card's "
                         "65536 bytes (--resume continues it) without --yes"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(b("img.bin")), part);
    r = cli(sim, {"-y", "card", "download", "img.bin"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(b("img.bin")) == raw);
    r = cli(sim, {"card", "download", "img.bin"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

} // namespace
