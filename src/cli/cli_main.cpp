// The command line's entry: the global options, the choice of the
// instrument ("-p auto"), the connection and Ctrl-C around one subcommand.
#include "cli_main.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "cli_platform.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "session.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "version.h"

namespace {
// The prefixes of the connection strings README's table lists.
bool looks_like_connection(const std::string &s) {
    for (const char *prefix :
         {"USBS:", "USBF:", "USBU:", "serial:", "com:", "bt:", "tcp:", "/"})
        if (s.rfind(prefix, 0) == 0 && s.size() > strlen(prefix))
            return true;
    return false;
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
    std::string found;
    for (int i = 0; i < count; i++) {
        char name[COMM_STR_SIZE] = "";
        comm_get_devid_string(list[i], name);
        name[COMM_STR_SIZE - 1] = 0;
        found += std::string("\n  ") + list[i] + "  (" + name + ")";
    }
    return cli_fail(OP_NO_DEVICE,
                    "%d instruments found; choose one with -p CONN:%s", count,
                    found.c_str());
}

int connect_instrument(const std::string &conn) {
    if (MXX_connect(conn.c_str(), &id_conn, on_connected, on_connection_error,
                    on_disconnected, V21_probe, V21_test_probe, 0) != 0)
        return cli_fail(OP_NO_DEVICE, "cannot connect to %s", conn.c_str());
    if (MXX_wait_connected(id_conn, MXX_CONNECT_WAIT_MS) != 0 ||
        connected == 0) {
        MXX_disconnect(id_conn);
        return cli_fail(OP_NO_DEVICE, "no instrument answered on %s",
                        conn.c_str());
    }
    return OP_OK;
}

// CLI11's text of a parse error, as one line of ours.
int usage_error(const CLI::ParseError &e) {
    if (dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr) {
        // "The following argument was not expected: X" names the first.
        std::string what = e.what();
        const size_t colon = what.find(": ");
        std::string first =
            colon == std::string::npos ? what : what.substr(colon + 2);
        first = first.substr(0, first.find(' '));
        return cli_fail(OP_USAGE, "unknown argument '%s' (try --help)",
                        first.c_str());
    }
    return cli_fail(OP_USAGE, "%s (try --help)", e.what());
}

} // namespace

int cli_main(int argc, char **argv) {
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");

    // The usage comes first, as "usage: ra62d2ide ...".
    CLI::App app("", "ra62d2ide");
    app.get_formatter()->label("Usage", "usage");
    // Global options are taken after the command too.
    app.fallthrough();
    app.set_version_flag("--version", "ra62d2ide " RA62_VERSION,
                         "Print the version and exit");
    CliOptions opts;
    app.add_option("-p,--port", opts.port,
                   "Connection string, or auto: the one instrument the USB "
                   "list shows (simulators included)")
        ->capture_default_str();
    app.add_option("--trace", opts.trace,
                   "Append the bytes exchanged to FILE (as VO62_TRACE)");
    app.add_flag("--json", opts.json, "Print results as one JSON object");
    app.add_flag("-q,--quiet", opts.quiet, "Print nothing but errors");
    app.add_flag("-y,--yes", opts.yes, "Answer yes to confirmations");
    app.footer("Services a VO-62 V2 susceptibility and conductivity meter. "
               "Without arguments the program is the interactive console. "
               "See ra62d2ide(1).\n\n"
               "Exit status: 0 done; 1 the instrument refused or a transfer "
               "failed; 2 usage error; 3 no instrument found or the "
               "connection failed; 4 a local file could not be read or "
               "written; 130 interrupted (Ctrl-C).");

    CliCommands cmds;
    cli_add_device(app, cmds);
    cli_add_params(app, cmds);
    cli_add_log(app, cmds);
    cli_add_card(app, cmds);
    cli_add_fw(app, cmds);
    cli_add_screen(app, cmds);
    cli_add_remote(app, cmds);
    cli_add_export(app, cmds);

    // "--version" and "--help" stand alone: anything after them is named.
    const std::string first = argv[1];
    if (argc > 2 &&
        (first == "--version" || first == "--help" || first == "-h"))
        return cli_fail(OP_USAGE, "unknown argument '%s' (try --help)",
                        argv[2]);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usage_error(e);
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
        return cli_fail(OP_USAGE, "no command given (try 'ra62d2ide%s --help')",
                        path.c_str());
    }
    if (cmd->check) {
        const int checked = cmd->check();
        if (checked != OP_OK)
            return checked;
    }
    opts.port = cli_port_alias(opts.port);
    if (cmd->device && opts.port != "auto" && !looks_like_connection(opts.port))
        return cli_fail(OP_USAGE,
                        "'%s' is not a connection string (README lists the "
                        "forms)",
                        opts.port.c_str());

    CliRun run(opts);
    if (cmd->confirm && !run.confirm(cmd->confirm()))
        return OP_USAGE;

    // What the console narrates stays out; results are the command's own.
    op_set_narration(false);
    if (!opts.trace.empty())
        cli_set_env("VO62_TRACE", opts.trace.c_str());
    op_clear_stop();
    cli_install_interrupt();
    MXX_init(nullptr, on_device_list_changed, nullptr);

    int status = OP_OK;
    if (cmd->device) {
        std::string conn = opts.port;
        if (conn == "auto")
            status = resolve_auto(&conn);
        if (status == OP_OK)
            status = connect_instrument(conn);
    }
    if (status == OP_OK && op_stop_requested())
        status = cli_fail(OP_INTERRUPTED, "interrupted before the command "
                                          "began; nothing done");
    if (status == OP_OK) {
        status = cmd->run(run);
        if (status == OP_OK || status == OP_INTERRUPTED)
            run.finish();
    }
    if (cmd->device && connected != 0) {
        const int rc = MXX_disconnect(id_conn);
        (void)rc; // a link the instrument closed (restart, flash) is fine
    }
    MXX_shut();
    return status;
}
