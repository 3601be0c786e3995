// The simulator's answers to every request, over its pseudo-terminal, against
// the record layouts.
#include "screen.h"
#include "sim_fixture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

class Requests : public SimFixture {
  protected:
    // Reads a device file to its end in pieces of max_len.
    ByteVec read_device_file(const std::string &name, uint32_t max_len) {
        ByteVec all;
        for (int guard = 0; guard < 100000; guard++) {
            WireFrame r =
                ok(8211, file_request(name, static_cast<uint32_t>(all.size()),
                                      max_len));
            uint32_t count = get_u32(r.payload, 0);
            EXPECT_EQ(r.payload.size(), 4u + count);
            EXPECT_LE(count, std::min<uint32_t>(max_len, 3996));
            if (count == 0)
                break;
            all.insert(all.end(), r.payload.begin() + 4, r.payload.end());
        }
        return all;
    }
};

TEST_F(Requests, EveryRequestGetsItsReplyWithItsSize) {
    start();
    struct Case {
        uint16_t code;
        ByteVec payload;
        size_t min_size, max_size;
    };
    const std::vector<Case> cases = {
        {8001, {}, 1, 8},
        {8002, {}, 24, 24},
        {8007, {}, 8, 8},
        {8008, {}, 4, 4},
        {8016, {}, 5, 2048},
        {8024, {}, 4, 4},
        {8100, {}, 4, 4},
        {8101, {0, 0}, 64, 64},
        {8201, {}, 319, 319},
        {8203, {}, 20, 20},
        {8204, u32_payload(0), 160, 160},
        {8212, {}, 4, 4},
        {8213, {}, 1053, 1060},
        {8209, file_request("raw", 0, 0), 40, 40},
        {8211, file_request("raw", 0, 450), 454, 454},
        {8023, u32_payload(1), 0, 0},
        {8022, u32_payload(0x2001), 0, 0},
        {8210, file_request("d", 1, 0), 0, 0},
        {8105, u32_payload(0x1800), 0, 0},
        {8206, u32_payload(255), 0, 0}};
    for (const Case &c : cases) {
        WireFrame r = ok(c.code, c.payload);
        EXPECT_GE(r.payload.size(), c.min_size) << c.code;
        EXPECT_LE(r.payload.size(), c.max_size) << c.code;
    }
    // Unknown codes and malformed payloads get the failure reply, never
    // silence.
    refused(8999);
    refused(8007, {1});
    refused(8003, ByteVec(23, 0));
    refused(8204, {});
    refused(8202, ByteVec(318, 0));
    refused(8209, ByteVec(39, 0));
    refused(8210, file_request("x", 3, 5, {1, 2})); // data_len disagrees
    refused(8210, file_request("x", 9, 0));         // no such operation
    refused(8022, u32_payload(0x1234));
}

TEST_F(Requests, GetSerialIsAnsweredWellWithinTheProbeTimeOut) {
    start();
    for (int i = 0; i < 20; i++) {
        auto t0 = Clock::now();
        WireFrame r = ok(8007);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      Clock::now() - t0)
                      .count();
        EXPECT_LT(ms, 50);
        EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "A000XXXX");
    }
}

TEST_F(Requests, IdentityAndClockPersistOnTheCard) {
    start();
    ok(8104, {'A', '0', '0', '0', '1', '2', '3', '4'});
    refused(8104, {'A', '0', '0', '0', '1', '2', '3'});
    refused(8104, {'A', '0', '0', '0', '1', '2', '3', '\n'});
    std::string ann = read_file(sim->announcement_path());
    EXPECT_NE(ann.find("serial=A0001234\n"), std::string::npos) << ann;
    ok(8105, u32_payload(0x5900));
    // 2030-01-02 03:04:05, then a date that does not exist.
    ByteVec t;
    for (int v : {2030, 1, 2, 3, 4, 5})
        add_u32(t, static_cast<uint32_t>(v));
    ok(8003, t);
    ByteVec bad;
    for (int v : {2030, 2, 30, 3, 4, 5})
        add_u32(bad, static_cast<uint32_t>(v));
    refused(8003, bad);

    stop();
    start();
    WireFrame s = ok(8007);
    EXPECT_EQ(std::string(s.payload.begin(), s.payload.end()), "A0001234");
    EXPECT_EQ(get_u32(ok(8008).payload, 0), 0x5900u);
    ByteVec now = ok(8002).payload;
    EXPECT_EQ(get_u32(now, 0), 2030u);
    EXPECT_EQ(get_u32(now, 4), 1u);
    EXPECT_EQ(get_u32(now, 8), 2u);
    EXPECT_EQ(get_u32(now, 12), 3u);
    int secs = static_cast<int>(get_u32(now, 16) * 60 + get_u32(now, 20));
    EXPECT_GE(secs, 4 * 60 + 5);
    EXPECT_LE(secs, 4 * 60 + 5 + 30);
}

