// The tar reader over archives built in memory: entries and their data,
// entries that must be skipped with their data, long paths, and damaged or
// cut archives.
#include <gtest/gtest.h>

#include "tar_builder.h"
#include "tar_reader.h"

namespace {

struct Walk {
    std::vector<std::string> entries; // "d:path" or "f:path:size"
    std::vector<std::string> data;    // the data of each file
    std::vector<std::string> skipped; // "TYPE:path" of each passed over
    int result = 0;                   // what ended the walk
    std::string error;
    uint64_t error_offset = 0;
};

Walk walk(const TarBytes &archive) {
    TarMemorySource src(archive.data(), archive.size());
    TarReader reader(src);
    Walk w;
    TarEntry e;
    for (int i = 0; i < 1000; i++) {
        w.result = reader.next(e);
        for (const TarSkipped &k : reader.take_skipped())
            w.skipped.push_back(std::string(1, k.type) + ":" + k.path);
        if (w.result != TAR_ENTRY)
            break;
        if (e.type == TAR_DIRECTORY) {
            w.entries.push_back("d:" + e.path);
            continue;
        }
        w.entries.push_back("f:" + e.path + ":" + std::to_string(e.size));
        std::string data(e.size, '\0');
        long got = reader.read_data(
            reinterpret_cast<unsigned char *>(data.data()), data.size());
        data.resize(got < 0 ? 0 : static_cast<size_t>(got));
        w.data.push_back(data);
    }
    w.error = reader.error();
    w.error_offset = reader.error_offset();
    return w;
}

using Entries = std::vector<std::string>;

TEST(TarReader, DirectoriesAndFilesOfEverySizeKeepTheirBoundaries) {
    const size_t sizes[] = {0, 1, 127, 128, 300, 511, 512, 513, 1024};
    TarBuilder b;
    b.dir("d/").dir("d/e/");
    Entries want = {"d:d/", "d:d/e/"};
    for (size_t n : sizes) {
        std::string name = "d/e/f" + std::to_string(n);
        b.file(name, pattern(n, static_cast<unsigned>(n)));
        want.push_back("f:" + name + ":" + std::to_string(n));
    }
    Walk w = walk(b.end().bytes());
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, want);
    ASSERT_EQ(w.data.size(), std::size(sizes));
    for (size_t i = 0; i < std::size(sizes); i++)
        EXPECT_EQ(w.data[i], pattern(sizes[i], static_cast<unsigned>(sizes[i])))
            << sizes[i];
}

TEST(TarReader, UnreadDataOfAFileIsSkipped) {
    TarBytes a =
        TarBuilder().file("a", pattern(1000)).file("b", "bee").end().bytes();
    TarMemorySource src(a.data(), a.size());
    TarReader reader(src);
    TarEntry e;
    ASSERT_EQ(reader.next(e), TAR_ENTRY);
    unsigned char some[10];
    EXPECT_EQ(reader.read_data(some, sizeof some), 10);
    ASSERT_EQ(reader.next(e), TAR_ENTRY);
    EXPECT_EQ(e.path, "b");
    EXPECT_EQ(reader.next(e), TAR_END);
}

TEST(TarReader, OtherEntryTypesAreSkippedWithTheirData) {
    // The data of these entries holds what looks like a file header; it must
    // never be read as one.
    TarBytes decoy = tar_header("decoy", '0', 5);
    tar_seal(decoy);
    const std::string inner(decoy.begin(), decoy.end());
    Walk w = walk(TarBuilder()
                      .entry("lnk", '2')
                      .entry("hard", '1')
                      .entry("global", 'g', inner + "x")
                      .entry("vendor", 'V', inner)
                      .entry("longlink", 'K', inner)
                      .entry("fifo", '6')
                      .pax(pax_record("mtime", "1.5"))
                      .file("real", "data")
                      .end()
                      .bytes());
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, Entries{"f:real:4"});
    EXPECT_EQ(w.data, Entries{"data"});
    // Entries of their own are named for the uploader to report; headers
    // that describe others are not.
    EXPECT_EQ(w.skipped, (Entries{"2:lnk", "1:hard", "6:fifo"}));
}

