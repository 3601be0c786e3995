// Subcommands of the instrument's identity: list, info, time, serial, model
// and restart.
#include <cstring>
#include <strings.h>

#include "cli.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "v21_ops.h"

namespace {

constexpr int SERIAL_TAIL_LEN = 4;

std::string clock_text(const M17_time &t, char between) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.4d-%.2d-%.2d%c%.2d:%.2d:%.2d", t.year, t.month,
             t.day, between, t.hour, t.minute, t.second);
    return buf;
}

nlohmann::json list_entries(comm_entry *list, int count) {
    nlohmann::json out = nlohmann::json::array();
    for (int i = 0; i < count; i++) {
        char name[COMM_STR_SIZE] = "";
        comm_get_devid_string(list[i], name);
        name[COMM_STR_SIZE - 1] = 0;
        out.push_back({{"connection", list[i]}, {"name", name}});
    }
    return out;
}

void say_entries(CliRun &run, const nlohmann::json &entries) {
    for (const auto &e : entries)
        run.say("%s  %s\n", e["connection"].get<std::string>().c_str(),
                e["name"].get<std::string>().c_str());
}

int run_list(CliRun &run, bool bluetooth) {
    comm_entry list[CLI_MAX_DEVICES];
    int count = cli_list_usb(list);
    run.json()["instruments"] = list_entries(list, count);
    say_entries(run, run.json()["instruments"]);
    if (!bluetooth)
        return OP_OK;
#ifdef _WIN32
    // Windows pairs the instrument itself and gives it a virtual COM port;
    // there is no inquiry to make.
    return cli_fail(OP_NO_DEVICE,
                    "on Windows a paired instrument is reached through the "
                    "COM port Windows gave it (Bluetooth settings, More "
                    "Bluetooth options, COM Ports): -p COMn");
#endif
    if (!MXX_bt_is_available())
        return cli_fail(OP_NO_DEVICE, "no Bluetooth adapter is switched on");
    memset(list, 0, sizeof list);
    count = 0;
    MXX_comm_bt_discover(0, 0);
    if (MXX_comm_bt_discover_wait(list, &count) != 0 || count < 0)
        count = 0;
    if (count > CLI_MAX_DEVICES)
        count = CLI_MAX_DEVICES;
    run.json()["bluetooth"] = list_entries(list, count);
    say_entries(run, run.json()["bluetooth"]);
    return OP_OK;
}

nlohmann::json model_options(uint32_t model) {
    nlohmann::json o = nlohmann::json::object();
    for (const V21_model_option &opt : V21_model_options)
        o[opt.key] = (model & opt.bit) != 0;
    return o;
}

int run_info(CliRun &run) {
    int st = M17_op_get_serial();
    char version[M17_FW_VERSION_LEN + 1] = "";
    if (st == OP_OK)
        st = M17_op_get_fw_version(version);
    uint32_t model = 0;
    if (st == OP_OK)
        st = V21_op_get_model(&model, "V21_cmd_get_model_rev");
    unsigned char status[V21_STATUS_SIZE] = {};
    if (st == OP_OK)
        st = V21_op_get_status(status);
    M17_time clock{};
    if (st == OP_OK)
        st = M17_op_get_time(&clock);
    uint32_t heap = 0;
    char memory[V21_MEM_TEXT_SIZE] = "";
    if (st == OP_OK)
        st = V21_op_memory_usage(&heap, memory, sizeof memory);
    if (st != OP_OK)
        return st;

    const V21_status s = V21_decode_status(status, sizeof status);
    std::string names;
    for (const V21_model_option &opt : V21_model_options)
        if (model & opt.bit)
            names += std::string(names.empty() ? "" : ", ") + opt.label;
    run.say("serial:    %s\n", serial_no);
    run.say("firmware:  %s\n", version);
    run.say("model:     0x%.8x%s%s\n", model, names.empty() ? "" : " ",
            names.c_str());
    run.say("status:    error 0x%.8x, battery %d mV (%d%%), contrast %d, "
            "bluetooth %d, gps %d, flash %u MiB\n",
            s.error, s.bat_voltage_mv, s.bat_percent, s.contrast, s.bt_status,
            s.gps_status, s.flash_size_bytes >> 20);
    run.say("clock:     %s\n", clock_text(clock, ' ').c_str());
    run.say("memory:    %u bytes of heap free; %s\n", heap, memory);
    nlohmann::json &j = run.json();
    j["serial"] = serial_no;
    j["firmware"] = version;
    j["model"] = {{"word", model}, {"options", model_options(model)}};
    j["status"] = {{"error", s.error},
                   {"battery_mv", s.bat_voltage_mv},
                   {"battery_percent", s.bat_percent},
                   {"contrast", s.contrast},
                   {"bluetooth", s.bt_status},
                   {"gps", s.gps_status},
                   {"flash_bytes", s.flash_size_bytes}};
    j["clock"] = clock_text(clock, 'T');
    j["memory"] = {{"heap_free_bytes", heap}, {"text", memory}};
    return OP_OK;
}

