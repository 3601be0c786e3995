// The console against vo62-sim: remote measurement, scanner, raw values,
// memory report, screen bitmap, concentration tables and log maintenance.
// Results are checked against the simulator's card and screen, decoded here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "capture.h"
#include "process.h"
#include "sim_client.h"
#include "sim_process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRunMs = 60000;
constexpr int kStepMs = 20000;
// The connection dialog: USB, then the first device listed (the simulator).
const std::string kConnect = "\n\n";

ByteVec bytes_of(const std::string &s) {
    return ByteVec(s.begin(), s.end());
}

// Runs the console to its end with the given commands after the dialog.
ProcessResult run_console(const SimProcess &sim, const std::string &commands,
                          const std::string &cwd) {
    return run_process({console_binary_path()}, kConnect + commands, sim.env(),
                       kRunMs, false, cwd);
}

// An interactive console: waits for texts to appear (counted) before the
// next answer is typed.
class Console {
  public:
    Console(const SimProcess &sim, const std::string &cwd)
        : c_({console_binary_path()}, sim.env(), false, cwd) {
        c_.send(kConnect);
    }
    void send(const std::string &text) { c_.send(text); }
    // Waits until text occurs at least n times in the output.
    bool wait_count(const std::string &text, size_t n, int ms = kStepMs) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (count_of(c_.out(), text) < n) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            c_.wait_output("\x01", 20); // collects output meanwhile
        }
        return true;
    }
    std::string out() const { return c_.out(); }
    ProcessResult finish() { return c_.finish(kStepMs); }

  private:
    ChildProcess c_;
};

#define REQUIRE_SIM()                                                          \
    if (sim_binary_path().empty())                                             \
    GTEST_SKIP() << "vo62-sim is not built"

// ---- Measurement records, decoded from the card -------------------------

struct Record {
    uint32_t flags = 0;
    int pin = 0, error = 0, dia = 0, meas_mode = 0;
    float susc = 0, cond = 0;
    int32_t counter = 0, num_samples = 0;
    ByteVec raw;
};

Record read_record(const std::string &path) {
    Record r;
    r.raw = bytes_of(read_file(path));
    if (r.raw.size() != 4063)
        return r;
    r.flags = get_u32(r.raw, 19);
    r.pin = r.raw[23];
    r.error = r.raw[24];
    r.dia = r.raw[25];
    r.meas_mode = r.raw[42];
    r.susc = get_f32(r.raw, 43);
    r.cond = get_f32(r.raw, 47);
    r.counter = static_cast<int32_t>(get_u32(r.raw, 87));
    r.num_samples = static_cast<int32_t>(get_u32(r.raw, 91));
    return r;
}

