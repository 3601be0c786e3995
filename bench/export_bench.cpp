// The export of a generated full log (see export_bench.h).
#include "export_bench.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "archive_builder.h"
#include "export_report.h"
#include "process.h"
#include "records.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::format;

// Targets.
constexpr double EXPORT_MAX_S = 10;
constexpr double EXPORT_MAX_MIB = 64;
constexpr double REPORT_MAX_MB = 20;
// The mix of the generated log: a series of 480 samples every 8th record,
// groups of 6, a reading in CGS every 16th, a core reading every 32nd.
constexpr int SERIES_EVERY = 8;
constexpr int GROUP_SIZE = 6;
constexpr int CGS_EVERY = 16;
constexpr int CORE_EVERY = 32;
// Bounds of the program's run.
constexpr int EXPORT_LIMIT_MS = 300000;
constexpr int POLL_MS = 5;

// A field log: positions walking across a few kilometres, values that
// drift, marks here and there.
std::vector<ArchiveEntry> generated_log(int records) {
    std::mt19937_64 rng(62);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<ArchiveEntry> out;
    out.reserve(size_t(records));
    double lat = 49.2, lon = 16.6, susc = 12, cond = 150;
    for (int i = 0; i < records; i++) {
        vo62sim::MeasRecord m;
        m.rec_no = 1000 + i;
        m.group_no = i / GROUP_SIZE;
        m.year = 2025;
        m.month = 1 + (i / 5000) % 12;
        m.day = 1 + (i / 200) % 28;
        m.hour = 6 + (i / 20) % 12;
        m.minute = i % 60;
        m.second = (i * 7) % 60;
        lat += u(rng) * 2e-4;
        lon += u(rng) * 3e-4;
        susc = std::fabs(susc + u(rng));
        cond = std::fabs(cond + u(rng) * 5);
        m.gps = {true, true, true, 9, lat, lon, 300 + i % 50};
        m.susc = float(susc);
        m.cond = float(cond);
        m.counter = i;
        m.kind = i % CGS_EVERY == 3 ? vo62sim::kFlagSuscCgs >> 24 : 0;
        if (i % CORE_EVERY == 5) {
            m.kind = vo62sim::kKindBoreholeCore;
            m.borehole.id = 3;
            m.borehole.desc = "BH-3";
            m.borehole.core_num = i / CORE_EVERY;
            m.borehole.core_length = 1;
            m.borehole.core_depth = float(i / CORE_EVERY);
        }
        m.susc_samples.assign(vo62sim::kMaxSamples, 0);
        m.cond_samples.assign(vo62sim::kMaxSamples, 0);
        m.marks.assign(vo62sim::kMaxSamples, false);
        if (i % SERIES_EVERY == 0) {
            m.type = vo62sim::kTypeSeries;
            m.num_samples = vo62sim::kMaxSamples;
            for (int k = 0; k < m.num_samples; k++) {
                const double w = std::sin(k * 0.05 + i) * 0.3 + u(rng) * 0.02;
                m.susc_samples[size_t(k)] = float(susc * (1 + w));
                m.cond_samples[size_t(k)] = float(cond * (1 - w / 2));
                m.marks[size_t(k)] = k % 41 == 7;
            }
        } else {
            m.num_samples = 8;
        }
        const vo62sim::Bytes b = vo62sim::encode_meas(m);
        char stem[16];
        snprintf(stem, sizeof stem, "%08u", uint32_t(m.rec_no));
        out.push_back({stem, m.rec_no, std::string(b.begin(), b.end())});
    }
    return out;
}

// Lays out the generated log as an archive in dir, in a child process: a
// child forked later starts with the parent's resident pages counted in its
// peak, so the bench itself never holds the records.
bool write_generated(const std::string &dir, int records) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(write_archive(dir, "A0001234", generated_log(records)) ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Runs argv in cwd to its end, its output into nothing: exit status (-1
// when it did not end by itself within the bound), wall time and peak
// resident memory as the kernel counts it for the child.
struct Measured {
    int status = -1;
    double ms = 0;
    long maxrss_kib = -1;
};
Measured run_measured(const std::vector<std::string> &argv,
                      const std::string &cwd) {
    Measured m;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr))
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        return m;
    int status = 0;
    rusage ru{};
    const auto deadline = t0 + std::chrono::milliseconds(EXPORT_LIMIT_MS);
    pid_t done;
    while ((done = wait4(pid, &status, WNOHANG, &ru)) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &ru);
            return m;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
    m.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (done == pid && WIFEXITED(status)) {
        m.status = WEXITSTATUS(status);
        m.maxrss_kib = ru.ru_maxrss;
    }
    return m;
}

} // namespace

std::vector<bench::Row> export_figures(int records) {
    const std::string what = format("export of a %d-record archive", records);
    auto failed = [&](const std::string &why) {
        return std::vector<bench::Row>{{what, "-", "-", "FAILED", why}};
    };
    TempDir work;
    if (!write_generated(work.file("L"), records))
        return failed("the archive could not be written");
    const Measured m =
        run_measured({console_binary_path(), "-q", "export", "L"}, work.path());
    if (m.status != 0)
        return failed(format("the export ended with status %d", m.status));
    std::error_code ec;
    const double report_mb = double(std::filesystem::file_size(
                                 work.file("L/export/report.html"), ec)) /
                             1e6;
    const double series_mb = double(std::filesystem::file_size(
                                 work.file("L/export/series.csv"), ec)) /
                             1e6;
    const double s = m.ms / 1000, mib = double(m.maxrss_kib) / 1024;
    const int series = (records + SERIES_EVERY - 1) / SERIES_EVERY;
    const std::string mix =
        format("%d series of 480 samples (%.0f MB of series.csv), the rest "
               "single readings with positions",
               series, series_mb);
    return {{what + ", wall time", format("%.2f s", s),
             format("< %.0f s", EXPORT_MAX_S),
             s < EXPORT_MAX_S ? "ok" : "MISSED", "every format; " + mix},
            {what + ", peak resident memory", format("%.1f MiB", mib),
             format("< %.0f MiB", EXPORT_MAX_MIB),
             mib < EXPORT_MAX_MIB ? "ok" : "MISSED",
             "ru_maxrss of the program"},
            {what + ", report.html", format("%.1f MB", report_mb),
             format("< %.0f MB", REPORT_MAX_MB),
             report_mb < REPORT_MAX_MB ? "ok" : "MISSED",
             format("%d series drawn, %d listed; %d of %d positions drawn",
                    std::min(series, REPORT_MAX_PLOTS),
                    std::max(series - REPORT_MAX_PLOTS, 0),
                    std::min(records - series, REPORT_MAX_POINTS),
                    records - series)}};
}
