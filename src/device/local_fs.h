// Local files and directories, the same on every system the program runs
// on. A path is UTF-8 text everywhere. On Windows the program's manifest
// sets the process's code page to UTF-8, so the C runtime's narrow calls
// (fopen, remove, access, the arguments of main) take and give UTF-8 as
// they do on Linux; std::filesystem is the exception, since libstdc++ reads
// a narrow path there byte by byte rather than as UTF-8, so every path
// handed to it goes through fs_path and every path read back through
// fs_text.
#ifndef LOCAL_FS_H
#define LOCAL_FS_H

#include <cstdio>
#include <filesystem>
#include <string>

// The std::filesystem path of UTF-8 text, and the UTF-8 text of a path.
std::filesystem::path fs_path(const std::string &utf8);
std::string fs_text(const std::filesystem::path &path);

// Renames from to to, replacing a file of that name (Windows' own rename
// refuses to). False, with errno set, when it cannot.
bool fs_replace(const std::string &from, const std::string &to);

// Writes what a file's buffers hold and flushes it to the disk.
bool fs_flush(FILE *file);
// Flushes a closed file to the disk.
bool fs_flush_file(const std::string &path);
// Flushes a directory's entries (a file just renamed into it) to the disk.
// Windows cannot open a directory for that; there fs_replace writes the
// rename through instead.
bool fs_flush_dir(const std::string &dir);

// Whether the file can be read, and whether files can be made in the
// directory; false with errno set.
bool fs_readable(const std::string &path);
bool fs_writable_dir(const std::string &dir);

#endif