TEST(RemoteE2E, MeasureShowsLiveLinesAndTheResultCancelShowsNothing) {
    REQUIRE_SIM();
    SimProcess sim({"--measure-ms", "300", "--seed", "5"});
    ASSERT_TRUE(sim.started()) << sim.output();
    TempDir cwd;
    const std::string last = sim.card_dir() + "/meas/last.dat";
    const std::string before = read_file(last);

    // A cancelled measurement first, then one that runs.
    ProcessResult r = run_console(sim, "me\n1\nme\n0\n", cwd.path());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    const std::string &out = r.out;
    const size_t second = out.find(">0-Trigger,1-Cancel[0]:", 0);
    ASSERT_NE(second, std::string::npos) << out;
    const size_t run = out.find(">0-Trigger,1-Cancel[0]:", second + 1);
    ASSERT_NE(run, std::string::npos) << out;
    // The cancel ends at once: no live line, no download, no result.
    EXPECT_EQ(out.substr(second, run - second), ">0-Trigger,1-Cancel[0]:");

    const std::string measured = out.substr(run);
    Record rec = read_record(last);
    ASSERT_EQ(rec.raw.size(), 4063u);
    EXPECT_NE(read_file(last), before);
    char result[256];
    snprintf(result, sizeof result,
             "Type=%d,MeasMode=%d,Curve1=%d,Curve2=%d,Pin=%d,Error=%d,"
             "Dia=%2d    Susc=%6.3f Cond=%6.1f [%2d/%2d]\n",
             rec.flags & 3, rec.meas_mode, (rec.flags >> 8) & 0xFF,
             (rec.flags >> 16) & 0xFF, rec.pin, rec.error, rec.dia,
             static_cast<double>(rec.susc), static_cast<double>(rec.cond),
             rec.counter, rec.num_samples);
    char finished[128];
    snprintf(finished, sizeof finished,
             "Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n", rec.error,
             static_cast<double>(rec.susc), static_cast<double>(rec.cond));
    const size_t start = measured.find("Start of measurement\n");
    const size_t progress = measured.find("   Progress:100\n");
    const size_t fin = measured.find(finished);
    const size_t download = measured.find("Downloading record[-1,4063]0.450.");
    const size_t line = measured.find("Ok\n" + std::string(result));
    EXPECT_NE(start, std::string::npos) << measured;
    EXPECT_NE(line, std::string::npos) << measured << result;
    EXPECT_LT(start, progress);
    EXPECT_LT(progress, fin);
    EXPECT_LT(fin, download);
    EXPECT_LT(download, line) << measured;
    EXPECT_TRUE(sim.stop());
}

TEST(RemoteE2E, ScannerWithThreeTriggersPrintsOneMarkedSampleList) {
    REQUIRE_SIM();
    SimProcess sim({"--scan-ms", "40"});
    ASSERT_TRUE(sim.started()) << sim.output();
    TempDir cwd;
    Console c(sim, cwd.path());
    c.send("sn\n");
    const std::string prompt = "0-Trigger,1-Stop[0]:";
    ASSERT_TRUE(c.wait_count(prompt, 1)) << c.out();
    // Each trigger marks the current sample: let two samples pass between
    // triggers so that three samples are marked.
    for (size_t k = 1; k <= 3; k++) {
        ASSERT_TRUE(c.wait_count("   Progress:", 2 * k)) << c.out();
        c.send("0\n");
        ASSERT_TRUE(c.wait_count(prompt, k + 1)) << c.out();
    }
    ASSERT_TRUE(c.wait_count("   Progress:", 8)) << c.out();
    c.send("1\n");
    ASSERT_TRUE(c.wait_count("Meas time:", 1)) << c.out();
    ProcessResult r = c.finish();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(count_of(r.out, "Meas time:"), 1u);
    EXPECT_EQ(count_of(r.out, "Scanner start:"), 1u);

    Record rec = read_record(sim.card_dir() + "/meas/last.dat");
    ASSERT_GE(rec.num_samples, 8);
    ASSERT_LE(rec.num_samples, 480);
    char buf[64];
    snprintf(buf, sizeof buf, "Meas time:%2d\n", rec.num_samples);
    std::string expected = buf;
    int marked = 0;
    for (int i = 0; i < rec.num_samples; i++) {
        if (i > 0 && i % 5 == 0)
            expected += "\n";
        const bool mark = rec.raw[95 + i / 8] & (1u << (i % 8));
        marked += mark;
        snprintf(buf, sizeof buf, "%c%8.3f %6.1f%c", mark ? '[' : ' ',
                 static_cast<double>(get_f32(rec.raw, 155 + 4 * i)),
                 static_cast<double>(get_f32(rec.raw, 2075 + 4 * i)),
                 mark ? ']' : ' ');
        expected += buf;
    }
    expected += "\n>";
    EXPECT_EQ(marked, 3);
    const size_t at = r.out.find("Meas time:");
    EXPECT_EQ(r.out.substr(at, expected.size()), expected);
    EXPECT_TRUE(sim.stop());
}

