// A small instrument behind the fake library for the remote, screen and
// maintenance commands: files on its card, a scripted state, and the
// requests it was sent.
#ifndef REMOTE_DEVICE_H
#define REMOTE_DEVICE_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cmd_fixture.h"

struct FileOp {
    std::string name;
    uint32_t operation;
    Bytes data;
};

class Device {
  public:
    // Installs itself as the fake's device; the destructor removes it.
    Device();
    ~Device();

    // Files on the card, by full name.
    std::map<std::string, Bytes> files;
    // States answered to the state requests in order; the last one stays.
    // A value of FAIL is answered with the failure reply.
    static constexpr int64_t FAIL = INT64_MIN;
    std::deque<int64_t> states{0};
    // Operations that fail (by the failure reply) when their request number
    // (counted over all write-file requests from 1) is listed.
    std::vector<int> failing_writes;
    // The next append is applied twice, as after a lost reply.
    bool double_append = false;
    // When not negative, the size file-info answers for every file there.
    int64_t info_size = -1;
    // When not empty, the record that becomes "meas/last.dat" at the first
    // state request after a key event that follows its last read: the
    // result of the run.
    Bytes result;

    // What was asked, in order.
    std::vector<FileOp> writes();
    std::vector<std::string> reads(); // names of read requests
    int state_requests();

  private:
    void handle(int id, const Bytes &frame);
    std::mutex m_;
    std::vector<FileOp> writes_;
    std::vector<std::string> reads_;
    int state_requests_ = 0;
    bool evented_ = false;
};

// Builds a 4,063-byte measurement record.
struct RecordFields {
    uint32_t flags = 1;
    uint8_t pin = 0, error = 0, dia = 0, meas_mode = 0;
    float susc = 0, cond = 0;
    int32_t counter = 0, num_samples = 0;
    std::vector<int> marked;
    std::vector<float> susc_samples, cond_samples;
};
Bytes make_record(const RecordFields &f);

// The fixture: a connected instrument, the device above, and the state
// waits on virtual time (each pause between polls advances it at once).
class RemoteTest : public InstrumentTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    static long long slept_ms();
    Device dev_;
};

#endif
