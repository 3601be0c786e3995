// Requests that every device of the family understands. Texts are cleared
// before sending, so a failed or oversized reply leaves an empty text; values
// are decoded from the reply and stored only when the reply holds them whole.
#include "m17_comm.h"

#include <cstring>
#include <vector>

#include "mxx_comm.h"
#include "mxx_request.h"
#include "wire.h"

namespace {

using namespace mxx_request;

constexpr int TEXT_BUF = 9; // eight characters and the terminator
constexpr int BLOCK_NUMBER_SIZE = 2;
constexpr int FLASH_FW_SIZE = 8;

} // namespace

int M17_get_fw_version(int id, char *buf, int wait) {
    // Nine bytes, not eight: an eight-character version stays terminated.
    if (buf != nullptr)
        memset(buf, 0, TEXT_BUF);
    return request(id, M17_CODE_GET_FW_VERSION, nullptr, 0, buf,
                   M17_FW_VERSION_LEN, nullptr, M17_TIMEOUT_MS, wait);
}

int M17_get_time(int id, M17_time *out, int wait) {
    unsigned char reply[M17_CLOCK_SIZE];
    int got = 0;
    const int rc = request(id, M17_CODE_GET_TIME, nullptr, 0, reply,
                           sizeof reply, &got, M17_TIMEOUT_MS, wait);
    if (rc != MXX_OK || !wait)
        return rc;
    if (got < M17_CLOCK_SIZE)
        return MXX_FAILED;
    if (out != nullptr) {
        WireReader r(reply, sizeof reply);
        out->year = r.i32(0);
        out->month = r.i32(4);
        out->day = r.i32(8);
        out->hour = r.i32(12);
        out->minute = r.i32(16);
        out->second = r.i32(20);
    }
    return rc;
}

int M17_set_time(int id, const M17_time *clock, int wait) {
    if (clock == nullptr)
        return COMM_ERR_ARG; // never send an invented clock
    unsigned char req[M17_CLOCK_SIZE];
    WireWriter w(req, sizeof req);
    w.i32(0, clock->year);
    w.i32(4, clock->month);
    w.i32(8, clock->day);
    w.i32(12, clock->hour);
    w.i32(16, clock->minute);
    w.i32(20, clock->second);
    return request(id, M17_CODE_SET_TIME, req, sizeof req, nullptr, 0, nullptr,
                   M17_TIMEOUT_MS, wait);
}

int M17_get_serial(int id, char *buf, int wait) {
    if (buf != nullptr)
        memset(buf, 0, TEXT_BUF);
    return request(id, M17_CODE_GET_SERIAL, nullptr, 0, buf, M17_SERIAL_LEN,
                   nullptr, M17_SERIAL_TIMEOUT_MS, wait);
}

int M17_get_model_rev(int id, uint32_t *value, int wait) {
    return request_u32(id, M17_CODE_GET_MODEL_REV, value, M17_TIMEOUT_MS, wait);
}

int M17_restart(int id) {
    return request(id, M17_CODE_RESTART, nullptr, 0, nullptr, 0, nullptr,
                   M17_TIMEOUT_MS, 0);
}

int M17_erase_ext_flash(int id, uint32_t *block_size, int wait) {
    unsigned char reply[U32_SIZE];
    int got = 0;
    const int rc = request(id, M17_CODE_ERASE_EXT_FLASH, nullptr, 0, reply,
                           sizeof reply, &got, M17_ERASE_TIMEOUT_MS, wait);
    if (rc != MXX_OK || !wait)
        return rc;
    // An instrument that reports no block size answers with an empty
    // payload: block size 0, which the upload takes as 64-byte blocks. A
    // value cut short is still a failure.
    if (got != 0 && got < U32_SIZE)
        return MXX_FAILED;
    if (block_size != nullptr)
        *block_size = got == 0 ? 0 : WireReader(reply, sizeof reply).u32(0);
    return rc;
}

int M17_read_ext_flash(int id, int block_index, unsigned char *buf, int wait) {
    unsigned char req[BLOCK_NUMBER_SIZE];
    WireWriter(req, sizeof req).u16(0, static_cast<uint16_t>(block_index));
    return request(id, M17_CODE_READ_EXT_FLASH, req, sizeof req, buf,
                   M17_EXT_FLASH_READ, nullptr, M17_TIMEOUT_MS, wait);
}

int M17_write_ext_flash(int id, int block_index, const unsigned char *data,
                        int size, int wait) {
    // An impossible size is a caller's error: the transaction's size check
    // reports it and stops the program before anything is built.
    if (size < 0 || size > M17_MAX_BLOCK_DATA)
        return request(id, M17_CODE_WRITE_EXT_FLASH, nullptr, -1, nullptr, 0,
                       nullptr, M17_TIMEOUT_MS, wait);
    const size_t n = static_cast<size_t>(size);
    std::vector<unsigned char> req(BLOCK_NUMBER_SIZE + n);
    WireWriter w(req.data(), req.size());
    w.u16(0, static_cast<uint16_t>(block_index));
    if (data != nullptr && n > 0)
        w.bytes(BLOCK_NUMBER_SIZE, data, n);
    return request(id, M17_CODE_WRITE_EXT_FLASH, req.data(),
                   static_cast<int>(req.size()), nullptr, 0, nullptr,
                   M17_TIMEOUT_MS, wait);
}

int M17_flash_FW(int id, uint32_t encrypted, uint32_t raw_checksum, int wait) {
    unsigned char req[FLASH_FW_SIZE];
    WireWriter w(req, sizeof req);
    w.u32(0, encrypted);
    w.u32(4, raw_checksum);
    // Once: an instrument whose reply was lost may be programming itself,
    // and must not be asked to start again.
    return MXX_send_cmd_once(id, M17_CODE_FLASH_FW, req, sizeof req, nullptr, 0,
                             nullptr, nullptr, nullptr, M17_FLASH_TIMEOUT_MS,
                             wait);
}

int M17_set_serial(int id, const char *serial, int wait) {
    // Eight bytes; a shorter text is padded with zeros, never read past.
    if (serial == nullptr)
        return COMM_ERR_ARG;
    unsigned char req[M17_SERIAL_LEN] = {};
    memcpy(req, serial, strnlen(serial, M17_SERIAL_LEN));
    return request(id, M17_CODE_SET_SERIAL, req, sizeof req, nullptr, 0,
                   nullptr, M17_TIMEOUT_MS, wait);
}

int M17_set_model_rev(int id, uint32_t value, int wait) {
    return send_u32(id, M17_CODE_SET_MODEL_REV, value, M17_TIMEOUT_MS, wait);
}

int M17_probe(int id, int) {
    return M17_get_serial(id, nullptr, 0);
}

int M17_test_probe(int, const unsigned char *frame, int *type, int) {
    if (type != nullptr)
        *type = DEV_TYPE_GENERIC;
    if (frame == nullptr)
        return 0;
    const int code = WireReader(frame, MXX_HEADER_SIZE).u16(4);
    return code == M17_CODE_GET_SERIAL + MXX_RSP_OFFSET ? 1 : 0;
}
