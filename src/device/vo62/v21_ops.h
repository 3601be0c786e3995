// device/vo62/: the instrument's own request set (v21_comm), its record
// decoding (v21_records), its live-data event and its operations (v21_ops);
// it uses generic/, device/ and the layers below.
//
// Operations of the instrument: identity, status, model, parameters, the
// measurement log and its maintenance, storage card transfer, screen
// capture, concentration tables and remote measurement.
//
// Each takes its answers as arguments, asks nothing, checks the connection
// first (OP_NO_DEVICE after "Device not connected!"), prints the command
// error line of the console command it serves when a request fails, and
// returns an op_status. What the console prints while it works goes through
// op_text, so the command line can leave it out.
#ifndef V21_OPS_H
#define V21_OPS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "m17_ops.h"
#include "mxx_comm.h"
#include "ops.h"
#include "v21_comm.h"
#include "v21_records.h"

// The instrument's firmware: image file and container names, the device
// name and type written into a container, and the fixed image size.
constexpr char V21_FW_BIN_NAME[] = "de62d2.bin";
constexpr char V21_FW_QFW_NAME[] = "de62d2.qfw";
constexpr char V21_FW_DEVICE_NAME[] = "VO-62V2";
constexpr uint32_t V21_FW_IMAGE_SIZE = 0x7F000;
constexpr int V21_FW_DEVICE_TYPE = 10;

// ---- Identity, status, model, memory -----------------------------------

// Reads the serial; tail receives its last four characters ("0000" when it
// is not eight long) and unset whether they read "XXXX" (set serial works
// only then). name is the console command reported on failure.
int V21_op_read_serial_tail(char tail[5], bool *unset, const char *name);
// Stores "A000" followed by the four characters of tail.
int V21_op_set_serial(const char *tail);

// buf holds V21_STATUS_SIZE bytes.
int V21_op_get_status(unsigned char *buf);
struct V21_status {
    uint32_t error;
    int32_t bat_voltage_mv;
    int bat_percent;
    int contrast;
    int bt_status;
    int gps_status;
    uint32_t flash_size_bytes;
};
V21_status V21_decode_status(const unsigned char *buf, size_t size);

// The model options: the bit, the name the command line takes, the label
// "set model" asks, and the line "get model" prints when the bit is set.
struct V21_model_option {
    uint32_t bit;
    const char *key;
    const char *label;
    const char *line;
};
// In the order "set model" asks them.
extern const V21_model_option V21_model_options[6];
// In the order "get model" lists them.
extern const V21_model_option *const V21_model_listing[6];
int V21_op_get_model(uint32_t *model, const char *name);
int V21_op_set_model(uint32_t model);

// heap receives the free heap, text (text_size bytes) the memory report.
int V21_op_memory_usage(uint32_t *heap, char *text, int text_size);

// ---- Parameters ----------------------------------------------------------

// Reads the parameter record into buf (V21_PARAMS_BUF bytes, cleared
// first). Answers the request's result, or 1 when the reply held less than
// a whole record.
int read_params_record(unsigned char *buf);
// The same as an operation; name is the console command reported.
int V21_op_get_params(unsigned char *buf, const char *name);
// Writes the record back (the host-write flag set).
int V21_op_set_params(unsigned char *buf);
// Prints the listing of a parameter record of size bytes (fields beyond it
// read as 0): the everyday fields, all of them when extended; the same
// lines go to file when one is given.
void print_params(const unsigned char *rec, size_t size, int extended,
                  FILE *file);
// The lines of the listing as one text.
std::string V21_params_text(const unsigned char *rec, size_t size,
                            bool extended);
// One listed field: its name as the listing prints it ("Params.contrast")
// and its value as text.
struct V21_param_text {
    std::string name;
    std::string value;
    bool extended;
};
std::vector<V21_param_text> V21_params_listing(const unsigned char *rec,
                                               size_t size);

