// Storage card transfer operations: a tar archive unpacked onto the
// instrument's card, and the card's raw image copied into a local file.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "cmd_util.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "session.h"
#include "tar_reader.h"
#include "v21_comm.h"
#include "v21_ops.h"

namespace {

const char *const UPLOAD_NAME = "V21_cmd_upload_tar";
const char *const DOWNLOAD_NAME = "V21_cmd_download_sd";

constexpr uint32_t APPEND_CHUNK = 128;     // data bytes of one append
constexpr uint32_t APPEND_DOTS_EVERY = 10; // appends per narrated dot
// A file whose size on the card differs from the archive's after its last
// append is sent once more from scratch.
constexpr int FILE_SEND_ATTEMPTS = 2;

// The device file that stands for the whole card.
const char *const CARD_IMAGE_FILE = "raw";
constexpr uint32_t IMAGE_READ_CHUNK = 512; // bytes asked for per read

// An archive file on disk; the bytes read go to progress.
class FileSource : public TarSource {
  public:
    FileSource(FILE *file, Progress &progress)
        : file_(file), progress_(progress) {}
    long read(unsigned char *buf, size_t n) override {
        size_t got = fread(buf, 1, n, file_);
        if (got < n && ferror(file_))
            return -1;
        progress_.advance(got);
        return static_cast<long>(got);
    }
    bool seek(uint64_t pos) override {
        if (pos > static_cast<uint64_t>(INT64_MAX))
            return false;
        clearerr(file_);
        return fseeko(file_, static_cast<off_t>(pos), SEEK_SET) == 0;
    }

