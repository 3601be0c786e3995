// Log maintenance commands: delete a record, clear the log, purge every
// slot, and the instrument's memory report.
#include "cmd_util.h"
#include "console_progress.h"
#include "libcomm.h"
#include "v21_cmds.h"

namespace {

constexpr unsigned PURGE_DOT_EVERY = 20; // slots per progress dot

} // namespace

int V21_cmd_delete_record(char *, int) {
    constexpr const char *name = "V21_cmd_delete_record";
    if (!require_connected())
        return -1;
    int slots = 0;
    if (V21_op_log_slots(&slots, name) != OP_OK)
        return -1;
    int index = 0;
    input_integer_msg(&index, 0, slots - 1, "Select entry index");
    return cmd_result(V21_op_delete_record(index));
}

int V21_cmd_clear_logs(char *, int) {
    return cmd_result(V21_op_clear_logs());
}

int V21_cmd_purge(char *, int) {
    if (!require_connected())
        return -1;
    int purge = 0;
    input_yesno_msg(&purge, "Purge records");
    if (!purge)
        return 0;
    DotProgress dots(PURGE_DOT_EVERY, 0);
    return cmd_result(V21_op_purge(dots));
}

int V21_cmd_memory_usage(char *, int) {
    uint32_t heap = 0;
    char text[V21_MEM_TEXT_SIZE] = {};
    if (V21_op_memory_usage(&heap, text, sizeof text) != OP_OK)
        return -1;
    log_write("MAIN", "Heap avail:%d bytes\n", static_cast<int>(heap));
    log_write("MAIN", "%s\n", text);
    return 0;
}
