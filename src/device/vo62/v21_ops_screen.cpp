// Screen capture into a 1-bit bitmap, and the instrument's concentration
// tables (lut/lut01.dat to lut/lut03.dat): reading, writing and deleting
// them, and their local files.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cmd_util.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

// Bitmap header fields.
constexpr uint32_t BMP_INFO_SIZE = 40;
constexpr int32_t BMP_WIDTH = BMP_ROW_BYTES * 8;
constexpr uint32_t BMP_IMAGE_SIZE = BMP_ROW_BYTES * SCREEN_ROWS;
constexpr uint32_t BMP_COLOURS = 2;
constexpr int BMP_PALETTE = 54; // white (entry 0), then black (entry 1)

// Concentration table layout.
constexpr int LUT_OFF_CHECKSUM = 0;
constexpr int LUT_OFF_NAME = 4;
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

void set_conc_lut_name(unsigned char *lut, const char *name) {
    char field[LUT_NAME_SIZE] = {};
    memcpy(field, name, strnlen(name, LUT_NAME_MAX));
    WireWriter w(lut, LUT_SIZE);
    w.bytes(LUT_OFF_NAME, field, sizeof field);
    w.u32(LUT_OFF_CHECKSUM, conc_lut_checksum(lut));
}

bool V21_store_local(const char *path, const unsigned char *data, size_t size) {
    FilePtr file = open_file(path, "wb");
    if (!file)
        return false;
    const bool written =
        fwrite(data, 1, size, file.get()) == size && fflush(file.get()) == 0;
    // errno keeps the first failure's reason for the caller's report.
    const int err = errno;
    const bool closed = fclose(file.release()) == 0;
    if (!written)
        errno = err;
    return closed && written;
}

int V21_op_write_local(const char *path, const unsigned char *data,
                       size_t size) {
    if (V21_store_local(path, data, size))
        return OP_OK;
    report_write_error(path);
    return OP_LOCAL_FILE;
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

int V21_op_capture_screen(unsigned char *bmp) {
    if (!require_connected())
        return OP_NO_DEVICE;
    op_text("Capturing screen image...");
    unsigned char screen[V21_SCREEN_BUF] = {};
    const int rc = V21_Get_Screen(id_conn, screen, 1);
    if (rc != 0)
        return op_error("V21_cmd_get_screen", rc);
    op_text("Ok.\n");
    make_screen_bitmap(screen, bmp);
    return OP_OK;
}

namespace {

constexpr const char *LUT_NAME = "V21_cmd_set_conc_lut";

void lut_file(int index, char *device_file) {
    snprintf(device_file, V21_FILE_NAME_SIZE, "lut/lut%.2d.dat", index);
}

} // namespace

int V21_op_lut_delete(int index) {
    if (!require_connected())
        return OP_NO_DEVICE;
    char device_file[V21_FILE_NAME_SIZE];
    lut_file(index, device_file);
    op_text("Deleting lut with index %d.\n", index);
    const int rc =
        V21_Write_File(id_conn, device_file, V21_OP_DELETE, nullptr, 0, 1);
    if (rc != 0)
        return op_error(LUT_NAME, rc);
    return OP_OK;
}

int V21_op_lut_read(int index, unsigned char *lut, bool *found) {
    if (!require_connected())
        return OP_NO_DEVICE;
    char device_file[V21_FILE_NAME_SIZE];
    lut_file(index, device_file);
    op_text("%s\n", device_file);
    uint32_t got = 0;
    const int rc =
        V21_Read_File(id_conn, device_file, lut, 0, LUT_SIZE, &got, 1);
    if (rc != 0) {
        // A failed read means "no table yet" only when the instrument says
        // the file does not exist; a table that exists but could not be
        // read (or an instrument that cannot be asked) is never replaced
        // by a new one.
        uint32_t size = 0;
        const int info = V21_File_Info(id_conn, device_file, &size, 1);
        if (info == 0)
            return op_error(LUT_NAME, rc);
        if (info != MXX_FAILED)
            return op_error(LUT_NAME, info);
    }
    *found = rc == 0;
    op_text(rc != 0 ? "Creating new.\n" : "Modyfying current.\n");
    return OP_OK;
}

int V21_op_lut_write(int index, const unsigned char *lut) {
    if (!require_connected())
        return OP_NO_DEVICE;
    char device_file[V21_FILE_NAME_SIZE];
    lut_file(index, device_file);
    op_text("Writing LUT...");
    int rc = V21_Write_File(id_conn, "lut", V21_OP_MKDIR, nullptr, 0, 1);
    if (rc == 0)
        rc = write_table_file(device_file, lut);
    if (rc == 0)
        rc = confirm_table_size(device_file, lut);
    if (rc != 0)
        return op_error(LUT_NAME, rc);
    op_text("Ok.\n");
    return OP_OK;
}
