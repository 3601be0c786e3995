// Requests that every device of the family understands: version, serial,
// clock, model word, restart, external flash and flashing. Each is one
// transaction and returns its result (0, 1, 255 or a library write error).
#ifndef M17_COMM_H
#define M17_COMM_H

#include <cstdint>

// Request codes; the reply code is the request code + 1000.
constexpr int M17_CODE_GET_FW_VERSION = 8001;
constexpr int M17_CODE_GET_TIME = 8002;
constexpr int M17_CODE_SET_TIME = 8003;
constexpr int M17_CODE_GET_SERIAL = 8007;
constexpr int M17_CODE_GET_MODEL_REV = 8008;
constexpr int M17_CODE_RESTART = 8021;
constexpr int M17_CODE_ERASE_EXT_FLASH = 8100;
constexpr int M17_CODE_READ_EXT_FLASH = 8101;
constexpr int M17_CODE_WRITE_EXT_FLASH = 8102;
constexpr int M17_CODE_FLASH_FW = 8103;
constexpr int M17_CODE_SET_SERIAL = 8104;
constexpr int M17_CODE_SET_MODEL_REV = 8105;

constexpr int M17_TIMEOUT_MS = 1000;
constexpr int M17_SERIAL_TIMEOUT_MS = 100;
constexpr int M17_ERASE_TIMEOUT_MS = 60000;
constexpr int M17_FLASH_TIMEOUT_MS = 30000;

constexpr int M17_SERIAL_LEN = 8;      // characters on the wire
constexpr int M17_FW_VERSION_LEN = 8;  // characters on the wire, at most
constexpr int M17_CLOCK_SIZE = 24;     // six int32
constexpr int M17_EXT_FLASH_READ = 64; // bytes a read-ext-flash answers
constexpr int M17_MAX_BLOCK_DATA = 65531;

// Device type written by the generic identification routine.
constexpr int DEV_TYPE_GENERIC = 3;

// The device clock: local date and time, no time zone.
struct M17_time {
    int32_t year; // four digits
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
};

// buf holds at least 9 bytes; it is cleared first, so it always ends up a
// terminated text (empty after a failure).
int M17_get_fw_version(int id, char *buf, int wait);
int M17_get_time(int id, M17_time *out, int wait);
int M17_set_time(int id, const M17_time *clock, int wait);
// buf holds at least 9 bytes or is null (then the reply is not taken).
int M17_get_serial(int id, char *buf, int wait);
int M17_get_model_rev(int id, uint32_t *value, int wait);
int M17_restart(int id);
// *block_size is the block size the instrument asks for; 0 when its reply
// carries none (an empty payload).
int M17_erase_ext_flash(int id, uint32_t *block_size, int wait);
// buf holds M17_EXT_FLASH_READ bytes.
int M17_read_ext_flash(int id, int block_index, unsigned char *buf, int wait);
int M17_write_ext_flash(int id, int block_index, const unsigned char *data,
                        int size, int wait);
// Written once: after a time-out the instrument may be flashing.
int M17_flash_FW(int id, uint32_t encrypted, uint32_t raw_checksum, int wait);
// Sends the first 8 characters of serial.
int M17_set_serial(int id, const char *serial, int wait);
int M17_set_model_rev(int id, uint32_t value, int wait);

// Identification pair of a generic device (type 3).
int M17_probe(int id, int attempts);
int M17_test_probe(int id, const unsigned char *frame, int *type, int attempts);

#endif
