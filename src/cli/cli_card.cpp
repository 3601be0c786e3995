// Subcommands of the storage card: download its image, upload an archive.
#include <chrono>

#include "cli.h"
#include "cmd_util.h"
#include "v21_ops.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                         start)
        .count();
}

} // namespace

void cli_add_card(CLI::App &app, CliCommands &cmds) {
    CLI::App *card = app.add_subcommand("card", "The storage card");

    auto image = std::make_shared<std::string>("sd.img");
    CliCommand &download =
        cmds.add(*card, "download", "Copy the card's image into FILE");
    download.app->add_option("FILE", *image, "Image file")
        ->capture_default_str();
    auto resume = std::make_shared<bool>(false);
    download.app->add_flag(
        "--resume", *resume,
        "Continue a partial FILE after checking its last whole read");
    download.run = [image, resume](CliRun &run) -> int {
        const auto start = std::chrono::steady_clock::now();
        uint64_t copied = 0;
        const int st = V21_op_download_sd(image->c_str(), run.progress(),
                                          &copied, *resume);
        if (st != OP_OK && st != OP_INTERRUPTED)
            return st;
        const double seconds = seconds_since(start);
        if (st == OP_OK)
            run.say("%llu bytes written to %s\n",
                    static_cast<unsigned long long>(copied), image->c_str());
        run.json()["file"] = *image;
        run.json()["bytes"] = copied;
        run.json()["seconds"] = seconds;
        run.json()["complete"] = st == OP_OK;
        return st;
    };

    auto archive = std::make_shared<std::string>();
    CliCommand &upload =
        cmds.add(*card, "upload",
                 "Recreate a tar archive's directories and files on the card");
    upload.app->add_option("ARCHIVE", *archive, "Tar archive")->required();
    upload.check = [archive]() -> int { return cli_check_readable(*archive); };
    upload.run = [archive](CliRun &run) -> int {
        const auto start = std::chrono::steady_clock::now();
        const int st = V21_op_upload_tar(archive->c_str(), run.progress());
        if (st != OP_OK && st != OP_INTERRUPTED)
            return st;
        if (st == OP_OK)
            run.say("%s unpacked onto the card\n", archive->c_str());
        run.json()["archive"] = *archive;
        run.json()["seconds"] = seconds_since(start);
        run.json()["complete"] = st == OP_OK;
        return st;
    };
}
