// Arbitrary replies to every request whose reply carries data: the judging
// of the reply (response, failure, retry, none) and the unpacking of its
// fields. Each request gets buffers of exactly the size its declaration
// promises, so a write or read past them is found; outputs that a failed
// request must leave alone are checked to be untouched.
//
// Input: byte 0 chooses the request, byte 1 a size (bytes a read asks for,
// the memory text's buffer, the destination of a direct judging), byte 2 the
// tries of the connection (1 to 3). Then, per try, what its wait reports: a
// mask byte (bit 0 response, bit 1 failure, bit 2 retry) and for each set
// bit a 16-bit little-endian length and that many bytes of frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fake_comm.h"
#include "fuzz_util.h"
#include "m17_comm.h"
#include "mxx_comm.h"
#include "v21_comm.h"

namespace {

constexpr int MAX_TRIES = 3;
constexpr int REQUESTS = 16;
constexpr uint32_t SENTINEL = 0xA5A5A5A5u;
constexpr int TEXT_BUF = 9;        // serial and version texts
constexpr int READ_SIZE_STEP = 17; // byte 1 times this: 0 to 4335 bytes

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    size_t left() const { return size - at; }
    int byte() { return at < size ? data[at++] : 0; }
};

fake_comm::Bytes take_frame(Input &in) {
    size_t len = static_cast<size_t>(in.byte());
    len |= static_cast<size_t>(in.byte()) << 8;
    if (len > in.left())
        len = in.left();
    const uint8_t *p = in.data + in.at;
    in.at += len;
    return fake_comm::Bytes(p, p + len);
}

bool terminated(const char *text, size_t size) {
    return memchr(text, 0, size) != nullptr;
}

void run_request(int id, int which, int size_arg) {
    int rc = 0;
    switch (which) {
    case 0:
    case 2: {
        std::vector<char> text(TEXT_BUF, 'x');
        rc = which == 0 ? M17_get_fw_version(id, text.data(), 1)
                        : M17_get_serial(id, text.data(), 1);
        FUZZ_CHECK(terminated(text.data(), text.size()));
        if (rc != 0)
            FUZZ_CHECK(text[0] == 0);
        break;
    }
    case 1: {
        M17_time t;
        memset(&t, 0x5A, sizeof t);
        M17_time before = t;
        rc = M17_get_time(id, &t, 1);
        if (rc != 0)
            FUZZ_CHECK(memcmp(&t, &before, sizeof t) == 0);
        break;
    }
    case 3:
    case 4: {
        uint32_t v = SENTINEL;
        rc = which == 3 ? M17_get_model_rev(id, &v, 1)
                        : M17_erase_ext_flash(id, &v, 1);
        if (rc != 0)
            FUZZ_CHECK(v == SENTINEL);
        break;
    }
    case 5: {
        std::vector<unsigned char> buf(M17_EXT_FLASH_READ);
        M17_read_ext_flash(id, size_arg, buf.data(), 1);
        break;
    }
    case 6: {
        std::vector<unsigned char> buf(V21_PARAMS_BUF);
        int got = -1;
        V21_Get_Params(id, buf.data(), 1, &got);
        FUZZ_CHECK(got >= 0 && got <= V21_PARAMS_BUF);
        break;
    }
    case 7: {
        std::vector<unsigned char> buf(V21_STATUS_SIZE);
        V21_Get_Status(id, buf.data(), 1);
        break;
    }
    case 8: {
        std::vector<unsigned char> buf(V21_LOG_ENTRIES_BUF);
        V21_Get_Meas_Log_Entry_List(id, static_cast<uint32_t>(size_arg),
                                    buf.data(), 1);
        break;
    }
    case 9: {
        const int text_size = 1 + size_arg * 8;
        std::vector<char> text(static_cast<size_t>(text_size), 'x');
        uint32_t heap = SENTINEL;
        rc = V21_Memory_Usage(id, &heap, text.data(), text_size, 1);
        if (rc == 0)
            FUZZ_CHECK(terminated(text.data(), text.size()));
        else
            FUZZ_CHECK(heap == SENTINEL && text[0] == 'x');
        break;
    }
    case 10: {
        uint32_t size = SENTINEL;
        rc = V21_File_Info(id, "raw", &size, 1);
        if (rc != 0)
            FUZZ_CHECK(size == SENTINEL);
        break;
    }
    case 11: {
        const uint32_t max_len =
            static_cast<uint32_t>(size_arg) * READ_SIZE_STEP;
        // One byte more than asked for, marked: it must never be written.
        std::vector<unsigned char> buf(max_len + 1, 0xEE);
        uint32_t count = SENTINEL;
        rc = V21_Read_File(id, "meas/last.dat", buf.data(), 0, max_len, &count,
                           1);
        if (rc == 0)
            FUZZ_CHECK(count <= max_len);
        else
            FUZZ_CHECK(count == SENTINEL);
        FUZZ_CHECK(buf[max_len] == 0xEE);
        break;
    }
    case 12:
    case 13: {
        int32_t v = static_cast<int32_t>(SENTINEL);
        rc = which == 12 ? V21_Measure(id, &v, 1) : V21_Get_State(id, &v, 1);
        if (rc != 0)
            FUZZ_CHECK(v == static_cast<int32_t>(SENTINEL));
        break;
    }
    case 14: {
        std::vector<unsigned char> buf(V21_SCREEN_BUF);
        V21_Get_Screen(id, buf.data(), 1);
        break;
    }
    default:
        break;
    }
    FUZZ_CHECK(rc == 0 || rc == MXX_FAILED || rc == MXX_NO_REPLY || rc < 0);
}

