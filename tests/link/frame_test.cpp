// Building frames, judging replies, and reassembling received byte streams
// into verified frames.
#include <gtest/gtest.h>

#include <cstring>

#include "link_fixture.h"

namespace {

using fake_comm::frame;
using fake_comm::text;

TEST(Frame, GetSerialCommandIsTheKnownThirteenBytes) {
    unsigned char f[MXX_FRAME_OVERHEAD];
    ASSERT_EQ(MXX_make_command(f, 8007, nullptr, 0, 100), 13);
    const Bytes expected = {0x44, 0x45, 0x56, 0x4F, 0x47, 0x1F, 0x01,
                            0x00, 0x64, 0x00, 0x00, 0x25, 0x00};
    EXPECT_EQ(Bytes(f, f + 13), expected);
}

TEST(Frame, PayloadSumsAndSixteenBitParam) {
    const Bytes payload = {0x01, 0x02, 0x04, 0xF0};
    Bytes f(payload.size() + 13);
    ASSERT_EQ(MXX_make_command(f.data(), 8206, payload.data(), 4, 300000), 17);
    // The device-side builder is written independently of the link's.
    EXPECT_EQ(f, frame(8206, payload, 0, 37856));
    EXPECT_EQ(fake_comm::frame_param(f), 37856);
}

// ---- Judging a reply -------------------------------------------------------

struct Judged {
    int rc, len = -7, param = -7, status = -7, kind = -7;
    unsigned char dst[8];
};

Judged judge(const Bytes &rsp, const Bytes &fail, const Bytes &retry,
             int dst_size = 8) {
    Judged j;
    memset(j.dst, 0xEE, sizeof j.dst);
    j.rc = MXX_test_response(
        1, rsp.empty() ? nullptr : rsp.data(), static_cast<int>(rsp.size()),
        fail.empty() ? nullptr : fail.data(), static_cast<int>(fail.size()),
        retry.empty() ? nullptr : retry.data(), static_cast<int>(retry.size()),
        j.dst, dst_size, &j.len, &j.param, &j.status, &j.kind);
    return j;
}

TEST(Judge, KindsAndResults) {
    Judged ok = judge(frame(9007, text("A0001234"), 0, 77), {}, {});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.kind, 1);
    EXPECT_EQ(ok.len, 8);
    EXPECT_EQ(ok.param, 77);
    EXPECT_EQ(memcmp(ok.dst, "A0001234", 8), 0);

    // A response with a failure status copies nothing.
    Judged bad = judge(frame(9007, text("XY"), 3), {}, {});
    EXPECT_EQ(bad.rc, 1);
    EXPECT_EQ(bad.kind, 1);
    EXPECT_EQ(bad.status, 3);
    EXPECT_EQ(bad.len, -7);
    EXPECT_EQ(bad.dst[0], 0xEE);

    // A failure reply fails whatever its status; the response buffer wins.
    EXPECT_EQ(judge({}, frame(12290), {}).rc, 1);
    EXPECT_EQ(judge({}, frame(12290), {}).kind, 2);
    EXPECT_EQ(judge(frame(9007), frame(12290), {}).kind, 1);

    // A retry reply is success of kind 0 (not final); its status counts.
    EXPECT_EQ(judge({}, {}, frame(12289)).rc, 0);
    EXPECT_EQ(judge({}, {}, frame(12289)).kind, 0);
    EXPECT_EQ(judge({}, {}, frame(12289, {}, 4)).rc, 1);

    Judged none = judge({}, {}, {});
    EXPECT_EQ(none.rc, 255);
    EXPECT_EQ(none.kind, 0);
    EXPECT_EQ(none.status, -7);
}

TEST(Judge, OversizedPayloadIsNotCopiedAndFails) {
    Judged j = judge(frame(9007, text("123456789")), {}, {});
    EXPECT_EQ(j.rc, 1);
    EXPECT_EQ(j.len, -7);
    EXPECT_EQ(j.dst[0], 0xEE);
    // Exactly the destination's size is copied.
    EXPECT_EQ(judge(frame(9001, text("12345678")), {}, {}).len, 8);
}

TEST(Judge, NeverReadsBeyondTheStoredBytes) {
    // Fewer bytes than a header: nothing is read from the buffer at all.
    Bytes tiny = {'D', 'E', 'V'};
    Judged j = judge(tiny, {}, {});
    EXPECT_EQ(j.rc, 255);
    EXPECT_EQ(j.status, -7);
    // A header alone (length 0): judged, no payload.
    Bytes header = frame(9007);
    header.pop_back();
    Judged h = judge(header, {}, {});
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.len, -7);
}

// ---- Reassembly ------------------------------------------------------------

class Reassembly : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, hook_any), 0);
    }
    std::vector<Bytes> frames() {
        std::vector<Bytes> out;
        for (const Seen &s : seen())
            out.push_back(s.frame);
        return out;
    }
};

TEST_F(Reassembly, FramesSplitAnywhereArriveWholeAndInOrder) {
    const Bytes a = frame(9302, text("live"), 0, 5);
    const Bytes b = frame(9007, text("A0001234"));
    const Bytes stream = fake_comm::concat({text("noise"), a, b});
    for (int cut = 0; cut <= static_cast<int>(stream.size()); cut++) {
        for (int cut2 : {1, 3, 13}) {
            clear_seen();
            fake_comm::deliver_split(id, stream, {cut, cut2});
            ASSERT_EQ(frames(), (std::vector<Bytes>{a, b}))
                << "cut at " << cut << " then " << cut2;
        }
    }
    // Byte by byte.
    clear_seen();
    fake_comm::deliver_split(id, stream, std::vector<int>(stream.size(), 1));
    EXPECT_EQ(frames(), (std::vector<Bytes>{a, b}));
}

