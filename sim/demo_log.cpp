#include "demo_log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>

#include <fcntl.h>
#include <unistd.h>

namespace vo62sim {

std::string slot_meas_name(int slot) {
    char b[40];
    std::snprintf(b, sizeof b, "meas/meas%.4d.dat", slot);
    return b;
}
std::string slot_uid_name(int slot) {
    char b[40];
    std::snprintf(b, sizeof b, "meas/%.4d.uid", slot);
    return b;
}
std::string slot_note_name(int slot) {
    char b[40];
    std::snprintf(b, sizeof b, "notes/rec%.4d.wav", slot);
    return b;
}
std::string slot_aux_name(int slot) {
    char b[40];
    std::snprintf(b, sizeof b, "aux/aux%.4d.dat", slot);
    return b;
}

namespace {

class Rng {
  public:
    explicit Rng(uint64_t seed) : g_(seed ^ 0xA5A5F00DCAFEull) {}
    double uni(double lo, double hi) {
        return lo + (hi - lo) * (static_cast<double>(g_() >> 11) * 0x1.0p-53);
    }
    int range(int lo, int hi) { // inclusive
        return lo + static_cast<int>(g_() % static_cast<uint64_t>(hi - lo + 1));
    }
    bool chance(double p) { return uni(0, 1) < p; }

