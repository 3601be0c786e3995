// Log maintenance: deleting one log slot's files, purging every slot,
// clearing the log in one request, and the instrument's memory report.
#include "cmd_util.h"
#include "libcomm.h"
#include "ra62d2ide.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "wire.h"

namespace {

constexpr int PARAMS_OFF_MAX_STORED_MEAS = 94;
// The log has at most this many slots, whatever the parameter record says.
constexpr int MAX_LOG_SLOTS = 65536;
constexpr uint32_t CLEAR_ALL_LOGS = 255;
constexpr int PURGE_DOT_EVERY = 20; // slots per progress dot

// Reads the number of log slots from the parameter record.
int read_slot_count(const char *name, int *slots) {
    unsigned char params[V21_PARAMS_BUF] = {};
    const int rc = V21_Get_Params(id_conn, params, 1);
    if (rc != 0)
        return cmd_error(name, rc);
    int32_t n =
        WireReader(params, V21_PARAMS_SIZE).i32(PARAMS_OFF_MAX_STORED_MEAS);
    *slots = n < 0 ? 0 : n > MAX_LOG_SLOTS ? MAX_LOG_SLOTS : n;
    return 0;
}

// Deletes the given files of one slot, in order; answers the first failed
// request's code, or 0.
int delete_slot_files(int slot, std::initializer_list<const char *> formats) {
    for (const char *format : formats) {
        char file[V21_FILE_NAME_SIZE + 16];
        snprintf(file, sizeof file, format, slot);
        const int rc =
            V21_Write_File(id_conn, file, V21_OP_DELETE, nullptr, 0, 1);
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace

int V21_cmd_delete_record(char *, int) {
    constexpr const char *name = "V21_cmd_delete_record";
    if (!require_connected())
        return -1;
    int slots = 0;
    if (read_slot_count(name, &slots) != 0)
        return -1;
    int index = 0;
    input_integer_msg(&index, 0, slots - 1, "Select entry index");
    const int rc = delete_slot_files(
        index, {"meas/meas%.4d.dat", "notes/rec%.4d.wav", "aux/aux%.4d.dat"});
    if (rc != 0)
        return cmd_error(name, rc);
    log_write("MAIN", "Ok.\n");
    return 0;
}

int V21_cmd_clear_logs(char *, int) {
    if (!require_connected())
        return -1;
    const int rc = V21_Clear_Logs(id_conn, CLEAR_ALL_LOGS, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_clear_logs", rc);
    log_write("MAIN", "Ok.\n");
    return 0;
}

int V21_cmd_purge(char *, int) {
    constexpr const char *name = "V21_cmd_purge";
    if (!require_connected())
        return -1;
    int purge = 0;
    input_yesno_msg(&purge, "Purge records");
    if (!purge)
        return 0;
    int slots = 0;
    if (read_slot_count(name, &slots) != 0)
        return -1;
    log_write("MAIN", "Purging");
    for (int i = 0; i < slots; i++) {
        const int rc = delete_slot_files(
            i, {"meas/meas%.4d.dat", "meas/%.4d.uid", "notes/rec%.4d.wav"});
        if (rc != 0)
            return cmd_error(name, rc);
        if (i % PURGE_DOT_EVERY == 0)
            log_append("MAIN", ".");
    }
    log_append("MAIN", "Done.\n");
    return 0;
}

int V21_cmd_memory_usage(char *, int) {
    if (!require_connected())
        return -1;
    uint32_t heap = 0;
    char text[V21_MEM_TEXT_SIZE] = {};
    const int rc = V21_Memory_Usage(id_conn, &heap, text, sizeof text, 1);
    if (rc != 0)
        return cmd_error("V21_cmd_memory_usage", rc);
    log_write("MAIN", "Heap avail:%d bytes\n", static_cast<int>(heap));
    log_write("MAIN", "%s\n", text);
    return 0;
}
