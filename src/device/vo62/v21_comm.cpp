// Requests of the instrument. Replies that carry fields of their own (a read
// count, a file size, the free heap) are unpacked here, and only from the
// bytes that arrived: a reply too short for its fields, or a read reply
// announcing more bytes than it holds or than were asked for, is a failure
// (result 1) and leaves the caller's outputs untouched.
#include "v21_comm.h"

#include <cstring>
#include <vector>

#include "m17_comm.h"
#include "mxx_comm.h"
#include "mxx_request.h"
#include "wire.h"

namespace {

using namespace mxx_request;

// Device type of the instrument and the tries every command gets once it has
// been identified.
constexpr int V21_DEV_TYPE = 10;
constexpr int V21_CMD_TRIES = 3;

// The file request head: name, then two uint32 whose meaning depends on the
// request (operation and data length, or offset and most bytes wanted).
constexpr int FILE_OFF_FIRST = 32;
constexpr int FILE_OFF_SECOND = 36;

constexpr int MEM_REPLY_MAX = 2048;
constexpr int FILE_INFO_REPLY = 40;
constexpr int READ_REPLY_MAX = 4000;

// Payload byte the instrument's serial starts with.
constexpr unsigned char SERIAL_PREFIX = 'A';

int get_i32(int id, int code, int32_t *out, int wait) {
    uint32_t value = 0;
    const int rc = request_u32(id, code, &value, V21_TIMEOUT_MS, wait);
    if (rc == MXX_OK && wait && out != nullptr)
        *out = static_cast<int32_t>(value);
    return rc;
}

// Writes the 40-byte head: the name zero-padded (a name of 32 characters or
// more is cut to 32, without terminator), then first and second.
void put_file_head(unsigned char *head, const char *name, uint32_t first,
                   uint32_t second) {
    memset(head, 0, V21_FILE_REQ_SIZE);
    if (name != nullptr)
        memcpy(head, name, strnlen(name, V21_FILE_NAME_SIZE));
    WireWriter w(head, V21_FILE_REQ_SIZE);
    w.u32(FILE_OFF_FIRST, first);
    w.u32(FILE_OFF_SECOND, second);
}

} // namespace

int V21_Get_Params(int id, unsigned char *buf, int wait, int *got) {
    return request(id, V21_CODE_GET_PARAMS, nullptr, 0, buf, V21_PARAMS_BUF,
                   got, V21_TIMEOUT_MS, wait);
}

int V21_Set_Params(int id, const unsigned char *params, int wait) {
    if (params == nullptr)
        return COMM_ERR_ARG; // never send an invented record
    return request(id, V21_CODE_SET_PARAMS, params, V21_PARAMS_SIZE, nullptr, 0,
                   nullptr, V21_TIMEOUT_MS, wait);
}

int V21_Get_Status(int id, unsigned char *buf, int wait) {
    return request(id, V21_CODE_GET_STATUS, nullptr, 0, buf, V21_STATUS_SIZE,
                   nullptr, V21_TIMEOUT_MS, wait);
}

int V21_Get_Meas_Log_Entry_List(int id, uint32_t first, unsigned char *buf,
                                int wait) {
    unsigned char req[U32_SIZE];
    WireWriter(req, sizeof req).u32(0, first);
    return request(id, V21_CODE_GET_LOG_ENTRIES, req, sizeof req, buf,
                   V21_LOG_ENTRIES_BUF, nullptr, V21_TIMEOUT_MS, wait);
}

int V21_Clear_Logs(int id, uint32_t selector, int wait) {
    return send_u32(id, V21_CODE_CLEAR_LOGS, selector,
                    V21_CLEAR_LOGS_TIMEOUT_MS, wait);
}

int V21_Memory_Usage(int id, uint32_t *heap, char *text, int text_size,
                     int wait) {
    unsigned char reply[MEM_REPLY_MAX];
    int got = 0;
    const int rc = request(id, V21_CODE_MEMORY_USAGE, nullptr, 0, reply,
                           sizeof reply, &got, V21_TIMEOUT_MS, wait);
    if (rc != MXX_OK || !wait)
        return rc;
    if (got < U32_SIZE)
        return MXX_FAILED;
    if (heap != nullptr)
        *heap = WireReader(reply, sizeof reply).u32(0);
    if (text != nullptr && text_size > 0) {
        // The text ends at its terminator, or at the end of the reply.
        const char *src = reinterpret_cast<const char *>(reply + U32_SIZE);
        size_t n = strnlen(src, static_cast<size_t>(got - U32_SIZE));
        if (n > static_cast<size_t>(text_size - 1))
            n = static_cast<size_t>(text_size - 1);
        memcpy(text, src, n);
        text[n] = 0;
    }
    return rc;
}

int V21_File_Info(int id, const char *name, uint32_t *size, int wait) {
    unsigned char head[V21_FILE_REQ_SIZE];
    put_file_head(head, name, 0, 0);
    unsigned char reply[FILE_INFO_REPLY];
    int got = 0;
    const int rc = request(id, V21_CODE_FILE_INFO, head, sizeof head, reply,
                           sizeof reply, &got, V21_TIMEOUT_MS, wait);
    if (rc != MXX_OK || !wait || size == nullptr)
        return rc;
    if (got < U32_SIZE)
        return MXX_FAILED;
    *size = WireReader(reply, sizeof reply).u32(0);
    return rc;
}

