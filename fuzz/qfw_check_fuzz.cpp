// Arbitrary files as firmware containers through the check that the upload
// runs before anything is sent: header, device type, image length, image,
// checksums. An accepted container must have put exactly its image into the
// buffer and left the rest erased.
//
// Input: byte 0 chooses the image size (bit 7: the instrument's 0x7F000
// bytes; otherwise 4 to 512 bytes, whole words, so the checks run fast);
// the rest is the container file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "m17_cmds.h"
#include "wire.h"

namespace {

constexpr int DEVICE_TYPE = 10;
constexpr uint32_t FULL_IMAGE = 0x7F000;
constexpr size_t OFF_LENGTH = 40;
constexpr unsigned char ERASED = 0xFF;

uint32_t le32(const unsigned char *p) {
    return WireReader(p, 4).u32(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t image_size =
        (data[0] & 0x80) ? FULL_IMAGE : 4u * (1u + (data[0] & 0x7F));
    std::vector<uint8_t> file(data + 1, data + size);
    // fmemopen refuses an empty buffer: an empty container is /dev/null.
    FILE *f = file.empty() ? fopen("/dev/null", "rb")
                           : fmemopen(file.data(), file.size(), "rb");
    if (f == nullptr)
        return 0;
    std::vector<unsigned char> image(image_size, ERASED);
    uint32_t encrypted = 0xEE;
    const int rc = M17_check_qfw(f, "fuzz.qfw", DEVICE_TYPE, image_size,
                                 image.data(), &encrypted);
    fclose(f);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(encrypted == 0xEE);
        return 0;
    }
    FUZZ_CHECK(encrypted <= 1);
    FUZZ_CHECK(file.size() >= QFW_HEADER_SIZE);
    const uint32_t length = le32(file.data() + OFF_LENGTH);
    FUZZ_CHECK(length <= image_size);
    FUZZ_CHECK(file.size() - QFW_HEADER_SIZE >= length);
    FUZZ_CHECK(memcmp(image.data(), file.data() + QFW_HEADER_SIZE, length) ==
               0);
    for (uint32_t i = length; i < image_size; i++)
        FUZZ_CHECK(image[i] == ERASED);
    return 0;
}
