// The simulator's command line.
#ifndef VO62SIM_OPTIONS_H
#define VO62SIM_OPTIONS_H

#include "faults.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vo62sim {

constexpr const char *kDefaultSerial = "A000XXXX";
constexpr uint64_t kDefaultImageSize = 1u << 20;
constexpr uint32_t kDefaultBlockSize = 4096;
constexpr int kDefaultMeasureMs = 1200;
constexpr int kDefaultScanSampleMs = 100;
constexpr int kMaxLogSlots = 65536;
constexpr int kMaxLatencyMs = 10000;
// The most a read reply and an append carry.
constexpr uint32_t kReadLimit = 3996;
constexpr uint32_t kAppendLimit = 4056;

struct Options {
    std::string card;   // empty: a fresh temporary directory
    std::string serial; // empty: the stored one, else kDefaultSerial
    uint64_t seed = 0;
    bool seed_given = false;
    int tcp_port = -1; // -1: no TCP; 0: any free port
    uint64_t image_size = kDefaultImageSize;
    uint32_t block_size = kDefaultBlockSize;
    bool report_block_size = true; // false: the erase reply carries no payload
    uint32_t baud = 0;             // 0: unpaced
    int latency_ms = 0;            // every frame sent held this long
    // An older instrument: reads answer at most max_read bytes, appends of
    // more than max_append bytes are refused.
    uint32_t max_read = kReadLimit;
    uint32_t max_append = kAppendLimit;
    std::vector<FaultSpec> faults;
    int measure_ms = kDefaultMeasureMs;
    int scan_sample_ms = kDefaultScanSampleMs;
    bool demo_log = true;
    int generate_log = 0; // > 0: a new card's log of that many records
    bool announce = true;
    std::string ann_dir; // empty: from the environment
    std::string trace;   // file receiving one line per request
};

// Fills opts from the command line (argv[0] is skipped). Returns 0, 1 when
// the usage or the version was asked for (text in err), or -1 with a
// message in err.
int parse_options(int argc, const char *const *argv, Options &opts,
                  std::string &err);
const char *usage_text();

} // namespace vo62sim

#endif
