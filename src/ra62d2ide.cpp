// The program: with arguments the command line, without them the
// interactive console (registers the output, starts the device link, prints
// the banner, runs the connection dialog once, then the instrument menu
// until quit, and shuts down in order).
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include "cli_main.h"
#endif
#include "libcomm.h"
#include "line_edit.h"
#include "mxx_comm.h"
#include "ops.h"
#include "platform.h"
#include "shell.h"
#include "version.h"

#ifdef _WIN32
namespace {

constexpr int ARGS_RUN_CONSOLE = -1;
constexpr int EXIT_USAGE = 2;

// The command line of the Windows build: the program's work is the
// interactive console; the line only asks for the version or the usage.
// Answers ARGS_RUN_CONSOLE when the console is to run (no arguments),
// otherwise the exit status after the answer or the error has been printed.
int handle_arguments(int argc, char **argv) {
    if (argc < 2)
        return ARGS_RUN_CONSOLE;
    const char *arg = argv[1];
    const bool version = strcmp(arg, "--version") == 0;
    const bool help = strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
    if (argc == 2 && version) {
        printf("ra62d2ide %s\n", RA62_VERSION);
        return 0;
    }
    if (argc == 2 && help) {
        printf("usage: ra62d2ide [--help | --version]\n"
               "Services a VO-62 V2 instrument from an interactive console:\n"
               "without arguments it asks for the connection, then reads\n"
               "commands (he lists them, q quits). See ra62d2ide(1).\n"
               "  --help      this text\n"
               "  --version   print the version\n");
        return 0;
    }
    // Names the first argument not understood: after a valid option, the
    // extra one.
    const char *bad = version || help ? argv[2] : arg;
    fprintf(stderr, "ra62d2ide: unknown argument '%s' (try --help)\n", bad);
    return EXIT_USAGE;
}

} // namespace
#endif

int main(int argc, char **argv) {
#ifdef _WIN32
    const int status = handle_arguments(argc, argv);
    if (status != ARGS_RUN_CONSOLE)
        return status;
#else
    // With arguments the program is the command line; without, the console.
    if (argc > 1)
        return cli_main(argc, argv);
#endif
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
