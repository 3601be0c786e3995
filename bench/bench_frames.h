// The exchange every round-trip figure is made of: a read of 512 bytes of
// the card image, as the request and its reply travel on the line.
#ifndef BENCH_FRAMES_H
#define BENCH_FRAMES_H

#include <cstdint>
#include <vector>

namespace bench {

constexpr uint32_t READ_CHUNK = 512;
constexpr const char *IMAGE_FILE = "raw";

// The frame V21_Read_File sends for READ_CHUNK bytes at offset 0.
std::vector<unsigned char> read_request();
// An instrument's answer to it: the count, then READ_CHUNK bytes.
std::vector<unsigned char> read_reply();

} // namespace bench

#endif
