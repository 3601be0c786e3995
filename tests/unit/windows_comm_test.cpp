// The Windows form of the communication library, run under wine: COM
// numbers, USB entries, the open-error texts, and simulators listed by their
// TCP port. (On other systems comm_tests covers their own forms.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "comm_internal.h"
#include "process.h"

namespace {

#ifdef _WIN32
std::vector<comm::UsbPort> one_port() {
    comm::UsbPort p;
    p.path = "COM12";
    p.vid = 0x1781;
    p.pid = 0x0C45;
    p.product = "VO-62 V2";
    p.serial = "A0000042";
    return {p};
}
#endif

TEST(WindowsComm, PortsAreTheSystemsComNumbersAndListedPorts) {
#ifdef _WIN32
    EXPECT_EQ(comm::com_port_path(1), "\\\\.\\COM1");
    EXPECT_EQ(comm::com_port_path(255), "\\\\.\\COM255");
    EXPECT_EQ(comm::com_port_path(0), "");
    EXPECT_EQ(comm::com_port_path(256), "");
    comm::Target t;
    ASSERT_TRUE(comm::parse_target("com:115200,8N1:7", t));
    EXPECT_EQ(t.path, "\\\\.\\COM7");
    EXPECT_EQ(t.port, "COM7");
    ASSERT_TRUE(comm::parse_target("USBS:COM12/c45", t));
    EXPECT_EQ(t.path, "\\\\.\\COM12");
    EXPECT_EQ(t.port, "COM12");
    EXPECT_FALSE(comm::parse_target("USBS:/dev/ttyACM0/c44", t));
    EXPECT_FALSE(comm::parse_target("USBS:COM1\\x/c44", t));

    // A port that another program holds is named as such; other reasons
    // are the system's text without its final period.
    const int access_denied = 5; // ERROR_ACCESS_DENIED
    EXPECT_EQ(comm::open_error_text("COM3", "", access_denied),
              "\nCannot open COM3: the port is in use by another program\n");
    std::string missing = comm::open_error_text("COM9", "", 2);
    EXPECT_EQ(missing.rfind("\nCannot open COM9: ", 0), 0u) << missing;
    EXPECT_GT(missing.size(), std::string("\nCannot open COM9: \n").size());
    EXPECT_NE(missing[missing.size() - 2], '.') << missing;
#else
    GTEST_SKIP() << "Windows only";
#endif
}

TEST(WindowsComm, SimulatorsAreListedByTheirTcpPort) {
#ifdef _WIN32
    TempDir dir;
    ASSERT_EQ(_putenv_s("VO62_SIM_DIR", dir.path().c_str()), 0);
    // The pid is the simulator's system's and is not checked here.
    write_file(dir.file("sim-300.ann"),
               "pid=300\npty=/dev/pts/3\nserial=A000XXXX\ntcp=5123\n");
    write_file(dir.file("sim-200.ann"),
               "pid=200\r\npty=/dev/pts/2\r\nserial=A0000002\r\ntcp=0\r\n");
    write_file(dir.file("sim-100.ann"), "pid=100\ntcp=5100\n");
    comm::set_usb_source(one_port);
    comm_entry list[8];
    int count = 0;
    EXPECT_EQ(comm_list_devices_usb(0, list, 8, &count, "", "", 0x1781, 0x1781,
                                    0x0C44, 0x0C4D),
              COMM_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0], "USBS:COM12/c45");
    EXPECT_STREQ(list[1], "tcp:127.0.0.1:5123,5000");
    char name[COMM_STR_SIZE];
    ASSERT_EQ(comm_get_devid_string(list[0], name), COMM_OK);
    EXPECT_STREQ(name, "VO-62 V2 A0000042 on COM12");
    ASSERT_EQ(comm_get_devid_string(list[1], name), COMM_OK);
    EXPECT_STREQ(name, "vo62-sim A000XXXX on 127.0.0.1:5123");
    comm::set_usb_source(nullptr);
    _putenv_s("VO62_SIM_DIR", "");
#else
    GTEST_SKIP() << "Windows only";
#endif
}

} // namespace
