#include "console_progress.h"

#include "libcomm.h"

void DotProgress::advance(uint64_t) {
    if (every_ != 0 && index_ % every_ == phase_)
        log_write("MAIN", ".");
    index_++;
}

void PercentProgress::begin(uint64_t total, ProgressUnit) {
    total_ = total;
    done_ = 0;
    calls_ = 0;
}

void PercentProgress::advance(uint64_t n) {
    done_ += n;
    calls_++;
    if (every_ != 0 && calls_ % every_ == 0 && total_ != 0)
        log_write("MAIN", "%.1f%%\n",
                  static_cast<double>(done_) * 100.0 /
                      static_cast<double>(total_));
}

void OffsetProgress::begin(uint64_t total, ProgressUnit) {
    total_ = total;
    done_ = 0;
    if (done_ < total_)
        log_write("MAIN", "%d", static_cast<int>(done_));
}

void OffsetProgress::advance(uint64_t n) {
    log_write("MAIN", ".");
    done_ += n;
    if (done_ < total_)
        log_write("MAIN", "%d", static_cast<int>(done_));
}
