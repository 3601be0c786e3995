// The export of a synced log into CSV, GeoJSON, GPX and an HTML report.
#include "export_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cmd_util.h"
#include "export_csv.h"
#include "export_geo.h"
#include "libcomm.h"
#include "local_fs.h"

namespace {

namespace fs = std::filesystem;

// Text gathered for an output is written in pieces of about this size.
constexpr size_t WRITE_CHUNK = 256 * 1024;
constexpr const char *TMP_SUFFIX = ".part";

// One output, written under a temporary name and renamed into place once
// every output is whole: a failed or stopped export never leaves a cut file
// where a whole one was. The temporary is removed on every other path.
class OutFile {
  public:
    OutFile(const std::string &dir, const char *name)
        : name_(name), path_(dir + "/" + name), tmp_(path_ + TMP_SUFFIX) {}
    ~OutFile() {
        file_.reset();
        if (!placed_)
            std::remove(tmp_.c_str());
    }
    OutFile(const OutFile &) = delete;
    OutFile &operator=(const OutFile &) = delete;

    bool open() {
        file_ = open_file(tmp_.c_str(), "wb");
        return file_ ? true : failed();
    }
    // The text gathered so far; written out once it is large.
    std::string &text() { return text_; }
    bool flush_if_full() { return text_.size() < WRITE_CHUNK || flush(); }
    // Writes the rest and closes the temporary file.
    bool close() {
        if (!flush())
            return false;
        FILE *f = file_.release();
        const bool ok = fflush(f) == 0 && !ferror(f);
        return fclose(f) == 0 && ok ? true : failed();
    }
    // Puts the closed file in place of the old one.
    bool place() {
        if (!fs_replace(tmp_, path_))
            return failed();
        placed_ = true;
        return true;
    }
    const char *name() const { return name_; }

  private:
    bool flush() {
        if (!text_.empty() &&
            fwrite(text_.data(), 1, text_.size(), file_.get()) != text_.size())
            return failed();
        text_.clear();
        return true;
    }
    bool failed() {
        log_error("ra62d2ide: cannot write %s: %s\n", path_.c_str(),
                  strerror(errno ? errno : EIO));
        return false;
    }

    const char *name_;
    std::string path_, tmp_;
    FilePtr file_;
    std::string text_;
    bool placed_ = false;
};

bool has_index(const fs::path &dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / ARCHIVE_INDEX, ec);
}

// What one run has open and counts.
struct Run {
    const ExportOptions &o;
    ExportResult &r;
    std::unique_ptr<OutFile> readings, series, groups, geojson, gpx, html;
    Report report;
    GroupStats group;
    int32_t prev_group = -1;
    int64_t series_rows = 0;
    bool first_feature = true;

    Run(const ExportOptions &opts, ExportResult &res)
        : o(opts), r(res), report(opts.limits, opts.csv) {}

    std::vector<OutFile *> files() {
        std::vector<OutFile *> all;
        for (auto *f : {&readings, &series, &groups, &geojson, &gpx, &html})
            if (*f)
                all.push_back(f->get());
        return all;
    }

    bool open() {
        auto make = [&](bool wanted, std::unique_ptr<OutFile> &f,
                        const char *name) {
            if (wanted)
                f = std::make_unique<OutFile>(r.out, name);
        };
        make(o.csv, readings, "readings.csv");
        make(o.csv, series, "series.csv");
        make(o.csv, groups, "groups.csv");
        make(o.geojson, geojson, "readings.geojson");
        make(o.gpx, gpx, "readings.gpx");
        make(o.html, html, "report.html");
        for (OutFile *f : files())
            if (!f->open())
                return false;
        if (readings)
            readings->text() = csv_readings_header();
        if (series)
            series->text() = csv_series_header();
        if (groups)
            groups->text() = csv_groups_header();
        if (geojson)
            geojson->text() = geojson_begin();
        if (gpx)
            gpx->text() = gpx_begin();
        return true;
    }

    void close_group() {
        if (group.count > 0) {
            r.groups++;
            if (groups)
                csv_group_row(groups->text(), group);
            report.add_group(group);
        }
        group = GroupStats();
    }

    // One record read whole, in archive order.
    bool add(const meas_record &rec) {
        // Groups close as the listing closes them: whenever the group
        // number changes, whatever the record's type.
        if (rec.group_no != prev_group)
            close_group();
        prev_group = rec.group_no;
        int64_t first_row = 0;
        if (record_type(rec) == MEAS_TYPE_SINGLE) {
            r.readings++;
            group.add(rec);
            Field f[READING_COLUMNS];
            reading_fields(rec, f);
            if (readings)
                csv_reading_row(readings->text(), f);
            if (f[COL_LATITUDE].kind == FieldKind::empty) {
                r.without_fix++;
            } else {
                if (geojson) {
                    if (!first_feature)
                        geojson->text() += ",\n";
                    geojson_feature(geojson->text(), f);
                }
                first_feature = false;
                if (gpx)
                    gpx_waypoint(gpx->text(), f);
            }
        } else if (record_type(rec) == MEAS_TYPE_SERIES) {
            r.series++;
            // RFC 7111 rows: the header is row 1.
            first_row = series_rows + 2;
            if (series)
                series_rows += csv_series_rows(series->text(), rec);
            else
                series_rows += record_sample_count(rec);
        }
        if (html)
            report.add_record(rec, first_row);
        r.exported++;
        for (OutFile *f : files())
            if (!f->flush_if_full())
                return false;
        return true;
    }

