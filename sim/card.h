// The instrument's storage card: a host directory holding the card's files
// under their own names. Device paths come from the wire and are checked
// before use: relative, no "..", no control characters or backslashes, and
// never into the simulator's own state directory. Every path is opened one
// component at a time below the card's directory without following symbolic
// links, so no request can reach a file outside the card.
#ifndef VO62SIM_CARD_H
#define VO62SIM_CARD_H

#include "le.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vo62sim {

// Where the simulator keeps its own state inside the card directory.
constexpr const char *kStateDirName = ".vo62sim";
// The device file that stands for the whole card image.
constexpr const char *kRawName = "raw";

enum CardResult {
    CARD_OK = 0,
    CARD_BAD_PATH = -1,   // refused path
    CARD_NOT_FOUND = -2,  // no such file or directory
    CARD_WRONG_KIND = -3, // a directory where a file is wanted, or the reverse
    CARD_IO = -4          // the host refused the operation
};

class Card {
  public:
    Card() = default;
    ~Card();
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;

    // Opens (creating when missing) the card directory.
    int open(const std::string &root);
    const std::string &root() const { return root_; }
    int root_fd() const { return root_fd_; }

    // Splits a device path into checked components; false when refused.
    static bool split_path(const std::string &name,
                           std::vector<std::string> &parts);

    // Device operations, on checked paths.
    int info(const std::string &name, uint64_t &size, bool &is_dir) const;
    int read(const std::string &name, uint64_t offset, size_t max_len,
             Bytes &out) const;
    int make_dir(const std::string &name);
    int create(const std::string &name);
    int append(const std::string &name, const uint8_t *data, size_t size);
    // Deleting a file that does not exist succeeds.
    int remove(const std::string &name);
    bool exists(const std::string &name) const;

    // Host-side helpers for the simulator's own use (they also accept the
    // state directory): whole-file write, replacing atomically, and read.
    int write_whole(const std::string &name, const Bytes &data);
    int read_whole(const std::string &name, Bytes &out, size_t limit) const;
    int make_dirs(const std::string &name);
    // Names of the directory's entries (files and directories).
    int list(const std::string &dir, std::vector<std::string> &names) const;
    // Modification time of a file in seconds.
    int mtime(const std::string &name, int64_t &seconds) const;

  private:
    // Opens the directory holding the last component; fd to close, or <0.
    int open_parent(const std::vector<std::string> &parts, bool create) const;
    int resolve(const std::string &name, bool allow_state,
                std::vector<std::string> &parts) const;

    // Looks up an entry without following a link at its end.
    int stat_entry(const std::string &name, struct stat &st) const;

    // Opens a regular file at the card's root for reading, reusing the one
    // opened last while the name still names that very file.
    int open_root_file(const std::string &name) const;

    std::string root_;
    int root_fd_ = -1;
    // The file last read at the card's root, kept open: a card image is
    // read thousands of times in a row.
    mutable int kept_fd_ = -1;
    mutable std::string kept_name_;
    mutable uint64_t kept_dev_ = 0, kept_ino_ = 0;
};

} // namespace vo62sim

#endif
