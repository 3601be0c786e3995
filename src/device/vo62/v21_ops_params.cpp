// The parameter record: its listing (the lines "get params" prints and saves
// as a text file), the fields "set params" edits with their ranges, and
// reading and writing the record. Fields are read and written at their
// offsets in the 319-byte record.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cmd_util.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

// Offsets of the fields in the parameter record.
constexpr size_t P_USE_LP = 0, P_AUDIO_VOL = 1, P_DEMAG_CORR = 2,
                 P_CALIB_MODE = 3, P_CALIB = 4, P_CALIB_PIN = 36,
                 P_PC_AUTH = 68, P_GPS_PIN_ENABLE = 69, P_GPS_ON = 70,
                 P_GPS_PIN = 71, P_GPS_PAIRED = 79, P_GPS_UUID = 80,
                 P_GPS_ADDR = 82, P_SD_TIMEOUT = 89, P_REPLAY_NOTE = 91,
                 P_SAVE_ERROR_MEAS = 92, P_BATTERY_TYPE = 93,
                 P_MAX_STORED_MEAS = 94, P_USE_CONC_LUT_COND = 98,
                 P_HOST_WRITE_FLAG = 99, P_USE_CONC_LUT_SUSC = 100,
                 P_DIAMETER = 101, P_CONTRAST = 102, P_MEAS_MODE = 103,
                 P_BT_BAUD_RATE = 105, P_BH_UNITS = 109, P_BH_MODE = 113,
                 P_COND_CORR = 117, P_ADV_MODE = 121, P_SUSC_UNITS = 125,
                 P_COND_UNITS = 126, P_CALIB2 = 127, P_CALIB2_PIN = 223;
constexpr size_t GPS_PIN_SIZE = 8;
constexpr int GPS_ADDR_SIZE = 6;
constexpr int COND_POINTS = 7; // cond_nom and cond_meas values shown

// Offsets inside a calibration block, in the order they are listed and
// asked: nom_susc[0], nom_cond[0], nom_susc[1], nom_cond[1], fs, us, fc, uc.
struct BlockField {
    const char *name;
    size_t offset;
};
constexpr BlockField CALIB_FIELDS[] = {
    {"nom_susc[0]", 0},  {"nom_cond[0]", 8}, {"nom_susc[1]", 4},
    {"nom_cond[1]", 12}, {"fs", 16},         {"us", 24},
    {"fc", 20},          {"uc", 28},
};
// The first eight floats of the second calibration block.
constexpr BlockField CALIB2_FIELDS[] = {
    {"a", 0},      {"b", 4},      {"c", 8},      {"d", 12},
    {"exp_a", 16}, {"exp_b", 20}, {"exp_c", 24}, {"exp_d", 28},
};
constexpr size_t CALIB2_COND_NOM = 32, CALIB2_COND_MEAS = 64;

// Label widths of the listing: the label is padded to this many characters
// and followed by "= ".
constexpr int WIDTH_MAIN = 25, WIDTH_CALIB = 27, WIDTH_PIN = 31;

enum class Kind { U8, U16, I32, F32, HEX_U8, HEX_U16, TEXT };

struct Line {
    std::string label;
    int width;
    Kind kind;
    size_t offset;
    const char *conv; // printf conversion of the value (floats)
    bool extended;
};

void add(std::string &out, const char *format, ...) COMM_PRINTF(2, 3);
void add(std::string &out, const char *format, ...) {
    char buf[128];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    out += buf;
}

// Formats one listing line of the record.
std::string format_line(const Line &l, const WireReader &r) {
    std::string s;
    add(s, "%-*s= ", l.width, l.label.c_str());
    switch (l.kind) {
    case Kind::U8:
        add(s, "%d", r.u8(l.offset));
        break;
    case Kind::U16:
        add(s, "%d", r.u16(l.offset));
        break;
    case Kind::I32:
        add(s, "%d", r.i32(l.offset));
        break;
    case Kind::F32: {
        // Room for any float in %f form (up to 39 digits before the point).
        char buf[64];
        snprintf(buf, sizeof buf, l.conv, double(r.f32(l.offset)));
        s += buf;
        break;
    }
    case Kind::HEX_U8:
        add(s, "0x%.2X", r.u8(l.offset));
        break;
    case Kind::HEX_U16:
        add(s, "0x%.2x", r.u16(l.offset));
        break;
    case Kind::TEXT: {
        // Up to the first zero byte, never beyond the field.
        char text[GPS_PIN_SIZE + 1] = {};
        r.bytes(l.offset, text, GPS_PIN_SIZE);
        add(s, "'%s'", text);
        break;
    }
    }
    s += '\n';
    return s;
}

