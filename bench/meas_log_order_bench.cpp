// The download order of a full log: 65,536 occupied slots.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "v21_cmds.h"

namespace {

constexpr int FULL_LOG = 65536;

// Every slot occupied; keys repeat (the instrument may give equal keys) and
// some have the top bit set.
std::vector<log_entry> full_log(bool ascending) {
    std::vector<log_entry> t(FULL_LOG);
    std::mt19937 rng(62);
    for (int i = 0; i < FULL_LOG; i++) {
        uint32_t key = ascending ? uint32_t(i + 1) : rng() % 50000 + 1;
        if (!ascending && i % 97 == 0)
            key |= 0x80000000u;
        t[size_t(i)] = {key, uint8_t(i & 3)};
    }
    return t;
}

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
