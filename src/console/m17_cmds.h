// Console commands over the generic request set: identity, clock, restart,
// firmware containers, upload and flashing. The work itself is done by the
// operations of m17_ops.h.
#ifndef M17_CMDS_H
#define M17_CMDS_H

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "conutil.h"
#include "m17_ops.h"

int M17_cmd_get_fw_version(char *cmdline, int arg);
int M17_cmd_get_serial(char *cmdline, int arg);
// arg is the prefix character of the serial, 0 for none.
int M17_cmd_set_serial(char *cmdline, int prefix);
int M17_cmd_get_time(char *cmdline, int arg);
int M17_cmd_set_time(char *cmdline, int arg);
int M17_cmd_restart(char *cmdline, int arg);
int M17_cmd_hook_events(int id);
int M17_cmd_create_menu(menu_record *menu);

int M17_cmd_create_qfw(char *cmdline, const char *default_bin,
                       const char *default_qfw, const char *device_name,
                       uint32_t image_size, int device_type);
int M17_cmd_upload_qfw(char *cmdline, const char *default_qfw, int device_type,
                       uint32_t image_size);
int M17_cmd_flash_fw(char *cmdline, const char *default_qfw);

#endif
