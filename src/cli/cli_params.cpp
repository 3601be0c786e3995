// Subcommands of the parameter record: "params get" lists it (and writes
// the parameter text file), "params set" changes named fields, or restores
// those of a JSON file that "params get --json" printed.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli.h"
#include "cmd_util.h"
#include "v21_ops.h"

namespace {

constexpr const char *PARAMS_PREFIX = "Params.";

// A listed name's array and index: "calib2.cond_nom[3]" is element 3 of
// "calib2.cond_nom"; a name without brackets has index -1.
std::string array_of(const std::string &name, int *index) {
    const size_t open = name.find('[');
    *index = -1;
    if (open == std::string::npos || name.back() != ']')
        return name;
    *index = atoi(name.c_str() + open + 1);
    return name.substr(0, open);
}

nlohmann::json stored_json(const V21_param_stored &v) {
    switch (v.kind) {
    case V21_param_kind::f32:
        return cli_float(v.real);
    case V21_param_kind::text:
        return v.text;
    default:
        return v.integer;
    }
}

// The record as JSON: each listed field under its name without "Params.",
// the indexed ones as arrays, floats so that they read back exactly.
nlohmann::json params_json(const unsigned char *rec, bool extended) {
    nlohmann::json out = nlohmann::json::object();
    for (const V21_param_stored &v : V21_params_stored(rec, V21_PARAMS_SIZE)) {
        if (v.extended && !extended)
            continue;
        int index = 0;
        const std::string key = array_of(v.name, &index);
        if (index < 0)
            out[key] = stored_json(v);
        else
            out[key][size_t(index)] = stored_json(v);
    }
    return out;
}

// The names the listing prints, without "Params.".
const std::set<std::string> &listed_names() {
    static const std::set<std::string> names = [] {
        std::set<std::string> n;
        unsigned char zero[V21_PARAMS_SIZE] = {};
        for (const V21_param_stored &v : V21_params_stored(zero, sizeof zero))
            n.insert(v.name);
        return n;
    }();
    return names;
}

std::string short_name(const std::string &name) {
    return name.rfind(PARAMS_PREFIX, 0) == 0
               ? name.substr(strlen(PARAMS_PREFIX))
               : name;
}

int run_get(CliRun &run, const std::string &out, bool extended) {
    unsigned char rec[V21_PARAMS_BUF];
    const int st = V21_op_get_params(rec, "V21_cmd_get_params");
    if (st != OP_OK)
        return st;
    const std::string text = V21_params_text(rec, V21_PARAMS_SIZE, extended);
    if (!out.empty()) {
        const int written = V21_op_write_local(
            out.c_str(), reinterpret_cast<const unsigned char *>(text.data()),
            text.size());
        if (written != OP_OK)
            return written;
        run.json()["file"] = out;
    }
    run.say("%s", text.c_str());
    run.json()["params"] = params_json(rec, extended);
    return OP_OK;
}

// One field to set: from NAME=VALUE, or from the file.
struct Setting {
    std::string name;    // as listed, without "Params."
    nlohmann::json file; // the file's value; null for NAME=VALUE
    V21_param_value value{};
    bool settable = false;
};

struct ParamsSetArgs {
    std::vector<std::string> words;
    std::string from;
    std::vector<Setting> settings;
};

// A value of the file for a field that can be set, checked as NAME=VALUE
// is: false with why.
bool file_value(const V21_param_field &f, const nlohmann::json &j,
                V21_param_value *v, std::string *why) {
    switch (f.kind) {
    case V21_param_kind::f32:
        if (j.is_number()) {
            v->field = &f;
            v->real = float(j.get<double>());
            return true;
        }
        if (j.is_string()) // "inf", "-inf"; "nan" is refused
            return V21_parse_param(f, j.get<std::string>(), v, why);
        *why = "not a number";
        return false;
    case V21_param_kind::text:
        if (!j.is_string()) {
            *why = "not text";
            return false;
        }
        return V21_parse_param(f, j.get<std::string>(), v, why);
    default:
        if (!j.is_number_integer()) {
            *why = "not a whole number";
            return false;
        }
        return V21_parse_param(f, std::to_string(j.get<int64_t>()), v, why);
    }
}

// Reads the file's fields: {"params": {...}} as "params get --json"
// prints it, or the fields alone.
int load_from(ParamsSetArgs &a, std::set<std::string> &seen) {
    std::ifstream in(a.from, std::ios::binary);
    if (!in)
        return cli_fail(OP_LOCAL_FILE, "cannot read %s: %s", a.from.c_str(),
                        strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json doc =
        nlohmann::json::parse(text.str(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return cli_fail(OP_LOCAL_FILE, "%s is not a JSON object",
                        a.from.c_str());
    const nlohmann::json &fields =
        doc.contains("params") && doc["params"].is_object() ? doc["params"]
                                                            : doc;
    for (const auto &[key, value] : fields.items()) {
        std::vector<std::pair<std::string, nlohmann::json>> flat;
        if (value.is_array())
            for (size_t i = 0; i < value.size(); i++)
                flat.emplace_back(key + "[" + std::to_string(i) + "]",
                                  value[i]);
        else
            flat.emplace_back(key, value);
        for (auto &[name, v] : flat) {
            const std::string n = short_name(name);
            if (!listed_names().count(n))
                return cli_fail(OP_LOCAL_FILE,
                                "%s: unknown parameter '%s' (params get "
                                "--extended lists them)",
                                a.from.c_str(), name.c_str());
            if (!seen.insert(n).second)
                return cli_fail(OP_USAGE, "%s is given twice", n.c_str());
            Setting s{n, v, {}, false};
            if (const V21_param_field *f = V21_find_param(n)) {
                std::string why;
                if (!file_value(*f, v, &s.value, &why))
                    return cli_fail(OP_LOCAL_FILE, "%s: %s=%s: %s",
                                    a.from.c_str(), n.c_str(), v.dump().c_str(),
                                    why.c_str());
                s.settable = true;
            }
            a.settings.push_back(std::move(s));
        }
    }
    return OP_OK;
}

// Every value is checked against the console editor's range before
// anything is sent; a name given twice is refused.
int check_set(ParamsSetArgs &a) {
    a.settings.clear();
    if (a.words.empty() && a.from.empty())
        return cli_fail(OP_USAGE, "params set needs NAME=VALUE or --from FILE");
    std::set<std::string> seen;
    for (const std::string &s : a.words) {
        std::string name, text;
        if (!cli_split_setting(s, &name, &text))
            return cli_fail(OP_USAGE, "'%s' is not NAME=VALUE", s.c_str());
        const V21_param_field *f = V21_find_param(name);
        if (!f)
            return cli_fail(OP_USAGE,
                            "unknown parameter '%s' (params get --extended "
                            "lists them)",
                            name.c_str());
        const std::string n = short_name(f->name);
        if (!seen.insert(n).second)
            return cli_fail(OP_USAGE, "%s is given twice", n.c_str());
        Setting setting{n, nullptr, {}, true};
        std::string why;
        if (!V21_parse_param(*f, text, &setting.value, &why))
            return cli_fail(OP_USAGE, "%s=%s: %s", name.c_str(), text.c_str(),
                            why.c_str());
        a.settings.push_back(std::move(setting));
    }
    return a.from.empty() ? int(OP_OK) : load_from(a, seen);
}

// Whether a file's value is what the record holds.
bool holds(const V21_param_stored &v, const nlohmann::json &j) {
    switch (v.kind) {
    case V21_param_kind::f32:
        if (j.is_number())
            return float(j.get<double>()) == v.real;
        return j.is_string() && cli_float(v.real) == j;
    case V21_param_kind::text:
        return j.is_string() && j.get<std::string>() == v.text;
    default:
        return j.is_number_integer() && j.get<int64_t>() == v.integer;
    }
}

int run_set(CliRun &run, const ParamsSetArgs &a) {
    unsigned char rec[V21_PARAMS_BUF];
    int st = V21_op_get_params(rec, "V21_cmd_set_params");
    if (st != OP_OK)
        return st;
    std::map<std::string, V21_param_stored> stored;
    for (V21_param_stored &v : V21_params_stored(rec, V21_PARAMS_SIZE))
        stored.emplace(v.name, std::move(v));
    nlohmann::json written = nlohmann::json::object();
    int unchanged = 0;
    for (const Setting &s : a.settings) {
        // A field of the file that holds the stored value is left as its
        // bytes are; one that cannot be set must hold it.
        if (!s.file.is_null() && holds(stored.at(s.name), s.file)) {
            unchanged++;
            continue;
        }
        if (!s.settable)
            return cli_fail(OP_LOCAL_FILE,
                            "%s: %s is %s on the instrument and cannot be "
                            "set; nothing written",
                            a.from.c_str(), s.name.c_str(),
                            stored_json(stored.at(s.name)).dump().c_str());
        V21_apply_param(rec, s.value);
        switch (s.value.field->kind) {
        case V21_param_kind::f32:
            written[s.name] = cli_float(s.value.real);
            break;
        case V21_param_kind::text:
            written[s.name] = s.value.text;
            break;
        default:
            written[s.name] = s.value.integer;
        }
    }
    // Nothing differs: the record is left untouched (a write would still
    // set its host-write flag).
    if (!written.empty()) {
        st = V21_op_set_params(rec);
        if (st != OP_OK)
            return st;
    }
    if (a.from.empty())
        run.say("%zu parameter(s) written\n", written.size());
    else
        run.say("%zu parameter(s) written, %d already as %s has them\n",
                written.size(), unchanged, a.from.c_str());
    run.json()["params"] = written;
    run.json()["written"] = written.size();
    run.json()["unchanged"] = unchanged;
    return OP_OK;
}

} // namespace

void cli_add_params(CLI::App &app, CliCommands &cmds) {
    CLI::App *params = app.add_subcommand("params", "The parameter record");

    auto get_out = std::make_shared<std::string>();
    auto get_extended = std::make_shared<bool>(false);
    CliCommand &get = cmds.add(*params, "get", "List the parameters");
    get.app
        ->add_option("--out", *get_out,
                     "Also write the listing to FILE (the parameter text "
                     "file)")
        ->type_name("FILE");
    get.app->add_flag("--extended", *get_extended,
                      "List every field, calibration included");
    get.run = [get_out, get_extended](CliRun &run) -> int {
        return run_get(run, *get_out, *get_extended);
    };

    auto a = std::make_shared<ParamsSetArgs>();
    CliCommand &set = cmds.add(
        *params, "set",
        "Change fields by the names the listing prints; the rest stay");
    set.app
        ->add_option("NAME=VALUE", a->words,
                     "For example contrast=60, calib.fs=1.25 or gps_pin=1234 "
                     "(\"Params.\" may be left out)")
        ->type_name("");
    set.app
        ->add_option("--from", a->from,
                     "Also the fields of FILE, as params get --json printed "
                     "them; those that hold the instrument's values stay as "
                     "they are")
        ->type_name("FILE");
    set.check = [a]() -> int { return check_set(*a); };
    set.run = [a](CliRun &run) -> int { return run_set(run, *a); };
}
