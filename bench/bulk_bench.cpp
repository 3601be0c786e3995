// The command line's transfers at the console's piece sizes ("--chunk
// seed") and at bulk sizes, one after the other against one simulator, on
// three links: each pair a ratio of speeds, each bulk run also a share of
// its line's stop-and-wait limit, and the two runs' results compared.
#include "bulk_bench.h"

#include <chrono>
#include <filesystem>
#include <map>

#include "process.h"
#include "sim_process.h"
#include "tar_builder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::format;
using bench::Row;

enum Transfer { DOWNLOAD, UPLOAD, SYNC, TRANSFERS };

struct LinkKind {
    const char *name;
    const char *title;
    int baud;       // 0: unpaced
    int latency_ms; // every reply held so long
    double goal[TRANSFERS];
};
// The goals are ratios of bulk to interactive speed.
const LinkKind LINKS[] = {
    {"serial", "115,200 baud", 115200, 0, {1.10, 1.4, 1.05}},
    {"usb", "USB (2 ms)", 0, 2, {4, 10, 3}},
    {"bt", "Bluetooth (115,200 baud + 20 ms)", 115200, 20, {1.4, 2, 1.3}},
};
// Bulk "card download" on the serial line, of its stop-and-wait limit.
constexpr double SERIAL_DOWNLOAD_SHARE_MIN = 0.97;

struct BulkScale {
    long image; // bytes of the card image
    int files;  // of the archive, each file_size bytes
    long file_size;
    int records; // of the generated log
};
constexpr BulkScale FULL = {1 << 20, 8, 128 * 1024, 1000};
constexpr BulkScale SMOKE = {8 * 1024, 2, 4 * 1024, 5};
constexpr int RUN_MS = 3600000; // a whole run at the slowest: under an hour
constexpr char ARCHIVE_DIR[] = "bench/";

// "1 MiB", "8 KiB".
std::string size_text(long bytes) {
    return bytes >= (1 << 20) && bytes % (1 << 20) == 0
               ? format("%ld MiB", bytes >> 20)
               : format("%ld KiB", bytes >> 10);
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Every regular file under dir by its relative path.
std::map<std::string, std::string> tree(const std::string &dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        if (it->is_regular_file(ec))
            files[fs::relative(it->path(), dir, ec).string()] =
                read_file(it->path().string());
    }
    return files;
}

// The time a stop-and-wait exchange of this traffic needs on the link: the
// frames' bytes on the line and the latency of every request.
double limit_ms(const bench::Traffic &t, const LinkKind &l) {
    return bench::line_ms(t.bytes, l.baud) + double(t.requests) * l.latency_ms;
}

struct Measured {
    double ms = -1;
    bench::Traffic traffic;
};

} // namespace

const std::vector<std::string> &bulk_link_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const LinkKind &l : LINKS)
            n.push_back(std::string("bulk-") + l.name);
        return n;
    }();
    return names;
}

