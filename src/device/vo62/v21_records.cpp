// The measurement record decoded from the bytes of a record file, and the
// text forms of GPS positions and raw samples.
#include "v21_records.h"

#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "ops.h"
#include "wire.h"

namespace {

void decode_borehole(const WireReader &r, size_t base, borehole_block *b) {
    b->bh_id = r.i32(base + 0);
    r.bytes(base + 4, b->desc, 16);
    b->desc[16] = 0;
    b->units_ft = r.u8(base + 20);
    b->depth_from = r.f32(base + 24);
    b->depth_to = r.f32(base + 28);
    b->core_length = r.f32(base + 32);
    b->depth_int = r.f32(base + 36);
    b->cores_per_box = r.i32(base + 40);
    b->core_num = r.i32(base + 52);
    b->discrete = r.u32(base + 60);
    b->core_depth = r.f32(base + 64);
}

void read_gps(const WireReader &r, size_t base, gps_fix *fix) {
    fix->flags = r.u32(base + 0);
    fix->lat = r.u32(base + 4);
    fix->lon = r.u32(base + 8);
    fix->alt = r.i32(base + 12);
}

// Degrees of a packed coordinate: degrees*100 + minutes in bits 0-16, the
// minute's fraction in ten-thousandths in bits 17-30.
double packed_degrees(uint32_t v) {
    uint32_t dm = v & 0x1FFFF;
    double whole = dm / 100;
    double minutes = dm % 100;
    double fraction = (v >> 17) & 0x3FFF;
    return whole + ((minutes / 100 + fraction / 1000000) / 60) * 100;
}

bool fix_valid(const gps_fix *f) {
    return f && (f->flags & (1u << 9));
}

void fix_degrees(const gps_fix &f, double *lat, double *lon) {
    *lat = packed_degrees(f.lat);
    *lon = packed_degrees(f.lon);
    if (!(f.flags & (1u << 7)))
        *lat = -*lat;
    if (!(f.flags & (1u << 8)))
        *lon = -*lon;
}

} // namespace

bool decode_meas_record(const unsigned char *buf, size_t size,
                        meas_record *rec) {
    WireReader r(buf, size);
    memset(rec, 0, sizeof *rec);
    rec->rec_no = r.i32(4);
    rec->group_no = r.i32(8);
    rec->year = r.u16(12);
    rec->month = r.u8(14);
    rec->day = r.u8(15);
    rec->hour = r.u8(16);
    rec->minute = r.u8(17);
    rec->second = r.u8(18);
    rec->flags = r.u32(19);
    rec->pin = r.u8(23);
    rec->error = r.u8(24);
    rec->dia = r.u8(25);
    read_gps(r, 26, &rec->gps);
    rec->meas_mode = r.u8(42);
    rec->susc = r.f32(43);
    rec->cond = r.f32(47);
    rec->counter = r.i32(87);
    rec->num_samples = r.i32(91);
    r.bytes(95, rec->marks, MEAS_MARKS_SIZE);
    for (int i = 0; i < MEAS_MAX_SAMPLES; i++) {
        rec->susc_samples[i] = r.f32(155 + 4 * static_cast<size_t>(i));
        rec->cond_samples[i] = r.f32(2075 + 4 * static_cast<size_t>(i));
    }
    decode_borehole(r, 3995, &rec->borehole);
    return r.ok();
}

bool gps_degrees(const gps_fix &f, double *lat, double *lon) {
    if (!fix_valid(&f))
        return false;
    fix_degrees(f, lat, lon);
    return true;
}

void decode_gps_fix(const unsigned char *buf, gps_fix *fix) {
    read_gps(WireReader(buf, 16), 0, fix);
}

const char *record_type_name(const meas_record &r) {
    switch (record_type(r)) {
    case MEAS_TYPE_SINGLE:
        return "single";
    case MEAS_TYPE_SERIES:
        return "series";
    default:
        return record_kind(r) == KIND_BOREHOLE_HEADER ? "borehole header"
                                                      : "unknown";
    }
}

const char *susc_unit(const meas_record &r) {
    if (record_curve_s(r))
        return "%";
    return (r.flags & (1u << 26)) ? "CGS" : "SI";
}

const char *cond_unit(const meas_record &r) {
    if (record_curve_c(r))
        return "%";
    return (r.flags & (1u << 27)) ? "Ohm.m" : "S/m";
}

int record_sample_count(const meas_record &r) {
    if (r.num_samples < 0)
        return 0;
    return r.num_samples > MEAS_MAX_SAMPLES ? MEAS_MAX_SAMPLES : r.num_samples;
}

bool sample_marked(const meas_record &r, int i) {
    return (r.marks[i / 8] >> (i % 8)) & 1;
}

const char *borehole_unit(const meas_record &r) {
    return r.borehole.units_ft ? "ft" : "m";
}

void format_gpx_coords(const gps_fix *first, const gps_fix *second, double num,
                       double den, const char *format, char *out,
                       size_t out_size) {
    double lat = 0, lon = 0;
    bool v1 = fix_valid(first), v2 = fix_valid(second);
    if (v1 && v2) {
        double lat1, lon1, lat2, lon2;
        fix_degrees(*first, &lat1, &lon1);
        fix_degrees(*second, &lat2, &lon2);
        lat = lat1 + (lat2 - lat1) * num / den;
        lon = lon1 + (lon2 - lon1) * num / den;
    } else if (v1) {
        fix_degrees(*first, &lat, &lon);
    } else if (v2) {
        fix_degrees(*second, &lat, &lon);
    }
    snprintf(out, out_size, format, lat, lon);
}

void write_gps_coords(const gps_fix *fix) {
    char text[96];
    format_gpx_coords(nullptr, fix, 0, 1, "lat=%13.8f lon=%13.8f", text,
                      sizeof text);
    op_text("%s alt=%.3d num_sat=%.2d\n", text, fix->alt, gps_satellites(*fix));
}

void write_gps_coords_file(FILE *file, const gps_fix *fix) {
    if (!file)
        return;
    char text[96];
    format_gpx_coords(nullptr, fix, 0, 1, "%13.8f %13.8f", text, sizeof text);
    fprintf(file, "%s %.3d %.2d     ", text, fix->alt, gps_satellites(*fix));
}

int save_meas(const char *path, const meas_record *rec) {
    FilePtr file = open_file(path, "w");
    if (!file) {
        report_write_error(path);
        return -1;
    }
    fprintf(file.get(), "%d\n", rec->counter);
    fprintf(file.get(), "%d\n", rec->num_samples);
    for (int i = 0; i < MEAS_MAX_SAMPLES; i++)
        fprintf(file.get(), "%6.3f %6.1f\n",
                static_cast<double>(rec->susc_samples[i]),
                static_cast<double>(rec->cond_samples[i]));
    return close_written(file, path) ? 0 : -1;
}
