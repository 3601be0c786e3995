#include "instrument.h"

#include "demo_log.h"
#include "screen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace vo62sim {

namespace {

const char *kStateFile = ".vo62sim/state.txt";
const char *kParamsFile = ".vo62sim/params.bin";
const char *kFlashFile = ".vo62sim/extflash.bin";
constexpr size_t kStateFileLimit = 4096;
constexpr size_t kScreenReply = 1060;
constexpr size_t kMemoryReplyMax = 2048;
constexpr int kMeasureSteps = 10;
constexpr int64_t kEpoch2000 = 946684800;

bool printable_serial(const uint8_t *p, size_t n) {
    if (n != 8)
        return false;
    for (size_t i = 0; i < n; i++)
        if (p[i] <= 0x20 || p[i] >= 0x7F)
            return false;
    return true;
}

// Seconds since the epoch of broken-down calendar fields taken as UTC.
int64_t fields_to_seconds(const struct tm &t) {
    struct tm c = t;
    return static_cast<int64_t>(timegm(&c));
}

std::string file_request_name(const Bytes &p) {
    size_t n = 0;
    while (n < 32 && n < p.size() && p[n] != 0)
        n++;
    return std::string(p.begin(), p.begin() + static_cast<long>(n));
}

bool numbered(const std::string &name, const std::string &prefix,
              const std::string &suffix) {
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    for (size_t i = prefix.size(); i < name.size() - suffix.size(); i++)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

} // namespace

Instrument::~Instrument() {
    persist();
}

Bytes Instrument::ok(const Frame &req, const Bytes &payload) const {
    return make_frame(static_cast<uint16_t>(req.code + kReplyOffset), payload,
                      req.param, 0);
}

Bytes Instrument::fail(const Frame &req) const {
    Bytes p(2, 0);
    put_u16(p, 0, req.code);
    return make_frame(kCodeFailure, p, req.param, 1);
}

uint32_t Instrument::block_size() const {
    return block_size_ == 0 ? 64 : block_size_;
}

int Instrument::init(const Options &opts, const std::string &card_dir,
                     std::string &err) {
    block_size_ = opts.block_size;
    report_block_size_ = opts.report_block_size;
    max_read_ = opts.max_read;
    max_append_ = opts.max_append;
    measure_ms_ = opts.measure_ms;
    scan_ms_ = opts.scan_sample_ms;
    rng_.seed(opts.seed ^ 0x1234ABCDull);
    if (card_.open(card_dir) != CARD_OK) {
        err = "cannot open the card directory " + card_dir;
        return -1;
    }
    bool fresh = false;
    if (load_state(opts, fresh) != 0) {
        err = "cannot read or write the simulator state in " + card_dir + "/" +
              kStateDirName;
        return -1;
    }
    if (fresh && opts.generate_log > 0 && !card_.exists("meas")) {
        // The log fills the slots exactly.
        put_i32(params_, params::kMaxStoredMeas, opts.generate_log);
        if (card_.write_whole(kParamsFile, params_) != CARD_OK ||
            write_generated_log(card_, opts.seed, opts.generate_log) != 0) {
            err = "cannot write the generated log into " + card_dir;
            return -1;
        }
    } else if (fresh && opts.demo_log && !card_.exists(kLastMeasName)) {
        uint64_t size = 0;
        bool is_dir = false;
        bool has_log = card_.info("meas", size, is_dir) == CARD_OK;
        if (!has_log &&
            write_demo_log(card_, opts.seed, params_slots(params_)) != 0) {
            err = "cannot write the demo log into " + card_dir;
            return -1;
        }
    }
    uint64_t raw_size = 0;
    bool raw_dir = false;
    if (card_.info(kRawName, raw_size, raw_dir) == CARD_NOT_FOUND &&
        make_raw_image(opts.image_size) != 0) {
        err = "cannot write the card image " + card_dir + "/raw";
        return -1;
    }
    Bytes last;
    if (card_.read(kLastMeasName, 0, kMeasRecordSize, last) == CARD_OK &&
        last.size() == kMeasRecordSize) {
        MeasRecord r = decode_meas_basic(last);
        last_kappa_ = r.susc;
        last_sigma_ = r.cond;
        have_last_ = true;
        next_rec_no_ = r.rec_no + 1;
        counter_ = r.counter + 1;
    }
    return 0;
}

int Instrument::load_state(const Options &opts, bool &fresh) {
    Bytes text;
    int r = card_.read_whole(kStateFile, text, kStateFileLimit);
    fresh = r == CARD_NOT_FOUND;
    if (r != CARD_OK && !fresh)
        return -1;
    std::string s(text.begin(), text.end());
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        std::string line =
            s.substr(pos, nl == std::string::npos ? nl : nl - pos);
        pos = nl == std::string::npos ? s.size() : nl + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        if (k == "serial" &&
            printable_serial(reinterpret_cast<const uint8_t *>(v.data()),
                             v.size()))
            serial_ = v;
        else if (k == "model")
            model_ = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
        else if (k == "clock_offset")
            clock_offset_ = std::strtoll(v.c_str(), nullptr, 10);
    }
    if (!opts.serial.empty())
        serial_ = opts.serial;

