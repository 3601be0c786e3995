// Bluetooth on Windows: the system pairs the instrument and gives it a
// virtual COM port, which is connected like any serial port. The library
// itself offers no inquiry and no RFCOMM connection there.
#include "comm_internal.h"

namespace comm {

namespace {

int bt_open(const Target &t, Handle *) {
    log_error("\nCannot open %s: on Windows a paired instrument is reached "
              "through its COM port\n",
              t.port.c_str());
    return COMM_ERR_UNSUPPORTED;
}

ssize_t bt_read(Handle, unsigned char *, size_t) {
    return -1;
}

ssize_t bt_write(Handle, const unsigned char *, size_t) {
    return -1;
}

void bt_close(Handle) {}

int bt_line_ms(const Target &, int) {
    return 0;
}

WaitResult bt_wait(Handle, Wake *, bool, const Clock::time_point *) {
    return WaitResult::Failed;
}

} // namespace

const Transport bt_transport = {"bt",     bt_open, bt_close,   bt_read,
                                bt_write, nullptr, bt_line_ms, bt_wait};

void bt_stop() {}

} // namespace comm

extern "C" {

int comm_bt_is_available(void) {
    return 0;
}

int comm_bt_discover(int, unsigned int, int) {
    return COMM_ERR_UNSUPPORTED;
}

int comm_bt_discover_wait(comm_entry *, int *count) {
    if (count)
        *count = 0;
    return COMM_ERR_UNSUPPORTED;
}

int comm_bt_discover_cancel(void) {
    return COMM_OK;
}

} // extern "C"
