// The instrument's command table, its live-data events, and the commands
// that show and set the serial number, the status and the model options.
#include "v21_cmds.h"

#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_cmds.h"
#include "m17_comm.h"
#include "ra62d2ide.h"
#include "v21_comm.h"
#include "wire.h"

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

// Live-data event kinds.
constexpr uint32_t LIVE_START = 1, LIVE_PROGRESS = 2, LIVE_BUTTON = 3,
                   LIVE_FINISHED = 4, LIVE_SCAN_START = 0x81,
                   LIVE_SCAN_PROGRESS = 0x82, LIVE_SCAN_BUTTON = 0x83,
                   LIVE_SCAN_FINISHED = 0x84;

// Model option bits.
constexpr uint32_t MODEL_LOGO = 1u << 8, MODEL_NO_BT = 1u << 9,
                   MODEL_SC = 1u << 11, MODEL_ADC24 = 1u << 12,
                   MODEL_C = 1u << 13, MODEL_RECT_COIL = 1u << 14;

bool serial_unset(const char *tail) {
    return strcmp(tail, "XXXX") == 0 || strcmp(tail, "xxxx") == 0;
}

} // namespace

int V21_cmd_create_menu(menu_record *menu, int) {
    for (const MenuRow &row : menu_rows)
        menu_add(menu, row.key, row.name, row.description, row.handler);
    return 0;
}

int V21_cmd_hook_events(int id) {
    return MXX_hook_async_event(id, V21_CODE_LIVE_DATA, V21_event_live_data);
}