    Bytes p;
    if (card_.read_whole(kParamsFile, p, kParamsSize + 1) == CARD_OK &&
        p.size() == kParamsSize)
        params_ = p;
    else
        params_ = default_params();

    Bytes f;
    if (card_.read_whole(kFlashFile, f, kExtFlashSize + 1) == CARD_OK &&
        f.size() == kExtFlashSize) {
        flash_ = f;
    } else {
        flash_.assign(kExtFlashSize, 0xFF);
        flash_dirty_ = true;
    }
    if (save_state() != 0 || card_.write_whole(kParamsFile, params_) != 0)
        return -1;
    return 0;
}

int Instrument::save_state() {
    char b[200];
    std::snprintf(b, sizeof b, "serial=%s\nmodel=0x%08x\nclock_offset=%lld\n",
                  serial_.c_str(), model_,
                  static_cast<long long>(clock_offset_));
    std::string s = b;
    return card_.write_whole(kStateFile, Bytes(s.begin(), s.end()));
}

void Instrument::persist() {
    if (flash_dirty_ && card_.root_fd() >= 0 &&
        card_.write_whole(kFlashFile, flash_) == CARD_OK)
        flash_dirty_ = false;
}

int Instrument::make_raw_image(uint64_t size) {
    // Written in pieces through a temporary name, then renamed into place.
    int r = card_.write_whole(".vo62sim/raw.tmp", Bytes());
    if (r != CARD_OK)
        return r;
    const size_t kPiece = 1 << 16;
    Bytes piece;
    for (uint64_t off = 0; off < size; off += kPiece) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - off));
        piece.resize(n);
        card_image_bytes(off, piece.data(), n);
        // The hidden directory is reachable only through the host helpers.
        int fd = ::openat(card_.root_fd(), ".vo62sim/raw.tmp",
                          O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return CARD_IO;
        size_t done = 0;
        while (done < n) {
            ssize_t w = ::write(fd, piece.data() + done, n - done);
            if (w <= 0) {
                ::close(fd);
                return CARD_IO;
            }
            done += static_cast<size_t>(w);
        }
        ::close(fd);
    }
    if (::renameat(card_.root_fd(), ".vo62sim/raw.tmp", card_.root_fd(),
                   kRawName) != 0)
        return CARD_IO;
    return CARD_OK;
}

void Instrument::restart() {
    cancel_activity();
    state_ = kStateLocal;
    menu_sel_ = menu_open_ = 0;
    armed_ = false;
    persist();
}

