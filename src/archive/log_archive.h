// archive/: the log archive of "log sync", built on the measurement log's
// operations, and the one definition of its layout, which the export reads
// too. It uses device/ and the layers below.
//
// The log archive of "log sync": the records downloaded once and kept, and
// the files of a log download regenerated from them.
#ifndef LOG_ARCHIVE_H
#define LOG_ARCHIVE_H

#include <string>

#include "ops.h"

class V21_Chunks;

// The archive's layout in a log directory (DIR/archive/index.json,
// DIR/archive/records/<stem>.rec, notes/<stem>.wav, aux/<stem>.dat) and
// what its index says of itself: the one definition, by which the export
// reads the archive too.
namespace log_archive {
constexpr char ARCHIVE_DIR[] = "archive";
constexpr char INDEX_FILE[] = "index.json";
constexpr char INDEX_FORMAT[] = "ra62d2ide-log-archive";
constexpr int INDEX_VERSION = 1;
constexpr char RECORDS_DIR[] = "records";
constexpr char NOTES_DIR[] = "notes";
// Windows reserves the name "aux" (a device, in every directory): there the
// aux data lies in "aux_data". Linux writes "aux" as it always has and also
// reads "aux_data", so an archive copied from Windows keeps its aux data.
constexpr char AUX_DIR_POSIX[] = "aux";
constexpr char AUX_DIR_WINDOWS[] = "aux_data";
#ifdef _WIN32
constexpr const char *AUX_DIR = AUX_DIR_WINDOWS;
#else
constexpr const char *AUX_DIR = AUX_DIR_POSIX;
#endif
constexpr char RECORD_EXT[] = ".rec";
constexpr char NOTE_EXT[] = ".wav";
constexpr char AUX_EXT[] = ".dat";
} // namespace log_archive

struct LogSyncOpts {
    std::string dir; // empty: "kappa_" and the serial's tail
    bool summary = true;
    bool notes = false;
    bool raw = false;
    bool aux = false;
    // Makes a new index from the record files instead of reading it.
    bool rebuild = false;
    Progress *records = nullptr; // new records downloaded of all new
    // The piece sizes of the record, note and aux reads (null: the
    // console's).
    V21_Chunks *chunks = nullptr;
};

struct LogSyncResult {
    std::string dir;
    int on_instrument = 0; // occupied slots
    int checked = 0;       // records whose first read was compared
    int to_download = 0;   // records new to the archive
    int downloaded = 0;    // of those, downloaded
    int archived = 0;      // records in the archive
    int files_failed = 0;  // local files that could not be written
    int side_refused = 0;  // notes and aux data the instrument did not give
};

// Refuses, before anything is sent, a directory that cannot be made or
// written (OP_LOCAL_FILE after one line); empty: the working directory.
int log_sync_check_dir(const std::string &dir);
// Downloads the records new to the archive in DIR and regenerates the
// download's files from it. OP_LOCAL_FILE for an index that is damaged or
// of another instrument, or when a file could not be written; OP_FAILED
// when a request failed, also one for a note or aux data after which the
// sync went on.
int log_sync(const LogSyncOpts &o, LogSyncResult *r);

#endif