// The rows of a calibration pair (a calib_block and its calib2_block).
void add_calib_lines(std::vector<Line> &lines, const char *name,
                     const char *name2, size_t block, size_t block2, int width,
                     const char *conv2) {
    std::string p = std::string("Params.") + name + ".";
    std::string p2 = std::string("Params.") + name2 + ".";
    for (const BlockField &f : CALIB_FIELDS)
        lines.push_back(
            {p + f.name, width, Kind::F32, block + f.offset, "%.2f", true});
    for (const BlockField &f : CALIB2_FIELDS)
        lines.push_back(
            {p2 + f.name, width, Kind::F32, block2 + f.offset, conv2, true});
    for (int i = 0; i < COND_POINTS; i++)
        lines.push_back({p2 + "cond_nom[" + std::to_string(i) + "]", width,
                         Kind::F32, block2 + CALIB2_COND_NOM + 4 * size_t(i),
                         "%.7f", true});
    for (int i = 0; i < COND_POINTS; i++)
        lines.push_back({p2 + "cond_meas[" + std::to_string(i) + "]", width,
                         Kind::F32, block2 + CALIB2_COND_MEAS + 4 * size_t(i),
                         "%.7f", true});
}

// The listing, in its order: 19 basic rows and 74 extended ones.
std::vector<Line> listing() {
    std::vector<Line> l;
    auto row = [&](const char *name, Kind kind, size_t offset, bool ext,
                   int width = WIDTH_MAIN) {
        l.push_back(
            {std::string("Params.") + name, width, kind, offset, nullptr, ext});
    };
    row("audio_vol", Kind::U8, P_AUDIO_VOL, false);
    row("contrast", Kind::U8, P_CONTRAST, false);
    row("calib_mode", Kind::U8, P_CALIB_MODE, false);
    row("meas_mode", Kind::U8, P_MEAS_MODE, false);
    row("pc_auth", Kind::U8, P_PC_AUTH, false);
    row("gps_on", Kind::U8, P_GPS_ON, false);
    row("gps_paired", Kind::U8, P_GPS_PAIRED, false);
    row("gps_pin_enable", Kind::U8, P_GPS_PIN_ENABLE, false);
    row("gps_pin", Kind::TEXT, P_GPS_PIN, false);
    row("battery_type", Kind::U8, P_BATTERY_TYPE, false);
    row("replay_note", Kind::U8, P_REPLAY_NOTE, false);
    row("use_lp", Kind::U8, P_USE_LP, true);
    row("sd_timeout", Kind::U16, P_SD_TIMEOUT, true);
    row("save_error_meas", Kind::U8, P_SAVE_ERROR_MEAS, true);
    row("demag_corr", Kind::U8, P_DEMAG_CORR, true);
    row("cond_corr", Kind::I32, P_COND_CORR, true);
    row("max_stored_meas", Kind::I32, P_MAX_STORED_MEAS, true);
    for (int i = 0; i < GPS_ADDR_SIZE; i++) {
        std::string name = "gps_addr[" + std::to_string(i) + "]";
        row(name.c_str(), Kind::HEX_U8, P_GPS_ADDR + size_t(i), true);
    }
    row("gps_uuid", Kind::HEX_U16, P_GPS_UUID, true);
    row("bt_baud_rate", Kind::I32, P_BT_BAUD_RATE, true);
    add_calib_lines(l, "calib", "calib2", P_CALIB, P_CALIB2, WIDTH_CALIB, "%f");
    add_calib_lines(l, "calib_pin", "calib2_pin", P_CALIB_PIN, P_CALIB2_PIN,
                    WIDTH_PIN, "%.7f");
    row("use_conc_lut_susc", Kind::U8, P_USE_CONC_LUT_SUSC, false, WIDTH_CALIB);
    row("use_conc_lut_cond", Kind::U8, P_USE_CONC_LUT_COND, false, WIDTH_CALIB);
    row("diameter", Kind::U8, P_DIAMETER, false, WIDTH_CALIB);
    row("bh_mode", Kind::I32, P_BH_MODE, false, WIDTH_CALIB);
    row("bh_units", Kind::I32, P_BH_UNITS, false, WIDTH_CALIB);
    row("adv_mode", Kind::I32, P_ADV_MODE, false, WIDTH_CALIB);
    row("susc_units", Kind::U8, P_SUSC_UNITS, false, WIDTH_CALIB);
    row("cond_units", Kind::U8, P_COND_UNITS, false, WIDTH_CALIB);
    return l;
}

