// The export's HTML report.
#include "export_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "export_svg.h"
#include "export_xml.h"
#include "version.h"

namespace {

// Size and margins of a plot, in pixels.
constexpr int PLOT_W = 760;
constexpr int PLOT_H = 320;
constexpr double M_LEFT = 80, M_RIGHT = 80, M_TOP = 14, M_BOTTOM = 50;
// The scatter: its square-ish plot area and the colour bar beside it.
constexpr int MAP_W = 760;
constexpr int MAP_H = 520;
constexpr double MAP_AREA_W = 540, MAP_AREA_H = 440;
constexpr double BAR_GAP = 40, BAR_W = 16;
constexpr int BAR_STEPS = 48;
constexpr double POINT_R = 2.5;
constexpr double MARK_R = 3.5;
// Half the side of the frame around positions that all coincide.
constexpr double MAP_MIN_HALF_DEG = 0.0005;
// The frame is this much wider than the positions, so none sits on it.
constexpr double MAP_MARGIN = 1.08;
// Ticks wanted along an axis.
constexpr int X_TICKS = 8, Y_TICKS = 5, HIST_BINS = 20;
// Damaged records named in the header; the rest are counted.
constexpr size_t DAMAGED_NAMED = 20;

const char *const UNITS[3] = {"SI", "CGS", "%"};

uint8_t unit_id(const meas_record &r) {
    const std::string u = susc_unit(r);
    return u == "SI" ? 0 : u == "CGS" ? 1 : 2;
}

std::string fmt(const char *format, double v) {
    char t[64];
    snprintf(t, sizeof t, format, v);
    return t;
}

// A colour of a perceptually even map from dark blue (0) to yellow (1).
std::string colour(double t) {
    static const double stops[5][3] = {{68, 1, 84},
                                       {59, 82, 139},
                                       {33, 145, 140},
                                       {94, 201, 98},
                                       {253, 231, 37}};
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0) * 4;
    const int i = std::min(int(t), 3);
    const double f = t - i;
    char c[8];
    int rgb[3];
    for (int k = 0; k < 3; k++)
        rgb[k] =
            int(std::lround(stops[i][k] + (stops[i + 1][k] - stops[i][k]) * f));
    snprintf(c, sizeof c, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
    return c;
}

void minmax(double v, double *lo, double *hi) {
    *lo = std::min(*lo, v);
    *hi = std::max(*hi, v);
}

// The plot of a series or core scan: both quantities against the sample
// index, or against depth for a core whose length is known (samples spread
// evenly along the core from its depth); marked samples circled.
std::string series_plot(const meas_record &r) {
    const int n = record_sample_count(r);
    const borehole_block &b = r.borehole;
    const bool depth =
        record_is_core(r) && std::isfinite(b.core_length) && b.core_length > 0;
    auto xval = [&](int i) {
        return depth ? double(b.core_depth) + double(b.core_length) * i / n
                     : double(i);
    };
    double slo = HUGE_VAL, shi = -HUGE_VAL, clo = HUGE_VAL, chi = -HUGE_VAL;
    for (int i = 0; i < n; i++) {
        minmax(r.susc_samples[i], &slo, &shi);
        minmax(r.cond_samples[i], &clo, &chi);
    }
    const Ticks tx = nice_ticks(xval(0), xval(n - 1), X_TICKS);
    const Ticks ts = nice_ticks(slo, shi, Y_TICKS);
    const Ticks tc = nice_ticks(clo, chi, Y_TICKS);
    const double bottom = PLOT_H - M_BOTTOM, right = PLOT_W - M_RIGHT;
    const Scale sx{tx.lo(), tx.hi(), M_LEFT, right};
    const Scale ss{ts.lo(), ts.hi(), bottom, M_TOP};
    const Scale sc{tc.lo(), tc.hi(), bottom, M_TOP};

    Svg svg(PLOT_W, PLOT_H, "Record " + std::to_string(r.rec_no));
    svg.axis_x(sx, tx, bottom, M_TOP,
               depth ? std::string("Depth (") + borehole_unit(r) + ")"
                     : std::string("Sample"));
    svg.axis_y(ss, ts, M_LEFT, false, right,
               std::string("Susceptibility (") + susc_unit(r) + ")", "s");
    svg.axis_y(sc, tc, right, true, right,
               std::string("Conductivity (") + cond_unit(r) + ")", "c");
    for (int q = 0; q < 2; q++) {
        const float *v = q == 0 ? r.susc_samples : r.cond_samples;
        const Scale &sy = q == 0 ? ss : sc;
        svg.polyline_begin(q == 0 ? "s" : "c");
        for (int i = 0; i < n; i++)
            svg.point(sx(xval(i)), sy(v[i]));
        svg.polyline_end();
        for (int i = 0; i < n; i++)
            if (sample_marked(r, i))
                svg.circle(sx(xval(i)), sy(v[i]), MARK_R, "mk");
    }
    return svg.finish();
}

std::string series_caption(const meas_record &r, int marked) {
    std::string c = "Record " + std::to_string(r.rec_no) + ", " +
                    record_time(r) + ", group " + std::to_string(r.group_no);
    if (record_is_core(r)) {
        const borehole_block &b = r.borehole;
        c += ": scan of core " + std::to_string(b.core_num) + " of borehole " +
             std::to_string(b.bh_id);
        if (b.desc[0])
            c += std::string(" \"") + b.desc + "\"";
        c += " at " + fmt("%.2f", b.core_depth) + " " + borehole_unit(r);
    } else {
        c += ": series";
    }
    c += ", " + std::to_string(record_sample_count(r)) + " samples, " +
         std::to_string(marked) + " marked";
    return c;
}

// The stylesheet: the plots' classes and a plain page.
constexpr const char *STYLE =
    "body{font-family:sans-serif;margin:1.5em;color:#222;max-width:62em}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em}"
    "table{border-collapse:collapse}"
    "td,th{padding:.2em .7em;border-bottom:1px solid #ddd;text-align:left}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "figure{margin:1em 0}figcaption{font-size:.9em;color:#444}"
    "svg{display:block;max-width:100%;height:auto}"
    "svg text{font-size:12px;font-family:sans-serif}"
    "line.ax{stroke:#444}line.grid{stroke:#e4e4e4}"
    "polyline{fill:none;stroke-width:1.5}"
    "polyline.s,line.s{stroke:#1f5fa8}text.s{fill:#1f5fa8}"
    "polyline.c,line.c{stroke:#c0392b}text.c{fill:#c0392b}"
    "text.lab{fill:#222}text.tick{fill:#444}"
    "circle.mk{fill:none;stroke:#e69500;stroke-width:2}"
    "circle.p{stroke:none}circle.o{fill:#bbb}"
    "rect.bar{fill:#1f5fa8}rect.cb{stroke:none}"
    ".ks{color:#1f5fa8}.kc{color:#c0392b}.km{color:#e69500}";

} // namespace

Report::Report(const ReportLimits &limits, bool series_csv)
    : limits_(limits), series_csv_(series_csv) {}

void Report::add_record(const meas_record &r, int64_t first_row) {
    exported_++;
    const std::string t = record_time(r);
    if (time_first_.empty() || t < time_first_)
        time_first_ = t;
    if (time_last_.empty() || t > time_last_)
        time_last_ = t;
    const int type = record_type(r);
    if (type == MEAS_TYPE_SINGLE) {
        const uint8_t u = unit_id(r);
        susc_[u].push_back(r.susc);
        double lat, lon;
        if (gps_degrees(r.gps, &lat, &lon))
            points_.push_back({lat, lon, r.susc, u});
        return;
    }
    if (type != MEAS_TYPE_SERIES)
        return;
    const int n = record_sample_count(r);
    int marked = 0;
    for (int i = 0; i < n; i++)
        marked += sample_marked(r, i);
    const std::string caption = series_caption(r, marked);
    if (n > 0 && drawn_ < limits_.plots) {
        drawn_++;
        series_plots_ += "<figure>";
        series_plots_ += series_plot(r);
        series_plots_ += "<figcaption>";
        xml_append(series_plots_, caption);
        series_plots_ += " &#8212; <span class=\"ks\">&#9644; "
                         "susceptibility</span>, <span class=\"kc\">&#9644; "
                         "conductivity</span>, <span class=\"km\">&#9675; "
                         "marked</span></figcaption></figure>\n";
        return;
    }
    listed_++;
    series_list_ += "<li>";
    xml_append(series_list_, caption);
    if (n > 0 && series_csv_) {
        const std::string rows =
            std::to_string(first_row) + "-" + std::to_string(first_row + n - 1);
        series_list_ += ": <a href=\"series.csv#row=" + rows +
                        "\">series.csv rows " + rows + "</a>";
    }
    series_list_ += "</li>\n";
}

void Report::add_group(const GroupStats &g) {
    groups_++;
    const bool sd = g.count > 1;
    group_rows_ += "<tr><td class=\"n\">" + std::to_string(g.group_no) +
                   "</td><td class=\"n\">" + std::to_string(g.first_rec_no);
    if (g.last_rec_no != g.first_rec_no)
        group_rows_ += "&#8211;" + std::to_string(g.last_rec_no);
    group_rows_ += "</td><td class=\"n\">" + std::to_string(g.count) +
                   "</td><td class=\"n\">" + fmt("%.3f", g.mean_s());
    if (sd)
        group_rows_ += " &#177; " + fmt("%.3f", g.sd_s());
    group_rows_ += " ";
    xml_append(group_rows_, g.susc_unit);
    group_rows_ += "</td><td class=\"n\">" + fmt("%.1f", g.mean_c());
    if (sd)
        group_rows_ += " &#177; " + fmt("%.1f", g.sd_c());
    group_rows_ += " ";
    xml_append(group_rows_, g.cond_unit);
    group_rows_ += "</td></tr>\n";
}

int Report::main_unit() const {
    int best = 0;
    for (int u = 1; u < 3; u++)
        if (susc_[u].size() > susc_[best].size())
            best = u;
    return best;
}

int Report::plots() const {
    return drawn_ + (points_.empty() ? 0 : 1) +
           (susc_[main_unit()].empty() ? 0 : 1);
}

std::string Report::scatter() const {
    const size_t n = points_.size();
    const size_t limit = size_t(std::max(limits_.points, 1));
    // The frame holds every position, drawn or not.
    double lat0 = HUGE_VAL, lat1 = -HUGE_VAL, lon0 = HUGE_VAL, lon1 = -HUGE_VAL;
    for (const Point &p : points_) {
        minmax(p.lat, &lat0, &lat1);
        minmax(p.lon, &lon0, &lon1);
    }
    // Equal distances: a degree of longitude spans cos(latitude) of a
    // degree of latitude.
    const double latc = (lat0 + lat1) / 2, lonc = (lon0 + lon1) / 2;
    const double k = std::max(std::cos(latc * std::numbers::pi / 180), 0.01);
    double dx = std::max((lon1 - lon0) * k * MAP_MARGIN, 2 * MAP_MIN_HALF_DEG);
    double dy = std::max((lat1 - lat0) * MAP_MARGIN, 2 * MAP_MIN_HALF_DEG);
    const double px = std::min(MAP_AREA_W / dx, MAP_AREA_H / dy);
    dx = MAP_AREA_W / px / k;
    dy = MAP_AREA_H / px;
    const double top = M_TOP + 10, bottom = top + MAP_AREA_H;
    const double right = M_LEFT + MAP_AREA_W;
    const Scale sx{lonc - dx / 2, lonc + dx / 2, M_LEFT, right};
    const Scale sy{latc - dy / 2, latc + dy / 2, bottom, top};

    // Which points are drawn: all, or an even choice of `limit` of them.
    auto drawn = [&](size_t i) {
        return n <= limit || i == 0 || (i * limit) / n != ((i - 1) * limit) / n;
    };
    const int unit = main_unit();
    double v0 = HUGE_VAL, v1 = -HUGE_VAL;
    for (size_t i = 0; i < n; i++)
        if (drawn(i) && points_[i].unit == unit)
            minmax(points_[i].susc, &v0, &v1);
    const bool coloured = v0 <= v1;
    const Ticks tv = nice_ticks(coloured ? v0 : 0, coloured ? v1 : 1, Y_TICKS);

    Svg svg(MAP_W, MAP_H, "Positions of the readings");
    svg.axis_x(sx, nice_ticks(sx.d0, sx.d1, Y_TICKS), bottom, top,
               "Longitude (degrees)");
    svg.axis_y(sy, nice_ticks(sy.d0, sy.d1, Y_TICKS), M_LEFT, false, right,
               "Latitude (degrees)", "ax");
    for (size_t i = 0; i < n; i++) {
        if (!drawn(i))
            continue;
        const Point &p = points_[i];
        if (p.unit == unit)
            svg.circle(
                sx(p.lon), sy(p.lat), POINT_R, "p",
                colour((p.susc - tv.lo()) / (tv.hi() - tv.lo())).c_str());
        else
            svg.circle(sx(p.lon), sy(p.lat), POINT_R, "o");
    }
    // The colour bar: the map's colours from the lowest to the highest
    // tick, with the susceptibility's ticks beside it.
    const double bx = right + BAR_GAP;
    const double h = (bottom - top) / BAR_STEPS;
    for (int i = 0; i < BAR_STEPS; i++)
        svg.rect(bx, bottom - (i + 1) * h, BAR_W, h + 0.5, "cb",
                 colour((i + 0.5) / BAR_STEPS).c_str());
    const Scale bar{tv.lo(), tv.hi(), bottom, top};
    svg.axis_y(bar, tv, bx + BAR_W, true, bx + BAR_W,
               std::string("Susceptibility (") + UNITS[unit] + ")", "ax");
    return svg.finish();
}

std::string Report::histogram() const {
    const std::vector<float> &v = susc_[main_unit()];
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (float x : v)
        minmax(x, &lo, &hi);
    const Ticks bins = nice_ticks(lo, hi, HIST_BINS);
    const int nb = bins.count - 1;
    std::vector<int> counts(size_t(nb), 0);
    for (float x : v) {
        const int i = int(std::floor((x - bins.first) / bins.step));
        counts[size_t(std::clamp(i, 0, nb - 1))]++;
    }
    const int most = *std::max_element(counts.begin(), counts.end());
    const double bottom = PLOT_H - M_BOTTOM, right = PLOT_W - M_RIGHT;
    const Scale sx{bins.lo(), bins.hi(), M_LEFT, right};
    const Ticks ty = nice_ticks(0, most, std::min(most, Y_TICKS));
    const Scale sy{ty.lo(), ty.hi(), bottom, M_TOP};

    Svg svg(PLOT_W, PLOT_H, "Histogram of susceptibility");
    svg.axis_x(sx, nice_ticks(bins.lo(), bins.hi(), X_TICKS), bottom, M_TOP,
               std::string("Susceptibility (") + UNITS[main_unit()] + ")");
    svg.axis_y(sy, ty, M_LEFT, false, right, "Readings", "ax");
    for (int i = 0; i < nb; i++) {
        if (counts[size_t(i)] == 0)
            continue;
        const double x0 = sx(bins.value(i)), x1 = sx(bins.value(i + 1));
        svg.rect(x0 + 0.5, sy(counts[size_t(i)]), x1 - x0 - 1,
                 bottom - sy(counts[size_t(i)]), "bar");
    }
    return svg.finish();
}

std::string Report::html(const std::string &serial, const std::string &source,
                         int records,
                         const std::vector<int64_t> &damaged) const {
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"
         "<meta charset=\"utf-8\"/>\n"
         // Nothing may be fetched: the report stands alone.
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
         "'none'; style-src 'unsafe-inline'\"/>\n"
         "<meta name=\"viewport\" content=\"width=device-width\"/>\n"
         "<title>Measurement log ";
    xml_append(h, serial);
    h += "</title>\n<style>";
    h += STYLE;
    h += "</style>\n</head>\n<body>\n<h1>Measurement log of the VO-62 V2 ";
    xml_append(h, serial);
    h += "</h1>\n<table>\n<tr><th>Instrument</th><td>";
    xml_append(h, serial);
    h += "</td></tr>\n<tr><th>Records</th><td>" + std::to_string(records) +
         " in the archive, " + std::to_string(exported_) + " exported";
    if (!damaged.empty()) {
        h += ", " + std::to_string(damaged.size()) +
             " damaged and left out (rec_no";
        for (size_t i = 0; i < damaged.size() && i < DAMAGED_NAMED; i++)
            h += (i ? ", " : " ") + std::to_string(damaged[i]);
        if (damaged.size() > DAMAGED_NAMED)
            h += ", ...";
        h += ")";
    }
    h += "</td></tr>\n<tr><th>Time span</th><td>";
    if (exported_ > 0)
        h += time_first_ + " to " + time_last_ +
             " (the instrument's local time)";
    h += "</td></tr>\n<tr><th>Made from</th><td>";
    xml_append(h, source);
    h += "</td></tr>\n<tr><th>Made by</th><td>ra62d2ide " RA62_VERSION
         "</td></tr>\n</table>\n";

    h += "<h2>Statistics groups</h2>\n";
    if (groups_ == 0) {
        h += "<p>No single readings.</p>\n";
    } else {
        h += "<table>\n<tr><th>Group</th><th>rec_no</th><th>Readings</th>"
             "<th>Susceptibility (mean &#177; deviation)</th>"
             "<th>Conductivity (mean &#177; deviation)</th></tr>\n";
        h += group_rows_;
        h += "</table>\n";
    }

    h += "<h2>Series and core scans</h2>\n";
    if (drawn_ == 0 && listed_ == 0)
        h += "<p>No series.</p>\n";
    h += series_plots_;
    if (listed_ > 0) {
        h += "<p>" + std::to_string(listed_) +
             (drawn_ >= limits_.plots ? " more series are not drawn (at most " +
                                            std::to_string(limits_.plots) +
                                            " are) or have no samples:"
                                      : " series without samples:") +
             "</p>\n<ul>\n" + series_list_ + "</ul>\n";
    }

    h += "<h2>Positions</h2>\n";
    if (points_.empty()) {
        h += "<p>No reading has a GPS fix.</p>\n";
    } else {
        h += "<figure>" + scatter() + "<figcaption>";
        const size_t n = points_.size(), limit = size_t(limits_.points);
        h += std::to_string(n) + " readings with a GPS fix";
        if (n > limit)
            h += ", " + std::to_string(limit) +
                 " of them drawn, evenly spaced in archive order";
        h += "; longitude and latitude at equal distances, coloured by "
             "susceptibility";
        h += std::string(" in ") + UNITS[main_unit()] +
             " (grey: readings in other units).</figcaption></figure>\n";
    }

    h += "<h2>Susceptibility</h2>\n";
    const std::vector<float> &v = susc_[main_unit()];
    if (v.empty()) {
        h += "<p>No single readings.</p>\n";
    } else {
        h += "<figure>" + histogram() + "<figcaption>" +
             std::to_string(v.size()) + " readings in " + UNITS[main_unit()];
        const size_t all = susc_[0].size() + susc_[1].size() + susc_[2].size();
        if (all > v.size())
            h += " (" + std::to_string(all - v.size()) +
                 " in other units not shown)";
        h += ".</figcaption></figure>\n";
    }
    h += "</body>\n</html>\n";
    return h;
}
