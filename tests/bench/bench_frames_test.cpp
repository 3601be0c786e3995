// The exchange of the round-trip baseline must be the very bytes the
// console's read request writes and a reply it takes, or the baseline times
// another exchange than the stack does.
#include "bench_frames.h"

#include <gtest/gtest.h>

#include "fake_comm.h"
#include "mxx_comm.h"
#include "v21_comm.h"

namespace {

TEST(BenchFrames, AreTheBytesOfTheConsolesReadAndAReplyItTakes) {
    fake_comm::Scope fake;
    fake_comm::set_auto_link_up(false);
    fake_comm::set_auto_idle(false);
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    int id = -1;
    ASSERT_EQ(MXX_connect("fake", &id, nullptr, nullptr, nullptr, nullptr,
                          nullptr, 0),
              0);
    const auto reply = bench::read_reply();
    fake_comm::answer(V21_CODE_READ_FILE, reply);

    unsigned char buf[bench::READ_CHUNK];
    uint32_t count = 0;
    EXPECT_EQ(V21_Read_File(id, bench::IMAGE_FILE, buf, 0, bench::READ_CHUNK,
                            &count, 1),
              0);
    ASSERT_EQ(fake_comm::writes().size(), 1u);
    EXPECT_EQ(fake_comm::writes()[0].bytes, bench::read_request());
    EXPECT_EQ(bench::read_request().size(), 53u);
    EXPECT_EQ(reply.size(), 529u);
    ASSERT_EQ(count, bench::READ_CHUNK);
    // The data is what follows the header and the count.
    EXPECT_EQ(fake_comm::Bytes(buf, buf + count),
              fake_comm::Bytes(reply.begin() + 16, reply.end() - 1));
    MXX_shut();
}

} // namespace
