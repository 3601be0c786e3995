// The request sets: what goes on the wire, and how replies are unpacked,
// never beyond the bytes that arrived.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "link_fixture.h"
#include "m17_comm.h"
#include "v21_comm.h"

namespace {

using fake_comm::answer;
using fake_comm::concat;
using fake_comm::frame;
using fake_comm::text;
using fake_comm::u16le;
using fake_comm::u32le;

class Request : public LinkTest {
  protected:
    Bytes sent() {
        auto w = fake_comm::writes();
        return w.empty() ? Bytes{} : fake_comm::frame_payload(w.back().bytes);
    }
    int sent_param() {
        return fake_comm::frame_param(fake_comm::writes().back().bytes);
    }
    // The device refuses every request at once, so that each is written
    // exactly once and no reply is left owed.
    void refuse_everything() {
        fake_comm::set_device([](int conn, const Bytes &) {
            fake_comm::post(conn, COMM_EV_DATA, frame(12290));
        });
    }
};

TEST_F(Request, CodesTimeOutsAndPayloadSizes) {
    unsigned char buf[V21_PARAMS_BUF] = {};
    char txt[V21_MEM_TEXT_SIZE];
    uint32_t u = 0;
    int32_t i = 0;
    M17_time t{2024, 1, 2, 3, 4, 5};
    // once: a request that a second copy would carry out again is not
    // written again when its reply is lost.
    struct Case {
        std::function<int()> call;
        int code, timeout, payload;
        bool once = false;
    };
    const std::vector<Case> cases = {
        {[&] { return M17_get_fw_version(id, txt, 1); }, 8001, 1000, 0},
        {[&] { return M17_get_time(id, &t, 1); }, 8002, 1000, 0},
        {[&] { return M17_set_time(id, &t, 1); }, 8003, 1000, 24},
        {[&] { return M17_get_serial(id, txt, 1); }, 8007, 100, 0},
        {[&] { return M17_get_model_rev(id, &u, 1); }, 8008, 1000, 0},
        {[&] { return M17_erase_ext_flash(id, &u, 1); }, 8100, 60000, 0},
        {[&] { return M17_read_ext_flash(id, 7, buf, 1); }, 8101, 1000, 2},
        {[&] { return M17_write_ext_flash(id, 7, buf, 4, 1); }, 8102, 1000, 6},
        {[&] { return M17_flash_FW(id, 1, 2, 1); }, 8103, 30000, 8, true},
        {[&] { return M17_set_serial(id, "A0001234", 1); }, 8104, 1000, 8},
        {[&] { return M17_set_model_rev(id, 9, 1); }, 8105, 1000, 4},
        {[&] { return V21_Get_Params(id, buf, 1); }, 8201, 800, 0},
        {[&] { return V21_Set_Params(id, buf, 1); }, 8202, 800, 319},
        {[&] { return V21_Get_Status(id, buf, 1); }, 8203, 800, 0},
        {[&] { return V21_Get_Meas_Log_Entry_List(id, 64, buf, 1); }, 8204, 800,
         4},
        {[&] { return V21_Clear_Logs(id, 255, 1); }, 8206, 37856, 4},
        {[&] { return V21_Memory_Usage(id, &u, txt, 16, 1); }, 8016, 800, 0},
        {[&] { return V21_File_Info(id, "a", &u, 1); }, 8209, 800, 40},
        {[&] { return V21_Write_File(id, "a", V21_OP_CREATE, nullptr, 0, 1); },
         8210, 800, 40},
        {[&] { return V21_Read_File(id, "a", buf, 0, 450, &u, 1); }, 8211, 800,
         40},
        {[&] { return V21_Measure(id, &i, 1); }, 8212, 800, 0},
        {[&] { return V21_Send_Event(id, 8193, 1); }, 8022, 800, 4, true},
        {[&] { return V21_Set_State(id, 25, 1); }, 8023, 800, 4, true},
        {[&] { return V21_Get_State(id, &i, 1); }, 8024, 800, 0},
        {[&] { return V21_Get_Screen(id, buf, 1); }, 8213, 800, 0},
    };
    refuse_everything();
    for (const Case &c : cases) {
        fake_comm::clear_records();
        EXPECT_EQ(c.call(), 1) << c.code;
        ASSERT_EQ(fake_comm::writes().size(), 1u) << c.code;
        EXPECT_EQ(fake_comm::written_codes()[0], c.code);
        EXPECT_EQ(sent_param(), c.timeout) << c.code;
        EXPECT_EQ(sent().size(), static_cast<size_t>(c.payload)) << c.code;
    }

    // The first reply of each request is lost; every other request gets
    // its own reply (proving the line clean included).
    MXX_set_cmd_num_try(id, 3);
    int lose = -1;
    fake_comm::set_device([&](int conn, const Bytes &f) {
        const int code = fake_comm::frame_code(f);
        if (code == lose)
            lose = -1;
        else
            fake_comm::post(conn, COMM_EV_DATA, frame(code + 1000));
    });
    for (const Case &c : cases) {
        // A clean line first, so that only the request's own reply is lost.
        lose = -1;
        V21_Get_Status(id, buf, 1);
        fake_comm::clear_records();
        lose = c.code;
        const int rc = c.call();
        const auto codes = fake_comm::written_codes();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), c.code),
                  c.once ? 1 : 2)
            << c.code;
        if (c.once) {
            EXPECT_EQ(rc, MXX_NO_REPLY) << c.code;
        }
    }
    // Restart never waits, whatever the tries.
    MXX_set_cmd_num_try(id, 3);
    fake_comm::clear_records();
    fake_comm::fail_writes({COMM_ERR_CLOSED});
    EXPECT_EQ(M17_restart(id), COMM_ERR_CLOSED);
    EXPECT_EQ(fake_comm::count_calls("comm_write"), 1);
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response"), 0);
}