// The fields "set params" asks, in its order; the floats of a calibration
// pair are asked under the first block's name and listed under each
// block's own.
std::vector<V21_param_field> make_fields() {
    std::vector<V21_param_field> f;
    auto num = [&](const char *name, V21_param_kind kind, size_t off, int lo,
                   int hi, bool ext) {
        const std::string n = std::string("Params.") + name;
        f.push_back({n, n, kind, off, lo, hi, ext});
    };
    auto calib = [&](const char *name, const char *name2, size_t block,
                     size_t block2) {
        const std::string p = std::string("Params.") + name + ".";
        const std::string p2 = std::string("Params.") + name2 + ".";
        auto real = [&](const std::string &field, const std::string &listed,
                        size_t off) {
            f.push_back(
                {listed, p + field, V21_param_kind::f32, off, 0, 0, true});
        };
        for (const BlockField &b : CALIB_FIELDS)
            real(b.name, p + b.name, block + b.offset);
        for (const BlockField &b : CALIB2_FIELDS)
            real(b.name, p2 + b.name, block2 + b.offset);
        for (int i = 0; i < COND_POINTS; i++) {
            const std::string n = "cond_nom[" + std::to_string(i) + "]";
            real(n, p2 + n, block2 + CALIB2_COND_NOM + 4 * size_t(i));
        }
        for (int i = 0; i < COND_POINTS; i++) {
            const std::string n = "cond_meas[" + std::to_string(i) + "]";
            real(n, p2 + n, block2 + CALIB2_COND_MEAS + 4 * size_t(i));
        }
    };
    using K = V21_param_kind;
    num("audio_vol", K::u8, P_AUDIO_VOL, 0, 2, false);
    num("contrast", K::u8, P_CONTRAST, 0, 100, false);
    num("meas_mode", K::u8, P_MEAS_MODE, 0, 4, false);
    num("battery_type", K::u8, P_BATTERY_TYPE, 0, 1, false);
    num("replay_note", K::u8, P_REPLAY_NOTE, 0, 1, false);
    num("use_conc_lut_susc", K::u8, P_USE_CONC_LUT_SUSC, 0, 5, false);
    num("use_conc_lut_cond", K::u8, P_USE_CONC_LUT_COND, 0, 5, false);
    num("diameter", K::u8, P_DIAMETER, 0, 12, false);
    num("bh_mode", K::i32, P_BH_MODE, 0, 1, false);
    num("bh_units", K::i32, P_BH_UNITS, 0, 1, false);
    num("adv_mode", K::i32, P_ADV_MODE, 0, 1, false);
    num("susc_units", K::u8, P_SUSC_UNITS, 0, 1, false);
    num("cond_units", K::u8, P_COND_UNITS, 0, 1, false);
    num("max_stored_meas", K::i32, P_MAX_STORED_MEAS, 0, 65535, true);
    calib("calib", "calib2", P_CALIB, P_CALIB2);
    calib("calib_pin", "calib2_pin", P_CALIB_PIN, P_CALIB2_PIN);
    num("use_lp", K::u8, P_USE_LP, 0, 2, true);
    num("sd_timeout", K::u16, P_SD_TIMEOUT, 0, 1000, true);
    num("demag_corr", K::u8, P_DEMAG_CORR, 0, 1, true);
    num("cond_corr", K::i32, P_COND_CORR, 0, 10, true);
    num("save_error_meas", K::u8, P_SAVE_ERROR_MEAS, 0, 1, true);
    num("pc_auth", K::u8, P_PC_AUTH, 0, 1, true);
    num("bt_baud_rate", K::i32, P_BT_BAUD_RATE, 0, 921600, true);
    return f;
}

} // namespace

