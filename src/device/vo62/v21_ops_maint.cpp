// Log maintenance: deleting one log slot's files, purging every slot and
// clearing the log in one request.
#include "cmd_util.h"
#include "libcomm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

constexpr int PARAMS_OFF_MAX_STORED_MEAS = 94;
// The log has at most this many slots, whatever the parameter record says.
constexpr int MAX_LOG_SLOTS = 65536;
constexpr uint32_t CLEAR_ALL_LOGS = 255;

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

int V21_op_log_slots(int *slots, const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    unsigned char params[V21_PARAMS_BUF] = {};
    const int rc = V21_Get_Params(id_conn, params, 1);
    if (rc != 0)
        return op_error(name, rc);
    int32_t n =
        WireReader(params, V21_PARAMS_SIZE).i32(PARAMS_OFF_MAX_STORED_MEAS);
    *slots = n < 0 ? 0 : n > MAX_LOG_SLOTS ? MAX_LOG_SLOTS : n;
    return OP_OK;
}

int V21_op_log_entry(int slot, log_entry *entry, const char *name) {
    *entry = log_entry{0, 0};
    if (!require_connected())
        return OP_NO_DEVICE;
    // The page of entries that holds the slot.
    const int first = slot - slot % V21_LOG_ENTRIES_PER_REQ;
    unsigned char page[V21_LOG_ENTRIES_PER_REQ * V21_LOG_ENTRY_SIZE] = {};
    const int rc =
        V21_Get_Meas_Log_Entry_List(id_conn, uint32_t(first), page, 1);
    if (rc != 0)
        return op_error(name, rc);
    const size_t off = size_t(slot - first) * V21_LOG_ENTRY_SIZE;
    WireReader r(page, sizeof page);
    *entry = log_entry{r.u32(off), r.u8(off + 4)};
    return OP_OK;
}

int V21_op_delete_record(int slot) {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = delete_slot_files(
        slot, {"meas/meas%.4d.dat", "notes/rec%.4d.wav", "aux/aux%.4d.dat"});
    if (rc != 0)
        return op_error("V21_cmd_delete_record", rc);
    op_text("Ok.\n");
    return OP_OK;
}

int V21_op_clear_logs() {
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = V21_Clear_Logs(id_conn, CLEAR_ALL_LOGS, 1);
    if (rc != 0)
        return op_error("V21_cmd_clear_logs", rc);
    op_text("Ok.\n");
    return OP_OK;
}

int V21_op_purge(Progress &progress) {
    constexpr const char *name = "V21_cmd_purge";
    int slots = 0;
    const int st = V21_op_log_slots(&slots, name);
    if (st != OP_OK)
        return st;
    op_text("Purging");
    ProgressPhase phase(progress, uint64_t(slots), ProgressUnit::slots);
    for (int i = 0; i < slots; i++) {
        if (op_stop_requested()) {
            log_error("\nStopped: slots 0 to %d purged, %d to %d left as "
                      "they were.\n",
                      i - 1, i, slots - 1);
            return OP_INTERRUPTED;
        }
        const int rc = delete_slot_files(
            i, {"meas/meas%.4d.dat", "meas/%.4d.uid", "notes/rec%.4d.wav"});
        if (rc != 0)
            return op_error(name, rc);
        phase.advance(1);
    }
    op_text("Done.\n");
    return OP_OK;
}
