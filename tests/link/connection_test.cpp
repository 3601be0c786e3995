// Connections: opening, identification, the event hooks, closing, discovery
// and connection strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "link_fixture.h"
#include "m17_comm.h"
#include "v21_comm.h"

namespace {

using fake_comm::frame;
using fake_comm::text;

std::atomic<int> connected_calls{0}, connected_type{0}, disconnected_calls{0},
    error_calls{0};

int on_connected(int id, MXX_conn *, int type, intptr_t) {
    connected_calls++;
    connected_type = type;
    // Hooks registered here already see the identifying frame.
    MXX_hook_async_event(id, 9007, hook_a);
    return 0;
}
int on_error(int, MXX_conn *, intptr_t) {
    error_calls++;
    return 0;
}
int on_disconnected(int, MXX_conn *, intptr_t) {
    disconnected_calls++;
    return 0;
}

class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        clear_seen();
        connected_calls = connected_type = disconnected_calls = error_calls = 0;
        ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    }
    void TearDown() override {
        MXX_shut();
        fake_comm::reset();
    }
    int connect_instrument() {
        int id = -1;
        EXPECT_EQ(MXX_connect("fake", &id, on_connected, on_error,
                              on_disconnected, V21_probe, V21_test_probe, 0),
                  0);
        return id;
    }
    fake_comm::Scope fake_;
};

TEST_F(Connection, EmptyStringOrRefusalReturnsMinusOne) {
    int id = -1;
    EXPECT_EQ(
        MXX_connect("", &id, nullptr, nullptr, nullptr, nullptr, nullptr, 0),
        -1);
    EXPECT_EQ(fake_comm::count_calls("comm_connect"), 0);
    fake_comm::set_connect_result(COMM_ERR_NOT_FOUND);
    EXPECT_EQ(MXX_connect("COM9", &id, nullptr, nullptr, nullptr, nullptr,
                          nullptr, 0),
              -1);
    EXPECT_EQ(fake_comm::calls().back(), "comm_connect(COM9,4096,200)");
}

TEST_F(Connection, InstrumentIsIdentifiedAndAnswersCommands) {
    fake_comm::answer(8007, frame(9007, text("A0001234")));
    const int id = connect_instrument();
    EXPECT_EQ(MXX_wait_connected(id, MXX_CONNECT_WAIT_MS), 0);
    EXPECT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    EXPECT_EQ(connected_calls, 1);
    EXPECT_EQ(connected_type, 10);
    ASSERT_TRUE(fake_comm::drain());
    // The identifying frame reached the hook registered while identifying,
    // and was offered to the library after that.
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].frame, frame(9007, text("A0001234")));

    char serial[9];
    EXPECT_EQ(M17_get_serial(id, serial, 1), 0);
    EXPECT_STREQ(serial, "A0001234");
    // The probe went out without waiting; the command with hooks.
    EXPECT_EQ(fake_comm::written_codes(), (std::vector<int>{8007, 8007}));
    EXPECT_EQ(fake_comm::frame_param(fake_comm::writes()[0].bytes), 100);
}

TEST_F(Connection, ALateProbeReplyIsNeverTakenForACommand) {
    // The instrument answers 250 ms late, in order: the link probes twice
    // before the first reply identifies it, and the second probe's reply
    // (the serial as it was) is still on its way when the first command
    // goes out. Requests after the probes see the serial changed.
    int serial_reads = 0;
    long long last_at = 0;
    fake_comm::set_device([&](int id, const Bytes &f) {
        const int code = fake_comm::frame_code(f);
        const Bytes serial =
            text(code == 8007 && ++serial_reads > 2 ? "A0000002" : "A0000001");
        const long long now = fake_comm::now_ms();
        last_at = std::max(last_at, now + (serial_reads <= 2 ? 250 : 10));
        fake_comm::post_after(id, static_cast<int>(last_at - now), COMM_EV_DATA,
                              frame(code + 1000, serial));
    });
    const int id = connect_instrument();
    EXPECT_EQ(MXX_wait_connected(id, MXX_CONNECT_WAIT_MS), 0);
    EXPECT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    char serial[9];
    EXPECT_EQ(M17_get_serial(id, serial, 1), 0);
    EXPECT_STREQ(serial, "A0000002");
    // Two probes, the proof (not a get-serial, whose reply is owed), the
    // command.
    EXPECT_EQ(fake_comm::written_codes(),
              (std::vector<int>{8007, 8007, 8001, 8007}));
}

