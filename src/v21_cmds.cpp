// The instrument's command table and its live-data events.
#include "v21_cmds.h"

int V21_cmd_create_menu(menu_record *, int) {
    return 0;
}

int V21_cmd_hook_events(int) {
    return 0;
}