  private:
    std::mt19937_64 g_;
};

// What one log entry should show; turned into a record in time order.
struct Plan {
    uint32_t type = kTypeSingle;
    uint32_t kind = 0;
    uint32_t curve_s = 0, curve_c = 0;
    bool cgs = false, ohm = false;
    int group = 0; // index into the run's group numbers
    int samples = 0;
    bool gps_valid = true, south = false, west = false;
    bool note = false, aux = false;
    bool borehole = false;
    int core_num = 0;
};

Bytes make_aux(Rng &rng, int rec_no) {
    std::string s = "VO62 AUX 1\nrec," + std::to_string(rec_no) +
                    "\ndepth_m,incl_deg,azim_deg,temp_c\n";
    int lines = rng.range(4, 40);
    for (int i = 0; i < lines; i++) {
        char b[80];
        std::snprintf(b, sizeof b, "%.2f,%.2f,%.1f,%.1f\n", 0.25 * i,
                      rng.uni(-3, 3), rng.uni(0, 360), rng.uni(8, 14));
        s += b;
    }
    return Bytes(s.begin(), s.end());
}

} // namespace

int write_demo_log(Card &card, uint64_t seed, int slots) {
    Rng rng(seed);
    for (const char *d : {"meas", "notes", "aux", "lut"}) {
        int r = card.make_dir(d);
        if (r != CARD_OK)
            return r;
    }

    std::vector<Plan> plan;
    auto single = [&](int group) {
        Plan p;
        p.group = group;
        p.samples = 0;
        return p;
    };
    // Group 0: three readings in SI units, one with a voice note.
    for (int i = 0; i < 3; i++) {
        Plan p = single(0);
        p.note = i == 1;
        plan.push_back(p);
    }
    // Group 1: one reading on a concentration curve, without a GPS fix.
    {
        Plan p = single(1);
        p.curve_s = 2;
        p.gps_valid = false;
        plan.push_back(p);
    }
    // A full sample series with marks and auxiliary data.
    {
        Plan p;
        p.type = kTypeSeries;
        p.group = 2;
        p.samples = kMaxSamples;
        p.aux = true;
        plan.push_back(p);
    }
    // Group 3: four readings in CGS and resistivity, south-west of zero.
    for (int i = 0; i < 4; i++) {
        Plan p = single(3);
        p.cgs = true;
        p.ohm = true;
        p.south = true;
        p.west = true;
        p.note = i == 2;
        p.aux = i == 2;
        plan.push_back(p);
    }
    // A borehole: the header, three core readings, a core reading with the
    // CGS bit in its kind byte, and a scanned core.
    {
        Plan h;
        h.type = 0;
        h.kind = kKindBoreholeHeader;
        h.group = 4;
        h.borehole = true;
        plan.push_back(h);
        for (int i = 1; i <= 3; i++) {
            Plan c = single(5);
            c.kind = kKindBoreholeCore;
            c.borehole = true;
            c.core_num = i;
            c.curve_c = i == 3 ? 1 : 0;
            plan.push_back(c);
        }
        Plan c = single(5);
        c.kind = kKindBoreholeCore;
        c.cgs = true;
        c.borehole = true;
        c.core_num = 4;
        plan.push_back(c);
        Plan s;
        s.type = kTypeSeries;
        s.kind = kKindBoreholeCore;
        s.group = 6;
        s.samples = 120;
        s.borehole = true;
        s.core_num = 5;
        s.note = true;
        plan.push_back(s);
    }
    // A record of a type the log listing does not know.
    {
        Plan u;
        u.type = 3;
        u.group = 7;
        u.samples = 0;
        plan.push_back(u);
    }
    // Group 8: readings with a short series between them in the same group.
    {
        Plan a = single(8);
        plan.push_back(a);
        Plan s;
        s.type = kTypeSeries;
        s.group = 8;
        s.samples = 25;
        s.curve_s = 1;
        s.aux = true;
        plan.push_back(s);
        Plan b = single(8);
        b.aux = true;
        plan.push_back(b);
        plan.push_back(single(8));
    }
    // The newest reading, whose key has bit 31 set.
    plan.push_back(single(9));

    // Keep the log within the slots there are (two slots of gap at most).
    int room = slots / 2;
    if (room < 1)
        return CARD_OK;
    if (static_cast<int>(plan.size()) > room)
        plan.resize(static_cast<size_t>(room));

    // Time base: a field day in spring, minutes apart.
    struct tm base = {};
    base.tm_year = 2024 - 1900;
    base.tm_mon = 3 + rng.range(0, 2);
    base.tm_mday = rng.range(1, 28);
    base.tm_hour = 8;
    base.tm_min = rng.range(0, 59);
    int64_t t = static_cast<int64_t>(timegm(&base));
    const int64_t epoch2000 = 946684800;
    int first_rec = rng.range(100, 900);
    int group_base = rng.range(10, 60);
    double lat = rng.uni(45.0, 52.0), lon = rng.uni(12.0, 20.0);
    int alt = rng.range(180, 600);
    // Start near the end of the slots so the log wraps round to slot 0:
    // time order is then not slot order.
    int slot = slots - 1 - rng.range(0, std::min(10, slots / 4));
    float base_susc = static_cast<float>(rng.uni(0.5, 40.0));
    float base_cond = static_cast<float>(rng.uni(5.0, 300.0));
    int counter = rng.range(1000, 5000);
    MeasRecord newest_single;

    for (size_t i = 0; i < plan.size(); i++) {
        const Plan &p = plan[i];
        t += rng.range(20, 900);
        struct tm tmv;
        time_t tt = static_cast<time_t>(t);
        gmtime_r(&tt, &tmv);
        MeasRecord r;
        r.rec_no = first_rec + static_cast<int>(i);
        r.group_no = group_base + p.group;
        r.year = tmv.tm_year + 1900;
        r.month = tmv.tm_mon + 1;
        r.day = tmv.tm_mday;
        r.hour = tmv.tm_hour;
        r.minute = tmv.tm_min;
        r.second = tmv.tm_sec;
        r.type = p.type;
        r.curve_s = p.curve_s;
        r.curve_c = p.curve_c;
        r.kind = p.kind | (p.cgs ? (kFlagSuscCgs >> 24) : 0) |
                 (p.ohm ? (kFlagCondOhmM >> 24) : 0);
        r.pin = static_cast<uint8_t>(rng.chance(0.2) ? 1 : 0);
        r.error = 0;
        r.dia = static_cast<uint8_t>(rng.range(2, 12));
        r.meas_mode = static_cast<uint8_t>(p.type == kTypeSeries ? 2 : 0);
        r.gps.valid = p.gps_valid;
        r.gps.north = !p.south;
        r.gps.east = !p.west;
        r.gps.sats = p.gps_valid ? rng.range(5, 12) : 0;
        r.gps.lat = lat + rng.uni(-0.01, 0.01);
        r.gps.lon = lon + rng.uni(-0.01, 0.01);
        r.gps.alt = alt + rng.range(-5, 5);
        float scale = static_cast<float>(rng.uni(0.8, 1.25));
        r.susc = base_susc * scale;
        r.cond = base_cond / scale;
        r.counter = counter++;
        int n = p.type == kTypeSeries ? p.samples : rng.range(3, 12);
        r.num_samples = n;
        r.susc_samples.resize(kMaxSamples);
        r.cond_samples.resize(kMaxSamples);
        r.marks.assign(kMaxSamples, false);
        for (int k = 0; k < n; k++) {
            double w = std::sin(k * 0.07) * 0.3 + rng.uni(-0.03, 0.03);
            r.susc_samples[static_cast<size_t>(k)] =
                r.susc * static_cast<float>(1.0 + w);
            r.cond_samples[static_cast<size_t>(k)] =
                r.cond * static_cast<float>(1.0 - w / 2);
            if (p.type == kTypeSeries && k % 37 == 5)
                r.marks[static_cast<size_t>(k)] = true;
        }
        if (p.borehole) {
            r.borehole.id = 17;
            r.borehole.desc = "Ridge BH-17";
            r.borehole.depth_from = 12.0f;
            r.borehole.depth_to = 18.5f;
            r.borehole.core_length = 1.0f;
            r.borehole.depth_int = 0.5f;
            r.borehole.cores_per_box = 5;
            r.borehole.discrete = true;
            r.borehole.core_num = p.core_num;
            r.borehole.core_depth =
                12.0f + 0.5f * static_cast<float>(p.core_num);
        }
        uint32_t key = static_cast<uint32_t>(t - epoch2000);
        if (i + 1 == plan.size())
            key |= 0x80000000u;

        Bytes rec = encode_meas(r);
        Bytes uid(4, 0);
        put_u32(uid, 0, key);
        int res = card.write_whole(slot_meas_name(slot), rec);
        if (res == CARD_OK)
            res = card.write_whole(slot_uid_name(slot), uid);
        if (res == CARD_OK && p.note)
            res = card.write_whole(
                slot_note_name(slot),
                make_wav_tone(8000, 440.0 + 110.0 * rng.range(0, 4),
                              rng.uni(0.4, 1.2)));
        if (res == CARD_OK && p.aux)
            res =
                card.write_whole(slot_aux_name(slot), make_aux(rng, r.rec_no));
        if (res != CARD_OK)
            return res;
        if (p.type == kTypeSingle && p.kind == 0)
            newest_single = r;
        slot = (slot + 1 + (rng.chance(0.4) ? 1 : 0)) % slots;
    }
    int res = card.write_whole(kLastMeasName, encode_meas(newest_single));
    if (res != CARD_OK)
        return res;
    const float value[12] = {0,    50,   100,  200,  400,  800,
                             1200, 1600, 2400, 3200, 4800, 6400};
    const float conc[12] = {0, 1, 2, 4, 8, 15, 22, 28, 40, 52, 70, 85};
    return card.write_whole("lut/lut01.dat",
                            make_conc_lut("Magnetite", value, conc));
}

namespace {

// Writes a new file straight into an open directory: the generated log is
// made on a fresh card, in three system calls a file.
bool write_new(int dir, const std::string &name, const Bytes &data) {
    int fd =
        ::openat(dir, name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, data.data(), data.size()) ==
              static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

} // namespace

int write_generated_log(Card &card, uint64_t seed, int records) {
    Rng rng(seed);
    int r = card.make_dir("meas");
    if (r != CARD_OK)
        return r;
    const int dir = ::openat(card.root_fd(), "meas",
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return CARD_IO;
    struct tm base = {};
    base.tm_year = 2024 - 1900;
    base.tm_mon = 4;
    base.tm_mday = 1;
    base.tm_hour = 8;
    const int64_t t0 = static_cast<int64_t>(timegm(&base));
    MeasRecord rec;
    rec.susc_samples.assign(kMaxSamples, 0);
    rec.cond_samples.assign(kMaxSamples, 0);
    rec.marks.assign(kMaxSamples, false);
    rec.gps.valid = true;
    rec.gps.sats = 9;
    rec.dia = 6;
    Bytes uid(4, 0);
    for (int i = 0; i < records; i++) {
        time_t tt = static_cast<time_t>(t0 + 30 * int64_t(i));
        struct tm tmv;
        gmtime_r(&tt, &tmv);
        rec.rec_no = i + 1;
        rec.group_no = i / 5;
        rec.year = tmv.tm_year + 1900;
        rec.month = tmv.tm_mon + 1;
        rec.day = tmv.tm_mday;
        rec.hour = tmv.tm_hour;
        rec.minute = tmv.tm_min;
        rec.second = tmv.tm_sec;
        // Every hundredth record a sample series, the rest single readings.
        const bool series = i % 100 == 99;
        rec.type = series ? kTypeSeries : kTypeSingle;
        rec.meas_mode = series ? 2 : 0;
        rec.susc = static_cast<float>(rng.uni(0.5, 40.0));
        rec.cond = static_cast<float>(rng.uni(5.0, 300.0));
        rec.counter = 1000 + i;
        rec.num_samples = series ? 120 : 8;
        for (int k = 0; k < rec.num_samples; k++) {
            rec.susc_samples[static_cast<size_t>(k)] =
                rec.susc * static_cast<float>(1.0 + 0.01 * (k % 7));
            rec.cond_samples[static_cast<size_t>(k)] =
                rec.cond * static_cast<float>(1.0 - 0.01 * (k % 5));
        }
        rec.gps.lat = 49.2 + 0.0001 * (i % 1000);
        rec.gps.lon = 16.6 + 0.0001 * (i / 1000);
        rec.gps.alt = 240 + i % 20;
        put_u32(uid, 0, static_cast<uint32_t>(i + 1));
        const Bytes bytes = encode_meas(rec);
        // The names below "meas/".
        if (!write_new(dir, slot_meas_name(i).substr(5), bytes) ||
            !write_new(dir, slot_uid_name(i).substr(5), uid) ||
            (i + 1 == records &&
             !write_new(dir, std::string(kLastMeasName).substr(5), bytes))) {
            ::close(dir);
            return CARD_IO;
        }
    }
    ::close(dir);
    return CARD_OK;
}

} // namespace vo62sim
