// Console commands of the instrument: the command table, live-data events,
// device information, parameters, the measurement log, remote measurement,
// screen and concentration tables, log maintenance and card transfer.
#ifndef V21_CMDS_H
#define V21_CMDS_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "conutil.h"
#include "mxx_comm.h"
#include "v21_records.h"

// Command table and events.
int V21_cmd_create_menu(menu_record *menu, int arg);
int V21_cmd_hook_events(int id);
int V21_event_live_data(int id, MXX_conn *ctx, const unsigned char *frame,
                        intptr_t user);

// Identity, clock, restart and firmware: wrappers of the generic commands.
int V21_cmd_get_fw_version(char *cmdline, int arg);
int V21_cmd_get_serial(char *cmdline, int arg);
int V21_cmd_get_time(char *cmdline, int arg);
int V21_cmd_set_time(char *cmdline, int arg);
int V21_cmd_restart(char *cmdline, int arg);
int V21_cmd_create_qfw(char *cmdline, int arg);
int V21_cmd_upload_qfw(char *cmdline, int arg);
int V21_cmd_flash_fw(char *cmdline, int arg);

// Device information.
int V21_cmd_set_serial(char *cmdline, int arg);
int V21_cmd_get_status(char *cmdline, int arg);
int V21_cmd_get_model_rev(char *cmdline, int arg);
// Prints a status record of size bytes (fields beyond it read as 0).
void print_status(const unsigned char *buf, size_t size);
int V21_cmd_set_model_rev(char *cmdline, int arg);

// Parameters.
int V21_cmd_get_params(char *cmdline, int arg);
int V21_cmd_set_params(char *cmdline, int arg);
// Reads the parameter record into buf (V21_PARAMS_BUF bytes, cleared first).
// Answers the request's result, or 1 when the reply held less than a whole
// record.
int read_params_record(unsigned char *buf);
// Prints the listing of a parameter record of size bytes (fields beyond it
// read as 0): the everyday fields, all of them when extended; the same
// lines go to file when one is given.
void print_params(const unsigned char *rec, size_t size, int extended,
                  FILE *file);

// Record transfer.
constexpr int MEAS_RECORD_SIZE = 4063;
constexpr int RECORD_READ_CHUNK = 450;
int download_record(int id, int slot, unsigned char *buf);
int download_note(int id, int slot, const char *path);
int download_aux(int id, int slot, const char *path);

// Measurement log.
int V21_cmd_get_meas_log(char *cmdline, int arg);
// Prints the average and deviation of a statistics group (a line of dashes
// for a single reading, nothing for none), and writes it to file when given.
void calc_avg_std_dev(float sum, float sum_sq, int count, FILE *file);
// The slots of an entry table of n slots in download order: every slot whose
// key is neither 0 nor 0xFFFFFFFF, by key as an unsigned number, equal keys
// by slot index.
std::vector<int> meas_log_download_order(const log_entry *entries, int n);
// Prints a record by its type on the console, with its summary-file text
// when summary is given.
void print_meas_record(const meas_record &rec, FILE *summary);

// Log maintenance.
int V21_cmd_delete_record(char *cmdline, int arg);
int V21_cmd_clear_logs(char *cmdline, int arg);
int V21_cmd_purge(char *cmdline, int arg);
int V21_cmd_memory_usage(char *cmdline, int arg);

// Remote measurement.
int V21_cmd_measure(char *cmdline, int arg);
int V21_cmd_scanner(char *cmdline, int arg);
int V21_cmd_measure_data(char *cmdline, int arg);
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
// Code reported when a wait reaches WAIT_STATE_LIMIT_MS.
constexpr int WAIT_STATE_TIMED_OUT = 255;
// Poll until the instrument reports state (wait_for_state) or a state other
// than state (wait_for_state_finish). Answer 0 when it did; otherwise the
// code of the last failed state request after WAIT_STATE_MAX_FAILURES in a
// row, or WAIT_STATE_TIMED_OUT. A failed request never ends a wait as
// reached. last, when given, receives the last state read.
int wait_for_state(int32_t state, int32_t *last = nullptr);
int wait_for_state_finish(int32_t state, int32_t *last = nullptr);
// The clock of the state waits: milliseconds elapsed from any fixed point,
// and the pause between polls. Null restores the real clock (tests run the
// waits on virtual time).
struct wait_clock {
    long long (*now_ms)();
    void (*sleep_ms)(int ms);
};
void set_wait_clock(const wait_clock *clock);

// Screen capture and concentration tables.
int V21_cmd_get_screen(char *cmdline, int arg);
int V21_cmd_set_conc_lut(char *cmdline, int arg);
// The screen bitmap: a 1-bit, 128 x 81 image of the display.
constexpr int SCREEN_ROWS = 81;
constexpr int SCREEN_ROW_BYTES = 13; // 104 pixels, most significant bit left
constexpr int BMP_ROW_BYTES = 16;    // 128 pixels
constexpr int BMP_HEADER_SIZE = 62;  // file and info header, two colours
constexpr int BMP_FILE_SIZE = BMP_HEADER_SIZE + BMP_ROW_BYTES * SCREEN_ROWS;
// The concentration table, in the instrument's file and in the local one.
constexpr int LUT_SIZE = 116;
constexpr int LUT_RECORDS = 12;
constexpr int LUT_NAME_SIZE = 12;
// XOR of the table's words after the checksum field.
uint32_t conc_lut_checksum(const unsigned char *lut);
// Reads up to LUT_SIZE bytes of a local table file over lut (a shorter file
// replaces only its length); false, with lut unchanged, on a read error.
bool read_conc_lut(FILE *file, unsigned char *lut);
// Asks the table's name and its twelve records, each showing the current
// value, then sets the record count and the checksum.
void edit_conc_lut(unsigned char *lut);

// Storage card transfer.
int V21_cmd_upload_tar(char *cmdline, int arg);
int V21_cmd_download_sd(char *cmdline, int arg);
// Unpacks the archive read from source onto the card: its directories and
// regular files, each file's size confirmed; archive names it in messages.
class TarSource;
int upload_tar(int id, TarSource &source, const char *archive);

#endif
