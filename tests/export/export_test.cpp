// The export of a synced log: the simulator's demo log through the command
// line, its values read back against the raw records and against kappa.dat
// of the same log; damaged records named and left out with every output
// still well-formed; the report's limits on a log made on the spot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "capture.h"
#include "export_log.h"
#include "process.h"
#include "records.h"
#include "sim_process.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Rows = std::vector<std::vector<std::string>>;

constexpr int kRunMs = 90000;

// RFC 4180 rows: CR LF ends a row, a quoted field may hold anything. A row
// ended otherwise, or a quote out of place, clears ok.
Rows parse_csv(const std::string &text, bool *ok) {
    Rows rows(1, std::vector<std::string>(1));
    *ok = true;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        std::string &field = rows.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[i++];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"' && field.empty()) {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            i++;
        } else if (c == '"' || c == '\r' || c == '\n') {
            *ok = false;
        } else {
            field += c;
        }
    }
    *ok = *ok && !quoted && rows.back() == std::vector<std::string>(1);
    rows.pop_back();
    return rows;
}

Rows read_csv(const std::string &path) {
    bool ok = false;
    Rows rows = parse_csv(read_file(path), &ok);
    EXPECT_TRUE(ok) << path;
    return rows;
}

uint32_t u32_at(const std::string &b, size_t off) {
    uint32_t v;
    memcpy(&v, b.data() + off, 4);
    return v;
}
float f32_at(const std::string &b, size_t off) {
    float v;
    memcpy(&v, b.data() + off, 4);
    return v;
}
// The same number, bit for bit (a value that reads back to another float
// fails, whatever the rounding).
bool same_float(const std::string &text, float v) {
    const float t = strtof(text.c_str(), nullptr);
    return memcmp(&t, &v, 4) == 0;
}
std::string printed(const char *format, double v) {
    char t[64];
    snprintf(t, sizeof t, format, v);
    return t;
}
// A packed coordinate of a GPS fix in degrees, decoded here on its own.
double degrees(uint32_t v, bool positive) {
    const double d = (v & 0x1FFFF) / 100 +
                     ((v & 0x1FFFF) % 100 + ((v >> 17) & 0x3FFF) / 1e4) / 60;
    return positive ? d : -d;
}

ProcessResult run_cli(const std::vector<std::string> &args,
                      const std::string &cwd,
                      const std::map<std::string, std::string> &env = {}) {
    std::vector<std::string> argv = {console_binary_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", env, kRunMs, false, cwd);
}

json parse_json(const std::string &text) {
    json j = json::parse(text, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << text.substr(0, 400);
    return j;
}

// The demo log of seed 7 synced into L/ (its archive and kappa.dat); the
// records as the simulator's card holds them, to check the export against.
class DemoLog : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(sim_binary_path().empty());
        SimProcess sim({"--seed", "7"}, work_.file("card"));
        ASSERT_TRUE(sim.started());
        ProcessResult r =
            run_cli({"--json", "log", "sync", "L"}, work_.path(), sim.env());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(parse_json(r.out)["archived"], 21) << r.out;
        records_ = card_records(sim.card_dir());
        ASSERT_EQ(records_.size(), 21u);
    }
    std::string dir() const { return work_.file("L"); }
    const std::string *raw(const std::string &rec_no) const {
        for (const ArchiveEntry &e : records_)
            if (std::to_string(e.rec_no) == rec_no)
                return &e.bytes;
        return nullptr;
    }
    TempDir work_;
    std::vector<ArchiveEntry> records_;
};

