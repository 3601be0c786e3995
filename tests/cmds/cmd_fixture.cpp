#include "cmd_fixture.h"

#include "shell.h"
#include "v21_comm.h"

void InstrumentTest::SetUp() {
    connect();
}

void InstrumentTest::connect(const char *serial) {
    connected = 0;
    dev_type = 0;
    MXX_init(nullptr, MXX_event_device_list_changed, nullptr);
    fake_comm::answer_once(8007,
                           fake_comm::frame(9007, fake_comm::text(serial)));
    ASSERT_EQ(MXX_connect("fake", &id_conn, MXX_event_connected,
                          MXX_event_connection_error, MXX_event_disconnected,
                          V21_probe, V21_test_probe, 0),
              0);
    ASSERT_EQ(MXX_wait_connected(id_conn, 15000), 0);
    ASSERT_EQ(connected, 1);
    fake_comm::clear_records();
}

void InstrumentTest::TearDown() {
    OutputCapture quiet; // the close is reported
    MXX_shut();
    connected = 0;
}

std::vector<Bytes> InstrumentTest::sent(int code) const {
    std::vector<Bytes> out;
    for (const auto &w : fake_comm::writes())
        if (fake_comm::frame_code(w.bytes) == code)
            out.push_back(fake_comm::frame_payload(w.bytes));
    return out;
}
