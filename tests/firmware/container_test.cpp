// Building firmware containers from raw images: layout, checksums,
// scrambling, the creation dialog and its failures.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "capture.h"
#include "fw_support.h"
#include "m17_cmds.h"
#include "process.h"
#include "v21_cmds.h"

namespace {

std::string image_of(const std::string &qfw) {
    return qfw.substr(72);
}

TEST(QfwContainer, EmptyImageGivesZeroSumsAndAFullSizeFile) {
    TempDir dir;
    write_file(dir.file("e.bin"), "");
    OutputCapture cap;
    const std::string qfw = dir.file("e.qfw");
    ASSERT_EQ(M17_create_qfw(dir.file("e.bin").c_str(), qfw.c_str(), 0, 0, 0,
                             "VO-62V2", FW_IMAGE, 10),
              0);
    EXPECT_EQ(cap.out(), "Reading file " + dir.file("e.bin") +
                             "...Ok.\n"
                             "Raw checksum:0x00000000\n"
                             "Enc checksum:0x00000000\n"
                             "Version:0.0\n"
                             "Writing file " +
                             qfw + "...Ok.\n");
    const std::string data = read_file(qfw);
    ASSERT_EQ(data.size(), FW_FILE);
    EXPECT_EQ(le32(data, 52), 0u);
    EXPECT_EQ(le32(data, 56), 0u);
    EXPECT_EQ(le32(data, 68), 0u); // not scrambled
    EXPECT_TRUE(image_of(data) == std::string(FW_IMAGE, '\0'));

    // Scrambled, the zero image becomes j^4 in word j.
    ASSERT_EQ(M17_create_qfw(dir.file("e.bin").c_str(), qfw.c_str(), 0, 0, 1,
                             "VO-62V2", FW_IMAGE, 10),
              0);
    const std::string enc = read_file(qfw);
    ASSERT_EQ(enc.size(), FW_FILE);
    EXPECT_EQ(le32(enc, 72 + 0), 0u);
    EXPECT_EQ(le32(enc, 72 + 4), 1u);
    EXPECT_EQ(le32(enc, 72 + 8), 16u);
    EXPECT_EQ(le32(enc, 72 + 12), 81u);
    // The last word wraps: 130047^4 modulo 2^32.
    const uint32_t j = FW_IMAGE / 4 - 1;
    EXPECT_EQ(le32(enc, FW_FILE - 4), j * j * j * j);
    EXPECT_EQ(le32(enc, 52), 0u);
    EXPECT_EQ(le32(enc, 56), xor_words(image_of(enc)));
    EXPECT_EQ(le32(enc, 68), 1u);
}

TEST(QfwContainer, HeaderFieldsAtTheirOffsets) {
    TempDir dir;
    const std::string bin = random_image(100003, 7); // not whole words
    const time_t before = time(nullptr);
    const std::string qfw = make_container(dir.path(), bin, true, 1, 5);
    const time_t after = time(nullptr);
    const std::string data = read_file(qfw);
    ASSERT_EQ(data.size(), FW_FILE);

    EXPECT_EQ(data.substr(0, 20), std::string("ZUVODEDE FIRMWARE\0\0\0", 20));
    EXPECT_EQ(data.substr(20, 20),
              std::string("VO-62V2\0\0\0\0\0\0\0\0\0\0\0\0\0", 20));
    EXPECT_EQ(le32(data, 40), FW_IMAGE);
    EXPECT_EQ(le32(data, 44), 10u);
    EXPECT_EQ(le32(data, 48), 0x105u);
    EXPECT_EQ(le32(data, 68), 1u);

    // Sums: the raw one over the padded plain image, the enc one over the
    // words as stored.
    std::string plain = bin + std::string(FW_IMAGE - bin.size(), '\0');
    EXPECT_EQ(le32(data, 52), xor_words(plain));
    EXPECT_EQ(le32(data, 56), xor_words(image_of(data)));
    EXPECT_NE(le32(data, 52), le32(data, 56));

    // Date and time of creation, local, packed.
    bool matched = false;
    for (time_t t = before; t <= after; t++) {
        struct tm tm;
        localtime_r(&t, &tm);
        const uint32_t date = (uint32_t(tm.tm_year + 1900) << 16) |
                              (uint32_t(tm.tm_mon + 1) << 8) |
                              uint32_t(tm.tm_mday);
        const uint32_t hms = (uint32_t(tm.tm_hour) << 16) |
                             (uint32_t(tm.tm_min) << 8) | uint32_t(tm.tm_sec);
        matched = matched || (le32(data, 60) == date && le32(data, 64) == hms);
    }
    EXPECT_TRUE(matched) << std::hex << le32(data, 60) << " " << le32(data, 64);

    // Scrambling the stored image again restores the plain image.
    std::string image = image_of(data);
    M17_qfw_scramble(reinterpret_cast<unsigned char *>(image.data()), FW_IMAGE);
    EXPECT_TRUE(image == plain);
    EXPECT_EQ(
        M17_qfw_checksum(reinterpret_cast<const unsigned char *>(image.data()),
                         FW_IMAGE),
        le32(data, 52));

    // Not scrambled: the image is stored plain and both sums agree.
    const std::string clear = read_file(make_container(dir.path(), bin, false));
    EXPECT_TRUE(image_of(clear) == plain);
    EXPECT_EQ(le32(clear, 52), le32(clear, 56));
    EXPECT_EQ(le32(clear, 68), 0u);
}

TEST(QfwContainer, DeviceNameIsCutToTwentyBytesWithoutTerminator) {
    TempDir dir;
    write_file(dir.file("a.bin"), "abcd");
    OutputCapture quiet;
    struct {
        const char *name;
        std::string field;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRS", std::string("ABCDEFGHIJKLMNOPQRS\0", 20)},
        {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRST"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(M17_create_qfw(dir.file("a.bin").c_str(),
                                 dir.file("a.qfw").c_str(), 0, 0, 0, c.name,
                                 FW_IMAGE, 10),
                  0);
        const std::string data = read_file(dir.file("a.qfw"));
        EXPECT_EQ(data.substr(20, 20), c.field) << c.name;
        EXPECT_EQ(le32(data, 40), FW_IMAGE) << c.name; // untouched by the name
    }
}

