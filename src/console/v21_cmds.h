// Console commands of the instrument: the command table, device information,
// parameters, the measurement log, remote measurement, screen and concentration
// tables, log maintenance and card transfer.
#ifndef V21_CMDS_H
#define V21_CMDS_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "conutil.h"
#include "v21_ops.h"
#include "v21_records.h"

// Command table.
int V21_cmd_create_menu(menu_record *menu, int arg);

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

// Measurement log.
int V21_cmd_get_meas_log(char *cmdline, int arg);
// The record, note and aux transfers with the console's progress: the
// offset and a dot for every piece of a record, a dot every 30 pieces of a
// note or aux file. Answer 0 or -1.
int download_record(int id, int slot, unsigned char *buf);
int download_note(int id, int slot, const char *path);
int download_aux(int id, int slot, const char *path);

// Log maintenance.
int V21_cmd_delete_record(char *cmdline, int arg);
int V21_cmd_clear_logs(char *cmdline, int arg);
int V21_cmd_purge(char *cmdline, int arg);
int V21_cmd_memory_usage(char *cmdline, int arg);

// Remote measurement.
int V21_cmd_measure(char *cmdline, int arg);
int V21_cmd_scanner(char *cmdline, int arg);
int V21_cmd_measure_data(char *cmdline, int arg);
// The samples of a scan, five to a line, marked ones in brackets.
void print_scan_samples(const meas_record &rec);

// Screen capture and concentration tables.
int V21_cmd_get_screen(char *cmdline, int arg);
int V21_cmd_set_conc_lut(char *cmdline, int arg);
// Asks the table's name and its twelve records, each showing the current
// value, then sets the record count and the checksum.
void edit_conc_lut(unsigned char *lut);

// Storage card transfer.
int V21_cmd_upload_tar(char *cmdline, int arg);
int V21_cmd_download_sd(char *cmdline, int arg);

#endif
