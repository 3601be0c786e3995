// The command line's entry: the global options, the choice of the
// instrument ("-p auto", "-p serial=SERIAL", RA62_PORT), the connection and
// Ctrl-C around one subcommand.
#include "cli_main.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>

#include "cli.h"
#include "cli_platform.h"
#include "libcomm.h"
#include "m17_comm.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "version.h"
#include "wire.h"

namespace {

constexpr const char *PORT_VARIABLE = "RA62_PORT";
constexpr const char *PORT_AUTO = "auto";
constexpr const char *PORT_BY_SERIAL = "serial=";
// Where -v sends the trace: the trace's own lines, on standard error.
constexpr const char *VERBOSE_TRACE = "-"; // the trace on standard error
constexpr char INSTRUMENT_SERIAL_PREFIX = 'A';

// The serial a device answered the identification with, when it was not
// one of ours (written on the event thread, read after the wait).
struct ProbeSeen {
    std::mutex m;
    std::string serial;
};
ProbeSeen probe_seen;

// The identification of the instrument, which also notes what a device
// that is not one answered: its serial, so the failure can name it.
int test_probe(int id, const unsigned char *frame, int *type, int attempt) {
    const int taken = V21_test_probe(id, frame, type, attempt);
    if (taken || frame == nullptr)
        return taken;
    WireReader hdr(frame, MXX_HEADER_SIZE);
    const size_t length = hdr.u16(6); // the payload and its checksum byte
    if (hdr.u16(4) != M17_CODE_GET_SERIAL + MXX_RSP_OFFSET || length < 2)
        return taken;
    std::string serial;
    WireReader payload(frame + MXX_HEADER_SIZE, length - 1);
    for (size_t i = 0; i < length - 1 && i < size_t(M17_SERIAL_LEN); i++) {
        const char c = char(payload.u8(i));
        serial += c >= ' ' && c <= '~' ? c : '?';
    }
    std::lock_guard<std::mutex> lock(probe_seen.m);
    probe_seen.serial = serial;
    return taken;
}

// The connection callbacks of the command line: as the console's, without
// their messages (a closed link shows as the failure of the next request).
int on_connected(int id, MXX_conn *, int type, intptr_t) {
    dev_type = type;
    connected = 1;
    if (type == DEV_TYPE_VO62)
        V21_hook_events(id);
    return 0;
}

int on_connection_error(int, MXX_conn *, intptr_t) {
    connected = 0;
    return 0;
}

int on_disconnected(int, MXX_conn *, intptr_t) {
    connected = 0;
    return 0;
}

// A USB device came or went: nothing to do, the command's connection is
// chosen once.
int on_device_list_changed(void *) {
    return 0;
}

std::string listing_text(comm_entry *list, int count) {
    std::string found;
    for (int i = 0; i < count; i++)
        found += "\n  " + std::string(list[i]) + "  (" +
                 cli_listed(list[i]).name + ")";
    return found;
}

// "-p auto": the one instrument the USB list shows, simulators included.
int resolve_auto(std::string *conn) {
    comm_entry list[CLI_MAX_DEVICES];
    const int count = cli_list_usb(list);
    if (count == 1) {
        *conn = list[0];
        return OP_OK;
    }
    if (count == 0)
        return cli_fail(OP_NO_DEVICE,
                        "no instrument found (none on USB, no simulator "
                        "announced); name one with -p CONN");
    return cli_fail(OP_NO_DEVICE,
                    "%d instruments found; choose one with -p CONN or -p "
                    "serial=SERIAL:%s",
                    count, listing_text(list, count).c_str());
}

// "-p serial=A0001234": the listed instrument of that serial.
int resolve_serial(const std::string &serial, std::string *conn) {
    comm_entry list[CLI_MAX_DEVICES];
    const int count = cli_list_usb(list);
    for (int i = 0; i < count; i++)
        if (strcasecmp(cli_listed(list[i]).serial.c_str(), serial.c_str()) ==
            0) {
            *conn = list[i];
            return OP_OK;
        }
    if (count == 0)
        return cli_fail(OP_NO_DEVICE,
                        "no instrument with serial %s found: none on USB, no "
                        "simulator announced",
                        serial.c_str());
    return cli_fail(OP_NO_DEVICE,
                    "no instrument with serial %s found; listed:%s",
                    serial.c_str(), listing_text(list, count).c_str());
}

int connect_instrument(const std::string &conn) {
    const size_t lines_before = cli_error_lines().size();
    if (MXX_connect(conn.c_str(), &id_conn, on_connected, on_connection_error,
                    on_disconnected, V21_probe, test_probe, 0) != 0) {
        // The library has said why (the port and the system's reason).
        if (cli_error_lines().size() > lines_before)
            return OP_NO_DEVICE;
        return cli_fail(OP_NO_DEVICE, "cannot connect to %s", conn.c_str());
    }
    if (MXX_wait_connected(id_conn, MXX_CONNECT_WAIT_MS) != 0 ||
        connected == 0) {
        MXX_disconnect(id_conn);
        std::string serial;
        {
            std::lock_guard<std::mutex> lock(probe_seen.m);
            serial = probe_seen.serial;
        }
        if (!serial.empty())
            return cli_fail(OP_NO_DEVICE,
                            "the device on %s answered with serial '%s': not "
                            "a VO-62 V2, whose serials begin with %c",
                            conn.c_str(), serial.c_str(),
                            INSTRUMENT_SERIAL_PREFIX);
        return cli_fail(OP_NO_DEVICE, "no instrument answered on %s",
                        conn.c_str());
    }
    return OP_OK;
}

// Whether --json stands among the arguments, for errors found before the
// options are known.
bool wants_json(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0)
            return false;
        if (strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

// "help COMMAND...": the words after help name commands of any group, which
// the parser would take for the commands themselves. They are taken out of
// the line and given to help as they stand.
std::vector<char *> take_help_words(int argc, char **argv,
                                    std::vector<std::string> *words) {
    std::vector<char *> rest(argv, argv + argc);
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "-p" || a == "--port" || a == "--trace") {
            i++; // their value
            continue;
        }
        if (a.rfind('-', 0) == 0)
            continue;
        if (a != "help")
            return rest;
        rest.assign(argv, argv + i + 1);
        for (int j = i + 1; j < argc; j++) {
            if (argv[j][0] == '-')
                rest.push_back(argv[j]);
            else
                words->push_back(argv[j]);
        }
        return rest;
    }
    return rest;
}

