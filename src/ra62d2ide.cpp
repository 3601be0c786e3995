// The program: with arguments the command line, without them the
// interactive console (registers the output, starts the device link, prints
// the banner, runs the connection dialog once, then the instrument menu
// until quit, and shuts down in order).
#include "cli_main.h"
#include "libcomm.h"
#include "line_edit.h"
#include "mxx_comm.h"
#include "ops.h"
#include "platform.h"
#include "shell.h"

int main(int argc, char **argv) {
    // With arguments the program is the command line; without, the console.
    if (argc > 1)
        return cli_main(argc, argv);
    platform_console_init();
    op_set_event_sink(line_edit_print);
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    MXX_init(nullptr, MXX_event_device_list_changed, nullptr);
    welcome();
    if (connect_dev() != 0) {
        log_write("MAIN", "\nNo device connected, using DE62d2 as default.");
        dev_type = DEV_TYPE_VO62;
    }
    main_loop();
    disconnect_dev();
    MXX_shut();
    return 0;
}
