// Remote measurement commands: "measure" and "scanner" ask for the trigger
// between the operations of v21_ops_remote and print the result; "measure
// data" reads raw values one by one.
#include "cmd_util.h"
#include "console_progress.h"
#include "libcomm.h"
#include "session.h"
#include "v21_cmds.h"

namespace {

constexpr int SAMPLES_PER_LINE = 5;
constexpr int MEASURE_DATA_DEFAULT = 1200;
constexpr int MEASURE_DATA_MAX = 100000;
constexpr int FILE_NAME_MAX = 255;

// Asks "0-Trigger,1-Stop" as an integer prompt would, but answers stop when
// the console input has ended: piped input must not trigger forever.
int ask_trigger_or_stop() {
    constexpr const char *label = "0-Trigger,1-Stop";
    constexpr int STOP = 1;
    int answer = 0;
    for (;;) {
        log_write("MAIN", "%s[%d]:", label, answer);
        char line[INPUT_LINE_SIZE];
        input_get(line, sizeof line);
        if (input_empty(line))
            return input_eof() ? STOP : answer;
        int value = 0;
        if (input_integer(line, &value, 0, STOP))
            return value;
        if (input_eof())
            return STOP;
    }
}

} // namespace

int V21_cmd_measure(char *, int) {
    constexpr const char *name = "V21_cmd_measure";
    V21_remote_before before;
    if (V21_op_remote_start(false, name, &before) != OP_OK)
        return -1;
    int answer = 0;
    input_integer_msg(&answer, 0, 1, "0-Trigger,1-Cancel");
    const bool cancel = answer == 1;
    if (V21_op_remote_event(cancel, name) != OP_OK)
        return -1;
    if (cancel)
        return 0;
    meas_record rec;
    OffsetProgress offsets;
    if (V21_op_remote_result(false, before, &rec, name, WAIT_STATE_LIMIT_MS,
                             offsets) != OP_OK)
        return -1;
    log_write("MAIN",
              "Type=%d,MeasMode=%d,Curve1=%d,Curve2=%d,Pin=%d,Error=%d,"
              "Dia=%2d    Susc=%6.3f Cond=%6.1f [%2d/%2d]\n",
              record_type(rec), rec.meas_mode, record_curve_s(rec),
              record_curve_c(rec), rec.pin, rec.error, rec.dia,
              static_cast<double>(rec.susc), static_cast<double>(rec.cond),
              rec.counter, rec.num_samples);
    return 0;
}

int V21_cmd_scanner(char *, int) {
    constexpr const char *name = "V21_cmd_scanner";
    V21_remote_before before;
    if (V21_op_remote_start(true, name, &before) != OP_OK)
        return -1;
    for (;;) {
        const bool stop = ask_trigger_or_stop() == 1;
        if (V21_op_remote_event(stop, name) != OP_OK)
            return -1;
        if (stop)
            break;
    }
    meas_record rec;
    OffsetProgress offsets;
    if (V21_op_remote_result(true, before, &rec, name, WAIT_STATE_LIMIT_MS,
                             offsets) != OP_OK)
        return -1;
    print_scan_samples(rec);
    return 0;
}

void print_scan_samples(const meas_record &rec) {
    log_write("MAIN", "Meas time:%2d\n", rec.num_samples);
    const int n = record_sample_count(rec);
    for (int i = 0; i < n; i++) {
        if (i > 0 && i % SAMPLES_PER_LINE == 0)
            log_append("MAIN", "\n");
        const bool marked = sample_marked(rec, i);
        log_append("MAIN", "%c%8.3f %6.1f%c", marked ? '[' : ' ',
                   static_cast<double>(rec.susc_samples[i]),
                   static_cast<double>(rec.cond_samples[i]),
                   marked ? ']' : ' ');
    }
    log_append("MAIN", "\n");
}

int V21_cmd_measure_data(char *, int) {
    constexpr const char *name = "V21_cmd_measure_data";
    if (!require_connected())
        return -1;
    int count = MEASURE_DATA_DEFAULT;
    input_integer_msg(&count, 0, MEASURE_DATA_MAX, "Number of samples");
    int save = 0;
    input_yesno_msg(&save, "Save samples to file");
    char path[FILE_NAME_MAX + 1] = "samples.dat";
    FilePtr file;
    bool file_failed = false;
    if (save) {
        input_string_msg(path, 0, FILE_NAME_MAX, "Enter file name");
        file = open_file(path, "w");
        if (!file) {
            // The values are still shown on the console.
            report_write_error(path);
            file_failed = true;
        }
    }
    for (int i = 0; i < count; i++) {
        int32_t value = 0;
        const int rc = V21_Measure(id_conn, &value, 1);
        if (rc != 0) {
            close_written(file, path); // the values so far stay
            return cmd_error(name, rc);
        }
        log_write("MAIN", "%d\n", value);
        if (file)
            fprintf(file.get(), "%d\n", value);
    }
    if (!close_written(file, path))
        file_failed = true;
    return file_failed ? -1 : 0;
}
