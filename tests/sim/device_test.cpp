// Flashing, restarts, remote measurement, the demo log, pacing and faults,
// against an in-process simulator.
#include "records.h"
#include "sim_fixture.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;
using vo62sim::FaultSpec;
constexpr uint32_t kImage = 0x7F000;

class Device : public SimFixture {
  protected:
    // Erases, writes image in blocks of the size the erase answers, and
    // asks to flash it with the given checksum.
    WireFrame upload_and_flash(const ByteVec &image, bool encrypted,
                               uint32_t checksum) {
        uint32_t bs = get_u32(ok(8100).payload, 0);
        if (bs == 0)
            bs = 64;
        for (uint32_t off = 0, block = 0; off < image.size();
             off += bs, block++) {
            ByteVec p;
            add_u16(p, static_cast<uint16_t>(block));
            size_t n = std::min<size_t>(bs, image.size() - off);
            p.insert(p.end(), image.begin() + off, image.begin() + off + n);
            ok(8102, p);
        }
        ByteVec f;
        add_u32(f, encrypted ? 1 : 0);
        add_u32(f, checksum);
        WireFrame r;
        EXPECT_TRUE(client.request(8103, f, r));
        return r;
    }
    static uint32_t raw_sum(const ByteVec &img) {
        uint32_t s = 0;
        for (size_t j = 0; j < img.size() / 4; j++)
            s ^= get_u32(img, 4 * j);
        return s;
    }
    static ByteVec scramble(ByteVec img) {
        for (uint32_t j = 0; j < img.size() / 4; j++) {
            uint32_t w = get_u32(img, 4 * j) ^ (j * j * j * j);
            for (int k = 0; k < 4; k++)
                img[4 * j + k] = static_cast<uint8_t>(w >> (8 * k));
        }
        return img;
    }
    static ByteVec random_image(unsigned seed) {
        std::mt19937 g(seed);
        ByteVec img(kImage);
        for (auto &b : img)
            b = static_cast<uint8_t>(g());
        return img;
    }
    // Polls the state until it equals want (or the time-out).
    bool wait_state(int32_t want, int timeout_ms) {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end) {
            if (static_cast<int32_t>(get_u32(ok(8024).payload, 0)) == want)
                return true;
            usleep(20000);
        }
        return false;
    }
    std::vector<WireFrame> events_of(uint32_t kind) {
        std::vector<WireFrame> v;
        for (auto &e : client.events())
            if (get_u32(e.payload, 0) == kind)
                v.push_back(e);
        return v;
    }
};

TEST_F(Device, FlashWithTheRightChecksumRestartsOnANewPty) {
    start();
    ByteVec img = random_image(1);
    const int old = link();
    WireFrame r = upload_and_flash(img, false, raw_sum(img));
    EXPECT_EQ(r.code, 9103);
    EXPECT_TRUE(client.wait_hangup(kLinkTimeoutMs));
    ASSERT_TRUE(reconnect(old));
    EXPECT_NE(read_file(sim->announcement_path()).find(sim->pty_path()),
              std::string::npos);
    EXPECT_EQ(sim->link_drops(), 1);
    ok(8007); // serving on the new pseudo-terminal
}

TEST_F(Device, FlashChecksScrambledImagesAndRefusesAMismatch) {
    opts.block_size = 1000;
    start();
    ByteVec img = random_image(2);
    ByteVec stored = scramble(img);
    // The wrong sum (that of the stored words) is refused; the link stays.
    WireFrame r = upload_and_flash(stored, true, raw_sum(stored));
    EXPECT_EQ(r.code, 12290);
    ok(8007);
    ByteVec f;
    add_u32(f, 1);
    add_u32(f, raw_sum(img));
    r = WireFrame();
    ASSERT_TRUE(client.request(8103, f, r));
    EXPECT_EQ(r.code, 9103);
    EXPECT_TRUE(client.wait_hangup(kLinkTimeoutMs));
}