    bool finish(const std::string &serial) {
        close_group();
        if (geojson)
            geojson->text() += geojson_end();
        if (gpx)
            gpx->text() += gpx_end();
        if (html) {
            html->text() = report.html(serial, r.index, r.records, r.damaged);
            r.plots = report.plots();
        }
        for (OutFile *f : files())
            if (!f->close())
                return false;
        for (OutFile *f : files()) {
            if (!f->place())
                return false;
            r.files.push_back(f->name());
        }
        return true;
    }
};

} // namespace

int export_find_dir(std::string *dir) {
    // The working directory's own archive comes first: a log directory
    // may hold copies of others without making the choice ambiguous.
    // Moved in whole: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // assigning the literal to a string that may already hold text.
    if (has_index(".")) {
        *dir = std::string(".");
        return OP_OK;
    }
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(".", ec)) {
        const std::string name = fs_text(e.path().filename());
        if (name.rfind("kappa_", 0) == 0 && has_index(e.path()))
            found.push_back(name);
    }
    if (found.size() == 1) {
        *dir = found[0];
        return OP_OK;
    }
    if (found.empty()) {
        log_error("ra62d2ide: no log archive in the working directory; make "
                  "one with 'ra62d2ide log sync', or name its directory\n");
        return OP_LOCAL_FILE;
    }
    std::string names;
    for (const std::string &n : found)
        names += " " + n;
    log_error("ra62d2ide: %zu log archives in the working directory, name "
              "one:%s\n",
              found.size(), names.c_str());
    return OP_USAGE;
}

int export_log(const ExportOptions &o, ExportResult *res) {
    ExportResult ignored;
    ExportResult &r = res ? *res : ignored;
    r = ExportResult();
    r.index = o.dir + "/" + ARCHIVE_INDEX;
    ArchiveIndex index;
    std::string why;
    switch (read_archive_index(r.index, &index, &why)) {
    case IndexResult::missing:
        log_error("ra62d2ide: %s holds no log archive (no %s); make one with "
                  "'ra62d2ide log sync %s'\n",
                  o.dir.c_str(), r.index.c_str(), o.dir.c_str());
        return OP_LOCAL_FILE;
    case IndexResult::bad:
        log_error("ra62d2ide: %s: %s\n", r.index.c_str(), why.c_str());
        return OP_LOCAL_FILE;
    case IndexResult::ok:
        break;
    }
    r.records = int(index.records.size());
    r.out = o.out.empty() ? o.dir + "/export" : o.out;
    std::error_code made, ec;
    fs::create_directories(fs_path(r.out), made);
    if (!fs::is_directory(fs_path(r.out), ec)) {
        // The reason is the making's, not that of the look afterwards.
        log_error(
            "ra62d2ide: cannot make the directory %s: %s\n", r.out.c_str(),
            made ? made.message().c_str() : "a file of that name is there");
        return OP_LOCAL_FILE;
    }

    Run run(o, r);
    if (!run.open())
        return OP_LOCAL_FILE;
    Progress &progress = o.progress ? *o.progress : no_progress();
    ProgressPhase phase(progress, index.records.size(), ProgressUnit::records);
    meas_record rec;
    for (size_t i = 0; i < index.records.size(); i++) {
        if (op_stop_requested()) {
            log_error("ra62d2ide: stopped after %zu of %d records; nothing "
                      "was written into %s\n",
                      i, r.records, r.out.c_str());
            return OP_INTERRUPTED;
        }
        const ArchiveRecord &a = index.records[i];
        const std::string damage = load_archive_record(o.dir, a, &rec);
        if (!damage.empty()) {
            if (a.rec_no >= 0)
                log_error("ra62d2ide: record %lld is damaged and left out: "
                          "%s\n",
                          static_cast<long long>(a.rec_no), damage.c_str());
            else
                log_error("ra62d2ide: entry %zu of %s has no rec_no and is "
                          "left out: %s\n",
                          i + 1, r.index.c_str(), damage.c_str());
            r.damaged.push_back(a.rec_no);
        } else if (!run.add(rec)) {
            return OP_LOCAL_FILE;
        }
        phase.advance(1);
    }
    if (!run.finish(index.serial))
        return OP_LOCAL_FILE;
    return r.damaged.empty() ? OP_OK : OP_LOCAL_FILE;
}
