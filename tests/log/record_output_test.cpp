// How the log download prints records of every type and kind, on the
// console and in the summary file, and the statistics lines of a group.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "capture.h"
#include "record_builder.h"
#include "v21_cmds.h"

namespace {

constexpr uint32_t NORTH = 1u << 7, EAST = 1u << 8, VALID = 1u << 9;
const std::string GPS_PAD(20, ' ');
const std::string SAMPLE_PAD(16, ' ');
const std::string NO_FIX =
    GPS_PAD + "lat=   0.00000000 lon=   0.00000000 alt=000 num_sat=00\n";

// Console and summary-file text of one record.
struct Printed {
    std::string console, summary;
};

Printed print(const RecordSpec &spec) {
    OutputCapture cap;
    FILE *f = tmpfile();
    meas_record r = spec.decoded();
    print_meas_record(r, f);
    Printed p{cap.out(), ""};
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        p.summary.append(buf, n);
    fclose(f);
    return p;
}

RecordSpec single() {
    RecordSpec s;
    s.rec_no = 10;
    s.meas_mode = 2;
    s.group_no = 7;
    s.pin = 1;
    s.dia = 5;
    s.susc = 1.25f;
    s.cond = 10.5f;
    s.counter = 3;
    s.num_samples = 4;
    s.gps_flags = VALID | NORTH | EAST | (7u << 11);
    s.lat = 4912 | (3456u << 17);
    s.lon = 1630;
    s.alt = 250;
    return s;
}

TEST(RecordOutput, SingleReading) {
    Printed p = print(single());
    EXPECT_EQ(p.console,
              "10: 2 7 2025/03/04 05:06:07 Type=1,CurveS=0,CurveC=0,Pin=1,"
              "Error=0,Dia= 5    Susc= 1.250SI Cond=  10.5S/m [ 3/ 4]\n" +
                  GPS_PAD +
                  "lat=  49.20576000 lon=  16.50000000 alt=250 num_sat=07\n");
    // The summary line has no end: the GPS text follows it.
    EXPECT_EQ(p.summary,
              "10 2 2025/03/04 05:06:07 1,0,0,1,0, 5  1.250   10.5 [ 3/ 4]");

    // Southern and western fix.
    RecordSpec s = single();
    s.gps_flags = VALID | (12u << 11);
    s.alt = -5;
    EXPECT_NE(print(s).console.find("lat= -49.20576000 lon= -16.50000000 "
                                    "alt=-005 num_sat=12\n"),
              std::string::npos);
}

TEST(RecordOutput, UnitsAndTheBoreholeCoreLineByKind) {
    RecordSpec s = single();
    s.kind = 2;
    s.bh_id = 42;
    s.core_num = 6;
    s.core_depth = 3.5f;
    std::string core = "   Borehole core. ID:42 Num:6 Depth:3.5m\n";
    Printed p = print(s);
    EXPECT_NE(p.console.find("[ 3/ 4]\n" + core + GPS_PAD), std::string::npos);
    EXPECT_EQ(p.summary.find("Borehole"), std::string::npos);
    s.units_ft = 1;
    EXPECT_NE(print(s).console.find("Depth:3.5ft\n"), std::string::npos);

    // Unit bits inside the kind byte make it another kind.
    struct {
        uint8_t kind;
        const char *units;
    } kinds[] = {{6, "Susc= 1.250CGS Cond=  10.5S/m"},
                 {10, "Susc= 1.250SI Cond=  10.5Ohm.m"},
                 {14, "Susc= 1.250CGS Cond=  10.5Ohm.m"}};
    for (const auto &k : kinds) {
        s.kind = k.kind;
        std::string out = print(s).console;
        EXPECT_NE(out.find(k.units), std::string::npos) << int(k.kind);
        EXPECT_EQ(out.find("Borehole"), std::string::npos) << int(k.kind);
    }
    // Curve numbers win over the unit bits.
    s.curve_s = 3;
    s.curve_c = 250;
    std::string out = print(s).console;
    EXPECT_NE(out.find("CurveS=3,CurveC=250,"), std::string::npos);
    EXPECT_NE(out.find("Susc= 1.250% Cond=  10.5%"), std::string::npos);
}

RecordSpec series(int n) {
    RecordSpec s;
    s.rec_no = 11;
    s.meas_mode = 1;
    s.type = 2;
    s.curve_s = 3;
    s.num_samples = n;
    s.marked = {0, 6};
    return s;
}

TEST(RecordOutput, SampleSeriesFiveToALineWithMarks) {
    Printed p = print(series(7));
    std::string samples = SAMPLE_PAD +
                          "[   0.000  100.0](   0.500   95.0)"
                          "(   1.000   90.0)(   1.500   85.0)"
                          "(   2.000   80.0)\n" +
                          SAMPLE_PAD + "(   2.500   75.0)[   3.000   70.0]\n";
    EXPECT_EQ(p.console,
              "11: 1 2025/03/04 05:06:07 Type=2,CurveS=3,CurveC=0 [ 7]\n" +
                  samples + NO_FIX);
    EXPECT_EQ(p.summary, "11 1 2025/03/04 05:06:07 2 3 0  7\n" + samples);

    // Exactly five: one line.
    p = print(series(5));
    EXPECT_EQ(std::count(p.summary.begin(), p.summary.end(), '\n'), 2);
}

TEST(RecordOutput, SampleCountsOutsideTheArrays) {
    Printed p = print(series(0));
    EXPECT_EQ(p.console,
              "11: 1 2025/03/04 05:06:07 Type=2,CurveS=3,CurveC=0 [ 0]\n\n" +
                  NO_FIX);
    EXPECT_EQ(p.summary, "11 1 2025/03/04 05:06:07 2 3 0  0\n\n");

    // More than the arrays hold: 480 samples in 96 lines.
    p = print(series(481));
    EXPECT_EQ(std::count(p.summary.begin(), p.summary.end(), '\n'), 97);
    EXPECT_NE(p.summary.find("(   4.500   55.0)"), std::string::npos);
    EXPECT_NE(p.summary.find("( 239.500 -2295.0)\n"), std::string::npos);
    EXPECT_NE(p.console.find("[481]\n"), std::string::npos);

    // A negative count shows no samples.
    p = print(series(-2));
    EXPECT_EQ(p.summary, "11 1 2025/03/04 05:06:07 2 3 0 -2\n\n");
}

TEST(RecordOutput, BoreholeHeaderAndUnknownRecords) {
    RecordSpec s;
    s.type = 0;
    s.kind = 1;
    s.bh_id = 42;
    s.desc = "Core A";
    s.depth_from = 1.5f;
    s.depth_to = 20;
    s.core_length = 0.5f;
    s.depth_int = 1;
    s.cores_per_box = 5;
    Printed p = print(s);
    EXPECT_EQ(p.console, "Borehole header:\n"
                         "             ID: 42\n"
                         "           Desc: Core A\n"
                         "          Depth: 1.5-20.0m\n"
                         "    Core length: 0.5m\n"
                         "      Depth int: 1.0m\n"
                         "  Cores per box: 5\n"
                         "           Type: Scanner\n");
    EXPECT_EQ(p.summary, "");

    s.type = 3;
    s.units_ft = 1;
    s.discrete = 1;
    s.desc = "0123456789ABCDEF"; // all 16 characters, no terminator
    p = print(s);
    EXPECT_NE(p.console.find("Desc: 0123456789ABCDEF\n"), std::string::npos);
    EXPECT_NE(p.console.find("Depth: 1.5-20.0ft\n"), std::string::npos);
    EXPECT_NE(p.console.find("Type: Discrete\n"), std::string::npos);

    for (uint8_t kind : {0, 2, 3}) {
        s.kind = kind;
        p = print(s);
        EXPECT_EQ(p.console, "Unknown record.\n") << int(kind);
        EXPECT_EQ(p.summary, "");
    }
}

std::string stats(float sum, float sum_sq, int n, std::string *file_text) {
    OutputCapture cap;
    FILE *f = tmpfile();
    calc_avg_std_dev(sum, sum_sq, n, f);
    rewind(f);
    char buf[256] = {};
    size_t got = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    *file_text = std::string(buf, got);
    return cap.out();
}

TEST(Statistics, GroupsOfNoneOneTwoAndMany) {
    std::string file;
    EXPECT_EQ(stats(0, 0, 0, &file), "");
    EXPECT_EQ(file, "");

    std::string dashes = std::string(76, '-') + "\n\n";
    EXPECT_EQ(stats(2, 4, 1, &file), dashes);
    EXPECT_EQ(file, dashes);

    const std::string tail =
        " ------------------------------------------------------\n\n";
    EXPECT_EQ(stats(4, 10, 2, &file), "---  2.000 +/-  1.414" + tail);
    EXPECT_EQ(file, "---  2.000 +/-  1.414" + tail);
    // 1..5
    EXPECT_EQ(stats(15, 55, 5, &file), "---  3.000 +/-  1.581" + tail);
    // Without a file only the console.
    OutputCapture cap;
    calc_avg_std_dev(15, 55, 5, nullptr);
    EXPECT_EQ(cap.out(), "---  3.000 +/-  1.581" + tail);
}

TEST(Statistics, RoundingNeverMakesTheDeviationNan) {
    std::string file;
    // A sum of squares a rounding step below n * avg^2.
    EXPECT_EQ(stats(3, 2.999f, 3, &file),
              "---  1.000 +/-  0.000 "
              "------------------------------------------------------\n\n");
    // Readings that single precision cannot tell apart.
    float sum = 0, sq = 0;
    for (int i = 0; i < 1000; i++) {
        sum += 0.1f;
        sq += 0.1f * 0.1f;
    }
    std::string out = stats(sum, sq, 1000, &file);
    EXPECT_EQ(out.find("nan"), std::string::npos) << out;
}

} // namespace