TEST_F(Request, FileRequestHeads) {
    refuse_everything();
    V21_Write_File(id, "lut", V21_OP_MKDIR, nullptr, 0, 1);
    Bytes expected(40, 0);
    memcpy(expected.data(), "lut", 3);
    expected[32] = 1;
    EXPECT_EQ(sent(), expected);

    // 32 characters fill the name without terminator; longer is cut.
    const std::string name32 = "meas/meas0001.dat_______________";
    ASSERT_EQ(name32.size(), 32u);
    const unsigned char data[3] = {7, 8, 9};
    V21_Write_File(id, (name32 + "XYZ").c_str(), V21_OP_APPEND, data, 3, 1);
    EXPECT_EQ(sent(), concat({text(name32), u32le(3), u32le(3), {7, 8, 9}}));
    // No data: the length field says 0 whatever was passed.
    V21_Write_File(id, name32.c_str(), V21_OP_APPEND, nullptr, 3, 1);
    EXPECT_EQ(sent(), concat({text(name32), u32le(3), u32le(0)}));

    uint32_t count = 0;
    unsigned char buf[450];
    V21_Read_File(id, name32.c_str(), buf, 0x01020304, 450, &count, 1);
    EXPECT_EQ(sent(), concat({text(name32), u32le(0x01020304), u32le(450)}));
    V21_File_Info(id, "raw", nullptr, 1);
    EXPECT_EQ(sent(), concat({text("raw"), Bytes(37, 0)}));
}

