#include "cli_progress.h"

#include <cmath>
#include <cstdio>

#include "libcomm.h"

namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
constexpr int BAR_CELLS = 24;
constexpr double KIB = 1024.0;

std::string amount(double n, ProgressUnit unit) {
    char buf[32];
    if (unit != ProgressUnit::bytes) {
        snprintf(buf, sizeof buf, "%.0f", n);
        return buf;
    }
    if (n < KIB)
        snprintf(buf, sizeof buf, "%.0f B", n);
    else if (n < KIB * KIB)
        snprintf(buf, sizeof buf, "%.1f KiB", n / KIB);
    else
        snprintf(buf, sizeof buf, "%.1f MiB", n / (KIB * KIB));
    return buf;
}

const char *unit_name(ProgressUnit unit) {
    switch (unit) {
    case ProgressUnit::records:
        return " records";
    case ProgressUnit::blocks:
        return " blocks";
    case ProgressUnit::slots:
        return " slots";
    case ProgressUnit::files:
        return " files";
    case ProgressUnit::bytes:
        break;
    }
    return "";
}

} // namespace

std::string progress_line(uint64_t done, uint64_t total, ProgressUnit unit,
                          double seconds) {
    std::string line;
    if (total > 0) {
        const double part = done >= total ? 1.0 : double(done) / double(total);
        const int filled = static_cast<int>(part * BAR_CELLS);
        line = "[" + std::string(size_t(filled), '#') +
               std::string(size_t(BAR_CELLS - filled), '.') + "] ";
        char pct[16];
        snprintf(pct, sizeof pct, "%3.0f%% ", part * 100.0);
        line += pct;
        line += amount(double(done), unit) + "/" + amount(double(total), unit);
    } else {
        line = amount(double(done), unit);
    }
    line += unit_name(unit);
    if (seconds > 0) {
        const double rate = double(done) / seconds;
        line += "  " + amount(rate, unit) + unit_name(unit) + "/s";
        if (total > done && rate > 0) {
            const long left = std::lround(double(total - done) / rate);
            char eta[32];
            snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
            line += eta;
        }
    }
    return line;
}

void BarProgress::begin(uint64_t total, ProgressUnit unit) {
    total_ = total;
    done_ = 0;
    unit_ = unit;
    start_ = Clock::now();
    last_draw_ = start_;
    active_ = true;
    draw();
}

void BarProgress::advance(uint64_t n) {
    done_ += n;
    if (active_ && Clock::now() - last_draw_ >= REDRAW_INTERVAL)
        draw();
}

void BarProgress::end() {
    if (!active_)
        return;
    draw();
    log_error("\n");
    active_ = false;
    drawn_ = 0;
}

void BarProgress::draw() {
    last_draw_ = Clock::now();
    const double seconds =
        std::chrono::duration<double>(last_draw_ - start_).count();
    const std::string line = progress_line(done_, total_, unit_, seconds);
#ifdef _WIN32
    // "\r" returns to the line's start; blanks cover what a longer earlier
    // text left, as a console window without VT sequences shows them.
    const int blanks =
        drawn_ > line.size() ? static_cast<int>(drawn_ - line.size()) : 0;
    log_error("\r%s%*s", line.c_str(), blanks, "");
    drawn_ = line.size();
#else
    // "\r" returns to the line's start, "\033[K" clears what a longer
    // earlier text left.
    log_error("\r%s\033[K", line.c_str());
#endif
}
