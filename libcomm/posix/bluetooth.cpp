// Bluetooth: adapter presence, inquiry on a thread of its own, and RFCOMM
// connections. Pairing (the PIN) is the operating system's business; a
// connection to an unpaired instrument makes the system's agent ask for it.
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/rfcomm.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "comm_internal.h"

namespace comm {

namespace {

// Names are read one after the other; beyond this budget the remaining
// devices are listed by address only.
constexpr int BT_NAMES_BUDGET_MS = 10000;
// comm_bt_discover_wait() never waits longer than the inquiry, the names
// and this margin.
constexpr int BT_WAIT_MARGIN_MS = 5000;
constexpr int BT_INQUIRY_MS = BT_INQUIRY_UNITS * 1280;
constexpr int BT_NAME_MAX = 248;

std::mutex bt_mutex;
std::condition_variable bt_cv;
std::thread bt_thread;
bool bt_started = false; // an inquiry was started and not yet collected
bool bt_done = false;    // its results are in
bool bt_cancelled = false;
int bt_status = COMM_OK;
std::vector<std::string> bt_found;

int adapter() {
    int dev = hci_get_route(nullptr);
    if (dev < 0)
        return -1;
    hci_dev_info di;
    if (hci_devinfo(dev, &di) < 0 || !hci_test_bit(HCI_UP, &di.flags))
        return -1;
    return dev;
}

bool cancelled() {
    std::lock_guard<std::mutex> lock(bt_mutex);
    return bt_cancelled;
}

int bt_inquiry(const ListFilter &, std::vector<std::string> &entries) {
    int dev = adapter();
    if (dev < 0)
        return COMM_ERR_UNSUPPORTED;
    inquiry_info *info = nullptr;
    int n = hci_inquiry(dev, BT_INQUIRY_UNITS, COMM_BT_MAX_DEVICES, nullptr,
                        &info, IREQ_CACHE_FLUSH);
    if (n < 0)
        return COMM_ERR_IO;
    int dd = hci_open_dev(dev);
    auto budget_end = std::chrono::steady_clock::now() +
                      std::chrono::milliseconds(BT_NAMES_BUDGET_MS);
    for (int i = 0; i < n && i < COMM_BT_MAX_DEVICES; i++) {
        char addr[19] = "";
        ba2str(&info[i].bdaddr, addr);
        char name[BT_NAME_MAX + 1] = "";
        if (dd >= 0 && !cancelled() &&
            std::chrono::steady_clock::now() < budget_end &&
            hci_read_remote_name(dd, &info[i].bdaddr, BT_NAME_MAX, name,
                                 BT_NAME_TIMEOUT_MS) < 0)
            name[0] = 0;
        char entry[COMM_STR_SIZE];
        if (comm_make_conn_string_bt(entry, addr, name, 0, 1, "", 0) == COMM_OK)
            entries.push_back(entry);
    }
    if (dd >= 0)
        hci_close_dev(dd);
    bt_free(info);
    return COMM_OK;
}

int bt_open(const Target &t, Handle *fd_out) {
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    BTPROTO_RFCOMM);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        sockaddr_rc a{};
        a.rc_family = AF_BLUETOOTH;
        str2ba(t.address.c_str(), &a.rc_bdaddr);
        a.rc_channel = static_cast<uint8_t>(t.channel);
        err = connect_within(fd, &a, sizeof a, t.timeout_ms);
        if (err == 0) {
            *fd_out = fd;
            return COMM_OK;
        }
        close(fd);
    }
    std::string text = open_error_text(t.port, "", err);
    if (adapter() < 0)
        text.insert(text.size() - 1,
                    " (no Bluetooth adapter is present and up)");
    log_error("%s", text.c_str());
    return adapter() < 0 ? COMM_ERR_UNSUPPORTED : COMM_ERR_IO;
}

int bt_line_ms(const Target &, int) {
    return 0;
}

} // namespace

const Transport bt_transport = {"bt",        bt_open,      socket_close,
                                socket_read, socket_write, bt_inquiry,
                                bt_line_ms,  fd_wait};

void bt_stop() {
    {
        std::lock_guard<std::mutex> lock(bt_mutex);
        bt_cancelled = true;
    }
    bt_cv.notify_all();
    // An inquiry cannot be interrupted; it ends by itself within its length.
    if (bt_thread.joinable())
        bt_thread.join();
    std::lock_guard<std::mutex> lock(bt_mutex);
    bt_started = bt_done = bt_cancelled = false;
    bt_found.clear();
}

} // namespace comm

using namespace comm;

extern "C" {

int comm_bt_is_available(void) {
    return adapter() >= 0 ? 1 : 0;
}

// The class-of-device value is accepted but not used to filter: every
// device found is listed, so an instrument is never hidden by its class.
int comm_bt_discover(int, unsigned int, int) {
    std::unique_lock<std::mutex> lock(bt_mutex);
    if (bt_started && !bt_done)
        return COMM_ERR_STATE;
    lock.unlock();
    if (bt_thread.joinable())
        bt_thread.join();
    lock.lock();
    bt_found.clear();
    bt_cancelled = false;
    bt_done = false;
    bt_started = true;
    if (adapter() < 0) {
        bt_status = COMM_ERR_UNSUPPORTED;
        bt_done = true;
        return COMM_ERR_UNSUPPORTED;
    }
    try {
        bt_thread = std::thread([] {
            std::vector<std::string> found;
            int status = bt_inquiry(ListFilter(), found);
            std::lock_guard<std::mutex> done_lock(bt_mutex);
            bt_found = std::move(found);
            bt_status = status;
            bt_done = true;
            bt_cv.notify_all();
        });
    } catch (...) {
        bt_status = COMM_ERR_NO_MEM;
        bt_done = true;
        return COMM_ERR_NO_MEM;
    }
    return COMM_OK;
}

int comm_bt_discover_wait(comm_entry *list, int *count) {
    if (count)
        *count = 0;
    if (!list || !count)
        return COMM_ERR_ARG;
    std::unique_lock<std::mutex> lock(bt_mutex);
    if (!bt_started)
        return COMM_ERR_STATE;
    auto bound = std::chrono::milliseconds(BT_INQUIRY_MS + BT_NAMES_BUDGET_MS +
                                           BT_WAIT_MARGIN_MS);
    if (!bt_cv.wait_for(lock, bound, [] { return bt_done || bt_cancelled; }))
        return COMM_ERR_TIMEOUT;
    if (!bt_done)
        return COMM_ERR_CLOSED; // cancelled
    int n = 0;
    for (const std::string &e : bt_found) {
        if (n == COMM_BT_MAX_DEVICES)
            break;
        snprintf(list[n++], COMM_STR_SIZE, "%s", e.c_str());
    }
    *count = n;
    bt_started = false;
    return bt_status;
}

int comm_bt_discover_cancel(void) {
    {
        std::lock_guard<std::mutex> lock(bt_mutex);
        bt_cancelled = true;
    }
    bt_cv.notify_all();
    return COMM_OK;
}

} // extern "C"
