// "meas log": asks which files to save and downloads the log; and the
// record, note and aux transfers with the console's progress.
#include "cmd_util.h"
#include "console_progress.h"
#include "v21_cmds.h"

namespace {

constexpr unsigned NOTE_DOTS_EVERY = 30; // pieces per progress dot of notes

} // namespace

int download_record(int id, int slot, unsigned char *buf) {
    OffsetProgress offsets;
    return V21_op_download_record(id, slot, buf, offsets);
}

int download_note(int id, int slot, const char *path) {
    DotProgress dots(NOTE_DOTS_EVERY, NOTE_DOTS_EVERY - 1);
    return cmd_result(V21_op_download_note(id, slot, path, dots));
}

int download_aux(int id, int slot, const char *path) {
    DotProgress dots(NOTE_DOTS_EVERY, NOTE_DOTS_EVERY - 1);
    return cmd_result(V21_op_download_aux(id, slot, path, dots));
}

int V21_cmd_get_meas_log(char *, int) {
    if (!require_connected())
        return -1;
    int summary = 1, notes = 0, raw = 0, aux = 0;
    input_yesno_msg(&summary, "Save to file");
    input_yesno_msg(&notes, "Save notes");
    input_yesno_msg(&raw, "Save raw data");
    input_yesno_msg(&aux, "Save aux. data");

    V21_meas_log_opts o;
    o.summary = summary;
    o.notes = notes;
    o.raw = raw;
    o.aux = aux;
    OffsetProgress offsets;
    DotProgress dots(NOTE_DOTS_EVERY, NOTE_DOTS_EVERY - 1);
    o.record_bytes = &offsets;
    o.file_bytes = &dots;
    V21_meas_log_result r;
    const int st = V21_op_get_meas_log(o, &r);
    // A local file that could not be written, or a note or aux data the
    // instrument did not give, is reported, and the download goes on
    // without it.
    const bool all_records =
        st == OP_FAILED && r.side_refused > 0 && r.records == r.total;
    return st == OP_OK || st == OP_LOCAL_FILE || all_records ? 0 : -1;
}
