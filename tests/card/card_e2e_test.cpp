// "uf" and "ds" in the real console against vo62-sim: archives made by the
// system's tar land on the simulator's card byte for byte, and the card
// image comes back whole.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process.h"
#include "sim_process.h"
#include "tar_builder.h"

namespace {

constexpr int kRunMs = 60000;

ProcessResult console(const SimProcess &sim, const std::string &commands) {
    // Enter at "Select connection type" and "Select device" reaches the
    // simulator.
    return run_process({console_binary_path()}, "\n\n" + commands, sim.env(),
                       kRunMs);
}

// The lines one command printed: from its first prompt to the next ">".
std::string command_output(const std::string &out, const std::string &from) {
    size_t at = out.find(from);
    if (at == std::string::npos)
        return "<missing>";
    return out.substr(at, out.find('>', at) - at);
}

void make_tree(const std::string &root,
               const std::vector<std::pair<std::string, size_t>> &files,
               const std::vector<std::string> &dirs) {
    for (const std::string &d : dirs)
        ASSERT_EQ(mkdir((root + "/" + d).c_str(), 0755), 0) << d;
    unsigned seed = 1;
    for (const auto &[name, size] : files)
        ASSERT_TRUE(write_file(root + "/" + name, pattern(size, seed++)));
}

// The system's tar, found on the PATH.
std::string tar_path() {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/tar";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "tar";
}

void make_tar(const TempDir &work, const std::string &archive,
              const std::vector<std::string> &args) {
    std::vector<std::string> argv = {tar_path(), "--sort=name",
                                     "-cf",      work.file(archive),
                                     "-C",       work.file("src")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = run_process(argv, "", {}, kRunMs);
    ASSERT_EQ(r.exit_code, 0) << r.err;
}

class CardEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(sim_binary_path().empty());
        ASSERT_EQ(mkdir(work_.file("src").c_str(), 0755), 0);
    }
    std::string src(const std::string &name) const {
        return work_.file("src/" + name);
    }
    TempDir work_;
};

