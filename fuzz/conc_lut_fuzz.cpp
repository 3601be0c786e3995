// Arbitrary local table files loaded over a table read from the instrument,
// then taken through the editor with the console input at its end (every
// prompt keeps what it shows), as "set conc lut" does. The table that would
// be written must hold twelve records, a matching checksum, a terminated or
// full name field, and every value exactly as loaded.
//
// Input: the first 116 bytes are the instrument's table (zeros where the
// input is shorter), the rest is the local file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

constexpr size_t OFF_CHECKSUM = 0, OFF_NAME = 4, OFF_COUNT = 16,
                 OFF_VALUES = 20;

uint32_t le32(const unsigned char *p) {
    return WireReader(p, 4).u32(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<unsigned char> lut(LUT_SIZE, 0);
    const size_t head = size < LUT_SIZE ? size : LUT_SIZE;
    memcpy(lut.data(), data, head);
    std::vector<uint8_t> file(data + head, data + size);
    FILE *f = file.empty() ? fopen("/dev/null", "rb")
                           : fmemopen(file.data(), file.size(), "rb");
    if (f == nullptr)
        return 0;
    FUZZ_CHECK(read_conc_lut(f, lut.data()));
    fclose(f);
    const std::vector<unsigned char> loaded = lut;
    for (size_t i = 0; i < file.size() && i < LUT_SIZE; i++)
        FUZZ_CHECK(loaded[i] == file[i]);

    edit_conc_lut(lut.data());
    FUZZ_CHECK(le32(lut.data() + OFF_COUNT) == LUT_RECORDS);
    FUZZ_CHECK(le32(lut.data() + OFF_CHECKSUM) ==
               conc_lut_checksum(lut.data()));
    FUZZ_CHECK(memcmp(lut.data() + OFF_VALUES, loaded.data() + OFF_VALUES,
                      LUT_SIZE - OFF_VALUES) == 0);
    // The name keeps its characters up to its first zero; the rest of the
    // field is cleared.
    const unsigned char *name = lut.data() + OFF_NAME;
    const size_t len =
        strnlen(reinterpret_cast<const char *>(name), LUT_NAME_SIZE);
    FUZZ_CHECK(memcmp(name, loaded.data() + OFF_NAME, len) == 0);
    for (size_t i = len; i < LUT_NAME_SIZE; i++)
        FUZZ_CHECK(name[i] == 0);
    return 0;
}
