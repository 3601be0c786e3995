// Writing and reply waiting: the hook, the counts per wait, time-out
// accuracy, waking on a frame or a disconnection, and the device link's
// pattern of calling the library from the event thread.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "device.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int RSP = 9007, FAIL = 12290, RETRY = 12289;

struct Buffers {
    unsigned char rsp[4096], fail[1024], retry[1024];
    int hook(int id) {
        memset(this, 0, sizeof *this);
        return comm_hook_response(id, RSP, rsp, sizeof rsp, FAIL, fail,
                                  sizeof fail, RETRY, retry, sizeof retry);
    }
};

struct Counts {
    int rsp = -1, fail = -1, retry = -1;
    int wait(int id, int timeout_ms) {
        return comm_wait_response(id, &rsp, &fail, &retry, timeout_ms);
    }
};

std::vector<unsigned char> frame_of(int size, unsigned char fill) {
    return std::vector<unsigned char>(static_cast<size_t>(size), fill);
}

int fill(int id, int code, const std::vector<unsigned char> &f) {
    return comm_fill_rsp_buff(id, code, f.data(), static_cast<int>(f.size()));
}

class Replies : public CommTest {
  protected:
    void SetUp() override {
        CommTest::SetUp();
        ASSERT_EQ(peer_.connect(&id_, rec_), COMM_OK);
        ASSERT_TRUE(rec_.wait_event(COMM_EV_LINK_UP));
    }
    SocketPeer peer_;
    Recorder &rec_ = recorder();
    int id_ = -1;
};

TEST_F(Replies, FramesStoredBeforeTheWaitAreCountedPerBuffer) {
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id_), COMM_OK);
    auto rsp = frame_of(40, 0xA1), retry = frame_of(13, 0xB2);
    EXPECT_EQ(fill(id_, RSP, rsp), COMM_OK);
    EXPECT_EQ(fill(id_, RETRY, retry), COMM_OK);

    auto start = Clock::now();
    EXPECT_EQ(c.wait(id_, 5000), COMM_OK);
    EXPECT_LT(ms_since(start), 100); // already there: no waiting
    EXPECT_EQ(c.rsp, 40);
    EXPECT_EQ(c.fail, 0);
    EXPECT_EQ(c.retry, 13);
    EXPECT_TRUE(std::equal(rsp.begin(), rsp.end(), b.rsp));
    EXPECT_TRUE(std::equal(retry.begin(), retry.end(), b.retry));

    // Nothing new since that wait: the next one times out with no counts.
    EXPECT_EQ(c.wait(id_, 50), COMM_ERR_TIMEOUT);
    EXPECT_EQ(c.rsp + c.fail + c.retry, 0);

    EXPECT_EQ(fill(id_, FAIL, frame_of(20, 0xC3)), COMM_OK);
    EXPECT_EQ(c.wait(id_, 5000), COMM_OK);
    EXPECT_EQ(c.rsp, 0);
    EXPECT_EQ(c.fail, 20);
    EXPECT_EQ(c.retry, 0);
    EXPECT_EQ(b.fail[19], 0xC3);
}

TEST_F(Replies, OnlyHookedFramesThatFitAreStored) {
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id_), COMM_OK);
    EXPECT_EQ(fill(id_, 9302, frame_of(30, 1)), COMM_ERR_NOT_FOUND);
    EXPECT_EQ(fill(id_, FAIL, frame_of(1025, 2)), COMM_ERR_NOT_FOUND);
    EXPECT_EQ(c.wait(id_, 50), COMM_ERR_TIMEOUT);
    EXPECT_EQ(c.fail, 0);
    EXPECT_EQ(b.fail[0], 0); // the oversized frame left the buffer alone
    EXPECT_EQ(fill(id_, RSP, frame_of(4096, 3)), COMM_OK);
    EXPECT_EQ(c.wait(id_, 50), COMM_OK);
    EXPECT_EQ(c.rsp, 4096);

    ASSERT_EQ(comm_unhook_response(id_), COMM_OK);
    EXPECT_EQ(fill(id_, RSP, frame_of(10, 4)), COMM_ERR_NOT_FOUND);
    EXPECT_NE(c.wait(id_, 50), COMM_OK);
    EXPECT_EQ(b.rsp[0], 3);
}

