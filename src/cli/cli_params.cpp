// Subcommands of the parameter record: "params get" lists it (and writes
// the parameter text file), "params set" changes named fields.
#include <cstdlib>

#include "cli.h"
#include "cmd_util.h"
#include "v21_ops.h"

namespace {

// A listed value as JSON: numbers as numbers, the quoted PIN as text.
nlohmann::json param_value(const std::string &text) {
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        return text.substr(1, text.size() - 2);
    char *end = nullptr;
    if (text.rfind("0x", 0) == 0) {
        const unsigned long v = strtoul(text.c_str() + 2, &end, 16);
        if (*end == 0)
            return v;
    }
    const long long i = strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == 0)
        return i;
    const double d = strtod(text.c_str(), &end);
    if (!text.empty() && *end == 0)
        return d;
    return text;
}

struct GetArgs {
    std::string out;
    bool extended = false;
};

int run_get(CliRun &run, const GetArgs &a) {
    unsigned char rec[V21_PARAMS_BUF];
    const int st = V21_op_get_params(rec, "V21_cmd_get_params");
    if (st != OP_OK)
        return st;
    const std::string text = V21_params_text(rec, V21_PARAMS_SIZE, a.extended);
    if (!a.out.empty()) {
        const int written = V21_op_write_local(
            a.out.c_str(), reinterpret_cast<const unsigned char *>(text.data()),
            text.size());
        if (written != OP_OK)
            return written;
    }
    run.say("%s", text.c_str());
    nlohmann::json params = nlohmann::json::object();
    for (const V21_param_text &p : V21_params_listing(rec, V21_PARAMS_SIZE))
        if (!p.extended || a.extended)
            params[p.name.substr(sizeof "Params." - 1)] = param_value(p.value);
    run.json()["params"] = params;
    if (!a.out.empty())
        run.json()["file"] = a.out;
    return OP_OK;
}

} // namespace

void cli_add_params(CLI::App &app, CliCommands &cmds) {
    CLI::App *params = app.add_subcommand("params", "The parameter record");

    auto get_args = std::make_shared<GetArgs>();
    CliCommand &get = cmds.add(*params, "get", "List the parameters");
    get.app->add_option("--out", get_args->out,
                        "Also write the listing to FILE (the parameter text "
                        "file)");
    get.app->add_flag("--extended", get_args->extended,
                      "List every field, calibration included");
    get.run = [get_args](CliRun &run) -> int {
        return run_get(run, *get_args);
    };

    auto settings = std::make_shared<std::vector<std::string>>();
    auto values = std::make_shared<std::vector<V21_param_value>>();
    CliCommand &set = cmds.add(
        *params, "set",
        "Change fields by the names the listing prints; the rest stay");
    set.app
        ->add_option("NAME=VALUE", *settings,
                     "For example contrast=60 or calib.fs=1.25 (\"Params.\" "
                     "may be left out)")
        ->required();
    // Every value is checked against the console editor's range before
    // anything is sent.
    set.check = [settings, values]() -> int {
        for (const std::string &s : *settings) {
            std::string name, text;
            if (!cli_split_setting(s, &name, &text))
                return cli_fail(OP_USAGE, "'%s' is not NAME=VALUE", s.c_str());
            const V21_param_field *f = V21_find_param(name);
            if (!f)
                return cli_fail(OP_USAGE,
                                "unknown parameter '%s' (params get "
                                "--extended lists them)",
                                name.c_str());
            V21_param_value v;
            std::string why;
            if (!V21_parse_param(*f, text, &v, &why))
                return cli_fail(OP_USAGE, "%s=%s: %s", name.c_str(),
                                text.c_str(), why.c_str());
            values->push_back(v);
        }
        return OP_OK;
    };
    set.run = [values](CliRun &run) -> int {
        unsigned char rec[V21_PARAMS_BUF];
        int st = V21_op_get_params(rec, "V21_cmd_set_params");
        if (st != OP_OK)
            return st;
        for (const V21_param_value &v : *values)
            V21_apply_param(rec, v);
        st = V21_op_set_params(rec);
        if (st != OP_OK)
            return st;
        nlohmann::json changed = nlohmann::json::object();
        for (const V21_param_value &v : *values) {
            const std::string name = v.field->name.substr(sizeof "Params." - 1);
            if (v.field->kind == V21_param_kind::f32)
                changed[name] = v.real;
            else
                changed[name] = v.integer;
        }
        run.say("%zu parameter(s) written\n", values->size());
        run.json()["params"] = changed;
        return OP_OK;
    };
}