// Payload bytes are payload whatever they look like: a whole frame carried
// inside a reply's data, and a payload of 4,000 bytes that arrives in pieces
// of every size, with the next frame starting inside the last piece.
TEST_F(Reassembly, PayloadsAreTakenWholeWhateverTheyHold) {
    const Bytes inner = frame(9302, text("inner"));
    Bytes big(4000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<unsigned char>(i * 31 + 7);
    const Bytes a = frame(9211, fake_comm::concat({inner, text("DEVO")}));
    const Bytes b = frame(9211, big);
    const Bytes c = frame(9007, text("A0001234"));
    const Bytes stream = fake_comm::concat({a, b, c});
    for (int piece : {1, 7, 12, 13, 511, 1000, 4012, 4096}) {
        clear_seen();
        std::vector<int> sizes(stream.size() / size_t(piece) + 1, piece);
        fake_comm::deliver_split(id, stream, sizes);
        ASSERT_EQ(frames(), (std::vector<Bytes>{a, b, c}))
            << "pieces of " << piece;
    }
}

TEST_F(Reassembly, DoubledFirstMagicByteLosesThatFrameOnly) {
    const Bytes a = frame(9302, text("x"));
    const Bytes b = frame(9303, text("y"));
    fake_comm::deliver(id, COMM_EV_DATA, fake_comm::concat({text("D"), a, b}));
    EXPECT_EQ(frames(), (std::vector<Bytes>{b}));
}

TEST_F(Reassembly, CorruptedSumsDropTheFrameSilently) {
    const Bytes good = frame(9302, text("ok"));
    Bytes bad_header = frame(9302, text("h1"));
    bad_header[8] ^= 0x01;
    Bytes bad_payload = frame(9302, text("p1"));
    bad_payload[12] ^= 0x40;
    fake_comm::deliver(id, COMM_EV_DATA,
                       fake_comm::concat({bad_header, bad_payload, good}));
    EXPECT_EQ(frames(), (std::vector<Bytes>{good}));
    EXPECT_EQ(fake_comm::count_calls("comm_fill_rsp_buff"), 1);
    EXPECT_TRUE(fake_comm::writes().empty());
}

TEST_F(Reassembly, ZeroLengthHeaderIsAFrameOfTwelveBytes) {
    Bytes header = frame(9302);
    header.pop_back();
    header[6] = 0;
    header[11] ^= 0x01; // keep the header sum with length 0
    fake_comm::deliver(id, COMM_EV_DATA, header);
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0], header);
    EXPECT_EQ(fake_comm::calls().back(), "comm_fill_rsp_buff(1,9302,12)");
}

TEST_F(Reassembly, LengthBeyondTheBufferIsDroppedAndTheLargestFits) {
    const Bytes after = frame(9302, text("next"));
    // Length 65,525 cannot be held next to the header; the link skips it
    // and finds the following frame.
    Bytes huge = frame(9302, Bytes(65524, 0x11));
    ASSERT_EQ(huge[6] | (huge[7] << 8), 65525);
    fake_comm::deliver(id, COMM_EV_DATA, fake_comm::concat({huge, after}));
    EXPECT_EQ(frames(), (std::vector<Bytes>{after}));

    clear_seen();
    const Bytes largest = frame(9302, Bytes(65523, 0x22));
    fake_comm::deliver(id, COMM_EV_DATA, largest);
    ASSERT_EQ(frames().size(), 1u);
    // 12 + 65,524 bytes: exactly the reassembly buffer.
    EXPECT_EQ(frames()[0], largest);
}

TEST_F(Reassembly, IdleEventDropsAHalfFrameOnlyOnceIdentified) {
    const Bytes a = frame(9302, text("abcdef"));
    const Bytes head(a.begin(), a.begin() + 8), tail(a.begin() + 8, a.end());
    // Not identified: a time-out leaves the receive state alone.
    fake_comm::deliver(id, COMM_EV_DATA, head);
    EXPECT_EQ(fake_comm::deliver(id, COMM_EV_IDLE), 0);
    fake_comm::deliver(id, COMM_EV_DATA, tail);
    EXPECT_EQ(frames().size(), 1u);

    // Identified (any frame is accepted): the time-out drops the half frame.
    int id2 = -1;
    ASSERT_EQ(MXX_connect(
                  "fake", &id2, nullptr, nullptr, nullptr, nullptr,
                  [](int, const unsigned char *, int *, int) { return 1; }, 0),
              0);
    ASSERT_EQ(MXX_hook_async_event(id2, MXX_HOOK_ANY, hook_any), 0);
    fake_comm::deliver(id2, COMM_EV_DATA, frame(9007));
    clear_seen();
    fake_comm::deliver(id2, COMM_EV_DATA, head);
    EXPECT_EQ(fake_comm::deliver(id2, COMM_EV_IDLE), 0);
    fake_comm::deliver(id2, COMM_EV_DATA, tail);
    fake_comm::deliver(id2, COMM_EV_DATA, a);
    EXPECT_EQ(frames(), (std::vector<Bytes>{a}));
}

} // namespace