  private:
    FILE *file_;
    Progress &progress_;
};

int report_incomplete(const std::string &path) {
    log_error("\nFile %s is incomplete: the archive ends inside its data!\n",
              path.c_str());
    return OP_LOCAL_FILE;
}

int report_read_error(const char *archive) {
    if (!op_file_failure("read", archive, errno))
        log_error("\nError reading file:%s!\n", archive);
    return OP_LOCAL_FILE;
}

// Appends n bytes to the file on the card, which holds *sent bytes, in one
// append. A bulk append that the card refuses without storing anything
// falls back (chunks), and its bytes go in appends of the interactive size.
// Answers the code of the request that failed, or 0.
int append_piece(int id, const char *path, const unsigned char *data,
                 uint32_t n, uint32_t *sent, V21_Chunks *chunks) {
    int rc = V21_Append_File(id, path, data, n, *sent);
    if (rc == MXX_OK) {
        *sent += n;
        return rc;
    }
    if (rc != MXX_FAILED || chunks == nullptr || n <= APPEND_CHUNK)
        return rc;
    uint32_t on_card = 0;
    const int info = V21_File_Info(id, path, &on_card, 1);
    if (info != MXX_OK)
        return info;
    if (on_card != *sent)
        return rc; // the card holds something else: a failure as ever
    char why[96];
    snprintf(why, sizeof why, "an append of %u bytes to %s was refused", n,
             path);
    chunks->reduce(why);
    for (uint32_t done = 0; done < n;) {
        const uint32_t k = std::min(APPEND_CHUNK, n - done);
        rc = V21_Append_File(id, path, data + done, k, *sent);
        if (rc != MXX_OK)
            return rc;
        *sent += k;
        done += k;
    }
    return MXX_OK;
}

// Creates the file on the card and appends its data in pieces of the size
// chunks gives (128 bytes interactively): the full pieces, then the rest,
// which is sent even when it is empty. Answers 0, an op_status after
// reporting, or OP_FAILED with a failed request's code (above 0, or
// negative from the library) in rc.
int send_file_data(int id, TarReader &reader, const TarEntry &entry,
                   const char *archive, V21_Chunks *chunks, int &rc) {
    const char *path = entry.path.c_str();
    rc = V21_Write_File(id, path, V21_OP_CREATE, nullptr, 0, 1);
    if (rc != 0)
        return OP_FAILED;
    unsigned char piece[V21_WRITE_MAX];
    const uint32_t size = static_cast<uint32_t>(entry.size);
    uint32_t sent = 0;
    for (uint32_t k = 0;; k++) {
        if (op_stop_requested()) {
            log_error("\nStopped: %s on the card holds %u of its %u bytes; "
                      "the entries before it were sent whole.\n",
                      path, sent, size);
            return OP_INTERRUPTED;
        }
        const uint32_t full =
            chunks ? chunks->append_size(APPEND_CHUNK) : APPEND_CHUNK;
        const uint32_t want = std::min(full, size - sent);
        long got = reader.read_data(piece, want);
        if (got < 0)
            return report_read_error(archive);
        if (static_cast<uint32_t>(got) != want)
            return report_incomplete(entry.path);
        rc = append_piece(id, path, piece, want, &sent, chunks);
        if (rc != 0)
            return OP_FAILED;
        if (want < full)
            return 0;
        if (k % APPEND_DOTS_EVERY == 0)
            op_text(".");
    }
}

// Sends one regular file and confirms its size on the card; answers 0 or an
// op_status after reporting.
int upload_file(int id, TarReader &reader, const TarEntry &entry,
                const char *archive, V21_Chunks *chunks) {
    const char *path = entry.path.c_str();
    const uint32_t size = static_cast<uint32_t>(entry.size);
    op_text("file name:%s [%u]", path, size);
    uint32_t on_card = 0;
    for (int attempt = 1; attempt <= FILE_SEND_ATTEMPTS; attempt++) {
        int rc = 0;
        if (attempt > 1) {
            op_text(" size on card %u, sending again", on_card);
            if (!reader.rewind_data())
                return report_read_error(archive);
            rc = V21_Write_File(id, path, V21_OP_DELETE, nullptr, 0, 1);
            if (rc != 0)
                return op_error(UPLOAD_NAME, rc);
        }
        const int st = send_file_data(id, reader, entry, archive, chunks, rc);
        if (st != 0)
            return rc != 0 ? op_error(UPLOAD_NAME, rc) : st;
        rc = V21_File_Info(id, path, &on_card, 1);
        if (rc != 0)
            return op_error(UPLOAD_NAME, rc);
        if (on_card == size) {
            op_text("DONE\n");
            return 0;
        }
    }
    log_error("\nFile %s on the card holds %u bytes instead of %u!\n", path,
              on_card, size);
    return op_error(UPLOAD_NAME, MXX_FAILED);
}

// A directory entry that names the card's root itself ("./" in archives
// made with tar -C dir .): it exists, and the card refuses to make it.
bool names_root(const std::string &path) {
    return path.find_first_not_of("./") == std::string::npos &&
           path.find("..") == std::string::npos;
}

// Why an entry of a type other than directory or file was passed over.
std::string other_entry_reason(char type) {
    switch (type) {
    case '1':
        return "hard link";
    case '2':
        return "symbolic link";
    case '3':
    case '4':
        return "device file";
    case '6':
        return "FIFO";
    default:
        return std::string("entry of type '") +
               (type >= ' ' && type < 127 ? std::string(1, type)
                                          : std::to_string(int(type))) +
               "'";
    }
}

// Unpacks the archive in appends of the size chunks gives (null: 128
// bytes); answers an op_status. What was sent and what was passed over is
// counted in r.
int unpack(int id, TarSource &source, const char *archive,
           V21_upload_result &r, V21_Chunks *chunks) {
    TarReader reader(source);
    auto skip = [&r](const std::string &path, std::string why) {
        r.skipped.push_back({path, std::move(why)});
    };
    for (;;) {
        TarEntry entry;
        const int next = reader.next(entry);
        for (const TarSkipped &other : reader.take_skipped())
            skip(other.path, other_entry_reason(other.type) +
                                 ", not unpacked onto the card");
        if (next == TAR_END)
            return OP_OK;
        if (next == TAR_ERR_READ)
            return report_read_error(archive);
        if (next != TAR_ENTRY) {
            log_error("\nDamaged archive %s at byte %" PRIu64 ": %s!\n",
                      archive, reader.error_offset(), reader.error());
            return OP_LOCAL_FILE;
        }
        if (op_stop_requested()) {
            log_error("\nStopped before %s; the entries before it are on the "
                      "card.\n",
                      entry.path.c_str());
            return OP_INTERRUPTED;
        }
        const char *path = entry.path.c_str();
        // The card's name field holds 31 characters and a terminator; a
        // longer path would arrive cut and name another file.
        if (entry.path.size() >= static_cast<size_t>(V21_FILE_NAME_SIZE)) {
            op_text("path too long, skipped:%s\n", path);
            skip(entry.path, "path of " + std::to_string(entry.path.size()) +
                                 " characters; the card takes at most " +
                                 std::to_string(V21_FILE_NAME_SIZE - 1));
            continue;
        }
        if (entry.type == TAR_DIRECTORY) {
            if (names_root(entry.path))
                continue;
            op_text("name of directory:%s\n", path);
            int rc = V21_Write_File(id, path, V21_OP_MKDIR, nullptr, 0, 1);
            if (rc != 0)
                return op_error(UPLOAD_NAME, rc);
            r.directories++;
            continue;
        }
        if (entry.size == 0) { // an empty file is not created
            skip(entry.path, "empty file, not created on the card");
            continue;
        }
        if (entry.size > UINT32_MAX) {
            op_text("file too large, skipped:%s\n", path);
            skip(entry.path, "file of 4 GiB or more");
            continue;
        }
        if (!reader.data_complete())
            return report_incomplete(entry.path);
        const int st = upload_file(id, reader, entry, archive, chunks);
        if (st != OP_OK)
            return st;
        r.files++;
        r.bytes += entry.size;
    }
}

} // namespace

