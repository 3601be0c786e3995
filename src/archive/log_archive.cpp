// The log archive of "log sync": every record downloaded once, kept as its
// raw bytes under DIR/archive with an index, and the files of a log download
// (kappa.dat, data, note and aux files) regenerated from the archive. A sync
// downloads only the slots whose record the archive does not hold yet.
//
// A record is known by its slot and sort key. Keys only grow until the log
// is cleared (or the record with the highest key is deleted), after which
// the instrument hands out the same keys again, so the slot and key of a
// known record are checked against the record's first read: the newest
// matching record first, then older ones while they differ. A new record's
// key follows the highest key in the log, its top bit left out, so a slot
// and key given again are newer than every record kept since: once one
// matches, every older one does too. "Newer" is therefore judged by the key
// without its top bit: a record marked with it is not newer for that, and
// one that is truly new may come before it in download order.
#include "log_archive.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "cmd_util.h"
#include "libcomm.h"
#include "local_fs.h"
#include "m17_ops.h"
#include "session.h"
#include "v21_ops.h"
#include "v21_records.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using namespace log_archive;
// Where a file is written before it is renamed into place.
constexpr char INCOMING_FILE[] = "incoming.tmp";
constexpr size_t MAX_INDEX_SIZE = size_t(64) << 20;
// The part of a sort key that counts up; the top bit marks a record and is
// left out when telling which record is newer and whether the keys started
// again.
constexpr uint32_t KEY_COUNT_MASK = 0x7FFFFFFF;
// The index is replaced after every record, but not more often than this.
constexpr std::chrono::milliseconds INDEX_SAVE_INTERVAL{500};
constexpr int INDEX_SAVE_SPACING = 10;

struct ArchivedRecord {
    std::string stem;
    uint32_t rec_no = 0;
    int slot = -1;    // -1: not known (an index rebuilt from records/)
    uint32_t key = 0; // 0: not known
    uint8_t flags = 0;
    std::string time;
    bool note = false, aux = false;
    // Counts the times the instrument's keys started again.
    int era = 0;
};

bool archive_order(const ArchivedRecord &a, const ArchivedRecord &b) {
    if (a.era != b.era)
        return a.era < b.era;
    if (a.key != b.key)
        return a.key < b.key;
    return a.slot < b.slot;
}

std::string iso_time(const meas_record &r) {
    char text[32];
    snprintf(text, sizeof text, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", r.year % 10000,
             r.month % 100, r.day % 100, r.hour % 100, r.minute % 100,
             r.second % 100);
    return text;
}

bool read_whole(const std::string &path, std::string *out, size_t limit) {
    FilePtr f = open_file(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
        out->append(buf, n);
        if (out->size() > limit)
            return false;
    }
    return !ferror(f.get());
}

class Archive {
  public:
    explicit Archive(const std::string &dir)
        : dir_(dir), root_(dir + "/" + ARCHIVE_DIR) {}

    const std::string &root() const { return root_; }
    std::string index_path() const { return root_ + "/" + INDEX_FILE; }
    std::string incoming() const { return root_ + "/" + INCOMING_FILE; }
    std::string path(const char *sub, const std::string &stem,
                     const char *ext) const {
        return root_ + "/" + sub + "/" + stem + ext;
    }
    std::vector<ArchivedRecord> &records() { return records_; }
    // The record's aux data: in this system's directory, or else in the
    // other system's when the archive was made there.
    std::string aux_path(const std::string &stem) const {
        const std::string own = path(AUX_DIR, stem, AUX_EXT);
#ifndef _WIN32
        std::error_code ec;
        if (!fs::exists(fs_path(own), ec)) {
            const std::string other = path(AUX_DIR_WINDOWS, stem, AUX_EXT);
            if (fs::exists(fs_path(other), ec))
                return other;
        }
#endif
        return own;
    }

    int make_dirs() {
        for (const char *sub : {RECORDS_DIR, NOTES_DIR, AUX_DIR}) {
            std::error_code ec;
            fs::create_directories(fs_path(root_ + "/" + sub), ec);
            if (ec)
                return fail_file(root_ + "/" + sub, ec.message());
        }
        // A file left by a cut sync.
        std::remove(incoming().c_str());
        return OP_OK;
    }

