// A full measurement log for the order benchmarks: 65,536 occupied slots.
#ifndef BENCH_FULL_LOG_H
#define BENCH_FULL_LOG_H

#include <cstdint>
#include <random>
#include <vector>

#include "v21_cmds.h"

constexpr int FULL_LOG = 65536;

// Every slot occupied. With ascending false the keys repeat (the instrument
// may give equal keys) and some have the top bit set.
inline std::vector<log_entry> full_log(bool ascending) {
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

#endif