TEST_F(Device, FlashBlocksAreBoundedAndDefaultTo64Bytes) {
    opts.block_size = 0;
    start();
    EXPECT_EQ(get_u32(ok(8100).payload, 0), 0u);
    ByteVec p;
    add_u16(p, 2);
    p.insert(p.end(), 65, 0x11); // one byte more than a block
    refused(8102, p);
    p.resize(2 + 64);
    ok(8102, p);
    ByteVec rd = ok(8101, {2, 0}).payload;
    EXPECT_EQ(rd, ByteVec(64, 0x11));
    ByteVec beyond;
    add_u16(beyond, 0xFFFF);
    beyond.push_back(0);
    refused(8102, beyond); // past the end of the chip
}

TEST_F(Device, RestartAnswersThenDropsTheLink) {
    start();
    const int old = link();
    ok(8021);
    EXPECT_TRUE(client.wait_hangup(kLinkTimeoutMs));
    ASSERT_TRUE(reconnect(old));
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 1u); // back to local operation
}

TEST_F(Device, RemoteMeasurementSendsLiveDataAndWritesTheResult) {
    start();
    ok(8024);
    ok(8023, u32_payload(25));
    ASSERT_TRUE(wait_state(2, 3000));
    for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u})
        ok(8022, u32_payload(ev));
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 2u); // armed, not measuring
    ok(8022, u32_payload(0x2001));
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 26u);
    ASSERT_TRUE(wait_state(2, 5000));
    ASSERT_EQ(events_of(1).size(), 1u);
    auto progress = events_of(2);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(static_cast<int32_t>(get_u32(progress.back().payload, 4)), 100);
    auto done = events_of(4);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(get_u32(done[0].payload, 4), 0u); // no error
    ByteVec rec = card_file("meas/last.dat");
    ASSERT_EQ(rec.size(), 4063u);
    EXPECT_EQ(get_u32(rec, 19) & 3, 1u);
    EXPECT_EQ(get_f32(rec, 43), get_f32(done[0].payload, 8));
    EXPECT_EQ(get_f32(rec, 47), get_f32(done[0].payload, 12));

    // Cancelling instead of triggering measures nothing.
    client.events().clear();
    ok(8023, u32_payload(25));
    ASSERT_TRUE(wait_state(2, 3000));
    for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u, 0x2002u})
        ok(8022, u32_payload(ev));
    usleep(400000);
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 2u);
    EXPECT_TRUE(client.events().empty());
    EXPECT_EQ(card_file("meas/last.dat"), rec);
}

// A generated log fills its slots with keys 1 to N; a remote measurement
// goes into the log over the lowest key when it is full, and after a clear
// into slot 0 with key 1 again.
TEST_F(Device, GeneratedLogAndMeasurementsInTheLog) {
    constexpr int kRecords = 300;
    opts.generate_log = kRecords;
    start();
    EXPECT_EQ(static_cast<int32_t>(get_u32(ok(8201).payload, 94)), kRecords);
    auto key = [&](int slot) {
        char u[40];
        snprintf(u, sizeof u, "meas/%.4d.uid", slot);
        ByteVec b = card_file(u);
        return b.size() == 4 ? get_u32(b, 0) : 0u;
    };
    auto record = [&](int slot) {
        char n[40];
        snprintf(n, sizeof n, "meas/meas%.4d.dat", slot);
        return card_file(n);
    };
    for (int i : {0, 1, 99, kRecords - 1}) {
        EXPECT_EQ(key(i), static_cast<uint32_t>(i + 1));
        ASSERT_EQ(record(i).size(), 4063u);
        EXPECT_EQ(get_u32(record(i), 4), static_cast<uint32_t>(i + 1));
    }
    EXPECT_EQ(card_file("meas/last.dat"), record(kRecords - 1));
    auto measure = [&]() {
        ok(8023, u32_payload(25));
        ASSERT_TRUE(wait_state(2, 3000));
        for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u, 0x2001u})
            ok(8022, u32_payload(ev));
        usleep(50000);
        ASSERT_TRUE(wait_state(2, 5000));
    };
    measure();
    EXPECT_EQ(key(0), static_cast<uint32_t>(kRecords + 1));
    EXPECT_EQ(record(0), card_file("meas/last.dat"));
    EXPECT_EQ(key(1), 2u);
    ok(8206, u32_payload(255));
    measure();
    EXPECT_EQ(key(0), 1u);
    EXPECT_EQ(record(0), card_file("meas/last.dat"));
    EXPECT_TRUE(record(1).empty());
}