// The waiter must never return early, and must return promptly: on a
// loaded two-core machine most waits end within 20 ms of their time-out.
TEST_F(Replies, WaitTimeOutIsAccurate) {
    constexpr int TIMEOUT = 100, ROUNDS = 7;
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id_), COMM_OK);
    std::vector<long long> late;
    for (int i = 0; i < ROUNDS; i++) {
        auto start = Clock::now();
        EXPECT_EQ(c.wait(id_, TIMEOUT), COMM_ERR_TIMEOUT);
        auto took =
            std::chrono::duration_cast<microseconds>(Clock::now() - start)
                .count();
        EXPECT_GE(took, TIMEOUT * 1000);
        late.push_back(took - TIMEOUT * 1000);
    }
    std::sort(late.begin(), late.end());
    EXPECT_LT(late[ROUNDS / 2], 20000) << "median lateness in us";
    EXPECT_LT(late.back(), 200000) << "worst lateness in us";
}

// A reply wakes the waiter at once: no sleeping or polling on the way.
TEST_F(Replies, AFrameWakesTheWaiterAtOnce) {
    constexpr int ROUNDS = 7;
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id_), COMM_OK);
    std::vector<long long> delay;
    for (int i = 0; i < ROUNDS; i++) {
        std::atomic<long long> filled_at{0};
        std::thread device([&] {
            std::this_thread::sleep_for(milliseconds(30));
            filled_at = Clock::now().time_since_epoch().count();
            fill(id_, RSP, frame_of(13, 7));
        });
        EXPECT_EQ(c.wait(id_, 5000), COMM_OK);
        long long woke = Clock::now().time_since_epoch().count();
        device.join();
        delay.push_back(std::chrono::duration_cast<microseconds>(
                            Clock::duration(woke - filled_at))
                            .count());
    }
    std::sort(delay.begin(), delay.end());
    EXPECT_LT(delay[ROUNDS / 2], 5000) << "median wake-up delay in us";
}

TEST_F(Replies, DisconnectionEndsAWaitAtOnce) {
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id_), COMM_OK);
    std::thread main_menu([&] {
        std::this_thread::sleep_for(milliseconds(50));
        comm_disconnect(id_);
    });
    auto start = Clock::now();
    EXPECT_EQ(c.wait(id_, 10000), COMM_ERR_CLOSED);
    EXPECT_LT(ms_since(start), PROMPT_MS);
    main_menu.join();
}

// The instrument unplugged during a command: the waiting transaction ends
// at once, the retry's write fails at once, and nothing is left hanging.
TEST_F(Replies, UnpluggedDuringACommandEndsTheTransaction) {
    Pty pty;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(comm_connect(&id, pty.conn_string().c_str(), Recorder::proc, 4096,
                           200, &rec),
              COMM_OK);
    ASSERT_TRUE(rec.wait_event(COMM_EV_LINK_UP));
    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id), COMM_OK);
    const unsigned char cmd[13] = {'D', 'E', 'V', 'O'};
    ASSERT_EQ(comm_write(id, cmd, 13, 0, 800), COMM_OK);
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.close_master();
    });
    auto start = Clock::now();
    EXPECT_EQ(c.wait(id, 10000), COMM_ERR_CLOSED);
    EXPECT_LT(ms_since(start), PROMPT_MS);
    unplug.join();
    start = Clock::now();
    int r = comm_write(id, cmd, 13, 0, 800);
    EXPECT_NE(r, COMM_OK);
    EXPECT_LT(ms_since(start), 100);
    EXPECT_TRUE(rec.wait_event(COMM_EV_CLOSED));
    comm_unhook_response(id);
}

TEST_F(Replies, WritesOnClosedConnectionsFailAtOnce) {
    const unsigned char b[4] = {1, 2, 3, 4};
    ASSERT_EQ(comm_disconnect(id_), COMM_OK);
    // Closing is immediate for writers, before the reader has finished.
    EXPECT_EQ(comm_write(id_, b, 4, 0, 5000), COMM_ERR_CLOSED);
    ASSERT_TRUE(rec_.wait_event(COMM_EV_CLOSED));
    auto start = Clock::now();
    EXPECT_EQ(comm_write(id_, b, 4, 0, 5000), COMM_ERR_CLOSED);
    EXPECT_EQ(comm_write(9999, b, 4, 0, 5000), COMM_ERR_NOT_FOUND);
    EXPECT_LT(ms_since(start), 100);
    // The device link reserves these two results for itself.
    for (int r : {comm_write(id_, b, 4, 0, 10), comm_write(-1, b, 4, 0, 10),
                  comm_write(id_, b, -1, 0, 10)})
        EXPECT_TRUE(r != 1 && r != 255 && r != 0);
}

