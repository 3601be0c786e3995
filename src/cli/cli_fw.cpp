// Subcommands of the firmware: create a container, upload it, flash it.
#include <cstdio>

#include "cli.h"
#include "v21_ops.h"

namespace {

struct CreateArgs {
    std::string image;
    std::string qfw = V21_FW_QFW_NAME;
    std::string version = "0.0";
    std::string name = V21_FW_DEVICE_NAME;
    bool encrypt = true;
    int major = 0, minor = 0;
};

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
    create.app->add_option("IMAGE", c->image, "Raw image")->required();
    create.app->add_option("QFW", c->qfw, "Container to write")
        ->capture_default_str();
    create.app->add_option("--version", c->version, "MAJOR.MINOR, 0 to 255")
        ->capture_default_str();
    create.app->add_option("--name", c->name, "Device name in the header")
        ->capture_default_str();
    create.app->add_flag("--encrypt,!--no-encrypt", c->encrypt,
                         "Scramble the image (the default)");
    create.check = [c]() -> int {
        if (!parse_version(c->version, &c->major, &c->minor))
            return cli_fail(OP_USAGE,
                            "--version '%s' is not MAJOR.MINOR of 0 to 255",
                            c->version.c_str());
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
        run.json()["encrypted"] = c->encrypt;
        return OP_OK;
    };

    auto qfw = std::make_shared<std::string>();
    auto flash_after = std::make_shared<bool>(false);
    CliCommand &upload = cmds.add(
        *fw, "upload", "Copy a container's image into the external flash");
    upload.app->add_option("QFW", *qfw, "Container")->required();
    upload.app->add_flag("--flash", *flash_after,
                         "Then let the instrument program itself from it");
    upload.check = [qfw]() -> int { return cli_check_readable(*qfw); };
    upload.run = [qfw, flash_after](CliRun &run) -> int {
        M17_qfw_upload_opts o{qfw->c_str(), V21_FW_DEVICE_TYPE,
                              V21_FW_IMAGE_SIZE};
        int st = M17_op_upload_qfw(o, run.progress());
        if (st != OP_OK)
            return st;
        run.say("%s uploaded to the external flash\n", qfw->c_str());
        run.json()["file"] = *qfw;
        run.json()["flashed"] = false;
        if (!*flash_after)
            return OP_OK;
        st = M17_op_flash_fw(qfw->c_str());
        if (st != OP_OK)
            return st;
        run.say("flashing started; the instrument restarts when done\n");
        run.json()["flashed"] = true;
        return OP_OK;
    };

    auto flash_qfw = std::make_shared<std::string>(V21_FW_QFW_NAME);
    CliCommand &flash =
        cmds.add(*fw, "flash",
                 "Let the instrument program itself from its external flash");
    flash.app->add_option("QFW", *flash_qfw, "The container uploaded")
        ->capture_default_str();
    flash.check = [flash_qfw]() -> int {
        return cli_check_readable(*flash_qfw);
    };
    flash.run = [flash_qfw](CliRun &run) -> int {
        const int st = M17_op_flash_fw(flash_qfw->c_str());
        if (st != OP_OK)
            return st;
        run.say("flashing started; the instrument restarts when done\n");
        run.json()["file"] = *flash_qfw;
        return OP_OK;
    };
}
