// The instrument's records, laid out byte for byte as the instrument stores
// and sends them: the parameter record, the measurement record with its GPS
// fix and borehole block, the status record, the concentration table, and
// the sound files of voice notes.
#ifndef VO62SIM_RECORDS_H
#define VO62SIM_RECORDS_H

#include "le.h"

#include <cstdint>
#include <string>

namespace vo62sim {

constexpr size_t kParamsSize = 319;
constexpr size_t kMeasRecordSize = 4063;
constexpr size_t kStatusSize = 20;
constexpr size_t kConcLutSize = 116;
constexpr int kMaxSamples = 480;

// Offsets of the parameter fields the simulator itself uses.
namespace params {
constexpr size_t kAudioVol = 1;
constexpr size_t kCalib = 4;
constexpr size_t kCalibPin = 36;
constexpr size_t kGpsOn = 70;
constexpr size_t kGpsPin = 71;
constexpr size_t kMaxStoredMeas = 94;
constexpr size_t kUseConcLutCond = 98;
constexpr size_t kHostWriteFlag = 99;
constexpr size_t kUseConcLutSusc = 100;
constexpr size_t kDiameter = 101;
constexpr size_t kContrast = 102;
constexpr size_t kMeasMode = 103;
constexpr size_t kSuscUnits = 125;
constexpr size_t kCondUnits = 126;
constexpr size_t kCalib2 = 127;
constexpr size_t kCalib2Pin = 223;
} // namespace params

// A parameter record with plausible factory settings.
Bytes default_params();
// The number of log slots the record sets (its max_stored_meas, never
// below 0 or above 65536).
int params_slots(const Bytes &params);

// The record type and kind byte packed into a measurement record's flags.
constexpr uint32_t kTypeSingle = 1;
constexpr uint32_t kTypeSeries = 2;
constexpr uint32_t kKindBoreholeHeader = 1;
constexpr uint32_t kKindBoreholeCore = 2;
constexpr uint32_t kFlagSuscCgs = 1u << 26;
constexpr uint32_t kFlagCondOhmM = 1u << 27;

struct GpsFix {
    bool valid = false;
    bool north = true;
    bool east = true;
    int sats = 0;
    double lat = 0; // degrees, positive
    double lon = 0;
    int32_t alt = 0;
};

struct Borehole {
    int32_t id = 0;
    std::string desc;
    bool feet = false;
    float depth_from = 0, depth_to = 0, core_length = 0, depth_int = 0;
    int32_t cores_per_box = 0;
    int32_t core_num = 0;
    bool discrete = false;
    float core_depth = 0;
};

struct MeasRecord {
    int32_t rec_no = 0;
    int32_t group_no = 0;
    int year = 2024, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    uint32_t type = kTypeSingle;
    uint32_t curve_s = 0, curve_c = 0;
    uint32_t kind = 0; // the whole top byte of flags
    uint8_t pin = 0, error = 0, dia = 0;
    GpsFix gps;
    uint8_t meas_mode = 0;
    float susc = 0, cond = 0;
    int32_t counter = 0;
    int32_t num_samples = 0;
    std::vector<bool> marks; // one per sample
    std::vector<float> susc_samples, cond_samples;
    Borehole borehole;
};

// Packs a coordinate in degrees as whole degrees x 100 + minutes in bits
// 0-16 and ten-thousandths of a minute in bits 17-30.
uint32_t pack_coord(double degrees);
Bytes encode_meas(const MeasRecord &r);
// The fields the simulator reads back (rec_no, group_no, type, values).
MeasRecord decode_meas_basic(const Bytes &b);

struct Status {
    uint32_t error = 0;
    int32_t bat_voltage = 0;
    uint16_t bat_perc = 0, contrast = 0, bt_status = 0, gps_status = 0;
    uint32_t flash_size = 0;
};
Bytes encode_status(const Status &s);

// A concentration table: name and twelve (value, concentration) pairs, with
// the XOR checksum of the words after the checksum field.
Bytes make_conc_lut(const std::string &name, const float value[12],
                    const float conc[12]);

// A PCM WAV file (mono, 16 bit) holding a tone.
Bytes make_wav_tone(int sample_rate, double freq_hz, double seconds);

// Deterministic content of byte range [offset, offset + size) of the card
// image: each 512-byte sector starts with its number, the rest is a pattern
// derived from the position, so a misplaced piece shows in any comparison.
void card_image_bytes(uint64_t offset, uint8_t *out, size_t size);

} // namespace vo62sim

#endif
