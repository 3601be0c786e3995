// The console's connection dialog driving the real link, with the fake
// library playing an instrument on USB.
#include <gtest/gtest.h>

#include "capture.h"
#include "fake_comm.h"
#include "shell.h"

namespace {

using fake_comm::frame;
using fake_comm::text;

class Dialog : public ::testing::Test {
  protected:
    void SetUp() override {
        connected = 0;
        dev_type = 0;
        id_conn = -1;
        fake_comm::set_usb_list({"USBS:/dev/ttyUSB0/c44"});
        MXX_init(nullptr, MXX_event_device_list_changed, nullptr);
    }
    void TearDown() override {
        OutputCapture quiet; // the close is reported
        MXX_shut();
        connected = 0;
        dev_type = 0;
    }
    fake_comm::Scope fake_;
};

TEST_F(Dialog, EnterAtEveryQuestionConnectsTheListedInstrument) {
    fake_comm::answer(8007, frame(9007, text("A0001234")));
    OutputCapture cap;
    feed_stdin("\n\n");
    EXPECT_EQ(connect_dev(), 0);
    EXPECT_NE(cap.out().find("1. 'USBF:/dev/ttyUSB0/c44'\n\nSelect device[1]:"),
              std::string::npos);
    EXPECT_NE(cap.out().find("Connecting device...Ok.\n"), std::string::npos);
    EXPECT_EQ(fake_comm::conn_string(id_conn), "USBF:/dev/ttyUSB0/c44");
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(dev_type, 10);

    disconnect_dev();
    ASSERT_TRUE(fake_comm::drain());
    EXPECT_EQ(connected, 0);
    EXPECT_NE(cap.out().find("\nDevice disconnected!\n"), std::string::npos);
}

TEST_F(Dialog, QuitWhileTheCloseOfTheLinkIsUnderwayIsNoError) {
    fake_comm::answer(8007, frame(9007, text("A0001234")));
    OutputCapture cap;
    feed_stdin("\n\n");
    ASSERT_EQ(connect_dev(), 0);
    // A flash closes the connection; the program quits before the close
    // has been reported, so it still counts as connected.
    MXX_disconnect(id_conn);
    ASSERT_TRUE(fake_comm::drain());
    connected = 1;
    disconnect_dev();
    EXPECT_EQ(cap.err(), "");

    // A connection that cannot be closed is still reported.
    fake_comm::reset();
    id_conn = 99;
    disconnect_dev();
    EXPECT_EQ(cap.err(), "Error disconnecting device!\n");
}

TEST_F(Dialog, SilentInstrumentEndsUndefined) {
    OutputCapture cap;
    feed_stdin("\n\n");
    EXPECT_EQ(connect_dev(), 0);
    EXPECT_NE(cap.out().find("Connecting device...Error!\n"),
              std::string::npos);
    EXPECT_EQ(connected, 0);
    main_loop();
    EXPECT_NE(cap.out().find("Found device:   "), std::string::npos);
    EXPECT_EQ(cap.err(), "Undefined\n\n");
}

} // namespace
