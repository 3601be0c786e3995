// cli/: the command line: its framework (cli), the entry (cli_main), the
// progress bar (cli_progress) and one cli_*.cpp per group of subcommands,
// each calling the operations of device/ (and the archive and the export).
// It uses every layer but the console.
//
// The command line: "ra62d2ide [global options] COMMAND [options]" runs one
// operation and ends with an exit status that says what happened.
//
// A subcommand is registered by a group's cli_add_* function: it adds its
// CLI11 options, a check that runs before anything is sent (usage errors:
// OP_USAGE after one line naming the culprit) and the run itself, which
// calls an operation and reports through CliRun.
#ifndef CLI_H
#define CLI_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "libcomm.h"
#include "ops.h"

struct CliOptions {
    // Empty: RA62_PORT, else "auto".
    std::string port;
    std::string trace;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool yes = false;
};

// What a running subcommand reports through.
//
// Standard output holds the results: lines of text, or with --json one JSON
// object (on failure {"error": {"status": N, "message": "..."}} with what
// the command had when it failed). Standard error holds errors, the
// progress bar and commentary; -q hides the last two only.
class CliRun {
  public:
    explicit CliRun(const CliOptions &o);
    ~CliRun();
    CliRun(const CliRun &) = delete;
    CliRun &operator=(const CliRun &) = delete;

    const CliOptions &options() const { return opts_; }
    // A result line on standard output (not with --json).
    void say(const char *format, ...) COMM_PRINTF(2, 3);
    // Commentary on standard error: what the result does not say but a
    // person wants to know (not with -q).
    void note(const char *format, ...) COMM_PRINTF(2, 3);
    // The JSON object printed at the end with --json.
    nlohmann::json &json() { return json_; }
    // The progress bar on standard error, or nothing when standard error is
    // not a terminal or -q was given.
    Progress &progress();
    // Whether a command may go on: --yes, or "yes" typed on a terminal. On
    // a pipe without --yes it refuses with a line naming the option.
    bool confirm(const std::string &what);
    // Prints the JSON object (once) when --json was given: the result for
    // status 0, else the error object with the lines standard error got.
    void finish(int status);

  private:
    const CliOptions &opts_;
    nlohmann::json json_ = nlohmann::json::object();
    std::unique_ptr<Progress> bar_;
    bool finished_ = false;
};

// The error object of --json for status, its message made of the error
// lines printed so far (without "ra62d2ide: "); fields holds what the
// command had when it failed and is merged in.
nlohmann::json
cli_error_json(int status,
               const nlohmann::json &fields = nlohmann::json::object());
// Prints "ra62d2ide: TEXT" on standard error and answers status.
int cli_fail(int status, const char *format, ...)
    COMM_PRINTF(2, 3);
// The error lines standard error got since the program began (progress and
// prompts left out), each without its "ra62d2ide: ".
std::vector<std::string> cli_error_lines();
// Starts watching standard error: blank lines are left out and each error
// line is kept for the JSON error object; local file failures are printed
// as one line with the system's reason.
void cli_watch_errors();

// A float as JSON: the shortest decimal that reads back as the same float
// (at most nine digits), so 1.2345 stays 1.2345; "nan", "inf" and "-inf"
// as text, which JSON has no number for.
nlohmann::json cli_float(float v);

// Most instruments one listing shows.
constexpr int CLI_MAX_DEVICES = 32;
// Lists the USB instruments (simulators included) into list, which holds
// CLI_MAX_DEVICES entries; answers how many, 0 when the listing fails.
int cli_list_usb(comm_entry *list);
// A listed instrument: its connection string and name, and the name's
// parts ("VO-62 V2 A0001234 on /dev/ttyACM0": product, serial, port;
// "NAME (ADDRESS)" of a Bluetooth device: product and address).
struct CliListed {
    std::string connection, name, product, serial, port, address;
};
CliListed cli_listed(const char *entry);

struct CliCommand {
    CLI::App *app = nullptr;
    // Whether the command needs the instrument (connects first).
    bool device = true;
    // Whether the command may ask a question that -y answers.
    bool asks = false;
    // Checks the arguments before anything is sent; answers OP_OK or an
    // op_status after one line.
    std::function<int()> check;
    // For a command that deletes: the question asked (after the check,
    // before connecting) unless --yes was given.
    std::function<std::string()> confirm;
    std::function<int(CliRun &)> run;
};

// The registered subcommands.
class CliCommands {
  public:
    // Adds a subcommand of parent; the caller fills in check and run.
    CliCommand &add(CLI::App &parent, const std::string &name,
                    const std::string &description);
    // The command whose subcommand was chosen on the line, or null.
    CliCommand *chosen();
    const std::vector<std::unique_ptr<CliCommand>> &all() const {
        return commands_;
    }

  private:
    std::vector<std::unique_ptr<CliCommand>> commands_;
};

// Refuses, before anything is sent, a local file that cannot be read:
// OP_LOCAL_FILE with a line naming it, else OP_OK.
int cli_check_readable(const std::string &path);

// Splits "NAME=VALUE"; false when there is no "=" or no name.
bool cli_split_setting(const std::string &text, std::string *name,
                       std::string *value);

// The subcommands of a (all, not only those the line named).
std::vector<CLI::App *> cli_children(CLI::App &a);

// The name of names nearest to word (at most two edits away, and nearer
// than the word's length), or "" when none is near.
std::string cli_nearest(const std::string &word,
                        const std::vector<std::string> &names);

// Groups of subcommands.
void cli_add_device(CLI::App &app, CliCommands &cmds);
void cli_add_params(CLI::App &app, CliCommands &cmds);
void cli_add_log(CLI::App &app, CliCommands &cmds);
void cli_add_card(CLI::App &app, CliCommands &cmds);
void cli_add_fw(CLI::App &app, CliCommands &cmds);
void cli_add_screen(CLI::App &app, CliCommands &cmds);
void cli_add_remote(CLI::App &app, CliCommands &cmds);
void cli_add_export(CLI::App &app, CliCommands &cmds);
// "help [COMMAND...]", and the bash completion script of the command tree.
void cli_add_help(CLI::App &app, CliCommands &cmds);
// The command words "help" was given on the line.
std::vector<std::string> &cli_help_words();
std::string cli_bash_completion(CLI::App &app);

#endif
