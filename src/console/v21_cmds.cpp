// The instrument's command table and the commands
// that show and set the serial number, the status and the model options.
#include "v21_cmds.h"

#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_cmds.h"
#include "v21_comm.h"

namespace {

struct MenuRow {
    const char *key;
    const char *name;
    const char *description;
    cmd_handler handler;
};

// The instrument's commands in the order of the help list. "ss" and "re"
// stand twice: one such line runs both entries.
const MenuRow menu_rows[] = {
    {"ss", "set serial", "sets device serial number", V21_cmd_set_serial},
    {"re", "restart", "restarts device", V21_cmd_restart},
    {"ve", "version", "displays device firmware version",
     V21_cmd_get_fw_version},
    {"sa", "status", "displays device status", V21_cmd_get_status},
    {"gs", "get serial", "displays device serial number", V21_cmd_get_serial},
    {"ss", "set serial", "sets device serial number", V21_cmd_set_serial},
    {"gt", "get time", "displays device date/time", V21_cmd_get_time},
    {"st", "set time", "sets device date/time", V21_cmd_set_time},
    {"gp", "get params", "displays device params", V21_cmd_get_params},
    {"sp", "set params", "sets device params", V21_cmd_set_params},
    {"cg", "create qfw", "creates firmware file", V21_cmd_create_qfw},
    {"up", "upload qfw", "uploads firmware file", V21_cmd_upload_qfw},
    {"fl", "flash  fw", "uploads firmware file", V21_cmd_flash_fw},
    {"re", "restart", "restarts device", V21_cmd_restart},
    {"cs", "cap screen", "captures screen", V21_cmd_get_screen},
    {"gm", "get model", "get model/revision", V21_cmd_get_model_rev},
    {"sm", "set model", "set model/revision", V21_cmd_set_model_rev},
    {"sc", "set conc lut", "sets concenration lut", V21_cmd_set_conc_lut},
    {"ml", "meas log", "downloads measure log", V21_cmd_get_meas_log},
    {"dr", "delete record", "deletes record entry", V21_cmd_delete_record},
    {"cl", "clear log", "clears record log", V21_cmd_clear_logs},
    {"mu", "memory usage", "shows memory usage", V21_cmd_memory_usage},
    {"ds", "download sd", "download sd image", V21_cmd_download_sd},
    {"uf", "upload tar", "uploads tar file to SD", V21_cmd_upload_tar},
    {"pu", "purge memory", "purge device memory", V21_cmd_purge},
    {"md", "measure data", "measure data", V21_cmd_measure_data},
    {"me", "measure", "measure data", V21_cmd_measure},
    {"sn", "scanner", "scanner", V21_cmd_scanner},
};

} // namespace

int V21_cmd_create_menu(menu_record *menu, int) {
    for (const MenuRow &row : menu_rows)
        menu_add(menu, row.key, row.name, row.description, row.handler);
    return 0;
}

int V21_cmd_get_fw_version(char *cmdline, int arg) {
    return M17_cmd_get_fw_version(cmdline, arg);
}

int V21_cmd_get_serial(char *cmdline, int arg) {
    return M17_cmd_get_serial(cmdline, arg);
}

int V21_cmd_get_time(char *cmdline, int arg) {
    return M17_cmd_get_time(cmdline, arg);
}

int V21_cmd_set_time(char *cmdline, int) {
    return M17_cmd_set_time(cmdline, 0);
}

int V21_cmd_restart(char *cmdline, int arg) {
    return M17_cmd_restart(cmdline, arg);
}

int V21_cmd_create_qfw(char *cmdline, int) {
    return M17_cmd_create_qfw(cmdline, V21_FW_BIN_NAME, V21_FW_QFW_NAME,
                              V21_FW_DEVICE_NAME, V21_FW_IMAGE_SIZE,
                              V21_FW_DEVICE_TYPE);
}

int V21_cmd_upload_qfw(char *cmdline, int) {
    return M17_cmd_upload_qfw(cmdline, V21_FW_QFW_NAME, V21_FW_DEVICE_TYPE,
                              V21_FW_IMAGE_SIZE);
}

int V21_cmd_flash_fw(char *cmdline, int) {
    return M17_cmd_flash_fw(cmdline, V21_FW_QFW_NAME);
}

int V21_cmd_set_serial(char *cmdline, int) {
    if (!require_connected())
        return -1;
    char tail[5];
    bool unset = false;
    if (V21_op_read_serial_tail(tail, &unset, "V21_cmd_set_serial") != OP_OK)
        return -1;
    if (!unset) {
        log_write("MAIN", "serial number already set\n");
        return 0;
    }
    input_string_msg_cmd(tail, 4, 4, "Enter serial", cmdline, 1);
    return cmd_result(V21_op_set_serial(tail));
}

int V21_cmd_get_status(char *, int) {
    unsigned char buf[V21_STATUS_SIZE] = {};
    if (V21_op_get_status(buf) != OP_OK)
        return -1;
    print_status(buf, sizeof buf);
    return 0;
}

void print_status(const unsigned char *buf, size_t size) {
    const V21_status s = V21_decode_status(buf, size);
    log_write("MAIN", "\n");
    log_write("MAIN", "Status.error           = 0x%.8x\n", s.error);
    log_write("MAIN", "Status.bat_voltage     = %dmV\n", s.bat_voltage_mv);
    log_write("MAIN", "Status.bat_perc        = %d%%\n", s.bat_percent);
    log_write("MAIN", "Status.contrast        = %d\n", s.contrast);
    log_write("MAIN", "Status.bt_status       = %d\n", s.bt_status);
    log_write("MAIN", "Status.gps_status      = %d\n", s.gps_status);
    log_write("MAIN", "Status.flash_size      = %uMB\n",
              s.flash_size_bytes >> 20);
    log_write("MAIN", "\n");
}

int V21_cmd_get_model_rev(char *, int) {
    uint32_t model = 0;
    if (V21_op_get_model(&model, "V21_cmd_get_model_rev") != OP_OK)
        return -1;
    log_write("MAIN", "Model information:\n");
    for (const V21_model_option *o : V21_model_listing)
        if (model & o->bit)
            log_write("MAIN", "%s", o->line);
    return 0;
}

int V21_cmd_set_model_rev(char *, int) {
    uint32_t model = 0;
    if (V21_op_get_model(&model, "V21_cmd_set_model_rev") != OP_OK)
        return -1;
    uint32_t value = 0;
    for (const V21_model_option &o : V21_model_options) {
        int answer = (model & o.bit) ? 1 : 0;
        input_integer_msg(&answer, 0, 1, o.label);
        if (answer)
            value |= o.bit;
    }
    if (V21_op_set_model(value) != OP_OK)
        return -1;
    log_write("MAIN", "Ok.\n");
    return 0;
}
