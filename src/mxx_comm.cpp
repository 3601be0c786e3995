// The device link. Until frames and transactions land, only the library's
// start and stop, connection strings and discovery are wired; connecting
// fails as with an empty connection string.
#include "mxx_comm.h"

namespace {
MXX_wait_cb MXX_wait_callback = nullptr;
}

int MXX_init(MXX_wait_cb wait_callback,
             comm_usb_change_proc usb_change_callback, void *user) {
    if (comm_init() != 0)
        return -1;
    MXX_wait_callback = wait_callback;
    return comm_usb_register(usb_change_callback, user);
}

int MXX_shut() {
    comm_usb_deregister();
    comm_shut();
    MXX_wait_callback = nullptr;
    return 0;
}

int MXX_idle_wait(int conn, int value, int arg) {
    return MXX_wait_callback
               ? MXX_wait_callback(conn, static_cast<uint16_t>(value), arg)
               : 0;
}

int MXX_make_serial_conn_string(char *out, int port) {
    return comm_make_conn_string_serial(out, static_cast<uint16_t>(port),
                                        115200, 8, 1, 0, 0);
}

int MXX_make_bt_conn_string(char *out, const char *address, const char *name) {
    return comm_make_conn_string_bt(out, address, name, 0xFFE050, 1, "7294",
                                    60000);
}

int MXX_list_usb_devices(comm_entry *list, int max, int *count) {
    return comm_list_devices_usb(0, list, max, count, "", "", 0x1781, 0x1781,
                                 0x0C44, 0x0C4D);
}

int MXX_bt_is_available() {
    return comm_bt_is_available();
}

int MXX_comm_bt_discover(int first, int second) {
    return comm_bt_discover(first, 0xFFE050, second);
}

int MXX_comm_bt_discover_wait(comm_entry *list, int *count) {
    return comm_bt_discover_wait(list, count);
}

int MXX_connect(const char *, int *, MXX_connected_cb, MXX_conn_error_cb,
                MXX_disconnected_cb, MXX_probe_cb, MXX_test_probe_cb,
                intptr_t) {
    return -1;
}

int MXX_wait_connected(int id, int ms) {
    return comm_wait_connected(id, ms);
}

int MXX_get_conn_state_id(int id) {
    return comm_get_state(id);
}

int MXX_disconnect(int id) {
    return comm_disconnect(id);
}

int MXX_hook_async_event(int, int, MXX_event_cb) {
    return 0;
}