TEST(RemoteE2E, MeasureDataWritesTheValuesAndMemoryUsagePrints) {
    REQUIRE_SIM();
    SimProcess sim;
    ASSERT_TRUE(sim.started()) << sim.output();
    TempDir cwd;
    ProcessResult r = run_console(sim, "md\n5\ny\n\nmu\n", cwd.path());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    const std::string file = read_file(cwd.file("samples.dat"));
    EXPECT_TRUE(std::regex_match(file, std::regex("(-?[0-9]+\n){5}"))) << file;
    EXPECT_NE(r.out.find("Enter file name[samples.dat]:" + file + ">"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(">Heap avail:[0-9]+ bytes\n[^\n>]+[^>]*\n>")))
        << r.out;
    EXPECT_TRUE(sim.stop());
}

// ---- Screen ---------------------------------------------------------------

// A plain reader of uncompressed 1-bit bitmaps: pixel (x, y), y from the
// top, true when its palette colour is dark.
struct Bitmap {
    int width = 0, height = 0;
    std::vector<std::vector<bool>> dark;
};

bool decode_bmp(const ByteVec &b, Bitmap *out, std::string *why) {
    auto fail = [why](const char *m) {
        *why = m;
        return false;
    };
    if (b.size() < 62 || b[0] != 'B' || b[1] != 'M')
        return fail("no bitmap signature");
    if (get_u32(b, 2) != b.size())
        return fail("file size field differs from the file");
    const uint32_t data = get_u32(b, 10), info = get_u32(b, 14);
    const int32_t width = static_cast<int32_t>(get_u32(b, 18));
    const int32_t height = static_cast<int32_t>(get_u32(b, 22));
    if (info < 40 || get_u16(b, 26) != 1 || get_u16(b, 28) != 1 ||
        get_u32(b, 30) != 0)
        return fail("not an uncompressed 1-bit bitmap");
    uint32_t colours = get_u32(b, 46);
    if (colours == 0)
        colours = 2;
    const size_t palette = 14 + info;
    if (width <= 0 || height == 0 || palette + 4 * colours > data)
        return fail("bad geometry or palette");
    const size_t stride = ((static_cast<size_t>(width) + 31) / 32) * 4;
    const int rows = height < 0 ? -height : height;
    if (data + stride * rows > b.size())
        return fail("pixel data cut short");
    bool dark_colour[2];
    for (int i = 0; i < 2; i++) {
        const size_t p = palette + 4 * i;
        dark_colour[i] = b[p] + b[p + 1] + b[p + 2] < 3 * 128;
    }
    out->width = width;
    out->height = rows;
    out->dark.assign(rows, std::vector<bool>(width));
    for (int r = 0; r < rows; r++) {
        const int y = height > 0 ? rows - 1 - r : r;
        const uint8_t *row = b.data() + data + stride * r;
        for (int x = 0; x < width; x++)
            out->dark[y][x] = dark_colour[(row[x / 8] >> (7 - x % 8)) & 1];
    }
    return true;
}

ByteVec fetch_screen(const SimProcess &sim) {
    SimClient client;
    WireFrame reply;
    if (!client.open_pty(sim.pty()) || !client.request(8213, {}, reply) ||
        reply.code != 9213)
        return {};
    return reply.payload;
}

bool screen_matches(const Bitmap &bmp, const ByteVec &screen) {
    if (screen.size() < 81 * 13)
        return false;
    for (int y = 0; y < 81; y++)
        for (int x = 0; x < 104; x++)
            if (bmp.dark[y][x] !=
                bool(screen[y * 13 + x / 8] & (0x80 >> x % 8)))
                return false;
    return true;
}