    // Reads the index, refusing one that is damaged or of another serial.
    // A missing index is an empty archive unless records/ holds records.
    int load(const std::string &serial) {
        serial_ = serial;
        std::string text;
        const std::string path = index_path();
        if (!fs::exists(fs_path(path))) {
            if (!stems_on_disk().empty())
                return refuse("missing while records/ holds records");
            return OP_OK;
        }
        if (!read_whole(path, &text, MAX_INDEX_SIZE))
            return refuse("cannot be read");
        json j = json::parse(text, nullptr, false);
        if (j.is_discarded() || !j.is_object())
            return refuse("damaged (not JSON)");
        if (j.value("format", "") != INDEX_FORMAT || !j.contains("version") ||
            !j["version"].is_number_integer() ||
            j["version"].get<int>() != INDEX_VERSION)
            return refuse("not a log archive index of a known format and "
                          "version");
        if (!j.contains("serial") || !j["serial"].is_string())
            return refuse("damaged (no serial)");
        if (j["serial"].get<std::string>() != serial)
            return refuse(("of instrument " + j["serial"].get<std::string>() +
                           ", not " + serial)
                              .c_str());
        if (!j.contains("records") || !j["records"].is_array())
            return refuse("damaged (no records)");
        for (const json &e : j["records"]) {
            ArchivedRecord r;
            if (!e.is_object() || !e.contains("stem") ||
                !e["stem"].is_string() || !valid_stem(e["stem"]))
                return refuse("damaged (a record without a valid stem)");
            r.stem = e["stem"];
            // A field of the wrong type is damage, not a reason to stop.
            const bool typed =
                number(e, "rec_no", 0, UINT32_MAX, &r.rec_no) &&
                number(e, "slot", -1, MEAS_LOG_MAX_SLOTS - 1, &r.slot) &&
                number(e, "key", 0, UINT32_MAX, &r.key) &&
                number(e, "flags", 0, UINT8_MAX, &r.flags) &&
                number(e, "era", 0, INT32_MAX, &r.era) &&
                (!e.contains("time") || e["time"].is_string()) &&
                (!e.contains("note") || e["note"].is_boolean()) &&
                (!e.contains("aux") || e["aux"].is_boolean());
            if (!typed)
                return refuse(("damaged (record " + r.stem + ")").c_str());
            r.time = e.value("time", "");
            r.note = e.value("note", false);
            r.aux = e.value("aux", false);
            records_.push_back(r);
        }
        return OP_OK;
    }

    // Builds the index from the record files alone: slots and keys are not
    // known until a sync finds the records on the instrument again.
    int rebuild(const std::string &serial) {
        serial_ = serial;
        records_.clear();
        for (const std::string &stem : stems_on_disk()) {
            std::string bytes;
            if (!read_whole(path(RECORDS_DIR, stem, RECORD_EXT), &bytes,
                            MEAS_RECORD_SIZE) ||
                bytes.size() != MEAS_RECORD_SIZE)
                continue;
            meas_record rec;
            decode_meas_record(
                reinterpret_cast<const unsigned char *>(bytes.data()),
                MEAS_RECORD_SIZE, &rec);
            ArchivedRecord r;
            r.stem = stem;
            r.rec_no = uint32_t(rec.rec_no);
            r.time = iso_time(rec);
            r.note = fs::exists(fs_path(path(NOTES_DIR, stem, NOTE_EXT)));
            r.aux = fs::exists(fs_path(aux_path(stem)));
            records_.push_back(r);
        }
        std::stable_sort(records_.begin(), records_.end(),
                         [](const ArchivedRecord &a, const ArchivedRecord &b) {
                             return a.time != b.time ? a.time < b.time
                                                     : a.rec_no < b.rec_no;
                         });
        return save();
    }

    // Replaces the index unless the next replacement is not due yet: at
    // least INDEX_SAVE_INTERVAL after the last, and INDEX_SAVE_SPACING
    // times as long as the last took, so that writing a large index never
    // costs more than a share of a long first sync (a whole index after
    // each record would cost the square of the records).
    int save_soon() {
        if (std::chrono::steady_clock::now() < next_save_)
            return OP_OK;
        return save();
    }

    // Replaces the index: a temporary file, flushed, renamed over it, and
    // the directory flushed.
    int save() {
        const auto start = std::chrono::steady_clock::now();
        const int st = write_index();
        const auto end = std::chrono::steady_clock::now();
        next_save_ =
            end + std::max<std::chrono::steady_clock::duration>(
                      INDEX_SAVE_INTERVAL, (end - start) * INDEX_SAVE_SPACING);
        return st;
    }