int V21_event_live_data(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    // The payload follows the 12-byte header; its size is the length field
    // less the checksum byte. Fields beyond it read as 0.
    uint16_t length = WireReader(frame, MXX_HEADER_SIZE).u16(6);
    size_t payload = length > 0 ? length - 1u : 0;
    WireReader r(frame + MXX_HEADER_SIZE, payload);
    uint32_t kind = r.u32(0);
    int32_t value = r.i32(4);
    double kappa = r.f32(8), sigma = r.f32(12);
    switch (kind) {
    case LIVE_START:
        log_write("MAIN", "Start of measurement\n");
        break;
    case LIVE_PROGRESS:
        log_write("MAIN", "   Progress:%d\n", value);
        break;
    case LIVE_BUTTON:
    case LIVE_SCAN_BUTTON:
        log_write("MAIN", "   Button:%d\n", value);
        break;
    case LIVE_FINISHED:
        log_write("MAIN", "Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n",
                  value, kappa, sigma);
        break;
    case LIVE_SCAN_START:
        log_write("MAIN", "Scanner start:%d\n", value);
        break;
    case LIVE_SCAN_PROGRESS:
        log_write("MAIN", "   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", value,
                  kappa, sigma);
        break;
    case LIVE_SCAN_FINISHED:
        log_write("MAIN", "Finished\n");
        break;
    default:
        break;
    }
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

// The instrument's firmware: image file and container names, the device
// name and type written into a container, and the fixed image size.
namespace {
constexpr char FW_BIN_NAME[] = "de62d2.bin";
constexpr char FW_QFW_NAME[] = "de62d2.qfw";
constexpr char FW_DEVICE_NAME[] = "VO-62V2";
constexpr uint32_t FW_IMAGE_SIZE = 0x7F000;
constexpr int FW_DEVICE_TYPE = DEV_TYPE_VO62;
} // namespace

int V21_cmd_create_qfw(char *cmdline, int) {
    return M17_cmd_create_qfw(cmdline, FW_BIN_NAME, FW_QFW_NAME, FW_DEVICE_NAME,
                              FW_IMAGE_SIZE, FW_DEVICE_TYPE);
}

int V21_cmd_upload_qfw(char *cmdline, int) {
    return M17_cmd_upload_qfw(cmdline, FW_QFW_NAME, FW_DEVICE_TYPE,
                              FW_IMAGE_SIZE);
}

int V21_cmd_flash_fw(char *cmdline, int) {
    return M17_cmd_flash_fw(cmdline, FW_QFW_NAME);
}

int V21_cmd_set_serial(char *cmdline, int) {
    if (!require_connected())
        return -1;
    char current[M17_SERIAL_LEN + 1];
    int rc = M17_get_serial(id_conn, current, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_set_serial", rc);
    char tail[5] = "0000";
    if (strlen(current) == M17_SERIAL_LEN)
        memcpy(tail, current + 4, 4);
    if (!serial_unset(tail)) {
        log_write("MAIN", "serial number already set\n");
        return 0;
    }
    input_string_msg_cmd(tail, 4, 4, "Enter serial", cmdline, 1);
    char serial[M17_SERIAL_LEN + 1];
    snprintf(serial, sizeof serial, "A000%s", tail);
    log_write("MAIN", "Setting serial to:%s\n", serial);
    rc = M17_set_serial(id_conn, serial, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_set_serial", rc);
    return 0;
}

int V21_cmd_get_status(char *, int) {
    if (!require_connected())
        return -1;
    unsigned char buf[V21_STATUS_SIZE] = {};
    int rc = V21_Get_Status(id_conn, buf, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_get_status", rc);
    print_status(buf, sizeof buf);
    return 0;
}

void print_status(const unsigned char *buf, size_t size) {
    WireReader r(buf, size);
    log_write("MAIN", "\n");
    log_write("MAIN", "Status.error           = 0x%.8x\n", r.u32(0));
    log_write("MAIN", "Status.bat_voltage     = %dmV\n", r.i32(4));
    log_write("MAIN", "Status.bat_perc        = %d%%\n", r.u16(8));
    log_write("MAIN", "Status.contrast        = %d\n", r.u16(10));
    log_write("MAIN", "Status.bt_status       = %d\n", r.u16(12));
    log_write("MAIN", "Status.gps_status      = %d\n", r.u16(14));
    log_write("MAIN", "Status.flash_size      = %uMB\n", r.u32(16) >> 20);
    log_write("MAIN", "\n");
}

int V21_cmd_get_model_rev(char *, int) {
    if (!require_connected())
        return -1;
    uint32_t model = 0;
    int rc = M17_get_model_rev(id_conn, &model, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_get_model_rev", rc);
    static const struct {
        uint32_t bit;
        const char *line;
    } lines[] = {
        {MODEL_LOGO, "Zuvodede logo displayed.\n"},
        {MODEL_NO_BT, "Bluetooth disabled.\n"},
        {MODEL_SC, "VO62 S/C\n"},
        {MODEL_C, "VO62C\n"},
        {MODEL_ADC24, "24bit ADC\n"},
        {MODEL_RECT_COIL, "Rect. coil\n"},
    };
    log_write("MAIN", "Model information:\n");
    for (const auto &l : lines)
        if (model & l.bit)
            log_write("MAIN", "%s", l.line);
    return 0;
}

int V21_cmd_set_model_rev(char *, int) {
    if (!require_connected())
        return -1;
    uint32_t model = 0;
    int rc = M17_get_model_rev(id_conn, &model, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_set_model_rev", rc);
    static const struct {
        uint32_t bit;
        const char *label;
    } options[] = {
        {MODEL_ADC24, "24bit ADC"},
        {MODEL_C, "VO62C"},
        {MODEL_SC, "VO62S/C"},
        {MODEL_LOGO, "Zuvodede logo"},
        {MODEL_NO_BT, "Disable bluetooth"},
        {MODEL_RECT_COIL, "Rect. coil"},
    };
    uint32_t value = 0;
    for (const auto &o : options) {
        int answer = (model & o.bit) ? 1 : 0;
        input_integer_msg(&answer, 0, 1, o.label);
        if (answer)
            value |= o.bit;
    }
    rc = M17_set_model_rev(id_conn, value, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_set_model_rev", rc);
    log_write("MAIN", "Ok.\n");
    return 0;
}
