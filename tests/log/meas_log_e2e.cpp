// The console against vo62-sim: the measurement log of the simulator's demo
// card downloaded with every save option, and the parameter commands. The
// expected output is worked out here from the card's own files, read with
// this file's own little-endian decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "process.h"
#include "sim_process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr int CONSOLE_TIMEOUT_MS = 60000;
constexpr size_t RECORD_SIZE = 4063, PARAMS_SIZE = 319;
constexpr const char *SERIAL = "A0004321";
// Enter at "Select connection type" and "Select device" reaches the
// simulator.
constexpr const char *CONNECT = "\n\n";

Bytes load(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

uint32_t le32(const Bytes &b, size_t off) {
    return uint32_t(b.at(off)) | uint32_t(b.at(off + 1)) << 8 |
           uint32_t(b.at(off + 2)) << 16 | uint32_t(b.at(off + 3)) << 24;
}
int32_t lei32(const Bytes &b, size_t off) {
    return int32_t(le32(b, off));
}
unsigned le16(const Bytes &b, size_t off) {
    return unsigned(b.at(off)) | unsigned(b.at(off + 1)) << 8;
}
float lef32(const Bytes &b, size_t off) {
    uint32_t bits = le32(b, off);
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// A record file as the summary and raw-sample files show it.
struct Rec {
    Bytes b;
    int32_t rec_no() const { return lei32(b, 4); }
    int32_t group() const { return lei32(b, 8); }
    int type() const { return int(le32(b, 19) & 3); }
    float susc() const { return lef32(b, 43); }
    float cond() const { return lef32(b, 47); }

    std::string date_time() const {
        return fmt("%.4d/%.2d/%.2d %.2d:%.2d:%.2d", le16(b, 12), b[14], b[15],
                   b[16], b[17], b[18]);
    }
    int curve_s() const { return int(le32(b, 19) >> 8 & 0xFF); }
    int curve_c() const { return int(le32(b, 19) >> 16 & 0xFF); }
    int samples() const { return std::clamp(lei32(b, 91), 0, 480); }

    std::string summary() const {
        std::string s;
        if (type() == 1) {
            s = fmt("%d %d %s %d,%d,%d,%d,%d,%2d %6.3f %6.1f [%2d/%2d]",
                    rec_no(), b[42], date_time().c_str(), type(), curve_s(),
                    curve_c(), b[23], b[24], b[25], double(susc()),
                    double(cond()), lei32(b, 87), lei32(b, 91));
        } else if (type() == 2) {
            s = fmt("%d %d %s %d %d %d %2d\n", rec_no(), b[42],
                    date_time().c_str(), type(), curve_s(), curve_c(),
                    lei32(b, 91));
            for (int i = 0; i < samples(); i++) {
                if (i % 5 == 0)
                    s += std::string(i ? "\n" : "") + std::string(16, ' ');
                bool mark = b[95 + size_t(i) / 8] >> (i % 8) & 1;
                s += fmt("%c%8.3f %6.1f%c", mark ? '[' : '(',
                         double(lef32(b, 155 + 4 * size_t(i))),
                         double(lef32(b, 2075 + 4 * size_t(i))),
                         mark ? ']' : ')');
            }
            s += "\n";
        }
        return s + gps() + "\n";
    }
    static double degrees(uint32_t v) {
        uint32_t dm = v & 0x1FFFF;
        double whole = dm / 100, minutes = dm % 100;
        double fraction = (v >> 17) & 0x3FFF;
        return whole + ((minutes / 100 + fraction / 1000000) / 60) * 100;
    }
    std::string gps() const {
        uint32_t flags = le32(b, 26);
        double lat = 0, lon = 0;
        if (flags & (1u << 9)) {
            lat = degrees(le32(b, 30)) * ((flags & (1u << 7)) ? 1 : -1);
            lon = degrees(le32(b, 34)) * ((flags & (1u << 8)) ? 1 : -1);
        }
        return fmt("%13.8f %13.8f %.3d %.2d     ", lat, lon, lei32(b, 38),
                   int(flags >> 11 & 0x1F));
    }
    std::string raw_samples() const {
        std::string s = fmt("%d\n%d\n", lei32(b, 87), lei32(b, 91));
        for (size_t i = 0; i < 480; i++)
            s += fmt("%6.3f %6.1f\n", double(lef32(b, 155 + 4 * i)),
                     double(lef32(b, 2075 + 4 * i)));
        return s;
    }
};

std::string stats(float sum, float sq, int n) {
    if (n == 1)
        return std::string(76, '-') + "\n\n";
    if (n < 2)
        return "";
    float avg = sum / float(n);
    float var = (sq - float(n) * avg * avg) / float(n - 1);
    float sd = var > 0 ? std::sqrt(var) : 0.0f;
    return fmt("--- %6.3f +/- %6.3f %s\n\n", double(avg), double(sd),
               std::string(54, '-').c_str());
}

std::string slot_path(const std::string &card, const char *f, int slot) {
    char name[64];
    snprintf(name, sizeof name, f, slot);
    return card + "/" + name;
}

class ConsoleOnSim : public ::testing::Test {
  protected:
    ProcessResult console(const std::string &input) {
        return run_process({console_binary_path()}, input, sim_->env(),
                           CONSOLE_TIMEOUT_MS, false, work_.path());
    }
    void start(const std::string &card = "") {
        if (sim_binary_path().empty())
            GTEST_SKIP() << "vo62-sim is not built";
        sim_ = std::make_unique<SimProcess>(
            std::vector<std::string>{"--seed", "7", "--serial", SERIAL}, card);
        ASSERT_TRUE(sim_->started()) << sim_->output();
    }
    std::string params_file() const {
        return sim_->card_dir() + "/.vo62sim/params.bin";
    }

    TempDir work_;
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(ConsoleOnSim, MeasLogOfTheDemoCardWithEverySaveOption) {
    start();
    const std::string card = sim_->card_dir();
    const Bytes params = load(params_file());
    ASSERT_EQ(params.size(), PARAMS_SIZE);
    const int n = lei32(params, 94);

    // The slot table as the card holds it.
    std::string listing, dump;
    int listed = 0;
    std::vector<std::pair<uint32_t, int>> keyed;
    std::map<int, Rec> recs;
    for (int i = 0; i < n; i++) {
        uint32_t key = 0;
        if (fs::exists(slot_path(card, "meas/meas%.4d.dat", i))) {
            Bytes uid = load(slot_path(card, "meas/%.4d.uid", i));
            ASSERT_EQ(uid.size(), 4u) << i;
            key = le32(uid, 0);
            recs[i] = Rec{load(slot_path(card, "meas/meas%.4d.dat", i))};
            ASSERT_EQ(recs[i].b.size(), RECORD_SIZE) << i;
        }
        dump += fmt("%d/%d   %d\n", i, n, int32_t(key));
        if (int32_t(key) > 0) {
            bool note = fs::exists(slot_path(card, "notes/rec%.4d.wav", i));
            listing +=
                fmt("[%.4d] : %d %s\n", i, int32_t(key), note ? " note" : "");
            listed++;
        }
        if (key != 0 && key != 0xFFFFFFFF)
            keyed.push_back({key, i});
    }
    std::sort(keyed.begin(), keyed.end());
    ASSERT_GT(keyed.size(), 10u);

    ProcessResult r = console(std::string(CONNECT) + "ml\ny\ny\ny\ny\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find("rror"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(fmt("Downloading entry table(%d entries)", n)),
              std::string::npos);
    EXPECT_NE(r.out.find(listing +
                         fmt("Meas log num entries = %d\n\n", listed) +
                         "Serial = " + SERIAL + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(fmt("Num downloaded records:%d\n", int(keyed.size()))),
              std::string::npos);
    EXPECT_EQ(read_file(work_.file("aaa")), dump);

    // Records in key order, every file of the directory.
    const std::string dir = work_.file("kappa_4321") + "/";
    std::set<std::string> expect_files = {"kappa.dat"};
    std::string summary, order_text;
    float ss = 0, sqs = 0, sc = 0, sqc = 0;
    int count = 0;
    int32_t prev = -1;
    size_t at = 0;
    for (auto [key, slot] : keyed) {
        const Rec &rec = recs[slot];
        at = r.out.find(fmt("Downloading record[%d,4063]", slot), at);
        EXPECT_NE(at, std::string::npos) << "slot " << slot;
        if (rec.group() != prev) {
            summary += stats(ss, sqs, count) + stats(sc, sqc, count);
            ss = sqs = sc = sqc = 0;
            count = 0;
        }
        prev = rec.group();
        if (rec.type() == 1) {
            ss += rec.susc();
            sqs += rec.susc() * rec.susc();
            sc += rec.cond();
            sqc += rec.cond() * rec.cond();
            count++;
        }
        summary += rec.summary();
        std::string raw = fmt("data%.8d.dat", rec.rec_no());
        expect_files.insert(raw);
        EXPECT_EQ(read_file(dir + raw), rec.raw_samples()) << raw;
        for (auto [dev, local] :
             {std::pair{"notes/rec%.4d.wav", "rec%.8d.wav"},
              std::pair{"aux/aux%.4d.dat", "aux%.8d.dat"}}) {
            std::string from = slot_path(card, dev, slot);
            if (!fs::exists(from))
                continue;
            std::string to = fmt(local, rec.rec_no());
            expect_files.insert(to);
            EXPECT_EQ(read_file(dir + to), read_file(from)) << to;
        }
    }
    summary += stats(ss, sqs, count) + stats(sc, sqc, count);
    EXPECT_EQ(read_file(dir + "kappa.dat"), summary);
    std::set<std::string> files;
    for (const auto &e : fs::directory_iterator(dir))
        files.insert(e.path().filename().string());
    EXPECT_EQ(files, expect_files);
}

TEST_F(ConsoleOnSim, GetParamsSavesTheWholeListing) {
    start();
    const Bytes params = load(params_file());
    ASSERT_EQ(params.size(), PARAMS_SIZE);
    ProcessResult r = console(std::string(CONNECT) + "gp\ny\ny\n\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err.find("rror"), std::string::npos) << r.err;
    const std::string file = read_file(work_.file("params_A0004321.txt"));
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 93);
    EXPECT_NE(r.out.find("[params_A0004321.txt]:" + file), std::string::npos);
    // A few fields, each of its own kind, as the card holds them.
    EXPECT_NE(file.find(fmt("Params.contrast          = %d\n", params[102])),
              std::string::npos);
    EXPECT_NE(
        file.find(fmt("Params.max_stored_meas   = %d\n", lei32(params, 94))),
        std::string::npos);
    EXPECT_NE(file.find(fmt("Params.gps_addr[2]       = 0x%.2X\n", params[84])),
              std::string::npos);
    EXPECT_NE(file.find(fmt("Params.calib.fs            = %.2f\n",
                            double(lef32(params, 4 + 16)))),
              std::string::npos);
    EXPECT_NE(file.find(fmt("Params.calib2_pin.a            = %.7f\n",
                            double(lef32(params, 223)))),
              std::string::npos);
    EXPECT_EQ(file.rfind("Params.audio_vol         = ", 0), 0u);
}

TEST_F(ConsoleOnSim, SetParamsWithEnterEverywhereChangesOnlyTheHostFlag) {
    // A record with a different value in every byte, a signalling NaN among
    // the floats, and a slot count the instrument takes.
    TempDir own;
    const std::string card = own.file("card");
    fs::create_directories(card + "/.vo62sim");
    Bytes seed(PARAMS_SIZE);
    for (size_t i = 0; i < seed.size(); i++)
        seed[i] = uint8_t(i * 7 + 3);
    const uint32_t snan = 0x7FA00001;
    memcpy(&seed[20], &snan, 4);
    seed[94] = 100, seed[95] = seed[96] = seed[97] = 0;
    seed[99] = 0;
    {
        std::ofstream f(card + "/.vo62sim/params.bin", std::ios::binary);
        f.write(reinterpret_cast<const char *>(seed.data()), long(seed.size()));
    }
    start(card);
    ASSERT_EQ(load(params_file()), seed);
    std::string input = std::string(CONNECT) + "sp\ny\n";
    input += std::string(100, '\n'); // more than the prompts: the menu skips
    input += "q\n";
    ProcessResult r = console(input);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err.find("rror"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Params.bt_baud_rate["), std::string::npos);
    Bytes expect = seed;
    expect[99] = 1;
    EXPECT_EQ(load(params_file()), expect);
}

} // namespace
