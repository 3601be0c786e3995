// Progress sinks of the interactive console: they print the dots, offsets
// and percentages its transfers have always printed, on standard output.
#ifndef CONSOLE_PROGRESS_H
#define CONSOLE_PROGRESS_H

#include "ops.h"

// A dot for every advance whose number (from 0 at begin) leaves remainder
// phase when divided by every.
class DotProgress : public Progress {
  public:
    DotProgress(unsigned every, unsigned phase)
        : every_(every), phase_(phase) {}
    void begin(uint64_t, ProgressUnit) override { index_ = 0; }
    void advance(uint64_t) override;
    void end() override {}

  private:
    unsigned every_, phase_;
    uint64_t index_ = 0;
};

// A line "P%" (one decimal) of the bytes done of the total after every
// every-th advance; none when the total is 0.
class PercentProgress : public Progress {
  public:
    explicit PercentProgress(unsigned every) : every_(every) {}
    void begin(uint64_t total, ProgressUnit) override;
    void advance(uint64_t n) override;
    void end() override {}

  private:
    unsigned every_;
    uint64_t total_ = 0, done_ = 0, calls_ = 0;
};

// The offset of every piece before it is read and a dot after it: "0.450."
// up to the total.
class OffsetProgress : public Progress {
  public:
    void begin(uint64_t total, ProgressUnit) override;
    void advance(uint64_t n) override;
    void end() override {}

  private:
    uint64_t total_ = 0, done_ = 0;
};

#endif
