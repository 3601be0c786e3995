// Remote measurement operations: a single measurement or a scanner run
// started through the instrument's state and key events, and the waits on
// its state. The live progress of a measurement or a scan is printed by the
// live-data event handler while these operations poll the state.
//
// The result is the instrument's last measurement, read once the state says
// the run has ended. An instrument that never ran the measurement (a key
// event lost, the state machine elsewhere) ends the wait as well and still
// holds the previous result, so the record read before the trigger is
// compared with the one read after: only a different one is reported.
#include <chrono>
#include <thread>

#include "cmd_util.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "v21_records.h"

namespace {

long long real_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
        .count();
}

void real_sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const wait_clock real_clock = {real_now_ms, real_sleep_ms};

// The instrument's last measurement.
const char *const LAST_MEAS_FILE = "meas/last.dat";
const wait_clock *clock_in_use = &real_clock;

// Polls the state until done(state) holds. Only a state that was actually
// read can end the wait: a failed request counts towards the limit of
// failures in a row, and the whole wait is bounded in time.
template <typename Done>
int poll_state(Done done, int32_t *last, int limit_ms = WAIT_STATE_LIMIT_MS) {
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
        if (clock_in_use->now_ms() - start >= limit_ms)
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

// Reads the first piece of the last measurement, which holds its number,
// time and counter. A refused read is an instrument without one.
int read_last_head(V21_remote_before *before) {
    unsigned char head[RECORD_READ_CHUNK];
    uint32_t count = 0;
    const int rc =
        V21_Read_File(id_conn, LAST_MEAS_FILE, head, 0, sizeof head, &count, 1);
    before->had_last = rc == 0 && count > 0;
    if (before->had_last)
        decode_meas_record(head, count, &before->last);
    return rc == MXX_FAILED ? 0 : rc;
}

bool same_measurement(const meas_record &a, const meas_record &b) {
    return a.rec_no == b.rec_no && a.counter == b.counter && a.year == b.year &&
           a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

} // namespace

void set_wait_clock(const wait_clock *clock) {
    clock_in_use = clock ? clock : &real_clock;
}

int wait_for_state(int32_t state, int32_t *last) {
    return poll_state([state](int32_t s) { return s == state; }, last);
}

int wait_for_state_finish(int32_t state, int32_t *last, int limit_ms) {
    return poll_state([state](int32_t s) { return s != state; }, last,
                      limit_ms);
}

int V21_op_remote_start(bool scanner, const char *name,
                        V21_remote_before *before) {
    // Without a connection the first request fails and is reported.
    if (!scanner) {
        int32_t ignored = 0;
        V21_Get_State(id_conn, &ignored, 1);
    }
    int rc = V21_Set_State(id_conn, STATE_REMOTE, 1);
    if (rc == 0)
        rc = wait_for_state(STATE_READY);
    // In remote operation nothing measures until the trigger.
    if (rc == 0)
        rc = read_last_head(before);
    if (rc == 0)
        rc = scanner ? send_events({EVENT_CANCEL, EVENT_CANCEL, EVENT_MODE,
                                    EVENT_TRIGGER})
                     : send_events({EVENT_CANCEL, EVENT_MODE, EVENT_TRIGGER});
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int V21_op_remote_event(bool cancel, const char *name) {
    const int rc =
        V21_Send_Event(id_conn, cancel ? EVENT_CANCEL : EVENT_TRIGGER, 1);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int V21_op_remote_result(bool scanner, const V21_remote_before &before,
                         meas_record *rec, const char *name, int limit_ms,
                         Progress &bytes, bool *timed_out) {
    if (timed_out)
        *timed_out = false;
    const int rc = wait_for_state_finish(
        scanner ? STATE_SCANNING : STATE_MEASURING, nullptr, limit_ms);
    if (rc == WAIT_STATE_TIMED_OUT && timed_out) {
        *timed_out = true;
        return OP_FAILED;
    }
    if (rc != 0)
        return op_error(name, rc);
    unsigned char buf[MEAS_RECORD_SIZE];
    if (V21_op_download_record(id_conn, -1, buf, bytes) != 0)
        return op_error(name, -1);
    decode_meas_record(buf, sizeof buf, rec);
    if (before.had_last && same_measurement(before.last, *rec)) {
        log_error("No new result: the instrument's last measurement is still "
                  "record %d (counter %d, %.4d/%.2d/%.2d %.2d:%.2d:%.2d)!\n",
                  rec->rec_no, rec->counter, rec->year, rec->month, rec->day,
                  rec->hour, rec->minute, rec->second);
        return OP_FAILED;
    }
    return OP_OK;
}

int V21_op_get_state(int32_t *state, const char *name) {
    const int rc = V21_Get_State(id_conn, state, 1);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int V21_op_set_state(int32_t state, const char *name) {
    const int rc = V21_Set_State(id_conn, uint32_t(state), 1);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}
