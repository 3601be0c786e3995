// Operations over the generic request set: firmware version, serial number,
// device clock and restart.
#include "m17_ops.h"

#include "cmd_util.h"
#include "mxx_comm.h"
#include "session.h"

char serial_no[16];

int M17_op_get_fw_version(char *version) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = M17_get_fw_version(id_conn, version, 1);
    if (rc != 0)
        return op_error("M17_cmd_get_fw_version", rc);
    return OP_OK;
}

int M17_op_get_serial() {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = M17_get_serial(id_conn, serial_no, 1);
    if (rc != 0)
        return op_error("M17_cmd_get_serial", rc);
    return OP_OK;
}

int M17_op_set_serial(const char *serial, const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    op_text("Setting serial to:%s\n", serial);
    const int rc = M17_set_serial(id_conn, serial, 1);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int M17_op_get_time(M17_time *clock) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = M17_get_time(id_conn, clock, 1);
    if (rc != 0)
        return op_error("M17_cmd_get_time", rc);
    return OP_OK;
}

void M17_clock_from_local(time_t now, int offset_hours, M17_time *clock) {
    struct tm tm;
    localtime_r(&now, &tm);
    // mktime normalises the shifted hour into a valid local date and time.
    tm.tm_hour += offset_hours;
    tm.tm_isdst = -1;
    mktime(&tm);
    clock->year = tm.tm_year + 1900;
    clock->month = tm.tm_mon + 1;
    clock->day = tm.tm_mday;
    clock->hour = tm.tm_hour;
    clock->minute = tm.tm_min;
    clock->second = tm.tm_sec;
}

int M17_op_set_time(const M17_time &t) {
    if (!require_connected())
        return OP_NO_DEVICE;
    op_text("Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...", t.year,
            t.month, t.day, t.hour, t.minute, t.second);
    const int rc = M17_set_time(id_conn, &t, 1);
    if (rc != 0)
        return op_error("M17_cmd_set_time", rc);
    op_text("Ok.\n");
    return OP_OK;
}

int M17_op_restart() {
    if (!require_connected())
        return OP_NO_DEVICE;
    op_text("Restarting device.\n");
    const int rc = M17_restart(id_conn);
    if (rc != 0)
        return op_error("M17_cmd_restart", rc);
    // A link the instrument has closed already needs no more.
    const int closed = MXX_disconnect(id_conn);
    return closed == 0 || closed == COMM_ERR_CLOSED ? OP_OK : OP_FAILED;
}
