#include "link_fixture.h"

namespace {
std::mutex seen_mutex;
std::vector<Seen> seen_frames;

int record(int tag, const unsigned char *frame) {
    const size_t length = frame[6] | (frame[7] << 8);
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen_frames.push_back({tag, Bytes(frame, frame + 12 + length)});
    return 0;
}
} // namespace

std::vector<Seen> &seen() {
    return seen_frames;
}
void clear_seen() {
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen_frames.clear();
}
int hook_a(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    return record('a', frame);
}
int hook_b(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    return record('b', frame);
}
int hook_any(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    return record('*', frame);
}

void LinkTest::SetUp() {
    clear_seen();
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    id = open_plain();
}

void LinkTest::TearDown() {
    MXX_shut();
    fake_comm::reset();
    clear_seen();
}

int LinkTest::open_plain() {
    fake_comm::set_auto_link_up(false);
    fake_comm::set_auto_idle(false);
    int new_id = -1;
    EXPECT_EQ(MXX_connect("fake", &new_id, nullptr, nullptr, nullptr, nullptr,
                          nullptr, 0),
              0);
    return new_id;
}