int upload_tar(int id, TarSource &source, const char *archive) {
    V21_upload_result ignored;
    return unpack(id, source, archive, ignored, nullptr) == OP_OK ? 0 : -1;
}

int V21_op_upload_tar(const char *name, Progress &progress,
                      V21_upload_result *result, V21_Chunks *chunks) {
    V21_upload_result ignored;
    V21_upload_result &r = result ? *result : ignored;
    r = V21_upload_result();
    if (!require_connected())
        return OP_NO_DEVICE;
    FilePtr file = open_file(name, "rb");
    if (!file) {
        if (!op_file_failure("read", name, errno))
            op_text_error("Error loading file:%s!\n", name);
        return OP_LOCAL_FILE;
    }
    op_text("Reading file %s...\n", name);
    struct stat st {};
    const uint64_t size = fstat(fileno(file.get()), &st) == 0 && st.st_size > 0
                              ? uint64_t(st.st_size)
                              : 0;
    ProgressPhase phase(progress, size, ProgressUnit::bytes);
    FileSource source(file.get(), progress);
    return unpack(id_conn, source, name, r, chunks);
}

namespace {

// Where a resumed copy into name goes on: the file's size rounded down to a
// whole read, after the whole read before that point was read again and
// found equal to the file's bytes. A card that changed since is refused
// with one line, and the file is left as it is.
int resume_point(const char *name, uint32_t size, uint32_t *offset) {
    *offset = 0;
    FilePtr file = open_file(name, "rb");
    if (!file)
        return OP_OK; // nothing to resume: a copy from the start
    // fseeko and ftello: a card image may pass 2 GiB, where Windows' long
    // ends.
    if (fseeko(file.get(), 0, SEEK_END) != 0) {
        report_write_error(name);
        return OP_LOCAL_FILE;
    }
    const off_t have = ftello(file.get());
    if (have < 0) {
        report_write_error(name);
        return OP_LOCAL_FILE;
    }
    // Bytes past the card's end can be nothing the card holds, and the copy
    // would leave them standing behind the image.
    if (uint64_t(have) > size) {
        log_error("%s is longer than the card's image (%u bytes): not "
                  "resumed, nothing written.\n",
                  name, size);
        return OP_LOCAL_FILE;
    }
    const uint64_t whole = uint64_t(have) / IMAGE_READ_CHUNK * IMAGE_READ_CHUNK;
    if (whole == 0)
        return OP_OK;
    const uint32_t check = uint32_t(whole) - IMAGE_READ_CHUNK;
    unsigned char disk[IMAGE_READ_CHUNK], card[IMAGE_READ_CHUNK];
    if (fseeko(file.get(), off_t(check), SEEK_SET) != 0 ||
        fread(disk, 1, sizeof disk, file.get()) != sizeof disk) {
        report_write_error(name);
        return OP_LOCAL_FILE;
    }
    uint32_t count = 0;
    int rc = V21_Read_File(id_conn, CARD_IMAGE_FILE, card, check,
                           IMAGE_READ_CHUNK, &count, 1);
    if (rc != 0)
        return op_error(DOWNLOAD_NAME, rc);
    if (count != IMAGE_READ_CHUNK || memcmp(disk, card, count) != 0) {
        log_error("The card changed since %s was written (bytes %u to %u "
                  "differ): not resumed, nothing written.\n",
                  name, check, check + IMAGE_READ_CHUNK - 1);
        return OP_LOCAL_FILE;
    }
    *offset = uint32_t(whole);
    return OP_OK;
}

} // namespace

