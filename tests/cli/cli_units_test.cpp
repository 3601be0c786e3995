// The pieces of the command line that need no instrument: the fields
// "params set" takes against the listing "params get" prints, and the
// progress bar's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "cli.h"
#include "cli_progress.h"
#include "v21_ops.h"

namespace {

std::map<std::string, std::string> listed(const unsigned char *rec) {
    std::map<std::string, std::string> values;
    for (const V21_param_text &p : V21_params_listing(rec, V21_PARAMS_SIZE))
        values[p.name] = p.value;
    return values;
}

// Every field the console's editor asks is found by the name the listing
// prints, takes exactly its range, and a value stored shows in the listing
// under that name: the table and the listing agree on names and offsets.
TEST(ParamsSet, EveryEditedFieldRoundTripsThroughTheListing) {
    ASSERT_GT(V21_param_fields().size(), 20u);
    for (const V21_param_field &f : V21_param_fields()) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(V21_find_param(f.name), &f);
        EXPECT_EQ(V21_find_param(f.name.substr(7)), &f); // without "Params."
        unsigned char rec[V21_PARAMS_SIZE] = {};
        V21_param_value v;
        std::string why;
        if (f.kind == V21_param_kind::f32) {
            ASSERT_TRUE(V21_parse_param(f, "-1.5", &v, &why));
            EXPECT_FALSE(V21_parse_param(f, "nan", &v, &why));
            EXPECT_FALSE(V21_parse_param(f, "1.5x", &v, &why));
            V21_apply_param(rec, v);
            EXPECT_DOUBLE_EQ(atof(listed(rec)[f.name].c_str()), -1.5);
            continue;
        }
        EXPECT_TRUE(V21_parse_param(f, std::to_string(f.low), &v, &why));
        EXPECT_FALSE(V21_parse_param(f, std::to_string(f.low - 1), &v, &why));
        EXPECT_FALSE(V21_parse_param(f, std::to_string(f.high + 1), &v, &why));
        EXPECT_NE(why.find("out of range"), std::string::npos);
        EXPECT_FALSE(V21_parse_param(f, "", &v, &why));
        EXPECT_FALSE(V21_parse_param(f, "1.0", &v, &why));
        ASSERT_TRUE(V21_parse_param(f, std::to_string(f.high), &v, &why));
        V21_apply_param(rec, v);
        EXPECT_EQ(listed(rec)[f.name], std::to_string(f.high));
    }
    // gps_pin is set by name only: the console's editor never asks it.
    const V21_param_field *pin = V21_find_param("Params.gps_pin");
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(
        std::count_if(V21_param_fields().begin(), V21_param_fields().end(),
                      [&](const V21_param_field &f) { return &f == pin; }),
        0);
    EXPECT_EQ(V21_find_param("contrast2"), nullptr);
}

// Every float, printed as JSON and read back, is the same float, in the
// fewest digits: what a calibration backup relies on.
TEST(JsonFloat, EveryFloatReadsBackExactlyInTheFewestDigits) {
    uint32_t bits = 12345;
    for (int i = 0; i < 200000; i++) {
        bits = bits * 1664525u + 1013904223u; // every exponent, every sign
        float v;
        memcpy(&v, &bits, sizeof v);
        const std::string text = cli_float(v).dump();
        if (std::isnan(v)) {
            EXPECT_EQ(text, "\"nan\"");
            continue;
        }
        if (std::isinf(v)) {
            EXPECT_EQ(text, v > 0 ? "\"inf\"" : "\"-inf\"");
            continue;
        }
        const float back =
            static_cast<float>(nlohmann::json::parse(text).get<double>());
        ASSERT_EQ(memcmp(&back, &v, sizeof v), 0) << text;
    }
    for (const auto &[v, text] :
         std::vector<std::pair<float, std::string>>{{1.2345f, "1.2345"},
                                                    {1.23456789f, "1.2345679"},
                                                    {0.1f, "0.1"},
                                                    {-2.5f, "-2.5"},
                                                    {100.0f, "100.0"},
                                                    {7e-06f, "7e-06"}})
        EXPECT_EQ(cli_float(v).dump(), text);
}

TEST(ProgressBar, LineShowsDoneTotalRateAndTimeLeft) {
    struct Case {
        uint64_t done, total;
        ProgressUnit unit;
        double seconds;
        std::vector<std::string> shows;
    } cases[] = {
        {0, 1048576, ProgressUnit::bytes, 0, {"[....", "  0% 0 B/1.0 MiB"}},
        {524288,
         1048576,
         ProgressUnit::bytes,
         2.0,
         {"[############............]", " 50% 512.0 KiB/1.0 MiB", "256.0 KiB/s",
          "0:02 left"}},
        {21, 21, ProgressUnit::records, 3.0, {"100% 21/21 records"}},
        {7, 0, ProgressUnit::slots, 1.0, {"7 slots", "7 slots/s"}},
        {5, 3, ProgressUnit::blocks, 1.0, {"100% 5/3 blocks"}},
    };
    for (const Case &c : cases) {
        const std::string line =
            progress_line(c.done, c.total, c.unit, c.seconds);
        for (const std::string &s : c.shows)
            EXPECT_NE(line.find(s), std::string::npos) << line << " / " << s;
        if (c.done >= c.total) {
            EXPECT_EQ(line.find("left"), std::string::npos) << line;
        }
    }
}

} // namespace
