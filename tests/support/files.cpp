// Files of tests: temporary directories and whole-file reading and writing,
// on every system the tests run on.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#endif

#include "process.h"

#ifdef _WIN32
constexpr int TEMP_DIR_ATTEMPTS = 100;

TempDir::TempDir() {
    static std::atomic<unsigned> serial{0};
    std::error_code ec;
    auto base = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < TEMP_DIR_ATTEMPTS; attempt++) {
        auto dir =
            base / ("ra62-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(serial++));
        if (std::filesystem::create_directory(dir, ec)) {
            path_ = dir.generic_string();
            return;
        }
    }
    abort();
}
#else
TempDir::TempDir() {
    char tmpl[] = "/tmp/ra62-test-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    path_ = tmpl;
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string read_text_file(const std::string &path) {
    std::string raw = read_file(path);
#ifdef _WIN32
    std::string text;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r'))
            text += "<LF without CR>";
        text += raw[i];
    }
    return text;
#else
    return raw;
#endif
}

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

bool file_exists(const std::string &path) {
    return std::filesystem::exists(path);
}
