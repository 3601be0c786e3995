// The application shell: the banner, the connection dialog, the instrument
// menu until quit, and the connection callbacks.
#include "shell.h"

#include <cstdio>
#include <cstring>

#include "conutil.h"
#include "libcomm.h"
#include "line_edit.h"
#include "platform.h"
#include "v21_cmds.h"
#include "v21_comm.h"

namespace {

constexpr int MAX_LIST_DEVICES = 32;
constexpr int BD_ADDR_MAX_LEN = 18;
constexpr int COM_PORT_MAX = 255;

enum ConnType { CONN_NONE = 1, CONN_USB = 2, CONN_COM = 3, CONN_BT = 4 };

// Lists the entries of a device list and asks for one; 0 means none.
int select_from_list(comm_entry *list, int count) {
    char name[COMM_STR_SIZE];
    for (int i = 0; i < count; i++) {
        name[0] = 0;
        comm_get_devid_string(list[i], name);
        name[COMM_STR_SIZE - 1] = 0;
        log_append("MAIN", "%d. '%s'\n", i + 1, name);
    }
    log_write("MAIN", "\n");
    int choice = count;
    input_integer_msg(&choice, 0, count, "Select device");
    return choice;
}

void copy_entry(char *conn_string, const comm_entry entry) {
    snprintf(conn_string, COMM_STR_SIZE, "%s", entry);
}

} // namespace

int welcome() {
    log_write("MAIN", "--- ZUVODEDE VO-62 V2 ---\n");
    log_write("MAIN", "ver:%s\n\n", RA62_VERSION);
    return 0;
}

int connect_dev() {
    char conn_string[COMM_STR_SIZE] = "";
    comm_entry list[MAX_LIST_DEVICES];
    memset(list, 0, sizeof list);
    int count = 0;

    if (connected == 1) {
        log_error("\nDevice already connected!\n");
        return -1;
    }
    log_write("MAIN", "1. No device\n");
    log_write("MAIN", "2. USB\n");
    log_write("MAIN", "3. COM port\n");
    int highest = CONN_COM;
    if (BT_COM_PORT_NOTE || MXX_bt_is_available()) {
        log_append("MAIN", "4. Bluetooth\n");
        highest = CONN_BT;
    }
    log_write("MAIN", "\n");

    int type = CONN_USB;
    input_integer_msg(&type, 0, highest, "Select connection type");
    switch (type) {
    case CONN_USB: {
        if (MXX_list_usb_devices(list, MAX_LIST_DEVICES, &count) != 0 ||
            count < 0)
            count = 0;
        if (count > MAX_LIST_DEVICES)
            count = MAX_LIST_DEVICES;
        log_append("MAIN", "0. No device\n");
        int choice = select_from_list(list, count);
        if (choice >= 1)
            copy_entry(conn_string, list[choice - 1]);
        break;
    }
    case CONN_COM: {
        int port = 1;
        input_integer_msg(&port, 1, COM_PORT_MAX, "Select COM port");
        MXX_make_serial_conn_string(conn_string, port & 0xFFFF);
        break;
    }
    case CONN_BT: {
        if (BT_COM_PORT_NOTE) {
            log_write("MAIN", "%s\n", BT_COM_PORT_NOTE);
            break; // connects nothing, as "No device"
        }
        log_write("MAIN", "Bluetooth inquiry...");
        MXX_comm_bt_discover(0, 0);
        if (MXX_comm_bt_discover_wait(list, &count) != 0 || count < 0)
            count = 0;
        if (count > MAX_LIST_DEVICES)
            count = MAX_LIST_DEVICES;
        log_write("MAIN", "Complete.\n");
        log_append("MAIN", "0. Enter BD addr\n");
        int choice = select_from_list(list, count);
        if (choice >= 1) {
            copy_entry(conn_string, list[choice - 1]);
        } else {
            char address[BD_ADDR_MAX_LEN + 1] = "";
            input_string_msg(address, 1, BD_ADDR_MAX_LEN, "Enter BD address");
            MXX_make_bt_conn_string(conn_string, address, "");
        }
        break;
    }
    default:
        break; // no device: the connection string stays empty
    }

    log_write("MAIN", "\n");
    log_write("MAIN", "Connecting device...");
    if (MXX_connect(conn_string, &id_conn, MXX_event_connected,
                    MXX_event_connection_error, MXX_event_disconnected,
                    V21_probe, V21_test_probe, 0) != 0) {
        log_error("\nError connecting device!\n");
        return -1;
    }
    if (MXX_wait_connected(id_conn, MXX_CONNECT_WAIT_MS) != 0) {
        log_error("\nError connecting device!\n");
        return -1;
    }
    if (MXX_get_conn_state_id(id_conn) == COMM_STATE_CONNECTED)
        log_write("MAIN", "Ok.\n");
    else
        log_write("MAIN", "Error!\n");
    return 0;
}

void disconnect_dev() {
    if (connected == 0) {
        log_error("\nDevice not connected!\n");
        return;
    }
    // A connection that is closing already (a flash or a restart dropped
    // it, and its close has not been reported yet) needs nothing more.
    const int rc = MXX_disconnect(id_conn);
    if (rc != 0 && rc != COMM_ERR_CLOSED)
        log_error("Error disconnecting device!\n");
}

void main_loop() {
    static menu_record menu; // large; lives for the main loop only
    menu_init(&menu);
    log_write("MAIN", "\nFound device:   ");
    if (dev_type != DEV_TYPE_VO62) {
        log_error("Undefined\n\n");
        return;
    }
    log_write("MAIN", "VO-62 S/C\n\n");
    V21_cmd_create_menu(&menu, 0);
    menu_add(&menu, "q", "quit", "quits program", nullptr);
    menu_print(&menu);
    menu_run(&menu);
}

int MXX_event_connected(int id, MXX_conn *, int type, intptr_t) {
    dev_type = type;
    connected = 1;
    if (type == DEV_TYPE_VO62)
        V21_hook_events(id);
    return 0;
}

int MXX_event_connection_error(int, MXX_conn *, intptr_t) {
    connected = 0;
    line_edit_print("\nError connecting device!\n");
    return 0;
}

int MXX_event_disconnected(int, MXX_conn *, intptr_t) {
    connected = 0;
    line_edit_print("\nDevice disconnected!\n");
    return 0;
}

int MXX_event_device_list_changed(void *) {
    return 0;
}
