// Operations on the instrument's identity: the serial number, the status
// record, the model options and the memory report.
#include <cstring>

#include "cmd_util.h"
#include "session.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

// Model option bits.
constexpr uint32_t MODEL_LOGO = 1u << 8, MODEL_NO_BT = 1u << 9,
                   MODEL_SC = 1u << 11, MODEL_ADC24 = 1u << 12,
                   MODEL_C = 1u << 13, MODEL_RECT_COIL = 1u << 14;

bool serial_unset(const char *tail) {
    return strcmp(tail, "XXXX") == 0 || strcmp(tail, "xxxx") == 0;
}

} // namespace

const V21_model_option V21_model_options[6] = {
    {MODEL_ADC24, "adc24", "24bit ADC", "24bit ADC\n"},
    {MODEL_C, "vo62c", "VO62C", "VO62C\n"},
    {MODEL_SC, "vo62sc", "VO62S/C", "VO62 S/C\n"},
    {MODEL_LOGO, "logo", "Zuvodede logo", "Zuvodede logo displayed.\n"},
    {MODEL_NO_BT, "no_bluetooth", "Disable bluetooth", "Bluetooth disabled.\n"},
    {MODEL_RECT_COIL, "rect_coil", "Rect. coil", "Rect. coil\n"},
};

const V21_model_option *const V21_model_listing[6] = {
    &V21_model_options[3], &V21_model_options[4], &V21_model_options[2],
    &V21_model_options[1], &V21_model_options[0], &V21_model_options[5],
};

int V21_op_read_serial_tail(char tail[5], bool *unset, const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    char current[M17_SERIAL_LEN + 1];
    const int rc = M17_get_serial(id_conn, current, 1);
    if (rc != 0)
        return op_error(name, rc);
    snprintf(tail, 5, "0000");
    if (strlen(current) == M17_SERIAL_LEN)
        memcpy(tail, current + 4, 4);
    *unset = serial_unset(tail);
    return OP_OK;
}

int V21_op_set_serial(const char *tail) {
    char serial[M17_SERIAL_LEN + 1];
    snprintf(serial, sizeof serial, "A000%s", tail);
    return M17_op_set_serial(serial, "V21_cmd_set_serial");
}

int V21_op_get_status(unsigned char *buf) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = V21_Get_Status(id_conn, buf, 1);
    if (rc != 0)
        return op_error("V21_cmd_get_status", rc);
    return OP_OK;
}

V21_status V21_decode_status(const unsigned char *buf, size_t size) {
    WireReader r(buf, size);
    V21_status s;
    s.error = r.u32(0);
    s.bat_voltage_mv = r.i32(4);
    s.bat_percent = r.u16(8);
    s.contrast = r.u16(10);
    s.bt_status = r.u16(12);
    s.gps_status = r.u16(14);
    s.flash_size_bytes = r.u32(16);
    return s;
}

int V21_op_get_model(uint32_t *model, const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = M17_get_model_rev(id_conn, model, 1);
    if (rc != 0)
        return op_error(name, rc);
    return OP_OK;
}

int V21_op_set_model(uint32_t model) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = M17_set_model_rev(id_conn, model, 1);
    if (rc != 0)
        return op_error("V21_cmd_set_model_rev", rc);
    return OP_OK;
}

int V21_op_memory_usage(uint32_t *heap, char *text, int text_size) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = V21_Memory_Usage(id_conn, heap, text, text_size, 1);
    if (rc != 0)
        return op_error("V21_cmd_memory_usage", rc);
    return OP_OK;
}
