#include "matrix.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

#include "process.h"
#include "sim_process.h"
#include "tar_builder.h"

namespace fs = std::filesystem;

namespace matrix {

// The working directories of a matrix: the card every cell starts from and
// the input files.
struct Dirs {
    TempDir root;
    std::string card() const { return root.file("card"); }
    std::string inputs() const { return root.file("inputs"); }
};

namespace {

using Clock = std::chrono::steady_clock;

// The card: the simulator's demo log (21 records, notes, auxiliary data, a
// concentration table), made from this seed, and a small card image.
constexpr const char *kCardSeed = "7";
constexpr long kImageSize = 65536;
constexpr int kPrepareMs = 60000;
// Each cell gets a fresh copy of the card, and these input files.
constexpr const char *kArchive = "card.tar";
constexpr const char *kContainer = "fw.qfw";
constexpr const char *kImage = "fw.bin";
constexpr int kFirmwareBlocks = 127; // 0x7F000 bytes in 4,096-byte blocks
constexpr int kArchiveFiles = 4;
// The flash request and its reply in the simulator's trace.
const std::regex kFlashAccepted("req 8103 len=8 reply 9103");

struct FaultInfo {
    Fault fault;
    const char *name;
    const char *title;
};
const FaultInfo kFaults[] = {
    {Fault::Corrupt, "corrupt", "corrupt 1e-4/byte"},
    {Fault::Drop, "drop", "2% replies lost"},
    {Fault::Retry, "retry", "5% retry replies"},
    {Fault::Fail, "fail", "failure reply"},
    {Fault::Silent, "silent", "goes silent"},
    {Fault::Cut, "cut", "link cut"},
    {Fault::Paced, "paced", "115200 baud"},
    {Fault::Late, "late", "late replies"},
    {Fault::Stall, "stall", "stalls, one write"},
    {Fault::StallGap, "stall_gap", "stalls, 150us gaps"},
    {Fault::Busy, "busy", "instrument busy"},
    {Fault::EraseLost, "erase", "erase reply lost"},
};

// Per operation: the console input of its sessions, where its chosen
// failure reply, silence and link cut strike, and its messages.
struct OpInfo {
    Op op;
    const char *name;
    const char *title;
    // The failure reply, the link cut, three retry replies with status 0
    // to one request: --fault arguments after the kind.
    const char *fail;
    const char *cut;
    const char *busy;
    // The code of the requests that carry its transfer.
    int transfer;
    // Requests answered before the instrument goes silent (identification
    // included).
    int silent_after;
    // Messages with which the operation reports a failure.
    std::vector<std::string> messages;
    // For an operation of a few requests, where the random faults would
    // seldom strike: the lost, retried, corrupted, late and stalled reply
    // aimed at its requests (arguments after the kind); null: the row's own.
    const char *drop = nullptr;
    const char *retry = nullptr;
    const char *corrupt = nullptr;
    const char *late = nullptr;
    const char *stall = nullptr;
};

std::string set_params_answers() {
    // Extended: 13 everyday fields, the slot count (kept), two calibration
    // sets of 30 floats, 7 further settings.
    std::string s = "sp\ny\n2\n77\n3\n1\n0\n2\n1\n9\n1\n1\n1\n1\n1\n\n";
    s += "1.5\n";
    for (int i = 1; i < 30; i++)
        s += "\n";
    for (int i = 0; i < 29; i++)
        s += "\n";
    s += "-2.25\n";
    s += "1\n300\n1\n4\n1\n0\n57600\n";
    return s;
}

std::string set_lut_answers() {
    std::string s = "sc\n1\nn\nMATRIX\n";
    for (int k = 1; k <= 12; k++)
        s += std::to_string(100 * k) + ".5\n" + std::to_string(7 * k) + ".25\n";
    return s + "y\nconclut.dat\n";
}

const std::string kCommandError = R"(Command %s error\(code=-?\d+\)!)";
// A line of the command line's own; and the one that tells the piece sizes
// fell back, which is no failure.
const std::string kCliLine = "^ra62d2ide: ";
const std::string kFellBack = "the rest goes at the console's piece sizes$";
// The command line's files of a sync that change as it goes.
const std::string kSyncIndex = "kappa_XXXX/archive/index.json";

std::string command_error(const char *name) {
    std::string s = kCommandError;
    return s.replace(s.find("%s"), 2, name);
}

// How the log's download reports a failure, in the console's words and,
// for the command line, with its own line too.
std::vector<std::string> log_errors(bool cli) {
    std::vector<std::string> m = {
        command_error("V21_cmd_get_meas_log"), command_error("download_record"),
        command_error("download_note"),        command_error("download_aux"),
        command_error("M17_cmd_get_serial"),   "Error downloading data!"};
    if (cli)
        m.push_back(kCliLine);
    return m;
}

const std::vector<OpInfo> &op_infos() {
    static const std::vector<OpInfo> all = {
        {Op::MeasLog, "ml", "ml", "code=8211,skip=40,count=1",
         "code=8211,skip=40", "code=8211,skip=40,count=3,status=0", 8211, 60,
         log_errors(false)},
        {Op::DownloadSd,
         "ds",
         "ds",
         "code=8211,skip=60,count=1",
         "code=8211,skip=60",
         "code=8211,skip=60,count=3,status=0",
         8211,
         60,
         {command_error("V21_cmd_download_sd")}},
        {Op::UploadTar,
         "uf",
         "uf",
         "code=8210,skip=20,count=1",
         "code=8210,skip=20",
         "code=8210,skip=20,count=3,status=0",
         8210,
         25,
         {command_error("V21_cmd_upload_tar"),
          R"(File \S+ on the card holds \d+ bytes instead of \d+!)"}},
        {Op::Firmware,
         "fw",
         "up, fl",
         "code=8103,count=1",
         "code=8102,skip=40",
         // A block write is tried again by the upload itself; the flash
         // request is not.
         "code=8103,count=3,status=0",
         8102,
         30,
         {command_error("M17_cmd_upload_qfw"),
          command_error("M17_cmd_flash_fw"),
          // The block's line, which a notice of the lost link may
          // have broken.
          R"(^(Writing block \d+ of \d+ \(size:\d+\)\.\.\.)?Error!$)"}},
        {Op::SetParams,
         "sp",
         "sp",
         "code=8202,count=1",
         "code=8202",
         "code=8202,count=3,status=0",
         8202,
         2,
         {command_error("V21_cmd_set_params")}},
        {Op::SetLut,
         "sc",
         "sc",
         "code=8210,skip=2,count=1",
         "code=8210,skip=3",
         "code=8210,skip=2,count=3,status=0",
         8210,
         4,
         {command_error("V21_cmd_set_conc_lut")}},
        // One measurement: its faults strike the key events (the fourth is
        // the trigger) and the state request, which are never written twice.
        {Op::Measure,
         "me",
         "me",
         "code=8022,skip=3,count=1",
         "code=8022,skip=3",
         "code=8022,skip=3,count=3,status=0",
         8022,
         10,
         {command_error("V21_cmd_measure"),
          R"(^No new result: the instrument's last measurement is still )"},
         "code=8022,skip=2,count=1",
         "code=8022,skip=3,count=1",
         "p=0.05,code=8022",
         "ms=1000,code=8023,count=1",
         "ms=900,code=8022,count=1"},
        // The command line at bulk sizes moves the same bytes in a tenth of
        // the requests or fewer: its failure reply, cut and busy replies
        // strike earlier, and its stalls come every few transfer requests.
        // A failure reply to a bulk request makes the sizes fall back, and
        // the request is asked again at the console's size.
        {Op::CliLog, "cli-ml", "log download", "code=8211,skip=20,count=1",
         "code=8211,skip=20", "code=8211,skip=20,count=3,status=0", 8211, 30,
         log_errors(true), nullptr, nullptr, nullptr, nullptr,
         "ms=1100,code=8211,every=9"},
        {Op::CliImage,
         "cli-ds",
         "card download",
         "code=8211,skip=8,count=1",
         "code=8211,skip=8",
         "code=8211,skip=8,count=3,status=0",
         8211,
         10,
         {command_error("V21_cmd_download_sd"), kCliLine},
         nullptr,
         nullptr,
         nullptr,
         nullptr,
         "ms=1100,code=8211,every=5"},
        {Op::CliUpload,
         "cli-uf",
         "card upload",
         "code=8210,skip=9,count=1",
         "code=8210,skip=9",
         "code=8210,skip=9,count=3,status=0",
         8210,
         10,
         {command_error("V21_cmd_upload_tar"),
          R"(File \S+ on the card holds \d+ bytes instead of \d+!)", kCliLine},
         nullptr,
         nullptr,
         nullptr,
         nullptr,
         "ms=1100,code=8210,every=4"},
        {Op::CliSync, "cli-sync", "log sync", "code=8211,skip=20,count=1",
         "code=8211,skip=20", "code=8211,skip=20,count=3,status=0", 8211, 30,
         log_errors(true), nullptr, nullptr, nullptr, nullptr,
         "ms=1100,code=8211,every=9"},
    };
    return all;
}

// The command line's subcommand of an operation, empty for the console's.
std::vector<std::string> cli_command(Op op) {
    switch (op) {
    case Op::CliLog:
        return {"log", "download", "--notes", "--raw", "--aux"};
    case Op::CliImage:
        return {"card", "download", "sd.img"};
    case Op::CliUpload:
        return {"card", "upload", kArchive};
    case Op::CliSync:
        return {"log", "sync", "--notes", "--raw", "--aux"};
    default:
        return {};
    }
}

// The console's operation whose results a command line's must equal.
Op console_twin(Op op) {
    switch (op) {
    case Op::CliLog:
    case Op::CliSync:
        return Op::MeasLog;
    case Op::CliImage:
        return Op::DownloadSd;
    case Op::CliUpload:
        return Op::UploadTar;
    default:
        return op;
    }
}

const OpInfo &info(Op op) {
    for (const OpInfo &i : op_infos())
        if (i.op == op)
            return i;
    abort();
}

// Notices of the link that come with a lost connection or a flash, or with
// an instrument that was never identified; never a failure by themselves.
const std::vector<std::string> kNotices = {
    "Device disconnected!", "Error connecting device!", "Device not connected!",
    "Connecting device\\.\\.\\.Error!"};

// A line reads as a message of an error when it holds one of these (an
// "Error=" field of a listed record, or a "save_error_meas" parameter, is
// none).
const std::vector<std::string> kErrorWords = {
    "Error[^=]",  "Error$",  "error\\(",      "instead of",
    "incomplete", "Damaged", "not connected", "disconnected"};

std::vector<std::string> sim_args(Fault fault, Op op) {
    const OpInfo &i = info(op);
    auto own = [](const char *kind, const char *args) {
        return std::vector<std::string>{"--fault", std::string(kind) + args};
    };
    switch (fault) {
    case Fault::Corrupt:
        if (i.corrupt)
            return own("corrupt:", i.corrupt);
        return {"--fault", "corrupt:p=1e-4"};
    case Fault::Drop:
        if (i.drop)
            return own("drop:", i.drop);
        return {"--fault", "drop:p=2%"};
    case Fault::Retry:
        if (i.retry)
            return own("retry:", i.retry);
        return {"--fault", "retry:p=5%"};
    case Fault::Fail:
        return {"--fault", std::string("fail:") + i.fail};
    case Fault::Silent:
        return {"--fault", "silent:after=" + std::to_string(i.silent_after)};
    case Fault::Cut:
        return {"--fault", std::string("cut:") + i.cut};
    case Fault::Paced:
        return {"--baud", "115200"};
    case Fault::Late:
        if (i.late)
            return own("delay:", i.late);
        return {"--fault",
                "delay:ms=1000,p=2%,code=" + std::to_string(i.transfer)};
    case Fault::Stall:
        if (i.stall)
            return own("stall:", i.stall);
        return {"--fault", "stall:ms=1100,every=50"};
    case Fault::StallGap:
        if (i.stall)
            return own("stall:",
                       (std::string(i.stall) + ",gap_us=150").c_str());
        return {"--fault", "stall:ms=1100,every=50,gap_us=150"};
    case Fault::Busy:
        return {"--fault", std::string("retry:") + i.busy};
    case Fault::EraseLost:
        return {"--fault", "drop:code=8100,count=1"};
    }
    return {};
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at)
            lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

bool matches_any(const std::string &line,
                 const std::vector<std::string> &patterns) {
    for (const std::string &p : patterns)
        if (std::regex_search(line, std::regex(p)))
            return true;
    return false;
}

Snapshot snapshot(const std::string &dir,
                  const std::set<std::string> &skip = {}) {
    Snapshot s;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return s;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const std::string rel = fs::relative(it->path(), dir, ec).string();
        if (skip.count(rel))
            continue;
        if (it->is_directory(ec))
            s[rel + "/"] = "";
        else
            s[rel] = read_file(it->path().string());
    }
    return s;
}

bool is_prefix(const std::string &part, const std::string &whole) {
    return part.size() < whole.size() &&
           whole.compare(0, part.size(), part) == 0;
}

// Every path of got is in base, with base's contents or a beginning of
// them (at most max_partial such files; -1: any number).
bool within(const Snapshot &got, const Snapshot &base, int max_partial,
            std::string *why) {
    int partial = 0;
    for (const auto &[path, data] : got) {
        auto it = base.find(path);
        if (it == base.end()) {
            *why = path + " is not made by the fault-free run";
            return false;
        }
        if (data == it->second)
            continue;
        if (!is_prefix(data, it->second)) {
            *why = path + " is neither the fault-free file nor a beginning "
                          "of it";
            return false;
        }
        partial++;
    }
    if (max_partial >= 0 && partial > max_partial) {
        *why = std::to_string(partial) + " files are cut short";
        return false;
    }
    return true;
}

// got equals base on every path outside those for which may_change holds.
template <typename Pred>
bool unchanged_except(const Snapshot &got, const Snapshot &base,
                      Pred may_change, std::string *why) {
    for (const auto &[path, data] : base) {
        if (may_change(path))
            continue;
        auto it = got.find(path);
        if (it == got.end() || it->second != data) {
            *why = path + (it == got.end() ? " is gone" : " was changed");
            return false;
        }
    }
    for (const auto &[path, data] : got) {
        if (!may_change(path) && !base.count(path)) {
            *why = path + " was made";
            return false;
        }
    }
    return true;
}

Snapshot only(const Snapshot &s, const std::string &prefix) {
    Snapshot out;
    for (const auto &[path, data] : s)
        if (path.rfind(prefix, 0) == 0)
            out[path] = data;
    return out;
}

std::string first_difference(const Snapshot &got, const Snapshot &want) {
    for (const auto &[path, data] : want) {
        auto it = got.find(path);
        if (it == got.end())
            return path + " is missing";
        if (it->second != data)
            return path + " differs";
    }
    for (const auto &[path, data] : got)
        if (!want.count(path))
            return path + " is extra";
    return "";
}

// The fields of a measurement record the result line of "me" shows.
struct Measurement {
    bool whole = false;
    uint32_t flags = 0;
    int pin = 0, error = 0, dia = 0, meas_mode = 0;
    float susc = 0, cond = 0;
    int32_t counter = 0, num_samples = 0;
};

uint32_t le32(const std::string &b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}

float lef32(const std::string &b, size_t at) {
    const uint32_t bits = le32(b, at);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

Measurement measurement(const Snapshot &card) {
    Measurement m;
    auto it = card.find("meas/last.dat");
    if (it == card.end() || it->second.size() != 4063)
        return m;
    const std::string &b = it->second;
    m.whole = true;
    m.flags = le32(b, 19);
    m.pin = uint8_t(b[23]);
    m.error = uint8_t(b[24]);
    m.dia = uint8_t(b[25]);
    m.meas_mode = uint8_t(b[42]);
    m.susc = lef32(b, 43);
    m.cond = lef32(b, 47);
    m.counter = int32_t(le32(b, 87));
    m.num_samples = int32_t(le32(b, 91));
    return m;
}

// The line "me" prints for the record.
std::string result_line(const Measurement &m) {
    char line[256];
    snprintf(line, sizeof line,
             "Type=%d,MeasMode=%d,Curve1=%d,Curve2=%d,Pin=%d,Error=%d,"
             "Dia=%2d    Susc=%6.3f Cond=%6.1f [%2d/%2d]\n",
             int(m.flags & 3), m.meas_mode, int((m.flags >> 8) & 0xFF),
             int((m.flags >> 16) & 0xFF), m.pin, m.error, m.dia, double(m.susc),
             double(m.cond), m.counter, m.num_samples);
    return line;
}

// A measurement changes the log and the last result: the files of meas/.
bool measured_file(const std::string &path) {
    return path.rfind("meas/", 0) == 0;
}

const char *kFlashFile = ".vo62sim/extflash.bin";
const char *kParamsFile = ".vo62sim/params.bin";
const char *kLutFile = "lut/lut01.dat";
const std::string kArchiveRoot = "up/";

} // namespace

// ---- Names ---------------------------------------------------------------

const std::vector<Fault> &all_faults() {
    static const std::vector<Fault> all = [] {
        std::vector<Fault> v;
        for (const FaultInfo &f : kFaults)
            v.push_back(f.fault);
        return v;
    }();
    return all;
}

const std::vector<Op> &all_ops() {
    static const std::vector<Op> all = [] {
        std::vector<Op> v;
        for (const OpInfo &i : op_infos())
            v.push_back(i.op);
        return v;
    }();
    return all;
}

const char *fault_name(Fault f) {
    for (const FaultInfo &i : kFaults)
        if (i.fault == f)
            return i.name;
    return "?";
}

const char *fault_title(Fault f) {
    for (const FaultInfo &i : kFaults)
        if (i.fault == f)
            return i.title;
    return "?";
}

const char *op_name(Op op) {
    return info(op).name;
}

const char *op_title(Op op) {
    return info(op).title;
}

bool parse_fault(const std::string &name, Fault *out) {
    for (const FaultInfo &i : kFaults)
        if (name == i.name) {
            *out = i.fault;
            return true;
        }
    return false;
}

bool applies(Fault f, Op op) {
    return f != Fault::EraseLost || op == Op::Firmware;
}

bool parse_op(const std::string &name, Op *out) {
    for (const OpInfo &i : op_infos())
        if (name == i.name) {
            *out = i.op;
            return true;
        }
    return false;
}

const char *verdict_text(Verdict v) {
    switch (v) {
    case Verdict::Ok:
        return "ok";
    case Verdict::FailedCleanly:
        return "failed cleanly";
    case Verdict::Bad:
        return "BAD";
    }
    return "?";
}

// ---- Running ---------------------------------------------------------------

Matrix::Matrix(uint64_t seed)
    : seed_(seed), image_size_(kImageSize), dirs_(std::make_unique<Dirs>()) {}

Matrix::~Matrix() = default;

int Matrix::bound_s(Fault, Op op) {
    // A fault-free operation takes well under a second on the
    // pseudo-terminal. A lost reply costs its time-out (0.8 s, 1 s for a
    // firmware block) and then as long again while the link listens for
    // replies that come late, and a proof that the line is clean; a lost
    // erase reply costs its 60 s time-out and 1 s more. A silent
    // instrument costs the three tries of one request (five attempts of
    // three for a firmware block). The paced line carries about 11.5 kB/s:
    // the firmware image alone takes 45 s.
    // The bounds leave room for the sanitizer builds on a loaded machine.
    return op == Op::Firmware ? 120 : 90;
}

bool Matrix::prepare() {
    if (sim_binary_path().empty() || console_binary_path().empty()) {
        error_ = "the simulator or the console is not built";
        return false;
    }
    std::error_code ec;
    fs::create_directories(dirs_->inputs(), ec);
    {
        // A card that has never been used gets the demo log.
        SimProcess sim(
            {"--seed", kCardSeed, "--image-size", std::to_string(image_size_)},
            dirs_->card());
        const bool started = sim.started();
        if (!started || !sim.stop()) {
            error_ = std::string(started ? "the simulator did not stop cleanly"
                                         : "the simulator did not start") +
                     ": " + sim.output();
            return false;
        }
    }
    template_card_ = snapshot(dirs_->card());

    // The archive: directories and files whose sizes end inside, at and
    // beyond the 128-byte appends.
    TarBuilder tar;
    tar.dir(kArchiveRoot)
        .file(kArchiveRoot + "a.txt", pattern(300, 1))
        .dir(kArchiveRoot + "sub/")
        .file(kArchiveRoot + "sub/b.bin", pattern(1000, 2))
        .file(kArchiveRoot + "c.dat", pattern(128, 3))
        .file(kArchiveRoot + "d", pattern(5000, 4))
        .end();
    const TarBytes &bytes = tar.bytes();
    write_file(dirs_->inputs() + "/" + kArchive,
               std::string(bytes.begin(), bytes.end()));

    // The container, made by the console itself from a raw image.
    std::string image(0x40000, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(dirs_->inputs() + "/" + kImage, image);
    TempDir empty;
    ProcessResult cg = run_process(
        {console_binary_path()},
        std::string("1\ncg\n") + kImage + "\n" + kContainer + "\ny\n1\n5\n",
        {{"VO62_SIM_DIR", empty.path()}}, kPrepareMs, false, dirs_->inputs());
    if (cg.exit_code != 0 || !file_exists(dirs_->inputs() + "/" + kContainer)) {
        error_ = "cg did not make the container: " + cg.out + cg.err;
        return false;
    }
    fs::remove(dirs_->inputs() + "/" + kImage, ec);

    for (Op op : all_ops()) {
        Outcome o = execute(op, {}, bound_s(Fault::Corrupt, op) * 1000,
                            std::string("none-") + op_name(op));
        if (!o.crash.empty()) {
            error_ = std::string("fault-free ") + op_name(op) + ": " + o.crash;
            return false;
        }
        // The fault-free run itself must complete.
        CellResult r = judge(op, o, template_card_, nullptr);
        if (r.verdict != Verdict::Ok) {
            error_ = std::string("fault-free ") + op_name(op) +
                     " did not complete: " + r.detail + "\n" + o.out + o.err;
            return false;
        }
        baselines_[op] = Baseline{o.card, o.work, o.flashed};
    }
    // The command line's bulk transfers leave the console's bytes: the
    // image, the card the archive was unpacked onto, the log's files (the
    // console's slot dump "aaa" aside; a sync's archive aside).
    for (Op op : all_ops()) {
        if (cli_command(op).empty())
            continue;
        const Baseline &twin = baselines_[console_twin(op)];
        const Baseline &own = baselines_[op];
        Snapshot want = twin.work, got = own.work;
        want.erase("aaa");
        std::erase_if(got, [](const auto &f) {
            return f.first.rfind("kappa_XXXX/archive/", 0) == 0;
        });
        std::string diff = first_difference(own.card, twin.card);
        if (diff.empty())
            diff = first_difference(got, want);
        if (!diff.empty()) {
            error_ = std::string(op_name(op)) + " at bulk sizes does not " +
                     "leave what " + op_name(console_twin(op)) +
                     " does: " + diff;
            return false;
        }
    }
    return true;
}

Outcome Matrix::execute(Op op, const std::vector<std::string> &fault,
                        int bound_ms, const std::string &label) {
    Outcome o;
    TempDir cell;
    const std::string card = cell.file("card");
    const std::string work = cell.file("work");
    const std::string trace = cell.file("trace.txt");
    std::error_code ec;
    fs::copy(dirs_->card(), card, fs::copy_options::recursive, ec);
    fs::copy(dirs_->inputs(), work, fs::copy_options::recursive, ec);
    if (ec) {
        o.crash = "cannot copy the card: " + ec.message();
        return o;
    }

    std::vector<std::string> args = {"--seed", std::to_string(seed_), "--trace",
                                     trace};
    args.insert(args.end(), fault.begin(), fault.end());
    SimProcess sim(args, card);
    if (!sim.started()) {
        o.crash = "the simulator did not start: " + sim.output();
        return o;
    }

    std::vector<std::string> sessions;
    switch (op) {
    case Op::MeasLog:
        sessions = {"ml\ny\ny\ny\ny\n"};
        break;
    case Op::DownloadSd:
        sessions = {"ds\nsd.img\n"};
        break;
    case Op::UploadTar:
        sessions = {std::string("uf\n") + kArchive + "\n"};
        break;
    case Op::Firmware:
        // "fl" follows only an upload that went through, as a user would.
        sessions = {std::string("up\n") + kContainer + "\n",
                    std::string("fl\n") + kContainer + "\n"};
        break;
    case Op::SetParams:
        sessions = {set_params_answers()};
        break;
    case Op::SetLut:
        sessions = {set_lut_answers()};
        break;
    case Op::Measure:
        sessions = {"me\n0\n"};
        break;
    case Op::CliLog:
    case Op::CliImage:
    case Op::CliUpload:
    case Op::CliSync:
        sessions = {""}; // a run of the command line
        break;
    }
    const std::vector<std::string> command = cli_command(op);

    const auto start = Clock::now();
    for (size_t i = 0; i < sessions.size(); i++) {
        const int used = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                  start)
                .count());
        const int left = bound_ms > used ? bound_ms - used : 1;
        // Enter at "Select connection type" and "Select device" reaches
        // the simulator; the command line finds it by itself.
        std::vector<std::string> argv = {console_binary_path()};
        if (!command.empty())
            argv.insert(argv.end(), {"-p", "auto"});
        argv.insert(argv.end(), command.begin(), command.end());
        ProcessResult r =
            run_process(argv, command.empty() ? "\n\n" + sessions[i] : "",
                        sim.env(), left, false, work);
        o.out += r.out;
        o.err += r.err;
        o.status = r.exit_code;
        if (command.empty()
                ? r.out.find("Connecting device...Ok.") == std::string::npos
                : r.exit_code == 3)
            o.unconnected = true;
        if (r.timed_out) {
            o.crash = "still running after the bound";
        } else if (r.signal != 0) {
            o.crash = "ended by signal " + std::to_string(r.signal);
        } else if (r.exit_code != 0 && command.empty()) {
            o.crash = "exit status " + std::to_string(r.exit_code);
        } else if (r.err.find("Sanitizer") != std::string::npos ||
                   r.err.find("runtime error") != std::string::npos) {
            o.crash = "sanitizer report";
        }
        if (!o.crash.empty())
            break;
        if (op == Op::Firmware && i == 0 &&
            r.out.find("Writing block " + std::to_string(kFirmwareBlocks) +
                       " of " + std::to_string(kFirmwareBlocks) +
                       " (size:4096)...Ok.") == std::string::npos)
            break;
    }
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();

