// Screen capture into a 1-bit bitmap, and the editor of the instrument's
// concentration tables (lut/lut01.dat to lut/lut03.dat), which can also load
// a table from and save it to a local file.
#include <cstdlib>
#include <cstring>

#include "cmd_util.h"
#include "libcomm.h"
#include "ra62d2ide.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "wire.h"

namespace {

constexpr int FILE_NAME_MAX = 255;

// Bitmap header fields.
constexpr uint32_t BMP_INFO_SIZE = 40;
constexpr int32_t BMP_WIDTH = BMP_ROW_BYTES * 8;
constexpr uint32_t BMP_IMAGE_SIZE = BMP_ROW_BYTES * SCREEN_ROWS;
constexpr uint32_t BMP_COLOURS = 2;
constexpr int BMP_PALETTE = 54; // white (entry 0), then black (entry 1)

// Concentration table layout.
constexpr int LUT_OFF_CHECKSUM = 0;
constexpr int LUT_OFF_NAME = 4;
constexpr int LUT_OFF_COUNT = 16;
constexpr int LUT_OFF_VALUE = 20;
constexpr int LUT_OFF_CONC = 68;
constexpr int LUT_NAME_MAX = 11; // characters, the terminator follows
constexpr int LUT_INDEX_MAX = 3;
constexpr float LUT_VALUE_MAX = 20000;
constexpr float LUT_CONC_MAX = 1000;
// Code reported when the instrument's table file keeps a size other than
// LUT_SIZE after it was written a second time.
constexpr int LUT_SIZE_MISMATCH = -1;

// Writes the header, the palette and the display rows bottom row first, each
// padded to 16 bytes; the columns right of the display stay white.
void make_screen_bitmap(const unsigned char *screen, unsigned char *bmp) {
    memset(bmp, 0, BMP_FILE_SIZE);
    WireWriter w(bmp, BMP_FILE_SIZE);
    w.bytes(0, "BM", 2);
    w.u32(2, BMP_FILE_SIZE);
    w.u32(10, BMP_HEADER_SIZE);
    w.u32(14, BMP_INFO_SIZE);
    w.i32(18, BMP_WIDTH);
    w.i32(22, SCREEN_ROWS);
    w.u16(26, 1); // planes
    w.u16(28, 1); // bits per pixel
    w.u32(34, BMP_IMAGE_SIZE);
    w.u32(46, BMP_COLOURS);
    const unsigned char white[4] = {0xFF, 0xFF, 0xFF, 0};
    w.bytes(BMP_PALETTE, white, sizeof white);
    for (int row = 0; row < SCREEN_ROWS; row++) {
        const int display_row = SCREEN_ROWS - 1 - row;
        w.bytes(BMP_HEADER_SIZE + row * BMP_ROW_BYTES,
                screen + display_row * SCREEN_ROW_BYTES, SCREEN_ROW_BYTES);
    }
}

// Writes data to a new local file. False when it cannot be created or
// written, a write error that shows only at the close included.
bool store_local(const char *path, const unsigned char *data, size_t size) {
    FilePtr file = open_file(path, "wb");
    if (!file)
        return false;
    const bool written =
        fwrite(data, 1, size, file.get()) == size && fflush(file.get()) == 0;
    return fclose(file.release()) == 0 && written;
}

// As store_local, reporting a failure as "Error writing file:%s!".
bool write_local(const char *path, const unsigned char *data, size_t size) {
    if (store_local(path, data, size))
        return true;
    report_write_error(path);
    return false;
}

// Replaces the table with up to LUT_SIZE bytes of a local file; a read error
// leaves it unchanged.
void load_local_table(const char *path, unsigned char *lut) {
    FilePtr file = open_file(path, "rb");
    if (!file || !read_conc_lut(file.get(), lut))
        log_error("Error loading file.\n");
}

} // namespace

uint32_t conc_lut_checksum(const unsigned char *lut) {
    WireReader r(lut, LUT_SIZE);
    uint32_t sum = 0;
    for (int off = LUT_OFF_NAME; off < LUT_SIZE; off += 4)
        sum ^= r.u32(off);
    return sum;
}

