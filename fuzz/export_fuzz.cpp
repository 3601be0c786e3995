// Arbitrary record bytes through the export: the checks that leave a
// damaged record out, then for a record they let through its CSV rows, its
// GeoJSON feature, its GPX waypoint and the HTML report with its SVG plot.
// Every output must stay well-formed: CSV rows of their column count, JSON
// that parses back with the same coordinates, XML whose elements nest and
// whose text holds no raw markup, and no "nan" or "inf" anywhere.
//
// Input: byte 0 is the length n of the serial that the report shows (any
// bytes); the next n bytes are the serial, the rest is the record file.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "export_csv.h"
#include "export_geo.h"
#include "export_report.h"
#include "fuzz_util.h"

namespace {

// Fields of each row, or -1 when a quote is out of place or a row does not
// end in CR LF.
std::vector<int> csv_row_sizes(const std::string &text) {
    std::vector<int> sizes;
    int fields = 1;
    bool quoted = false, at_start = true;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                i++;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            if (!at_start)
                return {-1};
            quoted = true;
        } else if (c == ',') {
            fields++;
            at_start = true;
            continue;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                return {-1};
            sizes.push_back(fields);
            fields = 1;
            i++;
            at_start = true;
            continue;
        } else if (c == '\n') {
            return {-1};
        }
        at_start = false;
    }
    if (quoted || fields != 1 || !at_start)
        return {-1};
    return sizes;
}

// Whether text is well-formed markup as the export writes it: a prolog or
// doctype, elements that nest and close (or close themselves), attribute
// values in double quotes without '<', character data without '<', and
// every '&' the start of a reference. Clears finite when an attribute (a
// coordinate, a size) holds "nan" or "inf".
bool well_formed(const std::string &t, bool *finite) {
    std::vector<std::string> open;
    size_t i = 0;
    auto reference_ok = [&](size_t at) {
        const size_t semi = t.find(';', at);
        if (semi == std::string::npos || semi - at < 2 || semi - at > 8)
            return false;
        for (size_t k = at + 1; k < semi; k++)
            if (!isalnum(static_cast<unsigned char>(t[k])) && t[k] != '#')
                return false;
        return true;
    };
    while (i < t.size()) {
        if (t[i] == '&') {
            if (!reference_ok(i))
                return false;
            i++;
            continue;
        }
        if (t[i] != '<') {
            i++;
            continue;
        }
        const size_t end = t.find('>', i);
        if (end == std::string::npos)
            return false;
        if (t.compare(i, 2, "<?") == 0 || t.compare(i, 2, "<!") == 0) {
            i = end + 1;
            continue;
        }
        const bool closing = t[i + 1] == '/';
        size_t n = i + (closing ? 2 : 1);
        const size_t name_start = n;
        while (n < end &&
               (isalnum(static_cast<unsigned char>(t[n])) || t[n] == '-'))
            n++;
        const std::string name = t.substr(name_start, n - name_start);
        if (name.empty())
            return false;
        if (closing) {
            if (open.empty() || open.back() != name)
                return false;
            open.pop_back();
            i = end + 1;
            continue;
        }
        // Attributes: name="value", the value free of '<' and '"'.
        bool quoted = false;
        for (size_t k = n; k < end; k++) {
            if (t[k] == '"')
                quoted = !quoted;
            else if (t[k] == '<')
                return false;
            else if (quoted && t[k] == '&' && !reference_ok(k))
                return false;
        }
        if (quoted)
            return false;
        const std::string attrs = t.substr(n, end - n);
        if (attrs.find("nan") != std::string::npos ||
            attrs.find("inf") != std::string::npos)
            *finite = false;
        if (t[end - 1] != '/')
            open.push_back(name);
        i = end + 1;
    }
    return open.empty();
}

bool finite_text(const std::string &t) {
    return t.find("nan") == std::string::npos &&
           t.find("inf") == std::string::npos &&
           t.find("NaN") == std::string::npos;
}

// The reading's GeoJSON feature parses back to its coordinates, longitude
// first; its GPX waypoint is well-formed and finite.
void check_positions(const Field (&f)[READING_COLUMNS]) {
    std::string geo = geojson_begin();
    geojson_feature(geo, f);
    geo += geojson_end();
    const nlohmann::json j = nlohmann::json::parse(geo, nullptr, false);
    FUZZ_CHECK(!j.is_discarded());
    const auto &c = j["features"][0]["geometry"]["coordinates"];
    FUZZ_CHECK(c[0].get<double>() == std::stod(f[COL_LONGITUDE].text));
    FUZZ_CHECK(c[1].get<double>() == std::stod(f[COL_LATITUDE].text));
    std::string gpx = gpx_begin();
    gpx_waypoint(gpx, f);
    gpx += gpx_end();
    bool finite = true;
    FUZZ_CHECK(well_formed(gpx, &finite));
    FUZZ_CHECK(finite);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t serial_len = std::min<size_t>(data[0], size - 1);
    const std::string serial(reinterpret_cast<const char *>(data) + 1,
                             serial_len);
    // An exact copy, so reading past the bytes given is found.
    std::vector<uint8_t> bytes(data + 1 + serial_len, data + size);
    meas_record rec;
    decode_meas_record(bytes.data(), bytes.size(), &rec);
    if (!record_damage(rec).empty())
        return 0; // left out of every output

    // The export writes a single reading to the readings, the groups and
    // the positions, a series to the samples; every other type only counts.
    const int type = record_type(rec);
    std::string csv = csv_readings_header();
    std::string series = csv_series_header();
    std::string groups = csv_groups_header();
    GroupStats g;
    if (type == MEAS_TYPE_SINGLE) {
        Field f[READING_COLUMNS];
        reading_fields(rec, f);
        csv_reading_row(csv, f);
        for (int n : csv_row_sizes(csv))
            FUZZ_CHECK(n == READING_COLUMNS);
        g.add(rec);
        g.add(rec);
        csv_group_row(groups, g);
        for (int n : csv_row_sizes(groups))
            FUZZ_CHECK(n == 10);
        if (f[COL_LATITUDE].kind != FieldKind::empty)
            check_positions(f);
    } else if (type == MEAS_TYPE_SERIES) {
        const int rows = csv_series_rows(series, rec);
        const std::vector<int> sizes = csv_row_sizes(series);
        FUZZ_CHECK(int(sizes.size()) == rows + 1);
        for (int n : sizes)
            FUZZ_CHECK(n == 5);
    }
    FUZZ_CHECK(finite_text(csv + series + groups));

    Report report(ReportLimits(), true);
    report.add_record(rec, 2);
    if (g.count > 0)
        report.add_group(g);
    const std::string html =
        report.html(serial, "dir/archive/index.json", 1, {int64_t(rec.rec_no)});
    bool finite = true;
    FUZZ_CHECK(well_formed(html, &finite));
    FUZZ_CHECK(finite);
    return 0;
}
