// "ra62d2ide help [COMMAND...]": a command's help, as COMMAND --help shows
// it; and the bash completion script, made from the command tree so that
// it never names a command or option the program does not have.
#include <string>

#include "cli.h"

namespace {

// An option's names as typed: "-p --port".
std::string option_words(const CLI::Option *o) {
    std::string words;
    for (const std::string &s : o->get_snames())
        words += " -" + s;
    for (const std::string &l : o->get_lnames())
        words += " --" + l;
    return words;
}

// The options of a that are shown (hidden ones have no group), all of them
// and those that take a value.
void option_lists(CLI::App &a, std::string *all, std::string *valued) {
    for (const CLI::Option *o : a.get_options()) {
        // Positionals, hidden options and the help flag (listed always).
        if (o->get_positional() || o->get_group().empty() ||
            o == a.get_help_ptr())
            continue;
        *all += option_words(o);
        if (o->get_expected_max() > 0) // a flag expects no value
            *valued += option_words(o);
    }
}

// One "case" entry of the completion function per command path.
void completion_cases(CLI::App &a, const std::string &path, std::string *out) {
    std::string subs, opts, valued;
    for (CLI::App *s : cli_children(a))
        subs += " " + s->get_name();
    if (!path.empty()) // the program's own options are the global ones
        option_lists(a, &opts, &valued);
    *out += "    \"" + path + "\") subs=\"" +
            subs.substr(subs.empty() ? 0 : 1) + "\" opts=\"-h --help" + opts +
            "\" vopts=\"" + valued.substr(valued.empty() ? 0 : 1) + "\" ;;\n";
    for (CLI::App *s : cli_children(a))
        completion_cases(
            *s, path.empty() ? s->get_name() : path + " " + s->get_name(), out);
}

constexpr const char *COMPLETION_HEAD =
    "# bash completion of ra62d2ide, made from its command tree by\n"
    "# 'ra62d2ide help --bash-completion'.\n"
    "_ra62d2ide_node() {\n"
    "    case $1 in\n";

constexpr const char *COMPLETION_TAIL =
    "    *) subs=\"\" opts=\"-h --help\" vopts=\"\" ;;\n"
    "    esac\n"
    "}\n"
    "\n"
    "_ra62d2ide() {\n"
    "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
    "    local path=\"\" subs opts vopts i w\n"
    "    # The words before the cursor: a command extends the path, an\n"
    "    # option that takes a value takes the next word with it.\n"
    "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
    "        w=${COMP_WORDS[i]}\n"
    "        _ra62d2ide_node \"$path\"\n"
    "        if [[ \" $subs \" == *\" $w \"* ]]; then\n"
    "            path=${path:+$path }$w\n"
    "        elif [[ \" $vopts $_ra62d2ide_global_vopts \" == *\" $w \"* ]]; "
    "then\n"
    "            ((i++))\n"
    "        fi\n"
    "    done\n"
    "    _ra62d2ide_node \"$path\"\n"
    "    if [[ \" $vopts $_ra62d2ide_global_vopts \" == *\" $prev \"* ]]; "
    "then\n"
    "        case $prev in\n"
    "        -p | --port) COMPREPLY=($(compgen -W \"auto serial=\" -- "
    "\"$cur\")) ;;\n"
    "        *) COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
    "        esac\n"
    "    elif [[ $cur == -* ]]; then\n"
    "        COMPREPLY=($(compgen -W \"$opts $_ra62d2ide_global_opts\" -- "
    "\"$cur\"))\n"
    "    elif [[ -n $subs ]]; then\n"
    "        COMPREPLY=($(compgen -W \"$subs\" -- \"$cur\"))\n"
    "    else\n"
    "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
    "    fi\n"
    "}\n"
    "complete -F _ra62d2ide ra62d2ide\n";

} // namespace

std::string cli_bash_completion(CLI::App &app) {
    std::string global, global_valued;
    option_lists(app, &global, &global_valued);
    std::string script = COMPLETION_HEAD;
    completion_cases(app, "", &script);
    script += COMPLETION_TAIL;
    script += "_ra62d2ide_global_opts=\"" + global.substr(1) + "\"\n";
    script += "_ra62d2ide_global_vopts=\"" + global_valued.substr(1) + "\"\n";
    return script;
}

namespace {
std::vector<std::string> help_words;
}

std::vector<std::string> &cli_help_words() {
    return help_words;
}

void cli_add_help(CLI::App &app, CliCommands &cmds) {
    auto words = std::make_shared<std::vector<std::string>>();
    auto completion = std::make_shared<bool>(false);
    CliCommand &help = cmds.add(app, "help", "Show a command's help");
    help.device = false;
    // Listed for the help text; the words themselves come from the line as
    // cli_main takes them out (cli_help_words).
    help.app
        ->add_option("COMMAND", *words, "The command, for example log delete")
        ->type_name("");
    help.app
        ->add_flag("--bash-completion", *completion,
                   "Print the bash completion script")
        ->group("");
    CLI::App *root = &app;
    help.run = [root, words, completion](CliRun &run) -> int {
        if (*completion) {
            run.say("%s", cli_bash_completion(*root).c_str());
            return OP_OK;
        }
        CLI::App *a = root;
        std::string path, prev; // prev: the words before a's name

        for (const std::string &w : help_words) {
            CLI::App *found = nullptr;
            std::vector<std::string> names;
            for (CLI::App *s : cli_children(*a)) {
                names.push_back(s->get_name());
                if (s->get_name() == w)
                    found = s;
            }
            if (!found) {
                const std::string near = cli_nearest(w, names);
                if (!near.empty())
                    return cli_fail(OP_USAGE,
                                    "no command 'ra62d2ide%s %s' (did you "
                                    "mean '%s'?)",
                                    path.c_str(), w.c_str(), near.c_str());
                return cli_fail(OP_USAGE,
                                "no command 'ra62d2ide%s %s' (ra62d2ide%s "
                                "--help lists them)",
                                path.c_str(), w.c_str(), path.c_str());
            }
            prev = prev.empty() ? a->get_name() : prev + " " + a->get_name();
            a = found;
            path += " " + w;
        }
        // The formatter itself: App::help() would show the help of the
        // subcommand the line chose, which is help.
        const std::string text = a->get_formatter()->make_help(
            a, prev.empty() ? a->get_name() : prev + " " + a->get_name(),
            CLI::AppFormatMode::Normal);
        run.say("%s", text.c_str());
        run.json()["command"] = "ra62d2ide" + path;
        run.json()["help"] = text;
        return OP_OK;
    };
}
