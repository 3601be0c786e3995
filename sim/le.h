// Little-endian field access for the instrument's records and frames. Every
// writer checks its offset against the record size, every reader against the
// bytes that arrived (a read outside yields 0), so no record is ever read or
// written past its end.
#ifndef VO62SIM_LE_H
#define VO62SIM_LE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vo62sim {

using Bytes = std::vector<uint8_t>;

inline uint64_t le_get(const uint8_t *p, size_t size, size_t off, size_t n) {
    if (off > size || n > size - off)
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
        v |= static_cast<uint64_t>(p[off + i]) << (8 * i);
    return v;
}

inline uint8_t le_u8(const Bytes &b, size_t off) {
    return static_cast<uint8_t>(le_get(b.data(), b.size(), off, 1));
}
inline uint16_t le_u16(const Bytes &b, size_t off) {
    return static_cast<uint16_t>(le_get(b.data(), b.size(), off, 2));
}
inline uint32_t le_u32(const Bytes &b, size_t off) {
    return static_cast<uint32_t>(le_get(b.data(), b.size(), off, 4));
}
inline int32_t le_i32(const Bytes &b, size_t off) {
    return static_cast<int32_t>(le_u32(b, off));
}
inline float le_f32(const Bytes &b, size_t off) {
    uint32_t bits = le_u32(b, off);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Writes n little-endian bytes of v at off; false (nothing written) when the
// field would not fit.
inline bool le_put(Bytes &b, size_t off, uint64_t v, size_t n) {
    if (off > b.size() || n > b.size() - off)
        return false;
    for (size_t i = 0; i < n; i++)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    return true;
}
inline bool put_u8(Bytes &b, size_t off, uint8_t v) {
    return le_put(b, off, v, 1);
}
inline bool put_u16(Bytes &b, size_t off, uint16_t v) {
    return le_put(b, off, v, 2);
}
inline bool put_u32(Bytes &b, size_t off, uint32_t v) {
    return le_put(b, off, v, 4);
}
inline bool put_i32(Bytes &b, size_t off, int32_t v) {
    return le_put(b, off, static_cast<uint32_t>(v), 4);
}
inline bool put_f32(Bytes &b, size_t off, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return le_put(b, off, bits, 4);
}
inline bool put_text(Bytes &b, size_t off, const std::string &s, size_t n) {
    if (off > b.size() || n > b.size() - off)
        return false;
    std::memset(b.data() + off, 0, n);
    std::memcpy(b.data() + off, s.data(), s.size() < n ? s.size() : n);
    return true;
}

} // namespace vo62sim

#endif
