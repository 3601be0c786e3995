// Console commands over the generic request set.
#include "m17_cmds.h"

char serial_no[16];
