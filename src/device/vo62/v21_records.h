// The instrument's measurement record with its GPS fix and borehole block,
// decoded from the 4,063 bytes of a record file, and the text forms of GPS
// positions and raw samples.
#ifndef V21_RECORDS_H
#define V21_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Bytes of a record file.
constexpr int MEAS_RECORD_SIZE = 4063;
constexpr int MEAS_MAX_SAMPLES = 480;
constexpr int MEAS_MARKS_SIZE = 60;

// Record types (flags bits 0-1) that have a layout of their own.
constexpr int MEAS_TYPE_SINGLE = 1;
constexpr int MEAS_TYPE_SERIES = 2;

// Kind byte (flags bits 24-31) values that the console tells apart.
constexpr int KIND_BOREHOLE_HEADER = 1;
constexpr int KIND_BOREHOLE_CORE = 2;

// One slot of the log's entry table (5 bytes on the wire: the key, then the
// flags).
struct log_entry {
    uint32_t sort_key; // 0: empty; otherwise records download by ascending key
    uint8_t flags;     // bit 0: voice note, bit 1: auxiliary data
};
// Slots the entry table holds at most; a larger slot count is cut to it.
constexpr int MEAS_LOG_MAX_SLOTS = 65536;

struct gps_fix {
    uint32_t flags; // bit 7 north, bit 8 east, bit 9 valid, bits 11-15 sats
    uint32_t lat;   // packed: bits 0-16 degrees*100+minutes, 17-30 fraction
    uint32_t lon;
    int32_t alt;
};

struct borehole_block {
    int32_t bh_id;
    char desc[17]; // at most 16 characters, always terminated here
    uint8_t units_ft;
    float depth_from;
    float depth_to;
    float core_length;
    float depth_int;
    int32_t cores_per_box;
    int32_t core_num;
    uint32_t discrete;
    float core_depth;
};

struct meas_record {
    int32_t rec_no;
    int32_t group_no;
    uint16_t year;
    uint8_t month, day, hour, minute, second;
    uint32_t flags;
    uint8_t pin, error, dia;
    gps_fix gps;
    uint8_t meas_mode;
    float susc;
    float cond;
    int32_t counter;
    int32_t num_samples; // as stored; see record_sample_count()
    uint8_t marks[MEAS_MARKS_SIZE];
    float susc_samples[MEAS_MAX_SAMPLES];
    float cond_samples[MEAS_MAX_SAMPLES];
    borehole_block borehole;
};

// Decodes a record from buf, which holds size bytes (a record file has
// 4,063); fields beyond size read as 0. Answers false when buf was short.
bool decode_meas_record(const unsigned char *buf, size_t size,
                        meas_record *rec);
// Decodes a GPS fix from its 16 bytes.
void decode_gps_fix(const unsigned char *buf, gps_fix *fix);

inline int record_type(const meas_record &r) {
    return r.flags & 3;
}
inline int record_curve_s(const meas_record &r) {
    return (r.flags >> 8) & 0xFF;
}
inline int record_curve_c(const meas_record &r) {
    return (r.flags >> 16) & 0xFF;
}
inline int record_kind(const meas_record &r) {
    return (r.flags >> 24) & 0xFF;
}
// "single", "series", "borehole header" or "unknown", as the command line
// names a record's type.
const char *record_type_name(const meas_record &r);
// Susceptibility unit: "%", "CGS" or "SI"; conductivity: "%", "Ohm.m", "S/m".
const char *susc_unit(const meas_record &r);
const char *cond_unit(const meas_record &r);
// Samples to show: num_samples limited to 0..480.
int record_sample_count(const meas_record &r);
bool sample_marked(const meas_record &r, int i);
// "ft" or "m" by the borehole block's unit.
const char *borehole_unit(const meas_record &r);

inline int gps_satellites(const gps_fix &f) {
    return (f.flags >> 11) & 0x1F;
}
// Whether the fix is valid (flag bit 9); if so, its latitude and longitude
// in degrees, negative south and west.
bool gps_degrees(const gps_fix &f, double *lat, double *lon);

// Formats latitude and longitude (two doubles, in this order) with format
// into out: between the valid ones of first and second at num/den, the one
// valid fix, or 0 and 0. Either fix may be null.
void format_gpx_coords(const gps_fix *first, const gps_fix *second, double num,
                       double den, const char *format, char *out,
                       size_t out_size);
// The console GPS line.
void write_gps_coords(const gps_fix *fix);
// The GPS text of the summary file; nothing without a file.
void write_gps_coords_file(FILE *file, const gps_fix *fix);
// Writes the raw-sample text file of a record. Answers 0, or -1 after
// "Error writing file:%s!" when it cannot be created or written.
int save_meas(const char *path, const meas_record *rec);

#endif
