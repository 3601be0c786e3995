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
    std::string port = "auto";
    std::string trace;
    bool json = false;
    bool quiet = false;
    bool yes = false;
};

// What a running subcommand reports through.
class CliRun {
  public:
    explicit CliRun(const CliOptions &o);
    ~CliRun();
    CliRun(const CliRun &) = delete;
    CliRun &operator=(const CliRun &) = delete;

    const CliOptions &options() const { return opts_; }
    // A result line on standard output (not with --json or -q).
    void say(const char *format, ...) COMM_PRINTF(2, 3);
    // The JSON object printed at the end with --json (not with -q).
    nlohmann::json &json() { return json_; }
    // The progress bar on standard error, or nothing when standard error is
    // not a terminal or -q was given.
    Progress &progress();
    // Whether a destructive command may go on: --yes, or "yes" typed on a
    // terminal. On a pipe without --yes it refuses with a line naming the
    // option.
    bool confirm(const std::string &what);
    // Prints the JSON object (once) when --json was given.
    void finish();

  private:
    const CliOptions &opts_;
    nlohmann::json json_ = nlohmann::json::object();
    std::unique_ptr<Progress> bar_;
    bool finished_ = false;
};

// Most instruments one listing shows.
constexpr int CLI_MAX_DEVICES = 32;
// Lists the USB instruments (simulators included) into list, which holds
// CLI_MAX_DEVICES entries; answers how many, 0 when the listing fails.
int cli_list_usb(comm_entry *list);

struct CliCommand {
    CLI::App *app = nullptr;
    // Whether the command needs the instrument (connects first).
    bool device = true;
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

  private:
    std::vector<std::unique_ptr<CliCommand>> commands_;
};

// Prints "ra62d2ide: TEXT" on standard error and answers status.
int cli_fail(int status, const char *format, ...) COMM_PRINTF(2, 3);

// Refuses, before anything is sent, a local file that cannot be read:
// OP_LOCAL_FILE with a line naming it, else OP_OK.
int cli_check_readable(const std::string &path);

// Splits "NAME=VALUE"; false when there is no "=" or no name.
bool cli_split_setting(const std::string &text, std::string *name,
                       std::string *value);

// Groups of subcommands.
void cli_add_device(CLI::App &app, CliCommands &cmds);
void cli_add_params(CLI::App &app, CliCommands &cmds);
void cli_add_log(CLI::App &app, CliCommands &cmds);
void cli_add_card(CLI::App &app, CliCommands &cmds);
void cli_add_fw(CLI::App &app, CliCommands &cmds);
void cli_add_screen(CLI::App &app, CliCommands &cmds);
void cli_add_remote(CLI::App &app, CliCommands &cmds);
void cli_add_export(CLI::App &app, CliCommands &cmds);

#endif
