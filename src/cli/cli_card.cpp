// Subcommands of the storage card: download its image, upload an archive.
#include <chrono>

#include "cli.h"
#include "cli_chunk.h"
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
        "Continue a partial FILE after checking its last whole 512 bytes");
    auto in_chunks = std::make_shared<CliChunk>();
    cli_add_chunk(*download.app, *in_chunks);
    download.check = [in_chunks]() -> int {
        return cli_check_chunk(*in_chunks);
    };
    download.run = [image, resume, in_chunks](CliRun &run) -> int {
        const auto start = std::chrono::steady_clock::now();
        uint64_t copied = 0;
        const int st =
            V21_op_download_sd(image->c_str(), run.progress(), &copied, *resume,
                               cli_chunks(run, *in_chunks));
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
    auto out_chunks = std::make_shared<CliChunk>();
    cli_add_chunk(*upload.app, *out_chunks);
    upload.check = [archive, out_chunks]() -> int {
        const int st = cli_check_chunk(*out_chunks);
        return st != OP_OK ? st : cli_check_readable(*archive);
    };
    upload.run = [archive, out_chunks](CliRun &run) -> int {
        const auto start = std::chrono::steady_clock::now();
        const int st = V21_op_upload_tar(archive->c_str(), run.progress(),
                                         cli_chunks(run, *out_chunks));
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
