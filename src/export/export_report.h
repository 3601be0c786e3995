// The export's report: one self-contained HTML file with inline CSS and
// SVG that opens offline in any browser and needs no script. It holds a
// header (serial, records, time span, the index it was made from), the
// table of statistics groups, a plot of every series and core scan, a
// scatter of the readings' positions coloured by susceptibility, and a
// histogram of susceptibility.
//
// Records are added one at a time in archive order; the report keeps only
// what its plots need, so a log of 65,536 records stays small in memory and
// on disk.
#ifndef EXPORT_REPORT_H
#define EXPORT_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "export_records.h"

// What keeps a report of a large log readable: series drawn in full (the
// rest are listed), and positions drawn in the scatter (more are thinned
// evenly).
constexpr int REPORT_MAX_PLOTS = 200;
constexpr int REPORT_MAX_POINTS = 20000;

struct ReportLimits {
    int plots = REPORT_MAX_PLOTS;
    int points = REPORT_MAX_POINTS;
};

class Report {
  public:
    // series_csv: series.csv is written beside the report, so the series
    // not drawn link to their rows in it.
    Report(const ReportLimits &limits, bool series_csv);

    // A record that was read whole; for a series, first_row is the row of
    // its first sample in series.csv (RFC 7111 numbering: the header is
    // row 1).
    void add_record(const meas_record &rec, int64_t first_row);
    // A statistics group with at least one reading.
    void add_group(const GroupStats &g);

    // The page. source: the index it was made from; records: entries of
    // the index; damaged: the rec_no of each record left out.
    std::string html(const std::string &serial, const std::string &source,
                     int records, const std::vector<int64_t> &damaged) const;
    // The <svg> plots the page holds.
    int plots() const;

  private:
    struct Point {
        double lat, lon;
        float susc;
        uint8_t unit;
    };
    std::string scatter() const;
    std::string histogram() const;
    int main_unit() const;

    ReportLimits limits_;
    bool series_csv_;
    std::string time_first_, time_last_;
    int exported_ = 0;
    int drawn_ = 0;
    std::string series_plots_; // the figures drawn
    std::string series_list_;  // the series listed instead
    int listed_ = 0;
    std::string group_rows_;
    int groups_ = 0;
    std::vector<Point> points_;  // readings with a position
    std::vector<float> susc_[3]; // readings by susceptibility unit
};

#endif
