// "uf" and "ds" against a fake card behind the real link: what is sent,
// what lands on the card or in the image file, and what the console shows.
#include <sys/stat.h>

#include "cmd_fixture.h"
#include "fake_card.h"
#include "process.h"
#include "shell.h"
#include "tar_builder.h"
#include "tar_reader.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "v21_ops.h"

namespace {

using Strings = std::vector<std::string>;

class CardCommands : public InstrumentTest {
  protected:
    // Writes the archive and runs "uf" on it; answers the command's result.
    int upload(const TarBytes &archive) {
        path_ = dir_.file("a.tar");
        write_file(path_, std::string(archive.begin(), archive.end()));
        feed_stdin(path_ + "\n");
        char line[] = "uf\n";
        return V21_cmd_upload_tar(line, 0);
    }
    int download(const std::string &path) {
        feed_stdin(path + "\n");
        char line[] = "ds\n";
        return V21_cmd_download_sd(line, 0);
    }
    std::string card_file(const std::string &name) const {
        auto f = card_.files.find(name);
        return f == card_.files.end()
                   ? "<none>"
                   : std::string(f->second.begin(), f->second.end());
    }
    std::string prompt_and_reading() const {
        return "Enter TAR file name[sd.tar]:Reading file " + path_ + "...\n";
    }

