// Helpers of the firmware tests: building containers and reading their
// fields back.
#ifndef FW_SUPPORT_H
#define FW_SUPPORT_H

#include <cstdint>
#include <string>

constexpr uint32_t FW_IMAGE = 0x7F000;
constexpr uint32_t FW_FILE = 72 + FW_IMAGE;

// Field of a container at a byte offset, little-endian.
uint32_t le32(const std::string &data, size_t off);
void put_le32(std::string &data, size_t off, uint32_t v);

// A raw image of size bytes from a fixed seed.
std::string random_image(size_t size, unsigned seed);

// Builds a container for the instrument (name "VO-62V2", type 10) from a
// raw image in dir; answers its path. Output is swallowed.
std::string make_container(const std::string &dir, const std::string &bin,
                           bool encrypt, int major = 1, int minor = 5,
                           const std::string &name = "fw.qfw");

// Word-wise XOR sums over an image held in a string.
uint32_t xor_words(const std::string &image);

#endif
