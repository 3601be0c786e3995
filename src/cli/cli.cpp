// The command line's framework: what every subcommand reports through
// (result lines, JSON output, the progress bar, confirmations), exit
// statuses with their one line, the watch over standard error, and the
// registry of subcommands.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "cli_platform.h"
#include "cli_progress.h"
#include "libcomm.h"
#include "local_fs.h"
#include "log_sink.h"
#include "mxx_comm.h"

namespace {

constexpr int CONFIRM_ANSWER_SIZE = 64;
constexpr size_t NEAREST_MAX_EDITS = 2;
constexpr int FLOAT_MAX_DIGITS = 9; // enough for any float to read back
constexpr const char *LINE_PREFIX = "ra62d2ide: ";

// What standard error got: the lines kept for the JSON error object, the
// line being written, and the last character written (a line end at the
// start), which tells a blank line from the end of a line.
struct ErrorWatch {
    std::mutex m;
    std::vector<std::string> lines;
    std::string partial;
    char last = '\n';
    bool paused = false; // prompts and commentary are not errors
};
ErrorWatch watch;

void keep_text(const std::string &text) {
    for (char c : text) {
        if (c != '\n') {
            watch.partial += c;
            continue;
        }
        std::string line = std::move(watch.partial);
        watch.partial.clear();
        if (line.rfind(LINE_PREFIX, 0) == 0)
            line.erase(0, strlen(LINE_PREFIX));
        if (!line.empty())
            watch.lines.push_back(std::move(line));
    }
}

// The filter of error output (under the log's lock): no blank lines, and
// each line kept; the progress bar's redraws pass untouched.
void filter_errors(std::string &text) {
    std::lock_guard<std::mutex> lock(watch.m);
    if (!text.empty() && text[0] == '\r') {
        watch.last = text.back();
        return;
    }
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n' && watch.last == '\n')
            continue;
        out += c;
        watch.last = c;
    }
    text = std::move(out);
    if (!watch.paused)
        keep_text(text);
}

void pause_watch(bool paused) {
    std::lock_guard<std::mutex> lock(watch.m);
    watch.paused = paused;
}

// A local file that failed, as one line with the system's reason.
void file_failure(const char *what, const char *path, int err) {
    if (err != 0)
        log_error("%scannot %s %s: %s\n", LINE_PREFIX, what, path,
                  strerror(err));
    else
        log_error("%scannot %s %s\n", LINE_PREFIX, what, path);
}

const char *status_words(int status) {
    switch (status) {
    case OP_FAILED:
        return "the instrument refused or a transfer failed";
    case OP_USAGE:
        return "usage error";
    case OP_NO_DEVICE:
        return "no instrument found or the connection failed";
    case OP_LOCAL_FILE:
        return "a local file could not be read or written";
    case OP_INTERRUPTED:
        return "interrupted";
    default:
        return "failed";
    }
}

size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

void cli_watch_errors() {
    log_set_error_filter(filter_errors);
    op_set_file_failure_sink(file_failure);
}

std::vector<std::string> cli_error_lines() {
    std::lock_guard<std::mutex> lock(watch.m);
    std::vector<std::string> lines = watch.lines;
    if (!watch.partial.empty())
        lines.push_back(watch.partial);
    return lines;
}

nlohmann::json cli_error_json(int status, const nlohmann::json &fields) {
    std::string message;
    for (const std::string &line : cli_error_lines())
        message += (message.empty() ? "" : "\n") + line;
    if (message.empty())
        message = status_words(status);
    nlohmann::json j = fields.is_object() ? fields : nlohmann::json::object();
    j["error"] = {{"status", status}, {"message", message}};
    return j;
}

nlohmann::json cli_float(float v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    char text[32] = "";
    for (int digits = 1; digits <= FLOAT_MAX_DIGITS; digits++) {
        snprintf(text, sizeof text, "%.*g", digits, double(v));
        if (strtof(text, nullptr) == v)
            break;
    }
    return strtod(text, nullptr);
}

int cli_list_usb(comm_entry *list) {
    memset(list, 0, sizeof(comm_entry) * CLI_MAX_DEVICES);
    int count = 0;
    if (MXX_list_usb_devices(list, CLI_MAX_DEVICES, &count) != 0 || count < 0)
        count = 0;
    return count > CLI_MAX_DEVICES ? CLI_MAX_DEVICES : count;
}

CliListed cli_listed(const char *entry) {
    CliListed l;
    l.connection = entry;
    char name[COMM_STR_SIZE] = "";
    comm_get_devid_string(entry, name);
    name[COMM_STR_SIZE - 1] = 0;
    l.name = name;
    // "NAME (ADDRESS)": a Bluetooth device found by inquiry.
    const size_t open = l.name.rfind(" (");
    if (!l.name.empty() && l.name.back() == ')' && open != std::string::npos) {
        l.product = l.name.substr(0, open);
        l.address = l.name.substr(open + 2, l.name.size() - open - 3);
        return l;
    }
    // "PRODUCT SERIAL on PORT".
    const size_t on = l.name.rfind(" on ");
    if (on == std::string::npos)
        return l;
    l.port = l.name.substr(on + 4);
    const std::string before = l.name.substr(0, on);
    const size_t space = before.rfind(' ');
    l.serial = space == std::string::npos ? before : before.substr(space + 1);
    l.product = space == std::string::npos ? "" : before.substr(0, space);
    return l;
}

int cli_fail(int status, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = op_vformat(format, args);
    va_end(args);
    log_error("%s%s\n", LINE_PREFIX, text.c_str());
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

std::vector<CLI::App *> cli_children(CLI::App &a) {
    return a.get_subcommands([](CLI::App *) { return true; });
}

std::string cli_nearest(const std::string &word,
                        const std::vector<std::string> &names) {
    std::string best;
    size_t best_distance = NEAREST_MAX_EDITS + 1;
    for (const std::string &n : names) {
        const size_t d = edit_distance(word, n);
        if (d < best_distance && d < word.size()) {
            best = n;
            best_distance = d;
        }
    }
    return best;
}

CliRun::CliRun(const CliOptions &o) : opts_(o) {}

CliRun::~CliRun() = default;

void CliRun::say(const char *format, ...) {
    if (opts_.json)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = op_vformat(format, args);
    va_end(args);
    log_write("MAIN", "%s", text.c_str());
}

void CliRun::note(const char *format, ...) {
    if (opts_.quiet)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = op_vformat(format, args);
    va_end(args);
    pause_watch(true);
    log_error("%s", text.c_str());
    pause_watch(false);
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
    pause_watch(true);
    log_error("Really %s? Type yes to go on: ", what.c_str());
    char answer[CONFIRM_ANSWER_SIZE] = "";
    const bool read = fgets(answer, sizeof answer, stdin) != nullptr;
    {
        // The answer's line end moved standard error to a new line.
        std::lock_guard<std::mutex> lock(watch.m);
        watch.last = '\n';
        watch.paused = false;
    }
    answer[strcspn(answer, "\r\n")] = 0;
    if (!read || strcmp(answer, "yes") != 0) {
        cli_fail(OP_USAGE, "not confirmed; nothing done");
        return false;
    }
    return true;
}

void CliRun::finish(int status) {
    if (finished_ || !opts_.json)
        return;
    finished_ = true;
    const nlohmann::json out =
        status == OP_OK ? json_ : cli_error_json(status, json_);
    // Text from the instrument need not be UTF-8: bad bytes are replaced,
    // never thrown about.
    log_write("MAIN", "%s\n",
              out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
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
