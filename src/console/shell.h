// The application shell: start-up, the connection dialog, the connection
// callbacks, the main loop and shutdown, and the globals every command reads.
#ifndef RA62D2IDE_H
#define RA62D2IDE_H

#include <atomic>
#include <cstdint>

#include "mxx_comm.h"

#define RA62_VERSION "0.12.0"

// Device type of the instrument; the only type the console knows.
constexpr int DEV_TYPE_VO62 = 10;

// 1 while an identified device is connected. Written by the connection
// callbacks on the library's event thread, read by every command.
extern std::atomic<int> connected;
// The identified device type, or DEV_TYPE_VO62 when no connection was made.
extern std::atomic<int> dev_type;
// Connection identifier of the open connection, -1 before the first.
extern int id_conn;

int welcome();
int connect_dev();
void disconnect_dev();
void main_loop();

int MXX_event_connected(int id, MXX_conn *ctx, int type, intptr_t user);
int MXX_event_connection_error(int id, MXX_conn *ctx, intptr_t user);
int MXX_event_disconnected(int id, MXX_conn *ctx, intptr_t user);
int MXX_event_device_list_changed(void *user);

#endif