int V21_op_card_image_size(uint32_t *size) {
    *size = 0;
    if (!require_connected())
        return OP_NO_DEVICE;
    const int rc = V21_File_Info(id_conn, CARD_IMAGE_FILE, size, 1);
    if (rc != 0)
        return op_error(DOWNLOAD_NAME, rc);
    return OP_OK;
}

int V21_op_download_sd(const char *name, Progress &progress, uint64_t *copied,
                       bool resume, V21_Chunks *chunks) {
    if (copied)
        *copied = 0;
    if (!require_connected())
        return OP_NO_DEVICE;
    uint32_t size = 0;
    int rc = V21_File_Info(id_conn, CARD_IMAGE_FILE, &size, 1);
    if (rc != 0)
        return op_error(DOWNLOAD_NAME, rc);
    op_text("Downloading sd image (size:%u)", size);

    uint32_t offset = 0;
    if (resume) {
        const int st = resume_point(name, size, &offset);
        if (st != OP_OK)
            return st;
    }
    FilePtr file = open_file(name, offset > 0 ? "r+b" : "wb");
    if (!file ||
        (offset > 0 && fseeko(file.get(), off_t(offset), SEEK_SET) != 0)) {
        report_write_error(name);
        return OP_LOCAL_FILE;
    }
    if (copied)
        *copied = offset;
    ProgressPhase phase(progress, size, ProgressUnit::bytes);
    if (offset > 0) // the part already in the file
        phase.advance(offset);
    unsigned char chunk[V21_READ_MAX];
    for (;;) {
        if (copied)
            *copied = offset;
        // Between two reads: nothing is on its way.
        if (op_stop_requested()) {
            if (!close_written(file, name))
                return OP_LOCAL_FILE;
            log_error("\nStopped at offset %u: the first %u bytes of the sd "
                      "image are in %s.\n",
                      offset, offset, name);
            return OP_INTERRUPTED;
        }
        uint32_t count = 0;
        rc = V21_read_piece(id_conn, CARD_IMAGE_FILE, chunk, offset, size,
                            IMAGE_READ_CHUNK, chunks, &count);
        if (rc != 0) {
            close_written(file, name); // what was copied so far stays
            return op_error(DOWNLOAD_NAME, rc);
        }
        // Offsets are unsigned 32-bit: a card that goes on past 4 GiB
        // cannot be addressed, and wrapping would copy it again forever.
        if (count > UINT32_MAX - offset) {
            close_written(file, name);
            log_error("\nThe sd image goes on past 4 GiB, copy stopped!\n");
            return OP_FAILED;
        }
        if (count > 0 && fwrite(chunk, 1, count, file.get()) != count) {
            file.reset();
            report_write_error(name);
            return OP_LOCAL_FILE;
        }
        offset += count;
        phase.advance(count);
        if (count == 0) {
            if (copied)
                *copied = offset;
            if (!close_written(file, name))
                return OP_LOCAL_FILE;
            op_text("Ok\n");
            return OP_OK;
        }
    }
}
