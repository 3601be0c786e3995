// The progress bar of the command line: one line on standard error with
// done and total, the rate and the time left, redrawn at most ten times a
// second and ended with a line end.
#ifndef CLI_PROGRESS_H
#define CLI_PROGRESS_H

#include <chrono>
#include <string>

#include "ops.h"

class BarProgress : public Progress {
  public:
    void begin(uint64_t total, ProgressUnit unit) override;
    void advance(uint64_t n) override;
    void end() override;

  private:
    using Clock = std::chrono::steady_clock;
    void draw();

    uint64_t total_ = 0, done_ = 0;
    ProgressUnit unit_ = ProgressUnit::bytes;
    Clock::time_point start_, last_draw_;
    bool active_ = false;
    size_t drawn_ = 0; // characters of the line last drawn (Windows)
};

// The bar's text for done of total after seconds (total 0: unknown), at
// most width characters; used by the bar and its tests.
std::string progress_line(uint64_t done, uint64_t total, ProgressUnit unit,
                          double seconds);

#endif
