// Connection strings, the USB list with announced simulators, ports that
// cannot be opened, Bluetooth without an adapter, TCP, the change
// notification and the trace.
#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "device.h"

namespace {

using std::chrono::milliseconds;

std::string make_serial(uint16_t port) {
    char out[COMM_STR_SIZE];
    EXPECT_EQ(comm_make_conn_string_serial(out, port, 115200, 8, 1, 0, 0),
              COMM_OK);
    return out;
}

std::string devid(const std::string &entry) {
    char text[COMM_STR_SIZE];
    EXPECT_EQ(comm_get_devid_string(entry.c_str(), text), COMM_OK);
    return text;
}

TEST(ConnectionStrings, BuildersWriteStringsThatParseBack) {
    char out[COMM_STR_SIZE];
    comm::Target t;
    ASSERT_EQ(comm_make_conn_string_serial_path(out, "/dev/ttyUSB0", 115200, 8,
                                                1, 0, 0),
              COMM_OK);
    EXPECT_STREQ(out, "serial:115200,8N1:/dev/ttyUSB0");
    ASSERT_TRUE(comm::parse_target(out, t));
    EXPECT_EQ(t.path, "/dev/ttyUSB0");
    ASSERT_EQ(
        comm_make_conn_string_serial_path(out, "/dev/x", 9600, 7, 2, 2, 1),
        COMM_OK);
    ASSERT_TRUE(comm::parse_target(out, t));
    EXPECT_EQ(t.baud, 9600);
    EXPECT_EQ(t.data_bits, 7);
    EXPECT_EQ(t.stop_bits, 2);
    EXPECT_EQ(t.parity, 2);
    EXPECT_EQ(t.flow, 1);

    EXPECT_EQ(make_serial(3), "com:115200,8N1:3");
    ASSERT_EQ(comm_make_conn_string_net(out, "localhost", 5000, 1000), COMM_OK);
    ASSERT_TRUE(comm::parse_target(out, t));
    EXPECT_EQ(t.host, "localhost");
    EXPECT_EQ(t.tcp_port, 5000);
    EXPECT_EQ(t.timeout_ms, 1000);
    ASSERT_EQ(comm_make_conn_string_net(out, "::1", 7, 1000), COMM_OK);
    ASSERT_TRUE(comm::parse_target(out, t));
    EXPECT_EQ(t.host, "::1");

    // The dialog's Bluetooth address is typed by the user.
    ASSERT_EQ(comm_make_conn_string_bt(out, "00-11-22-aa-bb-cc", "", 0xFFE050,
                                       1, "7294", 60000),
              COMM_OK);
    EXPECT_STREQ(out, "bt:00:11:22:AA:BB:CC,1,60000");
    ASSERT_EQ(comm_make_conn_string_bt(out, "0011223344FF", "VO-62", 0xFFE050,
                                       1, "7294", 60000),
              COMM_OK);
    EXPECT_EQ(devid(out), "VO-62 (00:11:22:33:44:FF)");
    // Inquiry may report names longer than an entry: still listed.
    std::string long_name(300, 'n');
    ASSERT_EQ(comm_make_conn_string_bt(out, "00:11:22:33:44:55",
                                       long_name.c_str(), 0, 1, "", 0),
              COMM_OK);
    EXPECT_EQ(strlen(out), COMM_STR_SIZE - 1u);
    ASSERT_TRUE(comm::parse_target(out, t));
    EXPECT_EQ(t.timeout_ms, 60000);
}

TEST(ConnectionStrings, BadInputIsRefusedWithAnEmptyString) {
    char out[COMM_STR_SIZE];
    std::string long_path = "/dev/" + std::string(200, 'x');
    OutputCapture capture;
    memset(out, 'z', sizeof out);
    EXPECT_EQ(comm_make_conn_string_serial_path(out, long_path.c_str(), 115200,
                                                8, 1, 0, 0),
              COMM_ERR_ARG);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(
        comm_make_conn_string_serial_path(out, "ttyS0", 115200, 8, 1, 0, 0),
        COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial(out, 1, 115201, 8, 1, 0, 0),
              COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial(out, 1, 115200, 9, 1, 0, 0),
              COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_net(out, "", 5000, 1000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_net(out, "host", 0, 1000), COMM_ERR_ARG);
    for (const char *bad : {"", "00:11:22:33:44", "00:11:22:33:44:GG",
                            "0:11:22:33:44:556", "00:11:22:33:44:55:66"}) {
        EXPECT_EQ(
            comm_make_conn_string_bt(out, bad, "", 0xFFE050, 1, "7294", 60000),
            COMM_ERR_ARG)
            << bad;
        EXPECT_STREQ(out, "");
    }
    EXPECT_NE(capture.err().find("Not a Bluetooth address: '00:11:22:33:44'"),
              std::string::npos);

    comm::Target t;
    for (const char *bad :
         {"", "xyz", "serial:115200,8N1:", "serial:115200,8X1:/dev/a",
          "com:115200,8N1:abc", "tcp:host", "tcp:host:70000", "bt:00:11",
          "USBS:/dev/ttyACM0/xyz", "USBS:/dev/ttyACM0", "USBX:/dev/a/c44"})
        EXPECT_FALSE(comm::parse_target(bad, t)) << bad;
}

TEST(ConnectionStrings, ComNumbersMapToDeviceFamilies) {
    EXPECT_EQ(comm::com_port_path(1), "/dev/ttyS0");
    EXPECT_EQ(comm::com_port_path(32), "/dev/ttyS31");
    EXPECT_EQ(comm::com_port_path(33), "/dev/ttyUSB0");
    EXPECT_EQ(comm::com_port_path(64), "/dev/ttyUSB31");
    EXPECT_EQ(comm::com_port_path(65), "/dev/ttyACM0");
    EXPECT_EQ(comm::com_port_path(96), "/dev/ttyACM31");
    EXPECT_EQ(comm::com_port_path(97), "/dev/rfcomm0");
    EXPECT_EQ(comm::com_port_path(128), "/dev/rfcomm31");
    EXPECT_EQ(comm::com_port_path(0), "");
    EXPECT_EQ(comm::com_port_path(129), "");
    EXPECT_EQ(devid(make_serial(34)), "COM 34 (/dev/ttyUSB1)");
}

// Windows names a USB device by its instance id: the list takes vendor,
// product and serial number from it.
TEST(ConnectionStrings, UsbInstanceIdsGiveVendorProductAndSerial) {
    const struct {
        const char *id;
        bool ok;
        int vid, pid;
        const char *serial;
    } cases[] = {
        {"USB\\VID_1781&PID_0C44\\A0001234", true, 0x1781, 0x0C44, "A0001234"},
        {"usb\\vid_1781&pid_0c4d\\x1", true, 0x1781, 0x0C4D, "x1"},
        // One function of a composite device: the system made the last
        // part up, so it is no serial number.
        {"USB\\VID_1781&PID_0C45&MI_00\\6&2C3A1F&0&0000", true, 0x1781, 0x0C45,
         ""},
        {"FTDIBUS\\VID_0403+PID_6001+A1\\0000", false, 0, 0, ""},
        {"USB\\VID_178&PID_0C44\\A", false, 0, 0, ""},
        {"USB\\VID_1781\\A", false, 0, 0, ""},
        {"USB\\VID_1781&PID_0C44", false, 0, 0, ""},
        {"", false, 0, 0, ""},
    };
    for (const auto &c : cases) {
        comm::UsbPort p;
        ASSERT_EQ(comm::parse_usb_instance_id(c.id, p), c.ok) << c.id;
        if (!c.ok)
            continue;
        EXPECT_EQ(p.vid, c.vid) << c.id;
        EXPECT_EQ(p.pid, c.pid) << c.id;
        EXPECT_EQ(p.serial, c.serial) << c.id;
    }
}

// Ports that cannot be opened fail with one line naming the port and the
// reason, and never deliver an event.
TEST_F(CommTest, SerialPathsThatCannotBeOpenedFailWithTheReason) {
    TempDir dir;
    write_file(dir.file("plain"), "not a tty");
    Pty pty;
    Recorder &holder = recorder();
    int held = -1;
    ASSERT_EQ(comm_connect(&held, pty.conn_string().c_str(), Recorder::proc,
                           4096, 200, &holder),
              COMM_OK);
    struct Case {
        std::string conn, expect;
    } cases[] = {
        {"serial:115200,8N1:/dev/ttyNOSUCH9",
         "\nCannot open /dev/ttyNOSUCH9: No such file or directory\n"},
        {"serial:115200,8N1:" + dir.path(), "\nCannot open " + dir.path()},
        {"serial:115200,8N1:" + dir.file("plain"),
         "\nCannot open " + dir.file("plain") + ": not a serial port\n"},
        {make_serial(200), "\nCannot open COM 200: no such port"},
        {make_serial(0), "\nCannot open COM 0: no such port"},
        {pty.conn_string(), "\nCannot open " + pty.slave() +
                                ": the port is in use by another program\n"},
        {"nonsense", "\nCannot open 'nonsense': not a connection string\n"},
    };
    Recorder &rec = recorder();
    for (const Case &c : cases) {
        OutputCapture capture;
        int id = -1;
        int r =
            comm_connect(&id, c.conn.c_str(), Recorder::proc, 4096, 200, &rec);
        EXPECT_LT(r, 0) << c.conn;
        std::string err = capture.err();
        EXPECT_EQ(err.rfind(c.expect, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
        EXPECT_EQ(capture.out(), "");
    }
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(rec.events().empty());
}

TEST(OpenErrors, PermissionErrorsNameTheOwningGroup) {
    TempDir dir;
    std::string path = dir.file("port");
    write_file(path, "");
    group *g = getgrnam("dialout");
    gid_t gid = g ? g->gr_gid : getgid();
    std::string name = g ? "dialout" : getgrgid(gid)->gr_name;
    if (chown(path.c_str(), getuid(), gid) != 0)
        GTEST_SKIP() << "cannot give the file a group";
    std::string text = comm::open_error_text(path, path, EACCES);
    EXPECT_EQ(text.rfind("\nCannot open " + path + ": Permission denied", 0),
              0u);
    EXPECT_NE(text.find("group '" + name + "'"), std::string::npos) << text;
    EXPECT_NE(text.find("usermod -aG " + name), std::string::npos) << text;
    EXPECT_NE(text.find(", or install the udev rule 60-vo62.rules and plug "
                        "the instrument in again\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.back(), '\n');
    // A port without a path (Bluetooth, network) gets no udev hint.
    EXPECT_EQ(comm::open_error_text("bt", "", EACCES).find("udev"),
              std::string::npos);
}

// ---- USB list -------------------------------------------------------------

std::vector<comm::UsbPort> fake_ports() {
    return {{"/dev/ttyACM1", 0x1781, 0x0C44, "VO-62 V2", "A0000042"},
            {"/dev/ttyUSB0", 0x0403, 0x6001, "FT232R", "X1"},
            {"/dev/ttyACM2", 0x1781, 0x0C4E, "Other", ""},
            {"/dev/ttyACM0", 0x1781, 0x0C45, "", ""}};
}

void announce(const TempDir &dir, pid_t pid, const std::string &body) {
    ASSERT_TRUE(
        write_file(dir.file("sim-" + std::to_string(pid) + ".ann"), body));
}

std::vector<std::string> list(int max = 32) {
    comm_entry entries[32];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, entries, max, &count, "", "", 0x1781,
                                    0x1781, 0x0C44, 0x0C4D),
              COMM_OK);
    return std::vector<std::string>(entries, entries + std::max(count, 0));
}

TEST_F(CommTest, UsbListShowsPortsThenLiveSimulatorsByPid) {
    comm::set_usb_source(fake_ports);
    pid_t me = getpid(), parent = getppid();
    announce(sim_dir_, me,
             "pid=" + std::to_string(me) +
                 "\npty=/dev/pts/77\nserial=A000XXXX\ntcp=5123\ncolour=blue\n");
    announce(sim_dir_, parent,
             "serial=A0000001\r\npty=/dev/pts/5\r\npid=" +
                 std::to_string(parent) + "\r\n");
    // A simulator that has ended, one without a pseudo-terminal, and a file
    // still being written are not listed.
    announce(sim_dir_, INT_MAX - 1,
             "pid=" + std::to_string(INT_MAX - 1) + "\npty=/dev/pts/9\n");
    announce(sim_dir_, 4, "pid=" + std::to_string(me) + "\n");
    write_file(sim_dir_.file(".sim-7.ann.tmp"), "pid=1\npty=/dev/pts/1\n");

    std::vector<std::string> entries = list();
    std::string mine = "USBS:/dev/pts/77/c44", theirs = "USBS:/dev/pts/5/c44";
    std::vector<std::string> expected = {"USBS:/dev/ttyACM0/c45",
                                         "USBS:/dev/ttyACM1/c44"};
    expected.push_back(parent < me ? theirs : mine);
    expected.push_back(parent < me ? mine : theirs);
    ASSERT_EQ(entries, expected);
    EXPECT_EQ(list(3).size(), 3u);
    EXPECT_TRUE(list(0).empty());

    EXPECT_EQ(devid(entries[0]), "USB serial port on /dev/ttyACM0");
    EXPECT_EQ(devid(entries[1]), "VO-62 V2 A0000042 on /dev/ttyACM1");
    EXPECT_EQ(devid(mine), "vo62-sim A000XXXX on /dev/pts/77");
    // Its TCP port (through which Windows lists it) names it too.
    EXPECT_EQ(devid("tcp:127.0.0.1:5123,5000"),
              "vo62-sim A000XXXX on 127.0.0.1:5123");
    EXPECT_EQ(devid("tcp:127.0.0.1:5124,5000"), "Network 127.0.0.1:5124");
    // The device link retags entries of product c44; the name stays.
    std::string retagged = "USBF" + mine.substr(4);
    EXPECT_EQ(devid(retagged), "vo62-sim A000XXXX on /dev/pts/77");
    char out[COMM_STR_SIZE];
    ASSERT_EQ(
        comm_make_conn_string_usb(out, retagged.c_str(), 0, 0x1781, 0x0C44),
        COMM_OK);
    EXPECT_EQ(out, mine);
    EXPECT_EQ(
        comm_make_conn_string_usb(out, "com:115200,8N1:1", 0, 0x1781, 0x0C44),
        COMM_ERR_ARG);
}

TEST_F(CommTest, ASimulatorConnectsThroughItsPseudoTerminal) {
    comm::set_usb_source([] { return std::vector<comm::UsbPort>(); });
    Pty pty;
    announce(sim_dir_, getpid(),
             "pid=" + std::to_string(getpid()) + "\npty=" + pty.slave() +
                 "\nserial=A0001234\n");
    std::vector<std::string> entries = list();
    ASSERT_EQ(entries.size(), 1u);
    // Whatever tag the device link gives the entry, it connects the same.
    for (const char *tag : {"USBS", "USBF", "USBU"}) {
        std::string conn = tag + entries[0].substr(4);
        Recorder &rec = recorder();
        int id = -1;
        ASSERT_EQ(
            comm_connect(&id, conn.c_str(), Recorder::proc, 4096, 200, &rec),
            COMM_OK)
            << conn;
        ASSERT_TRUE(rec.wait_event(COMM_EV_LINK_UP));
        const unsigned char probe[] = "probe";
        ASSERT_EQ(comm_write(id, probe, 5, 0, 100), COMM_OK);
        EXPECT_EQ(pty.receive(5), "probe");
        pty.send("A0001234");
        EXPECT_TRUE(rec.wait_data("A0001234"));
        ASSERT_EQ(comm_disconnect(id), COMM_OK);
        ASSERT_TRUE(rec.wait_event(COMM_EV_CLOSED));
    }
}

TEST_F(CommTest, ChangesOfTheAnnouncementsAreNotified) {
    static std::atomic<int> calls{0};
    calls = 0;
    ASSERT_EQ(comm_usb_register(
                  [](void *user) {
                      EXPECT_EQ(user, &calls);
                      calls++;
                      return 0;
                  },
                  &calls),
              COMM_OK);
    std::string tmp = sim_dir_.file(".sim-1.tmp");
    write_file(tmp, "pid=1\npty=/dev/pts/1\n");
    ASSERT_EQ(rename(tmp.c_str(), sim_dir_.file("sim-1.ann").c_str()), 0);
    auto start = Clock::now();
    while (calls == 0 && ms_since(start) < PROMPT_MS)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_GT(calls, 0);
    EXPECT_EQ(comm_usb_deregister(), COMM_OK);
    int seen = calls;
    write_file(sim_dir_.file("sim-2.ann"), "pid=2\n");
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(calls, seen);
}

// ---- Bluetooth and network -------------------------------------------------

TEST_F(CommTest, WithoutABluetoothAdapterEverythingFailsQuickly) {
    auto start = Clock::now();
    if (comm_bt_is_available())
        GTEST_SKIP() << "this machine has a Bluetooth adapter";
    EXPECT_NE(comm_bt_discover(0, 0xFFE050, 0), COMM_OK);
    comm_entry entries[COMM_BT_MAX_DEVICES];
    int count = -1;
    comm_bt_discover_wait(entries, &count);
    EXPECT_EQ(count, 0);

    char conn[COMM_STR_SIZE];
    ASSERT_EQ(comm_make_conn_string_bt(conn, "00:11:22:33:44:55", "", 0xFFE050,
                                       1, "7294", 60000),
              COMM_OK);
    OutputCapture capture;
    Recorder &rec = recorder();
    int id = -1;
    EXPECT_LT(comm_connect(&id, conn, Recorder::proc, 4096, 200, &rec), 0);
    EXPECT_EQ(
        capture.err().rfind("\nCannot open Bluetooth 00:11:22:33:44:55:", 0),
        0u)
        << capture.err();
    EXPECT_LT(ms_since(start), 1000);
}

class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) ||
            listen(fd_, 1) ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len))
            abort();
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    uint16_t port() const { return port_; }
    int accept_one() { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

  private:
    int fd_;
    uint16_t port_;
};

TEST_F(CommTest, NetworkConnectionsCarryBytes) {
    char conn[COMM_STR_SIZE];
    uint16_t closed_port;
    {
        Listener gone;
        closed_port = gone.port();
    }
    Listener listener;
    ASSERT_EQ(
        comm_make_conn_string_net(conn, "127.0.0.1", listener.port(), 1000),
        COMM_OK);
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(comm_connect(&id, conn, Recorder::proc, 4096, 200, &rec),
              COMM_OK);
    int peer = listener.accept_one();
    ASSERT_GE(peer, 0);
    const unsigned char cmd[] = "ping";
    ASSERT_EQ(comm_write(id, cmd, 4, 0, 100), COMM_OK);
    char buf[4];
    ASSERT_EQ(recv(peer, buf, 4, MSG_WAITALL), 4);
    ASSERT_EQ(send(peer, "pong", 4, 0), 4);
    EXPECT_TRUE(rec.wait_data("pong"));
    close(peer);
    EXPECT_TRUE(rec.wait_event(COMM_EV_CLOSED));
    EXPECT_EQ(rec.count(COMM_EV_ERROR), 1);

    ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", closed_port, 1000),
              COMM_OK);
    OutputCapture capture;
    EXPECT_LT(comm_connect(&id, conn, Recorder::proc, 4096, 200, &rec), 0);
    EXPECT_NE(capture.err().find("Connection refused"), std::string::npos);
}

