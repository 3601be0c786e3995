// export/: the export of a synced log into CSV, GeoJSON, GPX and the HTML
// report with its SVG plots. It reads the archive by archive/'s definition
// and uses device/'s record decoding; it talks to no instrument.
//
// The export of a synced log: reads the archive of a log directory (its
// index and raw records, never kappa.dat) and writes the readings, series
// and groups as CSV, the positions as GeoJSON and GPX, and the HTML report.
// It needs no instrument.
#ifndef EXPORT_LOG_H
#define EXPORT_LOG_H

#include <cstdint>
#include <string>
#include <vector>

#include "export_report.h"
#include "ops.h"

struct ExportOptions {
    std::string dir; // the log directory
    std::string out; // where the files go; "" is DIR/export
    bool csv = true, geojson = true, gpx = true, html = true;
    ReportLimits limits;
    Progress *progress = nullptr; // records done
};

struct ExportResult {
    std::string out;   // where the files went
    std::string index; // the index read
    int records = 0;   // entries of the index
    int exported = 0;  // records read whole and written
    int readings = 0, series = 0, groups = 0;
    int without_fix = 0;            // readings left out of the GeoJSON and GPX
    int plots = 0;                  // <svg> plots of the report
    std::vector<int64_t> damaged;   // rec_no of the records left out
    std::vector<std::string> files; // names written into out
};

// The log directory of the working directory: "." when it holds an
// archive, else the one "kappa_*" directory that does. Answers OP_OK, or
// after one line OP_LOCAL_FILE (none) or OP_USAGE (more than one).
int export_find_dir(std::string *dir);

// Exports the log. Damaged records are reported one line each and left
// out; the rest is written. Answers OP_OK; OP_LOCAL_FILE when there is no
// archive, it cannot be read, an output cannot be written, or records were
// damaged; OP_INTERRUPTED when stopped (no output is then replaced).
int export_log(const ExportOptions &o, ExportResult *r);

#endif
