// Helpers of the firmware tests: containers' fields and images.
#ifndef FW_SUPPORT_H
#define FW_SUPPORT_H

#include <cstdint>
#include <random>
#include <string>

constexpr uint32_t FW_IMAGE = 0x7F000;
constexpr uint32_t FW_FILE = 72 + FW_IMAGE;

// Field of a container at a byte offset, little-endian.
inline uint32_t le32(const std::string &data, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<unsigned char>(data.at(off + i));
    return v;
}

inline void put_le32(std::string &data, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++)
        data.at(off + i) = static_cast<char>(v >> (8 * i));
}

// A raw image of size bytes from a fixed seed.
inline std::string random_image(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// XOR of an image's 32-bit little-endian words.
inline uint32_t xor_words(const std::string &image) {
    uint32_t sum = 0;
    for (size_t off = 0; off + 4 <= image.size(); off += 4)
        sum ^= le32(image, off);
    return sum;
}

// Builds a container for the instrument (name "VO-62V2", type 10) from a
// raw image in dir with M17_create_qfw; answers its path. Output is
// swallowed.
std::string make_container(const std::string &dir, const std::string &bin,
                           bool encrypt, int major = 1, int minor = 5,
                           const std::string &name = "fw.qfw");

#endif