Bytes Instrument::handle(const Frame &req) {
    const Bytes &p = req.payload;
    switch (req.code) {
    case kGetFwVersion: {
        std::string v = kFirmwareVersion;
        return p.empty() ? ok(req, Bytes(v.begin(), v.end())) : fail(req);
    }
    case kGetTime: {
        if (!p.empty())
            return fail(req);
        time_t t = static_cast<time_t>(time(nullptr) + clock_offset_);
        struct tm lt;
        localtime_r(&t, &lt);
        Bytes b(24, 0);
        put_i32(b, 0, lt.tm_year + 1900);
        put_i32(b, 4, lt.tm_mon + 1);
        put_i32(b, 8, lt.tm_mday);
        put_i32(b, 12, lt.tm_hour);
        put_i32(b, 16, lt.tm_min);
        put_i32(b, 20, lt.tm_sec);
        return ok(req, b);
    }
    case kSetTime:
        return on_set_time(req);
    case kGetSerial:
        return p.empty() ? ok(req, Bytes(serial_.begin(), serial_.end()))
                         : fail(req);
    case kGetModel: {
        Bytes b(4, 0);
        put_u32(b, 0, model_);
        return p.empty() ? ok(req, b) : fail(req);
    }
    case kMemoryUsage:
        return on_memory_usage(req);
    case kRestart:
        if (!p.empty())
            return fail(req);
        host_.request_restart();
        return ok(req);
    case kSendEvent:
        return on_event(req);
    case kSetState:
        return on_set_state(req);
    case kGetState: {
        Bytes b(4, 0);
        put_i32(b, 0, state_);
        return p.empty() ? ok(req, b) : fail(req);
    }
    case kEraseFlash:
        return on_erase(req);
    case kReadFlash:
        return on_read_flash(req);
    case kWriteFlash:
        return on_write_flash(req);
    case kFlashFw:
        return on_flash_fw(req);
    case kSetSerial:
        return on_set_serial(req);
    case kSetModel:
        if (p.size() != 4)
            return fail(req);
        model_ = le_u32(p, 0);
        return save_state() == CARD_OK ? ok(req) : fail(req);
    case kGetParams:
        return p.empty() ? ok(req, params_) : fail(req);
    case kSetParams:
        return on_set_params(req);
    case kGetStatus:
        return on_status(req);
    case kGetLogEntries:
        return on_entries(req);
    case kClearLogs:
        return on_clear_logs(req);
    case kFileInfo:
        return on_file_info(req);
    case kWriteFile:
        return on_write_file(req);
    case kReadFile:
        return on_read_file(req);
    case kMeasure:
        return on_measure(req);
    case kGetScreen:
        return on_screen(req);
    default:
        return fail(req);
    }
}

