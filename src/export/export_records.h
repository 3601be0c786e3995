// The log archive that "log sync" writes, as the export reads it: the index
// (archive/index.json, read as a stream so a log of 65,536 records costs
// little memory) and the raw records (archive/records/<stem>.rec), each
// checked before anything is made of it; and a record's values as the
// columns of the exported files.
#ifndef EXPORT_RECORDS_H
#define EXPORT_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "log_archive.h"
#include "v21_records.h"

// Where the index and the record files lie in a log directory.
inline const std::string ARCHIVE_INDEX =
    std::string(log_archive::ARCHIVE_DIR) + "/" + log_archive::INDEX_FILE;
inline const std::string ARCHIVE_RECORDS =
    std::string(log_archive::ARCHIVE_DIR) + "/" + log_archive::RECORDS_DIR +
    "/";

// Years a record's date may name; anything else is no date the instrument's
// clock can have kept.
constexpr int RECORD_YEAR_MIN = 1970;
constexpr int RECORD_YEAR_MAX = 2099;

struct ArchiveRecord {
    std::string stem;
    int64_t rec_no = -1; // as the index states it; -1 when it does not
};

struct ArchiveIndex {
    std::string serial;
    std::vector<ArchiveRecord> records; // in archive order
};

enum class IndexResult { ok, missing, bad };

// Reads the index at path. missing: there is no file; bad: it cannot be
// read, is no JSON, or names another format or version (why says what, in
// one line without the file's name).
IndexResult read_archive_index(const std::string &path, ArchiveIndex *index,
                               std::string *why);

// Reads and decodes the record file of one index entry of the log directory
// dir into rec. Answers "" or what makes the record unusable: a stem that
// is none of the archive's names, a missing file, a wrong size, or what
// record_damage finds.
std::string load_archive_record(const std::string &dir, const ArchiveRecord &a,
                                meas_record *rec);

// What makes a decoded record unusable, or "": an impossible date, a sample
// count outside 0 to 480, a value that is not a finite number among those
// the export writes, a GPS position beyond 90 degrees of latitude or 180 of
// longitude.
std::string record_damage(const meas_record &rec);

// The record's date and time as ISO 8601 local time without a zone.
std::string record_time(const meas_record &rec);
// A single-precision value as text that reads back to the same float.
std::string float_text(float v);

// One value of an exported row: its text, and whether it is a number (for
// JSON) or missing.
enum class FieldKind { empty, integer, real, text };
struct Field {
    FieldKind kind = FieldKind::empty;
    std::string text;
};

// The columns of a single reading, shared by readings.csv and the
// properties of readings.geojson.
enum ReadingColumn {
    COL_REC_NO,
    COL_GROUP,
    COL_TIME,
    COL_MODE,
    COL_TYPE,
    COL_CURVE_S,
    COL_CURVE_C,
    COL_PIN,
    COL_ERROR,
    COL_DIA,
    COL_SUSC,
    COL_SUSC_UNIT,
    COL_COND,
    COL_COND_UNIT,
    COL_COUNTER,
    COL_SAMPLES,
    COL_LATITUDE,
    COL_LONGITUDE,
    COL_ALTITUDE,
    COL_SATELLITES,
    COL_BOREHOLE,
    COL_CORE,
    COL_DEPTH,
    COL_DEPTH_UNIT,
    READING_COLUMNS
};
extern const char *const READING_COLUMN_NAMES[READING_COLUMNS];
void reading_fields(const meas_record &rec, Field (&out)[READING_COLUMNS]);

// Whether a record is a borehole core reading or scan (its depth counts).
inline bool record_is_core(const meas_record &rec) {
    return record_kind(rec) == KIND_BOREHOLE_CORE;
}

// One statistics group: consecutive records of one group number, whose
// single readings are counted, summed in double precision.
struct GroupStats {
    int32_t group_no = 0;
    int32_t first_rec_no = 0, last_rec_no = 0;
    int count = 0;
    double sum_s = 0, sq_s = 0, sum_c = 0, sq_c = 0;
    std::string susc_unit, cond_unit; // "mixed" when the readings differ

    void add(const meas_record &rec);
    double mean_s() const { return sum_s / count; }
    double mean_c() const { return sum_c / count; }
    // Sample standard deviations (two readings or more); rounding can leave
    // a tiny negative variance for readings that are all but equal, whose
    // deviation is 0.
    double sd_s() const { return deviation(sum_s, sq_s); }
    double sd_c() const { return deviation(sum_c, sq_c); }

  private:
    double deviation(double sum, double sq) const;
};

#endif
