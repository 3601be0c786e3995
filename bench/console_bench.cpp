// ra62_bench: the console against the wire. Prints one table with
//   1. the round trip of a 512-byte read through the whole stack (request
//      function, device link, library, pseudo-terminal, vo62-sim) against
//      the same bytes exchanged on a pseudo-terminal with a minimal peer;
//   2. "ds" of a 256 KiB image over a line paced at 115,200 baud against the
//      stop-and-wait limit of that line;
//   3. unpaced "ds" of the 1 MiB image, in reads per second;
//   4. the download order of a 65,536-slot log;
//   5. the peak resident memory of the console during "ml" of the demo log;
//   6. the command line's "card download" at the console's piece sizes
//      against the console's "ds" of the same image, each a whole run of
//      the program;
//   7. the log sync against a generated full log: a full "ml", a first
//      "log sync" and a second one after ten new measurements, in wall time
//      and requests, and each one's line time at 115,200 baud from the
//      request and reply bytes of the simulator's trace;
//   8. the export of a generated 65,536-record archive: wall time, peak
//      memory, size of the report;
//   9. the command line's "card download", "card upload" and "log sync" at
//      the console's piece sizes and at bulk sizes, on a serial line, USB
//      and Bluetooth (bulk_bench).
// With --smoke every figure is taken once on a small scale, to show that
// the benchmarks still work; its numbers mean nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_frames.h"
#include "bench_util.h"
#include "bulk_bench.h"
#include "capture.h"
#include "export_bench.h"
#include "full_log.h"
#include "libcomm.h"
#include "mxx_comm.h"
#include "process.h"
#include "shell.h"
#include "sim_process.h"
#include "v21_cmds.h"
#include "v21_comm.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::format;
using bench::Row;

// Targets.
constexpr double RATIO_MAX = 1.5;
constexpr double EFFICIENCY_MIN = 0.95;
constexpr double ORDER_MAX_MS = 50;
constexpr double PEAK_MAX_MIB = 16;

using bench::IMAGE_FILE;
using bench::READ_CHUNK;

constexpr int PACED_BAUD = 115200;

// Scale of a full run and of a smoke run.
struct Scale {
    int round_trips;    // of each kind
    int warm_up;        // exchanges of each kind not counted
    long paced_image;   // bytes
    long unpaced_image; // bytes
    int unpaced_copies; // copies of the unpaced image, the median counts
    int order_runs;
    int cli_runs;  // of each program, interleaved
    int log_slots; // of the generated log of the sync figures
};
constexpr Scale FULL = {3000, 200, 256 * 1024, 1024 * 1024, 7, 21, 9, 65536};
constexpr Scale SMOKE = {40, 5, 8 * 1024, 64 * 1024, 1, 3, 1, 256};
// New measurements before the second sync, and what that sync may send:
// the entry table (32 slots a request) and ten reads a new record.
constexpr int SYNC_NEW_RECORDS = 10;
constexpr int ENTRIES_PER_REQUEST = 32;
constexpr int READS_PER_RECORD = 10;
constexpr double SYNC_LINE_SHARE_MAX = 0.01;
constexpr int SYNC_MEASURE_MS = 50;
constexpr int SYNC_RUN_MS = 3600000;
// The command line may take this much longer than the console.
constexpr double CLI_RATIO_MAX = 1.05;

// Bounds on every wait.
constexpr int EXCHANGE_TIMEOUT_MS = 2000;
constexpr int DISCONNECT_WAIT_MS = 5000;
constexpr int DISCONNECT_POLL_MS = 10;
constexpr int CONSOLE_STEP_MS = 60000;
constexpr int CONSOLE_END_MS = 10000;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// ---- The console's connections, in this process --------------------------

