// The CSV tables of the export.
#include "export_csv.h"

#include <cstdio>

namespace {

std::string header(std::initializer_list<const char *> names) {
    std::string row;
    bool first = true;
    for (const char *n : names) {
        csv_field(row, n, first);
        first = false;
    }
    csv_end_row(row);
    return row;
}

std::string double_text(double v) {
    char t[32];
    snprintf(t, sizeof t, "%.9g", v);
    return t;
}

} // namespace

void csv_field(std::string &row, std::string_view text, bool first) {
    if (!first)
        row += ',';
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        row += text;
        return;
    }
    row += '"';
    for (char c : text) {
        if (c == '"')
            row += '"';
        row += c;
    }
    row += '"';
}

std::string csv_readings_header() {
    std::string row;
    for (int i = 0; i < READING_COLUMNS; i++)
        csv_field(row, READING_COLUMN_NAMES[i], i == 0);
    csv_end_row(row);
    return row;
}

std::string csv_series_header() {
    return header(
        {"rec_no", "index", "susceptibility", "conductivity", "marked"});
}

std::string csv_groups_header() {
    return header({"group", "first_rec_no", "last_rec_no", "count",
                   "susceptibility_mean", "susceptibility_sd",
                   "susceptibility_unit", "conductivity_mean",
                   "conductivity_sd", "conductivity_unit"});
}

void csv_reading_row(std::string &out, const Field (&f)[READING_COLUMNS]) {
    for (int i = 0; i < READING_COLUMNS; i++)
        csv_field(out, f[i].text, i == 0);
    csv_end_row(out);
}

int csv_series_rows(std::string &out, const meas_record &rec) {
    const std::string rec_no = std::to_string(rec.rec_no);
    const int n = record_sample_count(rec);
    for (int i = 0; i < n; i++) {
        csv_field(out, rec_no, true);
        csv_field(out, std::to_string(i));
        csv_field(out, float_text(rec.susc_samples[i]));
        csv_field(out, float_text(rec.cond_samples[i]));
        csv_field(out, sample_marked(rec, i) ? "1" : "0");
        csv_end_row(out);
    }
    return n;
}

void csv_group_row(std::string &out, const GroupStats &g) {
    // The deviation of a single reading is empty, as the listing shows a
    // line of dashes for it.
    const bool sd = g.count > 1;
    csv_field(out, std::to_string(g.group_no), true);
    csv_field(out, std::to_string(g.first_rec_no));
    csv_field(out, std::to_string(g.last_rec_no));
    csv_field(out, std::to_string(g.count));
    csv_field(out, double_text(g.mean_s()));
    csv_field(out, sd ? double_text(g.sd_s()) : "");
    csv_field(out, g.susc_unit);
    csv_field(out, double_text(g.mean_c()));
    csv_field(out, sd ? double_text(g.sd_c()) : "");
    csv_field(out, g.cond_unit);
    csv_end_row(out);
}
