// Subcommands of the firmware: create a container, upload it, flash it.
#include <cstdio>

#include "cli.h"
#include "v21_ops.h"

namespace {

// The header's name field holds this many characters and a terminator.
constexpr size_t QFW_NAME_MAX = 19;

struct CreateArgs {
    std::string image;
    std::string qfw = V21_FW_QFW_NAME;
    std::string version = "0.0";
    std::string name = V21_FW_DEVICE_NAME;
    std::string old_version; // --version, the program's own option
    bool encrypt = true;
    int major = 0, minor = 0;
};

// A container the upload and the flash would refuse is refused before
// anything is sent, naming the file and what is wrong.
int check_container(const std::string &qfw) {
    std::string why;
    if (M17_qfw_verify(qfw.c_str(), V21_FW_DEVICE_TYPE, V21_FW_IMAGE_SIZE,
                       &why) != OP_OK)
        return cli_fail(OP_LOCAL_FILE, "%s: %s; nothing sent", qfw.c_str(),
                        why.c_str());
    return OP_OK;
}

// "MAJOR.MINOR", each 0 to 255.
bool parse_version(const std::string &text, int *major, int *minor) {
    unsigned a = 0, b = 0;
    char tail = 0;
    if (sscanf(text.c_str(), "%3u.%3u%c", &a, &b, &tail) != 2 ||
        a > QFW_VERSION_PART_MAX || b > QFW_VERSION_PART_MAX)
        return false;
    *major = int(a);
    *minor = int(b);
    return true;
}

} // namespace

void cli_add_fw(CLI::App &app, CliCommands &cmds) {
    CLI::App *fw = app.add_subcommand("fw", "Firmware containers");

    auto c = std::make_shared<CreateArgs>();
    CliCommand &create = cmds.add(
        *fw, "create", "Build a firmware container (QFW) from a raw image");
    create.device = false;
    create.app->add_option("IMAGE", c->image, "Raw image")
        ->type_name("")
        ->required();
    create.app->add_option("QFW", c->qfw, "Container to write")
        ->type_name("")
        ->capture_default_str();
    create.app
        ->add_option("--fw-version", c->version,
                     "The firmware's version, MAJOR.MINOR, 0 to 255")
        ->type_name("MAJOR.MINOR")
        ->capture_default_str();
    // --version is the program's; said so rather than taken for it.
    create.app->add_option("--version", c->old_version)->group("");
    create.app
        ->add_option("--name", c->name,
                     "Device name in the header, at most 19 characters")
        ->type_name("NAME")
        ->capture_default_str();
    create.app->add_flag("--encrypt,!--no-encrypt", c->encrypt,
                         "Scramble the image (the default)");
    create.check = [c]() -> int {
        if (!c->old_version.empty())
            return cli_fail(OP_USAGE,
                            "fw create takes the firmware's version as "
                            "--fw-version %s (--version is the program's)",
                            c->old_version.c_str());
        if (!parse_version(c->version, &c->major, &c->minor))
            return cli_fail(OP_USAGE,
                            "--fw-version '%s' is not MAJOR.MINOR of 0 to "
                            "255",
                            c->version.c_str());
        if (c->name.size() > QFW_NAME_MAX)
            return cli_fail(OP_USAGE,
                            "--name '%s' is %zu characters; the header holds "
                            "at most %zu",
                            c->name.c_str(), c->name.size(), QFW_NAME_MAX);
        return cli_check_readable(c->image);
    };
    create.run = [c](CliRun &run) -> int {
        M17_qfw_create_opts o;
        o.bin_name = c->image.c_str();
        o.qfw_name = c->qfw.c_str();
        o.major = c->major;
        o.minor = c->minor;
        o.encrypt = c->encrypt;
        o.device_name = c->name.c_str();
        o.image_size = V21_FW_IMAGE_SIZE;
        o.device_type = V21_FW_DEVICE_TYPE;
        o.whole_words = true;
        const int st = M17_op_create_qfw(o);
        if (st != OP_OK)
            return st;
        run.say("%s written (version %d.%d%s)\n", c->qfw.c_str(), c->major,
                c->minor, c->encrypt ? ", scrambled" : "");
        run.json()["file"] = c->qfw;
        run.json()["version"] = c->version;
        run.json()["name"] = c->name;
        run.json()["encrypted"] = c->encrypt;
        return OP_OK;
    };

    auto qfw = std::make_shared<std::string>();
    auto flash_after = std::make_shared<bool>(false);
    CliCommand &upload = cmds.add(
        *fw, "upload", "Copy a container's image into the external flash");
    upload.app->add_option("QFW", *qfw, "Container")->type_name("")->required();
    upload.app->add_flag("--flash", *flash_after,
                         "Then let the instrument program itself from it");
    upload.check = [qfw]() -> int { return check_container(*qfw); };
    upload.run = [qfw, flash_after](CliRun &run) -> int {
        M17_qfw_upload_opts o{qfw->c_str(), V21_FW_DEVICE_TYPE,
                              V21_FW_IMAGE_SIZE};
        M17_qfw_upload_result r;
        int st = M17_op_upload_qfw(o, run.progress(), &r);
        nlohmann::json &j = run.json();
        j["file"] = *qfw;
        j["bytes"] = r.bytes;
        j["blocks"] = r.blocks;
        j["block_size"] = r.block_size;
        j["flashed"] = false;
        j["complete"] = st == OP_OK;
        if (st != OP_OK)
            return st;
        run.say("%s uploaded to the external flash: %u bytes in %u blocks\n",
                qfw->c_str(), r.bytes, r.blocks);
        if (!*flash_after)
            return OP_OK;
        st = M17_op_flash_fw(qfw->c_str());
        if (st != OP_OK)
            return st;
        run.say("flashing started\n");
        run.note("the instrument restarts when it is done\n");
        j["flashed"] = true;
        return OP_OK;
    };

    auto flash_qfw = std::make_shared<std::string>(V21_FW_QFW_NAME);
    CliCommand &flash =
        cmds.add(*fw, "flash",
                 "Let the instrument program itself from its external flash");
    flash.app->add_option("QFW", *flash_qfw, "The container uploaded")
        ->type_name("")
        ->capture_default_str();
    flash.check = [flash_qfw]() -> int { return check_container(*flash_qfw); };
    flash.run = [flash_qfw](CliRun &run) -> int {
        const int st = M17_op_flash_fw(flash_qfw->c_str());
        if (st != OP_OK)
            return st;
        run.say("flashing started\n");
        run.note("the instrument restarts when it is done\n");
        run.json()["file"] = *flash_qfw;
        run.json()["flashed"] = true;
        return OP_OK;
    };
}