// The judging alone, on whatever the three buffers hold.
void judge(const fake_comm::WaitReply &w, int dst_size) {
    std::vector<unsigned char> dst(static_cast<size_t>(dst_size));
    int len = -1, param = 0, status = 0, kind = -1;
    auto ptr = [](const fake_comm::Bytes &b) {
        return b.empty() ? nullptr : b.data();
    };
    const int rc =
        MXX_test_response(0, ptr(w.rsp), static_cast<int>(w.rsp.size()),
                          ptr(w.fail), static_cast<int>(w.fail.size()),
                          ptr(w.retry), static_cast<int>(w.retry.size()),
                          dst.data(), dst_size, &len, &param, &status, &kind);
    FUZZ_CHECK(rc == MXX_OK || rc == MXX_FAILED || rc == MXX_NO_REPLY);
    FUZZ_CHECK(len == -1 || (len > 0 && len <= dst_size));
    FUZZ_CHECK(kind >= 0 && kind <= 2);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    const int which = in.byte() % REQUESTS;
    const int size_arg = in.byte();
    const int tries = 1 + in.byte() % MAX_TRIES;

    std::vector<fake_comm::WaitReply> waits;
    for (int t = 0; t < tries && in.left() > 0; t++) {
        const int mask = in.byte();
        fake_comm::WaitReply w;
        if (mask & 1)
            w.rsp = take_frame(in);
        if (mask & 2)
            w.fail = take_frame(in);
        if (mask & 4)
            w.retry = take_frame(in);
        waits.push_back(w);
    }

    if (which == REQUESTS - 1) {
        for (const auto &w : waits)
            judge(w, size_arg);
        return 0;
    }

    fake_comm::reset();
    fake_comm::set_auto_link_up(false);
    fake_comm::set_auto_idle(false);
    MXX_init(nullptr, nullptr, nullptr);
    int id = -1;
    MXX_connect("fuzz", &id, nullptr, nullptr, nullptr, V21_probe,
                V21_test_probe, 0);
    MXX_set_cmd_num_try(id, tries);
    for (const auto &w : waits)
        fake_comm::script_wait(w);
    run_request(id, which, size_arg);
    fake_comm::deliver(id, COMM_EV_CLOSED);
    MXX_shut();
    return 0;
}
