// The command line's entry, for main: runs "ra62d2ide [global options]
// COMMAND [options]" and answers the exit status.
#ifndef CLI_MAIN_H
#define CLI_MAIN_H

int cli_main(int argc, char **argv);

#endif