// One connection of the console, closed when it goes.
class Link {
  public:
    Link() = default;
    ~Link() { close(); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // To the simulator, identified as the shell does it (id_conn is set).
    bool open_instrument(const SimProcess &sim, std::string &why) {
        char conn[COMM_STR_SIZE];
        instrument_ = true;
        if (MXX_make_serial_path_conn_string(conn, sim.pty().c_str()) != 0 ||
            MXX_connect(conn, &id_conn, MXX_event_connected,
                        MXX_event_connection_error, MXX_event_disconnected,
                        V21_probe, V21_test_probe, 0) != 0) {
            why = "cannot open the simulator's line " + sim.pty();
            return false;
        }
        id_ = id_conn;
        if (MXX_wait_connected(id_, MXX_CONNECT_WAIT_MS) != 0 ||
            connected.load() != 1) {
            why = "the simulator on " + sim.pty() + " was not identified";
            return false;
        }
        return true;
    }
    // To a line whose peer is not an instrument: no identification, one
    // try per request.
    bool open_plain(const std::string &path, std::string &why) {
        char conn[COMM_STR_SIZE];
        if (MXX_make_serial_path_conn_string(conn, path.c_str()) != 0 ||
            MXX_connect(conn, &id_, nullptr, nullptr, nullptr, nullptr, nullptr,
                        0) != 0) {
            why = "cannot open " + path;
            return false;
        }
        return true;
    }
    int id() const { return id_; }
    // An instrument's connection is closed once the shell's callback has
    // seen it go.
    void close() {
        if (id_ < 0 || MXX_disconnect(id_) != 0 || !instrument_) {
            id_ = -1;
            return;
        }
        id_ = -1;
        auto deadline =
            Clock::now() + std::chrono::milliseconds(DISCONNECT_WAIT_MS);
        while (connected.load() != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(DISCONNECT_POLL_MS));
    }

  private:
    int id_ = -1;
    bool instrument_ = false;
};

// Runs fn with the console's output captured; on failure the captured text
// goes to standard error, to show why.
bool captured(const std::function<bool(std::string &)> &fn, std::string &why) {
    OutputCapture cap;
    bool ok = fn(why);
    if (!ok)
        fprintf(stderr, "%s\n--- console output:\n%s%s\n", why.c_str(),
                cap.out().c_str(), cap.err().c_str());
    return ok;
}

Row failed(const std::string &figure, const std::string &why) {
    return {figure, "-", "-", "FAILED", why};
}

// ---- 1. Round trip ---------------------------------------------------------

Row round_trip(const Scale &s) {
    const std::string figure =
        "round trip of a 512-byte read, ratio of medians";
    const auto request = bench::read_request();
    const auto reply = bench::read_reply();
    // The baseline, and the same peer reached through the console's stack.
    bench::EchoPeer peer(request.size(), reply),
        stack_peer(request.size(), reply);
    // The simulator reached by the same raw exchange, and through the stack.
    SimProcess raw_sim({"--seed", "7"}), sim({"--seed", "7"});
    if (!peer.ok() || !stack_peer.ok())
        return failed(figure, "no pseudo-terminal for the baseline");
    if (!sim.started() || !raw_sim.started())
        return failed(figure, "vo62-sim did not start");
    bench::RawLine base_line(peer.path()), sim_line(raw_sim.pty());
    if (!base_line.ok() || !sim_line.ok())
        return failed(figure, "cannot open the pseudo-terminals");

    std::vector<double> full, base, console_only, sim_only;
    std::string why;
    bool ok = captured(
        [&](std::string &err) {
            Link to_sim, to_peer;
            if (!to_sim.open_instrument(sim, err) ||
                !to_peer.open_plain(stack_peer.path(), err))
                return false;
            unsigned char buf[READ_CHUNK];
            const uint32_t chunks = uint32_t(s.unpaced_image / READ_CHUNK);
            uint32_t next = 0;
            // One read through the stack on connection id into times.
            auto stack_once = [&](int id, std::vector<double> *times) {
                uint32_t count = 0;
                const uint32_t offset = (next++ % chunks) * READ_CHUNK;
                auto t0 = Clock::now();
                int rc = V21_Read_File(id, IMAGE_FILE, buf, offset, READ_CHUNK,
                                       &count, 1);
                double ms = ms_since(t0);
                if (rc != 0 || count != READ_CHUNK) {
                    err = format("read at %u failed: code %d, %u bytes", offset,
                                 rc, count);
                    return false;
                }
                if (times)
                    times->push_back(ms * 1000);
                return true;
            };
            // The same bytes written and read back without the stack.
            auto raw_once = [&](bench::RawLine &line,
                                std::vector<double> *times) {
                auto t0 = Clock::now();
                if (!line.exchange(request, reply.size(),
                                   EXCHANGE_TIMEOUT_MS)) {
                    err = "a raw exchange got no whole reply";
                    return false;
                }
                if (times)
                    times->push_back(ms_since(t0) * 1000);
                return true;
            };
            auto all_once = [&](bool keep) {
                return raw_once(base_line, keep ? &base : nullptr) &&
                       stack_once(to_peer.id(),
                                  keep ? &console_only : nullptr) &&
                       raw_once(sim_line, keep ? &sim_only : nullptr) &&
                       stack_once(to_sim.id(), keep ? &full : nullptr);
            };
            for (int i = 0; i < s.warm_up; i++)
                if (!all_once(false))
                    return false;
            // One exchange of each kind in turn, the order rotating, so
            // that load elsewhere on the machine falls on every kind alike.
            for (int i = 0; i < s.round_trips; i++)
                for (int k = 0; k < 4; k++) {
                    bool done = true;
                    switch ((i + k) % 4) {
                    case 0:
                        done = raw_once(base_line, &base);
                        break;
                    case 1:
                        done = stack_once(to_peer.id(), &console_only);
                        break;
                    case 2:
                        done = raw_once(sim_line, &sim_only);
                        break;
                    default:
                        done = stack_once(to_sim.id(), &full);
                        break;
                    }
                    if (!done)
                        return false;
                }
            return true;
        },
        why);
    if (!ok)
        return failed(figure, why);
    const double f = bench::median(full), b = bench::median(base);
    const double c = bench::median(console_only), m = bench::median(sim_only);
    const double ratio = b > 0 ? f / b : 0;
    return {figure, format("%.2f", ratio), format("<= %.1f", RATIO_MAX),
            ratio <= RATIO_MAX ? "ok" : "MISSED",
            format("median %.1f us through the stack, %.1f us baseline "
                   "(%zu each); console stack to the minimal peer %.1f us, "
                   "raw exchange with vo62-sim %.1f us",
                   f, b, full.size(), c, m)};
}

// ---- 2., 3. Card image download -------------------------------------------

// Copies of the simulator's card image with "ds", over one connection.
struct Download {
    std::vector<double> ms; // one per copy
    long size = 0;
};

bool download_image(const SimProcess &sim, int copies, Download &d,
                    std::string &why) {
    return captured(
        [&](std::string &err) {
            Link to_sim;
            if (!to_sim.open_instrument(sim, err))
                return false;
            const std::string card_image = read_file(sim.card_dir() + "/raw");
            TempDir work;
            const std::string image = work.file("sd.img");
            for (int i = 0; i < copies; i++) {
                feed_stdin(image + "\n");
                char cmdline[] = "ds";
                auto t0 = Clock::now();
                int rc = V21_cmd_download_sd(cmdline, 0);
                d.ms.push_back(ms_since(t0));
                if (rc != 0) {
                    err = format("ds ended with %d", rc);
                    return false;
                }
                if (card_image.empty() || read_file(image) != card_image) {
                    err = "the downloaded image differs from the card's";
                    return false;
                }
            }
            d.size = long(card_image.size());
            return true;
        },
        why);
}

Row paced_download(const Scale &s) {
    const std::string figure =
        format("\"ds\" of a %ld KiB image at %d baud, efficiency",
               s.paced_image / 1024, PACED_BAUD);
    SimProcess sim({"--seed", "7", "--baud", std::to_string(PACED_BAUD),
                    "--image-size", std::to_string(s.paced_image)});
    if (!sim.started())
        return failed(figure, "vo62-sim did not start");
    Download d;
    std::string why;
    if (!download_image(sim, 1, d, why))
        return failed(figure, why);
    const auto reads = bench::image_reads(d.size, READ_CHUNK);
    const double limit_ms = bench::line_ms(reads.line_bytes, PACED_BAUD);
    const double ms = d.ms.front();
    const double eff = limit_ms / ms;
    return {figure, format("%.3f", eff), format(">= %.2f", EFFICIENCY_MIN),
            eff >= EFFICIENCY_MIN ? "ok" : "MISSED",
            format("%.2f s for %ld reads; the line needs %.2f s "
                   "(%.2f ms a read)",
                   ms / 1000, reads.reads, limit_ms / 1000,
                   limit_ms / double(reads.reads))};
}

Row unpaced_download(const Scale &s) {
    const std::string figure =
        format("\"ds\" of the %ld KiB image, unpaced", s.unpaced_image / 1024);
    SimProcess sim(
        {"--seed", "7", "--image-size", std::to_string(s.unpaced_image)});
    if (!sim.started())
        return failed(figure, "vo62-sim did not start");
    Download d;
    std::string why;
    if (!download_image(sim, s.unpaced_copies, d, why))
        return failed(figure, why);
    const auto reads = bench::image_reads(d.size, READ_CHUNK);
    const double ms = bench::median(d.ms);
    const double rate = double(reads.reads) * 1000 / ms;
    const auto [fastest, slowest] =
        std::minmax_element(d.ms.begin(), d.ms.end());
    return {figure, format("%.0f reads/s", rate), "-", "-",
            format("median of %d copies: %.3f s for %ld reads, %.1f MiB/s "
                   "(copies from %.0f to %.0f reads/s)",
                   s.unpaced_copies, ms / 1000, reads.reads,
                   double(d.size) / (1 << 20) / (ms / 1000),
                   double(reads.reads) * 1000 / *slowest,
                   double(reads.reads) * 1000 / *fastest)};
}

// ---- 4. Download order
// -------------------------------------------------------

Row log_order(const Scale &s) {
    const std::string figure = "order of a 65,536-slot log";
    const auto table = full_log(false);
    std::vector<double> runs;
    size_t order_size = 0;
    for (int i = 0; i < s.order_runs; i++) {
        auto t0 = Clock::now();
        auto order = meas_log_download_order(table.data(), FULL_LOG);
        runs.push_back(ms_since(t0));
        order_size = order.size();
    }
    const double ms = bench::median(runs);
    return {figure, format("%.2f ms", ms), format("< %.0f ms", ORDER_MAX_MS),
            ms < ORDER_MAX_MS ? "ok" : "MISSED",
            format("median of %d runs, %zu slots ordered (random keys, "
                   "repeats, top bit set)",
                   s.order_runs, order_size)};
}

// ---- 5. Memory during "ml" -----------------------------------------------

Row meas_log_memory() {
    const std::string figure = "peak resident memory of the console, \"ml\"";
    SimProcess sim({"--seed", "7"});
    if (!sim.started())
        return failed(figure, "vo62-sim did not start");
    const std::string console = console_binary_path();
    if (console.empty())
        return failed(figure, "the console is not built");
    TempDir work;
    ChildProcess con({console}, sim.env(), true, work.path());
    // Enter at the connection type and at the device: the simulator.
    con.send("\n\n");
    if (!con.wait_output("\n>", CONSOLE_STEP_MS)) {
        ProcessResult r = con.finish(CONSOLE_END_MS);
        fprintf(stderr, "--- console output:\n%s\n", r.out.c_str());
        return failed(figure, "the console did not connect");
    }
    const long connected_kib = bench::peak_rss_kib(con.pid());
    // Every file written: summary, raw samples, notes and aux data.
    con.send("ml\ny\ny\ny\ny\n");
    const bool done =
        con.wait_output("Num downloaded records:", CONSOLE_STEP_MS);
    const long peak_kib = bench::peak_rss_kib(con.pid());
    con.send("q\n");
    ProcessResult r = con.finish(CONSOLE_END_MS);
    if (!done || peak_kib < 0 || r.exit_code != 0) {
        fprintf(stderr, "--- console output:\n%s\n", r.out.c_str());
        return failed(figure, "\"ml\" did not complete");
    }
    const double mib = double(peak_kib) / 1024;
    const auto at = r.out.find("Num downloaded records:");
    const int records =
        atoi(r.out.c_str() + at + strlen("Num downloaded records:"));
    return {figure, format("%.1f MiB", mib), format("< %.0f MiB", PEAK_MAX_MIB),
            mib < PEAK_MAX_MIB ? "ok" : "MISSED",
            format("%d records with notes, raw samples and aux data; "
                   "%.1f MiB once connected",
                   records, double(connected_kib) / 1024)};
}

// ---- 6. The command line against the console ----------------------------

Row cli_download(const Scale &s) {
    const std::string figure =
        "\"card download --chunk seed\" against \"ds\", wall time";
    SimProcess sim(
        {"--seed", "7", "--image-size", std::to_string(s.unpaced_image)});
    if (!sim.started())
        return failed(figure, "vo62-sim did not start");
    const std::string console = console_binary_path();
    const std::string raw = read_file(sim.card_dir() + "/raw");
    TempDir work;
    std::vector<double> cli_ms, console_ms;
    for (int i = 0; i < s.cli_runs; i++) {
        // Alternate which goes first.
        for (int k = 0; k < 2; k++) {
            const bool cli = (i + k) % 2 == 0;
            const std::string file = work.file(cli ? "img.bin" : "sd.img");
            const auto t0 = Clock::now();
            ProcessResult r =
                cli ? run_process({console, "-p", "auto", "card", "download",
                                   file, "--chunk", "seed"},
                                  "", sim.env(), CONSOLE_STEP_MS)
                    : run_process({console}, "\n\nds\n" + file + "\nq\n",
                                  sim.env(), CONSOLE_STEP_MS);
            const double ms = ms_since(t0);
            if (r.exit_code != 0 || read_file(file) != raw) {
                fprintf(stderr, "--- %s:\n%s%s\n",
                        cli ? "command line" : "console", r.out.c_str(),
                        r.err.c_str());
                return failed(figure, "a copy is not the card's image");
            }
            (cli ? cli_ms : console_ms).push_back(ms);
        }
    }
    const double c = bench::median(cli_ms), d = bench::median(console_ms);
    const double ratio = c / d;
    return {figure, format("%.3f", ratio), format("<= %.2f", CLI_RATIO_MAX),
            ratio <= CLI_RATIO_MAX ? "ok" : "MISSED",
            format("medians of %d runs each: %.0f ms against %.0f ms, a "
                   "%.0f KiB image, identical",
                   s.cli_runs, c, d, double(s.unpaced_image) / 1024)};
}

// A full "ml", a first and a second "log sync" of a generated full log.
std::vector<Row> log_sync_rows(const Scale &s) {
    const char *figures[] = {"full \"ml\" of a full log, unpaced",
                             "first \"log sync\", unpaced",
                             "second \"log sync\" after 10 new records"};
    auto fail_all = [&](const std::string &why) {
        std::vector<Row> rows;
        for (const char *f : figures)
            rows.push_back(failed(f, why));
        return rows;
    };
    TempDir work;
    const std::string trace = work.file("sim.trace");
    SimProcess sim({"--generate-log", std::to_string(s.log_slots),
                    "--measure-ms", std::to_string(SYNC_MEASURE_MS), "--trace",
                    trace});
    if (!sim.started())
        return fail_all("vo62-sim did not start");
    const std::string console = console_binary_path();
    size_t mark = 0;
    bench::traffic_since(trace, &mark);
    struct Run {
        double ms;
        bench::Traffic t;
    } runs[3];
    auto timed = [&](const std::vector<std::string> &argv,
                     const std::string &input) {
        const auto t0 = Clock::now();
        ProcessResult r = run_process(argv, input, sim.env(), SYNC_RUN_MS,
                                      false, work.path());
        const double ms = ms_since(t0);
        if (r.exit_code != 0)
            fprintf(stderr, "--- %s:\n%s\n", argv.back().c_str(),
                    r.err.c_str());
        return r.exit_code == 0 ? ms : -1;
    };
    runs[0].ms = timed({console}, "\n\nml\ny\nn\nn\nn\nq\n");
    runs[0].t = bench::traffic_since(trace, &mark);
    runs[1].ms = timed({console, "log", "sync", "S"}, "");
    runs[1].t = bench::traffic_since(trace, &mark);
    // The first sync's summary is the full download's.
    const std::string ml_file = read_file(work.file("kappa_XXXX/kappa.dat"));
    const bool same =
        !ml_file.empty() && read_file(work.file("S/kappa.dat")) == ml_file;
    for (int i = 0; i < SYNC_NEW_RECORDS; i++)
        if (timed({console, "measure"}, "") < 0)
            return fail_all("a measurement failed");
    bench::traffic_since(trace, &mark);
    runs[2].ms = timed({console, "log", "sync", "S"}, "");
    runs[2].t = bench::traffic_since(trace, &mark);
    for (const Run &r : runs)
        if (r.ms < 0)
            return fail_all("a download failed");

    const double full_line = bench::line_ms(runs[0].t.bytes, PACED_BAUD);
    std::vector<Row> rows;
    for (int i = 0; i < 3; i++) {
        const Run &r = runs[i];
        const double line = bench::line_ms(r.t.bytes, PACED_BAUD);
        std::string measured =
            format("%.1f s, %ld requests", r.ms / 1000, r.t.requests);
        std::string note =
            format("%ld of them entry table and reads; %ld bytes on the "
                   "line, %.1f h at %d baud",
                   r.t.log_requests, r.t.bytes, line / 3600000, PACED_BAUD);
        if (i < 2) {
            rows.push_back({figures[i], measured, "-", same ? "-" : "FAILED",
                            note + format(", %d slots%s", s.log_slots,
                                          same ? ", kappa.dat identical"
                                               : ", kappa.dat DIFFERS")});
            continue;
        }
        const long allowed = s.log_slots / ENTRIES_PER_REQUEST +
                             SYNC_NEW_RECORDS * READS_PER_RECORD;
        const double share = line / full_line;
        rows.push_back(
            {figures[i],
             format("%ld log requests, %.4f of the line time", r.t.log_requests,
                    share),
             format("<= %ld, < %.2f", allowed, SYNC_LINE_SHARE_MAX),
             r.t.log_requests <= allowed && share < SYNC_LINE_SHARE_MAX
                 ? "ok"
                 : "MISSED",
             format("%.2f s, %ld requests in all; %ld bytes, %.1f s at %d "
                    "baud; one read of them checks the newest known record",
                    r.ms / 1000, r.t.requests, r.t.bytes, line / 1000,
                    PACED_BAUD)});
    }
    return rows;
}

void usage(const char *self) {
    fprintf(stderr,
            "usage: %s [--smoke] [--only FIGURE]...\n"
            "FIGURE: round-trip, paced, unpaced, order, memory, cli, sync, "
            "export, bulk (bulk-serial, bulk-usb, bulk-bt)\n",
            self);
}

} // namespace