// The deepest subcommand the line named.
CLI::App *deepest(CLI::App &app) {
    CLI::App *a = &app;
    for (;;) {
        const auto subs = a->get_subcommands();
        if (subs.empty())
            return a;
        a = subs.front();
    }
}

std::vector<std::string> subcommand_names(CLI::App *a) {
    std::vector<std::string> names;
    for (const CLI::App *s : cli_children(*a))
        names.push_back(s->get_name());
    return names;
}

// CLI11's text of a parse error, as one line of ours; an unknown command
// names the nearest one.
int usage_error(CLI::App &app, const CLI::ParseError &e) {
    if (dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr) {
        // "The following argument was not expected: X" names the first.
        std::string what = e.what();
        const size_t colon = what.find(": ");
        std::string first =
            colon == std::string::npos ? what : what.substr(colon + 2);
        first = first.substr(0, first.find(' '));
        const std::string near =
            first.rfind('-', 0) == 0
                ? ""
                : cli_nearest(first, subcommand_names(deepest(app)));
        if (!near.empty())
            return cli_fail(OP_USAGE,
                            "unknown argument '%s' (did you mean "
                            "'%s'? try --help)",
                            first.c_str(), near.c_str());
        return cli_fail(OP_USAGE, "unknown argument '%s' (try --help)",
                        first.c_str());
    }
    return cli_fail(OP_USAGE, "%s (try --help)", e.what());
}

// The instrument the command is for: -p, else RA62_PORT, else auto. A
// string that is none of the forms is a usage error.
int choose_port(const CliOptions &opts, std::string *port) {
    const char *from = "-p";
    *port = opts.port;
    if (port->empty()) {
        const char *env = getenv(PORT_VARIABLE);
        if (env && *env) {
            *port = env;
            from = PORT_VARIABLE;
        } else {
            *port = PORT_AUTO;
        }
    }
    *port = cli_port_alias(*port); // COM5 on Windows
    if (*port == PORT_AUTO)
        return OP_OK;
    if (port->rfind(PORT_BY_SERIAL, 0) == 0) {
        if (port->size() == strlen(PORT_BY_SERIAL))
            return cli_fail(OP_USAGE, "%s '%s' names no serial", from,
                            port->c_str());
        return OP_OK;
    }
    if (comm_check_conn_string(port->c_str()) != COMM_OK)
        return cli_fail(OP_USAGE,
                        "%s '%s' is not a connection string (the forms: "
                        "ra62d2ide --help)",
                        from, port->c_str());
    return OP_OK;
}

