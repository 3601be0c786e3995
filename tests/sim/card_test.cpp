// The card directory: device paths never leave it, and the file operations
// behave as the instrument's do.
#include "card.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using vo62sim::Bytes;
using vo62sim::Card;

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(card.open(dir.file("card")), vo62sim::CARD_OK);
        mkdir(dir.file("outside").c_str(), 0755);
        write_file(dir.file("outside/secret"), "secret");
    }
    TempDir dir;
    Card card;
};

TEST_F(CardTest, PathsThatWouldLeaveTheCardAreRefused) {
    const char *bad[] = {"../outside/secret",
                         "/etc/passwd",
                         "meas/../../outside/secret",
                         "..",
                         "",
                         ".vo62sim/state.txt",
                         ".VO62SIM/params.bin",
                         "a\\b",
                         "tab\there"};
    for (const char *name : bad) {
        Bytes out;
        uint64_t size = 0;
        bool is_dir = false;
        const uint8_t one = 1;
        EXPECT_EQ(card.read(name, 0, 10, out), vo62sim::CARD_BAD_PATH) << name;
        EXPECT_EQ(card.info(name, size, is_dir), vo62sim::CARD_BAD_PATH)
            << name;
        EXPECT_EQ(card.create(name), vo62sim::CARD_BAD_PATH) << name;
        EXPECT_EQ(card.append(name, &one, 1), vo62sim::CARD_BAD_PATH) << name;
        EXPECT_EQ(card.remove(name), vo62sim::CARD_BAD_PATH) << name;
        EXPECT_EQ(card.make_dir(name), vo62sim::CARD_BAD_PATH) << name;
    }
    EXPECT_EQ(read_file(dir.file("outside/secret")), "secret");
}

TEST_F(CardTest, SymbolicLinksAreNeverFollowed) {
    ASSERT_EQ(
        symlink(dir.file("outside").c_str(), dir.file("card/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("outside/secret").c_str(),
                      dir.file("card/file").c_str()),
              0);
    Bytes out;
    const uint8_t x = 'x';
    EXPECT_NE(card.read("link/secret", 0, 10, out), vo62sim::CARD_OK);
    EXPECT_NE(card.read("file", 0, 10, out), vo62sim::CARD_OK);
    EXPECT_NE(card.create("link/new"), vo62sim::CARD_OK);
    EXPECT_NE(card.create("file"), vo62sim::CARD_OK);
    EXPECT_NE(card.append("file", &x, 1), vo62sim::CARD_OK);
    EXPECT_NE(card.remove("link/secret"), vo62sim::CARD_OK);
    EXPECT_NE(card.make_dir("link/sub"), vo62sim::CARD_OK);
    EXPECT_EQ(read_file(dir.file("outside/secret")), "secret");
    EXPECT_FALSE(file_exists(dir.file("outside/new")));
    EXPECT_FALSE(file_exists(dir.file("outside/sub")));
}

TEST_F(CardTest, FileOperationsKeepTheInstrumentsSemantics) {
    EXPECT_EQ(card.make_dir("lut"), vo62sim::CARD_OK);
    EXPECT_EQ(card.make_dir("lut"), vo62sim::CARD_OK); // already there
    EXPECT_EQ(card.create("none/x.dat"), vo62sim::CARD_NOT_FOUND);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(card.append("lut/x.dat", data, 3), vo62sim::CARD_NOT_FOUND);
    EXPECT_EQ(card.create("lut/x.dat"), vo62sim::CARD_OK);
    EXPECT_EQ(card.append("lut/x.dat", data, 3), vo62sim::CARD_OK);
    EXPECT_EQ(card.append("lut//./x.dat", data, 2), vo62sim::CARD_OK);
    Bytes out;
    EXPECT_EQ(card.read("lut/x.dat", 1, 100, out), vo62sim::CARD_OK);
    EXPECT_EQ(out, (Bytes{2, 3, 1, 2}));
    EXPECT_EQ(card.read("lut/x.dat", 5, 100, out), vo62sim::CARD_OK);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(card.read("lut", 0, 10, out), vo62sim::CARD_WRONG_KIND);
    EXPECT_EQ(card.create("lut/x.dat"), vo62sim::CARD_OK); // truncates
    uint64_t size = 99;
    bool is_dir = true;
    EXPECT_EQ(card.info("lut/x.dat", size, is_dir), vo62sim::CARD_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(is_dir);
    EXPECT_EQ(card.remove("lut/x.dat"), vo62sim::CARD_OK);
    EXPECT_EQ(card.remove("lut/x.dat"), vo62sim::CARD_OK); // already gone
    EXPECT_EQ(card.remove("nodir/x.dat"), vo62sim::CARD_OK);
    EXPECT_EQ(card.remove("lut"), vo62sim::CARD_WRONG_KIND);
    // The card image is read-only through requests.
    write_file(dir.file("card/raw"), "image");
    EXPECT_EQ(card.create("raw"), vo62sim::CARD_BAD_PATH);
    EXPECT_EQ(card.append("raw", data, 1), vo62sim::CARD_BAD_PATH);
    EXPECT_EQ(card.remove("raw"), vo62sim::CARD_BAD_PATH);
    EXPECT_EQ(read_file(dir.file("card/raw")), "image");
}

// A file at the card's root stays open between reads; every read must still
// see the file its name names now.
TEST_F(CardTest, RootFileReadsFollowWhatTheNameNamesNow) {
    Bytes out;
    write_file(dir.file("card/raw"), "first image");
    ASSERT_EQ(card.read("raw", 0, 5, out), vo62sim::CARD_OK);
    EXPECT_EQ(out, (Bytes{'f', 'i', 'r', 's', 't'}));

    // Replaced by another file under the same name.
    write_file(dir.file("card/raw.new"), "second");
    ASSERT_EQ(
        rename(dir.file("card/raw.new").c_str(), dir.file("card/raw").c_str()),
        0);
    ASSERT_EQ(card.read("raw", 0, 100, out), vo62sim::CARD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "second");

    // Another root file in between, then the first again.
    write_file(dir.file("card/other"), "other");
    ASSERT_EQ(card.read("other", 1, 100, out), vo62sim::CARD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ther");
    ASSERT_EQ(card.read("raw", 3, 100, out), vo62sim::CARD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ond");

    // Shortened in place: the read ends at the new end.
    ASSERT_EQ(truncate(dir.file("card/raw").c_str(), 2), 0);
    ASSERT_EQ(card.read("raw", 0, 100, out), vo62sim::CARD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "se");

    // Gone, then a directory, then a link to a file outside the card.
    ASSERT_EQ(unlink(dir.file("card/raw").c_str()), 0);
    EXPECT_EQ(card.read("raw", 0, 10, out), vo62sim::CARD_NOT_FOUND);
    ASSERT_EQ(mkdir(dir.file("card/raw").c_str(), 0755), 0);
    EXPECT_EQ(card.read("raw", 0, 10, out), vo62sim::CARD_WRONG_KIND);
    ASSERT_EQ(rmdir(dir.file("card/raw").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("outside/secret").c_str(),
                      dir.file("card/raw").c_str()),
              0);
    EXPECT_EQ(card.read("raw", 0, 10, out), vo62sim::CARD_BAD_PATH);
    EXPECT_TRUE(out.empty());
}

} // namespace
