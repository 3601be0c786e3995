// Local files on both systems (run under wine as well): names in any
// script through the C runtime and std::filesystem alike, replacing a file
// by renaming over it, the flushes, and the command line's Windows port
// names.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "cli_platform.h"
#include "cmd_util.h"
#include "local_fs.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

// A directory made through std::filesystem is the one the C runtime opens
// files in, and listing it gives back the same UTF-8 names.
TEST(LocalFiles, NonAsciiNamesAreTheSameToTheRuntimeAndToFilesystem) {
    TempDir tmp;
    const std::string dir = tmp.file("Měření/Проекты");
    std::error_code ec;
    ASSERT_TRUE(fs::create_directories(fs_path(dir), ec)) << ec.message();
    EXPECT_EQ(fs_text(fs_path(dir)), dir);
    const std::string file = dir + "/žluťoučký kůň.txt";
    {
        FilePtr f = open_file(file.c_str(), "wb");
        ASSERT_TRUE(f) << file;
        EXPECT_EQ(fwrite("x", 1, 1, f.get()), 1u);
        EXPECT_TRUE(fs_flush(f.get()));
    }
    EXPECT_TRUE(fs::is_regular_file(fs_path(file), ec));
    EXPECT_TRUE(fs_readable(file));
    EXPECT_TRUE(fs_flush_file(file));
    EXPECT_TRUE(fs_flush_dir(dir));
    EXPECT_TRUE(fs_writable_dir(dir));
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(fs_path(tmp.file("Měření"))))
        names.insert(fs_text(e.path().filename()));
    EXPECT_EQ(names, std::set<std::string>{"Проекты"});
    EXPECT_FALSE(fs_readable(dir + "/missing"));
    EXPECT_FALSE(fs_writable_dir(tmp.file("missing")));
}

// A finished file takes the place of an older one of its name; a missing
// one is reported with the reason, and the old file stays.
TEST(LocalFiles, ReplaceRenamesOverAnExistingFile) {
    TempDir tmp;
    const std::string tmp_file = tmp.file("index.json.tmp");
    const std::string file = tmp.file("Měření.json");
    ASSERT_TRUE(write_file(file, "old"));
    ASSERT_TRUE(write_file(tmp_file, "new"));
    ASSERT_TRUE(fs_replace(tmp_file, file)) << strerror(errno);
    EXPECT_EQ(read_file(file), "new");
    EXPECT_FALSE(file_exists(tmp_file));
    errno = 0;
    EXPECT_FALSE(fs_replace(tmp_file, file));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read_file(file), "new");
}

// "-p COM5" on Windows is the connection string of the console's COM
// dialog; anything else, and everything on Linux, stays as given.
TEST(CliPorts, WindowsComNamesBecomeComConnections) {
    const char *kept[] = {
        "auto",   "COM",   "COM0",         "COM05",
        "COM256", "COM5x", "/dev/ttyACM0", "tcp:127.0.0.1:5000,1000"};
    for (const char *p : kept)
        EXPECT_EQ(cli_port_alias(p), p);
#ifdef _WIN32
    EXPECT_EQ(cli_port_alias("COM5"), "com:115200,8N1:5");
    EXPECT_EQ(cli_port_alias("com255"), "com:115200,8N1:255");
#else
    EXPECT_EQ(cli_port_alias("COM5"), "COM5");
#endif
}

} // namespace
