// Subcommands of the measurement log: download, sync, list, delete, clear
// and purge.
#include <cstdio>

#include "cli.h"
#include "cli_chunk.h"
#include "cmd_util.h"
#include "log_archive.h"
#include "session.h"
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
    o.stop_at_file_error = true;
    V21_meas_log_result r;
    const int st = V21_op_get_meas_log(o, &r);
    if (st != OP_OK && st != OP_LOCAL_FILE && st != OP_INTERRUPTED)
        return st;
    run.json()["records"] = r.records;
    run.json()["total"] = r.total;
    run.json()["dir"] = r.dir;
    run.json()["files_failed"] = r.files_failed;
    run.json()["complete"] = st == OP_OK;
    if (st == OP_LOCAL_FILE) {
        // The line before this one named the file and the reason.
        if (r.dir.empty())
            return st;
        return cli_fail(OP_LOCAL_FILE,
                        "download stopped at the first file that could not "
                        "be written: %d of %d records saved in %s",
                        r.records, r.total, r.dir.c_str());
    }
    if (r.dir.empty())
        run.say("%d of %d records downloaded, no files saved\n", r.records,
                r.total);
    else
        run.say("%d of %d records downloaded into %s\n", r.records, r.total,
                r.dir.c_str());
    return st;
}

// The slots in use, in download order, with each record's number, time and
// type from its first read.
int run_log_list(CliRun &run) {
    std::vector<log_entry> entries;
    if (V21_op_read_log_table(entries) != 0)
        return OP_FAILED;
    const std::vector<int> order =
        meas_log_download_order(entries.data(), int(entries.size()));
    nlohmann::json &j = run.json();
    j["slots"] = entries.size();
    j["used"] = order.size();
    j["records"] = nlohmann::json::array();
    j["complete"] = false;
    ProgressPhase phase(run.progress(), order.size(), ProgressUnit::records);
    std::vector<unsigned char> buf(MEAS_RECORD_SIZE);
    for (int slot : order) {
        if (op_stop_requested())
            return cli_fail(OP_INTERRUPTED,
                            "stopped after %zu of %zu records listed",
                            j["records"].size(), order.size());
        uint32_t offset = 0;
        if (V21_op_read_record_part(id_conn, slot, buf.data(), &offset,
                                    RECORD_READ_CHUNK, no_progress()) != 0)
            return OP_FAILED;
        meas_record rec;
        decode_meas_record(buf.data(), offset, &rec);
        const log_entry &e = entries[size_t(slot)];
        char time[32];
        snprintf(time, sizeof time, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", rec.year,
                 rec.month, rec.day, rec.hour, rec.minute, rec.second);
        const bool note = e.flags & LOG_ENTRY_NOTE;
        const bool aux = e.flags & LOG_ENTRY_AUX;
        std::string with = note ? " note" : "";
        with += aux ? " aux" : "";
        run.say("%5d  record %-6d %.10s %s  %s%s%s\n", slot, rec.rec_no, time,
                time + 11, record_type_name(rec), with.empty() ? "" : "  ",
                with.c_str());
        j["records"].push_back({{"slot", slot},
                                {"key", e.sort_key},
                                {"rec_no", rec.rec_no},
                                {"group", rec.group_no},
                                {"time", time},
                                {"type", record_type(rec)},
                                {"type_name", record_type_name(rec)},
                                {"meas_mode", rec.meas_mode},
                                {"note", note},
                                {"aux", aux}});
        phase.advance(1);
    }
    run.note("%zu of %zu slots in use\n", order.size(), entries.size());
    j["complete"] = true;
    return OP_OK;
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
    run.json()["complete"] = st == OP_OK;
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
    download.app->add_option("DIR", dl->dir, "Directory of the files")
        ->type_name("");
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
    sync.app->add_option("DIR", sy->dir, "Directory of the archive and files")
        ->type_name("");
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

    CliCommand &list =
        cmds.add(*log, "list",
                 "List the slots in use: each record's number, time and type");
    list.run = run_log_list;

    auto slot = std::make_shared<int>(0);
    CliCommand &del =
        cmds.add(*log, "delete",
                 "Delete one slot's record, voice note and auxiliary data");
    del.app
        ->add_option("SLOT", *slot, "Slot index, from 0 (log list shows them)")
        ->type_name("")
        ->required();
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
        log_entry entry{};
        st = V21_op_log_entry(*slot, &entry, "V21_cmd_delete_record");
        if (st != OP_OK)
            return st;
        if (entry.sort_key == 0 && entry.flags == 0)
            return cli_fail(OP_USAGE,
                            "slot %d is empty; nothing deleted (log list shows "
                            "the slots in use)",
                            *slot);
        st = V21_op_delete_record(*slot);
        if (st != OP_OK)
            return st;
        run.say("slot %d deleted\n", *slot);
        run.json()["deleted"] = *slot;
        run.json()["record"] = entry.sort_key != 0;
        run.json()["note"] = (entry.flags & LOG_ENTRY_NOTE) != 0;
        run.json()["aux"] = (entry.flags & LOG_ENTRY_AUX) != 0;
        return OP_OK;
    };

    CliCommand &clear =
        cmds.add(*log, "clear", "Let the instrument clear its whole log");
    clear.confirm = []() { return std::string("clear the whole log"); };
    clear.run = [](CliRun &run) -> int {
        const int st = V21_op_clear_logs();
        if (st != OP_OK)
            return st;
        run.say("log cleared\n");
        run.json()["cleared"] = true;
        return OP_OK;
    };

    CliCommand &purge = cmds.add(
        *log, "purge", "Delete every slot's record, key and voice note");
    purge.confirm = []() { return std::string("purge every log slot"); };
    purge.run = [](CliRun &run) -> int {
        const int st = V21_op_purge(run.progress());
        if (st != OP_OK)
            return st;
        run.say("log purged\n");
        run.json()["purged"] = true;
        return OP_OK;
    };
}
