// The log archive read for the export, and a record's exported columns.
#include "export_records.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "cmd_util.h"
#include "local_fs.h"

namespace {

using json = nlohmann::json;

// The index read as a stream of SAX events: only the keys of the top-level
// object and those of each entry of "records" are kept, so an index of
// 65,536 entries never stands in memory as a tree.
class IndexReader : public nlohmann::json_sax<json> {
  public:
    explicit IndexReader(ArchiveIndex *index) : index_(index) {}

    std::string format;
    int64_t version = -1;
    bool have_records = false;
    std::string error;

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t v) override { return number(v); }
    bool number_unsigned(number_unsigned_t v) override {
        return number(v > uint64_t(INT64_MAX) ? -1 : int64_t(v));
    }
    bool number_float(number_float_t, const string_t &) override {
        return scalar();
    }
    bool string(string_t &v) override {
        if (top_level("format"))
            format = v;
        else if (top_level("serial"))
            index_->serial = v;
        else if (in_entry("stem"))
            entry_.stem = v;
        return true;
    }
    bool binary(binary_t &) override { return scalar(); }
    bool start_object(std::size_t) override {
        if (in_records_array())
            entry_ = ArchiveRecord();
        stack_.push_back('o');
        keys_.emplace_back();
        return true;
    }
    bool key(string_t &k) override {
        keys_.back() = k;
        return true;
    }
    bool end_object() override {
        stack_.pop_back();
        keys_.pop_back();
        if (in_records_array())
            index_->records.push_back(entry_);
        return true;
    }
    bool start_array(std::size_t) override {
        if (top_level("records"))
            have_records = true;
        stack_.push_back('a');
        keys_.emplace_back();
        return true;
    }
    bool end_array() override {
        stack_.pop_back();
        keys_.pop_back();
        return true;
    }
    bool parse_error(std::size_t pos, const std::string &,
                     const nlohmann::detail::exception &) override {
        error = "not valid JSON (at byte " + std::to_string(pos) + ")";
        return false;
    }

  private:
    // A value directly in the top-level object under key k.
    bool top_level(const char *k) const {
        return stack_.size() == 1 && stack_[0] == 'o' && keys_[0] == k;
    }
    bool in_records_array() const {
        return stack_.size() == 2 && stack_[0] == 'o' && stack_[1] == 'a' &&
               keys_[0] == "records";
    }
    // A value directly in an entry of "records" under key k.
    bool in_entry(const char *k) const {
        return stack_.size() == 3 && stack_[2] == 'o' && stack_[1] == 'a' &&
               keys_[0] == "records" && keys_[2] == k;
    }
    bool scalar() { return true; }
    bool number(int64_t v) {
        if (top_level("version"))
            version = v;
        else if (in_entry("rec_no"))
            entry_.rec_no = v;
        return true;
    }

    ArchiveIndex *index_;
    std::string stack_; // 'o' object, 'a' array, outermost first
    std::vector<std::string> keys_;
    ArchiveRecord entry_;
};

