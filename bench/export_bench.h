// The export's figures: a generated archive of a full log exported by the
// program, timed whole, with its peak resident memory and the size of its
// report.
#ifndef EXPORT_BENCH_H
#define EXPORT_BENCH_H

#include <vector>

#include "bench_util.h"

// Records of a full log, and of the smoke run.
constexpr int EXPORT_FULL_RECORDS = 65536;
constexpr int EXPORT_SMOKE_RECORDS = 512;

// Three rows: wall time, peak resident memory, size of report.html.
std::vector<bench::Row> export_figures(int records);

#endif