TEST_F(Request, FlashAndClearLogsLayouts) {
    refuse_everything();
    const unsigned char data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    M17_write_ext_flash(id, 2, data, 10, 1);
    EXPECT_EQ(sent(), concat({u16le(2), Bytes(data, data + 10)}));
    M17_write_ext_flash(id, 0x1234, data, 0, 1);
    EXPECT_EQ(sent(), u16le(0x1234));
    M17_read_ext_flash(id, 520, nullptr, 1);
    EXPECT_EQ(sent(), u16le(520));
    M17_flash_FW(id, 1, 0xA1B2C3D4, 1);
    EXPECT_EQ(sent(), concat({u32le(1), u32le(0xA1B2C3D4)}));

    fake_comm::clear_records();
    V21_Clear_Logs(id, 255, 1);
    EXPECT_EQ(sent(), u32le(255));
    EXPECT_EQ(sent_param(), 37856);
    EXPECT_EQ(fake_comm::count_calls("comm_wait_response(1,300000)"), 1);

    M17_time t{2025, 12, 31, 23, 59, 58};
    M17_set_time(id, &t, 1);
    EXPECT_EQ(sent(), concat({u32le(2025), u32le(12), u32le(31), u32le(23),
                              u32le(59), u32le(58)}));
    M17_set_serial(id, "A12", 1);
    EXPECT_EQ(sent(), concat({text("A12"), Bytes(5, 0)}));

    // Nothing to send is refused before anything reaches the instrument.
    fake_comm::clear_records();
    EXPECT_EQ(M17_set_time(id, nullptr, 1), COMM_ERR_ARG);
    EXPECT_EQ(M17_set_serial(id, nullptr, 1), COMM_ERR_ARG);
    EXPECT_EQ(V21_Set_Params(id, nullptr, 1), COMM_ERR_ARG);
    EXPECT_TRUE(fake_comm::writes().empty());
}

TEST_F(Request, TextsAreClearedAndAlwaysTerminated) {
    char buf[9];
    memset(buf, 'X', sizeof buf);
    answer(8001, frame(9001, text("V2.10.07")));
    EXPECT_EQ(M17_get_fw_version(id, buf, 1), 0);
    EXPECT_STREQ(buf, "V2.10.07");

    // A version too long for its field is refused; the text stays cleared.
    memset(buf, 'X', sizeof buf);
    answer(8001, frame(9001, text("V2.10.077")));
    EXPECT_EQ(M17_get_fw_version(id, buf, 1), 1);
    EXPECT_STREQ(buf, "");

    memset(buf, 'X', sizeof buf);
    answer(8007, frame(12290));
    EXPECT_EQ(M17_get_serial(id, buf, 1), 1);
    EXPECT_STREQ(buf, "");
    answer(8007, frame(9007, text("A0001234")));
    EXPECT_EQ(M17_get_serial(id, nullptr, 1), 0);
}

TEST_F(Request, ValuesNeedTheirWholeField) {
    uint32_t u = 77;
    int32_t i = 77;
    M17_time t{1, 1, 1, 1, 1, 1};
    answer(8008, frame(9008, u32le(0x80000001)));
    EXPECT_EQ(M17_get_model_rev(id, &u, 1), 0);
    EXPECT_EQ(u, 0x80000001u);
    answer(8100, frame(9100, {0x00, 0x10}));
    EXPECT_EQ(M17_erase_ext_flash(id, &u, 1), 1);
    EXPECT_EQ(u, 0x80000001u);
    // Only the erase takes an empty reply: no block size reported, 0.
    answer(8008, frame(9008));
    EXPECT_EQ(M17_get_model_rev(id, &u, 1), 1);
    EXPECT_EQ(u, 0x80000001u);
    answer(8100, frame(9100));
    EXPECT_EQ(M17_erase_ext_flash(id, &u, 1), 0);
    EXPECT_EQ(u, 0u);
    answer(8024, frame(9024, u32le(static_cast<uint32_t>(-2))));
    EXPECT_EQ(V21_Get_State(id, &i, 1), 0);
    EXPECT_EQ(i, -2);
    answer(8212, frame(9212));
    EXPECT_EQ(V21_Measure(id, &i, 1), 1);
    EXPECT_EQ(i, -2);

    answer(8002, frame(9002, concat({u32le(2024), u32le(2), u32le(29),
                                     u32le(13), u32le(5), u32le(9)})));
    EXPECT_EQ(M17_get_time(id, &t, 1), 0);
    EXPECT_EQ(t.year, 2024);
    EXPECT_EQ(t.day, 29);
    EXPECT_EQ(t.second, 9);
    answer(8002, frame(9002, Bytes(20, 1)));
    EXPECT_EQ(M17_get_time(id, &t, 1), 1);
    EXPECT_EQ(t.year, 2024);
}

