// Placeholder transports: the library starts and stops, lists nothing and
// refuses every connection.
#include <cstdio>
#include <cstring>

#include "libcomm.h"

extern "C" {

int comm_init(void) {
    return COMM_OK;
}
int comm_shut(void) {
    return COMM_OK;
}
int comm_usb_register(comm_usb_change_proc, void *) {
    return COMM_OK;
}
int comm_usb_deregister(void) {
    return COMM_OK;
}

int comm_connect(int *, const char *, comm_event_proc, int, int, void *) {
    return COMM_ERR_UNSUPPORTED;
}
int comm_wait_connected(int, int) {
    return COMM_ERR_NOT_FOUND;
}
int comm_signal_connected(int) {
    return COMM_ERR_NOT_FOUND;
}
int comm_get_state(int) {
    return COMM_STATE_NONE;
}
int comm_disconnect(int) {
    return COMM_ERR_NOT_FOUND;
}
int comm_data_cntr_init(comm_cursor *cursor) {
    *cursor = 0;
    return COMM_OK;
}
int comm_get_data(comm_cursor *, int *, void **) {
    return 0;
}

int comm_hook_response(int, int, unsigned char *, int, int, unsigned char *,
                       int, int, unsigned char *, int) {
    return COMM_ERR_NOT_FOUND;
}
int comm_write(int, const unsigned char *, int, int, int) {
    return COMM_ERR_CLOSED;
}
int comm_wait_response(int, int *rsp, int *fail, int *retry, int) {
    *rsp = *fail = *retry = 0;
    return COMM_ERR_CLOSED;
}
int comm_fill_rsp_buff(int, int, const unsigned char *, int) {
    return COMM_ERR_NOT_FOUND;
}
int comm_unhook_response(int) {
    return COMM_OK;
}

int comm_list_devices_usb(int, comm_entry *, int, int *count, const char *,
                          const char *, int, int, int, int) {
    *count = 0;
    return COMM_OK;
}
int comm_get_devid_string(const char *entry, char *text) {
    snprintf(text, COMM_STR_SIZE, "%s", entry);
    return COMM_OK;
}
int comm_bt_is_available(void) {
    return 0;
}
int comm_bt_discover(int, unsigned int, int) {
    return COMM_ERR_UNSUPPORTED;
}
int comm_bt_discover_wait(comm_entry *, int *count) {
    *count = 0;
    return COMM_ERR_UNSUPPORTED;
}
int comm_bt_discover_cancel(void) {
    return COMM_OK;
}

int comm_make_conn_string_serial(char *out, uint16_t, int, int, int, int, int) {
    out[0] = 0;
    return COMM_ERR_UNSUPPORTED;
}
int comm_make_conn_string_serial_path(char *out, const char *, int, int, int,
                                      int, int) {
    out[0] = 0;
    return COMM_ERR_UNSUPPORTED;
}
int comm_make_conn_string_bt(char *out, const char *, const char *,
                             unsigned int, int, const char *, int) {
    out[0] = 0;
    return COMM_ERR_UNSUPPORTED;
}
int comm_make_conn_string_net(char *out, const char *, uint16_t, int) {
    out[0] = 0;
    return COMM_ERR_UNSUPPORTED;
}
int comm_make_conn_string_usb(char *out, const char *, int, int, int) {
    out[0] = 0;
    return COMM_ERR_UNSUPPORTED;
}

} // extern "C"