  private:
    int write_index() {
        json j = {{"format", INDEX_FORMAT},
                  {"version", INDEX_VERSION},
                  {"serial", serial_},
                  {"records", json::array()}};
        for (size_t i : ordered()) {
            const ArchivedRecord &r = records_[i];
            j["records"].push_back({{"stem", r.stem},
                                    {"rec_no", r.rec_no},
                                    {"slot", r.slot},
                                    {"key", r.key},
                                    {"flags", r.flags},
                                    {"time", r.time},
                                    {"note", r.note},
                                    {"aux", r.aux},
                                    {"era", r.era}});
        }
        const std::string text = j.dump(1) + "\n";
        flush_dirs();
        const int st = put_file(index_path() + ".tmp", index_path(),
                                text.data(), text.size());
        flush_dirs();
        return st;
    }

    // Flushes the directories that files were placed in since the last
    // time.
    void flush_dirs() {
        for (const std::string &dir : unflushed_)
            fs_flush_dir(dir);
        unflushed_.clear();
    }

  public:
    // The records in archive order (their positions in records()).
    std::vector<size_t> ordered() const {
        std::vector<size_t> order(records_.size());
        for (size_t i = 0; i < order.size(); i++)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return archive_order(records_[a], records_[b]);
        });
        return order;
    }

    // Writes data to the temporary file tmp, flushes it and renames it to
    // path.
    int put_file(const std::string &tmp, const std::string &path,
                 const void *data, size_t size) {
        FilePtr f = open_file(tmp.c_str(), "wb");
        bool ok =
            f && fwrite(data, 1, size, f.get()) == size && fs_flush(f.get());
        ok = close_written(f, tmp.c_str()) && ok;
        return ok ? place(tmp, path) : fail_file(path, strerror(errno));
    }

    // Renames a finished temporary file into place. The directory it
    // landed in is flushed before the index is next replaced, once for all
    // the files placed since: an index never names a file whose name a
    // power loss could still take, and a record costs one flush, not two.
    int place(const std::string &tmp, const std::string &path) {
        if (!fs_replace(tmp, path))
            return fail_file(path, strerror(errno));
        unflushed_.insert(fs_text(fs_path(path).parent_path()));
        return OP_OK;
    }

    static int fail_file(const std::string &path, const std::string &why) {
        log_error("Cannot write %s: %s\n", path.c_str(), why.c_str());
        return OP_LOCAL_FILE;
    }

  private:
    int refuse(const char *why) const {
        log_error("%s: %s; nothing changed (--rebuild makes a new index from "
                  "records/)\n",
                  index_path().c_str(), why);
        return OP_LOCAL_FILE;
    }

    // Reads an optional integer field within [lo, hi] into *out.
    template <typename T>
    static bool number(const json &e, const char *name, int64_t lo, int64_t hi,
                       T *out) {
        if (!e.contains(name))
            return true;
        const json &v = e[name];
        if (!v.is_number_integer())
            return false;
        const int64_t n = v.get<int64_t>();
        if (n < lo || n > hi)
            return false;
        *out = T(n);
        return true;
    }

    static bool valid_stem(const std::string &s) {
        return !s.empty() && s.size() < 32 &&
               s.find_first_not_of("0123456789-") == std::string::npos;
    }

    std::vector<std::string> stems_on_disk() const {
        std::vector<std::string> stems;
        std::error_code ec;
        for (const auto &e :
             fs::directory_iterator(fs_path(root_ + "/" + RECORDS_DIR), ec)) {
            const fs::path p = e.path();
            const std::string stem = fs_text(p.stem());
            if (p.extension() == RECORD_EXT && valid_stem(stem))
                stems.push_back(stem);
        }
        std::sort(stems.begin(), stems.end());
        return stems;
    }

    std::string dir_, root_, serial_;
    std::chrono::steady_clock::time_point next_save_;
    std::vector<ArchivedRecord> records_;
    std::set<std::string> unflushed_; // directories renamed into
};

// One sync: the archive, the instrument's table and what it downloads.
struct Sync {
    Sync(const LogSyncOpts &opts, LogSyncResult &res, Archive &a)
        : o(opts), result(res), archive(a) {
        for (size_t i = 0; i < a.records().size(); i++)
            by_no[a.records()[i].rec_no].push_back(i);
    }
    const LogSyncOpts &o;
    LogSyncResult &result;
    Archive &archive;
    // The archived records of each record number.
    std::unordered_map<uint32_t, std::vector<size_t>> by_no;