// A field "set params" asks, in the order it asks them.
enum class V21_param_kind { u8, u16, i32, f32, text };
struct V21_param_field {
    std::string name;  // as the listing prints it
    std::string label; // as "set params" asks it
    V21_param_kind kind;
    size_t offset;
    int low, high; // integers only
    bool extended;
};
const std::vector<V21_param_field> &V21_param_fields();
// Fields the command line sets that "set params" never asks: gps_pin (up to
// eight printable characters).
const std::vector<V21_param_field> &V21_param_extra_fields();
// The field of a name as the listing prints it, with or without "Params.",
// of either list; null when there is none.
const V21_param_field *V21_find_param(const std::string &name);
// A value for a field: an integer within the field's range, or for a float
// field any number. Answers false with why in *why.
struct V21_param_value {
    const V21_param_field *field;
    int64_t integer;
    float real;
    std::string text;
};
bool V21_parse_param(const V21_param_field &f, const std::string &text,
                     V21_param_value *value, std::string *why);
// Stores a checked value into the record. A text equal to the one stored
// leaves the field's bytes as they are (also those after its end).
void V21_apply_param(unsigned char *rec, const V21_param_value &v);
// Every listed field's value as stored: its name as listed without
// "Params.", its kind (the hexadecimal rows are integers) and its value.
struct V21_param_stored {
    std::string name;
    V21_param_kind kind;
    int64_t integer;
    float real;
    std::string text;
    bool extended;
};
std::vector<V21_param_stored> V21_params_stored(const unsigned char *rec,
                                                size_t size);

// ---- Piece sizes of the file transfers -----------------------------------

// How many bytes the transfers of the card and the log ask for in one read
// and send in one append. Each transfer has an interactive size, the one
// the console's command has always used (its dots and percentages count
// those pieces): 512 for the card image, 450 for records, notes and aux
// data, 128 for the appends of an upload. The command line asks for bulk
// sizes instead, up to what one request carries.
//
// A bulk size that the instrument does not serve falls back: a bulk read or
// append answered with the failure reply, a bulk read that gives 0 bytes
// below the file's known size, or fewer than it asked before the file's
// end. The bytes that came stay valid (the next read starts where the last
// one ended); the piece is asked for again at the interactive size, and
// every later transfer of the same object (one per connection) uses the
// interactive sizes. The object says so once through on_reduced.
class V21_Chunks {
  public:
    // Every transfer at its interactive size.
    V21_Chunks() = default;
    // Reads of up to read bytes and appends of up to append bytes (each at
    // most what a request carries, V21_READ_MAX and V21_WRITE_MAX; 0: the
    // interactive size).
    V21_Chunks(uint32_t read, uint32_t append);
    // The most one request carries.
    static V21_Chunks bulk() { return V21_Chunks(V21_READ_MAX, V21_WRITE_MAX); }

    // The bytes of a read, or of an append, of a transfer whose interactive
    // size is interactive.
    uint32_t read_size(uint32_t interactive) const;
    uint32_t append_size(uint32_t interactive) const;
    // Falls back to the interactive sizes; why names the request that was
    // not served. Only the first call reports.
    void reduce(const std::string &why);
    bool reduced() const { return reduced_; }
    // Told once, when the sizes fall back.
    void (*on_reduced)(const std::string &why, void *user) = nullptr;
    void *user = nullptr;

  private:
    uint32_t read_ = 0, append_ = 0;
    bool reduced_ = false;
};

// Reads the piece of device_file at offset into buf (V21_READ_MAX bytes) at
// the size chunks gives a transfer whose interactive size is interactive
// (chunks null: that size). size is the file's size as far as it is known
// (0: not known), for telling a bulk read that stopped short from the end
// of the file. Answers the request's result; *count receives the bytes
// that came.
int V21_read_piece(int id, const char *device_file, unsigned char *buf,
                   uint32_t offset, uint32_t size, uint32_t interactive,
                   V21_Chunks *chunks, uint32_t *count);

// ---- Measurement log -----------------------------------------------------

constexpr int RECORD_READ_CHUNK = 450;
// The record, note and aux transfers read in pieces of RECORD_READ_CHUNK
// bytes, or of the size chunks gives when it is given.
//
// Reads one record from slot (-1: the last measurement) into buf, reporting
// its bytes to progress. Answers 0 or -1.
int V21_op_download_record(int id, int slot, unsigned char *buf,
                           Progress &progress, V21_Chunks *chunks = nullptr);