TEST(RemoteE2E, ScreenBitmapDecodesToTheSimulatorsScreen) {
    REQUIRE_SIM();
    SimProcess sim;
    ASSERT_TRUE(sim.started()) << sim.output();
    TempDir cwd;
    // The screen shows the clock's minute: the console's capture equals the
    // screen read just before or just after it.
    const ByteVec before = fetch_screen(sim);
    ProcessResult r = run_console(sim, "cs\n\n", cwd.path());
    const ByteVec after = fetch_screen(sim);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(">Capturing screen image...Ok.\n"
                         "Enter file name[screen.bmp]:>"),
              std::string::npos)
        << r.out;
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());

    const ByteVec file = bytes_of(read_file(cwd.file("screen.bmp")));
    EXPECT_EQ(file.size(), 1358u);
    Bitmap bmp;
    std::string why;
    ASSERT_TRUE(decode_bmp(file, &bmp, &why)) << why;
    ASSERT_EQ(bmp.width, 128);
    ASSERT_EQ(bmp.height, 81);
    EXPECT_TRUE(screen_matches(bmp, before) || screen_matches(bmp, after));
    int black = 0;
    for (int y = 0; y < 81; y++) {
        for (int x = 0; x < 128; x++)
            black += bmp.dark[y][x];
        for (int x = 104; x < 128; x++)
            ASSERT_FALSE(bmp.dark[y][x]) << x << "," << y;
    }
    EXPECT_GT(black, 100); // the simulator's text is there
    EXPECT_TRUE(sim.stop());
}

// ---- Concentration table ------------------------------------------------

