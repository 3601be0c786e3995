// Frames as the instrument builds and parses them, against the test-side
// encoder.
#include "frame.h"
#include "sim_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

namespace {

const ByteVec kGoldenGetSerial = {0x44, 0x45, 0x56, 0x4F, 0x47, 0x1F, 0x01,
                                  0x00, 0x64, 0x00, 0x00, 0x25, 0x00};

std::vector<vo62sim::Frame> parse(const ByteVec &bytes) {
    vo62sim::FrameParser p;
    std::vector<vo62sim::Frame> out;
    for (uint8_t b : bytes) {
        vo62sim::Frame f;
        if (p.push(b, f))
            out.push_back(f);
    }
    return out;
}

TEST(Frame, GoldenGetSerialFromBothEncoders) {
    EXPECT_EQ(encode_request(8007, {}, 100), kGoldenGetSerial);
    vo62sim::Bytes f = vo62sim::make_frame(8007, nullptr, 0, 100, 0);
    EXPECT_EQ(ByteVec(f.begin(), f.end()), kGoldenGetSerial);
    auto frames = parse(kGoldenGetSerial);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 8007);
    EXPECT_EQ(frames[0].param, 100);
    EXPECT_TRUE(frames[0].payload.empty());
}

TEST(Frame, ReplyCarriesStatusParamAndPayloadSum) {
    vo62sim::Bytes f =
        vo62sim::make_frame(9211, vo62sim::Bytes{1, 2, 4}, 800, 3);
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f[6], 4); // payload + checksum byte
    EXPECT_EQ(f[10], 3);
    EXPECT_EQ(f[15], 1 ^ 2 ^ 4);
    uint8_t h = 0;
    for (int i = 0; i < 12; i++)
        h ^= f[static_cast<size_t>(i)];
    EXPECT_EQ(h, 0);
}

TEST(Frame, ParserFindsFramesInAnyStream) {
    ByteVec a = encode_request(8211, ByteVec(40, 'x'), 800);
    ByteVec b = encode_request(8007, {}, 100);
    // Garbage, a doubled first magic byte and two frames back to back.
    const uint8_t garbage[] = {0x00, 'D', 'E', 'D'};
    ByteVec stream(sizeof garbage + a.size() + b.size());
    auto end =
        std::copy(std::begin(garbage), std::end(garbage), stream.begin());
    end = std::copy(a.begin(), a.end(), end);
    std::copy(b.begin(), b.end(), end);
    auto frames = parse(stream);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].code, 8211);
    EXPECT_EQ(frames[0].payload, vo62sim::Bytes(40, 'x'));
    EXPECT_EQ(frames[1].code, 8007);
}

TEST(Frame, BadSumsDropOnlyTheirFrame) {
    ByteVec good = encode_request(8001, {}, 1000);
    ByteVec bad_head = encode_request(8002, {}, 1000);
    bad_head[9] ^= 0x10;
    ByteVec bad_body = encode_request(8003, ByteVec(24, 1), 1000);
    bad_body[20] ^= 0x01;
    ByteVec stream = bad_head;
    stream.insert(stream.end(), bad_body.begin(), bad_body.end());
    stream.insert(stream.end(), good.begin(), good.end());
    auto frames = parse(stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 8001);
}

TEST(Frame, ZeroLengthHeaderIsAnEmptyFrame) {
    ByteVec h = {'D', 'E', 'V', 'O', 0x41, 0x1F, 0, 0, 0, 0, 0};
    uint8_t x = 0;
    for (uint8_t b : h)
        x ^= b;
    h.push_back(x);
    auto frames = parse(h);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 8001);
    EXPECT_TRUE(frames[0].payload.empty());
}

} // namespace