TEST_F(Connection, SilentDeviceIsProbedSevenTimesThenGivenUp) {
    fake_comm::set_auto_link_up(false);
    fake_comm::set_auto_idle(false);
    const int id = connect_instrument();
    EXPECT_EQ(fake_comm::deliver(id, COMM_EV_LINK_UP), 0);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(fake_comm::deliver(id, COMM_EV_IDLE), 0);
    EXPECT_EQ(fake_comm::count_calls("comm_signal_connected"), 0);
    EXPECT_EQ(fake_comm::deliver(id, COMM_EV_IDLE), -1);
    EXPECT_EQ(fake_comm::count_calls("comm_signal_connected"), 1);
    EXPECT_EQ(fake_comm::written_codes(), std::vector<int>(7, 8007));
    EXPECT_EQ(connected_calls, 0);
    EXPECT_NE(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
}

TEST_F(Connection, SilentDeviceReleasesTheWaiterInTime) {
    // As the console sees it, with the library's idle events.
    const int id = connect_instrument();
    EXPECT_EQ(MXX_wait_connected(id, MXX_CONNECT_WAIT_MS), 0);
    EXPECT_NE(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    EXPECT_EQ(fake_comm::written_codes().size(), 7u);
    EXPECT_LE(fake_comm::now_ms(), 7 * MXX_IDLE_MS);
}

TEST_F(Connection, OtherFirstLetterIsRefusedYetSetsThreeTries) {
    fake_comm::answer(8007, frame(9007, text("B0001234")));
    fake_comm::set_auto_idle(false);
    const int id = connect_instrument();
    EXPECT_NE(MXX_wait_connected(id, MXX_CONNECT_WAIT_MS), 0);
    EXPECT_EQ(connected_calls, 0);
    fake_comm::clear_records();
    EXPECT_EQ(M17_get_model_rev(id, nullptr, 1), 255);
    EXPECT_EQ(fake_comm::writes().size(), 3u);
}

TEST_F(Connection, ProbePairsJudgeByCodeAndFirstLetter) {
    int type = 0;
    EXPECT_EQ(M17_test_probe(1, frame(9007, text("Z")).data(), &type, 0), 1);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(M17_test_probe(1, frame(9008, text("A")).data(), &type, 0), 0);
    EXPECT_EQ(V21_test_probe(1, frame(9007, text("A")).data(), &type, 0), 1);
    EXPECT_EQ(type, 10);
    EXPECT_EQ(V21_test_probe(1, frame(9008, text("A")).data(), &type, 0), 0);
    // An empty payload has no first letter: its checksum byte is not read
    // as one.
    Bytes empty = frame(9007);
    empty[12] = 'A';
    EXPECT_EQ(V21_test_probe(1, empty.data(), &type, 0), 0);
}

TEST_F(Connection, HookTableLimits) {
    fake_comm::set_auto_link_up(false);
    int id = -1;
    ASSERT_EQ(MXX_connect("fake", &id, nullptr, nullptr, nullptr, nullptr,
                          nullptr, 0),
              0);
    // Twice the same pair is one entry; a second callback for a code is
    // stored but never called.
    EXPECT_EQ(MXX_hook_async_event(id, 9302, hook_a), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 9302, hook_a), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 9302, hook_b), 0);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, hook_any), 0);
    fake_comm::deliver(id, COMM_EV_DATA,
                       fake_comm::concat({frame(9302), frame(9007)}));
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_EQ(seen()[0].tag, 'a');
    EXPECT_EQ(seen()[1].tag, '*'); // a response nobody hooked
    EXPECT_EQ(fake_comm::count_calls("comm_fill_rsp_buff"), 2);

    // 2 entries used; fill up to 254 beside the catch-all.
    for (int code = 1; code <= 252; code++)
        ASSERT_EQ(MXX_hook_async_event(id, code, hook_b), 0) << code;
    EXPECT_EQ(MXX_hook_async_event(id, 400, hook_b), -1);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, hook_b), -1);
    EXPECT_EQ(MXX_hook_async_event(id, 9302, hook_a), 0); // already there

    // Without a catch-all the 255th ordinary hook fits, and then no
    // catch-all can be set.
    int id2 = -1;
    ASSERT_EQ(MXX_connect("fake", &id2, nullptr, nullptr, nullptr, nullptr,
                          nullptr, 0),
              0);
    for (int code = 1; code <= 255; code++)
        ASSERT_EQ(MXX_hook_async_event(id2, code, hook_a), 0) << code;
    EXPECT_EQ(MXX_hook_async_event(id2, MXX_HOOK_ANY, hook_any), -1);
    EXPECT_EQ(MXX_hook_async_event(id2, 256, hook_a), -1);
    clear_seen();
    fake_comm::deliver(id2, COMM_EV_DATA, frame(255));
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].tag, 'a');

    // No such connection: nothing stored, no error.
    EXPECT_EQ(MXX_hook_async_event(99, 9302, hook_a), 0);
}