// The option of a name: its key ("adc24") or the label "set model" asks
// ("24bit ADC"), in any letter case.
const V21_model_option *find_model_option(const std::string &name) {
    for (const V21_model_option &opt : V21_model_options)
        if (strcasecmp(name.c_str(), opt.key) == 0 ||
            strcasecmp(name.c_str(), opt.label) == 0)
            return &opt;
    return nullptr;
}

struct ModelSetting {
    const V21_model_option *option;
    bool on;
};

} // namespace

void cli_add_device(CLI::App &app, CliCommands &cmds) {
    // list
    auto bluetooth = std::make_shared<bool>(false);
    CliCommand &list =
        cmds.add(app, "list", "List the instruments on USB and the simulators");
    list.app->add_flag("--bluetooth", *bluetooth,
                       "Also run a Bluetooth inquiry (about ten seconds)");
    list.device = false;
    list.run = [bluetooth](CliRun &run) -> int {
        return run_list(run, *bluetooth);
    };

    // info
    CliCommand &info =
        cmds.add(app, "info",
                 "Serial, firmware version, model options, status, clock "
                 "and memory use");
    info.run = run_info;

    // time get, time set
    CLI::App *time = app.add_subcommand("time", "The instrument's clock");
    CliCommand &time_get = cmds.add(*time, "get", "Print the clock");
    time_get.run = [](CliRun &run) -> int {
        M17_time t{};
        const int st = M17_op_get_time(&t);
        if (st != OP_OK)
            return st;
        run.say("%s\n", clock_text(t, ' ').c_str());
        run.json()["clock"] = clock_text(t, 'T');
        return OP_OK;
    };
    auto offset = std::make_shared<int>(0);
    CliCommand &time_set = cmds.add(
        *time, "set", "Set the clock to the PC's local time plus an offset");
    time_set.app
        ->add_option("--offset", *offset,
                     "Hours added to the PC's clock, -12 to 12")
        ->capture_default_str();
    time_set.check = [offset]() -> int {
        if (*offset < -M17_CLOCK_OFFSET_MAX || *offset > M17_CLOCK_OFFSET_MAX)
            return cli_fail(OP_USAGE, "--offset %d is not within -%d to %d",
                            *offset, M17_CLOCK_OFFSET_MAX,
                            M17_CLOCK_OFFSET_MAX);
        return OP_OK;
    };
    time_set.run = [offset](CliRun &run) -> int {
        M17_time t;
        M17_clock_from_local(::time(nullptr), *offset, &t);
        const int st = M17_op_set_time(t);
        if (st != OP_OK)
            return st;
        run.say("clock set to %s\n", clock_text(t, ' ').c_str());
        run.json()["clock"] = clock_text(t, 'T');
        return OP_OK;
    };

    // serial set
    CLI::App *serial = app.add_subcommand("serial", "The serial number");
    auto digits = std::make_shared<std::string>();
    CliCommand &serial_set =
        cmds.add(*serial, "set",
                 "Set the serial of an instrument that has none (A000XXXX)");
    serial_set.app
        ->add_option("SERIAL", *digits,
                     "The four characters after A000, or all eight")
        ->required();
    serial_set.check = [digits]() -> int {
        std::string &d = *digits;
        if (d.size() == M17_SERIAL_LEN && d.rfind("A000", 0) == 0)
            d = d.substr(M17_SERIAL_LEN - SERIAL_TAIL_LEN);
        if (d.size() != SERIAL_TAIL_LEN)
            return cli_fail(OP_USAGE,
                            "serial '%s' is neither four characters nor "
                            "A000 and four",
                            d.c_str());
        return OP_OK;
    };
    serial_set.run = [digits](CliRun &run) -> int {
        char tail[SERIAL_TAIL_LEN + 1];
        bool unset = false;
        int st = V21_op_read_serial_tail(tail, &unset, "V21_cmd_set_serial");
        if (st != OP_OK)
            return st;
        if (!unset)
            return cli_fail(OP_FAILED,
                            "serial number already set (A000%s); nothing "
                            "changed",
                            tail);
        st = V21_op_set_serial(digits->c_str());
        if (st != OP_OK)
            return st;
        run.say("serial set to A000%s\n", digits->c_str());
        run.json()["serial"] = "A000" + *digits;
        return OP_OK;
    };

    // model get, model set
    CLI::App *model = app.add_subcommand("model", "The model options");
    CliCommand &model_get =
        cmds.add(*model, "get", "Print the six model options");
    model_get.run = [](CliRun &run) -> int {
        uint32_t word = 0;
        const int st = V21_op_get_model(&word, "V21_cmd_get_model_rev");
        if (st != OP_OK)
            return st;
        for (const V21_model_option &opt : V21_model_options)
            run.say("%-13s %d  (%s)\n", opt.key, (word & opt.bit) ? 1 : 0,
                    opt.label);
        run.json()["word"] = word;
        run.json()["options"] = model_options(word);
        return OP_OK;
    };
    auto settings = std::make_shared<std::vector<std::string>>();
    auto parsed = std::make_shared<std::vector<ModelSetting>>();
    CliCommand &model_set = cmds.add(
        *model, "set", "Set model options; those not named keep their value");
    model_set.app
        ->add_option("NAME=0|1", *settings,
                     "adc24, vo62c, vo62sc, logo, no_bluetooth, rect_coil "
                     "(or the labels of the console's \"set model\")")
        ->required();
    model_set.check = [settings, parsed]() -> int {
        for (const std::string &s : *settings) {
            std::string name, value;
            if (!cli_split_setting(s, &name, &value))
                return cli_fail(OP_USAGE, "'%s' is not NAME=0 or NAME=1",
                                s.c_str());
            const V21_model_option *opt = find_model_option(name);
            if (!opt)
                return cli_fail(OP_USAGE, "unknown model option '%s'",
                                name.c_str());
            if (value != "0" && value != "1")
                return cli_fail(OP_USAGE,
                                "model option %s takes 0 or 1, not "
                                "'%s'",
                                name.c_str(), value.c_str());
            parsed->push_back({opt, value == "1"});
        }
        return OP_OK;
    };
    model_set.run = [parsed](CliRun &run) -> int {
        uint32_t word = 0;
        int st = V21_op_get_model(&word, "V21_cmd_set_model_rev");
        if (st != OP_OK)
            return st;
        // Only the six options are kept; other bits are cleared, as the
        // console's "set model" does.
        uint32_t value = 0;
        for (const V21_model_option &opt : V21_model_options)
            if (word & opt.bit)
                value |= opt.bit;
        for (const ModelSetting &s : *parsed)
            value = s.on ? value | s.option->bit : value & ~s.option->bit;
        st = V21_op_set_model(value);
        if (st != OP_OK)
            return st;
        run.say("model options set: 0x%.8x\n", value);
        run.json()["word"] = value;
        run.json()["options"] = model_options(value);
        return OP_OK;
    };

    // restart
    CliCommand &restart = cmds.add(app, "restart", "Restart the instrument");
    restart.run = [](CliRun &run) -> int {
        const int st = M17_op_restart();
        if (st == OP_OK)
            run.say("restarting\n");
        return st;
    };
}
