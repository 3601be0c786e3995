// Subcommands of the measurement log: download, delete, clear and purge.
#include "cli.h"
#include "cli_chunk.h"
#include "cmd_util.h"
#include "log_archive.h"
#include "v21_ops.h"

namespace {

struct DownloadArgs {
    std::string dir;
    bool notes = false, raw = false, aux = false, no_summary = false;
    CliChunk chunk;
};

// The answers the download and the sync share.
template <typename Opts> void fill_opts(Opts &o, DownloadArgs &a, CliRun &run) {
    o.summary = !a.no_summary;
    o.notes = a.notes;
    o.raw = a.raw;
    o.aux = a.aux;
    o.dir = a.dir;
    o.records = &run.progress();
    o.chunks = cli_chunks(run, a.chunk);
}

int run_download(CliRun &run, DownloadArgs &a) {
    V21_meas_log_opts o;
    fill_opts(o, a, run);
    o.dump = false;
    V21_meas_log_result r;
    const int st = V21_op_get_meas_log(o, &r);
    if (st != OP_OK && st != OP_LOCAL_FILE && st != OP_INTERRUPTED)
        return st;
    if (r.dir.empty())
        run.say("%d of %d records downloaded, no files saved\n", r.records,
                r.total);
    else
        run.say("%d of %d records downloaded into %s\n", r.records, r.total,
                r.dir.c_str());
    run.json()["records"] = r.records;
    run.json()["total"] = r.total;
    run.json()["dir"] = r.dir;
    run.json()["files_failed"] = r.files_failed;
    if (st == OP_LOCAL_FILE)
        return cli_fail(OP_LOCAL_FILE, "%d local file(s) could not be written",
                        r.files_failed);
    return st;
}

int run_sync(CliRun &run, DownloadArgs &a, bool rebuild) {
    LogSyncOpts o;
    fill_opts(o, a, run);
    o.rebuild = rebuild;
    LogSyncResult r;
    const int st = log_sync(o, &r);
    if (st != OP_OK && st != OP_LOCAL_FILE && st != OP_INTERRUPTED)
        return st;
    if (r.dir.empty())
        return st;
    run.say("%d new of %d records downloaded; %d records archived in %s\n",
            r.downloaded, r.on_instrument, r.archived, r.dir.c_str());
    run.json()["dir"] = r.dir;
    run.json()["on_instrument"] = r.on_instrument;
    run.json()["checked"] = r.checked;
    run.json()["new"] = r.to_download;
    run.json()["downloaded"] = r.downloaded;
    run.json()["archived"] = r.archived;
    run.json()["files_failed"] = r.files_failed;
    run.json()["complete"] = st != OP_INTERRUPTED;
    if (st == OP_LOCAL_FILE && r.files_failed)
        return cli_fail(OP_LOCAL_FILE, "%d local file(s) could not be written",
                        r.files_failed);
    return st;
}

} // namespace

void cli_add_log(CLI::App &app, CliCommands &cmds) {
    CLI::App *log = app.add_subcommand("log", "The measurement log");

    auto dl = std::make_shared<DownloadArgs>();
    CliCommand &download = cmds.add(
        *log, "download",
        "Download every record into DIR (default kappa_ and the serial's "
        "last four characters)");
    download.app->add_option("DIR", dl->dir, "Directory of the files");
    download.app->add_flag("--notes", dl->notes, "Save the voice notes");
    download.app->add_flag("--raw", dl->raw, "Save the raw-sample files");
    download.app->add_flag("--aux", dl->aux, "Save the auxiliary data");
    download.app->add_flag("--no-summary", dl->no_summary,
                           "Do not write the summary file kappa.dat");
    cli_add_chunk(*download.app, dl->chunk);
    download.check = [dl]() -> int { return cli_check_chunk(dl->chunk); };
    download.run = [dl](CliRun &run) -> int { return run_download(run, *dl); };

    auto sy = std::make_shared<DownloadArgs>();
    auto rebuild = std::make_shared<bool>(false);
    CliCommand &sync =
        cmds.add(*log, "sync",
                 "Download the records new to the archive in DIR (default as "
                 "download) and regenerate the download's files from it");
    sync.app->add_option("DIR", sy->dir, "Directory of the archive and files");
    sync.app->add_flag("--notes", sy->notes, "Keep and save the voice notes");
    sync.app->add_flag("--raw", sy->raw, "Save the raw-sample files");
    sync.app->add_flag("--aux", sy->aux, "Keep and save the auxiliary data");
    sync.app->add_flag("--no-summary", sy->no_summary,
                       "Do not write the summary file kappa.dat");
    sync.app->add_flag("--rebuild", *rebuild,
                       "Make a new index from the archive's record files");
    cli_add_chunk(*sync.app, sy->chunk);
    sync.check = [sy]() -> int {
        const int st = cli_check_chunk(sy->chunk);
        return st != OP_OK ? st : log_sync_check_dir(sy->dir);
    };
    sync.run = [sy, rebuild](CliRun &run) -> int {
        return run_sync(run, *sy, *rebuild);
    };

    auto slot = std::make_shared<int>(0);
    CliCommand &del =
        cmds.add(*log, "delete",
                 "Delete one slot's record, voice note and auxiliary data");
    del.app->add_option("SLOT", *slot, "Slot index, from 0")->required();
    del.check = [slot]() -> int {
        if (*slot < 0)
            return cli_fail(OP_USAGE, "slot %d is below 0", *slot);
        return OP_OK;
    };
    del.confirm = [slot]() {
        return "delete log slot " + std::to_string(*slot);
    };
    del.run = [slot](CliRun &run) -> int {
        int slots = 0;
        int st = V21_op_log_slots(&slots, "V21_cmd_delete_record");
        if (st != OP_OK)
            return st;
        if (*slot >= slots)
            return cli_fail(OP_USAGE,
                            "slot %d is not below the log's %d slots; "
                            "nothing deleted",
                            *slot, slots);
        st = V21_op_delete_record(*slot);
        if (st != OP_OK)
            return st;
        run.say("slot %d deleted\n", *slot);
        run.json()["deleted"] = *slot;
        return OP_OK;
    };

    CliCommand &clear =
        cmds.add(*log, "clear", "Let the instrument clear its whole log");
    clear.confirm = []() { return std::string("clear the whole log"); };
    clear.run = [](CliRun &run) -> int {
        const int st = V21_op_clear_logs();
        if (st == OP_OK)
            run.say("log cleared\n");
        return st;
    };

    CliCommand &purge = cmds.add(
        *log, "purge", "Delete every slot's record, key and voice note");
    purge.confirm = []() { return std::string("purge every log slot"); };
    purge.run = [](CliRun &run) -> int {
        const int st = V21_op_purge(run.progress());
        if (st == OP_OK)
            run.say("log purged\n");
        return st;
    };
}
