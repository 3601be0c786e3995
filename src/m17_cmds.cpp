// Console commands over the generic request set: firmware version, serial
// number, device clock and restart.
#include "m17_cmds.h"

#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_comm.h"
#include "ra62d2ide.h"

char serial_no[16];

namespace {

constexpr int CLOCK_OFFSET_MAX = 12; // hours either way

} // namespace

int M17_cmd_get_fw_version(char *, int) {
    if (!require_connected())
        return -1;
    char version[M17_FW_VERSION_LEN + 1];
    int rc = M17_get_fw_version(id_conn, version, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_get_fw_version", rc);
    log_write("MAIN", "FW Version=%s\n", version);
    return 0;
}

int M17_cmd_get_serial(char *, int) {
    if (!require_connected())
        return -1;
    int rc = M17_get_serial(id_conn, serial_no, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_get_serial", rc);
    log_write("MAIN", "Serial = %s\n", serial_no);
    return 0;
}

int M17_cmd_set_serial(char *cmdline, int prefix) {
    if (!require_connected())
        return -1;
    char current[M17_SERIAL_LEN + 1];
    int rc = M17_get_serial(id_conn, current, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_set_serial", rc);

    char tail[5] = "0000";
    if (strlen(current) == M17_SERIAL_LEN)
        memcpy(tail, current + 4, 4);
    char serial[M17_SERIAL_LEN + 1] = "00000000";
    if (prefix) {
        input_string_msg_cmd(tail, 4, 4, "Enter serial", cmdline, 1);
        snprintf(serial, sizeof serial, "%c000%s", prefix, tail);
    } else {
        input_string_msg_cmd(serial, M17_SERIAL_LEN, M17_SERIAL_LEN,
                             "Enter serial", cmdline, 1);
    }
    log_write("MAIN", "Setting serial to:%s\n", serial);
    rc = M17_set_serial(id_conn, serial, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_set_serial", rc);
    return 0;
}

int M17_cmd_get_time(char *, int) {
    if (!require_connected())
        return -1;
    M17_time t{};
    int rc = M17_get_time(id_conn, &t, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_get_time", rc);
    log_write("MAIN", "Device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d\n", t.year,
              t.month, t.day, t.hour, t.minute, t.second);
    return 0;
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

int M17_cmd_set_time(char *cmdline, int) {
    if (!require_connected())
        return -1;
    int offset = 0;
    input_integer_msg_cmd(&offset, -CLOCK_OFFSET_MAX, CLOCK_OFFSET_MAX,
                          "Enter offset", cmdline, 1);
    M17_time t;
    M17_clock_from_local(time(nullptr), offset, &t);
    log_write("MAIN", "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...",
              t.year, t.month, t.day, t.hour, t.minute, t.second);
    int rc = M17_set_time(id_conn, &t, 1);
    if (rc != 0)
        return cmd_error("M17_cmd_set_time", rc);
    log_append("MAIN", "Ok.\n");
    return 0;
}

int M17_cmd_restart(char *, int) {
    if (!require_connected())
        return -1;
    log_append("MAIN", "Restarting device.\n");
    int rc = M17_restart(id_conn);
    if (rc != 0)
        return cmd_error("M17_cmd_restart", rc);
    return MXX_disconnect(id_conn);
}

int M17_cmd_hook_events(int) {
    return 0;
}

int M17_cmd_create_menu(menu_record *menu) {
    menu_add(menu, "ve", "version", "displays device firmware version",
             M17_cmd_get_fw_version);
    menu_add(menu, "gs", "get serial", "displays device serial number",
             M17_cmd_get_serial);
    menu_add(menu, "ss", "set serial", "sets device serial number",
             M17_cmd_set_serial);
    menu_add(menu, "gt", "get time", "displays device date/time",
             M17_cmd_get_time);
    menu_add(menu, "st", "set time", "sets device date/time", M17_cmd_set_time);
    menu_add(menu, "re", "restart", "restarts device", M17_cmd_restart);
    return 0;
}