TEST_F(Device, ScannerMarksTriggeredSamples) {
    start();
    ok(8023, u32_payload(25));
    ASSERT_TRUE(wait_state(2, 3000));
    for (uint32_t ev : {0x2002u, 0x2002u, 0x4001u, 0x2001u})
        ok(8022, u32_payload(ev));
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 27u);
    for (int i = 0; i < 3; i++) {
        usleep(150000);
        ok(8022, u32_payload(0x2001));
    }
    usleep(100000);
    ok(8022, u32_payload(0x2002));
    ASSERT_TRUE(wait_state(2, 3000));
    EXPECT_EQ(events_of(0x81).size(), 1u);
    EXPECT_EQ(events_of(0x83).size(), 3u);
    EXPECT_EQ(events_of(0x84).size(), 1u);
    size_t samples = events_of(0x82).size();
    ByteVec rec = card_file("meas/last.dat");
    ASSERT_EQ(rec.size(), 4063u);
    EXPECT_EQ(get_u32(rec, 19) & 3, 2u);
    EXPECT_EQ(get_u32(rec, 91), samples);
    int marks = 0;
    for (size_t i = 0; i < 480; i++)
        marks += (rec[95 + i / 8] >> (i % 8)) & 1;
    EXPECT_EQ(marks, 3);
}

TEST_F(Device, StuckFaultKeepsTheRemoteStateAt25) {
    FaultSpec f;
    std::string err;
    ASSERT_TRUE(vo62sim::parse_fault("stuck", f, err));
    opts.faults.push_back(f);
    start();
    ok(8023, u32_payload(25));
    EXPECT_FALSE(wait_state(2, 600));
    EXPECT_EQ(get_u32(ok(8024).payload, 0), 25u);
}

// The demo log holds what the log listing must show, and the same seed
// makes the same log.
TEST_F(Device, DemoLogCoversEveryListingCase) {
    start();
    struct Slot {
        int slot;
        uint32_t key;
        ByteVec rec;
    };
    std::vector<Slot> slots;
    bool note = false, aux = false;
    for (int i = 0; i < 100; i++) {
        char n[40];
        snprintf(n, sizeof n, "meas/meas%.4d.dat", i);
        if (!file_exists(opts.card + "/" + n))
            continue;
        char u[40];
        snprintf(u, sizeof u, "meas/%.4d.uid", i);
        slots.push_back({i, get_u32(card_file(u), 0), card_file(n)});
        snprintf(n, sizeof n, "notes/rec%.4d.wav", i);
        if (file_exists(opts.card + "/" + n)) {
            ByteVec w = card_file(n);
            EXPECT_EQ(std::string(w.begin(), w.begin() + 4), "RIFF");
            EXPECT_EQ(get_u16(w, 20), 1); // PCM
            EXPECT_EQ(get_u32(w, 40), w.size() - 44);
            note = true;
        }
        snprintf(n, sizeof n, "aux/aux%.4d.dat", i);
        aux = aux || file_exists(opts.card + "/" + n);
    }
    EXPECT_TRUE(note);
    EXPECT_TRUE(aux);
    EXPECT_LT(slots.size(), 100u); // empty slots too
    std::vector<Slot> by_key = slots;
    std::stable_sort(
        by_key.begin(), by_key.end(),
        [](const Slot &a, const Slot &b) { return a.key < b.key; });
    bool slot_order = true, bit31 = false, header = false, core = false,
         unknown = false, marks = false, invalid_gps = false, units = false;
    std::map<int, int> group_sizes; // run length of type-1 groups
    int run = 0, prev_group = -1;
    for (size_t i = 0; i < by_key.size(); i++) {
        const ByteVec &r = by_key[i].rec;
        ASSERT_EQ(r.size(), 4063u);
        if (i > 0 && by_key[i].slot < by_key[i - 1].slot)
            slot_order = false;
        bit31 = bit31 || (by_key[i].key & 0x80000000u);
        uint32_t flags = get_u32(r, 19), type = flags & 3, kind = flags >> 24;
        int group = static_cast<int>(get_u32(r, 8));
        header = header || (kind == 1 && (type == 0 || type == 3));
        core = core || kind == 2;
        unknown = unknown || (type != 1 && type != 2 && kind != 1);
        units = units || ((flags >> 8) & 0xFFFF) || (kind & 0x0C);
        invalid_gps = invalid_gps || !(get_u32(r, 26) & (1u << 9));
        if (type == 2)
            for (int b = 95; b < 155; b++)
                marks = marks || r[static_cast<size_t>(b)];
        if (group != prev_group) {
            if (run)
                group_sizes[run]++;
            run = 0;
            prev_group = group;
        }
        run += type == 1 ? 1 : 0;
    }
    group_sizes[run]++;
    EXPECT_FALSE(slot_order);
    EXPECT_TRUE(bit31);
    EXPECT_TRUE(header);
    EXPECT_TRUE(core);
    EXPECT_TRUE(unknown);
    EXPECT_TRUE(marks);
    EXPECT_TRUE(invalid_gps);
    EXPECT_TRUE(units);
    EXPECT_GT(group_sizes[1], 0);
    int many = 0;
    for (auto &[n, c] : group_sizes)
        many += n > 1 ? c : 0;
    EXPECT_GT(many, 0);

    // The same seed on a fresh card writes the same records.
    TempDir other;
    vo62sim::Options o2 = opts;
    o2.card = other.file("card");
    o2.ann_dir = other.file("ann");
    vo62sim::Simulator twin(o2);
    std::string err;
    ASSERT_EQ(twin.start(err), 0) << err;
    for (auto &s : slots) {
        char n[40];
        snprintf(n, sizeof n, "/meas/meas%.4d.dat", s.slot);
        std::string a = read_file(o2.card + n);
        EXPECT_EQ(ByteVec(a.begin(), a.end()), s.rec) << n;
    }
}