// A stem the archive makes: rec_no as eight or more digits, and "-k" for a
// repeated rec_no. Anything else (a path, "..") is never opened.
bool valid_stem(const std::string &s) {
    size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        i++;
    if (i < 8 || i > 10)
        return false;
    if (i == s.size())
        return true;
    if (s[i] != '-' || i + 1 == s.size() || s.size() - i > 10)
        return false;
    for (i++; i < s.size(); i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30,
                                 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

std::string int_text(int64_t v) {
    return std::to_string(v);
}

void set(Field &f, FieldKind kind, std::string text) {
    f.kind = kind;
    f.text = std::move(text);
}

} // namespace

const char *const READING_COLUMN_NAMES[READING_COLUMNS] = {
    "rec_no",         "group",
    "time",           "mode",
    "type",           "curve_s",
    "curve_c",        "pin",
    "error",          "dia",
    "susceptibility", "susceptibility_unit",
    "conductivity",   "conductivity_unit",
    "counter",        "samples",
    "latitude",       "longitude",
    "altitude_m",     "satellites",
    "borehole_id",    "core",
    "depth",          "depth_unit"};

IndexResult read_archive_index(const std::string &path, ArchiveIndex *index,
                               std::string *why) {
    *index = ArchiveIndex();
    std::error_code ec;
    if (!std::filesystem::exists(fs_path(path), ec))
        return IndexResult::missing;
    FilePtr f = open_file(path.c_str(), "rb");
    if (!f) {
        *why = std::string("cannot be read: ") + strerror(errno);
        return IndexResult::bad;
    }
    IndexReader reader(index);
    bool parsed = false;
    try {
        parsed = json::sax_parse(f.get(), &reader);
    } catch (const std::exception &e) {
        // Unreadable bytes in the middle of the file; nothing else throws.
        reader.error = "cannot be read";
    }
    if (!parsed || !reader.error.empty()) {
        *why = reader.error.empty() ? "not valid JSON" : reader.error;
        return IndexResult::bad;
    }
    if (reader.format != log_archive::INDEX_FORMAT ||
        reader.version != log_archive::INDEX_VERSION) {
        *why = "not a log archive this program reads (format '" +
               reader.format + "', version " +
               (reader.version < 0 ? std::string("none")
                                   : std::to_string(reader.version)) +
               "; it reads '" + log_archive::INDEX_FORMAT + "' version " +
               std::to_string(log_archive::INDEX_VERSION) + ")";
        return IndexResult::bad;
    }
    if (!reader.have_records) {
        *why = "holds no \"records\" list";
        return IndexResult::bad;
    }
    return IndexResult::ok;
}

std::string load_archive_record(const std::string &dir, const ArchiveRecord &a,
                                meas_record *rec) {
    if (!valid_stem(a.stem))
        return "its stem '" + a.stem + "' is not a record file's name";
    const std::string path =
        dir + "/" + ARCHIVE_RECORDS + a.stem + log_archive::RECORD_EXT;
    FilePtr f = open_file(path.c_str(), "rb");
    if (!f)
        return path + " cannot be read: " + strerror(errno);
    // One byte more than a record, to see a file that is too long.
    unsigned char buf[MEAS_RECORD_SIZE + 1];
    const size_t n = fread(buf, 1, sizeof buf, f.get());
    if (ferror(f.get()))
        return path + " cannot be read";
    if (n != size_t(MEAS_RECORD_SIZE))
        return path +
               (n > size_t(MEAS_RECORD_SIZE)
                    ? std::string(" holds more than 4063 bytes")
                    : " holds " + std::to_string(n) + " bytes, not 4063");
    decode_meas_record(buf, n, rec);
    return record_damage(*rec);
}

std::string record_damage(const meas_record &r) {
    char why[128];
    if (r.year < RECORD_YEAR_MIN || r.year > RECORD_YEAR_MAX || r.month < 1 ||
        r.month > 12 || r.day < 1 || r.day > days_in_month(r.year, r.month) ||
        r.hour > 23 || r.minute > 59 || r.second > 59) {
        snprintf(why, sizeof why,
                 "impossible date %.4d-%.2d-%.2d %.2d:%.2d:%.2d", r.year,
                 r.month, r.day, r.hour, r.minute, r.second);
        return why;
    }
    if (r.num_samples < 0 || r.num_samples > MEAS_MAX_SAMPLES) {
        snprintf(why, sizeof why, "num_samples %d is not 0 to 480",
                 r.num_samples);
        return why;
    }
    const int type = record_type(r);
    if (type != MEAS_TYPE_SINGLE && type != MEAS_TYPE_SERIES)
        return ""; // nothing of it is written but its count and time
    if (!std::isfinite(r.susc) || !std::isfinite(r.cond))
        return "its susceptibility or conductivity is not a finite number";
    double lat, lon;
    if (gps_degrees(r.gps, &lat, &lon) &&
        (std::fabs(lat) > 90 || std::fabs(lon) > 180)) {
        snprintf(why, sizeof why, "impossible GPS position %.8f %.8f", lat,
                 lon);
        return why;
    }
    if (record_is_core(r) && !std::isfinite(r.borehole.core_depth))
        return "its core depth is not a finite number";
    if (type == MEAS_TYPE_SERIES)
        for (int i = 0; i < r.num_samples; i++)
            if (!std::isfinite(r.susc_samples[i]) ||
                !std::isfinite(r.cond_samples[i])) {
                snprintf(why, sizeof why, "sample %d is not a finite number",
                         i);
                return why;
            }
    return "";
}

std::string record_time(const meas_record &r) {
    char t[32];
    snprintf(t, sizeof t, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", r.year, r.month,
             r.day, r.hour, r.minute, r.second);
    return t;
}

std::string float_text(float v) {
    char t[32];
    snprintf(t, sizeof t, "%.9g", double(v));
    return t;
}

void reading_fields(const meas_record &r, Field (&f)[READING_COLUMNS]) {
    for (Field &x : f)
        x = Field();
    const FieldKind num = FieldKind::integer;
    set(f[COL_REC_NO], num, int_text(r.rec_no));
    set(f[COL_GROUP], num, int_text(r.group_no));
    set(f[COL_TIME], FieldKind::text, record_time(r));
    set(f[COL_MODE], num, int_text(r.meas_mode));
    set(f[COL_TYPE], num, int_text(record_type(r)));
    set(f[COL_CURVE_S], num, int_text(record_curve_s(r)));
    set(f[COL_CURVE_C], num, int_text(record_curve_c(r)));
    set(f[COL_PIN], num, int_text(r.pin));
    set(f[COL_ERROR], num, int_text(r.error));
    set(f[COL_DIA], num, int_text(r.dia));
    set(f[COL_SUSC], FieldKind::real, float_text(r.susc));
    set(f[COL_SUSC_UNIT], FieldKind::text, susc_unit(r));
    set(f[COL_COND], FieldKind::real, float_text(r.cond));
    set(f[COL_COND_UNIT], FieldKind::text, cond_unit(r));
    set(f[COL_COUNTER], num, int_text(r.counter));
    set(f[COL_SAMPLES], num, int_text(r.num_samples));
    double lat, lon;
    if (gps_degrees(r.gps, &lat, &lon)) {
        // Eight decimals, as the summary file prints them: far below the
        // fix's own step of a ten-thousandth of a minute.
        char t[32];
        snprintf(t, sizeof t, "%.8f", lat);
        set(f[COL_LATITUDE], FieldKind::real, t);
        snprintf(t, sizeof t, "%.8f", lon);
        set(f[COL_LONGITUDE], FieldKind::real, t);
        set(f[COL_ALTITUDE], num, int_text(r.gps.alt));
        set(f[COL_SATELLITES], num, int_text(gps_satellites(r.gps)));
    }
    if (record_is_core(r)) {
        set(f[COL_BOREHOLE], num, int_text(r.borehole.bh_id));
        set(f[COL_CORE], num, int_text(r.borehole.core_num));
        set(f[COL_DEPTH], FieldKind::real, float_text(r.borehole.core_depth));
        set(f[COL_DEPTH_UNIT], FieldKind::text, borehole_unit(r));
    }
}

void GroupStats::add(const meas_record &r) {
    if (count == 0) {
        group_no = r.group_no;
        first_rec_no = r.rec_no;
        susc_unit = ::susc_unit(r);
        cond_unit = ::cond_unit(r);
    }
    last_rec_no = r.rec_no;
    count++;
    const double s = r.susc, c = r.cond;
    sum_s += s;
    sq_s += s * s;
    sum_c += c;
    sq_c += c * c;
    if (susc_unit != ::susc_unit(r))
        susc_unit = "mixed";
    if (cond_unit != ::cond_unit(r))
        cond_unit = "mixed";
}

double GroupStats::deviation(double sum, double sq) const {
    if (count < 2)
        return 0;
    const double avg = sum / count;
    const double var = (sq - count * avg * avg) / (count - 1);
    return var > 0 ? std::sqrt(var) : 0.0;
}
