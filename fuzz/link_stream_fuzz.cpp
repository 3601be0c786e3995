// Arbitrary received byte streams through the reassembly and the dispatch of
// one connection, then whatever reached the reply buffers through the
// judging of a reply and the unpacking of one request.
//
// Input: byte 0 chooses the set-up (bit 0: cut the rest into pieces, bit 1:
// the connection starts identified, bit 2: an idle event after each piece,
// bit 3: a run of FILLER_LEN copies of byte 1 follows, so that headers
// announcing long payloads are completed); byte 1 chooses the request whose
// reply is pending. With bit 0 set the rest is a sequence of [length byte]
// [that many bytes] pieces; otherwise it is one buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fake_comm.h"
#include "m17_comm.h"
#include "mxx_comm.h"
#include "v21_comm.h"

namespace {

// Reads every byte the frame's length field promises, as a hooked callback
// of the console does.
volatile unsigned sink;
int read_frame(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    const size_t length = frame[6] | (frame[7] << 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 12 + length; i++)
        sum += frame[i];
    sink = sum;
    return 0;
}

int on_connected(int id, MXX_conn *, int, intptr_t) {
    MXX_hook_async_event(id, 9302, read_frame);
    MXX_hook_async_event(id, MXX_HOOK_ANY, read_frame);
    return 0;
}

int accept_all(int, const unsigned char *, int *type, int) {
    *type = 10;
    return 1;
}

constexpr int REQUESTS = 8;
constexpr size_t FILLER_LEN = 65600; // more than any frame
const int request_code[REQUESTS] = {8211, 8016, 8209, 8007,
                                    8001, 8002, 8024, 8203};

void run_request(int id, int which) {
    unsigned char buf[V21_PARAMS_BUF];
    char text[V21_MEM_TEXT_SIZE];
    uint32_t u = 0;
    int32_t i = 0;
    M17_time t{};
    switch (which) {
    case 0:
        V21_Read_File(id, "meas/last.dat", buf, 0, 450, &u, 1);
        break;
    case 1:
        V21_Memory_Usage(id, &u, text, sizeof text, 1);
        break;
    case 2:
        V21_File_Info(id, "raw", &u, 1);
        break;
    case 3:
        M17_get_serial(id, text, 1);
        break;
    case 4:
        M17_get_fw_version(id, text, 1);
        break;
    case 5:
        M17_get_time(id, &t, 1);
        break;
    case 6:
        V21_Get_State(id, &i, 1);
        break;
    default:
        V21_Get_Status(id, buf, 1);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const int mode = data[0];
    const int which = data[1] % REQUESTS;
    const unsigned char filler = data[1];
    data += 2;
    size -= 2;

    fake_comm::reset();
    fake_comm::set_auto_link_up(false);
    fake_comm::set_auto_idle(false);
    MXX_init(nullptr, nullptr, nullptr);
    int id = -1;
    MXX_connect("fuzz", &id, on_connected, nullptr, nullptr, V21_probe,
                (mode & 2) ? accept_all : V21_test_probe, 0);
    if (mode & 2)
        fake_comm::deliver(id, COMM_EV_DATA, fake_comm::frame(9007));
    MXX_hook_async_event(id, 9211, read_frame);

    // A command is pending: its reply buffers are hooked.
    static unsigned char rsp[MXX_RSP_BUF_SIZE], fail[MXX_REPLY_BUF_SIZE],
        retry[MXX_REPLY_BUF_SIZE];
    comm_hook_response(id, request_code[which] + MXX_RSP_OFFSET, rsp,
                       sizeof rsp, MXX_CODE_FAIL, fail, sizeof fail,
                       MXX_CODE_RETRY, retry, sizeof retry);

    if (mode & 1) {
        size_t at = 0;
        while (at < size) {
            size_t n = data[at++];
            if (n > size - at)
                n = size - at;
            fake_comm::deliver(id, COMM_EV_DATA,
                               fake_comm::Bytes(data + at, data + at + n));
            at += n;
            if (mode & 4)
                fake_comm::deliver(id, COMM_EV_IDLE);
        }
    } else {
        fake_comm::deliver(id, COMM_EV_DATA,
                           fake_comm::Bytes(data, data + size));
    }

    if (mode & 8)
        fake_comm::deliver(id, COMM_EV_DATA,
                           fake_comm::Bytes(FILLER_LEN, filler));

    int rsp_n = 0, fail_n = 0, retry_n = 0;
    comm_wait_response(id, &rsp_n, &fail_n, &retry_n, 0);
    unsigned char dst[64];
    int len = 0, param = 0, status = 0, kind = 0;
    MXX_test_response(id, rsp, rsp_n, fail, fail_n, retry, retry_n, dst,
                      sizeof dst, &len, &param, &status, &kind);
    comm_unhook_response(id);

    // The same replies once more, through a request and its unpacking.
    fake_comm::WaitReply reply;
    reply.rsp.assign(rsp, rsp + rsp_n);
    reply.fail.assign(fail, fail + fail_n);
    reply.retry.assign(retry, retry + retry_n);
    fake_comm::script_wait(reply);
    run_request(id, which);

    fake_comm::deliver(id, COMM_EV_CLOSED);
    MXX_shut();
    return 0;
}
