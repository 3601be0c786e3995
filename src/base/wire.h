// Little-endian readers and writers for wire records and files. Every field
// is read at its offset through a bounds check: a read outside the bytes
// that arrived yields 0 and marks the reader as failed, so decoding never
// reads past a buffer and a short record is noticed.
#ifndef WIRE_H
#define WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

class WireReader {
  public:
    WireReader(const void *data, size_t size)
        : data_(static_cast<const unsigned char *>(data)), size_(size) {}

    size_t size() const { return size_; }
    bool ok() const { return ok_; }
    bool has(size_t off, size_t len) const {
        return off <= size_ && len <= size_ - off;
    }

    uint8_t u8(size_t off) const { return static_cast<uint8_t>(get(off, 1)); }
    uint16_t u16(size_t off) const {
        return static_cast<uint16_t>(get(off, 2));
    }
    uint32_t u32(size_t off) const {
        return static_cast<uint32_t>(get(off, 4));
    }
    int32_t i32(size_t off) const { return static_cast<int32_t>(u32(off)); }
    float f32(size_t off) const {
        uint32_t bits = u32(off);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // Copies len bytes at off into out; zero-fills out when out of bounds.
    void bytes(size_t off, void *out, size_t len) const {
        if (!check(off, len)) {
            std::memset(out, 0, len);
            return;
        }
        std::memcpy(out, data_ + off, len);
    }
    const unsigned char *ptr(size_t off) const { return data_ + off; }

  private:
    bool check(size_t off, size_t len) const {
        if (has(off, len))
            return true;
        ok_ = false;
        return false;
    }
    uint64_t get(size_t off, size_t len) const {
        if (!check(off, len))
            return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < len; i++)
            v |= static_cast<uint64_t>(data_[off + i]) << (8 * i);
        return v;
    }

    const unsigned char *data_;
    size_t size_;
    mutable bool ok_ = true;
};

class WireWriter {
  public:
    WireWriter(void *data, size_t size)
        : data_(static_cast<unsigned char *>(data)), size_(size) {}

    bool ok() const { return ok_; }

    void u8(size_t off, uint8_t v) { put(off, v, 1); }
    void u16(size_t off, uint16_t v) { put(off, v, 2); }
    void u32(size_t off, uint32_t v) { put(off, v, 4); }
    void i32(size_t off, int32_t v) { put(off, static_cast<uint32_t>(v), 4); }
    void f32(size_t off, float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        put(off, bits, 4);
    }
    void bytes(size_t off, const void *src, size_t len) {
        if (!check(off, len))
            return;
        std::memcpy(data_ + off, src, len);
    }

  private:
    bool check(size_t off, size_t len) {
        if (off <= size_ && len <= size_ - off)
            return true;
        ok_ = false;
        return false;
    }
    void put(size_t off, uint64_t v, size_t len) {
        if (!check(off, len))
            return;
        for (size_t i = 0; i < len; i++)
            data_[off + i] = static_cast<unsigned char>(v >> (8 * i));
    }

    unsigned char *data_;
    size_t size_;
    bool ok_ = true;
};

#endif
