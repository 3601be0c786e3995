#include "records.h"

#include <cmath>
#include <cstdio>

namespace vo62sim {

namespace {

void put_calib(Bytes &p, size_t o, float scale) {
    put_f32(p, o + 0, 1.000f * scale);  // nom_susc[0]
    put_f32(p, o + 4, 10.00f * scale);  // nom_susc[1]
    put_f32(p, o + 8, 100.0f * scale);  // nom_cond[0]
    put_f32(p, o + 12, 1000.f * scale); // nom_cond[1]
    put_f32(p, o + 16, 1.0125f);        // fs
    put_f32(p, o + 20, 0.9871f);        // fc
    put_f32(p, o + 24, 2.5033f);        // us
    put_f32(p, o + 28, 2.4987f);        // uc
}

void put_calib2(Bytes &p, size_t o, float skew) {
    put_f32(p, o + 0, 1.0021f + skew);
    put_f32(p, o + 4, 0.0153f);
    put_f32(p, o + 8, -0.00042f);
    put_f32(p, o + 12, 0.0000071f);
    put_f32(p, o + 16, 1.0f);
    put_f32(p, o + 20, 0.98f);
    put_f32(p, o + 24, 1.02f);
    put_f32(p, o + 28, 0.5f);
    const float nom[7] = {1.0f, 5.0f, 10.f, 50.f, 100.f, 500.f, 1000.f};
    for (int i = 0; i < 7; i++) {
        put_f32(p, o + 32 + 4 * static_cast<size_t>(i), nom[i]);
        put_f32(p, o + 64 + 4 * static_cast<size_t>(i),
                nom[i] * (1.0f + 0.013f * static_cast<float>(i - 3)));
    }
}

} // namespace

Bytes default_params() {
    using namespace params;
    Bytes p(kParamsSize, 0);
    put_u8(p, 0, 0);         // use_lp
    put_u8(p, kAudioVol, 1); // audio_vol
    put_u8(p, 2, 1);         // demag_corr
    put_u8(p, 3, 0);         // calib_mode
    put_calib(p, kCalib, 1.0f);
    put_calib(p, kCalibPin, 0.5f);
    put_u8(p, 68, 1); // pc_auth
    put_u8(p, 69, 0); // gps_pin_enable
    put_u8(p, kGpsOn, 1);
    put_text(p, kGpsPin, "0000", 8);
    put_u8(p, 79, 1);       // gps_paired
    put_u16(p, 80, 0x1101); // gps_uuid (serial port profile)
    const uint8_t addr[6] = {0x00, 0x1B, 0xDC, 0x0F, 0x62, 0x3A};
    for (size_t i = 0; i < 6; i++)
        put_u8(p, 82 + i, addr[i]);
    put_u16(p, 89, 120); // sd_timeout
    put_u8(p, 91, 1);    // replay_note
    put_u8(p, 92, 0);    // save_error_meas
    put_u8(p, 93, 0);    // battery_type
    put_i32(p, kMaxStoredMeas, 100);
    put_u8(p, kUseConcLutCond, 0);
    put_u8(p, kHostWriteFlag, 0);
    put_u8(p, kUseConcLutSusc, 0);
    put_u8(p, kDiameter, 5);
    put_u8(p, kContrast, 55);
    put_u8(p, kMeasMode, 0);
    put_i32(p, 105, 115200); // bt_baud_rate
    put_i32(p, 109, 0);      // bh_units
    put_i32(p, 113, 0);      // bh_mode
    put_i32(p, 117, 2);      // cond_corr
    put_i32(p, 121, 0);      // adv_mode
    put_u8(p, kSuscUnits, 0);
    put_u8(p, kCondUnits, 0);
    put_calib2(p, kCalib2, 0.0f);
    put_calib2(p, kCalib2Pin, 0.0005f);
    return p;
}

int params_slots(const Bytes &params) {
    int32_t n = le_i32(params, params::kMaxStoredMeas);
    if (n < 0)
        return 0;
    return n > 65536 ? 65536 : n;
}

uint32_t pack_coord(double degrees) {
    if (degrees < 0)
        degrees = -degrees;
    int whole = static_cast<int>(degrees);
    double minutes = (degrees - whole) * 60.0;
    int min_whole = static_cast<int>(minutes);
    int frac = static_cast<int>(std::lround((minutes - min_whole) * 10000.0));
    if (frac > 9999) {
        frac = 0;
        min_whole++;
    }
    if (min_whole >= 60) {
        min_whole -= 60;
        whole++;
    }
    uint32_t v = static_cast<uint32_t>(whole * 100 + min_whole) & 0x1FFFF;
    return v | (static_cast<uint32_t>(frac & 0x3FFF) << 17);
}

Bytes encode_meas(const MeasRecord &r) {
    Bytes b(kMeasRecordSize, 0);
    put_u32(b, 0, 0x3E62A001u); // record signature, not read by the console
    put_i32(b, 4, r.rec_no);
    put_i32(b, 8, r.group_no);
    put_u16(b, 12, static_cast<uint16_t>(r.year));
    put_u8(b, 14, static_cast<uint8_t>(r.month));
    put_u8(b, 15, static_cast<uint8_t>(r.day));
    put_u8(b, 16, static_cast<uint8_t>(r.hour));
    put_u8(b, 17, static_cast<uint8_t>(r.minute));
    put_u8(b, 18, static_cast<uint8_t>(r.second));
    uint32_t flags = (r.type & 3u) | ((r.curve_s & 0xFFu) << 8) |
                     ((r.curve_c & 0xFFu) << 16) | ((r.kind & 0xFFu) << 24);
    put_u32(b, 19, flags);
    put_u8(b, 23, r.pin);
    put_u8(b, 24, r.error);
    put_u8(b, 25, r.dia);
    uint32_t gflags = static_cast<uint32_t>(r.gps.sats & 0x1F) << 11;
    if (r.gps.north)
        gflags |= 1u << 7;
    if (r.gps.east)
        gflags |= 1u << 8;
    if (r.gps.valid)
        gflags |= 1u << 9;
    put_u32(b, 26, gflags);
    put_u32(b, 30, pack_coord(r.gps.lat));
    put_u32(b, 34, pack_coord(r.gps.lon));
    put_i32(b, 38, r.gps.alt);
    put_u8(b, 42, r.meas_mode);
    put_f32(b, 43, r.susc);
    put_f32(b, 47, r.cond);
    put_i32(b, 87, r.counter);
    put_i32(b, 91, r.num_samples);
    for (size_t i = 0; i < r.marks.size() && i < kMaxSamples; i++)
        if (r.marks[i])
            b[95 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    for (size_t i = 0; i < r.susc_samples.size() && i < kMaxSamples; i++)
        put_f32(b, 155 + 4 * i, r.susc_samples[i]);
    for (size_t i = 0; i < r.cond_samples.size() && i < kMaxSamples; i++)
        put_f32(b, 2075 + 4 * i, r.cond_samples[i]);
    const size_t bh = 3995;
    put_i32(b, bh + 0, r.borehole.id);
    put_text(b, bh + 4, r.borehole.desc, 16);
    put_u8(b, bh + 20, r.borehole.feet ? 1 : 0);
    put_f32(b, bh + 24, r.borehole.depth_from);
    put_f32(b, bh + 28, r.borehole.depth_to);
    put_f32(b, bh + 32, r.borehole.core_length);
    put_f32(b, bh + 36, r.borehole.depth_int);
    put_i32(b, bh + 40, r.borehole.cores_per_box);
    put_i32(b, bh + 52, r.borehole.core_num);
    put_u32(b, bh + 60, r.borehole.discrete ? 1 : 0);
    put_f32(b, bh + 64, r.borehole.core_depth);
    return b;
}

MeasRecord decode_meas_basic(const Bytes &b) {
    MeasRecord r;
    r.rec_no = le_i32(b, 4);
    r.group_no = le_i32(b, 8);
    uint32_t flags = le_u32(b, 19);
    r.type = flags & 3u;
    r.curve_s = (flags >> 8) & 0xFF;
    r.curve_c = (flags >> 16) & 0xFF;
    r.kind = flags >> 24;
    r.susc = le_f32(b, 43);
    r.cond = le_f32(b, 47);
    r.counter = le_i32(b, 87);
    r.num_samples = le_i32(b, 91);
    return r;
}

Bytes encode_status(const Status &s) {
    Bytes b(kStatusSize, 0);
    put_u32(b, 0, s.error);
    put_i32(b, 4, s.bat_voltage);
    put_u16(b, 8, s.bat_perc);
    put_u16(b, 10, s.contrast);
    put_u16(b, 12, s.bt_status);
    put_u16(b, 14, s.gps_status);
    put_u32(b, 16, s.flash_size);
    return b;
}

Bytes make_conc_lut(const std::string &name, const float value[12],
                    const float conc[12]) {
    Bytes b(kConcLutSize, 0);
    put_text(b, 4, name.substr(0, 11), 12);
    put_u32(b, 16, 12);
    for (size_t i = 0; i < 12; i++) {
        put_f32(b, 20 + 4 * i, value[i]);
        put_f32(b, 68 + 4 * i, conc[i]);
    }
    uint32_t sum = 0;
    for (size_t o = 4; o < kConcLutSize; o += 4)
        sum ^= le_u32(b, o);
    put_u32(b, 0, sum);
    return b;
}

Bytes make_wav_tone(int sample_rate, double freq_hz, double seconds) {
    size_t n = static_cast<size_t>(sample_rate * seconds);
    size_t data = n * 2;
    Bytes b(44 + data, 0);
    put_text(b, 0, "RIFF", 4);
    put_u32(b, 4, static_cast<uint32_t>(36 + data));
    put_text(b, 8, "WAVE", 4);
    put_text(b, 12, "fmt ", 4);
    put_u32(b, 16, 16);
    put_u16(b, 20, 1); // PCM
    put_u16(b, 22, 1); // mono
    put_u32(b, 24, static_cast<uint32_t>(sample_rate));
    put_u32(b, 28, static_cast<uint32_t>(sample_rate * 2));
    put_u16(b, 32, 2);
    put_u16(b, 34, 16);
    put_text(b, 36, "data", 4);
    put_u32(b, 40, static_cast<uint32_t>(data));
    const double fade = 0.02 * sample_rate;
    for (size_t i = 0; i < n; i++) {
        double env = 1.0;
        if (static_cast<double>(i) < fade)
            env = static_cast<double>(i) / fade;
        else if (static_cast<double>(n - i) < fade)
            env = static_cast<double>(n - i) / fade;
        double v = 9000.0 * env *
                   std::sin(2.0 * M_PI * freq_hz * static_cast<double>(i) /
                            sample_rate);
        put_u16(b, 44 + 2 * i,
                static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))));
    }
    return b;
}

void card_image_bytes(uint64_t offset, uint8_t *out, size_t size) {
    for (size_t i = 0; i < size; i++) {
        uint64_t pos = offset + i;
        uint64_t sector = pos / 512;
        size_t in = static_cast<size_t>(pos % 512);
        uint8_t v;
        if (in < 8) {
            v = static_cast<uint8_t>(sector >> (8 * in));
        } else {
            uint64_t x = pos * 0x9E3779B97F4A7C15ull;
            v = static_cast<uint8_t>((x >> 56) ^ (x >> 24));
        }
        out[i] = v;
    }
}

} // namespace vo62sim
