#include "tar_reader.h"

#include <cstring>

namespace {

// Header fields.
constexpr size_t NAME_OFF = 0, NAME_LEN = 100;
constexpr size_t SIZE_OFF = 124, SIZE_LEN = 11; // the 12th byte is not read
constexpr size_t CHKSUM_OFF = 148, CHKSUM_LEN = 8;
constexpr size_t TYPE_OFF = 156;
constexpr size_t MAGIC_OFF = 257;
constexpr size_t PREFIX_OFF = 345, PREFIX_LEN = 155;
// POSIX ustar magic with its terminator; the old GNU format writes
// "ustar  " and keeps other data where the prefix would be.
constexpr char USTAR_MAGIC[] = "ustar";
constexpr size_t USTAR_MAGIC_LEN = sizeof USTAR_MAGIC;

constexpr size_t SKIP_CHUNK = 4096;

bool all_zero(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

// Reads a numeric header field: optional leading blanks, octal digits, then
// a blank, a zero byte or the end of the field. An empty field is 0.
bool parse_octal(const unsigned char *field, size_t len, uint64_t &out) {
    size_t i = 0;
    while (i < len && field[i] == ' ')
        i++;
    uint64_t v = 0;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; i++)
        v = v * 8 + (field[i] - '0'); // at most 11 digits: no overflow
    if (i < len && field[i] != ' ' && field[i] != 0)
        return false;
    out = v;
    return true;
}

// Writers differ on whether header bytes are summed signed or unsigned;
// either sum is accepted, with the checksum field counted as blanks.
bool checksum_ok(const unsigned char *block) {
    uint64_t stored = 0;
    if (!parse_octal(block + CHKSUM_OFF, CHKSUM_LEN, stored))
        return false;
    long long unsigned_sum = 0, signed_sum = 0;
    for (size_t i = 0; i < TAR_BLOCK; i++) {
        unsigned char c =
            (i >= CHKSUM_OFF && i < CHKSUM_OFF + CHKSUM_LEN) ? ' ' : block[i];
        unsigned_sum += c;
        signed_sum += static_cast<signed char>(c);
    }
    return static_cast<long long>(stored) == unsigned_sum ||
           static_cast<long long>(stored) == signed_sum;
}

std::string field_text(const unsigned char *p, size_t len) {
    if (len == 0)
        return std::string(); // an empty extension has no data to look at
    return std::string(reinterpret_cast<const char *>(p),
                       strnlen(reinterpret_cast<const char *>(p), len));
}

// The path of a header: its name, behind the prefix of a POSIX ustar header.
std::string header_path(const unsigned char *block) {
    std::string name = field_text(block + NAME_OFF, NAME_LEN);
    if (memcmp(block + MAGIC_OFF, USTAR_MAGIC, USTAR_MAGIC_LEN) == 0 &&
        block[PREFIX_OFF] != 0)
        return field_text(block + PREFIX_OFF, PREFIX_LEN) + "/" + name;
    return name;
}

// Entry types that never have data blocks, whatever their size field says:
// hard and symbolic links, devices, directories, FIFOs.
bool has_no_data(unsigned char type) {
    return type == '1' || type == '2' || type == '3' || type == '4' ||
           type == '5' || type == '6';
}

// Headers that describe the entry after them, or the archive, rather than
// an entry of their own: pax global and per-file headers, GNU long names
// and link names, volume labels and continuation headers.
bool is_meta_header(unsigned char type) {
    return type == 'g' || type == 'x' || type == 'X' || type == 'L' ||
           type == 'K' || type == 'V' || type == 'M' || type == 'N';
}

uint64_t padding(uint64_t size) {
    return (TAR_BLOCK - size % TAR_BLOCK) % TAR_BLOCK;
}

// Reads until n bytes or the end of the source.
long read_full(TarSource &src, unsigned char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        long r = src.read(buf + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

} // namespace

long TarMemorySource::read(unsigned char *buf, size_t n) {
    size_t left = size_ - pos_;
    if (n > left)
        n = left;
    if (n > 0)
        memcpy(buf, data_ + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
}

bool TarMemorySource::seek(uint64_t pos) {
    pos_ = pos < size_ ? static_cast<size_t>(pos) : size_;
    return true;
}

int TarReader::damaged(const char *why, uint64_t offset) {
    error_ = why;
    error_offset_ = offset;
    in_file_ = false;
    return TAR_ERR_DAMAGED;
}

int TarReader::read_block(unsigned char *block, size_t &got) {
    long r = read_full(src_, block, TAR_BLOCK);
    if (r < 0)
        return TAR_ERR_READ;
    got = static_cast<size_t>(r);
    pos_ += got;
    return 0;
}

// Skips n bytes: 0 when all were there, TAR_END when the source ended first.
int TarReader::skip(uint64_t n) {
    unsigned char buf[SKIP_CHUNK];
    while (n > 0) {
        size_t want = n < SKIP_CHUNK ? static_cast<size_t>(n) : SKIP_CHUNK;
        long r = read_full(src_, buf, want);
        if (r < 0)
            return TAR_ERR_READ;
        pos_ += static_cast<uint64_t>(r);
        n -= static_cast<uint64_t>(r);
        if (static_cast<size_t>(r) < want)
            return TAR_END;
    }
    return 0;
}

// Reads the data of a long-name entry or pax header, and its padding.
int TarReader::read_extension(uint64_t size, std::vector<unsigned char> &data) {
    const uint64_t header_at = pos_ - TAR_BLOCK;
    if (size > TAR_EXT_HEADER_MAX)
        return damaged("extension header too large", header_at);
    data.resize(static_cast<size_t>(size));
    long r = read_full(src_, data.data(), data.size());
    if (r < 0)
        return TAR_ERR_READ;
    pos_ += static_cast<uint64_t>(r);
    if (static_cast<size_t>(r) < data.size())
        return damaged("the archive ends inside an entry's data", header_at);
    int rc = skip(padding(size));
    return rc == TAR_ERR_READ ? rc : 0; // an end in the padding shows next
}

// Takes the "path" and "size" records of a pax extended header; records are
// "<length> <key>=<value>\n".
int TarReader::parse_pax(const std::vector<unsigned char> &data) {
    size_t i = 0;
    while (i < data.size() && data[i] != 0) {
        const size_t start = i;
        uint64_t len = 0;
        while (i < data.size() && data[i] >= '0' && data[i] <= '9') {
            len = len * 10 + (data[i] - '0');
            if (len > data.size())
                return -1;
            i++;
        }
        if (i == start || i >= data.size() || data[i] != ' ')
            return -1;
        const size_t end = start + static_cast<size_t>(len); // past the '\n'
        if (end > data.size() || end <= i + 1 || data[end - 1] != '\n')
            return -1;
        const std::string record(reinterpret_cast<const char *>(&data[i + 1]),
                                 end - 1 - (i + 1));
        const size_t eq = record.find('=');
        if (eq == std::string::npos)
            return -1;
        const std::string key = record.substr(0, eq);
        const std::string value = record.substr(eq + 1);
        if (key == "path") {
            if (value.empty() || value.find('\0') != std::string::npos)
                return -1;
            next_path_ = value;
            has_next_path_ = true;
        } else if (key == "size") {
            uint64_t v = 0;
            if (value.empty())
                return -1;
            for (char c : value) {
                if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10)
                    return -1;
                v = v * 10 + static_cast<uint64_t>(c - '0');
            }
            next_size_ = v;
            has_next_size_ = true;
        }
        i = end;
    }
    return 0;
}

int TarReader::next(TarEntry &entry) {
    if (in_file_) {
        // What the caller left of the file's data, then its padding; an
        // archive that ends inside the padding lacks nothing.
        in_file_ = false;
        int rc = skip(data_size_ - data_read_);
        if (rc == TAR_ERR_READ)
            return rc;
        if (rc == TAR_END)
            return damaged("the archive ends inside an entry's data",
                           data_start_ - TAR_BLOCK);
        rc = skip(padding(data_size_));
        if (rc != 0)
            return rc;
    }
    for (;;) {
        unsigned char block[TAR_BLOCK];
        size_t got = 0;
        const uint64_t at = pos_;
        if (read_block(block, got) != 0)
            return TAR_ERR_READ;
        const bool pending = has_next_path_ || has_next_size_;
        if (got < TAR_BLOCK) {
            if (pending)
                return damaged("the archive ends after an extension header",
                               at);
            if (all_zero(block, got))
                return TAR_END;
            return damaged("the archive ends inside a header", at);
        }
        if (all_zero(block, TAR_BLOCK)) {
            if (pending)
                return damaged("an extension header has no entry", at);
            continue; // the blocks that end an archive
        }
        if (!checksum_ok(block))
            return damaged("bad header checksum", at);
        uint64_t size = 0;
        if (!parse_octal(block + SIZE_OFF, SIZE_LEN, size))
            return damaged("size field is not octal", at);
        const unsigned char type = block[TYPE_OFF];

        if (type == 'L' || type == 'x') {
            std::vector<unsigned char> data;
            int rc = read_extension(size, data);
            if (rc != 0)
                return rc;
            if (type == 'L') {
                next_path_ = field_text(data.data(), data.size());
                has_next_path_ = true;
            } else if (parse_pax(data) != 0) {
                return damaged("bad extended header", at);
            }
            continue;
        }

        std::string path = has_next_path_ ? next_path_ : header_path(block);
        if (has_next_size_)
            size = next_size_;
        has_next_path_ = has_next_size_ = false;

        // Old archives mark regular files with a zero byte, and directories
        // with a zero byte and a trailing slash; '7' is a contiguous file.
        const bool slash = !path.empty() && path.back() == '/';
        const bool is_dir = type == '5' || (type == 0 && slash);
        const bool is_file =
            type == '0' || type == '7' || (type == 0 && !slash);
        if ((is_dir || is_file) && path.empty())
            return damaged("entry without a name", at);
        if (is_dir) {
            entry = TarEntry{TAR_DIRECTORY, path, 0};
            return TAR_ENTRY;
        }
        if (is_file) {
            entry = TarEntry{TAR_FILE, path, size};
            in_file_ = true;
            data_start_ = pos_;
            data_size_ = size;
            data_read_ = 0;
            return TAR_ENTRY;
        }
        if (!is_meta_header(type))
            skipped_.push_back({path, static_cast<char>(type)});
        if (has_no_data(type))
            continue;
        // Any other entry: its data is skipped, never read as headers.
        int rc = skip(size);
        if (rc == TAR_ERR_READ)
            return rc;
        if (rc == TAR_END)
            return damaged("the archive ends inside an entry's data", at);
        rc = skip(padding(size));
        if (rc == TAR_ERR_READ)
            return rc;
    }
}

long TarReader::read_data(unsigned char *buf, size_t n) {
    if (!in_file_)
        return 0;
    const uint64_t rest = data_size_ - data_read_;
    if (n > rest)
        n = static_cast<size_t>(rest);
    long r = read_full(src_, buf, n);
    if (r < 0)
        return -1;
    pos_ += static_cast<uint64_t>(r);
    data_read_ += static_cast<uint64_t>(r);
    return r;
}

bool TarReader::data_complete() {
    if (!in_file_ || data_size_ == 0)
        return true;
    if (!src_.seek(data_start_ + data_size_ - 1))
        return true; // cannot tell ahead; short reads still show it
    unsigned char last;
    const bool there = read_full(src_, &last, 1) == 1;
    if (!src_.seek(pos_)) {
        in_file_ = false;
        return false;
    }
    return there;
}

bool TarReader::rewind_data() {
    if (!in_file_ || !src_.seek(data_start_))
        return false;
    pos_ = data_start_;
    data_read_ = 0;
    return true;
}