TEST_F(DemoLog, ValuesReadBackToTheRecordsAndAgreeWithKappaDat) {
    ProcessResult r = run_cli({"--json", "export", "L"}, work_.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json j = parse_json(r.out);
    EXPECT_EQ(j["records"], 21);
    EXPECT_EQ(j["exported"], 21);
    EXPECT_EQ(j["readings"], 16);
    EXPECT_EQ(j["series"], 3);
    EXPECT_EQ(j["without_fix"], 1);
    const std::string out = dir() + "/export/";

    // Every reading: the raw record's values, bit for bit.
    const Rows readings = read_csv(out + "readings.csv");
    ASSERT_EQ(readings.size(), 17u);
    EXPECT_EQ(readings[0][0], "rec_no");
    EXPECT_EQ(readings[0][23], "depth_unit");
    for (size_t i = 1; i < readings.size(); i++) {
        const auto &row = readings[i];
        ASSERT_EQ(row.size(), 24u);
        const std::string *b = raw(row[0]);
        ASSERT_NE(b, nullptr) << row[0];
        EXPECT_TRUE(same_float(row[10], f32_at(*b, 43))) << row[10];
        EXPECT_TRUE(same_float(row[12], f32_at(*b, 47))) << row[12];
        EXPECT_EQ(row[14], std::to_string(int32_t(u32_at(*b, 87))));
        const uint32_t gps = u32_at(*b, 26);
        if (gps & (1u << 9)) {
            EXPECT_NEAR(std::stod(row[16]),
                        degrees(u32_at(*b, 30), gps & (1u << 7)), 1e-8);
            EXPECT_NEAR(std::stod(row[17]),
                        degrees(u32_at(*b, 34), gps & (1u << 8)), 1e-8);
        } else {
            EXPECT_EQ(row[16] + row[17] + row[18] + row[19], "");
        }
        if (uint8_t((*b)[22]) == 2) // a borehole core reading
            EXPECT_TRUE(same_float(row[22], f32_at(*b, 3995 + 64)));
        else
            EXPECT_EQ(row[20] + row[21] + row[22] + row[23], "");
    }

    // kappa.dat of the same log, at its own precision: the readings, the
    // samples of every series, and the groups' statistics.
    const std::string kappa = read_file(dir() + "/kappa.dat");
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = kappa.find('\n', at)) != std::string::npos;
         at = nl + 1)
        lines.push_back(kappa.substr(at, nl - at));
    const Rows series = read_csv(out + "series.csv");
    const Rows groups = read_csv(out + "groups.csv");
    size_t reading = 1, sample = 1, group = 1;
    int dashes = 0;
    std::vector<double> stats;
    for (size_t li = 0; li < lines.size(); li++) {
        const char *l = lines[li].c_str();
        int f[18];
        float susc, cond;
        double lat, lon;
        double avg, sd;
        if (sscanf(l,
                   "%d %d %d/%d/%d %d:%d:%d %d,%d,%d,%d,%d,%d %f %f "
                   "[%d/%d] %lf %lf %d %d",
                   &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7],
                   &f[8], &f[9], &f[10], &f[11], &f[12], &f[13], &susc, &cond,
                   &f[14], &f[15], &lat, &lon, &f[16], &f[17]) == 22) {
            ASSERT_LT(reading, readings.size());
            const auto &row = readings[reading++];
            char time[32];
            snprintf(time, sizeof time, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", f[2],
                     f[3], f[4], f[5], f[6], f[7]);
            EXPECT_EQ(row[0], std::to_string(f[0]));
            EXPECT_EQ(row[3], std::to_string(f[1]));
            EXPECT_EQ(row[2], time);
            for (int k = 0; k < 6; k++)
                EXPECT_EQ(row[4 + k], std::to_string(f[8 + k])) << l;
            EXPECT_EQ(printed("%.3f", std::stod(row[10])),
                      printed("%.3f", susc));
            EXPECT_EQ(printed("%.1f", std::stod(row[12])),
                      printed("%.1f", cond));
            EXPECT_EQ(row[14], std::to_string(f[14]));
            EXPECT_EQ(row[15], std::to_string(f[15]));
            if (row[16].empty()) {
                EXPECT_EQ(lat, 0.0);
                EXPECT_EQ(lon, 0.0);
            } else {
                EXPECT_EQ(printed("%.8f", std::stod(row[16])),
                          printed("%.8f", lat));
                EXPECT_EQ(printed("%.8f", std::stod(row[17])),
                          printed("%.8f", lon));
                EXPECT_EQ(row[18], std::to_string(f[16]));
                EXPECT_EQ(row[19], std::to_string(f[17]));
            }
        } else if (lines[li].rfind("                (", 0) == 0 ||
                   lines[li].rfind("                [", 0) == 0) {
            for (const char *p = l; (p = strpbrk(p, "([")) != nullptr;) {
                const bool marked = *p == '[';
                float s, c;
                ASSERT_EQ(sscanf(p + 1, "%f %f", &s, &c), 2) << l;
                ASSERT_LT(sample, series.size());
                const auto &row = series[sample++];
                EXPECT_EQ(printed("%8.3f", std::stod(row[2])),
                          printed("%8.3f", s));
                EXPECT_EQ(printed("%6.1f", std::stod(row[3])),
                          printed("%6.1f", c));
                EXPECT_EQ(row[4], marked ? "1" : "0");
                p++;
            }
        } else if (sscanf(l, "--- %lf +/- %lf", &avg, &sd) == 2) {
            stats.push_back(avg);
            stats.push_back(sd);
            if (stats.size() == 4) {
                ASSERT_LT(group, groups.size());
                const auto &row = groups[group++];
                // Double precision against the listing's single: equal
                // within the listing's last digit.
                EXPECT_NEAR(std::stod(row[4]), stats[0], 0.0015) << l;
                EXPECT_NEAR(std::stod(row[5]), stats[1], 0.0015) << l;
                EXPECT_NEAR(std::stod(row[7]), stats[2], 0.0015) << l;
                EXPECT_NEAR(std::stod(row[8]), stats[3], 0.0015) << l;
                stats.clear();
            }
        } else if (lines[li] == std::string(76, '-') && ++dashes % 2 == 0) {
            // A group of one reading: a line of dashes for each quantity.
            ASSERT_LT(group, groups.size());
            EXPECT_EQ(groups[group++][3], "1");
        }
    }
    EXPECT_EQ(reading, readings.size());
    EXPECT_EQ(sample, series.size());
    EXPECT_EQ(group, groups.size());

    // GeoJSON: the readings with a fix, longitude first.
    const json geo = parse_json(read_file(out + "readings.geojson"));
    EXPECT_EQ(geo["type"], "FeatureCollection");
    ASSERT_EQ(geo["features"].size(), 15u);
    for (const json &feature : geo["features"]) {
        const std::string *b =
            raw(std::to_string(feature["properties"]["rec_no"].get<int>()));
        ASSERT_NE(b, nullptr);
        const uint32_t gps = u32_at(*b, 26);
        const json &c = feature["geometry"]["coordinates"];
        EXPECT_NEAR(c[0].get<double>(),
                    degrees(u32_at(*b, 34), gps & (1u << 8)), 1e-8);
        EXPECT_NEAR(c[1].get<double>(),
                    degrees(u32_at(*b, 30), gps & (1u << 7)), 1e-8);
        // The same number as the CSV: it reads back to the record's float.
        EXPECT_EQ(float(feature["properties"]["susceptibility"].get<double>()),
                  f32_at(*b, 43));
    }
    // GPX 1.1: the root's namespace, version and creator; each waypoint
    // the GeoJSON's feature, its position as attributes and its elements in
    // the order the schema requires.
    const std::string gpx = read_file(out + "readings.gpx");
    EXPECT_NE(gpx.find("<gpx version=\"1.1\" creator=\"ra62d2ide "),
              std::string::npos);
    EXPECT_NE(gpx.find(" xmlns=\"http://www.topografix.com/GPX/1/1\">"),
              std::string::npos);
    const std::regex wpt("<wpt lat=\"([^\"]+)\" lon=\"([^\"]+)\"><ele>([^<]+)"
                         "</ele><time>([^<]+)</time><name>([^<]+)</name>"
                         "<desc>[^<]*</desc></wpt>");
    size_t w = 0;
    for (std::sregex_iterator m(gpx.begin(), gpx.end(), wpt), end; m != end;
         ++m, ++w) {
        ASSERT_LT(w, geo["features"].size());
        const json &p = geo["features"][w]["properties"];
        EXPECT_EQ(std::stod((*m)[1]), p["latitude"].get<double>());
        EXPECT_EQ(std::stod((*m)[2]), p["longitude"].get<double>());
        EXPECT_EQ(std::stoi((*m)[3]), p["altitude_m"].get<int>());
        EXPECT_EQ((*m)[4], p["time"].get<std::string>());
        EXPECT_EQ((*m)[5], std::to_string(p["rec_no"].get<int>()));
    }
    EXPECT_EQ(w, 15u);
    EXPECT_EQ(count_of(gpx, "<wpt "), 15u);

    // The report: three series plots, the scatter and the histogram.
    EXPECT_EQ(j["plots"], 5);
    EXPECT_EQ(count_of(read_file(out + "report.html"), "<svg"), 5u);
}

