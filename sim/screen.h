// The instrument's monochrome display: 81 rows of 104 pixels, 13 bytes a
// row, the most significant bit leftmost, a set bit black. Text is drawn
// with a 5x7 bitmap font in 6x8 cells.
#ifndef VO62SIM_SCREEN_H
#define VO62SIM_SCREEN_H

#include "le.h"

#include <string>

namespace vo62sim {

constexpr int kScreenRows = 81;
constexpr int kScreenRowBytes = 13;
constexpr int kScreenWidth = kScreenRowBytes * 8;
constexpr size_t kScreenBytes = kScreenRows * kScreenRowBytes;
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kCellWidth = 6;

class Screen {
  public:
    Screen() : px_(kScreenBytes, 0) {}
    void clear() { px_.assign(kScreenBytes, 0); }
    void set(int x, int y, bool black);
    bool get(int x, int y) const;
    // Draws text with its top-left corner at (x, y); characters outside
    // the printable ASCII range draw as '?'; text past the edge is cut.
    void text(int x, int y, const std::string &s);
    void hline(int y);
    const Bytes &bytes() const { return px_; }

  private:
    Bytes px_;
};

// The five columns of a glyph, bit 0 the top row.
const uint8_t *glyph(char c);

} // namespace vo62sim

#endif
