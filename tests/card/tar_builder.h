// Builds tar archives in memory for tests: POSIX ustar headers with a valid
// checksum, data padded to whole blocks, and room to spoil any field.
#ifndef TAR_BUILDER_H
#define TAR_BUILDER_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using TarBytes = std::vector<unsigned char>;

// A 512-byte header; fields not given are zero.
inline TarBytes tar_header(const std::string &name, char type, size_t size,
                           const std::string &prefix = "",
                           const char *magic = "ustar") {
    TarBytes h(512, 0);
    memcpy(h.data(), name.data(), name.size() < 100 ? name.size() : 100);
    snprintf(reinterpret_cast<char *>(&h[100]), 8, "%07o", 0644);
    snprintf(reinterpret_cast<char *>(&h[124]), 12, "%011zo", size);
    h[156] = static_cast<unsigned char>(type);
    memcpy(&h[257], magic, strlen(magic) + 1 < 8 ? strlen(magic) + 1 : 8);
    if (strcmp(magic, "ustar") == 0)
        memcpy(&h[263], "00", 2);
    memcpy(&h[345], prefix.data(), prefix.size() < 155 ? prefix.size() : 155);
    return h;
}

// Writes the checksum of a header (after its other fields are final).
inline void tar_seal(TarBytes &h, size_t at = 0) {
    memset(&h[at + 148], ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 512; i++)
        sum += h[at + i];
    snprintf(reinterpret_cast<char *>(&h[at + 148]), 8, "%06o", sum);
}

class TarBuilder {
  public:
    // An entry: sealed header, then the data padded to whole blocks.
    TarBuilder &entry(const std::string &name, char type,
                      const std::string &data = "",
                      const std::string &prefix = "") {
        TarBytes h = tar_header(name, type, data.size(), prefix);
        tar_seal(h);
        raw(h);
        raw(TarBytes(data.begin(), data.end()));
        raw(TarBytes((512 - data.size() % 512) % 512, 0));
        return *this;
    }
    TarBuilder &dir(const std::string &name) { return entry(name, '5'); }
    TarBuilder &file(const std::string &name, const std::string &data) {
        return entry(name, '0', data);
    }
    // A pax extended header holding the given records.
    TarBuilder &pax(const std::string &records) {
        return entry("./PaxHeaders/x", 'x', records);
    }
    TarBuilder &raw(const TarBytes &bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // The two zero blocks that end an archive.
    TarBuilder &end() { return raw(TarBytes(1024, 0)); }
    const TarBytes &bytes() const { return bytes_; }

  private:
    TarBytes bytes_;
};

// One pax record: "<length> key=value\n", the length counting itself.
inline std::string pax_record(const std::string &key,
                              const std::string &value) {
    const size_t body = key.size() + value.size() + 3; // ' ', '=', '\n'
    size_t len = body + 1;
    while (std::to_string(len).size() + body != len)
        len++;
    return std::to_string(len) + " " + key + "=" + value + "\n";
}

// A string of n bytes that differ from block to block, so misplaced data
// shows.
inline std::string pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 31 + seed * 7 + i / 512) & 0xFF);
    return s;
}

#endif
