// The measurement-log download: reads the instrument's table of log slots,
// lists the occupied ones and downloads every stored record in key order,
// printing each and, on request, writing a summary file, raw-sample files,
// voice notes and auxiliary data into the directory named after the
// instrument's serial (or one given).
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cmd_util.h"
#include "libcomm.h"
#include "local_fs.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "v21_records.h"
#include "wire.h"

namespace {

constexpr size_t P_MAX_STORED_MEAS = 94; // in the parameter record
constexpr uint32_t KEY_EMPTY = 0;
constexpr uint32_t KEY_ERASED = 0xFFFFFFFF; // never downloaded
constexpr int SAMPLES_PER_LINE = 5;
constexpr size_t SERIAL_PREFIX_LEN = 4; // not part of the directory name
// A line of five samples: each at most two floats of 47 characters.
constexpr size_t SAMPLE_LINE_SIZE = 1024;
constexpr const char *INDENT = "                    ";    // 20 spaces
constexpr const char *SAMPLE_INDENT = "                "; // 16 spaces
constexpr const char *GROUP_SEPARATOR =
    "----------------------------------------------------------------------"
    "------\n\n";

// Appends formatted text to a line buffer of size bytes holding len; text
// that would not fit is cut (no field of a record comes near the sizes).
void append(char *line, size_t size, size_t *len, const char *fmt, ...)
    COMM_PRINTF(4, 5);
void append(char *line, size_t size, size_t *len, const char *fmt, ...) {
    if (*len >= size - 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + *len, size - *len, fmt, ap);
    va_end(ap);
    if (n > 0)
        *len = std::min(size - 1, *len + size_t(n));
}

// Text that goes to the console and, when one is open, to the summary file.
void both(FILE *summary, const char *text) {
    op_text("%s", text);
    if (summary)
        fputs(text, summary);
}

void print_core_line(const meas_record &r) {
    if (record_kind(r) != KIND_BOREHOLE_CORE)
        return;
    op_text("   Borehole core. ID:%d Num:%d Depth:%.1f%s\n", r.borehole.bh_id,
            r.borehole.core_num, double(r.borehole.core_depth),
            borehole_unit(r));
}

void print_single(const meas_record &r, FILE *summary) {
    op_text("%d: %d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d "
            "Type=%d,CurveS=%d,CurveC=%d,Pin=%d,Error=%d,Dia=%2d    "
            "Susc=%6.3f%s Cond=%6.1f%s [%2d/%2d]\n",
            r.rec_no, r.meas_mode, r.group_no, r.year, r.month, r.day, r.hour,
            r.minute, r.second, record_type(r), record_curve_s(r),
            record_curve_c(r), r.pin, r.error, r.dia, double(r.susc),
            susc_unit(r), double(r.cond), cond_unit(r), r.counter,
            r.num_samples);
    print_core_line(r);
    if (summary)
        fprintf(summary,
                "%d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d %d,%d,%d,%d,%d,%2d "
                "%6.3f %6.1f [%2d/%2d]",
                r.rec_no, r.meas_mode, r.year, r.month, r.day, r.hour, r.minute,
                r.second, record_type(r), record_curve_s(r), record_curve_c(r),
                r.pin, r.error, r.dia, double(r.susc), double(r.cond),
                r.counter, r.num_samples);
}

void print_series(const meas_record &r, FILE *summary) {
    op_text("%d: %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d "
            "Type=%d,CurveS=%d,CurveC=%d [%2d]\n",
            r.rec_no, r.meas_mode, r.year, r.month, r.day, r.hour, r.minute,
            r.second, record_type(r), record_curve_s(r), record_curve_c(r),
            r.num_samples);
    print_core_line(r);
    if (summary)
        fprintf(summary, "%d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d %d %d %d %2d\n",
                r.rec_no, r.meas_mode, r.year, r.month, r.day, r.hour, r.minute,
                r.second, record_type(r), record_curve_s(r), record_curve_c(r),
                r.num_samples);
    // Five samples to a line; marked samples in square brackets.
    char line[SAMPLE_LINE_SIZE];
    size_t len = 0;
    line[0] = 0;
    const int n = record_sample_count(r);
    for (int i = 0; i < n; i++) {
        if (i % SAMPLES_PER_LINE == 0) {
            if (i > 0) {
                append(line, sizeof line, &len, "\n");
                both(summary, line);
                len = 0;
            }
            append(line, sizeof line, &len, "%s", SAMPLE_INDENT);
        }
        bool marked = sample_marked(r, i);
        append(line, sizeof line, &len, "%c%8.3f %6.1f%c", marked ? '[' : '(',
               double(r.susc_samples[i]), double(r.cond_samples[i]),
               marked ? ']' : ')');
    }
    append(line, sizeof line, &len, "\n");
    both(summary, line);
}

void print_borehole_header(const meas_record &r) {
    const borehole_block &b = r.borehole;
    const char *unit = borehole_unit(r);
    op_text("Borehole header:\n");
    op_text("             ID: %d\n", b.bh_id);
    op_text("           Desc: %s\n", b.desc);
    op_text("          Depth: %.1f-%.1f%s\n", double(b.depth_from),
            double(b.depth_to), unit);
    op_text("    Core length: %.1f%s\n", double(b.core_length), unit);
    op_text("      Depth int: %.1f%s\n", double(b.depth_int), unit);
    op_text("  Cores per box: %d\n", b.cores_per_box);
    op_text("           Type: %s\n", b.discrete ? "Discrete" : "Scanner");
}

// The options of one run and what it has open.
struct Run {
    Run(const V21_meas_log_opts &opts, V21_meas_log_result &res)
        : o(opts), result(res) {}
    const V21_meas_log_opts &o;
    V21_meas_log_result &result;
    std::string prefix; // the per-instrument directory and "/"
    FilePtr summary;
    std::string summary_path;
    std::string path; // a record's side file