// Where the trace goes: --trace FILE, or standard error with -v. A file
// that cannot be written is refused before anything is sent.
int set_trace(const CliOptions &opts) {
    if (opts.verbose && !opts.trace.empty())
        return cli_fail(OP_USAGE, "-v and --trace both say where the trace "
                                  "goes; give one of them");
    if (opts.verbose) {
        cli_set_env("VO62_TRACE", VERBOSE_TRACE);
        return OP_OK;
    }
    if (opts.trace.empty())
        return OP_OK;
    FILE *f = fopen(opts.trace.c_str(), "a");
    if (!f)
        return cli_fail(OP_LOCAL_FILE, "cannot write the trace file %s: %s",
                        opts.trace.c_str(), strerror(errno));
    fclose(f);
    cli_set_env("VO62_TRACE", opts.trace.c_str());
    return OP_OK;
}

constexpr const char *MAIN_FOOTER =
    "Services a VO-62 V2 susceptibility and conductivity meter. Without "
    "arguments the program is the interactive console. 'ra62d2ide help "
    "COMMAND' shows a command's options. See ra62d2ide(1).\n"
    "\n"
    "The instrument (-p, or the environment variable RA62_PORT): auto (the "
    "one instrument the USB list shows, simulators included), "
    "serial=A0001234 (the listed one of that serial), or a connection "
    "string:\n"
    "  USBS:/dev/ttyACM0/c44            a USB instrument as 'list' shows it\n"
    "  serial:115200,8N1:/dev/ttyUSB0   a serial port by path\n"
    "  /dev/ttyUSB0                     the same at 115200 8N1\n"
    "  com:115200,8N1:3                 a serial port by COM number\n"
    "  COM3                             the same, on Windows\n"
    "  bt:00:11:22:AA:BB:CC,1,60000     Bluetooth RFCOMM channel, time-out\n"
    "  tcp:127.0.0.1:5000,1000          a network port, time-out in ms\n"
    "\n"
    "Exit status: 0 done; 1 the instrument refused or a transfer failed; 2 "
    "usage error; 3 no instrument found or the connection failed; 4 a local "
    "file could not be read or written; 130 interrupted (Ctrl-C).";

// The global options a command honours, for its help.
std::string command_footer(const CliCommand &c) {
    std::string t = "Global options it takes (before or after the command):\n";
    if (c.device)
        t += "  -p,--port CONN   the instrument: auto, serial=SERIAL or a "
             "connection string\n"
             "                   (default $RA62_PORT, else auto; "
             "ra62d2ide --help lists the forms)\n"
             "  --trace FILE     append the bytes exchanged to FILE\n"
             "  -v,--verbose     show the requests and replies on standard "
             "error\n";
    t += "  --json           print the result, or the error, as one JSON "
         "object\n"
         "  -q,--quiet       leave out progress and commentary\n";
    if (c.asks || c.confirm)
        t += "  -y,--yes         answer yes to the question it asks\n";
    t += "\nExit status: 0 done; 1 refused or failed; 2 usage error; 3 no "
         "instrument; 4 a local file; 130 interrupted.";
    return t;
}

// Every group (a subcommand that only holds subcommands) gets a short
// footer of its own instead of the program's.
void set_group_footers(CLI::App &app) {
    for (CLI::App *sub : cli_children(app)) {
        if (!cli_children(*sub).empty()) {
            sub->footer("'ra62d2ide help " + sub->get_name() +
                        " COMMAND' shows a command's options.");
            set_group_footers(*sub);
        }
    }
}

} // namespace

