// "meas log": reads the instrument's table of log slots, lists the occupied
// ones and downloads every stored record in key order, printing each and,
// on request, writing a summary file, raw-sample files, voice notes and
// auxiliary data into the directory named after the instrument's serial.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <vector>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_cmds.h"
#include "ra62d2ide.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "v21_records.h"
#include "wire.h"

namespace {

constexpr size_t P_MAX_STORED_MEAS = 94; // in the parameter record
constexpr uint32_t KEY_EMPTY = 0;
constexpr uint32_t KEY_ERASED = 0xFFFFFFFF; // never downloaded
constexpr uint8_t ENTRY_NOTE = 1u << 0;
constexpr uint8_t ENTRY_AUX = 1u << 1;
constexpr int SAMPLES_PER_LINE = 5;
constexpr int PREFIX_SIZE = 64;         // "kappa_", the serial's tail and "/"
constexpr size_t SERIAL_PREFIX_LEN = 4; // not part of the directory name
constexpr int PATH_SIZE = 128;
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
    __attribute__((format(printf, 4, 5)));
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
    log_write("MAIN", "%s", text);
    if (summary)
        fputs(text, summary);
}

void print_core_line(const meas_record &r) {
    if (record_kind(r) != KIND_BOREHOLE_CORE)
        return;
    log_write("MAIN", "   Borehole core. ID:%d Num:%d Depth:%.1f%s\n",
              r.borehole.bh_id, r.borehole.core_num,
              double(r.borehole.core_depth), borehole_unit(r));
}