Bytes Instrument::on_set_time(const Frame &req) {
    if (req.payload.size() != 24)
        return fail(req);
    int32_t f[6];
    for (size_t i = 0; i < 6; i++)
        f[i] = le_i32(req.payload, 4 * i);
    static const int kDays[12] = {31, 29, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
    bool leap = (f[0] % 4 == 0 && f[0] % 100 != 0) || f[0] % 400 == 0;
    // Only a real calendar date and time is taken.
    if (f[0] < 1970 || f[0] > 2105 || f[1] < 1 || f[1] > 12 || f[2] < 1 ||
        f[2] > kDays[f[1] - 1] || (f[1] == 2 && !leap && f[2] > 28) ||
        f[3] < 0 || f[3] > 23 || f[4] < 0 || f[4] > 59 || f[5] < 0 || f[5] > 59)
        return fail(req);
    struct tm want = {};
    want.tm_year = f[0] - 1900;
    want.tm_mon = f[1] - 1;
    want.tm_mday = f[2];
    want.tm_hour = f[3];
    want.tm_min = f[4];
    want.tm_sec = f[5];
    // The clock keeps local time: the offset is taken between the wanted
    // fields and the host's local fields now, both read as plain calendar
    // times, so daylight-saving changes do not shift it.
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    clock_offset_ = fields_to_seconds(want) - fields_to_seconds(lt);
    return save_state() == CARD_OK ? ok(req) : fail(req);
}

int Instrument::count_log() const {
    int used = 0;
    for (int i = 0; i < params_slots(params_); i++)
        if (card_.exists(slot_meas_name(i)))
            used++;
    return used;
}

Bytes Instrument::on_memory_usage(const Frame &req) {
    if (!req.payload.empty())
        return fail(req);
    uint64_t raw = 0;
    bool is_dir = false;
    card_.info(kRawName, raw, is_dir);
    char text[512];
    int n = std::snprintf(text, sizeof text,
                          "Tasks: 6, stack low water 212 bytes\n"
                          "Card image: %llu bytes\n"
                          "Log: %d of %d slots used\n"
                          "External flash: %u bytes, block %u",
                          static_cast<unsigned long long>(raw), count_log(),
                          params_slots(params_), kExtFlashSize, block_size_);
    Bytes b(4, 0);
    put_u32(b, 0, 23456 + static_cast<uint32_t>(rng_() % 512));
    b.insert(b.end(), text, text + std::min<int>(n, sizeof text - 1));
    b.push_back(0);
    if (b.size() > kMemoryReplyMax)
        b.resize(kMemoryReplyMax);
    return ok(req, b);
}

// ---- External flash ---------------------------------------------------

Bytes Instrument::on_erase(const Frame &req) {
    if (!req.payload.empty())
        return fail(req);
    flash_.assign(kExtFlashSize, 0xFF);
    flash_dirty_ = true;
    if (!report_block_size_)
        return ok(req);
    Bytes b(4, 0);
    put_u32(b, 0, block_size_);
    return ok(req, b);
}

Bytes Instrument::on_read_flash(const Frame &req) {
    if (req.payload.size() != 2)
        return fail(req);
    uint64_t off = static_cast<uint64_t>(le_u16(req.payload, 0)) * block_size();
    if (off >= kExtFlashSize)
        return fail(req);
    size_t n = static_cast<size_t>(
        std::min<uint64_t>({64, block_size(), kExtFlashSize - off}));
    return ok(req, Bytes(flash_.begin() + static_cast<long>(off),
                         flash_.begin() + static_cast<long>(off + n)));
}

Bytes Instrument::on_write_flash(const Frame &req) {
    const Bytes &p = req.payload;
    if (p.size() < 2)
        return fail(req);
    size_t n = p.size() - 2;
    uint64_t off = static_cast<uint64_t>(le_u16(p, 0)) * block_size();
    // A block never spills into the next one, nor past the chip.
    if (n > block_size() || off + n > kExtFlashSize)
        return fail(req);
    // Flash programming only clears bits: writing the same block again
    // leaves it as it was, writing over other data without an erase mixes.
    for (size_t i = 0; i < n; i++)
        flash_[off + i] &= p[2 + i];
    flash_dirty_ = true;
    return ok(req);
}

Bytes Instrument::on_flash_fw(const Frame &req) {
    if (req.payload.size() != 8)
        return fail(req);
    uint32_t encrypted = le_u32(req.payload, 0);
    uint32_t want = le_u32(req.payload, 4);
    if (encrypted > 1)
        return fail(req);
    uint32_t sum = 0;
    for (uint32_t j = 0; j < kFirmwareImageSize / 4; j++) {
        uint32_t w = le_u32(flash_, 4 * static_cast<size_t>(j));
        if (encrypted)
            w ^= j * j * j * j;
        sum ^= w;
    }
    if (sum != want)
        return fail(req);
    persist();
    host_.request_restart();
    return ok(req);
}

// ---- Identity and parameters ------------------------------------------

Bytes Instrument::on_set_serial(const Frame &req) {
    if (!printable_serial(req.payload.data(), req.payload.size()))
        return fail(req);
    std::string old = serial_;
    serial_.assign(req.payload.begin(), req.payload.end());
    if (save_state() != CARD_OK) {
        serial_ = old;
        return fail(req);
    }
    host_.identity_changed();
    return ok(req);
}

Bytes Instrument::on_set_params(const Frame &req) {
    if (req.payload.size() != kParamsSize)
        return fail(req);
    int32_t slots = le_i32(req.payload, params::kMaxStoredMeas);
    if (slots < 0 || slots > 65535)
        return fail(req);
    if (card_.write_whole(kParamsFile, req.payload) != CARD_OK)
        return fail(req);
    params_ = req.payload;
    return ok(req);
}

Bytes Instrument::on_status(const Frame &req) {
    if (!req.payload.empty())
        return fail(req);
    uint64_t raw = 0;
    bool is_dir = false;
    card_.info(kRawName, raw, is_dir);
    Status s;
    s.error = 0;
    s.bat_voltage = 3987;
    s.bat_perc = 86;
    s.contrast = le_u8(params_, params::kContrast);
    s.bt_status = 1;
    s.gps_status = le_u8(params_, params::kGpsOn) ? 3 : 0;
    s.flash_size = static_cast<uint32_t>(raw);
    return ok(req, encode_status(s));
}

// ---- Log ----------------------------------------------------------------

uint32_t Instrument::slot_key(int slot) const {
    if (!card_.exists(slot_meas_name(slot)))
        return 0;
    Bytes uid;
    if (card_.read(slot_uid_name(slot), 0, 4, uid) == CARD_OK &&
        uid.size() == 4)
        return le_u32(uid, 0);
    // A record without its key file (copied onto the card by hand) sorts by
    // the time it was written.
    int64_t t = 0;
    if (card_.mtime(slot_meas_name(slot), t) != CARD_OK || t <= kEpoch2000)
        return 1;
    return static_cast<uint32_t>(t - kEpoch2000);
}

Bytes Instrument::on_entries(const Frame &req) {
    if (req.payload.size() != 4)
        return fail(req);
    uint64_t first = le_u32(req.payload, 0);
    Bytes b(5 * kEntriesPerReply, 0);
    for (int i = 0; i < kEntriesPerReply; i++) {
        uint64_t slot = first + static_cast<uint64_t>(i);
        if (slot >= 65536)
            break;
        int s = static_cast<int>(slot);
        uint8_t flags = 0;
        if (card_.exists(slot_note_name(s)))
            flags |= 1;
        if (card_.exists(slot_aux_name(s)))
            flags |= 2;
        put_u32(b, 5 * static_cast<size_t>(i), slot_key(s));
        put_u8(b, 5 * static_cast<size_t>(i) + 4, flags);
    }
    return ok(req, b);
}

Bytes Instrument::on_clear_logs(const Frame &req) {
    if (req.payload.size() != 4)
        return fail(req);
    uint32_t sel = le_u32(req.payload, 0);
    struct Set {
        uint32_t bit;
        const char *dir;
        const char *prefix;
        const char *suffix;
    } sets[] = {{1, "meas", "meas", ".dat"},
                {1, "meas", "", ".uid"},
                {2, "notes", "rec", ".wav"},
                {4, "aux", "aux", ".dat"}};
    for (const Set &s : sets) {
        if (!(sel & s.bit))
            continue;
        std::vector<std::string> names;
        int r = card_.list(s.dir, names);
        if (r == CARD_NOT_FOUND)
            continue;
        if (r != CARD_OK)
            return fail(req);
        for (const auto &n : names)
            if (numbered(n, s.prefix, s.suffix) &&
                card_.remove(std::string(s.dir) + "/" + n) != CARD_OK)
                return fail(req);
    }
    return ok(req);
}

// ---- Files ----------------------------------------------------------------

Bytes Instrument::on_file_info(const Frame &req) {
    if (req.payload.size() != kFileRequestHead)
        return fail(req);
    uint64_t size = 0;
    bool is_dir = false;
    if (card_.info(file_request_name(req.payload), size, is_dir) != CARD_OK ||
        size > 0xFFFFFFFFull)
        return fail(req);
    Bytes b(40, 0);
    put_u32(b, 0, static_cast<uint32_t>(size));
    put_u32(b, 4, is_dir ? 0x10 : 0x20); // attribute: directory or file
    return ok(req, b);
}

Bytes Instrument::on_write_file(const Frame &req) {
    const Bytes &p = req.payload;
    if (p.size() < kFileRequestHead)
        return fail(req);
    std::string name = file_request_name(p);
    uint32_t op = le_u32(p, 32);
    uint32_t len = le_u32(p, 36);
    if (len != p.size() - kFileRequestHead)
        return fail(req);
    int r;
    switch (op) {
    case 1:
        r = card_.make_dir(name);
        break;
    case 2:
        r = card_.create(name);
        break;
    case 3:
        // An older instrument refuses what it cannot take whole.
        if (len > std::min<size_t>(kMaxAppend, max_append_))
            return fail(req);
        r = card_.append(name, p.data() + kFileRequestHead, len);
        break;
    case 4:
        r = card_.remove(name);
        break;
    default:
        return fail(req);
    }
    return r == CARD_OK ? ok(req) : fail(req);
}

Bytes Instrument::on_read_file(const Frame &req) {
    const Bytes &p = req.payload;
    if (p.size() != kFileRequestHead)
        return fail(req);
    uint32_t offset = le_u32(p, 32);
    uint32_t max_len = le_u32(p, 36);
    // An older instrument answers what fits its buffer: a short read.
    size_t want = std::min<size_t>({max_len, kMaxReadCount, max_read_});
    Bytes data;
    if (card_.read(file_request_name(p), offset, want, data) != CARD_OK)
        return fail(req);
    Bytes b(4, 0);
    put_u32(b, 0, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return ok(req, b);
}

// ---- Measurement ----------------------------------------------------------

void Instrument::reading(float &kappa, float &sigma) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    kappa = static_cast<float>(12.5 + 0.8 * d(rng_));
    sigma = static_cast<float>(84.0 + 3.0 * d(rng_));
}

Bytes Instrument::on_measure(const Frame &req) {
    if (!req.payload.empty())
        return fail(req);
    // A raw value of the 24-bit converter: mid-scale, a slow swing and noise.
    double t = static_cast<double>(time(nullptr) % 60);
    std::uniform_int_distribution<int> noise(-900, 900);
    int32_t v = 8388608 + static_cast<int32_t>(150000.0 * std::sin(t / 9.5)) +
                noise(rng_);
    Bytes b(4, 0);
    put_i32(b, 0, v);
    return ok(req, b);
}

void Instrument::send_live(uint32_t kind, int32_t value, float kappa,
                           float sigma) {
    Bytes b(16, 0);
    put_u32(b, 0, kind);
    put_i32(b, 4, value);
    put_f32(b, 8, kappa);
    put_f32(b, 12, sigma);
    host_.send_event(make_frame(kLiveDataCode, b, 0, 0));
}

void Instrument::cancel_activity() {
    gen_++;
    scan_susc_.clear();
    scan_cond_.clear();
    scan_marks_.clear();
}

void Instrument::enter_remote() {
    cancel_activity();
    state_ = kStateRemote;
    menu_sel_ = menu_open_ = 0;
    armed_ = false;
    uint64_t gen = gen_;
    host_.schedule(kRemoteSettleMs, [this, gen]() {
        if (gen != gen_ || stuck_)
            return;
        state_ = kStateReady;
    });
}

Bytes Instrument::on_set_state(const Frame &req) {
    if (req.payload.size() != 4)
        return fail(req);
    int32_t s = le_i32(req.payload, 0);
    switch (s) {
    case kStateRemote:
        enter_remote();
        return ok(req);
    case kStateLocal:
        cancel_activity();
        state_ = kStateLocal;
        return ok(req);
    case kStateReady:
        if (state_ == kStateLocal)
            return fail(req);
        cancel_activity();
        state_ = kStateReady;
        menu_sel_ = menu_open_ = 0;
        armed_ = false;
        return ok(req);
    default:
        return fail(req);
    }
}

Bytes Instrument::on_event(const Frame &req) {
    if (req.payload.size() != 4)
        return fail(req);
    uint32_t ev = le_u32(req.payload, 0);
    if (ev != kEventOk && ev != kEventDown && ev != kEventSelect)
        return fail(req);
    switch (state_) {
    case kStateReady:
        if (menu_open_ == 0) {
            // The remote menu: "down" moves the highlight through single
            // measurement and scanner, "select" opens the highlighted one.
            if (ev == kEventDown)
                menu_sel_ = menu_sel_ % 2 + 1;
            else if (ev == kEventSelect && menu_sel_ != 0)
                menu_open_ = menu_sel_;
        } else if (menu_open_ == 1) {
            if (ev == kEventDown) { // cancel: back to the menu
                menu_open_ = menu_sel_ = 0;
                armed_ = false;
            } else if (ev == kEventOk) {
                if (armed_)
                    start_measurement();
                else
                    armed_ = true;
            }
        } else if (menu_open_ == 2) {
            if (ev == kEventOk)
                start_scan();
            else if (ev == kEventDown)
                menu_open_ = menu_sel_ = 0;
        }
        break;
    case kStateMeasuring:
        if (ev == kEventDown) {
            send_live(kLiveButton, 2, 0, 0);
            finish_measurement(1);
        }
        break;
    case kStateScanning:
        if (ev == kEventOk) {
            // A trigger marks the sample being taken.
            size_t i = scan_susc_.empty() ? 0 : scan_susc_.size() - 1;
            if (i < scan_marks_.size())
                scan_marks_[i] = true;
            send_live(kLiveScanButton, 1, 0, 0);
        } else if (ev == kEventDown) {
            finish_scan();
        }
        break;
    default:
        break; // keys do nothing outside remote operation
    }
    return ok(req);
}

MeasRecord Instrument::base_record(uint32_t type) {
    MeasRecord r;
    time_t t = static_cast<time_t>(time(nullptr) + clock_offset_);
    struct tm lt;
    localtime_r(&t, &lt);
    r.rec_no = next_rec_no_++;
    r.group_no = r.rec_no;
    set_record_time(r, lt);
    r.type = type;
    r.curve_s = le_u8(params_, params::kUseConcLutSusc);
    r.curve_c = le_u8(params_, params::kUseConcLutCond);
    r.kind = (le_u8(params_, params::kSuscUnits) ? kFlagSuscCgs >> 24 : 0) |
             (le_u8(params_, params::kCondUnits) ? kFlagCondOhmM >> 24 : 0);
    r.dia = le_u8(params_, params::kDiameter);
    r.meas_mode = le_u8(params_, params::kMeasMode);
    r.gps.valid = le_u8(params_, params::kGpsOn) != 0;
    r.gps.sats = r.gps.valid ? 9 : 0;
    r.gps.lat = 49.2057;
    r.gps.lon = 16.6031;
    r.gps.alt = 243;
    r.counter = counter_++;
    r.susc_samples.assign(kMaxSamples, 0);
    r.cond_samples.assign(kMaxSamples, 0);
    r.marks.assign(kMaxSamples, false);
    return r;
}

void Instrument::store_last(const MeasRecord &r) {
    card_.make_dir("meas");
    card_.write_whole(kLastMeasName, encode_meas(r));
    last_kappa_ = r.susc;
    last_sigma_ = r.cond;
    have_last_ = true;
    store_in_log(r);
}

// A measurement goes into the log as one taken at the keys would: into the
// lowest empty slot or, when every slot holds a record, over the one with
// the lowest key (its note and aux data go with it). Its key follows the
// highest key in the log (the top bit aside), so after the log was cleared
// keys start again at 1.
void Instrument::store_in_log(const MeasRecord &r) {
    const int slots = params_slots(params_);
    std::vector<std::string> names;
    if (slots <= 0 || card_.list("meas", names) != CARD_OK)
        return;
    std::vector<bool> used(static_cast<size_t>(slots), false);
    for (const std::string &n : names)
        if (numbered(n, "meas", ".dat")) {
            const long slot = std::strtol(n.c_str() + 4, nullptr, 10);
            if (slot >= 0 && slot < slots)
                used[static_cast<size_t>(slot)] = true;
        }
    int target = -1, oldest = -1;
    uint32_t top = 0, oldest_key = 0;
    for (int i = 0; i < slots; i++) {
        if (!used[static_cast<size_t>(i)]) {
            if (target < 0)
                target = i;
            continue;
        }
        const uint32_t key = slot_key(i);
        top = std::max(top, key & 0x7FFFFFFFu);
        if (oldest < 0 || key < oldest_key) {
            oldest = i;
            oldest_key = key;
        }
    }
    if (target < 0) {
        target = oldest;
        card_.remove(slot_note_name(target));
        card_.remove(slot_aux_name(target));
    }
    Bytes uid(4, 0);
    put_u32(uid, 0, top + 1);
    card_.write_whole(slot_meas_name(target), encode_meas(r));
    card_.write_whole(slot_uid_name(target), uid);
}

void Instrument::start_measurement() {
    cancel_activity();
    state_ = kStateMeasuring;
    progress_ = 0;
    send_live(kLiveStart, 0, 0, 0);
    measurement_step(gen_, 1);
}

void Instrument::measurement_step(uint64_t gen, int step) {
    int interval = std::max(1, measure_ms_ / (kMeasureSteps + 1));
    host_.schedule(interval, [this, gen, step]() {
        if (gen != gen_ || stuck_)
            return;
        if (step > kMeasureSteps) {
            finish_measurement(0);
            return;
        }
        progress_ = step * 100 / kMeasureSteps;
        float k, s;
        reading(k, s);
        scan_susc_.push_back(k);
        scan_cond_.push_back(s);
        send_live(kLiveProgress, progress_, 0, 0);
        measurement_step(gen, step + 1);
    });
}

void Instrument::finish_measurement(int error) {
    MeasRecord r = base_record(kTypeSingle);
    r.error = static_cast<uint8_t>(error);
    int n = static_cast<int>(scan_susc_.size());
    double sk = 0, ss = 0;
    for (int i = 0; i < n; i++) {
        r.susc_samples[static_cast<size_t>(i)] =
            scan_susc_[static_cast<size_t>(i)];
        r.cond_samples[static_cast<size_t>(i)] =
            scan_cond_[static_cast<size_t>(i)];
        sk += scan_susc_[static_cast<size_t>(i)];
        ss += scan_cond_[static_cast<size_t>(i)];
    }
    r.num_samples = n;
    r.susc = n ? static_cast<float>(sk / n) : 0.0f;
    r.cond = n ? static_cast<float>(ss / n) : 0.0f;
    store_last(r);
    send_live(kLiveFinished, error, r.susc, r.cond);
    cancel_activity();
    state_ = kStateReady;
}

void Instrument::start_scan() {
    cancel_activity();
    state_ = kStateScanning;
    scan_marks_.assign(kMaxSamples, false);
    send_live(kLiveScanStart, ++scan_starts_, 0, 0);
    scan_step(gen_);
}

void Instrument::scan_step(uint64_t gen) {
    host_.schedule(scan_ms_, [this, gen]() {
        if (gen != gen_ || stuck_)
            return;
        float k, s;
        reading(k, s);
        double w = std::sin(static_cast<double>(scan_susc_.size()) * 0.15);
        k *= static_cast<float>(1.0 + 0.4 * w);
        s *= static_cast<float>(1.0 - 0.2 * w);
        scan_susc_.push_back(k);
        scan_cond_.push_back(s);
        send_live(kLiveScanProgress, static_cast<int32_t>(scan_susc_.size()), k,
                  s);
        if (scan_susc_.size() >= static_cast<size_t>(kMaxSamples))
            finish_scan();
        else
            scan_step(gen);
    });
}

void Instrument::finish_scan() {
    MeasRecord r = base_record(kTypeSeries);
    r.meas_mode = 2;
    size_t n = scan_susc_.size();
    double sk = 0, ss = 0;
    for (size_t i = 0; i < n; i++) {
        r.susc_samples[i] = scan_susc_[i];
        r.cond_samples[i] = scan_cond_[i];
        r.marks[i] = i < scan_marks_.size() && scan_marks_[i];
        sk += scan_susc_[i];
        ss += scan_cond_[i];
    }
    r.num_samples = static_cast<int32_t>(n);
    r.susc = n ? static_cast<float>(sk / static_cast<double>(n)) : 0.0f;
    r.cond = n ? static_cast<float>(ss / static_cast<double>(n)) : 0.0f;
    store_last(r);
    send_live(kLiveScanFinished, static_cast<int32_t>(n), r.susc, r.cond);
    cancel_activity();
    state_ = kStateReady;
    menu_open_ = menu_sel_ = 0;
}

// ---- Screen -----------------------------------------------------------------

Bytes Instrument::on_screen(const Frame &req) {
    if (!req.payload.empty())
        return fail(req);
    Screen sc;
    sc.text(1, 1, "VO-62V2 " + serial_);
    sc.hline(10);
    time_t t = static_cast<time_t>(time(nullptr) + clock_offset_);
    struct tm lt;
    localtime_r(&t, &lt);
    char b[64];
    std::snprintf(b, sizeof b, "%.4d/%.2d/%.2d %.2d:%.2d", lt.tm_year + 1900,
                  lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min);
    sc.text(1, 13, b);
    switch (state_) {
    case kStateMeasuring:
        std::snprintf(b, sizeof b, "MEASURING %d%%", progress_);
        break;
    case kStateScanning:
        std::snprintf(b, sizeof b, "SCANNING %zu", scan_susc_.size());
        break;
    case kStateLocal:
        std::snprintf(b, sizeof b, "READY");
        break;
    default:
        std::snprintf(b, sizeof b, "REMOTE");
        break;
    }
    sc.text(1, 23, b);
    bool cgs = le_u8(params_, params::kSuscUnits) != 0;
    bool ohm = le_u8(params_, params::kCondUnits) != 0;
    if (have_last_) {
        std::snprintf(b, sizeof b, "K=%8.3f %s",
                      static_cast<double>(last_kappa_), cgs ? "CGS" : "SI");
        sc.text(1, 36, b);
        std::snprintf(b, sizeof b, "S=%8.1f %s",
                      static_cast<double>(last_sigma_), ohm ? "Ohm.m" : "S/m");
        sc.text(1, 46, b);
    } else {
        sc.text(1, 36, "K=     ---");
        sc.text(1, 46, "S=     ---");
    }
    sc.hline(58);
    std::snprintf(b, sizeof b, "BAT 86%% LOG %d", count_log());
    sc.text(1, 62, b);
    std::snprintf(b, sizeof b, "GPS %s",
                  le_u8(params_, params::kGpsOn) ? "9 SAT" : "OFF");
    sc.text(1, 72, b);
    Bytes out = sc.bytes();
    out.resize(kScreenReply, 0);
    return ok(req, out);
}

} // namespace vo62sim
