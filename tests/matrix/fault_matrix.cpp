// Prints the fault-injection matrix: every operation against every fault,
// each cell "ok", "failed cleanly" or "BAD". Exits 1 when a cell is BAD,
// 2 when the matrix cannot be run.
//
//   fault_matrix [--seed N] [--fault NAME]... [--op NAME]... [--verbose]
//                [--keep DIR] [--custom "SIMULATOR ARGUMENTS"]...
//                [--repeat N] [--bound SECONDS] [--image-size BYTES]
//
// A --custom row runs every operation with the given simulator arguments
// (for example "--fault cut:code=8211,skip=5") instead of the fixed faults,
// N times (--repeat), each cell within the bound (120 s unless --bound says
// otherwise). --image-size sets the size of the card image every cell
// starts from (65,536 bytes).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "matrix.h"

namespace {

constexpr uint64_t kDefaultSeed = 62;
constexpr int kRowTitle = 19;
constexpr int kColumn = 16;
constexpr int kCustomBoundS = 120;

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        size_t end = text.find(' ', at);
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

int usage() {
    fprintf(stderr,
            "usage: fault_matrix [--seed N] [--fault NAME]... [--op NAME]... "
            "[--verbose] [--keep DIR] [--custom \"SIMULATOR ARGUMENTS\"]... "
            "[--repeat N] [--bound SECONDS] [--image-size BYTES]\n"
            "faults:");
    for (matrix::Fault f : matrix::all_faults())
        fprintf(stderr, " %s", matrix::fault_name(f));
    fprintf(stderr, "\noperations:");
    for (matrix::Op op : matrix::all_ops())
        fprintf(stderr, " %s", matrix::op_name(op));
    fprintf(stderr, "\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    uint64_t seed = kDefaultSeed;
    bool verbose = false;
    std::string keep;
    std::vector<std::string> custom;
    std::vector<matrix::Fault> faults;
    std::vector<matrix::Op> ops;
    int repeat = 1, bound_s = kCustomBoundS;
    long image_size = 0;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--seed" && has_value) {
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--fault" && has_value) {
            matrix::Fault f;
            if (!matrix::parse_fault(argv[++i], &f))
                return usage();
            faults.push_back(f);
        } else if (a == "--op" && has_value) {
            matrix::Op op;
            if (!matrix::parse_op(argv[++i], &op))
                return usage();
            ops.push_back(op);
        } else if (a == "--custom" && has_value) {
            custom.push_back(argv[++i]);
        } else if (a == "--repeat" && has_value) {
            repeat = atoi(argv[++i]);
            if (repeat < 1)
                return usage();
        } else if (a == "--bound" && has_value) {
            bound_s = atoi(argv[++i]);
            if (bound_s < 1)
                return usage();
        } else if (a == "--image-size" && has_value) {
            image_size = atol(argv[++i]);
            if (image_size < 1)
                return usage();
        } else if (a == "--keep" && has_value) {
            keep = argv[++i];
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            return usage();
        }
    }
    if (faults.empty() && custom.empty())
        faults = matrix::all_faults();
    if (ops.empty())
        ops = matrix::all_ops();

    matrix::Matrix m(seed);
    if (!keep.empty())
        m.keep(keep);
    if (image_size > 0)
        m.set_image_size(image_size);
    if (!m.prepare()) {
        fprintf(stderr, "fault_matrix: %s\n", m.error().c_str());
        return 2;
    }
    printf("%-*s", kRowTitle, "fault \\ operation");
    for (matrix::Op op : ops)
        printf("%-*s", kColumn, matrix::op_title(op));
    printf("\n");
    fflush(stdout);

    int bad = 0;
    std::vector<std::string> notes;
    for (matrix::Fault f : faults) {
        printf("%-*s", kRowTitle, matrix::fault_title(f));
        fflush(stdout);
        for (matrix::Op op : ops) {
            if (!matrix::applies(f, op)) {
                printf("%-*s", kColumn, "-");
                continue;
            }
            matrix::CellResult r = m.run(f, op);
            printf("%-*s", kColumn, matrix::verdict_text(r.verdict));
            fflush(stdout);
            if (r.verdict == matrix::Verdict::Bad)
                bad++;
            if (verbose || r.verdict == matrix::Verdict::Bad) {
                char line[64];
                snprintf(line, sizeof line, "%.1f s of %d s", r.seconds,
                         r.bound_s);
                notes.push_back(std::string(matrix::fault_name(f)) + " x " +
                                matrix::op_name(op) + ": " +
                                matrix::verdict_text(r.verdict) + ", " + line +
                                (r.detail.empty() ? "" : ": " + r.detail));
            }
        }
        printf("\n");
    }
    for (int run = 0; run < repeat * static_cast<int>(custom.size()); run++) {
        const std::string &c = custom[static_cast<size_t>(run) % custom.size()];
        printf("%s\n%-*s", c.c_str(), kRowTitle, "");
        for (matrix::Op op : ops) {
            matrix::CellResult r = m.run(words(c), op, bound_s);
            printf("%-*s", kColumn, matrix::verdict_text(r.verdict));
            fflush(stdout);
            if (r.verdict == matrix::Verdict::Bad)
                bad++;
            if (verbose || r.verdict == matrix::Verdict::Bad)
                notes.push_back(c + " x " + matrix::op_name(op) + ": " +
                                matrix::verdict_text(r.verdict) + ": " +
                                r.detail);
        }
        printf("\n");
    }
    if (!notes.empty())
        printf("\n");
    for (const std::string &n : notes)
        printf("%s\n", n.c_str());
    return bad > 0 ? 1 : 0;
}
