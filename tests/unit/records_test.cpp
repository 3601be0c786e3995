// Decoding of measurement records and the text forms of GPS positions and
// raw samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture.h"
#include "process.h"
#include "v21_records.h"
#include "wire.h"

namespace {

constexpr uint32_t NORTH = 1u << 7, EAST = 1u << 8, VALID = 1u << 9;

uint32_t packed(uint32_t deg_min, uint32_t fraction) {
    return deg_min | (fraction << 17);
}

std::string coords(const gps_fix *a, const gps_fix *b, double num, double den) {
    char out[64];
    format_gpx_coords(a, b, num, den, "%.8f %.8f", out, sizeof out);
    return out;
}

TEST(Gps, PackedCoordinatesAndHemispheres) {
    gps_fix f{VALID | NORTH | EAST, packed(4912, 3456), packed(1630, 0), 0};
    EXPECT_EQ(coords(&f, nullptr, 0, 1), "49.20576000 16.50000000");
    f.flags = VALID; // south and west
    EXPECT_EQ(coords(nullptr, &f, 0, 1), "-49.20576000 -16.50000000");
    // Bit 31 is not part of the coordinate.
    f.flags = VALID | NORTH | EAST;
    f.lat |= 1u << 31;
    EXPECT_EQ(coords(&f, nullptr, 0, 1), "49.20576000 16.50000000");
}

TEST(Gps, InvalidFixesAndInterpolation) {
    gps_fix a{VALID | NORTH | EAST, packed(1000, 0), packed(2000, 0), 0};
    gps_fix b{VALID | NORTH | EAST, packed(1100, 0), packed(2100, 0), 0};
    gps_fix bad{NORTH | EAST, packed(4912, 3456), packed(1630, 0), 7};
    EXPECT_EQ(coords(&a, &b, 1, 4), "10.25000000 20.25000000");
    EXPECT_EQ(coords(&bad, &b, 1, 4), "11.00000000 21.00000000");
    EXPECT_EQ(coords(&bad, nullptr, 1, 4), "0.00000000 0.00000000");

    OutputCapture cap;
    bad.flags |= 5u << 11; // five satellites, still invalid
    write_gps_coords(&bad);
    EXPECT_EQ(cap.out(), "lat=   0.00000000 lon=   0.00000000 alt=007 "
                         "num_sat=05\n");
    FILE *f = tmpfile();
    write_gps_coords_file(f, &bad);
    write_gps_coords_file(nullptr, &bad);
    rewind(f);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    fclose(f);
    EXPECT_STREQ(line, "   0.00000000    0.00000000 007 05     ");
}

// A record laid out field by field at its offsets.
std::vector<unsigned char> sample_record() {
    std::vector<unsigned char> buf(4063);
    WireWriter w(buf.data(), buf.size());
    w.i32(4, 123);
    w.i32(8, -7);
    w.u16(12, 2026);
    w.u8(14, 12);
    w.u8(15, 7);
    w.u8(16, 23);
    w.u8(17, 59);
    w.u8(18, 58);
    w.u32(19, 2u | (3u << 8) | (0x0Eu << 24)); // type 2, CurveS 3, kind 14
    w.u8(23, 1);
    w.u8(24, 2);
    w.u8(25, 12);
    w.u32(26, VALID);
    w.i32(38, -15);
    w.u8(42, 4);
    w.f32(43, 1.5f);
    w.f32(47, -2.25f);
    w.i32(87, 99);
    w.i32(91, 481);
    w.u8(95 + 59, 0x80); // sample 479 marked
    w.f32(155, 0.125f);
    w.f32(155 + 4 * 479, 9.0f);
    w.f32(2075 + 4 * 479, 8.0f);
    w.i32(3995, 42);
    w.bytes(3995 + 4, "0123456789ABCDEF", 16); // no terminator
    w.u8(3995 + 20, 1);
    w.i32(3995 + 52, 6);
    w.u32(3995 + 60, 1);
    w.f32(3995 + 64, 3.5f);
    return buf;
}

TEST(Record, FieldsDecodeAtTheirOffsets) {
    auto buf = sample_record();
    meas_record r;
    ASSERT_TRUE(decode_meas_record(buf.data(), buf.size(), &r));
    EXPECT_EQ(r.rec_no, 123);
    EXPECT_EQ(r.group_no, -7);
    EXPECT_EQ(r.year, 2026);
    EXPECT_EQ(r.second, 58);
    EXPECT_EQ(record_type(r), 2);
    EXPECT_EQ(record_curve_s(r), 3);
    EXPECT_EQ(record_kind(r), 14);
    EXPECT_EQ(r.dia, 12);
    EXPECT_EQ(r.gps.alt, -15);
    EXPECT_EQ(r.meas_mode, 4);
    EXPECT_EQ(r.susc, 1.5f);
    EXPECT_EQ(r.cond, -2.25f);
    EXPECT_EQ(r.counter, 99);
    EXPECT_EQ(record_sample_count(r), 480);
    EXPECT_TRUE(sample_marked(r, 479));
    EXPECT_FALSE(sample_marked(r, 478));
    EXPECT_EQ(r.susc_samples[0], 0.125f);
    EXPECT_EQ(r.cond_samples[479], 8.0f);
    EXPECT_EQ(r.borehole.bh_id, 42);
    EXPECT_STREQ(r.borehole.desc, "0123456789ABCDEF");
    EXPECT_STREQ(borehole_unit(r), "ft");
    EXPECT_EQ(r.borehole.core_num, 6);
    EXPECT_EQ(r.borehole.core_depth, 3.5f);

    // A short buffer never reads past its end and is reported.
    EXPECT_FALSE(decode_meas_record(buf.data(), 100, &r));
    EXPECT_EQ(r.rec_no, 123);
    EXPECT_EQ(r.borehole.bh_id, 0);
}

TEST(Record, UnitsFollowCurvesAndKindBits) {
    meas_record r{};
    EXPECT_STREQ(susc_unit(r), "SI");
    EXPECT_STREQ(cond_unit(r), "S/m");
    r.flags = (1u << 26) | (1u << 27);
    EXPECT_STREQ(susc_unit(r), "CGS");
    EXPECT_STREQ(cond_unit(r), "Ohm.m");
    r.flags |= (1u << 8) | (1u << 16);
    EXPECT_STREQ(susc_unit(r), "%");
    EXPECT_STREQ(cond_unit(r), "%");
    r.num_samples = -3;
    EXPECT_EQ(record_sample_count(r), 0);
}

TEST(Record, RawSampleFileHasAlways482Lines) {
    TempDir dir;
    auto buf = sample_record();
    meas_record r;
    decode_meas_record(buf.data(), buf.size(), &r);
    r.num_samples = 0;
    std::string path = dir.file("data.dat");
    EXPECT_EQ(save_meas(path.c_str(), &r), 0);
    std::string text = read_text_file(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 482);
    EXPECT_EQ(text.rfind("99\n0\n 0.125    0.0\n", 0), 0u);
    EXPECT_NE(text.find("\n 9.000    8.0\n"), std::string::npos);

    // The stored count is written as it is; the lines stay 480.
    r.num_samples = 481;
    EXPECT_EQ(save_meas(path.c_str(), &r), 0);
    text = read_text_file(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 482);
    EXPECT_EQ(text.rfind("99\n481\n", 0), 0u);

    OutputCapture cap;
    std::string bad = dir.file("missing/data.dat");
    EXPECT_EQ(save_meas(bad.c_str(), &r), -1);
    EXPECT_EQ(cap.err(), "Error writing file:" + bad + "!\n");
}

} // namespace
