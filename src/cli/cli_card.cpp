// Subcommands of the storage card: download its image, upload an archive.
#include <chrono>
#include <sys/stat.h>

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

// The size of a local file, -1 when there is none.
long long local_size(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

// A copy into a file that holds part of the card's image starts again from
// the first byte only when asked: the part may be all there is of a copy
// that took hours.
int confirm_restart(CliRun &run, const std::string &image) {
    const long long have = local_size(image);
    if (have <= 0)
        return OP_OK;
    uint32_t size = 0;
    const int st = V21_op_card_image_size(&size);
    if (st != OP_OK)
        return st;
    if (uint64_t(have) >= size)
        return OP_OK; // a whole image is replaced, as the console does
    if (!run.confirm("replace " + image + ", which holds " +
                     std::to_string(have) + " of the card's " +
                     std::to_string(size) + " bytes (--resume continues it)"))
        return OP_USAGE;
    return OP_OK;
}

} // namespace

void cli_add_card(CLI::App &app, CliCommands &cmds) {
    CLI::App *card = app.add_subcommand("card", "The storage card");

    auto image = std::make_shared<std::string>("sd.img");
    CliCommand &download =
        cmds.add(*card, "download", "Copy the card's image into FILE");
    download.asks = true;
    download.app->add_option("FILE", *image, "Image file")
        ->type_name("")
        ->capture_default_str();
    auto resume = std::make_shared<bool>(false);
    download.app->add_flag(
        "--resume", *resume,
        "Continue a partial FILE after checking its last whole 512 bytes; "
        "without it a partial FILE is replaced only after a yes (or -y)");
    auto in_chunks = std::make_shared<CliChunk>();
    cli_add_chunk(*download.app, *in_chunks);
    download.check = [in_chunks]() -> int {
        return cli_check_chunk(*in_chunks);
    };
    download.run = [image, resume, in_chunks](CliRun &run) -> int {
        if (!*resume) {
            const int asked = confirm_restart(run, *image);
            if (asked != OP_OK)
                return asked;
        }
        const auto start = std::chrono::steady_clock::now();
        uint64_t copied = 0;
        const int st =
            V21_op_download_sd(image->c_str(), run.progress(), &copied, *resume,
                               cli_chunks(run, *in_chunks));
        run.json()["file"] = *image;
        run.json()["bytes"] = copied;
        run.json()["seconds"] = seconds_since(start);
        run.json()["complete"] = st == OP_OK;
        if (st == OP_INTERRUPTED && copied > 0) {
            run.json()["resume"] =
                "ra62d2ide card download " + *image + " --resume";
            cli_fail(st, "continue with: ra62d2ide card download %s --resume",
                     image->c_str());
        }
        if (st != OP_OK)
            return st;
        run.say("%llu bytes written to %s\n",
                static_cast<unsigned long long>(copied), image->c_str());
        return OP_OK;
    };

    auto archive = std::make_shared<std::string>();
    CliCommand &upload =
        cmds.add(*card, "upload",
                 "Recreate a tar archive's directories and files on the card");
    upload.app->add_option("ARCHIVE", *archive, "Tar archive")
        ->type_name("")
        ->required();
    auto out_chunks = std::make_shared<CliChunk>();
    cli_add_chunk(*upload.app, *out_chunks);
    upload.check = [archive, out_chunks]() -> int {
        const int st = cli_check_chunk(*out_chunks);
        return st != OP_OK ? st : cli_check_readable(*archive);
    };
    upload.run = [archive, out_chunks](CliRun &run) -> int {
        const auto start = std::chrono::steady_clock::now();
        V21_upload_result r;
        const int st = V21_op_upload_tar(archive->c_str(), run.progress(), &r,
                                         cli_chunks(run, *out_chunks));
        nlohmann::json skipped = nlohmann::json::array();
        for (const V21_skipped_entry &e : r.skipped) {
            // Each entry that did not reach the card, named with why.
            cli_fail(OP_FAILED, "%s: %s skipped: %s", archive->c_str(),
                     e.path.c_str(), e.reason.c_str());
            skipped.push_back({{"path", e.path}, {"reason", e.reason}});
        }
        nlohmann::json &j = run.json();
        j["archive"] = *archive;
        j["files"] = r.files;
        j["directories"] = r.directories;
        j["bytes"] = r.bytes;
        j["skipped"] = skipped;
        j["seconds"] = seconds_since(start);
        j["complete"] = st == OP_OK && r.skipped.empty();
        if (st != OP_OK)
            return st;
        if (!r.skipped.empty())
            return cli_fail(OP_FAILED,
                            "%d file(s) and %d director%s unpacked onto the "
                            "card; %zu entr%s of %s skipped",
                            r.files, r.directories,
                            r.directories == 1 ? "y" : "ies", r.skipped.size(),
                            r.skipped.size() == 1 ? "y" : "ies",
                            archive->c_str());
        run.say("%s unpacked onto the card: %d file(s) of %llu bytes, %d "
                "director%s\n",
                archive->c_str(), r.files,
                static_cast<unsigned long long>(r.bytes), r.directories,
                r.directories == 1 ? "y" : "ies");
        return OP_OK;
    };
}
