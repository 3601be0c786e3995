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
int V21_cmd_set_model_rev(char *cmdline, int arg);

// Parameters.
int V21_cmd_get_params(char *cmdline, int arg);
int V21_cmd_set_params(char *cmdline, int arg);
// Reads the parameter record into buf (V21_PARAMS_BUF bytes, cleared first).
// Answers the request's result, or 1 when the reply held less than a whole
// record.
int read_params_record(unsigned char *buf);

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
int wait_for_state(int state);
int wait_for_state_finish(int state);

// Screen capture and concentration tables.
int V21_cmd_get_screen(char *cmdline, int arg);
int V21_cmd_set_conc_lut(char *cmdline, int arg);

// Storage card transfer.
int V21_cmd_upload_tar(char *cmdline, int arg);
int V21_cmd_download_sd(char *cmdline, int arg);

#endif
