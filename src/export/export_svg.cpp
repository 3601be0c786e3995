// The report's SVG writer.
#include "export_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "export_xml.h"

namespace {

// Pixel offsets of tick marks and labels from their axis.
constexpr double TICK_LEN = 5;
constexpr double X_LABEL_GAP = 17;
constexpr double X_TITLE_GAP = 34;
constexpr double Y_LABEL_GAP = 8;
constexpr double Y_TITLE_GAP = 52;
// Widths an empty range is widened by: a share of its value, or 1.
constexpr double EMPTY_RANGE_SHARE = 0.05;
// Steps beyond these powers of ten are labelled in exponent form.
constexpr double FIXED_STEP_MIN = 1e-6;
constexpr double FIXED_VALUE_MAX = 1e9;

// Whether v lies within the scale's data range (ticks outside it are not
// drawn: a scatter's frame is set by equal scaling, not by its ticks).
bool inside(const Scale &s, double v) {
    const double eps = std::fabs(s.d1 - s.d0) * 1e-9;
    return v >= std::min(s.d0, s.d1) - eps && v <= std::max(s.d0, s.d1) + eps;
}

} // namespace

std::string Ticks::label(int i) const {
    double v = value(i);
    // A tick at zero that rounding moved off it reads "0", never "-0".
    if (std::fabs(v) < step * 1e-6)
        v = 0;
    char t[40];
    if (step < FIXED_STEP_MIN ||
        std::max(std::fabs(first), std::fabs(hi())) >= FIXED_VALUE_MAX) {
        snprintf(t, sizeof t, "%.3g", v);
    } else {
        const int decimals =
            std::max(0, int(std::ceil(-std::log10(step) - 1e-9)));
        snprintf(t, sizeof t, "%.*f", decimals, v);
    }
    return t;
}

Ticks nice_ticks(double lo, double hi, int want) {
    if (!std::isfinite(lo) || !std::isfinite(hi) || want < 1) {
        lo = 0;
        hi = 1;
        want = std::max(want, 1);
    }
    if (hi < lo)
        std::swap(lo, hi);
    if (hi - lo <= std::fabs(hi) * 1e-9 || hi - lo == 0) {
        double d = std::fabs(lo) * EMPTY_RANGE_SHARE;
        if (d == 0)
            d = 1;
        lo -= d;
        hi += d;
    }
    const double raw = (hi - lo) / want;
    const double mag = std::pow(10, std::floor(std::log10(raw)));
    const double r = raw / mag;
    const double step = (r <= 1 ? 1 : r <= 2 ? 2 : r <= 5 ? 5 : 10) * mag;
    Ticks t;
    t.step = step;
    t.first = std::floor(lo / step) * step;
    const double last = std::ceil(hi / step) * step;
    t.count = int(std::lround((last - t.first) / step)) + 1;
    t.count = std::clamp(t.count, 2, TICKS_MAX);
    return t;
}

Svg::Svg(int width, int height, std::string_view title) {
    char head[160];
    snprintf(head, sizeof head,
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\"><title>",
             width, height, width, height);
    s_ = head;
    xml_append(s_, title);
    s_ += "</title>\n";
}

void Svg::num(double v) {
    char t[32];
    snprintf(t, sizeof t, "%.1f", v);
    s_ += t;
}

void Svg::open(const char *element, const char *cls) {
    s_ += '<';
    s_ += element;
    s_ += " class=\"";
    s_ += cls;
    s_ += '"';
}

void Svg::attr(const char *name, double v) {
    s_ += ' ';
    s_ += name;
    s_ += "=\"";
    num(v);
    s_ += '"';
}

void Svg::attr(const char *name, const char *v) {
    s_ += ' ';
    s_ += name;
    s_ += "=\"";
    s_ += v;
    s_ += '"';
}

void Svg::line(double x1, double y1, double x2, double y2, const char *cls) {
    open("line", cls);
    attr("x1", x1);
    attr("y1", y1);
    attr("x2", x2);
    attr("y2", y2);
    s_ += "/>\n";
}

void Svg::polyline_begin(const char *cls) {
    open("polyline", cls);
    s_ += " points=\"";
    first_point_ = true;
}

void Svg::point(double x, double y) {
    if (!first_point_)
        s_ += ' ';
    first_point_ = false;
    num(x);
    s_ += ',';
    num(y);
}

void Svg::polyline_end() {
    s_ += "\"/>\n";
}

void Svg::circle(double x, double y, double r, const char *cls,
                 const char *fill) {
    open("circle", cls);
    attr("cx", x);
    attr("cy", y);
    attr("r", r);
    if (fill)
        attr("fill", fill);
    s_ += "/>\n";
}

void Svg::rect(double x, double y, double w, double h, const char *cls,
               const char *fill) {
    open("rect", cls);
    attr("x", x);
    attr("y", y);
    attr("width", std::max(w, 0.0));
    attr("height", std::max(h, 0.0));
    if (fill)
        attr("fill", fill);
    s_ += "/>\n";
}

void Svg::text(double x, double y, std::string_view text, const char *cls,
               const char *anchor, int rotate) {
    open("text", cls);
    attr("x", x);
    attr("y", y);
    attr("text-anchor", anchor);
    if (rotate != 0) {
        char t[80];
        snprintf(t, sizeof t, " transform=\"rotate(%d %.1f %.1f)\"", rotate, x,
                 y);
        s_ += t;
    }
    s_ += '>';
    xml_append(s_, text);
    s_ += "</text>\n";
}

void Svg::axis_x(const Scale &s, const Ticks &t, double y, double grid_to,
                 std::string_view label) {
    line(s.p0, y, s.p1, y, "ax");
    for (int i = 0; i < t.count; i++) {
        if (!inside(s, t.value(i)))
            continue;
        const double x = s(t.value(i));
        if (grid_to != y)
            line(x, y, x, grid_to, "grid");
        line(x, y, x, y + TICK_LEN, "ax");
        text(x, y + X_LABEL_GAP, t.label(i), "tick");
    }
    text((s.p0 + s.p1) / 2, y + X_TITLE_GAP, label, "lab");
}

void Svg::axis_y(const Scale &s, const Ticks &t, double x, bool right,
                 double grid_to, std::string_view label, const char *cls) {
    const double dir = right ? 1 : -1;
    line(x, s.p0, x, s.p1, cls);
    for (int i = 0; i < t.count; i++) {
        if (!inside(s, t.value(i)))
            continue;
        const double y = s(t.value(i));
        if (grid_to != x)
            line(x, y, grid_to, y, "grid");
        line(x, y, x + dir * TICK_LEN, y, cls);
        text(x + dir * Y_LABEL_GAP, y + 4, t.label(i), "tick",
             right ? "start" : "end");
    }
    const double lx = x + dir * Y_TITLE_GAP;
    text(lx, (s.p0 + s.p1) / 2, label, cls, "middle", right ? 90 : -90);
}

std::string Svg::finish() {
    s_ += "</svg>";
    return std::move(s_);
}
