// Console commands of the instrument: the command table, live-data events,
// device information, parameters, the measurement log, remote measurement,
// screen and concentration tables, log maintenance and card transfer.
#ifndef V21_CMDS_H
#define V21_CMDS_H

#include <cstdint>
#include <cstdio>

#include "conutil.h"
#include "mxx_comm.h"

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

// Record transfer.
constexpr int MEAS_RECORD_SIZE = 4063;
constexpr int RECORD_READ_CHUNK = 450;
int download_record(int id, int slot, unsigned char *buf);
int download_note(int id, int slot, const char *path);
int download_aux(int id, int slot, const char *path);

// Measurement log.
int V21_cmd_get_meas_log(char *cmdline, int arg);
void calc_avg_std_dev(float sum, float sum_sq, int count, FILE *file);

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
// Unpacks the archive read from source onto the card: its directories and
// regular files, each file's size confirmed; archive names it in messages.
class TarSource;
int upload_tar(int id, TarSource &source, const char *archive);

#endif
