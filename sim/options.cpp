#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace vo62sim {

namespace {

bool to_u64(const std::string &s, uint64_t max, uint64_t &v) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || x > max)
        return false;
    v = x;
    return true;
}

} // namespace

const char *usage_text() {
    return "usage: vo62-sim [options]\n"
           "  --card DIR          storage card directory (default: a fresh "
           "temporary one)\n"
           "  --serial S          serial number, 8 characters (default: the "
           "stored one, else A000XXXX)\n"
           "  --seed N            seed of the demo log and of random faults\n"
           "  --tcp PORT          also listen on 127.0.0.1:PORT (0: any free "
           "port)\n"
           "  --image-size BYTES  size of the card image \"raw\" when it is "
           "made (default 1048576)\n"
           "  --block-size N      block size the erase request answers "
           "(default 4096;\n"
           "                      none: an empty reply, 64-byte blocks)\n"
           "  --baud N            pace both directions like a serial line "
           "of N baud\n"
           "  --latency-ms N      hold every reply N ms, in order, as a USB "
           "or Bluetooth\n"
           "                      round trip does (0 to 10000; combines with "
           "--baud)\n"
           "  --max-read N        answer reads with at most N bytes (1 to "
           "3996), as an\n"
           "                      older instrument\n"
           "  --max-append N      refuse appends of more than N bytes (1 to "
           "4056), as an\n"
           "                      older instrument\n"
           "  --fault SPEC        inject a fault (repeatable; see "
           "vo62-sim(1))\n"
           "  --measure-ms N      length of a remote measurement (default "
           "1200)\n"
           "  --scan-ms N         interval of scanner samples (default 100)\n"
           "  --no-demo-log       leave a new card's log empty\n"
           "  --generate-log N    give a new card a log of N records that "
           "fill its\n"
           "                      N slots (1 to 65536) instead of the demo "
           "log\n"
           "  --trace FILE        append one line per request to FILE\n"
           "  --version           print the version\n"
           "  --help              this text\n";
}

int parse_options(int argc, const char *const *argv, Options &o,
                  std::string &err) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string v;
        size_t eq = a.find('=');
        bool inline_value = a.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_value) {
            v = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        auto value = [&]() -> bool {
            if (inline_value)
                return true;
            if (i + 1 >= argc) {
                err = a + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        uint64_t n = 0;
        if (a == "--help" || a == "-h") {
            err = usage_text();
            return 1;
        } else if (a == "--version") {
            err = "vo62-sim " VO62_SIM_VERSION "\n";
            return 1;
        } else if (a == "--no-demo-log") {
            o.demo_log = false;
        } else if (a == "--generate-log") {
            if (!value())
                return -1;
            if (!to_u64(v, kMaxLogSlots, n) || n < 1) {
                err = "--generate-log needs a number of records from 1 to "
                      "65536";
                return -1;
            }
            o.generate_log = static_cast<int>(n);
        } else if (a == "--card") {
            if (!value())
                return -1;
            if (v.empty()) {
                err = "--card needs a directory";
                return -1;
            }
            o.card = v;
        } else if (a == "--serial") {
            if (!value())
                return -1;
            bool ok = v.size() == 8;
            for (char c : v)
                ok = ok && c > 0x20 && c < 0x7F;
            if (!ok) {
                err = "--serial needs 8 printable characters";
                return -1;
            }
            o.serial = v;
        } else if (a == "--seed") {
            if (!value())
                return -1;
            if (!to_u64(v, UINT64_MAX, o.seed)) {
                err = "--seed needs a non-negative number";
                return -1;
            }
            o.seed_given = true;
        } else if (a == "--tcp") {
            if (!value())
                return -1;
            if (!to_u64(v, 65535, n)) {
                err = "--tcp needs a port from 0 to 65535";
                return -1;
            }
            o.tcp_port = static_cast<int>(n);
        } else if (a == "--image-size") {
            if (!value())
                return -1;
            if (!to_u64(v, 0xFFFFFFFFull, o.image_size)) {
                err = "--image-size needs a size from 0 to 4294967295";
                return -1;
            }
        } else if (a == "--block-size") {
            if (!value())
                return -1;
            // "none": an instrument that reports no block size (an empty
            // erase reply) and takes 64-byte blocks.
            if (v == "none") {
                o.block_size = 0;
                o.report_block_size = false;
            } else if (!to_u64(v, 0xFFFFFFFFull, n)) {
                err = "--block-size needs a number from 0 to 4294967295, or "
                      "none";
                return -1;
            } else {
                o.block_size = static_cast<uint32_t>(n);
                o.report_block_size = true;
            }
        } else if (a == "--baud") {
            if (!value())
                return -1;
            if (!to_u64(v, 100000000, n) || n < 50) {
                err = "--baud needs a rate from 50 to 100000000";
                return -1;
            }
            o.baud = static_cast<uint32_t>(n);
        } else if (a == "--latency-ms") {
            if (!value())
                return -1;
            if (!to_u64(v, kMaxLatencyMs, n)) {
                err = "--latency-ms needs a number of milliseconds from 0 to "
                      "10000";
                return -1;
            }
            o.latency_ms = static_cast<int>(n);
        } else if (a == "--max-read" || a == "--max-append") {
            const std::string name = a;
            const uint64_t limit =
                name == "--max-read" ? kReadLimit : kAppendLimit;
            if (!value())
                return -1;
            if (!to_u64(v, limit, n) || n < 1) {
                err = name + " needs a number of bytes from 1 to " +
                      std::to_string(limit);
                return -1;
            }
            (name == "--max-read" ? o.max_read : o.max_append) =
                static_cast<uint32_t>(n);
        } else if (a == "--fault") {
            if (!value())
                return -1;
            FaultSpec f;
            if (!parse_fault(v, f, err))
                return -1;
            o.faults.push_back(f);
        } else if (a == "--measure-ms" || a == "--scan-ms") {
            std::string name = a;
            if (!value())
                return -1;
            if (!to_u64(v, 600000, n) || n < 1) {
                err = name + " needs a number of milliseconds from 1 to 600000";
                return -1;
            }
            (name == "--measure-ms" ? o.measure_ms : o.scan_sample_ms) =
                static_cast<int>(n);
        } else if (a == "--trace") {
            if (!value())
                return -1;
            o.trace = v;
        } else {
            err = "unknown option '" + std::string(argv[i]) + "'";
            return -1;
        }
    }
    return 0;
}

} // namespace vo62sim