std::vector<Row> bulk_figures(const std::string &link, bool smoke) {
    const BulkScale &s = smoke ? SMOKE : FULL;
    const LinkKind *lk = nullptr;
    for (const LinkKind &l : LINKS)
        if (link == std::string("bulk-") + l.name)
            lk = &l;
    const std::string sizes[TRANSFERS] = {
        "card download of " + size_text(s.image),
        "card upload of a " + size_text(s.files * s.file_size) + " tar",
        format("log sync of %d records", s.records)};
    auto figure = [&](int t) {
        return sizes[t] + ", " + (lk ? lk->title : link) +
               ": bulk against interactive speed";
    };
    auto fail_all = [&](const std::string &why) {
        std::vector<Row> rows;
        for (int t = 0; t < TRANSFERS; t++)
            rows.push_back({figure(t), "-", "-", "FAILED", why});
        return rows;
    };
    if (!lk)
        return fail_all("no such link");
    const LinkKind &l = *lk;

    TempDir work;
    const std::string trace = work.file("sim.trace");
    std::vector<std::string> args = {
        "--seed",         "7",
        "--generate-log", std::to_string(s.records),
        "--image-size",   std::to_string(s.image),
        "--trace",        trace};
    if (l.baud > 0)
        args.insert(args.end(), {"--baud", std::to_string(l.baud)});
    if (l.latency_ms > 0)
        args.insert(args.end(), {"--latency-ms", std::to_string(l.latency_ms)});
    SimProcess sim(args);
    if (!sim.started())
        return fail_all("vo62-sim did not start");
    const std::string raw = read_file(sim.card_dir() + "/raw");

    TarBuilder tar;
    tar.dir(ARCHIVE_DIR);
    std::map<std::string, std::string> contents;
    for (int i = 0; i < s.files; i++) {
        const std::string name = format("%sf%d.bin", ARCHIVE_DIR, i);
        contents[name] = pattern(size_t(s.file_size), unsigned(i + 1));
        tar.file(name, contents[name]);
    }
    tar.end();
    const std::string archive = work.file("bench.tar");
    write_file(archive, std::string(tar.bytes().begin(), tar.bytes().end()));

    const std::string console = console_binary_path();
    size_t mark = 0;
    bench::traffic_since(trace, &mark);
    Measured m[TRANSFERS][2]; // [transfer][bulk]
    std::string why;
    for (int t = 0; t < TRANSFERS && why.empty(); t++) {
        for (int bulk = 0; bulk < 2 && why.empty(); bulk++) {
            const std::string tag = bulk ? "bulk" : "seed";
            std::vector<std::string> argv = {console, "-q"};
            switch (t) {
            case DOWNLOAD:
                argv.insert(argv.end(),
                            {"card", "download", work.file(tag + ".img")});
                break;
            case UPLOAD:
                argv.insert(argv.end(), {"card", "upload", archive});
                break;
            default:
                argv.insert(argv.end(), {"log", "sync", work.file(tag)});
                break;
            }
            if (!bulk)
                argv.insert(argv.end(), {"--chunk", "seed"});
            const auto t0 = Clock::now();
            ProcessResult r =
                run_process(argv, "", sim.env(), RUN_MS, false, work.path());
            m[t][bulk].ms = ms_since(t0);
            m[t][bulk].traffic = bench::traffic_since(trace, &mark);
            if (r.exit_code != 0) {
                fprintf(stderr, "--- %s:\n%s%s\n", argv[2].c_str(),
                        r.out.c_str(), r.err.c_str());
                why = sizes[t] + " at " + tag + " sizes failed";
            } else if (t == DOWNLOAD &&
                       read_file(work.file(tag + ".img")) != raw) {
                why = "an image is not the card's";
            } else if (t == UPLOAD) {
                for (const auto &[name, data] : contents)
                    if (read_file(sim.card_dir() + "/" + name) != data)
                        why = name + " on the card is not the archive's";
            }
        }
    }
    if (why.empty() && tree(work.file("seed")) != tree(work.file("bulk")))
        why = "the two syncs differ";
    if (!why.empty())
        return fail_all(why);

    std::vector<Row> rows;
    for (int t = 0; t < TRANSFERS; t++) {
        const Measured &seed = m[t][0], &bulk = m[t][1];
        const double ratio = seed.ms / bulk.ms;
        const double share = limit_ms(bulk.traffic, l) / bulk.ms;
        rows.push_back(
            {figure(t), format("%.2f", ratio), format(">= %.2f", l.goal[t]),
             ratio >= l.goal[t] ? "ok" : "MISSED",
             format("interactive %.2f s, %ld requests; bulk %.2f s, %ld "
                    "requests, %.3f of the stop-and-wait limit (%.2f s); "
                    "results identical",
                    seed.ms / 1000, seed.traffic.requests, bulk.ms / 1000,
                    bulk.traffic.requests, share,
                    limit_ms(bulk.traffic, l) / 1000)});
        if (t == DOWNLOAD && l.latency_ms == 0 && l.baud > 0)
            rows.push_back(
                {sizes[t] + ", " + l.title +
                     ": bulk share of the stop-and-wait limit",
                 format("%.3f", share),
                 format(">= %.2f", SERIAL_DOWNLOAD_SHARE_MIN),
                 share >= SERIAL_DOWNLOAD_SHARE_MIN ? "ok" : "MISSED",
                 format("%ld bytes on the line in %ld requests: %.2f s; "
                        "interactive at %.3f of its own",
                        bulk.traffic.bytes, bulk.traffic.requests,
                        limit_ms(bulk.traffic, l) / 1000,
                        limit_ms(seed.traffic, l) / seed.ms)});
    }
    return rows;
}
