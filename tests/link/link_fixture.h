// A started link with one open connection on the fake library, and a
// recorder of the frames that reach hooked callbacks.
#ifndef LINK_FIXTURE_H
#define LINK_FIXTURE_H

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "fake_comm.h"
#include "mxx_comm.h"

using fake_comm::Bytes;

// Frames seen by hooked callbacks, copied by the length field they carry.
struct Seen {
    int tag;
    Bytes frame;
};
std::vector<Seen> &seen();
void clear_seen();
int hook_a(int id, MXX_conn *ctx, const unsigned char *frame, intptr_t user);
int hook_b(int id, MXX_conn *ctx, const unsigned char *frame, intptr_t user);
int hook_any(int id, MXX_conn *ctx, const unsigned char *frame, intptr_t user);

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Opens a connection without link-up, probe or identification.
    int open_plain();

    fake_comm::Scope fake_;
    int id = -1;
};

#endif