TEST_F(Device, BaudPacesBothDirections) {
    opts.baud = 9600;
    start();
    ok(8007); // warm up
    // A read of 450 bytes: a 53-byte request and a 467-byte reply.
    const double expect_ms = (53 + 467) * 10.0 * 1000.0 / 9600.0;
    auto t0 = Clock::now();
    WireFrame r = ok(8211, file_request("raw", 0, 450));
    double ms =
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    EXPECT_EQ(get_u32(r.payload, 0), 450u);
    EXPECT_GE(ms, expect_ms * 0.97);
    EXPECT_LE(ms, expect_ms + 400);
}

// A link's latency holds every reply, first in, first out, on top of the
// pacing; an older instrument answers larger reads short and refuses
// larger appends, storing nothing of them.
TEST_F(Device, LatencyHoldsRepliesInOrderAndOlderLimitsShortenReads) {
    opts.latency_ms = 150;
    opts.max_read = 512;
    opts.max_append = 128;
    start();
    auto t0 = Clock::now();
    ASSERT_TRUE(client.send_raw(encode_request(8001, {}, 800)));
    ASSERT_TRUE(client.send_raw(encode_request(8007, {}, 800)));
    WireFrame first, second;
    ASSERT_TRUE(client.next_frame(first, 3000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(150));
    ASSERT_TRUE(client.next_frame(second, 3000));
    EXPECT_EQ(first.code, 9001);
    EXPECT_EQ(second.code, 9007);

    WireFrame r = ok(8211, file_request("raw", 100, 3996));
    EXPECT_EQ(get_u32(r.payload, 0), 512u);
    const ByteVec raw = card_file("raw");
    EXPECT_EQ(ByteVec(r.payload.begin() + 4, r.payload.end()),
              ByteVec(raw.begin() + 100, raw.begin() + 612));
    ok(8210, file_request("f.bin", 2, 0));
    refused(8210, file_request("f.bin", 3, 129, ByteVec(129, 1)));
    ok(8210, file_request("f.bin", 3, 128, ByteVec(128, 2)));
    EXPECT_EQ(card_file("f.bin"), ByteVec(128, 2));
}

TEST_F(Device, FaultsActOnTheChosenRequests) {
    std::string err;
    for (const char *s : {"fail:code=8102,count=4", "retry:code=8001",
                          "drop:code=8104", "delay:code=8008,ms=300",
                          "cut:code=8211,skip=2", "corrupt:code=8203,p=1"}) {
        FaultSpec f;
        ASSERT_TRUE(vo62sim::parse_fault(s, f, err)) << err;
        opts.faults.push_back(f);
    }
    start();
    ByteVec block = {0, 0, 1, 2, 3};
    for (int i = 0; i < 4; i++)
        refused(8102, block);
    ok(8102, block);
    WireFrame r;
    ASSERT_TRUE(client.request(8001, {}, r));
    EXPECT_EQ(r.code, 12289);
    EXPECT_NE(r.status, 0);
    // A dropped reply: the request was carried out all the same.
    EXPECT_FALSE(
        client.request(8104, {'A', '0', '0', '0', '7', '7', '7', '7'}, r, 500));
    ByteVec serial = ok(8007).payload;
    EXPECT_EQ(std::string(serial.begin(), serial.end()), "A0007777");
    auto t0 = Clock::now();
    ok(8008);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(290));
    EXPECT_FALSE(client.request(8203, {}, r, 500)); // garbled beyond use
    const int old = link();
    ok(8211, file_request("raw", 0, 10));
    ok(8211, file_request("raw", 10, 10));
    EXPECT_FALSE(client.request(8211, file_request("raw", 20, 10), r, 500));
    EXPECT_TRUE(client.wait_hangup(kLinkTimeoutMs));
    ASSERT_TRUE(reconnect(old));
    ok(8211, file_request("raw", 20, 10)); // a cut happens once
}