void print_single(const meas_record &r, FILE *summary) {
    log_write("MAIN",
              "%d: %d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d "
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
    log_write("MAIN",
              "%d: %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d "
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
    log_write("MAIN", "Borehole header:\n");
    log_write("MAIN", "             ID: %d\n", b.bh_id);
    log_write("MAIN", "           Desc: %s\n", b.desc);
    log_write("MAIN", "          Depth: %.1f-%.1f%s\n", double(b.depth_from),
              double(b.depth_to), unit);
    log_write("MAIN", "    Core length: %.1f%s\n", double(b.core_length), unit);
    log_write("MAIN", "      Depth int: %.1f%s\n", double(b.depth_int), unit);
    log_write("MAIN", "  Cores per box: %d\n", b.cores_per_box);
    log_write("MAIN", "           Type: %s\n",
              b.discrete ? "Discrete" : "Scanner");
}

// Sums of one statistics group, in single precision.
struct Group {
    float sum_s = 0, sq_s = 0, sum_c = 0, sq_c = 0;
    int count = 0;

    void add(const meas_record &r) {
        sum_s += r.susc;
        sq_s += r.susc * r.susc;
        sum_c += r.cond;
        sq_c += r.cond * r.cond;
        count++;
    }
    void close(FILE *summary) {
        calc_avg_std_dev(sum_s, sq_s, count, summary);
        calc_avg_std_dev(sum_c, sq_c, count, summary);
        *this = Group();
    }
};

// The options of one run and what it has open.
struct Run {
    int save_summary = 1, save_notes = 0, save_raw = 0, save_aux = 0;
    char prefix[PREFIX_SIZE] = ""; // the per-instrument directory and "/"
    FilePtr summary;
    char summary_path[PATH_SIZE] = "";
    char path[PATH_SIZE] = ""; // a record's side file

    bool any_save() const {
        return save_summary || save_notes || save_raw || save_aux;
    }
    // prefix followed by name_format with the record number.
    const char *side_file(const char *name_format, int rec_no) {
        int n = snprintf(path, sizeof path, "%s", prefix);
        snprintf(path + n, sizeof path - size_t(n), name_format, rec_no);
        return path;
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
    log_write("MAIN", "Downloading entry table(%d entries)", n);
    for (int start = 0; start < n; start += V21_LOG_ENTRIES_PER_REQ) {
        int rc = V21_Get_Meas_Log_Entry_List(
            id_conn, uint32_t(start),
            raw.data() + size_t(start) * V21_LOG_ENTRY_SIZE, 1);
        if (rc != 0)
            return cmd_error("V21_cmd_get_meas_log", rc);
        log_write("MAIN", ".");
    }
    log_write("MAIN", "\n\n");
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
        log_write("MAIN", "[%.4d] : %d ", int(i), key);
        if (entries[i].flags & ENTRY_NOTE)
            log_write("MAIN", " note");
        log_write("MAIN", "\n");
        listed++;
    }
    log_write("MAIN", "Meas log num entries = %d\n\n", listed);
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
// summary file.
int prepare_output(Run &run) {
    int rc = V21_cmd_get_serial(nullptr, 0);
    if (rc != 0)
        return cmd_error("V21_cmd_get_meas_log", rc);
    // The directory is named after the serial's part behind its first four
    // characters, with anything that could leave the working directory
    // replaced. A serial without that part names no instrument: the serial
    // request counts as failed rather than the log landing in "kappa_".
    if (strlen(serial_no) <= SERIAL_PREFIX_LEN)
        return cmd_error("V21_cmd_get_meas_log", MXX_FAILED);
    const char *tail = serial_no + SERIAL_PREFIX_LEN;
    char safe[sizeof serial_no];
    safe_name_part(tail, safe, sizeof safe);
    char dir[PREFIX_SIZE - 1];
    snprintf(dir, sizeof dir, "kappa_%s", safe);
    std::error_code ec;
    std::filesystem::create_directory(dir, ec); // files report their own errors
    snprintf(run.prefix, sizeof run.prefix, "%s/", dir);
    if (run.save_summary) {
        snprintf(run.summary_path, sizeof run.summary_path, "%skappa.dat",
                 run.prefix);
        run.summary = open_file(run.summary_path, "w");
        if (!run.summary)
            report_write_error(run.summary_path);
    }
    return 0;
}

// Downloads and prints one slot's record with its side files.
int download_slot(Run &run, int slot, const log_entry &entry,
                  unsigned char *buf, meas_record &rec, Group &group,
                  int32_t &prev_group) {
    if (download_record(id_conn, slot, buf) != 0) {
        log_error("\nError downloading data!\n");
        return -1;
    }
    decode_meas_record(buf, MEAS_RECORD_SIZE, &rec);
    FILE *summary = run.summary.get();
    if (rec.group_no != prev_group)
        group.close(summary);
    prev_group = rec.group_no;
    if (record_type(rec) == MEAS_TYPE_SINGLE)
        group.add(rec);
    print_meas_record(rec, summary);
    if (summary) {
        write_gps_coords_file(summary, &rec.gps);
        fputs("\n", summary);
    }
    if (run.save_raw)
        save_meas(run.side_file("data%.8d.dat", rec.rec_no), &rec);
    if (run.save_notes && (entry.flags & ENTRY_NOTE)) {
        log_write("MAIN", "%s", INDENT);
        download_note(id_conn, slot, run.side_file("rec%.8d.wav", rec.rec_no));
    }
    if (run.save_aux && (entry.flags & ENTRY_AUX)) {
        log_write("MAIN", "%s", INDENT);
        download_aux(id_conn, slot, run.side_file("aux%.8d.dat", rec.rec_no));
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
            log_write("MAIN", "Unknown record.\n");
        return; // no GPS line on the console
    }
    log_write("MAIN", "%s", INDENT);
    write_gps_coords(&rec.gps);
}

int V21_cmd_get_meas_log(char *, int) {
    if (!require_connected())
        return -1;
    Run run;
    input_yesno_msg(&run.save_summary, "Save to file");
    input_yesno_msg(&run.save_notes, "Save notes");
    input_yesno_msg(&run.save_raw, "Save raw data");
    input_yesno_msg(&run.save_aux, "Save aux. data");

    unsigned char params[V21_PARAMS_BUF];
    int rc = read_params_record(params);
    if (rc != 0)
        return cmd_error("V21_cmd_get_meas_log", rc);
    const int n = slot_count(params);
    std::vector<log_entry> entries;
    if (read_entry_table(n, entries) != 0)
        return -1;
    list_entries(entries);

    if (run.any_save() && prepare_output(run) != 0)
        return -1;
    write_dump(entries);

    const std::vector<int> order = meas_log_download_order(entries.data(), n);
    std::vector<unsigned char> buf(MEAS_RECORD_SIZE);
    meas_record rec;
    Group group;
    int32_t prev_group = -1;
    for (int slot : order) {
        if (download_slot(run, slot, entries[size_t(slot)], buf.data(), rec,
                          group, prev_group) != 0) {
            if (run.summary)
                close_written(run.summary, run.summary_path);
            return -1;
        }
    }
    group.close(run.summary.get());
    if (run.summary)
        close_written(run.summary, run.summary_path);
    log_write("MAIN", "Num downloaded records:%d\n", int(order.size()));
    return 0;
}