    bool any_save() const { return o.summary || o.notes || o.raw || o.aux; }
    // prefix followed by name_format with the record number.
    const char *side_file(const char *name_format, int rec_no) {
        char name[32];
        snprintf(name, sizeof name, name_format, rec_no);
        path = prefix + name;
        return path.c_str();
    }
    // Closes the summary file; a write error counts as a failed file.
    void close_summary() {
        if (summary && !close_written(summary, summary_path.c_str()))
            result.files_failed++;
    }
};

// Number of log slots from the parameter record, limited to the table.
int slot_count(const unsigned char *params) {
    int32_t n = WireReader(params, V21_PARAMS_SIZE).i32(P_MAX_STORED_MEAS);
    return std::clamp<int32_t>(n, 0, MEAS_LOG_MAX_SLOTS);
}

// Reads the entry table of n slots, 32 per request.
int read_entry_table(int n, std::vector<log_entry> &entries) {
    std::vector<unsigned char> raw(size_t(MEAS_LOG_MAX_SLOTS) *
                                   V21_LOG_ENTRY_SIZE);
    op_text("Downloading entry table(%d entries)", n);
    for (int start = 0; start < n; start += V21_LOG_ENTRIES_PER_REQ) {
        int rc = V21_Get_Meas_Log_Entry_List(
            id_conn, uint32_t(start),
            raw.data() + size_t(start) * V21_LOG_ENTRY_SIZE, 1);
        if (rc != 0)
            return cmd_error("V21_cmd_get_meas_log", rc);
        op_text(".");
    }
    op_text("\n\n");
    WireReader r(raw.data(), raw.size());
    entries.resize(size_t(n));
    for (int i = 0; i < n; i++) {
        size_t off = size_t(i) * V21_LOG_ENTRY_SIZE;
        entries[size_t(i)] = {r.u32(off), r.u8(off + 4)};
    }
    return 0;
}

void list_entries(const std::vector<log_entry> &entries) {
    int listed = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        int32_t key = int32_t(entries[i].sort_key);
        if (key <= 0)
            continue;
        op_text("[%.4d] : %d ", int(i), key);
        if (entries[i].flags & LOG_ENTRY_NOTE)
            op_text(" note");
        op_text("\n");
        listed++;
    }
    op_text("Meas log num entries = %d\n\n", listed);
}

// The slot-table dump "aaa" in the working directory.
void write_dump(const std::vector<log_entry> &entries) {
    const char *path = "aaa";
    FilePtr file = open_file(path, "w");
    if (!file) {
        report_write_error(path);
        return;
    }
    const int n = int(entries.size());
    for (int i = 0; i < n; i++)
        fprintf(file.get(), "%d/%d   %d\n", i, n,
                int32_t(entries[size_t(i)].sort_key));
    close_written(file, path);
}