// ---- Trace -----------------------------------------------------------------

TEST_F(CommTest, TheTraceRecordsBothDirectionsPerConnection) {
    TempDir dir;
    std::string path = dir.file("trace.txt");
    comm_shut();
    setenv("VO62_TRACE", path.c_str(), 1);
    ASSERT_EQ(comm_init(), COMM_OK);
    unsetenv("VO62_TRACE");
    SocketPeer peer;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(peer.connect(&id, rec), COMM_OK);
    std::vector<unsigned char> cmd(40);
    for (size_t i = 0; i < cmd.size(); i++)
        cmd[i] = static_cast<unsigned char>(0xF0 + i);
    ASSERT_EQ(comm_write(id, cmd.data(), 40, 0, 100), COMM_OK);
    peer.send("DE");
    ASSERT_TRUE(rec.wait_data("DE"));
    ASSERT_EQ(comm_shut(), COMM_OK);

    std::string trace = read_file(path);
    std::string c = " c" + std::to_string(id) + " ";
    EXPECT_NE(trace.find(c + "TX 0000: f0 f1 f2"), std::string::npos) << trace;
    EXPECT_NE(trace.find(c + "TX 0020: 10 11 12 13 14 15 16 17\n"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find(c + "RX 0000: 44 45\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(c + "-- closed"), std::string::npos) << trace;
    // Every line starts with a date and a time to the microsecond.
    EXPECT_EQ(trace[4], '-');
    EXPECT_EQ(trace[19], '.');
    EXPECT_EQ(trace[26], ' ');
}

} // namespace
