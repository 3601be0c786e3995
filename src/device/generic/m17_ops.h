// device/generic/: the request set every device of the family answers
// (m17_comm) and its operations (m17_ops); it uses device/ and the layers
// below, never vo62/.
//
// Operations over the generic request set: identity, clock, restart and the
// firmware container, upload and flashing. Each takes its answers as
// arguments, asks nothing, prints the command error line of the console
// command it serves when a request fails, and returns an op_status.
#ifndef M17_OPS_H
#define M17_OPS_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "m17_comm.h"
#include "ops.h"

// The device serial as last read by get serial; emptied at every read.
extern char serial_no[16];

// Each checks the connection first ("Device not connected!", OP_NO_DEVICE).
// version holds M17_FW_VERSION_LEN + 1 bytes.
int M17_op_get_fw_version(char *version);
// Reads the serial into serial_no.
int M17_op_get_serial();
// Writes the first 8 characters of serial; name is the console command
// reported when the request fails.
int M17_op_set_serial(const char *serial, const char *name);
int M17_op_get_time(M17_time *clock);
int M17_op_set_time(const M17_time &clock);
// Restarts the instrument; the link closes.
int M17_op_restart();

// The device clock for the local time now shifted by offset_hours, carried
// into the next or previous day, month and year as the calendar requires.
void M17_clock_from_local(time_t now, int offset_hours, M17_time *clock);
// Hours the clock may be set away from the PC's.
constexpr int M17_CLOCK_OFFSET_MAX = 12;

// Firmware container (QFW): a 72-byte header and the padded image.
constexpr int QFW_HEADER_SIZE = 72;
constexpr int QFW_VERSION_PART_MAX = 255;

struct M17_qfw_create_opts {
    const char *bin_name;
    const char *qfw_name;
    int major = 0;
    int minor = 0;
    bool encrypt = true;
    const char *device_name;
    uint32_t image_size;
    int device_type;
    // Refuse a raw image whose length is not whole 32-bit words.
    bool whole_words = false;
};
int M17_op_create_qfw(const M17_qfw_create_opts &o);
// The same with the arguments in a row; -1 on failure, 0 on success.
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

// Checks a container file as the upload's check does, with the same rules
// (the device type, the image length, the image there, both check sums),
// and prints nothing: OP_OK, or OP_LOCAL_FILE with what is wrong in *why
// ("not a firmware container ...", "truncated at byte N ...", "bad check
// sum ...", "cannot be read: REASON").
int M17_qfw_verify(const char *name, int device_type, uint32_t image_size,
                   std::string *why);

struct M17_qfw_upload_opts {
    const char *qfw_name;
    int device_type;
    uint32_t image_size;
};
// What an upload wrote: the blocks and their bytes, and the block size the
// instrument asked for.
struct M17_qfw_upload_result {
    uint32_t blocks = 0;
    uint32_t bytes = 0;
    uint32_t block_size = 0;
};
// Checks the container, erases the external flash and writes the image
// block by block (progress in blocks). A stop request ends it between
// blocks. *result, when given, receives what was written.
int M17_op_upload_qfw(const M17_qfw_upload_opts &o, Progress &progress,
                      M17_qfw_upload_result *result = nullptr);
// Sends the container's scrambling flag and raw checksum: the instrument
// programs itself from its external flash and the link closes.
int M17_op_flash_fw(const char *qfw_name);

#endif
