// The export of a synced log: "ra62d2ide export [DIR] [--out OUTDIR]
// [--csv] [--geojson] [--gpx] [--html]". It needs no instrument.
#include "cli.h"
#include "export_log.h"

namespace {

struct ExportArgs {
    std::string dir, out;
    bool csv = false, geojson = false, gpx = false, html = false;
};

int run_export(CliRun &run, const ExportArgs &a) {
    ExportOptions o;
    o.dir = a.dir;
    if (o.dir.empty()) {
        const int st = export_find_dir(&o.dir);
        if (st != OP_OK)
            return st;
    }
    o.out = a.out;
    // No format named: all of them.
    const bool all = !(a.csv || a.geojson || a.gpx || a.html);
    o.csv = all || a.csv;
    o.geojson = all || a.geojson;
    o.gpx = all || a.gpx;
    o.html = all || a.html;
    o.progress = &run.progress();
    ExportResult r;
    const int st = export_log(o, &r);
    if (r.files.empty())
        return st;
    std::string files;
    for (const std::string &f : r.files)
        files += (files.empty() ? "" : ", ") + f;
    run.say("%d of %d records exported into %s: %s\n", r.exported, r.records,
            r.out.c_str(), files.c_str());
    if ((o.geojson || o.gpx) && r.without_fix > 0)
        run.note("%d reading%s without a GPS fix left out of the positions\n",
                 r.without_fix, r.without_fix == 1 ? "" : "s");
    nlohmann::json &j = run.json();
    j["dir"] = o.dir;
    j["out"] = r.out;
    j["records"] = r.records;
    j["exported"] = r.exported;
    j["readings"] = r.readings;
    j["series"] = r.series;
    j["groups"] = r.groups;
    j["without_fix"] = r.without_fix;
    j["damaged"] = r.damaged;
    j["files"] = r.files;
    if (o.html)
        j["plots"] = r.plots;
    // Damaged records were reported one by one; what was written stands,
    // and so does its JSON, beside the error.
    return st;
}

} // namespace

void cli_add_export(CLI::App &app, CliCommands &cmds) {
    auto a = std::make_shared<ExportArgs>();
    CliCommand &exp = cmds.add(
        app, "export",
        "Export a synced log (its archive) as CSV, GeoJSON, GPX and an HTML "
        "report; all four when none is named");
    exp.device = false;
    exp.app
        ->add_option("DIR", a->dir,
                     "Log directory (default: the one in the working "
                     "directory that holds an archive)")
        ->type_name("");
    exp.app
        ->add_option("--out", a->out,
                     "Directory of the files (default DIR/export)")
        ->type_name("OUTDIR");
    exp.app->add_flag("--csv", a->csv,
                      "readings.csv, series.csv and groups.csv");
    exp.app->add_flag("--geojson", a->geojson, "readings.geojson");
    exp.app->add_flag("--gpx", a->gpx, "readings.gpx");
    exp.app->add_flag("--html", a->html, "report.html");
    exp.run = [a](CliRun &run) -> int { return run_export(run, *a); };
}