// Reads the serial and prepares the per-instrument directory and the
// summary file. OP_FAILED when the serial cannot be read or names no
// directory, OP_LOCAL_FILE when the directory given cannot be made.
int prepare_output(Run &run) {
    if (M17_op_get_serial() != OP_OK)
        return op_error("V21_cmd_get_meas_log", -1);
    op_text("Serial = %s\n", serial_no);
    std::string dir = run.o.dir;
    std::error_code ec;
    if (dir.empty()) {
        if (!meas_log_default_dir(&dir))
            return OP_FAILED;
        // Files report their own errors, unless the first one ends the
        // download: then a directory that cannot be made is that error.
        if (!std::filesystem::create_directory(fs_path(dir), ec) && ec &&
            run.o.stop_at_file_error) {
            log_error("Cannot create directory %s: %s\n", dir.c_str(),
                      ec.message().c_str());
            return OP_LOCAL_FILE;
        }
    } else if (!std::filesystem::create_directories(fs_path(dir), ec) && ec) {
        log_error("Cannot create directory %s: %s\n", dir.c_str(),
                  ec.message().c_str());
        return OP_LOCAL_FILE;
    }
    run.result.dir = dir;
    run.prefix = dir + "/";
    if (run.o.summary) {
        run.summary_path = run.prefix + MEAS_LOG_SUMMARY_FILE;
        run.summary = open_file(run.summary_path.c_str(), "w");
        if (!run.summary) {
            report_write_error(run.summary_path.c_str());
            run.result.files_failed++;
            if (run.o.stop_at_file_error)
                return OP_LOCAL_FILE;
        }
    }
    return OP_OK;
}

// When the download stops at the first file that cannot be written: whether
// one has failed so far. The summary's buffered text is pushed to the disk
// first, so a full disk shows at the record that filled it.
bool file_failed(Run &run) {
    if (!run.o.stop_at_file_error)
        return false;
    FILE *f = run.summary.get();
    if (f && (fflush(f) != 0 || ferror(f))) {
        report_write_error(run.summary_path.c_str());
        run.result.files_failed++;
        fclose(run.summary.release()); // reported once, here
    }
    return run.result.files_failed > 0;
}

// Counts a side file that failed: refused by the instrument, or not
// written locally.
void count_side_failure(V21_meas_log_result &result, int status) {
    if (status == OP_LOCAL_FILE)
        result.files_failed++;
    else if (status != OP_OK)
        result.side_refused++;
}

// Downloads and prints one slot's record with its side files.
int download_slot(Run &run, int slot, const log_entry &entry,
                  unsigned char *buf, meas_record &rec,
                  MeasLogSummary &listing) {
    Progress &bytes = run.o.record_bytes ? *run.o.record_bytes : no_progress();
    if (V21_op_download_record(id_conn, slot, buf, bytes, run.o.chunks) != 0) {
        log_error("\nError downloading data!\n");
        return -1;
    }
    decode_meas_record(buf, MEAS_RECORD_SIZE, &rec);
    listing.add(rec);
    Progress &file = run.o.file_bytes ? *run.o.file_bytes : no_progress();
    if (run.o.raw &&
        save_meas(run.side_file(MEAS_LOG_RAW_FORMAT, rec.rec_no), &rec) != 0)
        run.result.files_failed++;
    if (run.o.notes && (entry.flags & LOG_ENTRY_NOTE)) {
        op_text("%s", INDENT);
        const char *path = run.side_file(MEAS_LOG_NOTE_FORMAT, rec.rec_no);
        count_side_failure(
            run.result,
            V21_op_download_note(id_conn, slot, path, file, run.o.chunks));
    }
    if (run.o.aux && (entry.flags & LOG_ENTRY_AUX)) {
        op_text("%s", INDENT);
        const char *path = run.side_file(MEAS_LOG_AUX_FORMAT, rec.rec_no);
        count_side_failure(run.result, V21_op_download_aux(id_conn, slot, path,
                                                           file, run.o.chunks));
    }
    return 0;
}

} // namespace

