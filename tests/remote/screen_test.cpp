// "cap screen" and "set conc lut" against the fake instrument.
#include <cmath>
#include <cstring>

#include "device.h"
#include "process.h"
#include "shell.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

using fake_comm::frame;

using Screen = RemoteTest;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

TEST_F(Screen, OnePixelScreenGivesTheBitmap) {
    Bytes screen(1060, 0);
    screen[0] = 0x80;    // top-left pixel
    screen[1053] = 0xFF; // past the image: not used
    fake_comm::answer(8213, frame(9213, screen));
    TempDir dir;
    const std::string path = dir.file("s.bmp");
    feed_stdin(path + "\n");
    OutputCapture cap;
    char line[] = "cs\n";
    EXPECT_EQ(V21_cmd_get_screen(line, 0), 0);
    EXPECT_EQ(cap.out(), "Capturing screen image...Ok.\n"
                         "Enter file name[screen.bmp]:");
    const Bytes bmp = bytes_of(read_file(path));
    ASSERT_EQ(bmp.size(), 1358u);
    const Bytes header = {
        'B', 'M', 0x4E, 0x05, 0,    0, 0, 0, 0,    0, 62, 0, 0, 0, // file
        40,  0,   0,    0,    128,  0, 0, 0, 81,   0, 0,  0,       // size
        1,   0,   1,    0,    0,    0, 0, 0, 0x10, 5, 0,  0,       // bits
        0,   0,   0,    0,    0,    0, 0, 0, 2,    0, 0,  0, 0, 0,
        0,   0,   0xFF, 0xFF, 0xFF, 0, 0, 0, 0,    0}; // palette
    EXPECT_EQ(Bytes(bmp.begin(), bmp.begin() + 62), header);
    Bytes pixels(1296, 0);
    pixels[80 * 16] = 0x80; // the last file row is the display's top row
    EXPECT_EQ(Bytes(bmp.begin() + 62, bmp.end()), pixels);
}

TEST_F(Screen, RowsAreStoredBottomFirstAndPadded) {
    Bytes screen(1060, 0);
    for (int row = 0; row < 81; row++)
        for (int b = 0; b < 13; b++)
            screen[row * 13 + b] = static_cast<unsigned char>(row + b);
    fake_comm::answer(8213, frame(9213, screen));
    TempDir dir;
    feed_stdin(dir.file("s.bmp") + "\n");
    OutputCapture cap;
    char line[] = "cs\n";
    ASSERT_EQ(V21_cmd_get_screen(line, 0), 0);
    const Bytes bmp = bytes_of(read_file(dir.file("s.bmp")));
    ASSERT_EQ(bmp.size(), 1358u);
    for (int file_row = 0; file_row < 81; file_row++) {
        const int row = 80 - file_row;
        const unsigned char *p = bmp.data() + 62 + file_row * 16;
        for (int b = 0; b < 13; b++)
            ASSERT_EQ(p[b], row + b) << file_row;
        EXPECT_EQ(p[13] | p[14] | p[15], 0) << file_row;
    }
}

