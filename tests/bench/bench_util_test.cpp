// The benchmark helpers: a wrong limit or median would print a plausible but
// false figure, and a peer that answers wrongly would time nothing.
#include "bench_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::image_reads;
using bench::line_ms;
using bench::median;

TEST(LineArithmetic, ReadsAndBytesOfAnImageCopy) {
    // 512 full reads and the final empty one: 53 bytes out and 529 back
    // each, then 53 out and 17 back.
    auto full = image_reads(256 * 1024, 512);
    EXPECT_EQ(full.reads, 513);
    EXPECT_EQ(full.line_bytes, 512L * (53 + 529) + (53 + 17));
    // A short last read.
    auto part = image_reads(1000, 512);
    EXPECT_EQ(part.reads, 3);
    EXPECT_EQ(part.line_bytes, (53 + 529) + (53 + 505) + (53 + 17));
    // An empty image still takes the one empty read.
    auto empty = image_reads(0, 512);
    EXPECT_EQ(empty.reads, 1);
    EXPECT_EQ(empty.line_bytes, 53 + 17);
    EXPECT_EQ(image_reads(100, 0).reads, 0);

    EXPECT_DOUBLE_EQ(line_ms(11520, 115200), 1000.0);
    EXPECT_NEAR(line_ms(full.line_bytes, 115200), 25872.7, 0.1);
    EXPECT_EQ(line_ms(100, 0), 0.0);
}

TEST(Statistics, MedianOfOddEvenUnsortedAndNone) {
    EXPECT_EQ(median({5, 1, 3}), 3);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(median({7}), 7);
    EXPECT_EQ(median({}), 0);
    EXPECT_EQ(median({9, 9, 1, 9}), 9);
}

TEST(Processes, PeakMemoryOfALiveProcessOnly) {
    EXPECT_GT(bench::peak_rss_kib(getpid()), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(bench::peak_rss_kib(child), -1); // reaped: nothing to read
}

TEST(EchoPeer, AnswersEveryWholeRequestAndNothingElse) {
    const std::vector<unsigned char> request = {'D', 'E', 'V', 'O', 1, 2, 3};
    std::vector<unsigned char> reply(529);
    for (size_t i = 0; i < reply.size(); i++)
        reply[i] = static_cast<unsigned char>(i);
    bench::EchoPeer peer(request.size(), reply);
    ASSERT_TRUE(peer.ok());
    bench::RawLine line(peer.path());
    ASSERT_TRUE(line.ok());
    for (int i = 0; i < 100; i++)
        ASSERT_TRUE(line.exchange(request, reply.size(), 5000)) << i;

    // Half a request gets no answer: the exchange gives up in time.
    const std::vector<unsigned char> half(request.begin(), request.begin() + 3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(line.exchange(half, reply.size(), 200));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 5000);
    // The other half completes that request; more than the reply is never
    // there to read.
    const std::vector<unsigned char> rest(request.begin() + 3, request.end());
    EXPECT_TRUE(line.exchange(rest, reply.size(), 5000));
    EXPECT_FALSE(line.exchange({}, 1, 200));
}

TEST(RawLine, ALineThatCannotBeOpenedIsNotOk) {
    bench::RawLine line("/nonexistent/pts/99");
    EXPECT_FALSE(line.ok());
}

} // namespace