    bool archived_bytes(const ArchivedRecord &r, std::string *bytes) const {
        return read_whole(archive.path(RECORDS_DIR, r.stem, RECORD_EXT), bytes,
                          MEAS_RECORD_SIZE) &&
               bytes->size() == MEAS_RECORD_SIZE;
    }

    // Whether the slot's record starts as the archived one does; its first
    // read is kept in head for a download.
    int same_start(int slot, const ArchivedRecord &r,
                   std::vector<unsigned char> *head, bool *same) {
        head->assign(MEAS_RECORD_SIZE, 0);
        uint32_t offset = 0;
        if (V21_op_read_record_part(id_conn, slot, head->data(), &offset,
                                    RECORD_READ_CHUNK, no_progress(),
                                    o.chunks) != 0)
            return OP_FAILED;
        result.checked++;
        std::string bytes;
        *same = archived_bytes(r, &bytes) &&
                memcmp(bytes.data(), head->data(), offset) == 0;
        head->resize(offset);
        return OP_OK;
    }

    // Downloads a slot's note or aux data into the archive.
    bool companion(int slot, const std::string &stem, bool note) {
        const std::string tmp = archive.incoming();
        const int rc = note ? V21_op_download_note(id_conn, slot, tmp.c_str(),
                                                   no_progress(), o.chunks)
                            : V21_op_download_aux(id_conn, slot, tmp.c_str(),
                                                  no_progress(), o.chunks);
        if (rc != OP_OK || !fs_flush_file(tmp)) {
            std::remove(tmp.c_str());
            // Refused by the instrument, or not written here.
            if (rc == OP_OK || rc == OP_LOCAL_FILE)
                result.files_failed++;
            else
                result.side_refused++;
            return false;
        }
        return archive.place(
                   tmp, note ? archive.path(NOTES_DIR, stem, NOTE_EXT)
                             : archive.path(AUX_DIR, stem, AUX_EXT)) == OP_OK;
    }

    int companions(int slot, ArchivedRecord &r) {
        if (o.notes && (r.flags & LOG_ENTRY_NOTE) && !r.note)
            r.note = companion(slot, r.stem, true);
        if (o.aux && (r.flags & LOG_ENTRY_AUX) && !r.aux)
            r.aux = companion(slot, r.stem, false);
        return OP_OK;
    }

    // Puts a downloaded record into the archive: the same bytes as an
    // archived record of its number are that record; other bytes under a
    // number the archive holds get a stem of their own and a warning.
    int store(int slot, const log_entry &entry, const unsigned char *buf,
              int era) {
        meas_record rec;
        decode_meas_record(buf, MEAS_RECORD_SIZE, &rec);
        char base[16];
        snprintf(base, sizeof base, "%.8u", uint32_t(rec.rec_no));
        std::vector<ArchivedRecord> &all = archive.records();
        const std::vector<size_t> &same_no = by_no[uint32_t(rec.rec_no)];
        const size_t taken = same_no.size();
        for (size_t i : same_no) {
            ArchivedRecord &r = all[i];
            std::string bytes;
            if (archived_bytes(r, &bytes) &&
                memcmp(bytes.data(), buf, MEAS_RECORD_SIZE) == 0) {
                r.slot = slot;
                r.key = entry.sort_key;
                r.flags = entry.flags;
                companions(slot, r);
                return archive.save_soon();
            }
        }
        ArchivedRecord r;
        r.stem = base;
        for (int k = 2; taken > 0; k++) {
            auto used = [&](size_t i) { return all[i].stem == r.stem; };
            if (std::none_of(same_no.begin(), same_no.end(), used))
                break;
            r.stem = std::string(base) + "-" + std::to_string(k);
        }
        if (r.stem != base)
            log_error("Warning: record number %u repeats with other bytes; "
                      "kept as %s/%s/%s%s\n",
                      uint32_t(rec.rec_no), archive.root().c_str(), RECORDS_DIR,
                      r.stem.c_str(), RECORD_EXT);
        r.rec_no = uint32_t(rec.rec_no);
        r.slot = slot;
        r.key = entry.sort_key;
        r.flags = entry.flags;
        r.time = iso_time(rec);
        r.era = era;
        const int st = archive.put_file(
            archive.incoming(), archive.path(RECORDS_DIR, r.stem, RECORD_EXT),
            buf, MEAS_RECORD_SIZE);
        if (st != OP_OK)
            return st;
        companions(slot, r);
        by_no[r.rec_no].push_back(all.size());
        all.push_back(r);
        result.downloaded++;
        return archive.save_soon();
    }

