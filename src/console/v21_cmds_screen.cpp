// "cap screen" and "set conc lut": the questions, then the operations of
// v21_ops_screen. The table editor asks the name and the twelve records,
// and can load the table from and save it to a local file.
#include <cstdlib>
#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

constexpr int FILE_NAME_MAX = 255;

// Concentration table layout of the editor's fields.
constexpr int LUT_OFF_CHECKSUM = 0;
constexpr int LUT_OFF_NAME = 4;
constexpr int LUT_OFF_COUNT = 16;
constexpr int LUT_OFF_VALUE = 20;
constexpr int LUT_OFF_CONC = 68;
constexpr float LUT_VALUE_MAX = 20000;
constexpr float LUT_CONC_MAX = 1000;

// Replaces the table with up to LUT_SIZE bytes of a local file; a read error
// leaves it unchanged.
void load_local_table(const char *path, unsigned char *lut) {
    FilePtr file = open_file(path, "rb");
    if (!file || !read_conc_lut(file.get(), lut))
        log_error("Error loading file.\n");
}

} // namespace

void edit_conc_lut(unsigned char *lut) {
    WireWriter w(lut, LUT_SIZE);
    // The stored name may fill all 12 bytes without a terminator.
    char name[LUT_NAME_SIZE + 1] = {};
    memcpy(name, lut + LUT_OFF_NAME, LUT_NAME_SIZE);
    input_string_msg(name, 1, LUT_NAME_MAX, "LUT name");
    char field[LUT_NAME_SIZE] = {};
    memcpy(field, name, strnlen(name, LUT_NAME_SIZE));
    w.bytes(LUT_OFF_NAME, field, sizeof field);

    WireReader r(lut, LUT_SIZE);
    for (int k = 0; k < LUT_RECORDS; k++) {
        log_write("MAIN", "Record %d/%d\n", k + 1, LUT_RECORDS);
        float value = r.f32(LUT_OFF_VALUE + 4 * k);
        input_float_msg(&value, 0, LUT_VALUE_MAX, "value [-]");
        float conc = r.f32(LUT_OFF_CONC + 4 * k);
        input_float_msg(&conc, 0, LUT_CONC_MAX, "conc  [%]");
        log_write("MAIN", "\n");
        w.f32(LUT_OFF_VALUE + 4 * k, value);
        w.f32(LUT_OFF_CONC + 4 * k, conc);
    }
    w.u32(LUT_OFF_COUNT, LUT_RECORDS);
    w.u32(LUT_OFF_CHECKSUM, conc_lut_checksum(lut));
}

int V21_cmd_get_screen(char *, int) {
    unsigned char bmp[BMP_FILE_SIZE];
    if (V21_op_capture_screen(bmp) != OP_OK)
        return -1;
    char path[FILE_NAME_MAX + 1] = "screen.bmp";
    input_string_msg(path, 0, FILE_NAME_MAX, "Enter file name");
    return cmd_result(V21_op_write_local(path, bmp, sizeof bmp));
}

int V21_cmd_set_conc_lut(char *, int) {
    if (!require_connected())
        return -1;
    unsigned char lut[LUT_SIZE] = {};
    int index = 1;
    input_integer_msg(&index, -LUT_INDEX_MAX, LUT_INDEX_MAX, "LUT index");
    if (index == 0)
        return 0;
    const int number = abs(index);
    if (index < 0 && V21_op_lut_delete(number) != OP_OK)
        return -1;
    bool found = false;
    if (V21_op_lut_read(number, lut, &found) != OP_OK)
        return -1;

    int load = 0;
    input_yesno_msg(&load, "Would you like to load LUT from file?");
    if (load) {
        char path[FILE_NAME_MAX + 1] = "conclut.dat";
        input_string_msg(path, 0, FILE_NAME_MAX, "Enter LUT file name");
        load_local_table(path, lut);
    }

    edit_conc_lut(lut);

    int save = 0;
    input_yesno_msg(&save, "Would you like to save LUT to file?");
    if (save) {
        char path[FILE_NAME_MAX + 1] = "conclut.dat";
        input_string_msg(path, 0, FILE_NAME_MAX, "Enter LUT file name");
        // The copy on the PC is a convenience: the instrument's table is the
        // command's job and is written all the same.
        if (!V21_store_local(path, lut, sizeof lut))
            log_error("Error saving file.\n");
    }

    return cmd_result(V21_op_lut_write(number, lut));
}