int cli_main(int argc, char **argv) {
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    cli_watch_errors();

    // The usage comes first, as "usage: ra62d2ide ...".
    CLI::App app("", "ra62d2ide");
    app.get_formatter()->label("Usage", "usage");
    // Global options are taken after the command too.
    app.fallthrough();
    app.set_version_flag("--version", "ra62d2ide " RA62_VERSION,
                         "Print the version and exit");
    CliOptions opts;
    app.add_option("-p,--port", opts.port,
                   "The instrument: auto, serial=SERIAL or a connection "
                   "string (below); default $RA62_PORT, else auto")
        ->type_name("CONN");
    app.add_option("--trace", opts.trace,
                   "Append the bytes exchanged to FILE (as VO62_TRACE)")
        ->type_name("FILE");
    app.add_flag("-v,--verbose", opts.verbose,
                 "Show the requests and replies on standard error, as the "
                 "trace writes them");
    app.add_flag("--json", opts.json,
                 "Print the result, or the error, as one JSON object");
    app.add_flag("-q,--quiet", opts.quiet,
                 "Leave out progress and commentary (results and errors "
                 "stay)");
    app.add_flag("-y,--yes", opts.yes, "Answer yes to confirmations");

    CliCommands cmds;
    cli_add_device(app, cmds);
    cli_add_params(app, cmds);
    cli_add_log(app, cmds);
    cli_add_card(app, cmds);
    cli_add_fw(app, cmds);
    cli_add_screen(app, cmds);
    cli_add_remote(app, cmds);
    cli_add_export(app, cmds);
    cli_add_help(app, cmds);
    app.footer(MAIN_FOOTER);
    set_group_footers(app);
    for (const auto &c : cmds.all())
        c->app->footer(command_footer(*c));

    const bool json_errors = wants_json(argc, argv);
    auto usage_failed = [&](int status) {
        if (json_errors)
            log_write("MAIN", "%s\n", cli_error_json(status).dump().c_str());
        return status;
    };

    // "--version" and "--help" stand alone: anything after them is named.
    const std::string first = argc > 1 ? argv[1] : "";
    if (argc > 2 &&
        (first == "--version" || first == "--help" || first == "-h"))
        return usage_failed(
            cli_fail(OP_USAGE, "unknown argument '%s' (try --help)", argv[2]));
    std::vector<std::string> help_words;
    std::vector<char *> line = take_help_words(argc, argv, &help_words);
    try {
        app.parse(int(line.size()), line.data());
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usage_failed(usage_error(app, e));
    }
    CliCommand *cmd = cmds.chosen();
    if (cmd == nullptr || !cmd->run) {
        // A group without its command ("time"), or nothing at all.
        std::string path;
        for (CLI::App *a = &app; a != nullptr;) {
            const auto subs = a->get_subcommands();
            a = subs.empty() ? nullptr : subs.front();
            if (a)
                path += " " + a->get_name();
        }
        return usage_failed(
            cli_fail(OP_USAGE, "no command given (try 'ra62d2ide%s --help')",
                     path.c_str()));
    }

    if (cmd->app->get_name() == "help")
        cli_help_words() = help_words;

    CliRun run(opts);
    auto done = [&run](int status) {
        run.finish(status);
        return status;
    };
    int status = cmd->check ? cmd->check() : int(OP_OK);
    std::string conn;
    if (status == OP_OK && cmd->device)
        status = choose_port(opts, &conn);
    if (status == OP_OK && cmd->device)
        status = set_trace(opts);
    if (status == OP_OK && cmd->confirm && !run.confirm(cmd->confirm()))
        status = OP_USAGE;
    if (status != OP_OK)
        return done(status);

    // What the console narrates stays out; results are the command's own.
    op_set_narration(false);
    op_clear_stop();
    cli_install_interrupt();
    MXX_init(nullptr, on_device_list_changed, nullptr);

    if (cmd->device) {
        if (conn == PORT_AUTO)
            status = resolve_auto(&conn);
        else if (conn.rfind(PORT_BY_SERIAL, 0) == 0)
            status = resolve_serial(conn.substr(strlen(PORT_BY_SERIAL)), &conn);
        if (status == OP_OK)
            status = connect_instrument(conn);
    }
    if (status == OP_OK && op_stop_requested())
        status = cli_fail(OP_INTERRUPTED, "interrupted before the command "
                                          "began; nothing done");
    if (status == OP_OK)
        status = cmd->run(run);
    run.finish(status);
    if (cmd->device && connected != 0) {
        const int rc = MXX_disconnect(id_conn);
        (void)rc; // a link the instrument closed (restart, flash) is fine
    }
    MXX_shut();
    return status;
}