bool read_conc_lut(FILE *file, unsigned char *lut) {
    unsigned char buf[LUT_SIZE];
    size_t n = fread(buf, 1, sizeof buf, file);
    if (ferror(file))
        return false;
    memcpy(lut, buf, n);
    return true;
}

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

namespace {

// Deletes the table's file, creates it empty and appends the table.
int write_table_file(const char *device_file, const unsigned char *lut) {
    int rc = V21_Write_File(id_conn, device_file, V21_OP_DELETE, nullptr, 0, 1);
    if (rc == 0)
        rc = V21_Write_File(id_conn, device_file, V21_OP_CREATE, nullptr, 0, 1);
    if (rc == 0)
        rc = V21_Append_File(id_conn, device_file, lut, LUT_SIZE, 0);
    return rc;
}

// The file must hold exactly one table. Answers 0 when it does, with one
// more full write if the first left another size.
int confirm_table_size(const char *device_file, const unsigned char *lut) {
    for (int attempt = 0;; attempt++) {
        uint32_t size = 0;
        int rc = V21_File_Info(id_conn, device_file, &size, 1);
        if (rc != 0)
            return rc;
        if (size == LUT_SIZE)
            return 0;
        if (attempt > 0)
            return LUT_SIZE_MISMATCH;
        rc = write_table_file(device_file, lut);
        if (rc != 0)
            return rc;
    }
}

} // namespace

int V21_cmd_get_screen(char *, int) {
    if (!require_connected())
        return -1;
    log_write("MAIN", "Capturing screen image...");
    unsigned char screen[V21_SCREEN_BUF] = {};
    const int rc = V21_Get_Screen(id_conn, screen, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_get_screen", rc);
    log_write("MAIN", "Ok.\n");
    char path[FILE_NAME_MAX + 1] = "screen.bmp";
    input_string_msg(path, 0, FILE_NAME_MAX, "Enter file name");
    unsigned char bmp[BMP_FILE_SIZE];
    make_screen_bitmap(screen, bmp);
    return write_local(path, bmp, sizeof bmp) ? 0 : -1;
}

int V21_cmd_set_conc_lut(char *, int) {
    constexpr const char *name = "V21_cmd_set_conc_lut";
    if (!require_connected())
        return -1;
    unsigned char lut[LUT_SIZE] = {};
    int index = 1;
    input_integer_msg(&index, -LUT_INDEX_MAX, LUT_INDEX_MAX, "LUT index");
    if (index == 0)
        return 0;
    const int number = abs(index);
    char device_file[V21_FILE_NAME_SIZE];
    snprintf(device_file, sizeof device_file, "lut/lut%.2d.dat", number);

    int rc;
    if (index < 0) {
        log_write("MAIN", "Deleting lut with index %d.\n", number);
        rc = V21_Write_File(id_conn, device_file, V21_OP_DELETE, nullptr, 0, 1);
        if (rc != 0)
            return cmd_error(name, rc);
    }

    log_write("MAIN", "%s\n", device_file);
    uint32_t got = 0;
    rc = V21_Read_File(id_conn, device_file, lut, 0, LUT_SIZE, &got, 1);
    if (rc != 0) {
        // A failed read means "no table yet" only when the instrument says
        // the file does not exist; a table that exists but could not be
        // read (or an instrument that cannot be asked) is never replaced
        // by a new one.
        uint32_t size = 0;
        const int info = V21_File_Info(id_conn, device_file, &size, 1);
        if (info == 0)
            return cmd_error(name, rc);
        if (info != MXX_FAILED)
            return cmd_error(name, info);
    }
    log_write("MAIN", rc != 0 ? "Creating new.\n" : "Modyfying current.\n");

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
        if (!store_local(path, lut, sizeof lut))
            log_error("Error saving file.\n");
    }

    log_write("MAIN", "Writing LUT...");
    rc = V21_Write_File(id_conn, "lut", V21_OP_MKDIR, nullptr, 0, 1);
    if (rc == 0)
        rc = write_table_file(device_file, lut);
    if (rc == 0)
        rc = confirm_table_size(device_file, lut);
    if (rc != 0)
        return cmd_error(name, rc);
    log_write("MAIN", "Ok.\n");
    return 0;
}
