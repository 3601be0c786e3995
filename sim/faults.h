// Faults the simulator can inject, for tests of the console's error paths.
// A fault is given on the command line as KIND[:key=value,...]; README.md
// describes the grammar. Random choices come from one generator seeded by
// --seed, so a run with the same seed and the same requests is repeated
// exactly.
#ifndef VO62SIM_FAULTS_H
#define VO62SIM_FAULTS_H

#include "le.h"

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vo62sim {

enum class FaultKind {
    Corrupt, // flip reply bytes, each with probability p
    Drop,    // carry out the request but lose its reply
    Retry,   // answer the general retry reply instead of carrying it out
    Fail,    // answer the general failure reply instead of carrying it out
    Status,  // answer the request's own reply code with a non-zero status
    Noop,    // answer the request's own reply code with status 0 (success)
             // without carrying it out: a key the instrument did not take
    Delay,   // hold the reply back for ms milliseconds; later ones pass it
    Stall,   // the line goes quiet for ms milliseconds before the reply;
             // everything after it waits behind it
    Silent,  // ignore the request (and, by default, every later one)
    Cut,     // drop the link instead of answering
    Stuck    // the measurement state machine never moves on by itself
};

constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();

struct FaultSpec {
    FaultKind kind = FaultKind::Fail;
    int code = -1;     // request code it acts on, -1 for every request
    uint64_t skip = 0; // matching requests let through first
    uint64_t count = kUnlimited; // most requests it acts on
    uint64_t every = 1;          // acts on every n-th matching request only
    double p = 1.0; // probability per matching request (per byte for
                    // corrupt)
    int ms = 0;     // delay
    // stall: how the replies queued behind it leave when it ends: -1 all in
    // one write, else one by one with this many microseconds between them.
    int gap_us = -1;
    int status = 1; // status byte of retry, fail and status replies
    // Run-time counters.
    uint64_t seen = 0;
    uint64_t applied = 0;
};

// Parses one --fault argument; false with a message in err when malformed.
bool parse_fault(const std::string &text, FaultSpec &out, std::string &err);

// What to do with one request.
struct FaultDecision {
    enum Action { Execute, Ignore, Cut, Retry, Fail, Status } action = Execute;
    int status = 0;
    bool drop_reply = false;
    int delay_ms = 0;
    int stall_ms = 0;
    int stall_gap_us = -1; // see FaultSpec::gap_us
};

class FaultEngine {
  public:
    FaultEngine() : rng_(1) {}
    FaultEngine(std::vector<FaultSpec> faults, uint64_t seed);
    // Faults are tried in the order given: the first of cut, silent, retry,
    // fail, status and noop that acts on the request decides, and later ones of
    // those kinds do not count it. Drop, delay and stall then act on the
    // reply.
    FaultDecision on_request(uint16_t code);
    // Flips bytes of an outgoing frame of the given code.
    void corrupt(uint16_t code, Bytes &frame);
    bool stuck() const { return stuck_; }
    bool any() const { return !faults_.empty(); }

  private:
    bool matches_and_fires(FaultSpec &f, uint16_t code);
    double uniform();

    std::vector<FaultSpec> faults_;
    std::mt19937_64 rng_;
    bool stuck_ = false;
};

} // namespace vo62sim

#endif
