// The session with the instrument: whether one is connected, its device type
// and the identifier of its connection. The connection callbacks of the
// console and of the command line write it; every operation reads it.
#ifndef SESSION_H
#define SESSION_H

#include <atomic>

// Device type of the instrument; the only type the console knows.
constexpr int DEV_TYPE_VO62 = 10;

// 1 while an identified device is connected. Written by the connection
// callbacks on the library's event thread, read by every command.
extern std::atomic<int> connected;
// The identified device type, or DEV_TYPE_VO62 when no connection was made.
extern std::atomic<int> dev_type;
// Connection identifier of the open connection, -1 before the first.
extern int id_conn;

#endif