TEST_F(Device, DelayLetsLaterRepliesPassAStallHoldsThemBack) {
    // Two requests back to back, the first one's reply held back 300 ms:
    // a delayed reply is passed by the second reply, a stalled line keeps
    // their order and releases them together, or one by one with a gap.
    for (const char *fault :
         {"delay:code=8001,ms=300", "stall:code=8001,ms=300",
          "stall:code=8001,ms=300,gap_us=200000"}) {
        FaultSpec f;
        std::string err;
        ASSERT_TRUE(vo62sim::parse_fault(fault, f, err)) << err;
        opts.faults = {f};
        start();
        ASSERT_TRUE(client.send_raw(encode_request(8001, {}, 800)));
        ASSERT_TRUE(client.send_raw(encode_request(8007, {}, 800)));
        WireFrame first, second;
        ASSERT_TRUE(client.next_frame(first, 3000)) << fault;
        const auto first_at = Clock::now();
        ASSERT_TRUE(client.next_frame(second, 3000)) << fault;
        const bool reordered = fault[0] == 'd';
        EXPECT_EQ(first.code, reordered ? 9007 : 9001) << fault;
        EXPECT_EQ(second.code, reordered ? 9001 : 9007) << fault;
        if (f.gap_us > 0) {
            EXPECT_GE(Clock::now() - first_at,
                      std::chrono::microseconds(f.gap_us / 2))
                << fault;
        }
        stop();
    }
}

TEST_F(Device, ATornFrameDoesNotSwallowTheNextRequest) {
    start();
    ByteVec torn = encode_request(8211, file_request("raw", 0, 450), 800);
    torn.resize(30); // the header and part of the payload, then silence
    ASSERT_TRUE(client.send_raw(torn));
    usleep(700000);
    WireFrame r = ok(8007);
    EXPECT_EQ(r.payload.size(), 8u);
}

TEST_F(Device, SilentInstrumentNeverAnswers) {
    FaultSpec f;
    std::string err;
    ASSERT_TRUE(vo62sim::parse_fault("silent", f, err));
    opts.faults.push_back(f);
    start();
    WireFrame r;
    EXPECT_FALSE(client.request(8007, {}, r, 400));
    EXPECT_EQ(sim->requests(8007), 1u);
}

} // namespace
