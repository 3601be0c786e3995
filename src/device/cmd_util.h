// Small pieces every console command shares: the connection test, the
// command error line, and local files that are closed on every path and
// whose write errors are noticed.
#ifndef CMD_UTIL_H
#define CMD_UTIL_H

#include <cstddef>
#include <cstdio>
#include <memory>

// 1 when an instrument is connected; otherwise prints "Device not
// connected!" and answers 0.
bool require_connected();

// Prints "Command %s error(code=%d)!" for a failed request and answers -1.
int cmd_error(const char *name, int code);
// The same line for an operation; answers OP_FAILED.
int op_error(const char *name, int code);
// A console command's result for an operation's status: 0 or -1.
inline int cmd_result(int status) {
    return status == 0 ? 0 : -1;
}

struct FileCloser {
    void operator()(FILE *f) const {
        if (f)
            fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a local file; null when it cannot be opened.
FilePtr open_file(const char *path, const char *mode);

// Closes a file written by a command. Answers false, after printing
// "Error writing file:%s!", when anything written did not reach it.
bool close_written(FilePtr &file, const char *path);

// Prints "Error writing file:%s!" for a local file that cannot be created or
// written (or hands it with errno to the sink of op_file_failure).
void report_write_error(const char *path);

// Copies text that came from the instrument into out (out_size bytes, always
// terminated) for use inside a local file or directory name: letters, digits,
// "-" and "_" stay, every other character becomes "_", so the name can never
// lead out of the directory it is made in.
void safe_name_part(const char *text, char *out, size_t out_size);

#endif