TEST_F(Connection, ClosingCallsBackAndKeepsTheContextReadable) {
    fake_comm::answer(8007, frame(9007, text("A0000001")));
    const int id = connect_instrument();
    ASSERT_EQ(MXX_wait_connected(id, MXX_CONNECT_WAIT_MS), 0);
    MXX_conn *ctx = nullptr;
    comm_cursor cur;
    int found = -1;
    void *raw = nullptr;
    comm_data_cntr_init(&cur);
    ASSERT_NE(comm_get_data(&cur, &found, &raw), 0);
    ctx = static_cast<MXX_conn *>(raw);

    fake_comm::drop_link(id);
    ASSERT_TRUE(fake_comm::drain());
    EXPECT_EQ(error_calls, 1);
    EXPECT_EQ(disconnected_calls, 1);
    // A command that found the context just before the close may still
    // read it: it stays valid until shutdown.
    EXPECT_EQ(ctx->cmd_tries.load(), 3);
    EXPECT_EQ(M17_get_serial(id, nullptr, 1), COMM_ERR_NOT_FOUND);
}

TEST(Discovery, UsbEntriesOfTheSerialProductAreTagged) {
    fake_comm::Scope fake;
    fake_comm::set_usb_list({"USBS:/dev/ttyUSB0/c44", "USBS:/dev/ttyUSB1/C45",
                             "USBU:/dev/x/0C44", "SIM:/tmp/vo62", "ab/zz"});
    comm_entry list[32];
    int count = -1;
    EXPECT_EQ(MXX_list_usb_devices(list, 32, &count), 0);
    ASSERT_EQ(count, 5);
    EXPECT_STREQ(list[0], "USBF:/dev/ttyUSB0/c44");
    EXPECT_STREQ(list[1], "USBS:/dev/ttyUSB1/C45");
    EXPECT_STREQ(list[2], "USBF:/dev/x/0C44");
    EXPECT_STREQ(list[3], "SIM:/tmp/vo62");
    EXPECT_STREQ(list[4], "ab/zz");
    EXPECT_EQ(fake_comm::calls().back(),
              "comm_list_devices_usb(0,32,,,1781,1781,0C44,0C4D)");
}

TEST(Discovery, ConnectionStringsCarryTheTransportSettings) {
    fake_comm::Scope fake;
    char out[COMM_STR_SIZE];
    MXX_make_serial_conn_string(out, 65536 + 3);
    EXPECT_STREQ(out, "serial:3,115200,8,1,0,0");
    MXX_make_serial_path_conn_string(out, "/dev/ttyS1");
    EXPECT_STREQ(out, "serial:/dev/ttyS1,115200,8,1,0,0");
    MXX_make_bt_conn_string(out, "00:11:22:33:44:55", "");
    EXPECT_STREQ(out, "bt:00:11:22:33:44:55,,FFE050,1,7294,60000");
    MXX_make_net_conn_string(out, "localhost", 4000);
    EXPECT_STREQ(out, "net:localhost:4000,1000");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "USBF:/dev/a/c44", 7), 0);
    EXPECT_STREQ(out, "usb:USBF:/dev/a/c44,7,1781,0C44");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "USBS:/dev/a/c44", 0), 0);
    EXPECT_STREQ(out, "usb:USBS:/dev/a/c44,0,1781,0C44");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "USBU:/dev/a/c45", 0), 0);
    EXPECT_STREQ(out, "usb:USBU:/dev/a/c45,0,1781,0C45");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "SIM:/tmp/vo62", 0), -1);
}

TEST(Lifetime, InitFailureStoresNothingAndShutStopsInOrder) {
    fake_comm::Scope fake;
    fake_comm::set_init_result(COMM_ERR_STATE);
    EXPECT_EQ(MXX_init(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(fake_comm::calls(), std::vector<std::string>{"comm_init()"});
    fake_comm::reset();
    fake_comm::set_usb_register_result(COMM_ERR_IO);
    EXPECT_EQ(MXX_init([](int, uint16_t v, int a) { return v + a; }, nullptr,
                       nullptr),
              COMM_ERR_IO);
    EXPECT_EQ(MXX_idle_wait(1, 0x10005, 2), 7);
    EXPECT_EQ(MXX_shut(), 0);
    EXPECT_EQ(MXX_idle_wait(1, 5, 2), 0);
    const auto calls = fake_comm::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "comm_usb_deregister()");
    EXPECT_EQ(calls.back(), "comm_shut()");
}

} // namespace