std::vector<int> meas_log_download_order(const log_entry *entries, int n) {
    // Key in the high half, slot in the low half: one sort orders by key as
    // an unsigned number and equal keys by slot.
    std::vector<uint64_t> keyed;
    keyed.reserve(size_t(std::max(n, 0)));
    for (int i = 0; i < n; i++) {
        uint32_t key = entries[i].sort_key;
        if (key != KEY_EMPTY && key != KEY_ERASED)
            keyed.push_back(uint64_t(key) << 32 | uint32_t(i));
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<int> order(keyed.size());
    for (size_t i = 0; i < keyed.size(); i++)
        order[i] = int(keyed[i] & 0xFFFFFFFFu);
    return order;
}

void calc_avg_std_dev(float sum, float sum_sq, int count, FILE *file) {
    if (count <= 0)
        return;
    if (count == 1) {
        both(file, GROUP_SEPARATOR);
        return;
    }
    float avg = sum / float(count);
    float var = (sum_sq - float(count) * avg * avg) / float(count - 1);
    // Rounding of the single-precision sums can leave a tiny negative
    // variance for readings that are all but equal: their deviation is 0.
    float sd = var > 0 ? std::sqrt(var) : 0.0f;
    char line[SAMPLE_LINE_SIZE];
    snprintf(line, sizeof line,
             "--- %6.3f +/- %6.3f "
             "------------------------------------------------------\n\n",
             double(avg), double(sd));
    both(file, line);
}

bool meas_log_default_dir(std::string *dir) {
    // The directory is named after the serial's part behind its first four
    // characters, with anything that could leave the working directory
    // replaced. A serial without that part names no instrument: the serial
    // request counts as failed rather than the log landing in "kappa_".
    if (strlen(serial_no) <= SERIAL_PREFIX_LEN) {
        cmd_error("V21_cmd_get_meas_log", MXX_FAILED);
        return false;
    }
    char safe[sizeof serial_no];
    safe_name_part(serial_no + SERIAL_PREFIX_LEN, safe, sizeof safe);
    *dir = std::string("kappa_") + safe;
    return true;
}

int V21_op_read_log_table(std::vector<log_entry> &entries) {
    unsigned char params[V21_PARAMS_BUF];
    int rc = read_params_record(params);
    if (rc != 0)
        return cmd_error("V21_cmd_get_meas_log", rc);
    return read_entry_table(slot_count(params), entries);
}

void MeasLogSummary::add(const meas_record &rec) {
    if (rec.group_no != prev_group_)
        close_group();
    prev_group_ = rec.group_no;
    if (record_type(rec) == MEAS_TYPE_SINGLE) {
        sum_s_ += rec.susc;
        sq_s_ += rec.susc * rec.susc;
        sum_c_ += rec.cond;
        sq_c_ += rec.cond * rec.cond;
        count_++;
    }
    print_meas_record(rec, file_);
    if (file_) {
        write_gps_coords_file(file_, &rec.gps);
        fputs("\n", file_);
    }
}

void MeasLogSummary::finish() {
    close_group();
}

void MeasLogSummary::close_group() {
    calc_avg_std_dev(sum_s_, sq_s_, count_, file_);
    calc_avg_std_dev(sum_c_, sq_c_, count_, file_);
    sum_s_ = sq_s_ = sum_c_ = sq_c_ = 0;
    count_ = 0;
}

void print_meas_record(const meas_record &rec, FILE *summary) {
    switch (record_type(rec)) {
    case MEAS_TYPE_SINGLE:
        print_single(rec, summary);
        break;
    case MEAS_TYPE_SERIES:
        print_series(rec, summary);
        break;
    default:
        if (record_kind(rec) == KIND_BOREHOLE_HEADER)
            print_borehole_header(rec);
        else
            op_text("Unknown record.\n");
        return; // no GPS line on the console
    }
    op_text("%s", INDENT);
    write_gps_coords(&rec.gps);
}

int V21_op_get_meas_log(const V21_meas_log_opts &o, V21_meas_log_result *r) {
    V21_meas_log_result ignored;
    V21_meas_log_result &result = r ? *r : ignored;
    result = V21_meas_log_result();
    if (!require_connected())
        return OP_NO_DEVICE;
    Run run(o, result);

    std::vector<log_entry> entries;
    if (V21_op_read_log_table(entries) != 0)
        return OP_FAILED;
    const int n = int(entries.size());
    list_entries(entries);

    if (run.any_save()) {
        const int st = prepare_output(run);
        if (st != OP_OK)
            return st;
    }
    if (o.dump)
        write_dump(entries);

    const std::vector<int> order = meas_log_download_order(entries.data(), n);
    result.total = int(order.size());
    Progress &records = o.records ? *o.records : no_progress();
    ProgressPhase phase(records, order.size(), ProgressUnit::records);
    std::vector<unsigned char> buf(MEAS_RECORD_SIZE);
    meas_record rec;
    MeasLogSummary listing(run.summary.get());
    for (int slot : order) {
        if (op_stop_requested()) {
            run.close_summary();
            log_error("\nStopped after %d of %d records%s%s.\n", result.records,
                      result.total,
                      result.dir.empty() ? "" : "; the files so far are in ",
                      result.dir.c_str());
            return OP_INTERRUPTED;
        }
        if (download_slot(run, slot, entries[size_t(slot)], buf.data(), rec,
                          listing) != 0) {
            run.close_summary();
            return OP_FAILED;
        }
        if (file_failed(run)) {
            run.close_summary();
            return OP_LOCAL_FILE;
        }
        result.records++;
        phase.advance(1);
    }
    listing.finish();
    run.close_summary();
    op_text("Num downloaded records:%d\n", int(order.size()));
    if (result.side_refused)
        return OP_FAILED;
    return result.files_failed ? OP_LOCAL_FILE : OP_OK;
}
