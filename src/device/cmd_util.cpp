#include "cmd_util.h"

#include <cerrno>

#include "libcomm.h"
#include "ops.h"
#include "session.h"

bool require_connected() {
    if (connected != 0)
        return true;
    log_error("\nDevice not connected!\n");
    return false;
}

int cmd_error(const char *name, int code) {
    log_error("Command %s error(code=%d)!\n", name, code);
    return -1;
}

int op_error(const char *name, int code) {
    cmd_error(name, code);
    return OP_FAILED;
}

FilePtr open_file(const char *path, const char *mode) {
    return FilePtr(fopen(path, mode));
}

void report_write_error(const char *path) {
    if (!op_file_failure("write", path, errno))
        log_error("Error writing file:%s!\n", path);
}

bool close_written(FilePtr &file, const char *path) {
    FILE *f = file.release();
    if (!f)
        return true;
    // The reason of the first failure is the one reported: a failed flush
    // (a full disk shows there) may leave fclose nothing to complain about.
    const bool had_error = ferror(f) != 0;
    const int before = errno;
    bool ok = fflush(f) == 0;
    int err = ok ? before : errno;
    if (fclose(f) != 0) {
        if (ok)
            err = errno;
        ok = false;
    }
    ok = ok && !had_error;
    if (!ok) {
        errno = err;
        report_write_error(path);
    }
    return ok;
}

void safe_name_part(const char *text, char *out, size_t out_size) {
    if (out_size == 0)
        return;
    size_t n = 0;
    for (; text[n] && n + 1 < out_size; n++) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '-' || c == '_';
        out[n] = keep ? static_cast<char>(c) : '_';
    }
    out[n] = 0;
}