TEST(TarReader, OldStyleEntriesWithAZeroTypeByte) {
    Walk w = walk(TarBuilder()
                      .entry("olddir/", '\0')
                      .entry("olddir/f", '\0', "old")
                      .entry("cont", '7', "c")
                      .end()
                      .bytes());
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, (Entries{"d:olddir/", "f:olddir/f:3", "f:cont:1"}));
}

TEST(TarReader, FullPathsFromLongNamesPaxAndPrefix) {
    const std::string long_name(150, 'n');
    TarBytes gnu_old = tar_header("short", '0', 0, "", "ustar  ");
    memcpy(&gnu_old[345], "junk-in-old-gnu-fields", 22); // no prefix there
    tar_seal(gnu_old);
    Walk w =
        walk(TarBuilder()
                 .entry("././@LongLink", 'L', long_name + '\0')
                 .file(long_name.substr(0, 100), "1")
                 .pax(pax_record("path", "p/real") + pax_record("size", "2"))
                 .entry("p/truncated-name", '0', "22")
                 .file("name", "3")
                 .entry("name", '0', "4", "pre/fix")
                 .raw(gnu_old)
                 .end()
                 .bytes());
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries,
              (Entries{"f:" + long_name + ":1", "f:p/real:2", "f:name:1",
                       "f:pre/fix/name:1", "f:short:0"}));
}

TEST(TarReader, PaxSizeTellsHowMuchDataFollows) {
    // A header size that disagrees with the pax record: the record wins.
    TarBytes h = tar_header("big", '0', 0);
    tar_seal(h);
    std::string data = pattern(700);
    Walk w = walk(TarBuilder()
                      .pax(pax_record("size", "700"))
                      .raw(h)
                      .raw(TarBytes(data.begin(), data.end()))
                      .raw(TarBytes(324, 0))
                      .file("after", "x")
                      .end()
                      .bytes());
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, (Entries{"f:big:700", "f:after:1"}));
    EXPECT_EQ(w.data[0], data);
}

TEST(TarReader, DamagedHeadersAreReported) {
    TarBuilder ok;
    ok.file("first", "1");
    const uint64_t second = ok.bytes().size();

    TarBytes bad_sum = tar_header("x", '0', 1);
    tar_seal(bad_sum);
    bad_sum[0] = 'y';
    Walk w = walk(TarBuilder(ok).raw(bad_sum).end().bytes());
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "bad header checksum");
    EXPECT_EQ(w.error_offset, second);
    EXPECT_EQ(w.entries, Entries{"f:first:1"});

    TarBytes base256 = tar_header("x", '0', 0);
    base256[124] = 0x80; // the binary size form
    memset(&base256[125], 0, 11);
    base256[135] = 1;
    tar_seal(base256);
    w = walk(TarBuilder(ok).raw(base256).end().bytes());
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "size field is not octal");

    TarBytes digits9 = tar_header("x", '0', 0);
    memcpy(&digits9[124], "00000000009", 11);
    tar_seal(digits9);
    EXPECT_EQ(walk(digits9).result, TAR_ERR_DAMAGED);

    for (const std::string &records :
         {std::string("5 a=b\n"), std::string("7 path\n"),
          std::string("99 path=x\n"), std::string("x path=y\n"),
          pax_record("size", "12a"), pax_record("path", ""),
          pax_record("path", std::string("a\0b", 3))}) {
        w = walk(TarBuilder().pax(records).file("f", "1").end().bytes());
        EXPECT_EQ(w.result, TAR_ERR_DAMAGED) << records;
        EXPECT_EQ(w.error, "bad extended header") << records;
    }

    // A long-name entry without data names nothing.
    w = walk(
        TarBuilder().entry("././@LongLink", 'L').file("f", "1").end().bytes());
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "entry without a name");
}

TEST(TarReader, ChecksumsSummedSignedAndPaddedFieldsAreAccepted) {
    TarBytes h = tar_header("\xe9t\xe9", '0', 2); // high bytes
    memcpy(&h[124], "         2 ", 11);           // blank-padded size
    memset(&h[148], ' ', 8);
    int sum = 0;
    for (unsigned char c : h)
        sum += static_cast<signed char>(c);
    snprintf(reinterpret_cast<char *>(&h[148]), 8, "%06o", sum);
    TarBytes a = h;
    a.push_back('o');
    a.push_back('k');
    a.resize(1024 + 1024, 0);
    Walk w = walk(a);
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, Entries{"f:\xe9t\xe9:2"});
    EXPECT_EQ(w.data, Entries{"ok"});
}