    // Writes kappa.dat and the side files from the archive, in its order.
    int regenerate() {
        const std::string prefix = o.dir + "/";
        const std::string summary_path = prefix + MEAS_LOG_SUMMARY_FILE;
        const std::string summary_tmp = summary_path + ".tmp";
        FilePtr summary;
        if (o.summary) {
            summary = open_file(summary_tmp.c_str(), "w");
            if (!summary) {
                report_write_error(summary_tmp.c_str());
                result.files_failed++;
            }
        }
        MeasLogSummary listing(summary.get());
        char name[32];
        for (size_t i : archive.ordered()) {
            const ArchivedRecord &r = archive.records()[i];
            std::string bytes;
            if (!archived_bytes(r, &bytes)) {
                log_error(
                    "Cannot read %s\n",
                    archive.path(RECORDS_DIR, r.stem, RECORD_EXT).c_str());
                result.files_failed++;
                continue;
            }
            meas_record rec;
            decode_meas_record(
                reinterpret_cast<const unsigned char *>(bytes.data()),
                MEAS_RECORD_SIZE, &rec);
            listing.add(rec);
            if (o.raw) {
                snprintf(name, sizeof name, MEAS_LOG_RAW_FORMAT, rec.rec_no);
                if (save_meas((prefix + name).c_str(), &rec) != 0)
                    result.files_failed++;
            }
            if (o.notes && r.note) {
                snprintf(name, sizeof name, MEAS_LOG_NOTE_FORMAT, rec.rec_no);
                copy(archive.path(NOTES_DIR, r.stem, NOTE_EXT), prefix + name);
            }
            if (o.aux && r.aux) {
                snprintf(name, sizeof name, MEAS_LOG_AUX_FORMAT, rec.rec_no);
                copy(archive.aux_path(r.stem), prefix + name);
            }
        }
        listing.finish();
        if (summary) {
            if (!close_written(summary, summary_tmp.c_str()) ||
                !fs_replace(summary_tmp, summary_path)) {
                std::remove(summary_tmp.c_str());
                result.files_failed++;
            }
        }
        return OP_OK;
    }

    void copy(const std::string &from, const std::string &to) {
        std::error_code ec;
        fs::copy_file(fs_path(from), fs_path(to),
                      fs::copy_options::overwrite_existing, ec);
        if (ec) {
            report_write_error(to.c_str());
            result.files_failed++;
        }
    }
};

