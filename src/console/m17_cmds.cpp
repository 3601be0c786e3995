// Console commands over the generic request set: firmware version, serial
// number, device clock and restart. Each asks its questions and calls the
// operation of m17_ops.
#include "m17_cmds.h"

#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_comm.h"
#include "m17_ops.h"
#include "session.h"

int M17_cmd_get_fw_version(char *, int) {
    char version[M17_FW_VERSION_LEN + 1];
    const int st = M17_op_get_fw_version(version);
    if (st != OP_OK)
        return -1;
    log_write("MAIN", "FW Version=%s\n", version);
    return 0;
}

int M17_cmd_get_serial(char *, int) {
    if (M17_op_get_serial() != OP_OK)
        return -1;
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
    return cmd_result(M17_op_set_serial(serial, "M17_cmd_set_serial"));
}

int M17_cmd_get_time(char *, int) {
    M17_time t{};
    if (M17_op_get_time(&t) != OP_OK)
        return -1;
    log_write("MAIN", "Device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d\n", t.year,
              t.month, t.day, t.hour, t.minute, t.second);
    return 0;
}

int M17_cmd_set_time(char *cmdline, int) {
    if (!require_connected())
        return -1;
    int offset = 0;
    input_integer_msg_cmd(&offset, -M17_CLOCK_OFFSET_MAX, M17_CLOCK_OFFSET_MAX,
                          "Enter offset", cmdline, 1);
    M17_time t;
    M17_clock_from_local(time(nullptr), offset, &t);
    return cmd_result(M17_op_set_time(t));
}

int M17_cmd_restart(char *, int) {
    return cmd_result(M17_op_restart());
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
