// The event thread and a waiting transaction, held at the points where one
// reply could be handed to the wrong request. A read whose first try timed
// out is written again; the replies to both tries then arrive one after the
// other. The seams of the fake hold the event thread with the second reply
// between its arrival and its delivery, and hold the transaction until that
// moment, so the interleaving happens on every run rather than by luck:
// the first read has both its replies in view, and the next read is written
// while the second reply is still on its way to a buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "link_fixture.h"

namespace {

using fake_comm::frame;
using fake_comm::u32le;

constexpr int kRead = 8211;
constexpr int kTimeoutMs = 100;
// How long a seam holds its thread at most: long enough for the other
// thread to get through on a loaded machine, short enough that a link
// which never lets it through costs little.
constexpr auto kSeamBound = std::chrono::milliseconds(1000);

struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void set() {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, kSeamBound, [&] { return open; });
    }
};

uint32_t request_number(const Bytes &f) {
    const Bytes p = fake_comm::frame_payload(f);
    return p.size() >= 4 ? static_cast<uint32_t>(p[0] | (p[1] << 8) |
                                                 (p[2] << 16) | (p[3] << 24))
                         : 0;
}

class ReplyRace : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        fake_comm::set_virtual_time(false);
        MXX_set_cmd_num_try(id, 3);
    }
    // One read; the number of the request whose reply it took, 0 for none.
    uint32_t read(uint32_t n, int *rc) {
        const Bytes req = u32le(n);
        unsigned char dst[4] = {};
        int len = 0;
        *rc = MXX_send_cmd(id, kRead, req.data(), static_cast<int>(req.size()),
                           dst, sizeof dst, &len, nullptr, nullptr, kTimeoutMs,
                           1);
        uint32_t got = 0;
        if (len == 4)
            memcpy(&got, dst, 4);
        return got;
    }
};

TEST_F(ReplyRace, SecondReplyOfARetriedReadNeverAnswersTheNextRead) {
    Gate second_arrived; // the event thread holds read 1's second reply
    Gate next_written;   // read 2 has been written
    std::mutex m;
    int tries_of_first = 0, tries_of_next = 0, fills = 0, waits = 0;

    fake_comm::set_device([&](int cid, const Bytes &f) {
        if (fake_comm::frame_code(f) != kRead)
            return;
        const uint32_t n = request_number(f);
        if (n == 1) {
            std::lock_guard<std::mutex> lock(m);
            // The first try goes unanswered; after the second, both
            // replies come, each as its own read of the line.
            if (++tries_of_first == 2) {
                fake_comm::post(cid, COMM_EV_DATA,
                                frame(kRead + 1000, u32le(1)));
                fake_comm::post(cid, COMM_EV_DATA,
                                frame(kRead + 1000, u32le(1)));
            }
            return;
        }
        // Read 2 is answered on its second try only: whatever its first
        // try receives is not its own reply.
        next_written.set();
        std::lock_guard<std::mutex> lock(m);
        if (++tries_of_next == 2)
            fake_comm::post(cid, COMM_EV_DATA, frame(kRead + 1000, u32le(n)));
    });
    fake_comm::set_fill_seam([&](int code) {
        if (code != kRead + 1000)
            return;
        {
            std::lock_guard<std::mutex> lock(m);
            if (++fills != 2)
                return;
        }
        // Read 1's second reply has arrived and is not yet delivered: hold
        // it until read 2 is on the line (or the bound passes).
        second_arrived.set();
        next_written.wait();
    });
    fake_comm::set_wait_seam([&] {
        {
            std::lock_guard<std::mutex> lock(m);
            if (++waits != 1)
                return;
        }
        // Read 1 has its first reply: it goes on only once the second is
        // on its way to delivery.
        second_arrived.wait();
    });

    int rc = -1;
    EXPECT_EQ(read(1, &rc), 1u);
    EXPECT_EQ(rc, MXX_OK);
    const uint32_t got = read(2, &rc);
    EXPECT_EQ(rc, MXX_OK);
    EXPECT_EQ(got, 2u) << "read 2 was answered with read " << got << "'s reply";
    fake_comm::set_fill_seam(nullptr);
    fake_comm::set_wait_seam(nullptr);
    fake_comm::set_device(nullptr);
}

// The instrument sends a live line and then the reply to a poll; both
// arrive in one read. The live line must reach its hook (which prints it)
// before the reply is handed over, or the main thread, woken by the reply,
// prints ahead of a line the instrument sent first.
std::atomic<bool> live_hooked{false};
int on_live(int, MXX_conn *, const unsigned char *, intptr_t) {
    live_hooked = true;
    return 0;
}

TEST_F(ReplyRace, AnEventThatCameFirstIsHookedBeforeTheReplyIsHandedOver) {
    constexpr int kLive = 9302;
    live_hooked = false;
    ASSERT_EQ(MXX_hook_async_event(id, kLive, on_live), 0);
    std::atomic<int> fills_before_hook{0}, fills{0};
    fake_comm::set_fill_seam([&](int code) {
        if (code != kRead + MXX_RSP_OFFSET)
            return;
        fills++;
        if (!live_hooked)
            fills_before_hook++;
    });
    fake_comm::answer(
        kRead, fake_comm::concat({frame(kLive, fake_comm::text("live")),
                                  frame(kRead + MXX_RSP_OFFSET, u32le(1))}));
    int rc = -1;
    EXPECT_EQ(read(1, &rc), 1u);
    EXPECT_EQ(rc, MXX_OK);
    EXPECT_EQ(fills.load(), 1);
    EXPECT_EQ(fills_before_hook.load(), 0)
        << "the reply was handed over before the live line that preceded it";
    fake_comm::set_fill_seam(nullptr);
}

} // namespace
