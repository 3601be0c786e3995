// The command line's framework: what every subcommand reports through
// (result lines, JSON output, the progress bar, confirmations), exit
// statuses with their one line, and the registry of subcommands.
#include "cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli_platform.h"
#include "cli_progress.h"
#include "libcomm.h"
#include "local_fs.h"
#include "mxx_comm.h"

namespace {

constexpr int CONFIRM_ANSWER_SIZE = 64;

} // namespace

int cli_list_usb(comm_entry *list) {
    memset(list, 0, sizeof(comm_entry) * CLI_MAX_DEVICES);
    int count = 0;
    if (MXX_list_usb_devices(list, CLI_MAX_DEVICES, &count) != 0 || count < 0)
        count = 0;
    return count > CLI_MAX_DEVICES ? CLI_MAX_DEVICES : count;
}

int cli_fail(int status, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_error("ra62d2ide: %s\n", text);
    return status;
}

int cli_check_readable(const std::string &path) {
    if (!fs_readable(path))
        return cli_fail(OP_LOCAL_FILE, "cannot read %s: %s", path.c_str(),
                        strerror(errno));
    return OP_OK;
}

bool cli_split_setting(const std::string &text, std::string *name,
                       std::string *value) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *name = text.substr(0, eq);
    *value = text.substr(eq + 1);
    return true;
}

CliRun::CliRun(const CliOptions &o) : opts_(o) {}

CliRun::~CliRun() = default;

void CliRun::say(const char *format, ...) {
    if (opts_.quiet || opts_.json)
        return;
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_write("MAIN", "%s", text);
}

Progress &CliRun::progress() {
    if (opts_.quiet || !cli_is_terminal(stderr))
        return no_progress();
    if (!bar_)
        bar_ = std::make_unique<BarProgress>();
    return *bar_;
}

bool CliRun::confirm(const std::string &what) {
    if (opts_.yes)
        return true;
    if (!cli_is_terminal(stdin)) {
        cli_fail(OP_USAGE,
                 "refusing to %s without --yes when standard input is not a "
                 "terminal; nothing done",
                 what.c_str());
        return false;
    }
    log_error("Really %s? Type yes to go on: ", what.c_str());
    char answer[CONFIRM_ANSWER_SIZE] = "";
    if (!fgets(answer, sizeof answer, stdin))
        return false;
    answer[strcspn(answer, "\r\n")] = 0;
    if (strcmp(answer, "yes") != 0) {
        cli_fail(OP_USAGE, "not confirmed; nothing done");
        return false;
    }
    return true;
}

void CliRun::finish() {
    if (finished_)
        return;
    finished_ = true;
    if (opts_.json && !opts_.quiet)
        // Text from the instrument need not be UTF-8: bad bytes are
        // replaced, never thrown about.
        log_write(
            "MAIN", "%s\n",
            json_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                .c_str());
}

CliCommand &CliCommands::add(CLI::App &parent, const std::string &name,
                             const std::string &description) {
    auto cmd = std::make_unique<CliCommand>();
    cmd->app = parent.add_subcommand(name, description);
    commands_.push_back(std::move(cmd));
    return *commands_.back();
}

CliCommand *CliCommands::chosen() {
    for (auto &c : commands_)
        if (c->app->parsed())
            return c.get();
    return nullptr;
}
