#include "local_fs.h"

#include <cerrno>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()),
                                      nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()),
                            out.data(), n);
    return out;
}

// errno for the Windows errors a rename meets, so callers name the reason
// as on Linux.
int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

} // namespace

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string fs_text(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool fs_replace(const std::string &from, const std::string &to) {
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = errno_of(GetLastError());
    return false;
}

bool fs_flush(FILE *file) {
    return fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool fs_flush_file(const std::string &path) {
    // Flushing needs a handle open for writing.
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return false;
    }
    const bool ok = FlushFileBuffers(h) != 0;
    if (!ok)
        errno = errno_of(GetLastError());
    CloseHandle(h);
    return ok;
}

bool fs_flush_dir(const std::string &) {
    return true;
}

bool fs_readable(const std::string &path) {
    return _access(path.c_str(), 4) == 0;
}

bool fs_writable_dir(const std::string &dir) {
    // Windows' access knows only the read-only attribute; a directory that
    // refuses files for another reason fails at the first file, named then.
    return _access(dir.c_str(), 2) == 0;
}

#else

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(utf8);
}

std::string fs_text(const std::filesystem::path &path) {
    return path.string();
}

bool fs_replace(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool fs_flush(FILE *file) {
    return fflush(file) == 0 && ::fsync(fileno(file)) == 0;
}

namespace {

bool sync_path(const std::string &path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

} // namespace

bool fs_flush_file(const std::string &path) {
    return sync_path(path, 0);
}

bool fs_flush_dir(const std::string &dir) {
    return sync_path(dir, O_DIRECTORY);
}

bool fs_readable(const std::string &path) {
    return ::access(path.c_str(), R_OK) == 0;
}

bool fs_writable_dir(const std::string &dir) {
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

#endif
