// A small SVG writer for the report's plots: round-number ticks, linear
// scales, axes with labelled ticks, polylines, markers, rectangles and
// text. Styles come from the classes of the page's stylesheet; nothing
// needs a script.
#ifndef EXPORT_SVG_H
#define EXPORT_SVG_H

#include <string>
#include <string_view>

// Ticks at round numbers (1, 2 or 5 times a power of ten): first + i * step
// for i from 0 to count - 1, covering the range they were made for.
struct Ticks {
    double first = 0, step = 1;
    int count = 2;
    double value(int i) const { return first + i * step; }
    double lo() const { return first; }
    double hi() const { return value(count - 1); }
    // The tick's number with as many decimals as the step needs.
    std::string label(int i) const;
};

// At most this many ticks on an axis, whatever the range.
constexpr int TICKS_MAX = 60;

// Ticks covering lo..hi, widened outward to round numbers, about `want`
// intervals apart. An empty range (lo == hi) is widened around its value;
// a range that is not finite becomes 0..1.
Ticks nice_ticks(double lo, double hi, int want);

// A linear map of the data range d0..d1 onto the pixels p0..p1.
struct Scale {
    double d0 = 0, d1 = 1, p0 = 0, p1 = 1;
    double operator()(double v) const {
        return p0 + (v - d0) * (p1 - p0) / (d1 - d0);
    }
};

class Svg {
  public:
    // An image of width x height pixels whose accessible name is title.
    Svg(int width, int height, std::string_view title);

    void line(double x1, double y1, double x2, double y2, const char *cls);
    // A polyline: begin, its points, end.
    void polyline_begin(const char *cls);
    void point(double x, double y);
    void polyline_end();
    // fill, when given, is a colour "#rrggbb" that overrides the class's.
    void circle(double x, double y, double r, const char *cls,
                const char *fill = nullptr);
    void rect(double x, double y, double w, double h, const char *cls,
              const char *fill = nullptr);
    // anchor: "start", "middle" or "end"; rotate: degrees about (x, y).
    void text(double x, double y, std::string_view text, const char *cls,
              const char *anchor = "middle", int rotate = 0);

    // A horizontal axis at pixel row y: its line, ticks with labels below,
    // grid lines up to row grid_to, and the label under it all.
    void axis_x(const Scale &s, const Ticks &t, double y, double grid_to,
                std::string_view label);
    // A vertical axis at pixel column x, labels to its left (or right),
    // grid lines across to column grid_to (none when it is x), the label
    // turned along it; cls colours the axis.
    void axis_y(const Scale &s, const Ticks &t, double x, bool right,
                double grid_to, std::string_view label, const char *cls);

    // The finished element.
    std::string finish();

  private:
    void num(double v);
    // `<element class="cls"`, then ` name="value"` attributes.
    void open(const char *element, const char *cls);
    void attr(const char *name, double v);
    void attr(const char *name, const char *v);
    std::string s_;
    bool first_point_ = true;
};

#endif
