// Reading a tar archive entry by entry from a byte source, for the upload of
// an archive onto the instrument's storage card.
//
// The reader hands out directories and regular files; every other entry
// (links, devices, extension headers of any kind) is skipped together with
// its data. Long paths given by a GNU long-name entry or a pax "path" record,
// and the prefix field of POSIX ustar headers, make up the entry's full path,
// so a path is never silently cut. A header whose checksum is wrong, a size
// that is not octal digits, a malformed extension header or an archive that
// ends inside a header or inside skipped data is reported as an error; it
// never reads past what the source gave.
#ifndef TAR_READER_H
#define TAR_READER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t TAR_BLOCK = 512;
// Most bytes of a GNU long-name entry or pax extended header kept in memory;
// a larger one makes the archive damaged.
constexpr uint64_t TAR_EXT_HEADER_MAX = 65536;

// Where the archive's bytes come from.
class TarSource {
  public:
    virtual ~TarSource() = default;
    // Stores up to n bytes at buf and answers how many; fewer than n only at
    // the end of the source; -1 on a read error.
    virtual long read(unsigned char *buf, size_t n) = 0;
    // Moves to pos bytes from the start; false when that is impossible.
    virtual bool seek(uint64_t pos) = 0;
};

// An archive held in memory (tests, fuzzing).
class TarMemorySource : public TarSource {
  public:
    TarMemorySource(const void *data, size_t size)
        : data_(static_cast<const unsigned char *>(data)), size_(size) {}
    long read(unsigned char *buf, size_t n) override;
    bool seek(uint64_t pos) override;

  private:
    const unsigned char *data_;
    size_t size_;
    size_t pos_ = 0;
};

enum TarEntryType {
    TAR_DIRECTORY,
    TAR_FILE,
};

struct TarEntry {
    TarEntryType type = TAR_FILE;
    std::string path;  // full path as the archive gives it
    uint64_t size = 0; // data bytes of a file; 0 for a directory
};

// An entry next() passed over: a link, a device, a FIFO or any other type
// that is neither a directory, a regular file nor an extension header.
struct TarSkipped {
    std::string path;
    char type; // the header's type flag ('1' hard link, '2' symbolic link)
};

// Results of TarReader::next.
constexpr int TAR_ENTRY = 0;        // entry filled in
constexpr int TAR_END = 1;          // the archive ended cleanly
constexpr int TAR_ERR_DAMAGED = -1; // see error() and error_offset()
constexpr int TAR_ERR_READ = -2;    // the source reported a read error

class TarReader {
  public:
    explicit TarReader(TarSource &source) : src_(source) {}

    // Moves to the next directory or regular file, skipping what is left of
    // the previous entry's data and every entry of another type. A source
    // that ends at a header boundary, or inside a header whose bytes so far
    // are all zero, ends the archive.
    int next(TarEntry &entry);

    // Reads up to n bytes of the current file's data; answers how many, fewer
    // than n only when the file's data ends or the archive ends inside it;
    // -1 on a read error.
    long read_data(unsigned char *buf, size_t n);
    // Whether the archive holds all of the current file's data (it may end
    // inside it). Leaves the read position where it was.
    bool data_complete();
    // Back to the first byte of the current file's data.
    bool rewind_data();

    // The entries next() passed over since the last call, in archive order.
    std::vector<TarSkipped> take_skipped() { return std::move(skipped_); }

    // Why next() answered TAR_ERR_DAMAGED, and the offset of the block
    // concerned.
    const char *error() const { return error_; }
    uint64_t error_offset() const { return error_offset_; }

  private:
    int read_block(unsigned char *block, size_t &got);
    int skip(uint64_t n);
    int read_extension(uint64_t size, std::vector<unsigned char> &data);
    int parse_pax(const std::vector<unsigned char> &data);
    int damaged(const char *why, uint64_t offset);

    TarSource &src_;
    uint64_t pos_ = 0;        // bytes taken from the source so far
    uint64_t data_start_ = 0; // the current file's data
    uint64_t data_size_ = 0;
    uint64_t data_read_ = 0;
    bool in_file_ = false;
    // Set by an extension header for the entry that follows it.
    std::string next_path_;
    bool has_next_path_ = false;
    uint64_t next_size_ = 0;
    bool has_next_size_ = false;
    std::vector<TarSkipped> skipped_;
    const char *error_ = "";
    uint64_t error_offset_ = 0;
};

#endif