// Without DIR: the working directory's own archive first, even beside a
// kappa_* copy; else the one kappa_* directory with an archive; several of
// those are a usage error naming them.
TEST_F(DemoLog, WithoutDirTheWorkingDirectoryComesFirstThenOneKappaDir) {
    const auto copy_log = [&](const std::string &to) {
        fs::create_directories(to);
        fs::copy(dir() + "/archive", to + "/archive",
                 fs::copy_options::recursive);
    };
    copy_log(dir() + "/kappa_0001");
    ProcessResult r = run_cli({"--json", "export", "--csv"}, dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_json(r.out)["dir"], ".");
    EXPECT_TRUE(fs::exists(dir() + "/export/readings.csv"));
    EXPECT_FALSE(fs::exists(dir() + "/kappa_0001/export"));

    copy_log(work_.file("kappa_0001"));
    r = run_cli({"--json", "export", "--csv"}, work_.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_json(r.out)["dir"], "kappa_0001");
    EXPECT_TRUE(fs::exists(work_.file("kappa_0001/export/readings.csv")));

    copy_log(work_.file("kappa_0002"));
    r = run_cli({"export"}, work_.path());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("2 log archives in the working directory"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("kappa_0002"), std::string::npos) << r.err;
}

TEST_F(DemoLog, DamagedRecordsAreNamedAndLeftOutTheRestStaysWellFormed) {
    std::vector<ArchiveEntry> recs = records_;
    auto put_u32 = [](std::string &b, size_t off, uint32_t v) {
        memcpy(&b[off], &v, 4);
    };
    recs[0].bytes.resize(4000);                    // cut short
    recs[1].bytes[14] = 13;                        // month 13
    put_u32(recs[2].bytes, 43, 0x7FC00000);        // NaN susceptibility
    put_u32(recs[3].bytes, 26, 1u << 9 | 1u << 7); // a valid fix at 91 N
    put_u32(recs[3].bytes, 30, 9100);
    put_u32(recs[4].bytes, 2075 + 4 * 3, 0x7F800000); // an infinite sample
    put_u32(recs[5].bytes, 91, 481);                  // too many samples
    recs[7].stem = "../../escape";                    // no record's name
    recs.push_back(recs[8]);
    recs.back().stem += "-2"; // a repeated rec_no: exported twice
    fs::remove_all(dir() + "/archive");
    // A serial with markup, a control character and a letter beyond ASCII.
    ASSERT_TRUE(write_archive(dir(), "A0<&\\\"'>\\u0001\\u00ff", recs));
    fs::remove(dir() + "/archive/records/" + recs[6].stem + ".rec");
    const std::set<int64_t> damaged = {
        recs[0].rec_no, recs[1].rec_no, recs[2].rec_no, recs[3].rec_no,
        recs[4].rec_no, recs[5].rec_no, recs[6].rec_no, recs[7].rec_no};
    ASSERT_EQ(recs[4].bytes[19], 2); // the damaged sample is a series'

    ProcessResult r = run_cli({"--json", "export", "L"}, work_.path());
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_EQ(count_of(r.err, "\n"), damaged.size()) << r.err;
    for (int64_t rec_no : damaged)
        EXPECT_EQ(
            count_of(r.err, "record " + std::to_string(rec_no) + " is damaged"),
            1u)
            << r.err;
    const json j = parse_json(r.out);
    EXPECT_EQ(j["damaged"].get<std::set<int64_t>>(), damaged);
    EXPECT_EQ(j["exported"], 14);

    const std::string out = dir() + "/export/";
    const Rows readings = read_csv(out + "readings.csv");
    std::multiset<std::string> rec_nos;
    for (const auto &row : readings) {
        EXPECT_EQ(row.size(), 24u);
        rec_nos.insert(row[0]);
    }
    for (int64_t rec_no : damaged)
        EXPECT_EQ(rec_nos.count(std::to_string(rec_no)), 0u);
    EXPECT_EQ(rec_nos.count(std::to_string(recs[8].rec_no)), 2u);
    for (const auto &row : read_csv(out + "series.csv"))
        EXPECT_EQ(row.size(), 5u);
    const json geo = parse_json(read_file(out + "readings.geojson"));
    const std::string gpx = read_file(out + "readings.gpx");
    EXPECT_EQ(count_of(gpx, "<wpt "), geo["features"].size());
    EXPECT_EQ(count_of(gpx, "</wpt>"), geo["features"].size());
    // The serial's markup and bad bytes never reach the page as such.
    const std::string html = read_file(out + "report.html");
    EXPECT_NE(html.find("A0&lt;&amp;&quot;&#39;&gt;\xEF\xBF\xBD\xC3\xBF"),
              std::string::npos);
    EXPECT_EQ(html.find("A0<"), std::string::npos);
    for (const char *bad : {"nan", "inf", "NaN"})
        EXPECT_EQ(html.find(bad), std::string::npos) << bad;

    // One format alone: only its files, and nothing half-written.
    r = run_cli({"export", "L", "--out", "only", "--gpx"}, work_.path());
    EXPECT_EQ(r.exit_code, 4) << r.err;
    std::set<std::string> files;
    for (const auto &e : fs::directory_iterator(work_.file("only")))
        files.insert(e.path().filename().string());
    EXPECT_EQ(files, std::set<std::string>{"readings.gpx"});
}