int main(int argc, char **argv) {
    bool smoke = false;
    std::vector<std::string> only;
    std::vector<std::string> names = {"round-trip", "paced",  "unpaced",
                                      "order",      "memory", "cli",
                                      "sync",       "export", "bulk"};
    for (const std::string &link : bulk_link_names())
        names.push_back(link);
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--smoke") == 0) {
            smoke = true;
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
                   std::find(names.begin(), names.end(), argv[i + 1]) !=
                       names.end()) {
            only.push_back(argv[++i]);
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    auto wanted = [&](const char *name) {
        return only.empty() ||
               std::find(only.begin(), only.end(), name) != only.end();
    };
    if (sim_binary_path().empty() || console_binary_path().empty()) {
        fprintf(stderr, "ra62_bench needs vo62-sim and the console built\n");
        return 1;
    }
    const Scale &s = smoke ? SMOKE : FULL;
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    // Its answer only tells whether the device watcher runs, which the
    // figures do not need; a library that did not start fails them.
    MXX_init(nullptr, MXX_event_device_list_changed, nullptr);

    std::vector<Row> rows;
    if (wanted("round-trip"))
        rows.push_back(round_trip(s));
    if (wanted("paced"))
        rows.push_back(paced_download(s));
    if (wanted("unpaced"))
        rows.push_back(unpaced_download(s));
    if (wanted("order"))
        rows.push_back(log_order(s));
    if (wanted("memory"))
        rows.push_back(meas_log_memory());
    if (wanted("cli"))
        rows.push_back(cli_download(s));
    if (wanted("sync"))
        for (Row &r : log_sync_rows(s))
            rows.push_back(r);
    if (wanted("export"))
        for (const Row &r :
             export_figures(smoke ? EXPORT_SMOKE_RECORDS : EXPORT_FULL_RECORDS))
            rows.push_back(r);
    for (const std::string &link : bulk_link_names())
        if (wanted("bulk") || (!only.empty() && wanted(link.c_str())))
            for (const Row &r : bulk_figures(link, smoke))
                rows.push_back(r);
    MXX_shut();

    bench::print_table(rows);
    bool all = std::none_of(rows.begin(), rows.end(),
                            [](const Row &r) { return r.verdict == "FAILED"; });
    return all ? 0 : 1;
}