TEST(QfwContainer, SizeLimitsAndFileErrors) {
    TempDir dir;
    OutputCapture cap;
    const std::string qfw = dir.file("s.qfw");

    // Exactly the image size is accepted, one byte more is refused.
    const std::string full = random_image(FW_IMAGE, 3);
    write_file(dir.file("full.bin"), full);
    EXPECT_EQ(M17_create_qfw(dir.file("full.bin").c_str(), qfw.c_str(), 2, 9, 0,
                             "VO-62V2", FW_IMAGE, 10),
              0);
    EXPECT_TRUE(read_file(qfw).substr(72) == full);

    write_file(dir.file("long.bin"), full + "x");
    cap.clear();
    EXPECT_EQ(M17_create_qfw(dir.file("long.bin").c_str(),
                             dir.file("l.qfw").c_str(), 0, 0, 0, "VO-62V2",
                             FW_IMAGE, 10),
              -1);
    EXPECT_EQ(cap.out(), "Reading file " + dir.file("long.bin") +
                             "...Error,file longer than 0x7f000!\n");
    EXPECT_FALSE(file_exists(dir.file("l.qfw")));

    // A missing image, and a directory in place of one.
    for (const std::string &bin : {dir.file("none.bin"), dir.path()}) {
        cap.clear();
        EXPECT_EQ(M17_create_qfw(bin.c_str(), dir.file("n.qfw").c_str(), 0, 0,
                                 0, "VO-62V2", FW_IMAGE, 10),
                  -1);
        EXPECT_NE(cap.out().find("Error loading file:" + bin + "!\n"),
                  std::string::npos)
            << cap.out();
        EXPECT_FALSE(file_exists(dir.file("n.qfw")));
    }

    // A container that cannot be created, and one whose bytes never reach
    // the disk: neither is reported as written.
    write_file(dir.file("small.bin"), "1234");
    const std::string nowhere = dir.file("no/such/dir.qfw");
    cap.clear();
    EXPECT_EQ(M17_create_qfw(dir.file("small.bin").c_str(), nowhere.c_str(), 0,
                             0, 0, "VO-62V2", FW_IMAGE, 10),
              -1);
    EXPECT_NE(cap.out().find("Writing file " + nowhere +
                             "...Error writing "
                             "file:" +
                             nowhere + "!\n"),
              std::string::npos)
        << cap.out();
    cap.clear();
    EXPECT_EQ(M17_create_qfw(dir.file("small.bin").c_str(), "/dev/full", 0, 0,
                             0, "VO-62V2", FW_IMAGE, 10),
              -1);
    EXPECT_NE(cap.out().find("Writing file /dev/full...Error creating "
                             "file:/dev/full!\n"),
              std::string::npos)
        << cap.out();

    // An image size that is not whole words is refused before any file is
    // touched.
    cap.clear();
    EXPECT_EQ(M17_create_qfw(dir.file("small.bin").c_str(),
                             dir.file("odd.qfw").c_str(), 0, 0, 1, "VO-62V2",
                             FW_IMAGE + 2, 10),
              -1);
    EXPECT_EQ(cap.out(), "Error,image size 0x7f002 is not a multiple of 4!\n");
    EXPECT_FALSE(file_exists(dir.file("odd.qfw")));
}

TEST(QfwContainer, CreationDialog) {
    TempDir dir;
    write_file(dir.file("in.bin"), std::string(8, '\x11'));
    const std::string qfw = dir.file("out.qfw");
    // A bad yes/no answer and an out-of-range version are asked again.
    feed_stdin(dir.file("in.bin") + "\n" + qfw + "\nmaybe\nn\n300\n3\n\n");
    OutputCapture cap;
    char line[] = "cg\n";
    EXPECT_EQ(V21_cmd_create_qfw(line, 0), 0);
    EXPECT_EQ(cap.out(), "Enter BIN file name[de62d2.bin]:"
                         "Enter QFW file name[de62d2.qfw]:"
                         "Encrypt file[yes]:Encrypt file[yes]:"
                         "Major version:[0]:Major version:[0]:"
                         "Minor version:[0]:"
                         "Reading file " +
                             dir.file("in.bin") +
                             "...Ok.\n"
                             "Raw checksum:0x00000000\n"
                             "Enc checksum:0x00000000\n"
                             "Version:3.0\n"
                             "Writing file " +
                             qfw + "...Ok.\n");
    const std::string data = read_file(qfw);
    ASSERT_EQ(data.size(), FW_FILE);
    EXPECT_EQ(le32(data, 48), 0x300u);
    EXPECT_EQ(le32(data, 68), 0u);
    EXPECT_EQ(data.substr(72, 8), std::string(8, '\x11'));
}

} // namespace
