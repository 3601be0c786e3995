// Helpers the request sets share: one transaction through MXX_send_cmd, a
// request that sends one 32-bit value (also once only, through
// MXX_send_cmd_once), and one whose reply is one 32-bit value, stored only
// when the reply holds it whole.
#ifndef MXX_REQUEST_H
#define MXX_REQUEST_H

#include <cstdint>

#include "mxx_comm.h"
#include "wire.h"

namespace mxx_request {

constexpr int U32_SIZE = 4;

// One transaction; *got receives the payload bytes that arrived in dst.
inline int request(int id, int code, const void *req, int req_size, void *dst,
                   int dst_size, int *got, int timeout_ms, int wait) {
    int len = 0;
    const int rc = MXX_send_cmd(id, code, req, req_size, dst, dst_size, &len,
                                nullptr, nullptr, timeout_ms, wait);
    if (got != nullptr)
        *got = len;
    return rc;
}

inline int send_u32(int id, int code, uint32_t value, int timeout_ms,
                    int wait) {
    unsigned char req[U32_SIZE];
    WireWriter(req, sizeof req).u32(0, value);
    return request(id, code, req, sizeof req, nullptr, 0, nullptr, timeout_ms,
                   wait);
}

// The same for a request that changes the instrument's state in a way a
// second copy would change again (a key event, a state): it is written
// again only after a retry reply, never after a time-out.
inline int send_u32_once(int id, int code, uint32_t value, int timeout_ms,
                         int wait) {
    unsigned char req[U32_SIZE];
    WireWriter(req, sizeof req).u32(0, value);
    return MXX_send_cmd_once(id, code, req, sizeof req, nullptr, 0, nullptr,
                             nullptr, nullptr, timeout_ms, wait);
}

// A request without payload whose answer is one 32-bit value; a reply too
// short for it is a failure and leaves *out alone.
inline int request_u32(int id, int code, uint32_t *out, int timeout_ms,
                       int wait) {
    unsigned char reply[U32_SIZE];
    int got = 0;
    const int rc = request(id, code, nullptr, 0, reply, sizeof reply, &got,
                           timeout_ms, wait);
    if (rc != MXX_OK || !wait)
        return rc;
    if (got < U32_SIZE)
        return MXX_FAILED; // the value is not in the reply
    if (out != nullptr)
        *out = WireReader(reply, sizeof reply).u32(0);
    return rc;
}

} // namespace mxx_request

#endif