namespace {

// The write-file request; once: never written again after a time-out.
int write_file(int id, const char *name, uint32_t operation,
               const unsigned char *data, uint32_t data_len, int wait,
               bool once) {
    const uint32_t n = (data != nullptr && data_len > 0) ? data_len : 0;
    // An impossible length is a caller's error: the transaction's size check
    // reports it and stops the program before anything is built.
    if (n > static_cast<uint32_t>(MXX_MAX_PAYLOAD - V21_FILE_REQ_SIZE))
        return request(id, V21_CODE_WRITE_FILE, nullptr, -1, nullptr, 0,
                       nullptr, V21_TIMEOUT_MS, wait);
    std::vector<unsigned char> req(V21_FILE_REQ_SIZE + n);
    put_file_head(req.data(), name, operation, n);
    if (n > 0)
        memcpy(req.data() + V21_FILE_REQ_SIZE, data, n);
    if (once)
        return MXX_send_cmd_once(
            id, V21_CODE_WRITE_FILE, req.data(), static_cast<int>(req.size()),
            nullptr, 0, nullptr, nullptr, nullptr, V21_TIMEOUT_MS, wait);
    return request(id, V21_CODE_WRITE_FILE, req.data(),
                   static_cast<int>(req.size()), nullptr, 0, nullptr,
                   V21_TIMEOUT_MS, wait);
}

} // namespace

int V21_Write_File(int id, const char *name, uint32_t operation,
                   const unsigned char *data, uint32_t data_len, int wait) {
    return write_file(id, name, operation, data, data_len, wait, false);
}

int V21_Append_File(int id, const char *name, const unsigned char *data,
                    uint32_t data_len, uint32_t size_before) {
    int rc = MXX_NO_REPLY;
    for (int attempt = 0; attempt < V21_APPEND_ATTEMPTS; attempt++) {
        rc = write_file(id, name, V21_OP_APPEND, data, data_len, 1, true);
        // Answered, refused, or the link is gone: nothing more to learn.
        if (rc != MXX_NO_REPLY && rc != COMM_ERR_TIMEOUT)
            return rc;
        // The request or only its reply was lost: the size tells which.
        uint32_t size = 0;
        const int info = V21_File_Info(id, name, &size, 1);
        if (info != MXX_OK)
            return info;
        if (size == size_before + data_len)
            return MXX_OK;
        if (size != size_before)
            return MXX_FAILED;
    }
    return rc;
}

int V21_Read_File(int id, const char *name, unsigned char *buf, uint32_t offset,
                  uint32_t max_len, uint32_t *count, int wait) {
    unsigned char head[V21_FILE_REQ_SIZE];
    put_file_head(head, name, offset, max_len);
    // On the stack: a transfer sends one read per piece and allocates none.
    unsigned char reply[READ_REPLY_MAX];
    int got = 0;
    const int rc = request(id, V21_CODE_READ_FILE, head, sizeof head, reply,
                           READ_REPLY_MAX, &got, V21_TIMEOUT_MS, wait);
    if (rc != MXX_OK || !wait)
        return rc;
    if (got < U32_SIZE)
        return MXX_FAILED;
    WireReader r(reply, static_cast<size_t>(got));
    const uint32_t n = r.u32(0);
    if (n > static_cast<uint32_t>(got - U32_SIZE) || n > max_len)
        return MXX_FAILED;
    if (n > 0 && buf != nullptr)
        r.bytes(U32_SIZE, buf, n);
    if (count != nullptr)
        *count = n;
    return rc;
}

int V21_Measure(int id, int32_t *value, int wait) {
    return get_i32(id, V21_CODE_MEASURE, value, wait);
}

// A key event moves the instrument's menu or starts and stops a measurement,
// and a state request cancels what runs: a second copy written after a lost
// reply would act again, so both are written once.
int V21_Send_Event(int id, uint32_t event, int wait) {
    return send_u32_once(id, V21_CODE_SEND_EVENT, event, V21_TIMEOUT_MS, wait);
}

int V21_Set_State(int id, uint32_t state, int wait) {
    return send_u32_once(id, V21_CODE_SET_STATE, state, V21_TIMEOUT_MS, wait);
}

int V21_Get_State(int id, int32_t *state, int wait) {
    return get_i32(id, V21_CODE_GET_STATE, state, wait);
}

int V21_Get_Screen(int id, unsigned char *buf, int wait) {
    return request(id, V21_CODE_GET_SCREEN, nullptr, 0, buf, V21_SCREEN_BUF,
                   nullptr, V21_TIMEOUT_MS, wait);
}

int V21_probe(int id, int) {
    return M17_get_serial(id, nullptr, 0);
}

int V21_test_probe(int id, const unsigned char *frame, int *type, int) {
    if (type != nullptr)
        *type = V21_DEV_TYPE;
    // From the first frame on, every command is tried up to three times.
    MXX_set_cmd_num_try(id, V21_CMD_TRIES);
    if (frame == nullptr)
        return 0;
    WireReader hdr(frame, MXX_HEADER_SIZE);
    if (hdr.u16(4) != M17_CODE_GET_SERIAL + MXX_RSP_OFFSET)
        return 0;
    // The length counts the payload and its checksum byte: at least one
    // payload byte must be there before it is read.
    const size_t length = hdr.u16(6);
    if (length < 2)
        return 0;
    return WireReader(frame, MXX_HEADER_SIZE + length).u8(MXX_HEADER_SIZE) ==
                   SERIAL_PREFIX
               ? 1
               : 0;
}
