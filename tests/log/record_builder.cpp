#include "record_builder.h"

#include <cstring>

#include "wire.h"

std::vector<unsigned char> RecordSpec::bytes() const {
    std::vector<unsigned char> b(4063);
    WireWriter w(b.data(), b.size());
    w.u32(0, 0xA5A5A5A5); // not interpreted
    w.i32(4, rec_no);
    w.i32(8, group_no);
    w.u16(12, year);
    w.u8(14, month);
    w.u8(15, day);
    w.u8(16, hour);
    w.u8(17, minute);
    w.u8(18, second);
    w.u32(19, uint32_t(type) | uint32_t(curve_s) << 8 |
                  uint32_t(curve_c) << 16 | uint32_t(kind) << 24);
    w.u8(23, pin);
    w.u8(24, error);
    w.u8(25, dia);
    w.u32(26, gps_flags);
    w.u32(30, lat);
    w.u32(34, lon);
    w.i32(38, alt);
    w.u8(42, meas_mode);
    w.f32(43, susc);
    w.f32(47, cond);
    w.i32(87, counter);
    w.i32(91, num_samples);
    for (int i : marked)
        b[95 + size_t(i) / 8] |= uint8_t(1u << (i % 8));
    for (int i = 0; i < 480; i++) {
        w.f32(155 + 4 * size_t(i), float(i) * sample_step);
        w.f32(2075 + 4 * size_t(i), 100.0f - float(i) * sample_step * 10);
    }
    const size_t bh = 3995;
    w.i32(bh, bh_id);
    w.bytes(bh + 4, desc, strnlen(desc, 16));
    w.u8(bh + 20, units_ft);
    w.f32(bh + 24, depth_from);
    w.f32(bh + 28, depth_to);
    w.f32(bh + 32, core_length);
    w.f32(bh + 36, depth_int);
    w.i32(bh + 40, cores_per_box);
    w.i32(bh + 52, core_num);
    w.u32(bh + 60, discrete);
    w.f32(bh + 64, core_depth);
    return b;
}

meas_record RecordSpec::decoded() const {
    auto b = bytes();
    meas_record r;
    decode_meas_record(b.data(), b.size(), &r);
    return r;
}
