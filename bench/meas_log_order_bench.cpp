// The download order of a full log: 65,536 occupied slots.
#include <benchmark/benchmark.h>

#include "full_log.h"

namespace {

void BM_order_random_keys(benchmark::State &state) {
    const auto t = full_log(false);
    for (auto _ : state)
        benchmark::DoNotOptimize(meas_log_download_order(t.data(), FULL_LOG));
    state.SetItemsProcessed(state.iterations() * FULL_LOG);
}
BENCHMARK(BM_order_random_keys)->Unit(benchmark::kMillisecond);

void BM_order_ascending_keys(benchmark::State &state) {
    const auto t = full_log(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(meas_log_download_order(t.data(), FULL_LOG));
    state.SetItemsProcessed(state.iterations() * FULL_LOG);
}
BENCHMARK(BM_order_ascending_keys)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