// Reads a slot's record from *offset on until *offset reaches to (at most
// MEAS_RECORD_SIZE) into buf, which holds the whole record, without
// narration: the first read of a download alone, or the rest after it.
// *offset advances by what came. Answers 0, -1 after "Command
// download_record error(code=N)!", or -1 when the file ends early.
int V21_op_read_record_part(int id, int slot, unsigned char *buf,
                            uint32_t *offset, uint32_t to, Progress &progress,
                            V21_Chunks *chunks = nullptr);
// Copies a slot's voice note or aux data into a local file, reporting its
// bytes to progress. Answers OP_OK, OP_FAILED after the command error line
// of a failed request, or OP_LOCAL_FILE when the local file could not be
// written.
int V21_op_download_note(int id, int slot, const char *path, Progress &progress,
                         V21_Chunks *chunks = nullptr);
int V21_op_download_aux(int id, int slot, const char *path, Progress &progress,
                        V21_Chunks *chunks = nullptr);

struct V21_meas_log_opts {
    bool summary = true;
    bool notes = false;
    bool raw = false;
    bool aux = false;
    // The directory of the files; empty: "kappa_" and the serial's tail,
    // made when missing (a failure shows at the files). A directory given
    // here must exist or be made, or nothing is downloaded.
    std::string dir;
    // Whether the slot-table dump "aaa" is written to the working directory.
    bool dump = true;
    // Whether the first local file that cannot be written ends the download
    // (OP_LOCAL_FILE, the records before it saved); otherwise it is counted
    // and the download goes on, as the console's does.
    bool stop_at_file_error = false;
    Progress *records = nullptr;      // records downloaded of all
    Progress *record_bytes = nullptr; // the bytes of each record
    Progress *file_bytes = nullptr;   // the bytes of each note and aux file
    // The piece sizes of the record, note and aux reads (null: the
    // console's).
    V21_Chunks *chunks = nullptr;
};
struct V21_meas_log_result {
    int records = 0;      // downloaded (with their files, when stopped)
    int total = 0;        // to download
    std::string dir;      // where the files went ("" when none was saved)
    int files_failed = 0; // local files that could not be written
    int side_refused = 0; // notes and aux data the instrument did not give
};
// OP_FAILED when a request failed, also one for a note or aux data after
// which the download went on; otherwise OP_LOCAL_FILE when every record came
// but a local file failed.
int V21_op_get_meas_log(const V21_meas_log_opts &o, V21_meas_log_result *r);
// The slots of an entry table of n slots in download order: every slot whose
// key is neither 0 nor 0xFFFFFFFF, by key as an unsigned number, equal keys
// by slot index.
std::vector<int> meas_log_download_order(const log_entry *entries, int n);
// Prints the average and deviation of a statistics group (a line of dashes
// for a single reading, nothing for none), and writes it to file when given.
void calc_avg_std_dev(float sum, float sum_sq, int count, FILE *file);
// Prints a record by its type on the console, with its summary-file text
// when summary is given.
void print_meas_record(const meas_record &rec, FILE *summary);

// The files of a log download in its directory (the record number fills
// in the side files' names), and the flags of a slot's entry.
constexpr char MEAS_LOG_SUMMARY_FILE[] = "kappa.dat";
constexpr char MEAS_LOG_RAW_FORMAT[] = "data%.8d.dat";
constexpr char MEAS_LOG_NOTE_FORMAT[] = "rec%.8d.wav";
constexpr char MEAS_LOG_AUX_FORMAT[] = "aux%.8d.dat";
constexpr uint8_t LOG_ENTRY_NOTE = 1u << 0;
constexpr uint8_t LOG_ENTRY_AUX = 1u << 1;

// Reads the number of log slots from the parameter record (limited to
// MEAS_LOG_MAX_SLOTS) and the entry table of those slots, 32 entries per
// request, narrated as "ml" does. Answers 0, or -1 after the command error
// line of "ml".
int V21_op_read_log_table(std::vector<log_entry> &entries);
// The directory "ml" writes into: "kappa_" and the serial last read
// (serial_no) behind its first four characters, made safe for a file name.
// False, after the command error line of "ml", for a serial without them.
bool meas_log_default_dir(std::string *dir);

// The listing and summary file of a log download: each record printed on
// the console and, when a file is given, its summary text and GPS text,
// with the statistics of each group of consecutive readings; fed the
// records in download order. "ml" and the log archive share it, so their
// summary files are the same bytes for the same records.
class MeasLogSummary {
  public:
    explicit MeasLogSummary(FILE *file) : file_(file) {}
    void add(const meas_record &rec);
    // Prints the statistics of the last group.
    void finish();