TEST_F(Replies, ALargeFrameIsWrittenWholeThroughPartialWrites) {
    constexpr size_t SIZE = 1 << 20; // far more than a socket buffer holds
    std::vector<unsigned char> big(SIZE);
    for (size_t i = 0; i < SIZE; i++)
        big[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::string got;
    std::thread device([&] {
        // The writer must wait for room, piece by piece.
        while (got.size() < SIZE) {
            std::string piece = peer_.receive(
                std::min<size_t>(65536, SIZE - got.size()), PROMPT_MS);
            if (piece.empty())
                break;
            got += piece;
        }
    });
    EXPECT_EQ(comm_write(id_, big.data(), static_cast<int>(SIZE), 0, 10000),
              COMM_OK);
    device.join();
    ASSERT_EQ(got.size(), SIZE);
    EXPECT_EQ(memcmp(got.data(), big.data(), SIZE), 0);
}

TEST_F(Replies, AWriteNobodyReadsGivesUpInBoundedTime) {
    std::vector<unsigned char> big(8 << 20);
    auto start = Clock::now();
    EXPECT_EQ(comm_write(id_, big.data(), static_cast<int>(big.size()), 0, 50),
              COMM_ERR_TIMEOUT);
    long long took = ms_since(start);
    EXPECT_GE(took, comm::WRITE_MIN_MS);
    EXPECT_LT(took, comm::WRITE_MIN_MS + PROMPT_MS);
}

// What the device link does: from the event procedure it writes the probe,
// walks the connections, stores replies and signals identification, while
// the main thread waits and runs a command.
TEST_F(CommTest, TheEventThreadMayCallTheLibraryWhileTheMainThreadWaits) {
    SocketPeer peer;
    Recorder &rec = recorder();
    int id = -1;
    std::atomic<int> own_wait{0};
    rec.react = [&](int conn, int event, const std::string &data) {
        const unsigned char probe[] = "probe";
        if (event == COMM_EV_LINK_UP)
            comm_write(conn, probe, 5, 0, 100);
        if (event != COMM_EV_DATA)
            return 0;
        comm_cursor cur;
        comm_data_cntr_init(&cur);
        int walked;
        void *ctx;
        while (comm_get_data(&cur, &walked, &ctx))
            EXPECT_EQ(ctx, &rec);
        if (data == "A0001234")
            comm_signal_connected(conn);
        else
            comm_fill_rsp_buff(
                conn, RSP, reinterpret_cast<const unsigned char *>(data.data()),
                static_cast<int>(data.size()));
        int n1, n2, n3;
        own_wait = comm_wait_response(conn, &n1, &n2, &n3, 1000);
        return 0;
    };
    ASSERT_EQ(peer.connect(&id, rec), COMM_OK);
    EXPECT_EQ(peer.receive(5), "probe");
    peer.send("A0001234");
    ASSERT_EQ(comm_wait_connected(id, 5000), COMM_OK);
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);
    // A wait on its own reader would never end: refused at once.
    EXPECT_EQ(own_wait, COMM_ERR_STATE);

    Buffers b;
    Counts c;
    ASSERT_EQ(b.hook(id), COMM_OK);
    const unsigned char cmd[] = "gs";
    ASSERT_EQ(comm_write(id, cmd, 2, 0, 100), COMM_OK);
    EXPECT_EQ(peer.receive(2), "gs");
    peer.send("serial reply");
    EXPECT_EQ(c.wait(id, 5000), COMM_OK);
    EXPECT_EQ(c.rsp, 12);
    EXPECT_EQ(memcmp(b.rsp, "serial reply", 12), 0);
    EXPECT_EQ(comm_unhook_response(id), COMM_OK);
    comm_shut(); // before the procedure's captures go
}

} // namespace