TEST_F(Screen, FailuresAreReported) {
    OutputCapture cap;
    char line[] = "cs\n";
    fake_comm::answer(8213, frame(12290));
    EXPECT_EQ(V21_cmd_get_screen(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_get_screen error(code=1)!\n");

    fake_comm::answer(8213, frame(9213, Bytes(1060, 0)));
    TempDir dir;
    const std::string path = dir.file("no/such/dir.bmp");
    feed_stdin(path + "\n");
    cap.clear();
    EXPECT_EQ(V21_cmd_get_screen(line, 0), -1);
    EXPECT_EQ(cap.err(), "Error writing file:" + path + "!\n");

    if (file_exists("/dev/full")) {
        feed_stdin("/dev/full\n");
        cap.clear();
        EXPECT_EQ(V21_cmd_get_screen(line, 0), -1);
        EXPECT_EQ(cap.err(), "Error writing file:/dev/full!\n");
    }

    connected = 0;
    cap.clear();
    fake_comm::clear_records();
    char sc[] = "sc\n";
    EXPECT_EQ(V21_cmd_get_screen(line, 0), -1);
    EXPECT_EQ(V21_cmd_set_conc_lut(sc, 0), -1);
    EXPECT_EQ(cap.err(), "\nDevice not connected!\n\nDevice not connected!\n");
    EXPECT_TRUE(fake_comm::writes().empty());
}

// ---- Concentration tables ------------------------------------------------

struct ConcLut : RemoteTest {
    // Answers to every question after "LUT index": no load, the name, Enter
    // at the 24 record prompts, no save.
    static std::string defaults(const std::string &name = "") {
        std::string s = "n\n" + name + "\n";
        for (int i = 0; i < 24; i++)
            s += "\n";
        return s + "n\n";
    }
    static Bytes table(const std::string &name, float v0, float c0) {
        Bytes t(116, 0);
        WireWriter w(t.data(), t.size());
        w.bytes(4, name.data(), name.size());
        w.u32(16, 12);
        w.f32(20, v0);
        w.f32(68, c0);
        uint32_t sum = 0;
        WireReader r(t.data(), t.size());
        for (int off = 4; off < 116; off += 4)
            sum ^= r.u32(off);
        w.u32(0, sum);
        return t;
    }
    int run(const std::string &input) {
        feed_stdin(input);
        char line[] = "sc\n";
        return V21_cmd_set_conc_lut(line, 0);
    }
    uint32_t checksum_of(const std::string &file) {
        const Bytes &t = dev_.files.at(file);
        return t.size() < 4 ? 0 : WireReader(t.data(), t.size()).u32(0);
    }
};

TEST_F(ConcLut, ChecksumsOfNewTables) {
    OutputCapture cap;
    std::string input = "\n"; // appended to, not prepended: GCC 12 at -O3
    input += defaults();      // misreads a prepend as an overlapping copy
    ASSERT_EQ(run(input), 0);
    Bytes expected(116, 0);
    expected[0] = 0x0C; // only the record count is set
    expected[16] = 12;
    EXPECT_EQ(dev_.files.at("lut/lut01.dat"), expected);

    ASSERT_EQ(run("3\n" + defaults("A")), 0);
    EXPECT_EQ(checksum_of("lut/lut03.dat"), 0x4Du);
    EXPECT_EQ(dev_.files.at("lut/lut03.dat")[4], 'A');
}

TEST_F(ConcLut, NewTableDialogAndTheWritesInOrder) {
    OutputCapture cap;
    ASSERT_EQ(run("2\n" + defaults("Ore")), 0);
    const std::string out = cap.out();
    EXPECT_EQ(out.rfind("LUT index[1]:lut/lut02.dat\nCreating new.\n"
                        "Would you like to load LUT from file?[no]:"
                        "LUT name[]:Record 1/12\nvalue [-][0.000]:"
                        "conc  [%][0.000]:\nRecord 2/12\n",
                        0),
              0u);
    EXPECT_NE(out.find("Record 12/12\nvalue [-][0.000]:conc  [%][0.000]:\n"
                       "Would you like to save LUT to file?[no]:"
                       "Writing LUT...Ok.\n"),
              std::string::npos);
    const auto w = dev_.writes();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0].name, "lut");
    EXPECT_EQ(w[0].operation, 1u);
    for (int i = 1; i < 4; i++)
        EXPECT_EQ(w[i].name, "lut/lut02.dat");
    EXPECT_EQ(w[1].operation, 4u);
    EXPECT_EQ(w[2].operation, 2u);
    EXPECT_EQ(w[3].operation, 3u);
    EXPECT_EQ(w[3].data, table("Ore", 0, 0));
    EXPECT_TRUE(w[1].data.empty() && w[2].data.empty());
}

TEST_F(ConcLut, EditsTheCurrentTableWithinRanges) {
    dev_.files["lut/lut01.dat"] = table("Copper", 12.5f, 3.25f);
    OutputCapture cap;
    // A value above 20000 and a negative concentration are asked again.
    std::string input = "\nn\n\n20001\n100\n-1\n50\n";
    for (int i = 0; i < 22; i++)
        input += "\n";
    ASSERT_EQ(run(input + "n\n"), 0);
    const std::string out = cap.out();
    EXPECT_NE(out.find("Modyfying current.\n"), std::string::npos);
    EXPECT_NE(out.find("LUT name[Copper]:Record 1/12\nvalue [-][12.500]:"
                       "value [-][12.500]:conc  [%][3.250]:conc  [%][3.250]:"),
              std::string::npos);
    EXPECT_EQ(dev_.files.at("lut/lut01.dat"), table("Copper", 100, 50));
}