TEST_F(CardEndToEnd, ArchivesMadeByTarLandOnTheCard) {
    const std::string long40 = "d/" + std::string(38, 'L'); // 40 characters
    const std::string long120 = "p/" + std::string(118, 'P');
    const std::vector<std::pair<std::string, size_t>> files = {
        {"d/f0", 0},     {"d/f1", 1},
        {"d/f127", 127}, {"d/f128", 128},
        {"d/f300", 300}, {"d/f512", 512},
        {"d/f513", 513}, {"d/sub/deep/n300", 300},
        {long40, 10},    {"p/q/r513", 513},
        {"p/f128", 128}, {long120, 5}};
    make_tree(work_.file("src"), files,
              {"d", "d/sub", "d/sub/deep", "p", "p/q"});
    ASSERT_EQ(symlink("f1", src("d/lnk").c_str()), 0);
    make_tar(work_, "gnu.tar", {"d"});
    make_tar(work_, "pax.tar", {"--format=pax", "p"});
    // An archive of a directory's contents starts with "./".
    ProcessResult dot =
        run_process({tar_path(), "--sort=name", "-cf", work_.file("dot.tar"),
                     "-C", src("d/sub"), "."},
                    "", {}, kRunMs);
    ASSERT_EQ(dot.exit_code, 0) << dot.err;

    SimProcess sim({"--seed", "4", "--no-demo-log"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "uf\n" + work_.file("gnu.tar") + "\nuf\n" +
                                       work_.file("pax.tar") + "\nuf\n" +
                                       work_.file("dot.tar") + "\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(
        command_output(r.out, "Enter TAR file name[sd.tar]:Reading file " +
                                  work_.file("gnu.tar")),
        "Enter TAR file name[sd.tar]:Reading file " + work_.file("gnu.tar") +
            "...\n"
            "name of directory:d/\n"
            "path too long, skipped:" +
            long40 +
            "\n"
            "file name:d/f1 [1]DONE\n"
            "file name:d/f127 [127]DONE\n"
            "file name:d/f128 [128].DONE\n"
            "file name:d/f300 [300].DONE\n"
            "file name:d/f512 [512].DONE\n"
            "file name:d/f513 [513].DONE\n"
            "name of directory:d/sub/\n"
            "name of directory:d/sub/deep/\n"
            "file name:d/sub/deep/n300 [300].DONE\n");
    EXPECT_EQ(
        command_output(r.out, "Enter TAR file name[sd.tar]:Reading file " +
                                  work_.file("pax.tar")),
        "Enter TAR file name[sd.tar]:Reading file " + work_.file("pax.tar") +
            "...\n"
            "name of directory:p/\n"
            "path too long, skipped:" +
            long120 +
            "\n"
            "file name:p/f128 [128].DONE\n"
            "name of directory:p/q/\n"
            "file name:p/q/r513 [513].DONE\n");

    EXPECT_EQ(
        command_output(r.out, "Enter TAR file name[sd.tar]:Reading file " +
                                  work_.file("dot.tar")),
        "Enter TAR file name[sd.tar]:Reading file " + work_.file("dot.tar") +
            "...\nname of directory:./deep/\n"
            "file name:./deep/n300 [300].DONE\n");

    const std::string card = sim.card_dir();
    struct stat st;
    for (const char *d : {"d", "d/sub", "d/sub/deep", "p", "p/q"})
        EXPECT_TRUE(stat((card + "/" + d).c_str(), &st) == 0 &&
                    S_ISDIR(st.st_mode))
            << d;
    for (const auto &[name, size] : files) {
        const std::string on_card = card + "/" + name;
        if (size == 0 || name.size() >= 32) {
            EXPECT_FALSE(file_exists(on_card)) << name;
            EXPECT_FALSE(file_exists(card + "/" + name.substr(0, 31))) << name;
        } else {
            EXPECT_EQ(read_file(on_card), read_file(src(name))) << name;
        }
    }
    EXPECT_NE(lstat((card + "/d/lnk").c_str(), &st), 0);
    EXPECT_EQ(read_file(card + "/deep/n300"),
              read_file(src("d/sub/deep/n300")));
}

TEST_F(CardEndToEnd, LostAppendsAndLostRepliesStoreTheDataOnce) {
    make_tree(work_.file("src"), {{"f300", 300}, {"g300", 300}}, {});
    make_tar(work_, "two.tar", {"f300", "g300"});
    // The reply of f300's second append is lost (it was carried out), and
    // g300's second append never arrives (it was not).
    SimProcess sim({"--no-demo-log", "--fault", "drop:code=8210,skip=2,count=1",
                    "--fault", "silent:code=8210,skip=6,count=1"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, "uf\n" + work_.file("two.tar") + "\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("file name:f300 [300].DONE\n"
                         "file name:g300 [300].DONE\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(sim.card_dir() + "/f300"), read_file(src("f300")));
    EXPECT_EQ(read_file(sim.card_dir() + "/g300"), read_file(src("g300")));
}

TEST_F(CardEndToEnd, CutArchivesEndInSuccessOrAClearError) {
    make_tree(work_.file("src"), {{"a/f700", 700}, {"a/g300", 300}}, {"a"});
    make_tar(work_, "full.tar", {"a"});
    const std::string full = read_file(work_.file("full.tar"));
    // Headers at 0, 512, 2048; data of f700 at 1024, of g300 at 2560.
    struct Cut {
        size_t at;
        const char *expect; // in the console's output or errors
    };
    const Cut cuts[] = {
        {1500, "File a/f700 is incomplete: the archive ends inside its data!"},
        {2100, "the archive ends inside a header!"},
        {2048, "file name:a/f700 [700].DONE\n>"},
        {2900, "file name:a/f700 [700].DONE\nfile name:a/g300 [300].DONE\n>"},
    };
    std::string commands;
    for (const Cut &c : cuts) {
        const std::string name = work_.file("cut" + std::to_string(c.at));
        ASSERT_TRUE(write_file(name, full.substr(0, c.at)));
        commands += "uf\n" + name + "\n";
    }
    SimProcess sim({"--no-demo-log"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = console(sim, commands + "q\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    for (const Cut &c : cuts)
        EXPECT_NE((r.out + r.err).find(c.expect), std::string::npos)
            << c.at << "\n"
            << r.out << r.err;
    EXPECT_EQ(read_file(sim.card_dir() + "/a/g300"), read_file(src("a/g300")));
}

TEST_F(CardEndToEnd, CardImageIsCopiedWhole) {
    SimProcess sim({"--no-demo-log"});
    ASSERT_TRUE(sim.started());
    const std::string img = work_.file("sd.img");
    ProcessResult r = console(sim, "ds\n" + img + "\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    const uint32_t size = 1u << 20;
    std::string expect = "Enter sd image file name[sd.img]:"
                         "Downloading sd image (size:1048576)";
    // A percentage line every 200 reads of 512 bytes.
    for (uint32_t reads = 200; reads * 512 <= size; reads += 200) {
        char line[16];
        snprintf(line, sizeof line, "%.1f%%\n", reads * 512 * 100.0 / size);
        expect += line;
    }
    expect += "Ok\n";
    EXPECT_EQ(command_output(r.out, "Enter sd image"), expect);
    const std::string image = read_file(img);
    EXPECT_EQ(image.size(), size);
    EXPECT_TRUE(image == read_file(sim.card_dir() + "/raw"));
}

} // namespace
