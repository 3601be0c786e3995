// An instrument connected through the real link to the fake library, for
// tests that run console commands and look at the requests they send.
#ifndef CMD_FIXTURE_H
#define CMD_FIXTURE_H

#include <gtest/gtest.h>

#include "capture.h"
#include "fake_comm.h"

using fake_comm::Bytes;

class InstrumentTest : public ::testing::Test {
  protected:
    // Connects an instrument whose serial is serial (identified, live-data
    // hook registered), then forgets the frames written so far.
    void SetUp() override;
    void TearDown() override;
    void connect(const char *serial = "A000XXXX");
    // Payloads of the written frames with this request code, in order.
    std::vector<Bytes> sent(int code) const;

    fake_comm::Scope fake_;
};

#endif