TEST_F(Requests, ParameterAndStatusRecords) {
    start();
    ByteVec p = ok(8201).payload;
    ASSERT_EQ(p.size(), 319u);
    EXPECT_EQ(get_u32(p, 94), 100u); // max_stored_meas
    for (size_t off : {4u, 20u, 36u, 127u, 159u, 223u})
        EXPECT_NE(get_f32(p, off), 0.0f) << off;
    p[101] = 9; // diameter
    p[99] = 1;  // host_write_flag
    p[94] = 40; // max_stored_meas
    ok(8202, p);
    EXPECT_EQ(ok(8201).payload, p);
    ByteVec too_many = p;
    too_many[94] = 0;
    too_many[95] = 0;
    too_many[96] = 1; // 65536 slots
    refused(8202, too_many);

    ByteVec st = ok(8203).payload;
    EXPECT_GT(static_cast<int32_t>(get_u32(st, 4)), 3000); // battery mV
    EXPECT_LE(get_u16(st, 8), 100);
    EXPECT_EQ(get_u32(st, 16), 1u << 20); // the card image size
}

TEST_F(Requests, MemoryUsageIsHeapAndATerminatedText) {
    start();
    ByteVec m = ok(8016).payload;
    EXPECT_GT(get_u32(m, 0), 0u);
    ASSERT_EQ(m.back(), 0);
    std::string text(m.begin() + 4, m.end() - 1);
    EXPECT_NE(text.find("of 100 slots"), std::string::npos) << text;
}

TEST_F(Requests, FileReadsRunToTheEndWithCountZero) {
    start();
    EXPECT_EQ(read_device_file("meas/last.dat", 450),
              card_file("meas/last.dat"));
    EXPECT_EQ(card_file("meas/last.dat").size(), 4063u);
    ByteVec raw = read_device_file("raw", 65536);
    EXPECT_EQ(raw.size(), 1u << 20);
    EXPECT_EQ(raw, card_file("raw"));
    // Past the end, and a missing file.
    WireFrame r = ok(8211, file_request("raw", 1u << 20, 512));
    EXPECT_EQ(get_u32(r.payload, 0), 0u);
    r = ok(8211, file_request("raw", 0xFFFFFFFFu, 512));
    EXPECT_EQ(get_u32(r.payload, 0), 0u);
    refused(8211, file_request("meas/none.dat", 0, 450));
    refused(8209, file_request("meas/none.dat", 0, 0));
    EXPECT_EQ(get_u32(ok(8209, file_request("raw", 0, 0)).payload, 0),
              1u << 20);
}