    if (!sim.stop() && o.crash.empty())
        o.crash = "the simulator did not end cleanly: " + sim.output();
    o.card = snapshot(card);
    o.work = snapshot(work, {kArchive, kContainer});
    o.flashed = std::regex_search(read_file(trace), kFlashAccepted);
    if (!keep_dir_.empty()) {
        const std::string kept = keep_dir_ + "/" + label;
        fs::remove_all(kept, ec);
        fs::create_directories(kept, ec);
        fs::copy(cell.path(), kept, fs::copy_options::recursive, ec);
        write_file(kept + "/console.out", o.out);
        write_file(kept + "/console.err", o.err);
    }
    return o;
}

CellResult judge(Op op, const Outcome &o, const Snapshot &start_card,
                 const Baseline *baseline) {
    CellResult r;
    r.seconds = o.seconds;
    if (!o.crash.empty()) {
        r.detail = o.crash;
        return r;
    }
    const OpInfo &oi = info(op);

    // Messages of failure in the output, each one the operation's own; on
    // the command line every line of its own is one, but the one telling
    // that the piece sizes fell back.
    const bool cli = !cli_command(op).empty();
    std::vector<std::string> failures;
    for (const std::string *text : {&o.out, &o.err}) {
        for (const std::string &line : lines_of(*text)) {
            const bool own = cli && matches_any(line, {kCliLine}) &&
                             !matches_any(line, {kFellBack});
            if ((!own && !matches_any(line, kErrorWords)) ||
                matches_any(line, kNotices))
                continue;
            if (!matches_any(line, oi.messages)) {
                r.detail = "unexpected message: " + line;
                return r;
            }
            failures.push_back(line);
        }
    }

    // An instrument lost before it was identified: the console says so
    // ("Error connecting device!", "Device not connected!").
    if (o.unconnected)
        failures.push_back("the console did not connect");

    bool completed = failures.empty();
    if (cli) {
        // A failure is told by its status and one of the messages.
        if (o.status == 0 && !completed) {
            r.detail = "status 0 after " + failures.front();
            return r;
        }
        completed = completed && o.status == 0;
        if (o.status != 0 && failures.empty()) {
            r.detail =
                "status " + std::to_string(o.status) + " without a message";
            return r;
        }
    }
    switch (op) {
    case Op::CliLog:
    case Op::CliImage:
    case Op::CliUpload:
    case Op::CliSync:
        break;
    case Op::MeasLog:
        completed = completed &&
                    o.out.find("Num downloaded records:") != std::string::npos;
        break;
    case Op::DownloadSd:
        completed = completed && o.out.find("Ok\n") != std::string::npos;
        break;
    case Op::UploadTar: {
        size_t done = 0;
        for (size_t at = o.out.find("DONE\n"); at != std::string::npos;
             at = o.out.find("DONE\n", at + 1))
            done++;
        completed = completed && done == kArchiveFiles;
        break;
    }
    case Op::Firmware:
        completed = completed && o.flashed;
        break;
    case Op::SetParams:
        completed = completed &&
                    o.out.find("Params.bt_baud_rate[") != std::string::npos;
        break;
    case Op::SetLut:
        completed =
            completed && o.out.find("Writing LUT...Ok.") != std::string::npos;
        break;
    case Op::Measure:
        completed = completed && o.out.find("Type=") != std::string::npos;
        break;
    }

    if (op == Op::Measure) {
        // Each measurement is new, so no two runs leave the same bytes: a
        // completed one printed the instrument's new record, taken exactly
        // once, and every cell touched only the log and the last result.
        const Measurement before = measurement(start_card);
        const Measurement now = measurement(o.card);
        std::string why;
        if (!unchanged_except(o.card, start_card, measured_file, &why)) {
            r.detail = why;
        } else if (now.counter > before.counter + 1) {
            r.detail = "the instrument measured more than once";
        } else if (completed &&
                   (!now.whole || now.counter != before.counter + 1)) {
            r.detail = "completed, but the instrument took no new measurement";
        } else if (completed &&
                   o.out.find("Ok\n" + result_line(now)) == std::string::npos) {
            r.detail = "completed, but the result printed is not the "
                       "instrument's record";
        } else if (!completed && failures.empty()) {
            r.detail = "ended without its result and without a message";
        } else if (!o.work.empty()) {
            r.detail = o.work.begin()->first + " was made";
        } else {
            r.verdict = completed ? Verdict::Ok : Verdict::FailedCleanly;
            r.detail = completed ? "" : failures.front();
        }
        return r;
    }

    if (baseline == nullptr) {
        // The fault-free run: nothing to compare with yet.
        r.verdict = completed ? Verdict::Ok : Verdict::Bad;
        r.detail = completed ? "" : "did not complete";
        return r;
    }
    const Baseline &b = *baseline;

    if (completed) {
        std::string diff = first_difference(o.card, b.card);
        if (diff.empty())
            diff = first_difference(o.work, b.work);
        if (diff.empty() && o.flashed != b.flashed)
            diff = "the flash was not started";
        if (!diff.empty()) {
            r.detail = "completed, but " + diff + " (fault-free run)";
            return r;
        }
        r.verdict = Verdict::Ok;
        return r;
    }
    if (failures.empty()) {
        r.detail = "ended without its result and without a message";
        return r;
    }
    r.detail = failures.front();

    // What a failed operation keeps.
    std::string why;
    const Snapshot &t = start_card;
    auto nothing = [](const std::string &) { return false; };
    bool kept = true;
    switch (op) {
    case Op::CliSync: {
        // Records, notes and aux data are put into the archive whole; its
        // index tells what it holds so far.
        Snapshot got = o.work, want = b.work;
        got.erase(kSyncIndex);
        want.erase(kSyncIndex);
        kept = unchanged_except(o.card, t, nothing, &why) &&
               within(got, want, 0, &why);
        break;
    }
    case Op::CliLog:
    case Op::MeasLog:
        // Files written so far stay; the note or aux file being copied,
        // and the summary, may be cut short. The log is only read.
        kept = unchanged_except(o.card, t, nothing, &why) &&
               within(o.work, b.work, -1, &why);
        break;
    case Op::CliImage:
    case Op::DownloadSd:
        kept = unchanged_except(o.card, t, nothing, &why) &&
               within(o.work, b.work, 1, &why);
        break;
    case Op::CliUpload:
    case Op::UploadTar: {
        // What was created stays, the last file possibly incomplete.
        auto archived = [](const std::string &p) {
            return p.rfind(kArchiveRoot, 0) == 0;
        };
        kept = unchanged_except(o.card, t, archived, &why) &&
               within(only(o.card, kArchiveRoot), only(b.card, kArchiveRoot), 1,
                      &why) &&
               within(o.work, b.work, 0, &why);
        break;
    }
    case Op::Firmware: {
        // The external flash is left erased and partly written; a flash is
        // never started after an upload that did not go through.
        auto flash = [](const std::string &p) { return p == kFlashFile; };
        kept = unchanged_except(o.card, t, flash, &why) &&
               within(o.work, b.work, 0, &why);
        if (kept) {
            auto got = o.card.find(kFlashFile);
            auto before = t.find(kFlashFile);
            const std::string &want = b.card.at(kFlashFile);
            const std::string fresh =
                before == t.end() ? std::string() : before->second;
            const std::string now =
                got == o.card.end() ? std::string() : got->second;
            if (now != fresh) {
                for (size_t i = 0; kept && i < now.size(); i++)
                    if (static_cast<unsigned char>(now[i]) != 0xFF &&
                        (i >= want.size() || now[i] != want[i])) {
                        kept = false;
                        why = "the external flash holds bytes of neither the "
                              "image nor an erased chip";
                    }
            }
            const bool uploaded =
                o.out.find("Writing block " + std::to_string(kFirmwareBlocks) +
                           " of " + std::to_string(kFirmwareBlocks) +
                           " (size:4096)...Ok.") != std::string::npos;
            if (kept && o.flashed && (!uploaded || now != want)) {
                kept = false;
                why = "a flash was started without the whole image";
            }
        }
        break;
    }
    case Op::SetParams: {
        auto params = [](const std::string &p) { return p == kParamsFile; };
        kept = unchanged_except(o.card, t, params, &why);
        if (kept && o.card.count(kParamsFile) &&
            o.card.at(kParamsFile) != t.at(kParamsFile) &&
            o.card.at(kParamsFile) != b.card.at(kParamsFile)) {
            kept = false;
            why = "the parameter record is neither the old nor the new one";
        }
        break;
    }
    case Op::Measure:
        break; // judged above
    case Op::SetLut: {
        // The steps already done stay done: the table may be left deleted,
        // empty, or written.
        auto lut = [](const std::string &p) { return p == kLutFile; };
        kept = unchanged_except(o.card, t, lut, &why) &&
               within(o.work, b.work, 0, &why);
        if (kept && o.card.count(kLutFile)) {
            const std::string &now = o.card.at(kLutFile);
            if (!now.empty() && now != t.at(kLutFile) &&
                now != b.card.at(kLutFile)) {
                kept = false;
                why = "the table file is neither the old, the new, nor empty";
            }
        }
        break;
    }
    }
    if (!kept) {
        r.detail += "; but " + why;
        return r;
    }
    r.verdict = Verdict::FailedCleanly;
    return r;
}

CellResult Matrix::run(Fault fault, Op op) {
    const int bound = bound_s(fault, op);
    Outcome o = execute(op, sim_args(fault, op), bound * 1000,
                        std::string(fault_name(fault)) + "-" + op_name(op));
    return finish(op, o, bound);
}

CellResult Matrix::run(const std::vector<std::string> &args, Op op, int bound) {
    std::string label = "custom";
    for (const std::string &a : args)
        label += "_" + a;
    for (char &c : label)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '=')
            c = '_';
    Outcome o = execute(op, args, bound * 1000, label + "-" + op_name(op));
    return finish(op, o, bound);
}

CellResult Matrix::finish(Op op, const Outcome &o, int bound) const {
    auto found = baselines_.find(op);
    CellResult r = judge(op, o, template_card_,
                         found == baselines_.end() ? nullptr : &found->second);
    r.bound_s = bound;
    if (r.verdict != Verdict::Bad && o.seconds > bound) {
        r.verdict = Verdict::Bad;
        r.detail = "took " + std::to_string(o.seconds) + " s";
    }
    return r;
}

} // namespace matrix