TEST(RemoteE2E, ConcentrationTableIsWrittenThenDeletedAndRecreated) {
    REQUIRE_SIM();
    SimProcess sim;
    ASSERT_TRUE(sim.started()) << sim.output();
    TempDir cwd;
    std::string edit = "sc\n2\nn\nZinc\n100\n1.5\n200\n2.5\n";
    edit += std::string(20, '\n') + "n\n";
    std::string renew = "sc\n-2\nn\n\n" + std::string(24, '\n') + "n\n";
    const std::string table = sim.card_dir() + "/lut/lut02.dat";

    ProcessResult r = run_console(sim, edit, cwd.path());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(">LUT index[1]:lut/lut02.dat\nCreating new.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Writing LUT...Ok.\n"), std::string::npos);
    ByteVec t = bytes_of(read_file(table));
    ASSERT_EQ(t.size(), 116u);
    uint32_t sum = 0;
    for (size_t off = 4; off < 116; off += 4)
        sum ^= get_u32(t, off);
    EXPECT_EQ(get_u32(t, 0), sum);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(t.data() + 4), 5),
              std::string("Zinc\0", 5));
    EXPECT_EQ(get_u32(t, 16), 12u);
    EXPECT_EQ(get_f32(t, 20), 100.0f);
    EXPECT_EQ(get_f32(t, 24), 200.0f);
    EXPECT_EQ(get_f32(t, 68), 1.5f);
    EXPECT_EQ(get_f32(t, 72), 2.5f);
    for (size_t off = 28; off < 68; off += 4)
        EXPECT_EQ(get_u32(t, off), 0u) << off;
    for (size_t off = 76; off < 116; off += 4)
        EXPECT_EQ(get_u32(t, off), 0u) << off;

    // Editing again shows the stored table; a local copy that cannot be
    // saved is reported and the instrument's table is written all the same.
    r = run_console(sim,
                    "sc\n2\nn\n\n" + std::string(24, '\n') +
                        "y\nno/such/dir/conclut.dat\n",
                    cwd.path());
    EXPECT_EQ(r.err, "Error saving file.\n");
    EXPECT_NE(r.out.find("lut/lut02.dat\nModyfying current.\n"),
              std::string::npos);
    EXPECT_NE(
        r.out.find("Enter LUT file name[conclut.dat]:Writing LUT...Ok.\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("LUT name[Zinc]:Record 1/12\nvalue [-][100.000]:"
                         "conc  [%][1.500]:"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(bytes_of(read_file(table)), t);

    r = run_console(sim, renew, cwd.path());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(">LUT index[1]:Deleting lut with index 2.\n"
                         "lut/lut02.dat\nCreating new.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("LUT name[]:"), std::string::npos);
    ByteVec fresh(116, 0);
    fresh[0] = 0x0C;
    fresh[16] = 12;
    EXPECT_EQ(bytes_of(read_file(table)), fresh);
    EXPECT_TRUE(sim.stop());
}

// ---- A busy or failing instrument ---------------------------------------

// Every file of a directory with its contents.
std::map<std::string, std::string> tree(const std::string &dir) {
    std::map<std::string, std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        out[fs::relative(e.path(), dir).string()] =
            e.is_regular_file() ? read_file(e.path().string()) : "/";
    return out;
}

TEST(RemoteE2E, WhatTheInstrumentDidNotGiveIsNeverReportedAsSuccess) {
    REQUIRE_SIM();
    // The demo card of seed 7 (with table 1), made once.
    TempDir base;
    const std::string card = base.file("card");
    {
        SimProcess sim({"--seed", "7"}, card);
        ASSERT_TRUE(sim.started()) << sim.output();
        ASSERT_TRUE(sim.stop());
    }
    const auto before = tree(card);
    const std::string sp_answers = "sp\nn\n" + std::string(16, '\n');
    const std::string sc_answers = "sc\n1\nn\n" + std::string(25, '\n') + "n\n";
    struct {
        std::vector<std::string> faults;
        std::string commands, error;
    } cases[] = {
        // Three "busy" replies to the entry table, to the serial, to the
        // parameters: the request failed, whatever their status.
        {{"retry:code=8204,count=3,status=0"},
         "ml\nn\nn\nn\nn\n",
         "Command V21_cmd_get_meas_log error(code=1)!\n"},
        {{"retry:code=8007,skip=1,count=3,status=0"},
         "ml\ny\nn\nn\nn\n",
         "Command M17_cmd_get_serial error(code=1)!\n"},
        {{"retry:code=8202,count=3,status=0"},
         sp_answers,
         "Command V21_cmd_set_params error(code=1)!\n"},
        // The existing table could not be read, and the instrument says it
        // exists, or cannot be asked: it is not replaced.
        {{"fail:code=8211,count=1"},
         sc_answers,
         "Command V21_cmd_set_conc_lut error(code=1)!\n"},
        {{"fail:code=8211,count=1", "silent:code=8209"},
         sc_answers,
         "Command V21_cmd_set_conc_lut error(code=255)!\n"},
        // A key event whose reply comes late is not sent again (a second
        // "down" would open the scanner); one acknowledged but not carried
        // out leaves the old result, which is not printed as new.
        {{"stall:ms=900,code=8022,count=1"},
         "me\n0\n",
         "Command V21_cmd_measure error(code=255)!\n"},
        {{"noop:code=8022,skip=3,count=1"},
         "me\n0\n",
         "No new result: the instrument's last measurement is still record "},
        {{"noop:code=8022,skip=3,count=1"},
         "sn\n1\n",
         "No new result: the instrument's last measurement is still record "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.faults.back());
        TempDir cwd;
        const std::string cell = cwd.file("card");
        fs::copy(card, cell, fs::copy_options::recursive);
        {
            std::vector<std::string> args = {"--seed", "7"};
            for (const std::string &f : c.faults)
                args.insert(args.end(), {"--fault", f});
            SimProcess sim(args, cell);
            ASSERT_TRUE(sim.started()) << sim.output();
            ProcessResult r = run_console(sim, c.commands, cwd.path());
            ASSERT_FALSE(r.timed_out);
            EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("Num downloaded records:"), std::string::npos);
            EXPECT_EQ(r.out.find("Writing LUT..."), std::string::npos);
            EXPECT_EQ(r.out.find("Creating new."), std::string::npos);
            EXPECT_EQ(r.out.find("Meas time:"), std::string::npos);
            EXPECT_EQ(r.out.find("Type="), std::string::npos);
            ASSERT_TRUE(sim.stop());
        }
        // Nothing written on the instrument or on the PC.
        EXPECT_TRUE(tree(cell) == before);
        fs::remove_all(cell);
        EXPECT_TRUE(tree(cwd.path()).empty());
    }
}

// ---- Log maintenance ----------------------------------------------------

std::set<std::string> card_files(const std::string &card) {
    std::set<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(card)) {
        const std::string rel = fs::relative(e.path(), card).string();
        if (e.is_regular_file() && rel.rfind(".vo62sim", 0) != 0 &&
            rel != "raw")
            out.insert(rel);
    }
    return out;
}

