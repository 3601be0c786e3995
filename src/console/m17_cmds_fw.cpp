// Console commands of the firmware: the questions of "create qfw", "upload
// qfw" and "flash fw"; the work is done by the operations of m17_ops_fw.
#include <cstdio>

#include "cmd_util.h"
#include "m17_cmds.h"

namespace {

constexpr unsigned FILE_NAME_MAX = 255;

// Copies a default file name into a name buffer of FILE_NAME_MAX + 1 bytes.
void set_default(char *name, const char *text) {
    snprintf(name, FILE_NAME_MAX + 1, "%s", text ? text : "");
}

} // namespace

int M17_cmd_create_qfw(char *, const char *default_bin, const char *default_qfw,
                       const char *device_name, uint32_t image_size,
                       int device_type) {
    char bin_name[FILE_NAME_MAX + 1];
    char qfw_name[FILE_NAME_MAX + 1];
    set_default(bin_name, default_bin);
    set_default(qfw_name, default_qfw);
    int encrypt = 1, major = 0, minor = 0;
    input_string_msg(bin_name, 0, FILE_NAME_MAX, "Enter BIN file name");
    input_string_msg(qfw_name, 0, FILE_NAME_MAX, "Enter QFW file name");
    input_yesno_msg(&encrypt, "Encrypt file");
    input_integer_msg(&major, 0, QFW_VERSION_PART_MAX, "Major version:");
    input_integer_msg(&minor, 0, QFW_VERSION_PART_MAX, "Minor version:");
    return M17_create_qfw(bin_name, qfw_name, major, minor, encrypt,
                          device_name, image_size, device_type);
}

int M17_cmd_upload_qfw(char *, const char *default_qfw, int device_type,
                       uint32_t image_size) {
    if (!require_connected())
        return -1;
    char name[FILE_NAME_MAX + 1];
    set_default(name, default_qfw);
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter QFW file name");
    M17_qfw_upload_opts o{name, device_type, image_size};
    return cmd_result(M17_op_upload_qfw(o, no_progress()));
}

int M17_cmd_flash_fw(char *, const char *default_qfw) {
    if (!require_connected())
        return -1;
    char name[FILE_NAME_MAX + 1];
    set_default(name, default_qfw);
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter QFW file name");
    return cmd_result(M17_op_flash_fw(name));
}
