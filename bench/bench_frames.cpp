#include "bench_frames.h"

#include <cstring>

#include "mxx_comm.h"
#include "v21_comm.h"
#include "wire.h"

namespace bench {

namespace {

// Fields of the file request head.
constexpr size_t OFF_OFFSET = 32;
constexpr size_t OFF_MAX_LEN = 36;
constexpr size_t COUNT_SIZE = 4;

} // namespace

std::vector<unsigned char> read_request() {
    unsigned char head[V21_FILE_REQ_SIZE] = {};
    WireWriter w(head, sizeof head);
    w.bytes(0, IMAGE_FILE, strlen(IMAGE_FILE));
    w.u32(OFF_OFFSET, 0);
    w.u32(OFF_MAX_LEN, READ_CHUNK);
    std::vector<unsigned char> frame(sizeof head + MXX_FRAME_OVERHEAD);
    MXX_make_command(frame.data(), V21_CODE_READ_FILE, head, sizeof head,
                     V21_TIMEOUT_MS);
    return frame;
}

std::vector<unsigned char> read_reply() {
    std::vector<unsigned char> payload(COUNT_SIZE + READ_CHUNK);
    WireWriter w(payload.data(), payload.size());
    w.u32(0, READ_CHUNK);
    for (size_t i = COUNT_SIZE; i < payload.size(); i++)
        payload[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> frame(payload.size() + MXX_FRAME_OVERHEAD);
    MXX_make_command(frame.data(), V21_CODE_READ_FILE + MXX_RSP_OFFSET,
                     payload.data(), static_cast<int>(payload.size()),
                     V21_TIMEOUT_MS);
    return frame;
}

} // namespace bench