TEST_F(Requests, WritesBuildFilesAndDeletesRemoveThem) {
    start();
    ok(8210, file_request("up", 1, 0));
    ok(8210, file_request("up", 1, 0)); // an existing directory is fine
    ok(8210, file_request("up/sub", 1, 0));
    refused(8210, file_request("nodir/f.bin", 2, 0));
    ok(8210, file_request("up/sub/f.bin", 2, 0));
    ByteVec content;
    for (int piece = 0; piece < 3; piece++) {
        ByteVec d(piece == 2 ? 44 : 128, static_cast<uint8_t>(piece + 1));
        ok(8210,
           file_request("up/sub/f.bin", 3, static_cast<uint32_t>(d.size()), d));
        content.insert(content.end(), d.begin(), d.end());
    }
    ok(8210, file_request("up/sub/f.bin", 3, 0)); // an empty append
    refused(8210, file_request("up/sub/f.bin", 3, 4057, ByteVec(4057, 0)));
    ok(8210, file_request("up/sub/f.bin", 3, 4056, ByteVec(4056, 9)));
    content.insert(content.end(), 4056, 9);
    EXPECT_EQ(card_file("up/sub/f.bin"), content);
    EXPECT_EQ(get_u32(ok(8209, file_request("up/sub/f.bin", 0, 0)).payload, 0),
              content.size());
    refused(8210, file_request("up/none.bin", 3, 1, {1}));
    // A name of all 32 bytes arrives without a terminator.
    std::string name32 = "up/" + std::string(29, 'n');
    ok(8210, file_request(name32, 2, 0));
    EXPECT_TRUE(file_exists(opts.card + "/" + name32));
    ok(8210, file_request("up/sub/f.bin", 4, 0));
    ok(8210, file_request("up/sub/f.bin", 4, 0)); // already gone
    EXPECT_FALSE(file_exists(opts.card + "/up/sub/f.bin"));
    refused(8210, file_request("up/sub", 4, 0)); // a directory
    refused(8210, file_request("raw", 2, 0));
    EXPECT_EQ(card_file("raw").size(), 1u << 20);
}

TEST_F(Requests, NoRequestPathLeavesTheCard) {
    write_file(dir.file("secret"), "secret");
    start();
    ASSERT_EQ(symlink(dir.path().c_str(), (opts.card + "/out").c_str()), 0);
    for (const char *name : {"../secret", "/etc/passwd", "out/secret",
                             ".vo62sim/state.txt", "meas/../../secret"}) {
        refused(8211, file_request(name, 0, 100));
        refused(8209, file_request(name, 0, 0));
        refused(8210, file_request(name, 2, 0));
        refused(8210, file_request(name, 4, 0));
    }
    refused(8210, file_request("out/new", 1, 0));
    EXPECT_EQ(read_file(dir.file("secret")), "secret");
    EXPECT_FALSE(file_exists(dir.file("new")));
    EXPECT_TRUE(file_exists(opts.card + "/.vo62sim/state.txt"));
}

TEST_F(Requests, EntryTableFollowsTheSlotFiles) {
    start();
    auto table = [&]() {
        std::vector<std::pair<uint32_t, uint8_t>> t;
        for (uint32_t first = 0; first < 128; first += 32) {
            ByteVec e = ok(8204, u32_payload(first)).payload;
            for (size_t i = 0; i < 32; i++)
                t.push_back({get_u32(e, 5 * i), e[5 * i + 4]});
        }
        return t;
    };
    auto t = table();
    int used = 0;
    for (int i = 0; i < 128; i++) {
        char meas[40], uid[40], note[40], aux[40];
        snprintf(meas, sizeof meas, "meas/meas%.4d.dat", i);
        snprintf(uid, sizeof uid, "meas/%.4d.uid", i);
        snprintf(note, sizeof note, "notes/rec%.4d.wav", i);
        snprintf(aux, sizeof aux, "aux/aux%.4d.dat", i);
        uint32_t key = 0;
        if (file_exists(opts.card + "/" + meas)) {
            ByteVec u = card_file(uid);
            ASSERT_EQ(u.size(), 4u) << uid;
            key = get_u32(u, 0);
            used++;
        }
        uint8_t flags = (file_exists(opts.card + "/" + note) ? 1 : 0) |
                        (file_exists(opts.card + "/" + aux) ? 2 : 0);
        EXPECT_EQ(t[static_cast<size_t>(i)].first, key) << i;
        EXPECT_EQ(t[static_cast<size_t>(i)].second, flags) << i;
    }
    EXPECT_GT(used, 15);
    // Deleting a record's file as the log commands do empties its slot.
    size_t victim = 0;
    while (t[victim].first == 0)
        victim++;
    char meas[40];
    snprintf(meas, sizeof meas, "meas/meas%.4zu.dat", victim);
    ok(8210, file_request(meas, 4, 0));
    EXPECT_EQ(table()[victim].first, 0u);
    // Clearing the log empties every slot but keeps the last measurement.
    ok(8206, u32_payload(255));
    for (auto &e : table())
        EXPECT_EQ(e, (std::pair<uint32_t, uint8_t>{0, 0}));
    EXPECT_EQ(card_file("meas/last.dat").size(), 4063u);
    EXPECT_TRUE(file_exists(opts.card + "/lut/lut01.dat"));
}