TEST_F(Request, ReadFileUnpacksOnlyWhatArrived) {
    unsigned char buf[450];
    uint32_t count = 99;
    memset(buf, 0xEE, sizeof buf);

    answer(8211, frame(9211, concat({u32le(450), Bytes(450, 0x5A)})));
    EXPECT_EQ(V21_Read_File(id, "meas/last.dat", buf, 0, 450, &count, 1), 0);
    EXPECT_EQ(count, 450u);
    EXPECT_EQ(buf[449], 0x5A);

    memset(buf, 0xEE, sizeof buf);
    answer(8211, frame(9211, u32le(0)));
    EXPECT_EQ(V21_Read_File(id, "x", buf, 450, 450, &count, 1), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buf[0], 0xEE);

    // Faults: more announced than arrived, more than asked for, no count,
    // a reply too large to be taken at all. Nothing changes.
    count = 99;
    const std::vector<Bytes> faulty = {
        frame(9211, concat({u32le(10), Bytes(9, 1)})),
        frame(9211, concat({u32le(11), Bytes(11, 1)})),
        frame(9211, {1, 2, 3}),
        frame(9211),
        frame(9211, concat({u32le(3997), Bytes(3997, 1)})),
    };
    for (const Bytes &reply : faulty) {
        answer(8211, reply);
        EXPECT_EQ(V21_Read_File(id, "x", buf, 0, 10, &count, 1), 1);
        EXPECT_EQ(count, 99u);
        EXPECT_EQ(buf[0], 0xEE);
    }
}

TEST_F(Request, FileInfoAndMemoryUsageBounds) {
    uint32_t size = 5;
    answer(8209, frame(9209, concat({u32le(4063), Bytes(36, 0)})));
    EXPECT_EQ(V21_File_Info(id, "meas/meas0001.dat", &size, 1), 0);
    EXPECT_EQ(size, 4063u);
    answer(8209, frame(9209, {1, 2}));
    EXPECT_EQ(V21_File_Info(id, "x", &size, 1), 1);
    EXPECT_EQ(size, 4063u);
    EXPECT_EQ(V21_File_Info(id, "x", nullptr, 1), 0);

    uint32_t heap = 1;
    char txt[V21_MEM_TEXT_SIZE];
    answer(8016,
           frame(9016,
                 concat({u32le(30000), text("heap ok"), {0}, text("junk")})));
    EXPECT_EQ(V21_Memory_Usage(id, &heap, txt, sizeof txt, 1), 0);
    EXPECT_EQ(heap, 30000u);
    EXPECT_STREQ(txt, "heap ok");

    // No terminator: cut at the end of the reply; a small buffer cuts more.
    answer(8016, frame(9016, concat({u32le(7), text("tasks: 5")})));
    EXPECT_EQ(V21_Memory_Usage(id, &heap, txt, sizeof txt, 1), 0);
    EXPECT_STREQ(txt, "tasks: 5");
    EXPECT_EQ(V21_Memory_Usage(id, &heap, txt, 4, 1), 0);
    EXPECT_STREQ(txt, "tas");

    answer(8016, frame(9016, {1, 2, 3}));
    heap = 1;
    EXPECT_EQ(V21_Memory_Usage(id, &heap, txt, sizeof txt, 1), 1);
    EXPECT_EQ(heap, 1u);
    EXPECT_STREQ(txt, "tas");
}

TEST_F(Request, RecordsAreCopiedUpToTheirBuffers) {
    unsigned char status[V21_STATUS_SIZE + 4];
    memset(status, 0xEE, sizeof status);
    answer(8203, frame(9203, Bytes(20, 3)));
    EXPECT_EQ(V21_Get_Status(id, status, 1), 0);
    EXPECT_EQ(status[19], 3);
    EXPECT_EQ(status[20], 0xEE);
    // One byte more than the record is no record: refused, nothing copied.
    answer(8203, frame(9203, Bytes(21, 4)));
    EXPECT_EQ(V21_Get_Status(id, status, 1), 1);
    EXPECT_EQ(status[0], 3);
}

} // namespace