int sync_log(Sync &s, std::vector<log_entry> &entries) {
    Archive &archive = s.archive;
    std::vector<ArchivedRecord> &all = archive.records();
    const std::vector<int> order =
        meas_log_download_order(entries.data(), int(entries.size()));
    s.result.on_instrument = int(order.size());

    // The latest archived record of each slot and key.
    std::map<std::pair<int, uint32_t>, size_t> known;
    int era = 0;
    for (const ArchivedRecord &r : all)
        era = std::max(era, r.era);
    uint32_t era_top = 0;
    for (size_t i = 0; i < all.size(); i++) {
        if (all[i].slot >= 0)
            known[{all[i].slot, all[i].key}] = i;
        if (all[i].era == era)
            era_top = std::max(era_top, all[i].key & KEY_COUNT_MASK);
    }

    // Walks the matching slots from the newest key down (the key without
    // its top bit) until one starts as its archived record does.
    std::vector<int> walk = order;
    std::stable_sort(walk.begin(), walk.end(), [&](int a, int b) {
        return (entries[size_t(a)].sort_key & KEY_COUNT_MASK) <
               (entries[size_t(b)].sort_key & KEY_COUNT_MASK);
    });
    std::vector<bool> fresh(entries.size(), true);
    std::map<int, std::vector<unsigned char>> heads;
    bool settled = false;
    for (auto it = walk.rbegin(); it != walk.rend(); ++it) {
        const int slot = *it;
        auto k = known.find({slot, entries[size_t(slot)].sort_key});
        if (k == known.end())
            continue;
        if (settled) {
            fresh[size_t(slot)] = false;
            continue;
        }
        std::vector<unsigned char> head;
        bool same = false;
        if (s.same_start(slot, all[k->second], &head, &same) != OP_OK)
            return OP_FAILED;
        if (same) {
            fresh[size_t(slot)] = false;
            settled = true;
        } else {
            heads[slot] = std::move(head);
        }
    }

    // Keys that start again (a cleared log) begin a new era, so the new
    // records follow every archived one.
    std::vector<int> todo;
    bool restarted = false;
    for (int slot : order) {
        if (fresh[size_t(slot)]) {
            todo.push_back(slot);
            if ((entries[size_t(slot)].sort_key & KEY_COUNT_MASK) <= era_top)
                restarted = true;
        }
    }
    if (restarted)
        era++;
    s.result.to_download = int(todo.size());

    // Companions asked for now of records archived without them.
    for (int slot : order) {
        if (fresh[size_t(slot)])
            continue;
        auto k = known.find({slot, entries[size_t(slot)].sort_key});
        ArchivedRecord &r = all[k->second];
        const bool note = s.o.notes && (r.flags & LOG_ENTRY_NOTE) && !r.note;
        const bool aux = s.o.aux && (r.flags & LOG_ENTRY_AUX) && !r.aux;
        if (note || aux) {
            s.companions(slot, r);
            int st = archive.save_soon();
            if (st != OP_OK)
                return st;
        }
    }

    Progress &records = s.o.records ? *s.o.records : no_progress();
    ProgressPhase phase(records, todo.size(), ProgressUnit::records);
    std::vector<unsigned char> buf(MEAS_RECORD_SIZE);
    for (int slot : todo) {
        if (op_stop_requested()) {
            log_error("\nStopped after %d of %d new records; the archive "
                      "holds them.\n",
                      s.result.downloaded, s.result.to_download);
            return OP_INTERRUPTED;
        }
        uint32_t offset = 0;
        auto h = heads.find(slot);
        if (h != heads.end()) {
            memcpy(buf.data(), h->second.data(), h->second.size());
            offset = uint32_t(h->second.size());
        }
        if (V21_op_read_record_part(id_conn, slot, buf.data(), &offset,
                                    MEAS_RECORD_SIZE, no_progress(),
                                    s.o.chunks) != 0) {
            log_error("Error downloading data!\n");
            return OP_FAILED;
        }
        const int st = s.store(slot, entries[size_t(slot)], buf.data(), era);
        if (st != OP_OK)
            return st;
        phase.advance(1);
    }
    return OP_OK;
}

} // namespace

int log_sync_check_dir(const std::string &dir) {
    const std::string target = dir.empty() ? "." : dir;
    std::error_code ec;
    if (!fs::exists(fs_path(target), ec)) {
        fs::create_directories(fs_path(target), ec);
        if (ec)
            return Archive::fail_file(target, ec.message());
    }
    for (const std::string &d : {target, target + "/" + ARCHIVE_DIR}) {
        if (d != target && !fs::exists(fs_path(d), ec))
            continue;
        if (!fs::is_directory(fs_path(d), ec))
            return Archive::fail_file(d, "not a directory");
        if (!fs_writable_dir(d))
            return Archive::fail_file(d, strerror(errno));
    }
    return OP_OK;
}

int log_sync(const LogSyncOpts &o, LogSyncResult *res) {
    LogSyncResult ignored;
    LogSyncResult &result = res ? *res : ignored;
    result = LogSyncResult();
    if (!require_connected())
        return OP_NO_DEVICE;
    if (M17_op_get_serial() != OP_OK)
        return op_error("V21_cmd_get_meas_log", -1);
    LogSyncOpts opts = o;
    if (opts.dir.empty()) {
        if (!meas_log_default_dir(&opts.dir))
            return OP_FAILED;
        const int st = log_sync_check_dir(opts.dir);
        if (st != OP_OK)
            return st;
    }
    result.dir = opts.dir;
    Archive archive(opts.dir);
    int st = archive.make_dirs();
    if (st == OP_OK)
        st =
            opts.rebuild ? archive.rebuild(serial_no) : archive.load(serial_no);
    if (st == OP_OK)
        st = archive.save(); // an archive exists before the first record
    if (st != OP_OK)
        return st;

    std::vector<log_entry> entries;
    if (V21_op_read_log_table(entries) != 0)
        return OP_FAILED;
    Sync sync(opts, result, archive);
    st = sync_log(sync, entries);
    const int saved = archive.save();
    if (st == OP_OK)
        st = saved;
    result.archived = int(archive.records().size());
    if (st != OP_OK)
        return st;
    sync.regenerate();
    if (result.side_refused)
        return OP_FAILED;
    return result.files_failed ? OP_LOCAL_FILE : OP_OK;
}
