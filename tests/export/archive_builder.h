// Log archives laid out as "log sync" writes them (archive/index.json and
// archive/records/<stem>.rec), for the export's tests and benchmark: from a
// simulator's card directory, or from records made on the spot.
#ifndef ARCHIVE_BUILDER_H
#define ARCHIVE_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

struct ArchiveEntry {
    std::string stem;  // the record file's name without ".rec"
    int64_t rec_no;    // as the index states it
    std::string bytes; // the record file
};

// The records of a card directory in the order "ml" downloads them: by
// key (meas/NNNN.uid) as an unsigned number, equal keys by slot, keys 0
// and 0xFFFFFFFF left out; each under the stem of its rec_no.
std::vector<ArchiveEntry> card_records(const std::string &card_dir);

// Writes dir/archive/ with index.json naming serial (the text between the
// quotes of a JSON string, escapes and all) and the records in their order.
// False when a file cannot be written.
bool write_archive(const std::string &dir, const std::string &serial,
                   const std::vector<ArchiveEntry> &records);

#endif
