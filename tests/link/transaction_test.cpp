// The command transaction: hooks, writes, waits, tries and results, with
// what each wait reports decided by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

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
    int writes_of(int code) {
        int n = 0;
        for (int c : fake_comm::written_codes())
            n += c == code;
        return n;
    }
    // The device answers the requests that prove the line clean.
    void answer_proofs() {
        for (int code : {8007, 8001, 8008, 8002})
            fake_comm::answer(code, frame(code + 1000, text("A0000001")));
    }

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

TEST_F(Transaction, RetryRepliesOnEveryTryEndAsRefused) {
    // The device never carried the command out: whatever the status of its
    // retry replies, that is no success.
    for (int status : {0, 4}) {
        fake_comm::clear_records();
        for (int i = 0; i < 3; i++)
            script_wait(WaitReply{{}, {}, frame(12289, {}, status)});
        EXPECT_EQ(send(), 1) << status;
        EXPECT_EQ(writes(), 3);
        EXPECT_EQ(len, -7);
        EXPECT_EQ(dst[0], 0xEE);
    }
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

TEST_F(Transaction, SilenceWritesEveryTryThenListensOnceMore) {
    EXPECT_EQ(send(8203, 800), 255);
    EXPECT_EQ(writes(), 3);
    // Three tries, then one more time-out for replies that come late.
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response(1,800)"), 4);
    EXPECT_EQ(dst[0], 0xEE);

    // Replies may still come: the next transaction first proves the line
    // clean with a request of its own, and only then sends its command.
    fake_comm::clear_records();
    answer_proofs();
    fake_comm::answer(8203, frame(9203, text("status")));
    EXPECT_EQ(send(8203, 800), 0);
    EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8007, 8203}));

    // When the line cannot be proven clean, the command is not sent.
    fake_comm::answer(8203, {});
    fake_comm::clear_records();
    EXPECT_EQ(send(8203, 800), 255);
    fake_comm::answer(8007, {});
    fake_comm::answer(8001, {});
    fake_comm::answer(8008, {});
    fake_comm::clear_records();
    EXPECT_EQ(send(8203, 800), 255);
    EXPECT_EQ(writes_of(8203), 0);
    // The proof's three tries, each with a code no reply is owed for.
    EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8007, 8001, 8008}));

    // Later, the one code left without a reply owed proves the line clean.
    fake_comm::clear_records();
    fake_comm::answer(8203, frame(9203, text("status")));
    EXPECT_EQ(send(8203, 800), 0);
    EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8002, 8203}));
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

    // The failed write may have sent the command, whose reply may still
    // come: the line is proven clean (one write that goes through) before
    // the next command, whose every try then fails.
    fake_comm::clear_records();
    answer_proofs();
    fake_comm::fail_writes(
        {COMM_OK, COMM_ERR_IO, COMM_ERR_IO, COMM_ERR_TIMEOUT});
    EXPECT_EQ(send(8203), COMM_ERR_TIMEOUT); // the last try's code
    // Its reply would be a get-serial reply: another code proves the line.
    EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8001}));
}

TEST_F(Transaction, OnceIsWrittenAgainOnlyAfterARetryReply) {
    struct Case {
        const char *what;
        std::vector<WaitReply> waits;
        std::vector<int> write_results;
        int rc, writes, write_calls;
    };
    const std::vector<Case> cases = {
        // Silence: the command may have arrived, so it is not written
        // again.
        {"silence", {}, {}, 255, 1, 1},
        // A retry reply says it was not carried out: written again.
        {"retry, response",
         {WaitReply{{}, {}, frame(12289)}, WaitReply{frame(9210), {}, {}}},
         {},
         0,
         2,
         2},
        // A retry reply, then silence: no third write.
        {"retry, silence", {WaitReply{{}, {}, frame(12289)}}, {}, 255, 2, 2},
        // A failed write may have sent the command: not written again.
        {"failed write", {}, {COMM_ERR_TIMEOUT}, COMM_ERR_TIMEOUT, 0, 1},
        // Replies are judged as always.
        {"failure", {WaitReply{{}, frame(12290), {}}}, {}, 1, 1, 1},
    };
    for (const Case &c : cases) {
        // Each on a connection of its own, with a line nobody doubts.
        const int conn = open_plain();
        MXX_set_cmd_num_try(conn, 3);
        fake_comm::clear_records();
        for (const WaitReply &w : c.waits)
            script_wait(w);
        fake_comm::fail_writes(c.write_results);
        EXPECT_EQ(MXX_send_cmd_once(conn, 8210, nullptr, 0, dst, 8, &len,
                                    &param, &status, 800, 1),
                  c.rc)
            << c.what;
        EXPECT_EQ(writes(), c.writes) << c.what;
        EXPECT_EQ(fake_comm::count_calls("comm_write"), c.write_calls)
            << c.what;
    }
}

TEST_F(Transaction, OversizedResponseIsRefusedAndNotCopied) {
    script_wait(WaitReply{frame(9007, text("123456789")), {}, {}});
    EXPECT_EQ(send(), 1);
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

TEST_F(Transaction, RepliesNobodyWasOwedMakeTheNextProveTheLine) {
    // What arrives on a line nobody doubts, and whether the next command
    // must first prove the line clean.
    struct Case {
        const char *what;
        std::function<void(int conn)> arrive;
        bool proves;
    };
    const std::vector<Case> cases = {
        {"a reply between transactions",
         [](int conn) {
             fake_comm::deliver(conn, COMM_EV_DATA, frame(9211, text("x")));
         },
         true},
        {"a general reply between transactions",
         [](int conn) { fake_comm::deliver(conn, COMM_EV_DATA, frame(12290)); },
         true},
        {"live data between transactions",
         [](int conn) {
             fake_comm::deliver(conn, COMM_EV_DATA, frame(9302, text("x")));
         },
         false},
        {"a reply twice in one read",
         [this](int conn) {
             fake_comm::answer(8210,
                               fake_comm::concat({frame(9210), frame(9210)}));
             EXPECT_EQ(MXX_send_cmd(conn, 8210, nullptr, 0, dst, 8, &len,
                                    &param, &status, 800, 1),
                       0);
         },
         true},
        {"a reply of another code during a transaction",
         [this](int conn) {
             fake_comm::answer(8210, frame(9007, text("stale")));
             EXPECT_EQ(MXX_send_cmd(conn, 8210, nullptr, 0, dst, 8, &len,
                                    &param, &status, 800, 1),
                       255);
         },
         true},
        {"one reply to one request",
         [this](int conn) {
             fake_comm::answer(8210, frame(9210));
             EXPECT_EQ(MXX_send_cmd(conn, 8210, nullptr, 0, dst, 8, &len,
                                    &param, &status, 800, 1),
                       0);
         },
         false},
    };
    for (const Case &c : cases) {
        const int conn = open_plain();
        MXX_set_cmd_num_try(conn, 3);
        c.arrive(conn);
        fake_comm::drain();
        fake_comm::clear_records();
        answer_proofs();
        fake_comm::answer(8203, frame(9203, text("status")));
        EXPECT_EQ(MXX_send_cmd(conn, 8203, nullptr, 0, dst, 8, &len, &param,
                               &status, 800, 1),
                  0)
            << c.what;
        const std::vector<int> want =
            c.proves ? std::vector<int>{8007, 8203} : std::vector<int>{8203};
        EXPECT_EQ(fake_comm::written_codes(), want) << c.what;
    }
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
