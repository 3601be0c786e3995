// Console commands over the generic request set: identity, clock, restart,
// firmware containers, upload and flashing.
#ifndef M17_CMDS_H
#define M17_CMDS_H

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "conutil.h"

// The device serial as last read by get serial; emptied at every read.
extern char serial_no[16];

int M17_cmd_get_fw_version(char *cmdline, int arg);
int M17_cmd_get_serial(char *cmdline, int arg);
// arg is the prefix character of the serial, 0 for none.
int M17_cmd_set_serial(char *cmdline, int prefix);
int M17_cmd_get_time(char *cmdline, int arg);
int M17_cmd_set_time(char *cmdline, int arg);
int M17_cmd_restart(char *cmdline, int arg);
int M17_cmd_hook_events(int id);

struct M17_time;
// The device clock for the local time now shifted by offset_hours, carried
// into the next or previous day, month and year as the calendar requires.
void M17_clock_from_local(time_t now, int offset_hours, M17_time *clock);
int M17_cmd_create_menu(menu_record *menu);

// Firmware container (QFW): a 72-byte header and the padded image.
constexpr int QFW_HEADER_SIZE = 72;

int M17_cmd_create_qfw(char *cmdline, const char *default_bin,
                       const char *default_qfw, const char *device_name,
                       uint32_t image_size, int device_type);
int M17_create_qfw(const char *bin_name, const char *qfw_name, int major,
                   int minor, int encrypt, const char *device_name,
                   uint32_t image_size, int device_type);
// XOR of the image's 32-bit little-endian words (a tail shorter than a word
// is not counted).
uint32_t M17_qfw_checksum(const unsigned char *image, uint32_t size);
// XORs word j of the image with j*j*j*j (32-bit wrapping); applying it twice
// restores the image.
void M17_qfw_scramble(unsigned char *image, uint32_t size);
// Reads and checks a container from f (its name shown in messages): the
// header, the device type, the image length, the image itself into image
// (image_size bytes, filled with 0xFF beforehand by the caller), then the
// two checksums over the whole image_size, printing what it finds. Answers
// 0 with the scrambling flag in *encrypted, or -1 after the message of the
// first check that failed.
int M17_check_qfw(FILE *f, const char *name, int device_type,
                  uint32_t image_size, unsigned char *image,
                  uint32_t *encrypted);
int M17_cmd_upload_qfw(char *cmdline, const char *default_qfw, int device_type,
                       uint32_t image_size);
int M17_cmd_flash_fw(char *cmdline, const char *default_qfw);

#endif