  private:
    void close_group();

    FILE *file_;
    // The open group's sums, in single precision as the instrument's
    // software keeps them.
    float sum_s_ = 0, sq_s_ = 0, sum_c_ = 0, sq_c_ = 0;
    int count_ = 0;
    int32_t prev_group_ = -1;
};

// ---- Log maintenance -----------------------------------------------------

// The number of log slots from the parameter record (0 to 65,536).
int V21_op_log_slots(int *slots, const char *name);
// The entry of one slot (slot below the log's slot count); name is the
// console command reported when the request fails.
int V21_op_log_entry(int slot, log_entry *entry, const char *name);
int V21_op_delete_record(int slot);
int V21_op_clear_logs();
// Deletes every slot's record, key and note (progress in slots).
int V21_op_purge(Progress &progress);

// ---- Storage card --------------------------------------------------------

// The size the instrument reports for the card's image.
int V21_op_card_image_size(uint32_t *size);
// Copies the card image into path (progress in bytes) in reads of the size
// chunks gives (null: 512 bytes); *copied receives the bytes the file
// holds. With resume an existing file is continued from its size rounded
// down to a whole 512-byte read, after the 512 bytes before that point came
// again equal to the file's bytes (OP_LOCAL_FILE after one line when they
// did not, or when the file is longer than the card's image, the file
// untouched); otherwise an existing file is replaced.
int V21_op_download_sd(const char *path, Progress &progress,
                       uint64_t *copied = nullptr, bool resume = false,
                       V21_Chunks *chunks = nullptr);
// What an upload put on the card, and the entries it passed over with the
// reason (paths too long for the card, empty files, links and devices).
struct V21_skipped_entry {
    std::string path;
    std::string reason;
};
struct V21_upload_result {
    int files = 0;
    int directories = 0;
    uint64_t bytes = 0; // the files' data
    std::vector<V21_skipped_entry> skipped;
};
// Unpacks a tar archive onto the card (progress in bytes of the archive), in
// appends of the size chunks gives (null: 128 bytes); *result, when given,
// receives what was sent and what was passed over.
int V21_op_upload_tar(const char *archive, Progress &progress,
                      V21_upload_result *result = nullptr,
                      V21_Chunks *chunks = nullptr);
class TarSource;
// Unpacks the archive read from source onto the card: its directories and
// regular files, each file's size confirmed; archive names it in messages.
// Answers 0 or -1.
int upload_tar(int id, TarSource &source, const char *archive);

// ---- Screen and concentration tables -------------------------------------

// The screen bitmap: a 1-bit, 128 x 81 image of the display.
constexpr int SCREEN_ROWS = 81;
constexpr int SCREEN_ROW_BYTES = 13; // 104 pixels, most significant bit left
constexpr int BMP_ROW_BYTES = 16;    // 128 pixels
constexpr int BMP_HEADER_SIZE = 62;  // file and info header, two colours
constexpr int BMP_FILE_SIZE = BMP_HEADER_SIZE + BMP_ROW_BYTES * SCREEN_ROWS;
// Captures the screen into bmp (BMP_FILE_SIZE bytes).
int V21_op_capture_screen(unsigned char *bmp);
// Writes data to a new local file; false when it cannot be created or
// written, a write error that shows only at the close included.
bool V21_store_local(const char *path, const unsigned char *data, size_t size);
// The same as an operation: OP_LOCAL_FILE after "Error writing file:NAME!".
int V21_op_write_local(const char *path, const unsigned char *data,
                       size_t size);