std::set<std::string> minus(const std::set<std::string> &a,
                            const std::set<std::string> &b) {
    std::set<std::string> out;
    for (const auto &s : a)
        if (!b.count(s))
            out.insert(s);
    return out;
}

std::set<std::string> matching(const std::set<std::string> &files,
                               const std::string &pattern) {
    std::set<std::string> out;
    for (const auto &s : files)
        if (std::regex_match(s, std::regex(pattern)))
            out.insert(s);
    return out;
}

TEST(RemoteE2E, DeletePurgeAndClearRemoveExactlyTheirFiles) {
    REQUIRE_SIM();
    SimProcess sim({"--seed", "11"});
    ASSERT_TRUE(sim.started()) << sim.output();
    const std::string card = sim.card_dir();
    const std::set<std::string> s0 = card_files(card);
    // A slot with every kind of file.
    int slot = -1;
    for (int i = 0; i < 100 && slot < 0; i++) {
        char n[4][32];
        snprintf(n[0], 32, "meas/meas%.4d.dat", i);
        snprintf(n[1], 32, "notes/rec%.4d.wav", i);
        snprintf(n[2], 32, "aux/aux%.4d.dat", i);
        snprintf(n[3], 32, "meas/%.4d.uid", i);
        if (s0.count(n[0]) && s0.count(n[1]) && s0.count(n[2]) &&
            s0.count(n[3]))
            slot = i;
    }
    ASSERT_GE(slot, 0) << "the demo log has no slot with a note and aux data";
    char sn[16];
    snprintf(sn, sizeof sn, "%.4d", slot);
    const std::string id = sn;

    TempDir cwd;
    Console c(sim, cwd.path());
    c.send("dr\n" + std::to_string(slot) + "\n");
    ASSERT_TRUE(c.wait_count("Select entry index[0]:Ok.\n", 1)) << c.out();
    const std::set<std::string> s1 = card_files(card);
    EXPECT_EQ(minus(s0, s1),
              (std::set<std::string>{"aux/aux" + id + ".dat",
                                     "meas/meas" + id + ".dat",
                                     "notes/rec" + id + ".wav"}));
    EXPECT_TRUE(minus(s1, s0).empty());

    c.send("pu\ny\n");
    ASSERT_TRUE(c.wait_count("Done.\n", 1)) << c.out();
    const std::set<std::string> s2 = card_files(card);
    const auto purged = matching(
        s1, R"((meas/meas\d{4}\.dat)|(meas/\d{4}\.uid)|(notes/rec\d{4}\.wav))");
    EXPECT_FALSE(purged.empty());
    EXPECT_EQ(minus(s1, s2), purged);
    EXPECT_TRUE(minus(s2, s1).empty());
    EXPECT_FALSE(matching(s2, R"(aux/aux\d{4}\.dat)").empty());

    c.send("cl\n");
    ASSERT_TRUE(c.wait_count(">Ok.\n", 1)) << c.out();
    const std::set<std::string> s3 = card_files(card);
    EXPECT_EQ(minus(s2, s3), matching(s2, R"(aux/aux\d{4}\.dat)"));
    EXPECT_TRUE(s3.count("meas/last.dat"));
    EXPECT_TRUE(s3.count("lut/lut01.dat"));

    ProcessResult r = c.finish();
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(">Purge records[no]:Purging.....Done.\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(sim.stop());
}

} // namespace