const std::vector<V21_param_field> &V21_param_fields() {
    static const std::vector<V21_param_field> fields = make_fields();
    return fields;
}

const V21_param_field *V21_find_param(const std::string &name) {
    const std::string full =
        name.rfind("Params.", 0) == 0 ? name : "Params." + name;
    for (const V21_param_field &f : V21_param_fields())
        if (f.name == full)
            return &f;
    return nullptr;
}

bool V21_parse_param(const V21_param_field &f, const std::string &text,
                     V21_param_value *value, std::string *why) {
    value->field = &f;
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    if (f.kind == V21_param_kind::f32) {
        const float v = strtof(s, &end);
        // Any number the editor takes: NaN is no number.
        if (text.empty() || *end != 0 || v != v) {
            *why = "not a number";
            return false;
        }
        value->real = v;
        return true;
    }
    const long long v = strtoll(s, &end, 10);
    if (text.empty() || *end != 0 || errno == ERANGE) {
        *why = "not a whole number";
        return false;
    }
    if (v < f.low || v > f.high) {
        *why = "out of range " + std::to_string(f.low) + " to " +
               std::to_string(f.high);
        return false;
    }
    value->integer = v;
    return true;
}

void V21_apply_param(unsigned char *rec, const V21_param_value &v) {
    WireWriter w(rec, V21_PARAMS_SIZE);
    const size_t off = v.field->offset;
    switch (v.field->kind) {
    case V21_param_kind::u8:
        w.u8(off, uint8_t(v.integer));
        break;
    case V21_param_kind::u16:
        w.u16(off, uint16_t(v.integer));
        break;
    case V21_param_kind::i32:
        w.i32(off, int32_t(v.integer));
        break;
    case V21_param_kind::f32:
        w.f32(off, v.real);
        break;
    }
}

std::vector<V21_param_text> V21_params_listing(const unsigned char *rec,
                                               size_t size) {
    WireReader r(rec, size);
    std::vector<V21_param_text> out;
    for (const Line &l : listing()) {
        std::string text = format_line(l, r);
        const size_t eq = text.find("= ");
        std::string value = text.substr(eq + 2);
        value.pop_back(); // the line end
        out.push_back({l.label, value, l.extended});
    }
    return out;
}

int V21_op_get_params(unsigned char *buf, const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = read_params_record(buf);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int V21_op_set_params(unsigned char *buf) {
    if (!require_connected())
        return OP_NO_DEVICE;
    buf[P_HOST_WRITE_FLAG] = 1;
    const int rc = V21_Set_Params(id_conn, buf, 1);
    if (rc != 0)
        return op_error("V21_cmd_set_params", rc);
    return OP_OK;
}

int read_params_record(unsigned char *buf) {
    memset(buf, 0, V21_PARAMS_BUF);
    int got = 0;
    int rc = V21_Get_Params(id_conn, buf, 1, &got);
    if (rc == 0 && got < V21_PARAMS_SIZE)
        return MXX_FAILED; // a cut record is never shown or written back
    return rc;
}

std::string V21_params_text(const unsigned char *rec, size_t size,
                            bool extended) {
    WireReader r(rec, size);
    std::string text;
    for (const Line &l : listing())
        if (!l.extended || extended)
            text += format_line(l, r);
    return text;
}

void print_params(const unsigned char *rec, size_t size, int extended,
                  FILE *file) {
    WireReader r(rec, size);
    for (const Line &l : listing()) {
        if (l.extended && !extended)
            continue;
        std::string text = format_line(l, r);
        log_write("MAIN", "%s", text.c_str());
        if (file)
            fputs(text.c_str(), file);
    }
}