TEST_F(ConcLut, IndexBoundsAndDeletion) {
    OutputCapture cap;
    // 4 and -4 are out of range; 0 ends with nothing sent.
    EXPECT_EQ(run("4\n-4\n0\n"), 0);
    EXPECT_EQ(cap.out(), "LUT index[1]:LUT index[1]:LUT index[1]:");
    EXPECT_TRUE(fake_comm::writes().empty());

    dev_.files["lut/lut02.dat"] = table("Old", 1, 1);
    cap.clear();
    ASSERT_EQ(run("-2\n" + defaults()), 0);
    EXPECT_EQ(cap.out().rfind("LUT index[1]:Deleting lut with index 2.\n"
                              "lut/lut02.dat\nCreating new.\n",
                              0),
              0u);
    const auto w = dev_.writes();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].operation, 4u);
    EXPECT_EQ(w[0].name, "lut/lut02.dat");
    EXPECT_EQ(dev_.files.at("lut/lut02.dat"), table("", 0, 0));

    // A refused deletion ends the command before anything else.
    dev_.failing_writes = {6};
    cap.clear();
    EXPECT_EQ(run("-2\n"), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_conc_lut error(code=1)!\n");
    EXPECT_EQ(dev_.writes().size(), 6u);
    EXPECT_TRUE(dev_.reads().size() == 1u);
}

TEST_F(ConcLut, LocalFileLoadAndSave) {
    TempDir dir;
    // 50 bytes: checksum, name "Local", count 0 and some values.
    Bytes part = table("Local", 7, 0);
    part.resize(50);
    WireWriter(part.data(), part.size()).u32(16, 0);
    ASSERT_TRUE(write_file(dir.file("part.dat"),
                           std::string(part.begin(), part.end())));
    const std::string saved = dir.file("out.dat");
    std::string input = "1\ny\n" + dir.file("part.dat") + "\n\n";
    for (int i = 0; i < 24; i++)
        input += "\n";
    OutputCapture cap;
    ASSERT_EQ(run(input + "y\n" + saved + "\n"), 0);
    EXPECT_NE(cap.out().find("LUT name[Local]:Record 1/12\nvalue [-][7.000]:"),
              std::string::npos);
    // Count and checksum are set again before the table goes out.
    const Bytes expected = table("Local", 7, 0);
    EXPECT_EQ(dev_.files.at("lut/lut01.dat"), expected);
    EXPECT_EQ(read_file(saved), std::string(expected.begin(), expected.end()));

    // A missing local table: reported, the table stays as read.
    cap.clear();
    ASSERT_EQ(
        run("1\ny\n" + dir.file("none.dat") + "\n" + defaults().substr(2)), 0);
    EXPECT_EQ(cap.err(), "Error loading file.\n");
    EXPECT_EQ(dev_.files.at("lut/lut01.dat"), expected);

    // A table file that cannot be created or written: reported, and the
    // table still goes to the instrument; the command succeeds.
    std::vector<std::string> unwritable = {dir.file("no/dir.dat")};
    if (file_exists("/dev/full"))
        unwritable.push_back("/dev/full"); // created, then the write fails
    for (const std::string &bad : unwritable) {
        input = "1\n" + defaults();
        input.replace(input.size() - 2, 2, "y\n" + bad + "\n");
        cap.clear();
        EXPECT_EQ(run(input), 0) << bad;
        EXPECT_EQ(cap.err(), "Error saving file.\n");
        EXPECT_NE(cap.out().find("Writing LUT...Ok.\n"), std::string::npos);
    }
}

TEST_F(ConcLut, TableWrittenTwiceIsRewritten) {
    dev_.double_append = true; // the first append lands twice
    OutputCapture cap;
    ASSERT_EQ(run("1\n" + defaults("B")), 0);
    EXPECT_EQ(dev_.files.at("lut/lut01.dat"), table("B", 0, 0));
    const auto w = dev_.writes();
    ASSERT_EQ(w.size(), 7u); // mkdir, delete, create, append, and again
    EXPECT_EQ(w[4].operation, 4u);
    EXPECT_EQ(w[5].operation, 2u);
    EXPECT_EQ(w[6].operation, 3u);
    EXPECT_EQ(cap.err(), "");
}

TEST_F(ConcLut, SizeThatStaysWrongIsAnError) {
    // The instrument reports a size other than one table after each write.
    dev_.info_size = 232;
    OutputCapture cap;
    EXPECT_EQ(run("1\n" + defaults()), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_conc_lut error(code=-1)!\n");
    EXPECT_EQ(dev_.writes().size(), 7u);

    // A failed step stops the writes there.
    dev_.failing_writes = {7 + 3};
    cap.clear();
    EXPECT_EQ(run("1\n" + defaults()), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_conc_lut error(code=1)!\n");
    EXPECT_EQ(dev_.writes().size(), 10u);
}

} // namespace
