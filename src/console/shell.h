// console/: the interactive console: prompts and the menu (conutil), line
// editing (line_edit), its progress dots and percentages (console_progress),
// the command dialogs that ask their questions and call an operation
// (m17_cmds, v21_cmds*), what differs on Windows (platform), and the shell.
// It uses device/ and the layers below; the archive, the export and the
// command line know nothing of it.
//
// The application shell: start-up, the connection dialog, the connection
// callbacks, the main loop and shutdown.
#ifndef SHELL_H
#define SHELL_H

#include <cstdint>

#include "mxx_comm.h"
#include "session.h"
#include "version.h"

int welcome();
int connect_dev();
void disconnect_dev();
void main_loop();

int MXX_event_connected(int id, MXX_conn *ctx, int type, intptr_t user);
int MXX_event_connection_error(int id, MXX_conn *ctx, intptr_t user);
int MXX_event_disconnected(int id, MXX_conn *ctx, intptr_t user);
int MXX_event_device_list_changed(void *user);

#endif