TEST(TarReader, CutArchivesEndCleanlyOnlyWhereNothingIsMissing) {
    const TarBytes full = TarBuilder()
                              .dir("d/")
                              .file("d/a", pattern(300))
                              .entry("lnk", 'g', pattern(600))
                              .file("d/b", "b")
                              .end()
                              .bytes();
    auto cut = [&](size_t n) {
        return walk(
            TarBytes(full.begin(), full.begin() + static_cast<long>(n)));
    };
    EXPECT_EQ(cut(0).result, TAR_END);
    EXPECT_EQ(cut(512).result, TAR_END); // at a header boundary

    Walk w = cut(700); // inside the header of d/a
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "the archive ends inside a header");
    EXPECT_EQ(w.error_offset, 512u);

    w = cut(1024 + 188); // inside the data of d/a
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "the archive ends inside an entry's data");
    EXPECT_EQ(w.entries, (Entries{"d:d/", "f:d/a:300"}));
    EXPECT_EQ(w.data[0], pattern(300).substr(0, 188));

    w = cut(1024 + 300 + 100); // inside its padding: the file is whole
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.data[0], pattern(300));

    w = cut(1536 + 100); // inside the 'g' header
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "the archive ends inside a header");
    EXPECT_EQ(w.error_offset, 1536u);

    w = cut(2048 + 100); // inside its skipped data
    EXPECT_EQ(w.result, TAR_ERR_DAMAGED);
    EXPECT_EQ(w.error, "the archive ends inside an entry's data");
    EXPECT_EQ(w.error_offset, 1536u);

    w = cut(full.size() - 100); // inside the zero blocks
    EXPECT_EQ(w.result, TAR_END);
    EXPECT_EQ(w.entries, (Entries{"d:d/", "f:d/a:300", "f:d/b:1"}));

    // An extension header whose entry is missing.
    TarBytes pax = TarBuilder().pax(pax_record("path", "p")).bytes();
    EXPECT_EQ(walk(pax).result, TAR_ERR_DAMAGED);
    pax.resize(pax.size() + 1024, 0);
    EXPECT_EQ(walk(pax).result, TAR_ERR_DAMAGED);
}

TEST(TarReader, CompletenessIsKnownAheadAndDataCanBeReadAgain) {
    const TarBytes full = TarBuilder().file("a", pattern(1000)).end().bytes();
    const TarBytes cut(full.begin(), full.begin() + 512 + 999);
    for (const TarBytes *a : {&full, &cut}) {
        TarMemorySource src(a->data(), a->size());
        TarReader reader(src);
        TarEntry e;
        ASSERT_EQ(reader.next(e), TAR_ENTRY);
        unsigned char buf[1000];
        ASSERT_EQ(reader.read_data(buf, 10), 10);
        EXPECT_EQ(reader.data_complete(), a == &full);
        // The position did not move.
        ASSERT_EQ(reader.read_data(buf, 5), 5);
        EXPECT_EQ(std::string(buf, buf + 5), pattern(1000).substr(10, 5));
        ASSERT_TRUE(reader.rewind_data());
        long got = reader.read_data(buf, sizeof buf);
        EXPECT_EQ(got, a == &full ? 1000 : 999);
        EXPECT_EQ(std::string(buf, buf + got), pattern(1000).substr(0, got));
    }
}

TEST(TarReader, EveryCutOfAnArchiveEnds) {
    // Whatever the cut, the walk ends (no loop, no read past the bytes
    // given, which the sanitizer builds check) and never invents data.
    const std::string big = pattern(2000);
    const TarBytes full =
        TarBuilder()
            .pax(pax_record("path", "p/x") + pax_record("mtime", "1"))
            .file("ignored", big)
            .entry("././@LongLink", 'L', "q/long\0")
            .file("q/lo", "y")
            .dir("q/")
            .end()
            .bytes();
    for (size_t n = 0; n <= full.size(); n++) {
        Walk w =
            walk(TarBytes(full.begin(), full.begin() + static_cast<long>(n)));
        ASSERT_TRUE(w.result == TAR_END || w.result == TAR_ERR_DAMAGED) << n;
        if (!w.data.empty()) {
            EXPECT_EQ(w.data[0], big.substr(0, w.data[0].size())) << n;
        }
    }
}

} // namespace
