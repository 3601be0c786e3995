// Late, lost and general replies against the transaction: over thousands of
// generated schedules, no transaction may end with a reply that was sent for
// another request. Frames carry no sequence number, so the link has only
// its own bookkeeping to tell a late reply of an earlier request from the
// answer to the one it waits for.
//
// The device plays a line in virtual time. Each request carries its own
// number; each reply carries the number of the request it answers (a
// response, or a general reply: retry or failure). A request the link sends
// to prove the line clean (any code other than the read) is answered too.
// Two line models:
//  - in order: a reply may be held back by any number of time-outs, and
//    every later reply waits behind it (a stalled line, a busy
//    instrument);
//  - reordered: one read's reply is held back while later ones pass, by
//    less than twice the read's time-out (the bound the link promises to
//    cover; README tells what lies beyond it).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "link_fixture.h"

namespace {

using fake_comm::frame;
using fake_comm::u32le;

constexpr int kRead = 8211;
constexpr int kTimeoutMs = 800;
constexpr int kTries = 3;
constexpr int kSchedules = 2000;
constexpr int kRequests = 6;

enum class Line { InOrder, Reordered };

// What the device did, for one schedule.
struct Device {
    std::mt19937 rng;
    Line line = Line::InOrder;
    long long last_at = 0; // in order: when the latest reply leaves
    // Request numbers for which a retry or failure reply was sent: only
    // those may end as refused.
    std::map<uint32_t, bool> refused;
    std::ostringstream log;

    int pick(int n) {
        return static_cast<int>(rng() % static_cast<unsigned>(n));
    }

    void on_write(int id, const fake_comm::Bytes &f) {
        const int code = fake_comm::frame_code(f);
        const fake_comm::Bytes p = fake_comm::frame_payload(f);
        uint32_t n = 0;
        if (code == kRead && p.size() >= 4)
            n = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
        const int roll = pick(100);
        fake_comm::Bytes reply;
        int delay = pick(kTimeoutMs / 4); // on time
        const char *what = "on time";
        if (roll < 12) {
            log << " " << code << "#" << n << ":lost";
            return;
        } else if (roll < 22) {
            reply = frame(12289, u32le(n));
            refused[n] = true;
            what = "retry";
        } else if (roll < 27) {
            reply = frame(12290, u32le(n));
            refused[n] = true;
            what = "failure";
        } else {
            reply = frame(code + 1000, u32le(n));
        }
        // Late: beyond the time-out, by up to three more on an in-order
        // line; on a reordering line a read's reply is held back by less
        // than one more while the others pass it.
        bool passed = false;
        if (roll < 22 || pick(3) == 0) {
            if (line == Line::InOrder) {
                delay = kTimeoutMs + pick(3 * kTimeoutMs);
            } else if (code == kRead) {
                delay = kTimeoutMs + pick(kTimeoutMs);
                passed = true;
            }
        }
        const long long now = fake_comm::now_ms();
        long long at = now + delay;
        if (!passed) {
            if (at < last_at)
                at = last_at;
            last_at = at;
        }
        log << " " << code << "#" << n << ":" << what << "@" << (at - now);
        fake_comm::post_after(id, static_cast<int>(at - now), COMM_EV_DATA,
                              reply);
    }
};

class ReplySchedules : public LinkTest {};

TEST_F(ReplySchedules, NoTransactionTakesAnotherRequestsReply) {
    MXX_set_cmd_num_try(id, kTries);
    fake_comm::set_auto_idle(false);
    int taken = 0, refused = 0, silent = 0;
    // One device for all schedules: replies still on their way when a
    // schedule ends arrive during the next one, as on a real line.
    Device dev;
    fake_comm::set_device(
        [&dev](int cid, const fake_comm::Bytes &f) { dev.on_write(cid, f); });
    for (int s = 0; s < kSchedules; s++) {
        dev.rng.seed(static_cast<unsigned>(s));
        dev.line = s % 2 ? Line::Reordered : Line::InOrder;
        dev.log.str("");
        dev.log << "schedule " << s
                << (dev.line == Line::InOrder ? " (in order):"
                                              : " (reordered):");
        for (int r = 0; r < kRequests; r++) {
            const uint32_t n = static_cast<uint32_t>(s * kRequests + r + 1);
            const fake_comm::Bytes req = u32le(n);
            unsigned char dst[8];
            memset(dst, 0, sizeof dst);
            int len = 0;
            const int rc = MXX_send_cmd(
                id, kRead, req.data(), static_cast<int>(req.size()), dst,
                sizeof dst, &len, nullptr, nullptr, kTimeoutMs, 1);
            if (rc == MXX_OK) {
                uint32_t got = 0;
                if (len == 4)
                    memcpy(&got, dst, 4);
                ASSERT_EQ(got, n)
                    << "request " << n << " took the reply of " << got << "\n"
                    << dev.log.str();
                taken++;
            } else if (rc == MXX_FAILED) {
                ASSERT_TRUE(dev.refused[n])
                    << "request " << n << " ended as refused, but no failure "
                    << "was sent for it\n"
                    << dev.log.str();
                refused++;
            } else {
                ASSERT_EQ(rc, MXX_NO_REPLY) << dev.log.str();
                silent++;
            }
        }
    }
    fake_comm::set_device(nullptr);
    // The schedules reach every ending.
    EXPECT_GT(taken, kSchedules);
    EXPECT_GT(refused, 0);
    EXPECT_GT(silent, 0);
}

} // namespace