TEST_F(Requests, ScreenShowsTheSerialInTheFont) {
    start();
    ByteVec s = ok(8213).payload;
    ASSERT_GE(s.size(), 1053u);
    auto px = [&](int x, int y) {
        return (s[static_cast<size_t>(y * 13 + x / 8)] >> (7 - x % 8)) & 1;
    };
    // Read the first text line back cell by cell against the font.
    std::string line;
    for (int cell = 0; cell < 17; cell++) {
        char found = '?';
        for (char c = ' '; c <= '~'; c++) {
            const uint8_t *g = vo62sim::glyph(c);
            bool same = true;
            for (int col = 0; col < 5 && same; col++)
                for (int row = 0; row < 7 && same; row++)
                    same = px(1 + cell * 6 + col, 1 + row) ==
                           ((g[col] >> row) & 1);
            if (same) {
                found = c;
                break;
            }
        }
        line += found;
    }
    EXPECT_EQ(line, "VO-62V2 A000XXXX ");
    for (int x = 0; x < 104; x++)
        EXPECT_EQ(px(x, 10), 1); // the rule under the title
}

// However the bytes of requests arrive (several in one write, one in
// pieces, one larger than a pseudo-terminal carries at once) every request
// is answered, in order.
TEST_F(Requests, RequestsInPiecesOrBackToBackAreAllAnswered) {
    start();
    ByteVec three;
    for (const ByteVec &f :
         {encode_request(8007, {}, 800),
          encode_request(8211, file_request("raw", 512, 16), 800),
          encode_request(8209, file_request("raw", 0, 0), 800)})
        three.insert(three.end(), f.begin(), f.end());
    ASSERT_TRUE(client.send_raw(three));
    WireFrame r;
    for (uint16_t code : {9007, 9211, 9209}) {
        ASSERT_TRUE(client.next_frame(r, SimClient::kReplyTimeoutMs)) << code;
        EXPECT_EQ(r.code, code);
    }

    const ByteVec one = encode_request(8211, file_request("raw", 0, 8), 800);
    for (size_t at = 0; at < one.size(); at += 20) {
        ASSERT_TRUE(client.send_raw(
            ByteVec(one.begin() + long(at),
                    one.begin() + long(std::min(at + 20, one.size())))));
        usleep(30000);
    }
    ASSERT_TRUE(client.next_frame(r, SimClient::kReplyTimeoutMs));
    EXPECT_EQ(r.code, 9211);
    EXPECT_EQ(r.payload.size(), 12u);

    ok(8210, file_request("big", 2, 0));
    ByteVec data(4056);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 13);
    ok(8210, file_request("big", 3, uint32_t(data.size()), data));
    EXPECT_EQ(read_device_file("big", 3996), data);
}

TEST_F(Requests, AnnouncementNamesThePtyAndGoesAway) {
    opts.tcp_port = 0;
    start();
    std::string path = sim->announcement_path();
    std::string ann = read_file(path);
    EXPECT_EQ(ann, "pid=" + std::to_string(getpid()) +
                       "\npty=" + sim->pty_path() + "\nserial=A000XXXX\ntcp=" +
                       std::to_string(sim->tcp_port()) + "\nlink=1\n");
    struct stat st;
    ASSERT_EQ(stat(opts.ann_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    SimClient tcp;
    ASSERT_TRUE(tcp.open_tcp(sim->tcp_port()));
    WireFrame r;
    ASSERT_TRUE(tcp.request(8007, {}, r));
    EXPECT_EQ(r.code, 9007);
    stop();
    EXPECT_FALSE(file_exists(path));
}

} // namespace
