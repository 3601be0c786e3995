#include "fw_support.h"

#include <random>

#include "capture.h"
#include "m17_cmds.h"
#include "process.h"

uint32_t le32(const std::string &data, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<unsigned char>(data.at(off + i));
    return v;
}

void put_le32(std::string &data, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++)
        data.at(off + i) = static_cast<char>(v >> (8 * i));
}

std::string random_image(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string make_container(const std::string &dir, const std::string &bin,
                           bool encrypt, int major, int minor,
                           const std::string &name) {
    const std::string bin_path = dir + "/" + name + ".bin";
    const std::string qfw_path = dir + "/" + name;
    write_file(bin_path, bin);
    OutputCapture quiet;
    M17_create_qfw(bin_path.c_str(), qfw_path.c_str(), major, minor,
                   encrypt ? 1 : 0, "VO-62V2", FW_IMAGE, 10);
    return qfw_path;
}

uint32_t xor_words(const std::string &image) {
    uint32_t sum = 0;
    for (size_t off = 0; off + 4 <= image.size(); off += 4)
        sum ^= le32(image, off);
    return sum;
}
