// Subcommands of the screen and the concentration tables.
#include <cerrno>
#include <cstring>

#include "cli.h"
#include "cmd_util.h"
#include "v21_ops.h"

namespace {

int check_index(int index) {
    if (index < 1 || index > LUT_INDEX_MAX)
        return cli_fail(OP_USAGE, "table index %d is not 1 to %d", index,
                        LUT_INDEX_MAX);
    return OP_OK;
}

// The table's name, up to its first zero byte.
std::string lut_name(const unsigned char *lut) {
    char name[LUT_NAME_SIZE + 1] = {};
    memcpy(name, lut + 4, LUT_NAME_SIZE);
    return name;
}

struct SetArgs {
    int index = 0;
    std::string file;
    std::string name;
    bool rename = false;
    unsigned char lut[LUT_SIZE] = {};
};

// Reads the local table, which must hold exactly one table.
int load_table(SetArgs &a) {
    FilePtr f = open_file(a.file.c_str(), "rb");
    if (!f)
        return cli_fail(OP_LOCAL_FILE, "cannot read %s: %s", a.file.c_str(),
                        strerror(errno));
    unsigned char buf[LUT_SIZE + 1];
    const size_t n = fread(buf, 1, sizeof buf, f.get());
    if (ferror(f.get()))
        return cli_fail(OP_LOCAL_FILE, "cannot read %s", a.file.c_str());
    if (n != LUT_SIZE)
        return cli_fail(
            OP_LOCAL_FILE, "%s holds %s bytes, a table file holds exactly %d",
            a.file.c_str(),
            n > LUT_SIZE ? "more than 116" : std::to_string(n).c_str(),
            LUT_SIZE);
    memcpy(a.lut, buf, LUT_SIZE);
    return OP_OK;
}

} // namespace

void cli_add_screen(CLI::App &app, CliCommands &cmds) {
    auto bmp_path = std::make_shared<std::string>("screen.bmp");
    CliCommand &screen =
        cmds.add(app, "screen", "Capture the screen into a bitmap");
    screen.app->add_option("FILE", *bmp_path, "Bitmap file")
        ->type_name("")
        ->capture_default_str();
    screen.run = [bmp_path](CliRun &run) -> int {
        unsigned char bmp[BMP_FILE_SIZE];
        int st = V21_op_capture_screen(bmp);
        if (st == OP_OK)
            st = V21_op_write_local(bmp_path->c_str(), bmp, sizeof bmp);
        if (st != OP_OK)
            return st;
        run.say("screen written to %s\n", bmp_path->c_str());
        run.json()["file"] = *bmp_path;
        return OP_OK;
    };

    CLI::App *lut = app.add_subcommand("lut", "The concentration tables");

    CliCommand &list = cmds.add(*lut, "list", "List the tables 1 to 3");
    list.run = [](CliRun &run) -> int {
        nlohmann::json tables = nlohmann::json::array();
        for (int index = 1; index <= LUT_INDEX_MAX; index++) {
            unsigned char table[LUT_SIZE] = {};
            bool found = false;
            const int st = V21_op_lut_read(index, table, &found);
            if (st != OP_OK)
                return st;
            if (found)
                run.say("%d  '%s'\n", index, lut_name(table).c_str());
            else
                run.say("%d  (none)\n", index);
            nlohmann::json t = {{"index", index}, {"present", found}};
            if (found)
                t["name"] = lut_name(table);
            tables.push_back(t);
        }
        run.json()["tables"] = tables;
        return OP_OK;
    };

    auto get_index = std::make_shared<int>(0);
    auto get_file = std::make_shared<std::string>("conclut.dat");
    CliCommand &get =
        cmds.add(*lut, "get", "Copy table INDEX into a local table file");
    get.app->add_option("INDEX", *get_index, "1 to 3")
        ->type_name("")
        ->required();
    get.app->add_option("FILE", *get_file, "Table file")
        ->type_name("")
        ->capture_default_str();
    get.check = [get_index]() -> int { return check_index(*get_index); };
    get.run = [get_index, get_file](CliRun &run) -> int {
        unsigned char table[LUT_SIZE] = {};
        bool found = false;
        int st = V21_op_lut_read(*get_index, table, &found);
        if (st != OP_OK)
            return st;
        if (!found)
            return cli_fail(OP_FAILED,
                            "table %d could not be read from the "
                            "instrument",
                            *get_index);
        st = V21_op_write_local(get_file->c_str(), table, sizeof table);
        if (st != OP_OK)
            return st;
        run.say("table %d '%s' written to %s\n", *get_index,
                lut_name(table).c_str(), get_file->c_str());
        run.json()["index"] = *get_index;
        run.json()["name"] = lut_name(table);
        run.json()["file"] = *get_file;
        return OP_OK;
    };

    auto s = std::make_shared<SetArgs>();
    CliCommand &set =
        cmds.add(*lut, "set", "Write a local table file as table INDEX");
    set.app->add_option("INDEX", s->index, "1 to 3")->type_name("")->required();
    set.app->add_option("FILE", s->file, "Table file of 116 bytes")
        ->type_name("")
        ->required();
    set.app
        ->add_option("--name", s->name,
                     "Give the table this name (at most 11 characters)")
        ->type_name("NAME");
    set.check = [s]() -> int {
        int st = check_index(s->index);
        if (st == OP_OK)
            st = load_table(*s);
        if (st == OP_OK && !s->name.empty()) {
            if (s->name.size() > size_t(LUT_NAME_MAX))
                return cli_fail(OP_USAGE, "--name '%s' is longer than %d",
                                s->name.c_str(), LUT_NAME_MAX);
            set_conc_lut_name(s->lut, s->name.c_str());
        }
        return st;
    };
    set.run = [s](CliRun &run) -> int {
        const int st = V21_op_lut_write(s->index, s->lut);
        if (st != OP_OK)
            return st;
        run.say("table %d '%s' written\n", s->index, lut_name(s->lut).c_str());
        run.json()["index"] = s->index;
        run.json()["name"] = lut_name(s->lut);
        return OP_OK;
    };

    auto del_index = std::make_shared<int>(0);
    CliCommand &del = cmds.add(*lut, "delete", "Delete table INDEX");
    del.app->add_option("INDEX", *del_index, "1 to 3")
        ->type_name("")
        ->required();
    del.check = [del_index]() -> int { return check_index(*del_index); };
    del.run = [del_index](CliRun &run) -> int {
        const int st = V21_op_lut_delete(*del_index);
        if (st != OP_OK)
            return st;
        run.say("table %d deleted\n", *del_index);
        run.json()["deleted"] = *del_index;
        return OP_OK;
    };
}
