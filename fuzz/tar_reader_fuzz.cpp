// Arbitrary archives through the tar reader as the card upload walks it:
// every entry, its data read in pieces of changing sizes, the check that
// the archive holds all of a file's data, and reading a file again from its
// start. The reader must always move on, never hand out more data than the
// entry's size, and read the same bytes the second time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "tar_reader.h"

namespace {

constexpr size_t PIECES[] = {128, 1, 511, 512, 4096, 0, 7};
// Files up to this size are read twice and compared.
constexpr uint64_t COMPARE_MAX = 1u << 16;

// Reads the current file's data to its end in pieces; answers the bytes
// read, the data in out when given.
uint64_t read_all(TarReader &reader, uint64_t size, size_t first_piece,
                  std::vector<unsigned char> *out) {
    std::vector<unsigned char> buf(4096);
    uint64_t total = 0;
    size_t piece = first_piece;
    for (;;) {
        const size_t n = PIECES[piece++ % (sizeof PIECES / sizeof PIECES[0])];
        const long got = reader.read_data(buf.data(), n);
        FUZZ_CHECK(got >= -1 && static_cast<size_t>(got < 0 ? 0 : got) <= n);
        if (got <= 0 && n > 0)
            break;
        total += static_cast<uint64_t>(got);
        FUZZ_CHECK(total <= size);
        if (out)
            out->insert(out->end(), buf.begin(), buf.begin() + got);
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> archive(data, data + size);
    TarMemorySource source(archive.data(), archive.size());
    TarReader reader(source);
    // Every entry takes at least one 512-byte header.
    const size_t most_entries = size / TAR_BLOCK + 1;
    for (size_t entries = 0;; entries++) {
        TarEntry entry;
        const int rc = reader.next(entry);
        if (rc != TAR_ENTRY) {
            FUZZ_CHECK(rc == TAR_END || rc == TAR_ERR_DAMAGED);
            if (rc == TAR_ERR_DAMAGED)
                FUZZ_CHECK(reader.error()[0] != 0 &&
                           reader.error_offset() <= size);
            return 0;
        }
        FUZZ_CHECK(entries < most_entries);
        FUZZ_CHECK(entry.type == TAR_FILE || entry.size == 0);
        if (entry.type != TAR_FILE)
            continue;
        const bool complete = reader.data_complete();
        const bool compare = entry.size <= COMPARE_MAX;
        std::vector<unsigned char> first, second;
        const uint64_t got =
            read_all(reader, entry.size, entries, compare ? &first : nullptr);
        FUZZ_CHECK(complete == (got == entry.size));
        if (!compare || (entries & 1) == 0)
            continue;
        // Once more from the start, as a file is sent again.
        FUZZ_CHECK(reader.rewind_data());
        read_all(reader, entry.size, entries + 3, &second);
        FUZZ_CHECK(first == second);
    }
}
