// Record transfer: one measurement record, a slot's voice note or auxiliary
// data, copied from the instrument in read requests of 450 bytes (or of the
// size the caller's piece sizes give).
#include <cstring>

#include "cmd_util.h"
#include "v21_comm.h"
#include "v21_ops.h"

namespace {

// Copies a device file piece by piece into a local file; shared by the note
// and auxiliary-data downloads. A failed request is OP_FAILED, a local file
// that cannot be written OP_LOCAL_FILE, so that a caller tells the two
// apart.
int download_file(int id, const char *device_file, const char *header,
                  const char *name, int slot, const char *path,
                  Progress &progress, V21_Chunks *chunks) {
    uint32_t size = 0;
    int rc = V21_File_Info(id, device_file, &size, 1);
    if (rc != 0)
        return op_error(name, rc);
    op_text(header, slot, static_cast<int>(size));

    FilePtr file = open_file(path, "wb");
    if (!file) {
        report_write_error(path);
        return OP_LOCAL_FILE;
    }
    ProgressPhase phase(progress, size, ProgressUnit::bytes);
    unsigned char chunk[V21_READ_MAX];
    uint32_t offset = 0;
    for (;;) {
        uint32_t count = 0;
        rc = V21_read_piece(id, device_file, chunk, offset, size,
                            RECORD_READ_CHUNK, chunks, &count);
        if (rc != 0) {
            close_written(file, path); // what was copied so far stays
            return op_error(name, rc);
        }
        if (count == 0)
            break;
        if (fwrite(chunk, 1, count, file.get()) != count) {
            close_written(file, path);
            return OP_LOCAL_FILE;
        }
        offset += count;
        phase.advance(count);
    }
    if (!close_written(file, path))
        return OP_LOCAL_FILE;
    op_text("Ok\n");
    return OP_OK;
}

} // namespace

namespace {

// Reads the slot's record file from *offset on into buf until *offset
// reaches to, advancing *offset by what came.
int read_record(int id, int slot, unsigned char *buf, uint32_t *offset_io,
                uint32_t to, ProgressPhase &phase, V21_Chunks *chunks) {
    char device_file[V21_FILE_NAME_SIZE + 16];
    if (slot == -1)
        snprintf(device_file, sizeof device_file, "meas/last.dat");
    else
        snprintf(device_file, sizeof device_file, "meas/meas%.4d.dat", slot);
    unsigned char chunk[V21_READ_MAX];
    uint32_t &offset = *offset_io;
    while (offset < to) {
        uint32_t count = 0;
        int rc =
            V21_read_piece(id, device_file, chunk, offset, MEAS_RECORD_SIZE,
                           RECORD_READ_CHUNK, chunks, &count);
        if (rc != 0)
            return cmd_error("download_record", rc);
        if (count == 0)
            return -1; // the file ended before a whole record
        // Bytes past the end of the record are dropped.
        uint32_t keep = MEAS_RECORD_SIZE - offset;
        memcpy(buf + offset, chunk, count < keep ? count : keep);
        offset += count;
        phase.advance(count);
    }
    return 0;
}

} // namespace

int V21_op_download_record(int id, int slot, unsigned char *buf,
                           Progress &progress, V21_Chunks *chunks) {
    op_text("Downloading record[%d,%d]", slot, MEAS_RECORD_SIZE);
    ProgressPhase phase(progress, MEAS_RECORD_SIZE, ProgressUnit::bytes);
    uint32_t offset = 0;
    if (read_record(id, slot, buf, &offset, MEAS_RECORD_SIZE, phase, chunks) !=
        0)
        return -1;
    op_text("Ok\n");
    return 0;
}

int V21_op_read_record_part(int id, int slot, unsigned char *buf,
                            uint32_t *offset, uint32_t to, Progress &progress,
                            V21_Chunks *chunks) {
    if (to > MEAS_RECORD_SIZE)
        to = MEAS_RECORD_SIZE;
    ProgressPhase phase(progress, to > *offset ? to - *offset : 0,
                        ProgressUnit::bytes);
    return read_record(id, slot, buf, offset, to, phase, chunks);
}

int V21_op_download_note(int id, int slot, const char *path, Progress &progress,
                         V21_Chunks *chunks) {
    char device_file[V21_FILE_NAME_SIZE + 16];
    snprintf(device_file, sizeof device_file, "notes/rec%.4d.wav", slot);
    return download_file(id, device_file, "Downloading note[%d,%d]",
                         "download_note", slot, path, progress, chunks);
}

int V21_op_download_aux(int id, int slot, const char *path, Progress &progress,
                        V21_Chunks *chunks) {
    char device_file[V21_FILE_NAME_SIZE + 16];
    snprintf(device_file, sizeof device_file, "aux/aux%.4d.dat", slot);
    return download_file(id, device_file, "Downloading aux. data[%d,%d]",
                         "download_aux", slot, path, progress, chunks);
}
