// Identity, clock, status, model and live-data output against the fake
// instrument.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cmd_fixture.h"
#include "m17_cmds.h"
#include "m17_comm.h"
#include "shell.h"
#include "v21_cmds.h"

namespace {

using fake_comm::concat;
using fake_comm::frame;
using fake_comm::text;
using fake_comm::u16le;
using fake_comm::u32le;

using InfoCommands = InstrumentTest;

TEST_F(InfoCommands, StatusPrintsSevenLines) {
    fake_comm::answer(8203, frame(9203, concat({u32le(0x10), u32le(3700),
                                                u16le(85), u16le(40), u16le(1),
                                                u16le(2), u32le(0x00FFFFFF)})));
    OutputCapture cap;
    char line[] = "sa\n";
    EXPECT_EQ(V21_cmd_get_status(line, 0), 0);
    EXPECT_EQ(cap.out(), "\n"
                         "Status.error           = 0x00000010\n"
                         "Status.bat_voltage     = 3700mV\n"
                         "Status.bat_perc        = 85%\n"
                         "Status.contrast        = 40\n"
                         "Status.bt_status       = 1\n"
                         "Status.gps_status      = 2\n"
                         "Status.flash_size      = 15MB\n"
                         "\n");
}

TEST_F(InfoCommands, ModelLinesAndEnterKeepsTheOptionBits) {
    fake_comm::answer(8008, frame(9008, u32le(0xFFFFFFFF)));
    fake_comm::answer(8105, frame(9105));
    OutputCapture cap;
    char line[] = "gm\n";
    EXPECT_EQ(V21_cmd_get_model_rev(line, 0), 0);
    EXPECT_EQ(cap.out(), "Model information:\nZuvodede logo displayed.\n"
                         "Bluetooth disabled.\nVO62 S/C\nVO62C\n24bit ADC\n"
                         "Rect. coil\n");
    cap.clear();
    feed_stdin("\n\n\n\n\n\n");
    EXPECT_EQ(V21_cmd_set_model_rev(line, 0), 0);
    EXPECT_EQ(cap.out(), "24bit ADC[1]:VO62C[1]:VO62S/C[1]:Zuvodede logo[1]:"
                         "Disable bluetooth[1]:Rect. coil[1]:Ok.\n");
    ASSERT_EQ(sent(8105).size(), 1u);
    EXPECT_EQ(sent(8105)[0], u32le(0x7B00)); // option bits only

    fake_comm::answer(8008, frame(9008, u32le(0)));
    cap.clear();
    EXPECT_EQ(V21_cmd_get_model_rev(line, 0), 0);
    EXPECT_EQ(cap.out(), "Model information:\n");
}

TEST_F(InfoCommands, SetSerialOnlyWhileUnset) {
    fake_comm::answer(8104, frame(9104));
    OutputCapture cap;
    fake_comm::answer(8007, frame(9007, text("A000XXXX")));
    char line[] = "ss 1234\n";
    EXPECT_EQ(V21_cmd_set_serial(line, 0), 0);
    EXPECT_EQ(cap.out(), "Setting serial to:A0001234\n");
    EXPECT_EQ(sent(8104), std::vector<Bytes>{text("A0001234")});

    // Enter keeps the placeholder, so the instrument stays unset.
    feed_stdin("\n");
    char bare[] = "ss\n";
    cap.clear();
    fake_comm::answer(8007, frame(9007, text("A000xxxx")));
    EXPECT_EQ(V21_cmd_set_serial(bare, 0), 0);
    EXPECT_EQ(cap.out(), "Enter serial[xxxx]:Setting serial to:A000xxxx\n");

    for (const char *set : {"A000Xxxx", "A0001234", "A000XXX"}) {
        cap.clear();
        fake_comm::answer(8007, frame(9007, text(set)));
        char again[] = "ss 5678\n";
        EXPECT_EQ(V21_cmd_set_serial(again, 0), 0) << set;
        EXPECT_EQ(cap.out(), "serial number already set\n") << set;
    }
    EXPECT_EQ(sent(8104).size(), 2u);
}

TEST_F(InfoCommands, FailedRequestsAndNoConnection) {
    fake_comm::answer(8001, frame(12290));
    OutputCapture cap;
    char line[] = "ve\n";
    EXPECT_EQ(V21_cmd_get_fw_version(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command M17_cmd_get_fw_version error(code=1)!\n");

    connected = 0;
    cap.clear();
    fake_comm::clear_records();
    for (cmd_handler h :
         {V21_cmd_get_status, V21_cmd_get_model_rev, V21_cmd_set_serial,
          V21_cmd_get_time, V21_cmd_restart}) {
        char l[] = "x\n";
        EXPECT_EQ(h(l, 0), -1);
    }
    EXPECT_TRUE(fake_comm::writes().empty());
    std::string five;
    for (int i = 0; i < 5; i++)
        five += "\nDevice not connected!\n";
    EXPECT_EQ(cap.err(), five);
}

TEST_F(InfoCommands, LiveDataLines) {
    OutputCapture cap;
    auto event = [](uint32_t kind, int32_t value) {
        float k = 1.25f, s = -3.5f;
        uint32_t kb, sb;
        memcpy(&kb, &k, 4);
        memcpy(&sb, &s, 4);
        fake_comm::deliver(
            id_conn, COMM_EV_DATA,
            frame(9302, concat({u32le(kind), u32le(uint32_t(value)), u32le(kb),
                                u32le(sb)})));
    };
    for (uint32_t kind :
         {1u, 2u, 3u, 4u, 5u, 0x81u, 0x82u, 0x83u, 0x84u, 0xFFFFFFFFu})
        event(kind, 7);
    EXPECT_EQ(cap.out(), "Start of measurement\n"
                         "   Progress:7\n"
                         "   Button:7\n"
                         "Finished:   Error=7 Kappa= 1.250 Sigma= -3.5\n"
                         "Scanner start:7\n"
                         "   Progress:7   Kappa= 1.250  Sigma= -3.5\n"
                         "   Button:7\n"
                         "Finished\n");
    // A short event reads its missing fields as 0.
    cap.clear();
    fake_comm::deliver(id_conn, COMM_EV_DATA, frame(9302, u32le(2)));
    EXPECT_EQ(cap.out(), "   Progress:0\n");
}

TEST(SetTime, OffsetCarriesIntoValidDates) {
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    struct {
        time_t now;
        int offset;
        M17_time want;
    } cases[] = {
        {1703979000, 1, {2023, 12, 31, 0, 30, 0}}, // 2023-12-30 23:30
        {1704065400, 1, {2024, 1, 1, 0, 30, 0}},   // 2023-12-31 23:30
        {1709164800, -2, {2024, 2, 28, 22, 0, 0}}, // 2024-02-29 00:00
        {1709251200, -1, {2024, 2, 29, 23, 0, 0}}, // 2024-03-01 00:00
        {1718452800, 12, {2024, 6, 16, 0, 0, 0}},  // 2024-06-15 12:00
    };
    for (const auto &c : cases) {
        M17_time t;
        M17_clock_from_local(c.now, c.offset, &t);
        EXPECT_EQ(t.year, c.want.year);
        EXPECT_EQ(t.month, c.want.month);
        EXPECT_EQ(t.day, c.want.day);
        EXPECT_EQ(t.hour, c.want.hour);
        EXPECT_EQ(t.minute, c.want.minute);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
