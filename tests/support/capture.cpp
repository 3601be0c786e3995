#include "capture.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "log_sink.h"

namespace {

std::string read_all(FILE *f) {
    fflush(f);
    long end = ftell(f);
    std::string text(static_cast<size_t>(end > 0 ? end : 0), '\0');
    rewind(f);
    size_t n = fread(text.data(), 1, text.size(), f);
    text.resize(n);
    fseek(f, 0, SEEK_END);
    return text;
}

} // namespace

OutputCapture::OutputCapture() : out_(tmpfile()), err_(tmpfile()) {
    if (!out_ || !err_)
        abort();
    log_set_streams(out_, err_);
}

OutputCapture::~OutputCapture() {
    log_set_streams(nullptr, nullptr);
    fclose(out_);
    fclose(err_);
}

std::string OutputCapture::out() const {
    return read_all(out_);
}
std::string OutputCapture::err() const {
    return read_all(err_);
}

void OutputCapture::clear() {
    log_set_streams(nullptr, nullptr);
    fclose(out_);
    fclose(err_);
    out_ = tmpfile();
    err_ = tmpfile();
    if (!out_ || !err_)
        abort();
    log_set_streams(out_, err_);
}

void feed_stdin(const std::string &text) {
#ifdef _WIN32
    std::error_code ec;
    std::string name =
        (std::filesystem::temp_directory_path(ec) / "ra62-stdin-XXXXXX")
            .string();
    char *path = name.data();
#else
    char path[] = "/tmp/ra62-stdin-XXXXXX";
#endif
    int fd = mkstemp(path);
    if (fd < 0)
        abort();
    if (write(fd, text.data(), text.size()) !=
        static_cast<ssize_t>(text.size()))
        abort();
    close(fd);
    if (!freopen(path, "r", stdin))
        abort();
    unlink(path);
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + 1))
        n++;
    return n;
}