    TempDir dir_;
    std::string path_;
    FakeCard card_;
};

TEST_F(CardCommands, UploadCreatesDirectoriesAndSendsFilesIn128BytePieces) {
    TarBytes a = TarBuilder()
                     .dir("d/")
                     .dir("d/sub/")
                     .file("d/f0", "")
                     .file("d/f1", pattern(1, 1))
                     .file("d/sub/f128", pattern(128, 2))
                     .file("f300", pattern(300, 3))
                     .file("f512", pattern(512, 4))
                     .entry("lnk", '2')
                     .file("f513", pattern(513, 5))
                     .file("f2561", pattern(2561, 6))
                     .end()
                     .bytes();
    OutputCapture cap;
    EXPECT_EQ(upload(a), 0);
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(cap.out(), prompt_and_reading() +
                             "name of directory:d/\n"
                             "name of directory:d/sub/\n"
                             "file name:d/f1 [1]DONE\n"
                             "file name:d/sub/f128 [128].DONE\n"
                             "file name:f300 [300].DONE\n"
                             "file name:f512 [512].DONE\n"
                             "file name:f513 [513].DONE\n"
                             "file name:f2561 [2561]..DONE\n");
    Strings w = card_.writes();
    ASSERT_GE(w.size(), 10u);
    EXPECT_EQ(Strings(w.begin(), w.begin() + 10),
              (Strings{"1:d/:0", "1:d/sub/:0", "2:d/f1:0", "3:d/f1:1",
                       "2:d/sub/f128:0", "3:d/sub/f128:128", "3:d/sub/f128:0",
                       "2:f300:0", "3:f300:128", "3:f300:128"}));
    EXPECT_EQ(w[10], "3:f300:44");
    EXPECT_EQ(card_.dirs, (std::set<std::string>{"d/", "d/sub/"}));
    EXPECT_EQ(card_.files.size(), 6u); // no empty file, no link
    EXPECT_EQ(card_file("d/f1"), pattern(1, 1));
    EXPECT_EQ(card_file("d/sub/f128"), pattern(128, 2));
    EXPECT_EQ(card_file("f300"), pattern(300, 3));
    EXPECT_EQ(card_file("f512"), pattern(512, 4));
    EXPECT_EQ(card_file("f513"), pattern(513, 5));
    EXPECT_EQ(card_file("f2561"), pattern(2561, 6));
    // Each file's size is confirmed after its last append.
    EXPECT_EQ(sent(V21_CODE_FILE_INFO).size(), 6u);
}

TEST_F(CardCommands, LongPathsRootAndForeignEntriesAreSkipped) {
    const std::string p31(31, 'a'), p32 = std::string(31, 'b') + "/";
    TarBytes decoy = tar_header("decoy", '0', 3);
    tar_seal(decoy);
    TarBytes a = TarBuilder()
                     .dir("./")
                     .file(p31, "fits")
                     .dir(p32)
                     .file(p32 + "x", std::string(decoy.begin(), decoy.end()))
                     .entry("g", 'g', std::string(decoy.begin(), decoy.end()))
                     .pax(pax_record("path", "short"))
                     .file(std::string(40, 'c'), "via pax")
                     .file("after", "ok")
                     .end()
                     .bytes();
    OutputCapture cap;
    EXPECT_EQ(upload(a), 0);
    EXPECT_EQ(cap.out(), prompt_and_reading() + "file name:" + p31 +
                             " [4]DONE\n"
                             "path too long, skipped:" +
                             p32 +
                             "\n"
                             "path too long, skipped:" +
                             p32 +
                             "x\n"
                             "file name:short [7]DONE\n"
                             "file name:after [2]DONE\n");
    EXPECT_EQ(card_.dirs.size(), 0u);
    EXPECT_EQ(card_.files.size(), 3u);
    EXPECT_EQ(card_file("short"), "via pax");
    EXPECT_EQ(card_file("decoy"), "<none>");
}

TEST_F(CardCommands, DamagedOrCutArchivesStopTheUploadWithAnError) {
    TarBytes bad = tar_header("b", '0', 1);
    tar_seal(bad);
    bad[100] = '7'; // spoils the checksum
    {
        OutputCapture cap;
        EXPECT_EQ(upload(TarBuilder().file("a", "1").raw(bad).end().bytes()),
                  -1);
        EXPECT_EQ(cap.err(), "\nDamaged archive " + path_ +
                                 " at byte 1024: bad header checksum!\n");
        EXPECT_EQ(card_file("a"), "1"); // what came before stays
    }
    {
        TarBytes a =
            TarBuilder().file("a", "1").file("big", pattern(900)).bytes();
        a.resize(a.size() - 512 - 10); // 10 bytes of big are missing
        OutputCapture cap;
        card_.ops.clear();
        EXPECT_EQ(upload(a), -1);
        EXPECT_EQ(
            cap.err(),
            "\nFile big is incomplete: the archive ends inside its data!\n");
        EXPECT_EQ(card_file("big"), "<none>"); // never created
        EXPECT_EQ(card_.writes(), (Strings{"2:a:0", "3:a:1"}));
    }
}

TEST_F(CardCommands, AnAppendIsNeverStoredTwiceWhenARequestOrReplyIsLost) {
    TarBytes a = TarBuilder().file("f", pattern(300)).end().bytes();
    // The reply of the second append (ops: create 0, append 1, append 2) is
    // lost: the file's size shows that it arrived, and it is not sent again.
    card_.lose_reply_at = {2};
    OutputCapture cap;
    EXPECT_EQ(upload(a), 0);
    EXPECT_EQ(cap.out(), prompt_and_reading() + "file name:f [300].DONE\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(card_file("f"), pattern(300));
    EXPECT_EQ(card_.writes(),
              (Strings{"2:f:0", "3:f:128", "3:f:128", "3:f:44"}));
    EXPECT_EQ(card_.ops[3].code, V21_CODE_FILE_INFO); // the check

    // The second append itself is lost: the size shows it, it goes again.
    card_.ops.clear();
    card_.lose_request_at = {2};
    cap.clear();
    EXPECT_EQ(upload(a), 0);
    EXPECT_EQ(card_file("f"), pattern(300));
    EXPECT_EQ(card_.writes(),
              (Strings{"2:f:0", "3:f:128", "3:f:128", "3:f:128", "3:f:44"}));

    // An append lost every time gives up after its attempts.
    card_.ops.clear();
    card_.lose_request_at = {2, 4, 6};
    cap.clear();
    EXPECT_EQ(upload(a), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_upload_tar error(code=255)!\n");
    EXPECT_EQ(card_.writes().size(), 2u + V21_APPEND_ATTEMPTS);
}

TEST_F(CardCommands, FileWhoseSizeDiffersOnTheCardIsSentOnceMore) {
    TarBytes a = TarBuilder().file("f", pattern(300)).end().bytes();
    // A card that stores every append twice: the size after the last
    // append shows it; the file is sent once more, then an error.
    card_.always_twice = "f";
    OutputCapture cap;
    EXPECT_EQ(upload(a), -1);
    EXPECT_EQ(cap.out(), prompt_and_reading() +
                             "file name:f [300]. size on card 600, sending "
                             "again.");
    EXPECT_EQ(cap.err(),
              "\nFile f on the card holds 600 bytes instead of 300!\n"
              "Command V21_cmd_upload_tar error(code=1)!\n");
    // Each pass: create and three appends; the delete between them.
    EXPECT_EQ(card_.writes(),
              (Strings{"2:f:0", "3:f:128", "3:f:128", "3:f:44", "4:f:0",
                       "2:f:0", "3:f:128", "3:f:128", "3:f:44"}));
}

TEST_F(CardCommands, FailedRequestsAndMissingArchiveEndTheUpload) {
    TarBytes a = TarBuilder().dir("d/").file("d/f", pattern(300)).end().bytes();
    for (int at : {0, 1, 3, 5}) { // mkdir, create, append, file info
        FakeCard card;
        card.refuse_at = at;
        OutputCapture cap;
        EXPECT_EQ(upload(a), -1) << at;
        EXPECT_EQ(cap.err(), "Command V21_cmd_upload_tar error(code=1)!\n")
            << at;
        EXPECT_EQ(card.ops.size(), static_cast<size_t>(at + 1)) << at;
    }

    OutputCapture cap;
    fake_comm::clear_records();
    feed_stdin(dir_.file("missing.tar") + "\n");
    char line[] = "uf\n";
    EXPECT_EQ(V21_cmd_upload_tar(line, 0), -1);
    EXPECT_EQ(cap.out(), "Enter TAR file name[sd.tar]:Error loading file:" +
                             dir_.file("missing.tar") + "!\n");
    EXPECT_TRUE(fake_comm::writes().empty());

    // A directory opens but cannot be read (Windows does not open it).
    cap.clear();
    feed_stdin(dir_.path() + "\n");
    EXPECT_EQ(V21_cmd_upload_tar(line, 0), -1);
#ifdef _WIN32
    EXPECT_EQ(cap.out(), "Enter TAR file name[sd.tar]:Error loading file:" +
                             dir_.path() + "!\n");
#else
    EXPECT_EQ(cap.err(), "\nError reading file:" + dir_.path() + "!\n");
#endif

    connected = 0;
    cap.clear();
    EXPECT_EQ(V21_cmd_upload_tar(line, 0), -1);
    EXPECT_EQ(V21_cmd_download_sd(line, 0), -1);
    EXPECT_EQ(cap.err(), "\nDevice not connected!\n\nDevice not connected!\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(CardCommands, CutArchivesNeverPutAWrongFileOnTheCard) {
    // The upload of an archive cut at every 100 bytes ends in success or a
    // clear error, and every file on the card is whole.
    std::map<std::string, std::string> content = {
        {"d/f1", pattern(1, 1)},       {"d/f127", pattern(127, 2)},
        {"d/e/f300", pattern(300, 3)}, {"f512", pattern(512, 4)},
        {"f513", pattern(513, 5)},     {"short", pattern(700, 6)}};
    TarBuilder b;
    b.dir("d/").file("d/f0", "").file("d/f1", content["d/f1"]);
    b.file("d/f127", content["d/f127"]).dir("d/e/");
    b.file("d/e/f300", content["d/e/f300"]).entry("lnk", '2');
    b.file("f512", content["f512"]).file(std::string(40, 'L'), "long");
    b.pax(pax_record("path", "short") + pax_record("mtime", "1"));
    b.file("whatever", content["short"]).file("f513", content["f513"]).end();
    const TarBytes full = b.bytes();
    OutputCapture cap;
    int successes = 0;
    for (size_t n = 0; n <= full.size(); n += 100) {
        FakeCard card;
        fake_comm::clear_records();
        cap.clear();
        TarMemorySource src(full.data(), n);
        const int rc = upload_tar(id_conn, src, "cut.tar");
        ASSERT_TRUE(rc == 0 || rc == -1) << n;
        if (rc == 0) {
            successes++;
            EXPECT_EQ(cap.err(), "") << n;
        } else {
            EXPECT_NE(cap.err(), "") << n;
        }
        for (const auto &[name, bytes] : card.files) {
            ASSERT_EQ(content.count(name), 1u) << name;
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), content[name])
                << n << " " << name;
        }
    }
    EXPECT_GT(successes, 0);

    FakeCard card;
    TarMemorySource src(full.data(), full.size());
    EXPECT_EQ(upload_tar(id_conn, src, "full.tar"), 0);
    EXPECT_EQ(card.files.size(), content.size());
}

// The card image for the download tests: offsets show in the bytes.
fake_comm::Bytes image_of(size_t n) {
    std::string s = pattern(n, 9);
    return fake_comm::Bytes(s.begin(), s.end());
}

TEST_F(CardCommands, DownloadCopiesTheImageIn512ByteReads) {
    card_.image = image_of(401 * 512);
    const std::string img = dir_.file("sd.img");
    OutputCapture cap;
    EXPECT_EQ(download(img), 0);
    EXPECT_EQ(cap.out(), "Enter sd image file name[sd.img]:"
                         "Downloading sd image (size:205312)"
                         "49.9%\n99.8%\nOk\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(read_file(img),
              std::string(card_.image.begin(), card_.image.end()));
    std::vector<CardOp> reads;
    for (const CardOp &op : card_.ops)
        if (op.code == V21_CODE_READ_FILE)
            reads.push_back(op);
    ASSERT_EQ(reads.size(), 402u); // up to the first empty reply
    for (size_t i = 0; i < reads.size(); i++) {
        EXPECT_EQ(reads[i].name, "raw");
        EXPECT_EQ(reads[i].first, i * 512);
        EXPECT_EQ(reads[i].second, 512u);
    }
}

// The command line's bulk pieces leave the bytes of the console's, against
// an instrument that serves them and against older ones that answer a
// larger read short, empty or with the failure reply, or refuse a larger
// append: then the sizes fall back once, what came stays, and the rest goes
// at the console's sizes.
TEST_F(CardCommands, BulkPiecesFallBackOnceAndLeaveTheSameBytes) {
    using Answer = FakeCard::Answer;
    struct Case {
        uint32_t read_limit;
        Answer answer;
        uint32_t append_limit;
        bool reads_reduced, appends_reduced;
        std::vector<uint32_t> reads;   // sizes of the first reads asked
        std::vector<uint32_t> appends; // sizes of the first appends sent
    };
    const std::vector<Case> cases = {
        {0,
         Answer::Short,
         0,
         false,
         false,
         {3996, 3996, 3996, 3996},
         {300, 4056, 944}},
        {512,
         Answer::Short,
         128,
         true,
         true,
         {3996, 512, 512},
         {300, 128, 128, 44}},
        {512,
         Answer::Empty,
         0,
         true,
         false,
         {3996, 512, 512},
         {300, 4056, 944}},
        {3000,
         Answer::Refused,
         4000,
         true,
         true,
         {3996, 512},
         {300, 4056, 128}},
    };
    card_.image = image_of(10000);
    const std::string archive = dir_.file("bulk.tar");
    const TarBytes tar = TarBuilder()
                             .file("f300", pattern(300, 1))
                             .file("f5000", pattern(5000, 2))
                             .end()
                             .bytes();
    ASSERT_TRUE(write_file(archive, std::string(tar.begin(), tar.end())));
    auto tell = [](const std::string &, void *user) {
        ++*static_cast<int *>(user);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.read_limit);
        card_.ops.clear();
        card_.files.clear();
        card_.read_limit = c.read_limit;
        card_.read_answer = c.answer;
        card_.append_limit = c.append_limit;
        // One connection for the download, one for the upload.
        V21_Chunks down = V21_Chunks::bulk(), up = V21_Chunks::bulk();
        int told = 0;
        for (V21_Chunks *ch : {&down, &up}) {
            ch->on_reduced = tell;
            ch->user = &told;
        }
        const std::string img = dir_.file("bulk.img");
        OutputCapture cap;
        op_set_narration(false);
        EXPECT_EQ(V21_op_download_sd(img.c_str(), no_progress(), nullptr, false,
                                     &down),
                  OP_OK);
        EXPECT_EQ(
            V21_op_upload_tar(archive.c_str(), no_progress(), nullptr, &up),
            OP_OK);
        op_set_narration(true);
        EXPECT_EQ(cap.err(), "");
        EXPECT_EQ(read_file(img),
                  std::string(card_.image.begin(), card_.image.end()));
        EXPECT_EQ(card_file("f300"), pattern(300, 1));
        EXPECT_EQ(card_file("f5000"), pattern(5000, 2));
        EXPECT_EQ(down.reduced(), c.reads_reduced);
        EXPECT_EQ(up.reduced(), c.appends_reduced);
        EXPECT_EQ(told, int(c.reads_reduced) + int(c.appends_reduced));
        std::vector<uint32_t> reads, appends;
        for (const CardOp &op : card_.ops) {
            if (op.code == V21_CODE_READ_FILE && reads.size() < c.reads.size())
                reads.push_back(op.second);
            if (op.code == V21_CODE_WRITE_FILE && op.first == V21_OP_APPEND &&
                appends.size() < c.appends.size())
                appends.push_back(op.second);
        }
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(appends, c.appends);
    }
}

TEST_F(CardCommands, DownloadEndsAtTheFirstEmptyReplyWhateverTheSize) {
    // A size of 0: no percentage line, yet the image is copied.
    card_.image = image_of(199 * 512);
    card_.image_size = 0;
    const std::string img = dir_.file("zero.img");
    OutputCapture cap;
    EXPECT_EQ(download(img), 0);
    EXPECT_EQ(cap.out(), "Enter sd image file name[sd.img]:"
                         "Downloading sd image (size:0)Ok\n");
    EXPECT_EQ(read_file(img).size(), 199u * 512);

    // The 200th read is the empty one: its percentage line still comes.
    card_.image_size = -1;
    cap.clear();
    EXPECT_EQ(download(img), 0);
    EXPECT_EQ(cap.out(), "Enter sd image file name[sd.img]:"
                         "Downloading sd image (size:101888)100.0%\nOk\n");

    // Sizes above 2 GiB print unsigned.
    card_.image = image_of(10);
    card_.image_size = 0xFFFFFFFFll;
    cap.clear();
    EXPECT_EQ(download(img), 0);
    EXPECT_NE(cap.out().find("(size:4294967295)Ok\n"), std::string::npos);
}

TEST_F(CardCommands, DownloadFailuresAreReportedAndKeepWhatWasCopied) {
    card_.image = image_of(10 * 512);
    const std::string img = dir_.file("part.img");
    card_.refuse_at = 5; // file info, then reads 0 to 3 succeed
    OutputCapture cap;
    EXPECT_EQ(download(img), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_download_sd error(code=1)!\n");
    EXPECT_EQ(read_file(img),
              std::string(card_.image.begin(), card_.image.begin() + 2048));

    // The size request fails: no local file is touched.
    FakeCard refusing;
    refusing.refuse_at = 0;
    cap.clear();
    EXPECT_EQ(download(dir_.file("never.img")), -1);
    EXPECT_EQ(cap.out(), "Enter sd image file name[sd.img]:");
    EXPECT_FALSE(file_exists(dir_.file("never.img")));
}

TEST_F(CardCommands, ImageFileThatCannotBeWrittenIsReported) {
    card_.image = image_of(3 * 512);
    const std::string nowhere = dir_.file("no/such/dir.img");
    OutputCapture cap;
    EXPECT_EQ(download(nowhere), -1);
    EXPECT_EQ(cap.out(), "Enter sd image file name[sd.img]:"
                         "Downloading sd image (size:1536)");
    EXPECT_EQ(cap.err(), "Error writing file:" + nowhere + "!\n");
    EXPECT_EQ(sent(V21_CODE_READ_FILE).size(), 0u);

    struct stat st;
    if (stat("/dev/full", &st) != 0)
        GTEST_SKIP() << "no /dev/full";
    cap.clear();
    EXPECT_EQ(download("/dev/full"), -1);
    EXPECT_EQ(cap.err(), "Error writing file:/dev/full!\n");
    EXPECT_EQ(cap.out().find("Ok"), std::string::npos);
}

} // namespace
