#include "card.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vo62sim {

namespace {

// Closes a descriptor on every path out of a scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

int errno_result() {
    if (errno == ENOENT || errno == ENOTDIR)
        return CARD_NOT_FOUND;
    if (errno == ELOOP)
        return CARD_BAD_PATH;
    if (errno == EISDIR)
        return CARD_WRONG_KIND;
    return CARD_IO;
}

bool write_all(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Card::~Card() {
    if (kept_fd_ >= 0)
        ::close(kept_fd_);
    if (root_fd_ >= 0)
        ::close(root_fd_);
}

int Card::open_root_file(const std::string &name) const {
    struct stat st;
    if (::fstatat(root_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno_result();
    if (S_ISLNK(st.st_mode))
        return CARD_BAD_PATH;
    if (!S_ISREG(st.st_mode))
        return CARD_WRONG_KIND;
    if (kept_fd_ >= 0 && kept_name_ == name && kept_dev_ == st.st_dev &&
        kept_ino_ == st.st_ino)
        return kept_fd_;
    int fd = ::openat(root_fd_, name.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno_result();
    // What was opened must be what was looked at, or the name changed
    // in between: then it is not kept.
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return CARD_WRONG_KIND;
    }
    if (kept_fd_ >= 0)
        ::close(kept_fd_);
    kept_fd_ = fd;
    kept_name_ = name;
    kept_dev_ = opened.st_dev;
    kept_ino_ = opened.st_ino;
    return fd;
}

int Card::open(const std::string &root) {
    if (root.empty())
        return CARD_BAD_PATH;
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST)
        return CARD_IO;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno_result();
    if (root_fd_ >= 0)
        ::close(root_fd_);
    root_fd_ = fd;
    root_ = root;
    return CARD_OK;
}

bool Card::split_path(const std::string &name,
                      std::vector<std::string> &parts) {
    parts.clear();
    if (name.empty() || name[0] == '/')
        return false;
    std::string cur;
    auto flush = [&]() {
        if (cur.empty() || cur == ".") {
            cur.clear();
            return true;
        }
        if (cur == "..")
            return false;
        parts.push_back(cur);
        cur.clear();
        return true;
    };
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\')
            return false;
        if (c == '/') {
            if (!flush())
                return false;
        } else {
            cur += c;
        }
    }
    if (!flush())
        return false;
    return !parts.empty();
}

int Card::resolve(const std::string &name, bool allow_state,
                  std::vector<std::string> &parts) const {
    if (root_fd_ < 0)
        return CARD_IO;
    if (!split_path(name, parts))
        return CARD_BAD_PATH;
    if (!allow_state && strcasecmp(parts[0].c_str(), kStateDirName) == 0)
        return CARD_BAD_PATH;
    return CARD_OK;
}

int Card::open_parent(const std::vector<std::string> &parts,
                      bool create) const {
    int fd = ::dup(root_fd_);
    if (fd < 0)
        return CARD_IO;
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        if (create && ::mkdirat(fd, parts[i].c_str(), 0755) != 0 &&
            errno != EEXIST) {
            int r = errno_result();
            ::close(fd);
            return r;
        }
        int next = ::openat(fd, parts[i].c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // Tell a symbolic link (refused) and a file (wrong kind) from a
            // missing directory.
            int r = errno_result();
            struct stat st;
            if (::fstatat(fd, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                r = S_ISLNK(st.st_mode) ? CARD_BAD_PATH : CARD_WRONG_KIND;
            ::close(fd);
            return r;
        }
        ::close(fd);
        fd = next;
    }
    return fd;
}

int Card::stat_entry(const std::string &name, struct stat &st) const {
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    Fd dir(open_parent(parts, false));
    if (dir.fd < 0)
        return dir.fd;
    if (::fstatat(dir.fd, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno_result();
    return CARD_OK;
}

int Card::info(const std::string &name, uint64_t &size, bool &is_dir) const {
    struct stat st;
    int r = stat_entry(name, st);
    if (r != CARD_OK)
        return r;
    if (S_ISLNK(st.st_mode))
        return CARD_BAD_PATH;
    is_dir = S_ISDIR(st.st_mode);
    if (!is_dir && !S_ISREG(st.st_mode))
        return CARD_WRONG_KIND;
    size = is_dir ? 0 : static_cast<uint64_t>(st.st_size);
    return CARD_OK;
}

bool Card::exists(const std::string &name) const {
    uint64_t size = 0;
    bool is_dir = false;
    return info(name, size, is_dir) == CARD_OK && !is_dir;
}

int Card::read(const std::string &name, uint64_t offset, size_t max_len,
               Bytes &out) const {
    out.clear();
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    int fd;
    Fd opened(-1);
    if (parts.size() == 1) {
        fd = open_root_file(parts[0]);
        if (fd < 0)
            return fd;
    } else {
        Fd dir(open_parent(parts, false));
        if (dir.fd < 0)
            return dir.fd;
        opened.fd = ::openat(dir.fd, parts.back().c_str(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (opened.fd < 0)
            return errno_result();
        struct stat st;
        if (::fstat(opened.fd, &st) != 0)
            return CARD_IO;
        if (!S_ISREG(st.st_mode))
            return CARD_WRONG_KIND;
        fd = opened.fd;
    }
    out.resize(max_len);
    size_t got = 0;
    while (got < max_len) {
        ssize_t n = ::pread(fd, out.data() + got, max_len - got,
                            static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            out.clear();
            return CARD_IO;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return CARD_OK;
}

int Card::make_dir(const std::string &name) {
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    Fd dir(open_parent(parts, false));
    if (dir.fd < 0)
        return dir.fd;
    if (::mkdirat(dir.fd, parts.back().c_str(), 0755) == 0)
        return CARD_OK;
    if (errno != EEXIST)
        return errno_result();
    struct stat st;
    if (::fstatat(dir.fd, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno_result();
    return S_ISDIR(st.st_mode) ? CARD_OK : CARD_WRONG_KIND;
}

int Card::create(const std::string &name) {
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    if (parts.size() == 1 && parts[0] == kRawName)
        return CARD_BAD_PATH;
    Fd dir(open_parent(parts, false));
    if (dir.fd < 0)
        return dir.fd;
    Fd f(::openat(dir.fd, parts.back().c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC |
                      O_NONBLOCK,
                  0644));
    if (f.fd < 0)
        return errno_result();
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return CARD_WRONG_KIND;
    return CARD_OK;
}

int Card::append(const std::string &name, const uint8_t *data, size_t size) {
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    if (parts.size() == 1 && parts[0] == kRawName)
        return CARD_BAD_PATH;
    Fd dir(open_parent(parts, false));
    if (dir.fd < 0)
        return dir.fd;
    Fd f(::openat(dir.fd, parts.back().c_str(),
                  O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0)
        return errno_result();
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return CARD_WRONG_KIND;
    // Offsets on the wire are 32-bit: no file grows past 4 GiB - 1.
    if (static_cast<uint64_t>(st.st_size) + size > 0xFFFFFFFFull)
        return CARD_IO;
    return write_all(f.fd, data, size) ? CARD_OK : CARD_IO;
}

int Card::remove(const std::string &name) {
    std::vector<std::string> parts;
    int r = resolve(name, false, parts);
    if (r != CARD_OK)
        return r;
    if (parts.size() == 1 && parts[0] == kRawName)
        return CARD_BAD_PATH;
    Fd dir(open_parent(parts, false));
    if (dir.fd == CARD_NOT_FOUND)
        return CARD_OK;
    if (dir.fd < 0)
        return dir.fd;
    struct stat st;
    if (::fstatat(dir.fd, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? CARD_OK : errno_result();
    if (S_ISDIR(st.st_mode))
        return CARD_WRONG_KIND;
    if (::unlinkat(dir.fd, parts.back().c_str(), 0) != 0)
        return errno == ENOENT ? CARD_OK : errno_result();
    return CARD_OK;
}

int Card::make_dirs(const std::string &name) {
    std::vector<std::string> parts;
    int r = resolve(name, true, parts);
    if (r != CARD_OK)
        return r;
    parts.push_back("x");
    Fd dir(open_parent(parts, true));
    return dir.fd < 0 ? dir.fd : CARD_OK;
}

int Card::write_whole(const std::string &name, const Bytes &data) {
    std::vector<std::string> parts;
    int r = resolve(name, true, parts);
    if (r != CARD_OK)
        return r;
    Fd dir(open_parent(parts, true));
    if (dir.fd < 0)
        return dir.fd;
    std::string tmp = "." + parts.back() + ".tmp";
    int fd =
        ::openat(dir.fd, tmp.c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno_result();
    bool ok = write_all(fd, data.data(), data.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok ||
        ::renameat(dir.fd, tmp.c_str(), dir.fd, parts.back().c_str()) != 0) {
        ::unlinkat(dir.fd, tmp.c_str(), 0);
        return CARD_IO;
    }
    return CARD_OK;
}

int Card::read_whole(const std::string &name, Bytes &out, size_t limit) const {
    out.clear();
    std::vector<std::string> parts;
    int r = resolve(name, true, parts);
    if (r != CARD_OK)
        return r;
    Fd dir(open_parent(parts, false));
    if (dir.fd < 0)
        return dir.fd;
    Fd f(::openat(dir.fd, parts.back().c_str(),
                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0)
        return errno_result();
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return CARD_WRONG_KIND;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return CARD_IO;
        if (n == 0)
            break;
        if (out.size() + static_cast<size_t>(n) > limit)
            return CARD_IO;
        out.insert(out.end(), buf, buf + n);
    }
    return CARD_OK;
}

int Card::list(const std::string &dir_name,
               std::vector<std::string> &names) const {
    names.clear();
    std::vector<std::string> parts;
    int r = resolve(dir_name, false, parts);
    if (r != CARD_OK)
        return r;
    parts.push_back("x");
    int fd = open_parent(parts, false);
    if (fd < 0)
        return fd;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return CARD_IO;
    }
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    ::closedir(d);
    return CARD_OK;
}

int Card::mtime(const std::string &name, int64_t &seconds) const {
    struct stat st;
    int r = stat_entry(name, st);
    if (r != CARD_OK)
        return r;
    seconds = st.st_mtime;
    return CARD_OK;
}

} // namespace vo62sim