// The concentration table, in the instrument's file and in the local one.
constexpr int LUT_SIZE = 116;
constexpr int LUT_RECORDS = 12;
constexpr int LUT_NAME_SIZE = 12;
constexpr int LUT_NAME_MAX = 11; // characters, the terminator follows
constexpr int LUT_INDEX_MAX = 3;
// XOR of the table's words after the checksum field.
uint32_t conc_lut_checksum(const unsigned char *lut);
// Reads up to LUT_SIZE bytes of a local table file over lut (a shorter file
// replaces only its length); false, with lut unchanged, on a read error.
bool read_conc_lut(FILE *file, unsigned char *lut);
// Sets the table's name (at most LUT_NAME_MAX characters) and its checksum.
void set_conc_lut_name(unsigned char *lut, const char *name);
// Deletes table index (1 to 3) on the instrument.
int V21_op_lut_delete(int index);
// Reads table index into lut; *found tells whether the instrument has it.
// A table that exists but cannot be read fails (never taken for none).
int V21_op_lut_read(int index, unsigned char *lut, bool *found);
// Writes table index: makes "lut", deletes, creates, appends, and checks
// the file's size.
int V21_op_lut_write(int index, const unsigned char *lut);

// ---- Remote measurement --------------------------------------------------

// Instrument states and events of remote measurement.
constexpr uint32_t STATE_REMOTE = 25;   // requested to take over the keys
constexpr int32_t STATE_READY = 2;      // reached after STATE_REMOTE
constexpr int32_t STATE_MEASURING = 26; // while a measurement runs
constexpr int32_t STATE_SCANNING = 27;  // while a scan runs
constexpr uint32_t EVENT_TRIGGER = 0x2001;
constexpr uint32_t EVENT_CANCEL = 0x2002;
constexpr uint32_t EVENT_MODE = 0x4001; // once, while starting up
// Bounds of the state waits: a pause between polls, the failed state
// requests in a row after which the instrument counts as lost, and the time
// after which a wait gives up (as long as the longest request, clearing the
// log, may take: longer than any measurement or scan stop).
constexpr int WAIT_STATE_POLL_MS = 100;
constexpr int WAIT_STATE_MAX_FAILURES = 5;
constexpr int WAIT_STATE_LIMIT_MS = 300000;
// Code reported when a wait reaches its limit.
constexpr int WAIT_STATE_TIMED_OUT = 255;
// Poll until the instrument reports state (wait_for_state) or a state other
// than state (wait_for_state_finish). Answer 0 when it did; otherwise the
// code of the last failed state request after WAIT_STATE_MAX_FAILURES in a
// row, or WAIT_STATE_TIMED_OUT. A failed request never ends a wait as
// reached. last, when given, receives the last state read.
int wait_for_state(int32_t state, int32_t *last = nullptr);
int wait_for_state_finish(int32_t state, int32_t *last = nullptr,
                          int limit_ms = WAIT_STATE_LIMIT_MS);
// The clock of the state waits: milliseconds elapsed from any fixed point,
// and the pause between polls. Null restores the real clock (tests run the
// waits on virtual time).
struct wait_clock {
    long long (*now_ms)();
    void (*sleep_ms)(int ms);
};
void set_wait_clock(const wait_clock *clock);

// The last measurement the instrument held before a measurement or scan
// was triggered: the result must differ from it to be reported.
struct V21_remote_before {
    bool had_last = false; // false: the instrument had none
    meas_record last{};    // its first read, decoded
};
// Takes over the instrument, reads its last measurement as it is now into
// *before, and opens the single measurement (or the scanner): afterwards
// one trigger measures (or starts marking).
int V21_op_remote_start(bool scanner, const char *name,
                        V21_remote_before *before);
// Sends a trigger or a cancel event.
int V21_op_remote_event(bool cancel, const char *name);
// Waits until the measurement (or scan) has ended, up to limit_ms, reads its
// record (its bytes reported to progress) and proves it new: a record with
// the number, counter and time of the one before is the old result, not
// reported (OP_FAILED after one line saying so). With timed_out given, a
// wait that reaches limit_ms sets it and answers OP_FAILED without a line,
// for the caller to say so in its own words.
int V21_op_remote_result(bool scanner, const V21_remote_before &before,
                         meas_record *rec, const char *name, int limit_ms,
                         Progress &bytes, bool *timed_out = nullptr);
// The instrument's state, read and set (remote operation leaves it in
// STATE_READY; the command line puts back the state it found).
int V21_op_get_state(int32_t *state, const char *name);
int V21_op_set_state(int32_t state, const char *name);
// Hooks the live-data event on connection id: the reports of a running
// measurement or scan, printed through op_event_text as they arrive.
int V21_hook_events(int id);
int V21_event_live_data(int id, MXX_conn *ctx, const unsigned char *frame,
                        intptr_t user);

#endif