// A log made on the spot, exported in this process with small limits: the
// series beyond the limit are listed with links to exactly their rows of
// series.csv, and the scatter is thinned to the limit.
TEST(ExportReport, LimitsListTheRestAndThinTheScatter) {
    TempDir work;
    std::vector<ArchiveEntry> recs;
    auto add = [&](const vo62sim::MeasRecord &m) {
        char stem[16];
        snprintf(stem, sizeof stem, "%08u", uint32_t(m.rec_no));
        const vo62sim::Bytes b = vo62sim::encode_meas(m);
        recs.push_back({stem, m.rec_no, std::string(b.begin(), b.end())});
    };
    int rec_no = 100;
    for (int i = 0; i < 14; i++) {
        vo62sim::MeasRecord m;
        m.rec_no = rec_no++;
        m.group_no = i;
        m.type = vo62sim::kTypeSeries;
        m.num_samples = i == 6 ? 0 : 10 + i;
        m.susc_samples.assign(480, 0);
        m.cond_samples.assign(480, 0);
        m.marks.assign(480, false);
        for (int k = 0; k < m.num_samples; k++) {
            m.susc_samples[size_t(k)] = float(k * i);
            m.cond_samples[size_t(k)] = float(100 - k);
        }
        add(m);
    }
    for (int i = 0; i < 130; i++) {
        vo62sim::MeasRecord m;
        m.rec_no = rec_no++;
        m.group_no = 100 + i / 10;
        m.kind = i % 4 == 0 ? vo62sim::kFlagSuscCgs >> 24 : 0;
        m.susc = float(i) * 0.5f;
        m.cond = 10;
        m.gps = {true, true, true, 7, 49.5 + i * 1e-4, 16.25 - i * 1e-4, 300};
        add(m);
    }
    ASSERT_TRUE(write_archive(work.file("L"), "A0001234", recs));

    ExportOptions o;
    o.dir = work.file("L");
    o.limits = {5, 50};
    ExportResult r;
    ASSERT_EQ(export_log(o, &r), OP_OK);
    EXPECT_EQ(r.groups, 13);
    EXPECT_EQ(r.plots, 5 + 2);
    const std::string html = read_file(r.out + "/report.html");
    EXPECT_EQ(count_of(html, "<svg"), 7u);
    EXPECT_EQ(count_of(html, "<circle class=\"p\"") +
                  count_of(html, "<circle class=\"o\""),
              50u);
    EXPECT_EQ(count_of(html, "<li>"), 14u - 5u);

    const Rows series = read_csv(r.out + "/series.csv");
    int links = 0;
    for (size_t at = 0;
         (at = html.find("<li>Record ", at)) != std::string::npos; at++) {
        const std::string rec = std::to_string(atoi(html.c_str() + at + 11));
        const size_t end = html.find("</li>", at);
        const size_t link = html.find("series.csv#row=", at);
        if (link > end) {
            EXPECT_NE(html.substr(at, end - at).find(" 0 samples"),
                      std::string::npos);
            continue;
        }
        links++;
        int first = 0, last = 0;
        ASSERT_EQ(
            sscanf(html.c_str() + link, "series.csv#row=%d-%d", &first, &last),
            2);
        // RFC 7111 numbering: the header is row 1.
        ASSERT_LE(size_t(last), series.size());
        for (int row = first; row <= last; row++)
            EXPECT_EQ(series[size_t(row - 1)][0], rec) << row;
        EXPECT_EQ(series[size_t(first - 1)][1], "0");
        EXPECT_TRUE(size_t(last) == series.size() ||
                    series[size_t(last)][0] != rec);
    }
    EXPECT_EQ(links, 8);
}

} // namespace
