// The command transaction: hooks, writes, waits, tries and results, with
// what each wait reports decided by the test.
#include <gtest/gtest.h>

#include <cstring>

#include "link_fixture.h"

namespace {

using fake_comm::frame;
using fake_comm::script_wait;
using fake_comm::text;
using fake_comm::WaitReply;

class Transaction : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        MXX_set_cmd_num_try(id, 3);
        fake_comm::clear_records();
        memset(dst, 0xEE, sizeof dst);
    }
    int send(int code = 8007, int timeout_ms = 800, int wait = 1) {
        return MXX_send_cmd(id, code, nullptr, 0, dst, 8, &len, &param, &status,
                            timeout_ms, wait);
    }
    int writes() { return static_cast<int>(fake_comm::writes().size()); }

    unsigned char dst[8];
    int len = -7, param = -7, status = -7;
};

TEST_F(Transaction, RetryReplyThenResponse) {
    script_wait(WaitReply{{}, {}, frame(12289)});
    script_wait(WaitReply{frame(9007, text("A0001234")), {}, {}});
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(writes(), 2);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(memcmp(dst, "A0001234", 8), 0);
    // The same frame both times, hooked once around all tries.
    EXPECT_EQ(fake_comm::writes()[0].bytes, fake_comm::writes()[1].bytes);
    EXPECT_EQ(fake_comm::calls().front(),
              "comm_hook_response(1,9007,4096,12290,1024,12289,1024)");
    EXPECT_EQ(fake_comm::calls().back(), "comm_unhook_response(1)");
    EXPECT_EQ(fake_comm::count_calls("comm_hook_response"), 1);
}

TEST_F(Transaction, RetryRepliesOnEveryTryEndInSuccessWithNothingCopied) {
    for (int i = 0; i < 3; i++)
        script_wait(WaitReply{{}, {}, frame(12289)});
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(writes(), 3);
    EXPECT_EQ(len, -7);
    EXPECT_EQ(dst[0], 0xEE);
}

TEST_F(Transaction, FinalRepliesEndAtOnce) {
    script_wait(WaitReply{{}, frame(12290), {}});
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(writes(), 1);

    fake_comm::clear_records();
    script_wait(WaitReply{frame(9007, text("x"), 5), {}, {}});
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(writes(), 1);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(dst[0], 0xEE);
}

TEST_F(Transaction, SilenceWritesEveryTryAndGivesNoReply) {
    EXPECT_EQ(send(8203, 800), 255);
    EXPECT_EQ(writes(), 3);
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response(1,800)"), 3);
    EXPECT_EQ(dst[0], 0xEE);
}

TEST_F(Transaction, WithoutWaitOneWriteAndItsResult) {
    EXPECT_EQ(send(8007, 100, 0), 0);
    fake_comm::fail_writes({COMM_ERR_IO});
    EXPECT_EQ(send(8007, 100, 0), COMM_ERR_IO);
    EXPECT_EQ(writes(), 1); // the failed write wrote nothing
    EXPECT_EQ(fake_comm::count_calls("comm_write"), 2);
    EXPECT_EQ(fake_comm::count_calls("comm_hook_response"), 0);
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response"), 0);
}

TEST_F(Transaction, WriteFailuresAreTriedAgain) {
    fake_comm::fail_writes({COMM_ERR_TIMEOUT});
    script_wait(WaitReply{frame(9007, text("A1")), {}, {}});
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(len, 2);

    fake_comm::fail_writes({COMM_ERR_IO, COMM_ERR_IO, COMM_ERR_TIMEOUT});
    EXPECT_EQ(send(), COMM_ERR_TIMEOUT); // the last try's code
}

TEST_F(Transaction, OnceIsWrittenAgainOnlyAfterARetryReply) {
    auto once = [&] {
        return MXX_send_cmd_once(id, 8210, nullptr, 0, dst, 8, &len, &param,
                                 &status, 800, 1);
    };
    // Silence: the command may have arrived, so it is not written again.
    EXPECT_EQ(once(), 255);
    EXPECT_EQ(writes(), 1);

    // A retry reply says it was not carried out: written again.
    fake_comm::clear_records();
    script_wait(WaitReply{{}, {}, frame(12289)});
    script_wait(WaitReply{frame(9210), {}, {}});
    EXPECT_EQ(once(), 0);
    EXPECT_EQ(writes(), 2);

    // A retry reply, then silence: no third write.
    fake_comm::clear_records();
    script_wait(WaitReply{{}, {}, frame(12289)});
    EXPECT_EQ(once(), 255);
    EXPECT_EQ(writes(), 2);

    // A failed write may have sent the command: not written again.
    fake_comm::clear_records();
    fake_comm::fail_writes({COMM_ERR_TIMEOUT});
    EXPECT_EQ(once(), COMM_ERR_TIMEOUT);
    EXPECT_EQ(fake_comm::count_calls("comm_write"), 1);

    // Replies are judged as always.
    script_wait(WaitReply{{}, frame(12290), {}});
    EXPECT_EQ(once(), 1);
}

TEST_F(Transaction, OversizedResponseIsNotCopied) {
    script_wait(WaitReply{frame(9007, text("123456789")), {}, {}});
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(len, -7);
    EXPECT_EQ(dst[0], 0xEE);
}

TEST_F(Transaction, LongTimeOutTravelsCutToSixteenBits) {
    EXPECT_EQ(send(8206, 300000), 255);
    ASSERT_EQ(writes(), 3);
    EXPECT_EQ(fake_comm::frame_param(fake_comm::writes()[0].bytes), 37856);
    EXPECT_EQ(fake_comm::writes()[0].timeout_ms, 300000);
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response(1,300000)"), 3);
}

TEST_F(Transaction, TriesBelowOneStillWriteOnce) {
    MXX_set_cmd_num_try(id, 0);
    EXPECT_EQ(send(), 255);
    EXPECT_EQ(writes(), 1);
}

TEST_F(Transaction, RealRepliesThroughTheEventThread) {
    // The device answers on the fake's event thread; the reply goes through
    // reassembly and dispatch into the hooked buffer.
    fake_comm::answer_once(8007, frame(12289));
    fake_comm::answer(8007, frame(9007, text("A7654321")));
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(writes(), 2);
    EXPECT_EQ(memcmp(dst, "A7654321", 8), 0);
    // A reply to another command is not taken for this one.
    fake_comm::answer(8203, frame(9007, text("stale")));
    EXPECT_EQ(send(8203), 255);
}

TEST(TransactionDeath, PayloadSizeOutsideTheFrameStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *expected = "mxx_comm.*inbuff_size >=0 && inbuff_size < "
                           "\\(UINT16_MAX - 1\\).*Invalid data size for MXX "
                           "frame!";
    EXPECT_DEATH(MXX_send_cmd(1, 8210, nullptr, 65534, nullptr, 0, nullptr,
                              nullptr, nullptr, 800, 0),
                 expected);
    EXPECT_DEATH(MXX_send_cmd(1, 8210, nullptr, -1, nullptr, 0, nullptr,
                              nullptr, nullptr, 800, 0),
                 expected);
}

} // namespace
