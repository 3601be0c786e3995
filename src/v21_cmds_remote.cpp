// Remote measurement: a single measurement or a scanner run triggered from
// the console through the instrument's state and key events, and raw
// measured values read one by one. The live progress of a measurement or a
// scan is printed by the live-data event handler while these commands poll
// the instrument's state.
#include <chrono>
#include <thread>

#include "cmd_util.h"
#include "libcomm.h"
#include "ra62d2ide.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "v21_records.h"

namespace {

constexpr int SAMPLES_PER_LINE = 5;
constexpr int MEASURE_DATA_DEFAULT = 1200;
constexpr int MEASURE_DATA_MAX = 100000;
constexpr int FILE_NAME_MAX = 255;

long long real_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
        .count();
}

void real_sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const wait_clock real_clock = {real_now_ms, real_sleep_ms};
const wait_clock *clock_in_use = &real_clock;

// Polls the state until done(state) holds. Only a state that was actually
// read can end the wait: a failed request counts towards the limit of
// failures in a row, and the whole wait is bounded in time.
template <typename Done> int poll_state(Done done, int32_t *last) {
    const long long start = clock_in_use->now_ms();
    int failures = 0;
    for (;;) {
        int32_t state = 0;
        const int rc = V21_Get_State(id_conn, &state, 1);
        if (rc == 0) {
            failures = 0;
            if (last)
                *last = state;
            if (done(state))
                return 0;
        } else if (++failures >= WAIT_STATE_MAX_FAILURES) {
            return rc;
        }
        if (clock_in_use->now_ms() - start >= WAIT_STATE_LIMIT_MS)
            return WAIT_STATE_TIMED_OUT;
        clock_in_use->sleep_ms(WAIT_STATE_POLL_MS);
    }
}

int send_events(std::initializer_list<uint32_t> events) {
    for (uint32_t ev : events) {
        const int rc = V21_Send_Event(id_conn, ev, 1);
        if (rc != 0)
            return rc;
    }
    return 0;
}

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

// Fetches "meas/last.dat" after a measurement or scan.
int download_last(meas_record *rec) {
    unsigned char buf[MEAS_RECORD_SIZE];
    if (download_record(id_conn, -1, buf) != 0)
        return -1;
    decode_meas_record(buf, sizeof buf, rec);
    return 0;
}

} // namespace

void set_wait_clock(const wait_clock *clock) {
    clock_in_use = clock ? clock : &real_clock;
}

int wait_for_state(int32_t state, int32_t *last) {
    return poll_state([state](int32_t s) { return s == state; }, last);
}

int wait_for_state_finish(int32_t state, int32_t *last) {
    return poll_state([state](int32_t s) { return s != state; }, last);
}

int V21_cmd_measure(char *, int) {
    constexpr const char *name = "V21_cmd_measure";
    // Without a connection the set-state request fails and is reported.
    int32_t ignored = 0;
    V21_Get_State(id_conn, &ignored, 1);
    int rc = V21_Set_State(id_conn, STATE_REMOTE, 1);
    if (rc == 0)
        rc = wait_for_state(STATE_READY);
    if (rc == 0)
        rc = send_events({EVENT_CANCEL, EVENT_MODE, EVENT_TRIGGER});
    if (rc != 0)
        return cmd_error(name, rc);

    int answer = 0;
    input_integer_msg(&answer, 0, 1, "0-Trigger,1-Cancel");
    const bool cancel = answer == 1;
    rc = V21_Send_Event(id_conn, cancel ? EVENT_CANCEL : EVENT_TRIGGER, 1);
    if (rc != 0)
        return cmd_error(name, rc);
    if (cancel)
        return 0;

    rc = wait_for_state_finish(STATE_MEASURING);
    if (rc != 0)
        return cmd_error(name, rc);
    meas_record rec;
    if (download_last(&rec) != 0)
        return cmd_error(name, -1);
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
    int rc = V21_Set_State(id_conn, STATE_REMOTE, 1);
    if (rc == 0)
        rc = wait_for_state(STATE_READY);
    if (rc == 0)
        rc = send_events(
            {EVENT_CANCEL, EVENT_CANCEL, EVENT_MODE, EVENT_TRIGGER});
    if (rc != 0)
        return cmd_error(name, rc);

    for (;;) {
        const bool stop = ask_trigger_or_stop() == 1;
        rc = V21_Send_Event(id_conn, stop ? EVENT_CANCEL : EVENT_TRIGGER, 1);
        if (rc != 0)
            return cmd_error(name, rc);
        if (stop)
            break;
    }

    rc = wait_for_state_finish(STATE_SCANNING);
    if (rc != 0)
        return cmd_error(name, rc);
    meas_record rec;
    if (download_last(&rec) != 0)
        return cmd_error(name, -1);
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
    return 0;
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
