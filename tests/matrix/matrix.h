// The fault-injection matrix: each operation of the console run end to end
// against vo62-sim under each injected fault, and judged against a run of
// the same operation without faults; and the command line's transfers, at
// their bulk piece sizes, whose fault-free runs must leave what the
// console's do.
//
// A cell is "ok" when the operation completed and left results (the
// simulator's card and state, the local files) byte-identical to the
// fault-free run; "failed cleanly" when it ended with one of the messages
// the operation gives for a failure and kept exactly what it promises to
// keep; "BAD" otherwise: a crash, a run longer than the cell's bound, an
// unexpected message, a failure without a message, or results that are
// neither.
#ifndef FAULT_MATRIX_H
#define FAULT_MATRIX_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace matrix {

enum class Fault {
    Corrupt,
    Drop,
    Retry,
    Fail,
    Silent,
    Cut,
    Paced,
    Late,
    Stall,
    StallGap,
    Busy,
    EraseLost
};
enum class Op {
    MeasLog,
    DownloadSd,
    UploadTar,
    Firmware,
    SetParams,
    SetLut,
    Measure,
    // The command line, bulk sizes: "log download", "card download", "card
    // upload" and "log sync".
    CliLog,
    CliImage,
    CliUpload,
    CliSync
};

const std::vector<Fault> &all_faults();
const std::vector<Op> &all_ops();
// Short names, as the command line takes them ("corrupt", "ml", ...).
const char *fault_name(Fault f);
const char *op_name(Op op);
// The row and column titles of the table.
const char *fault_title(Fault f);
const char *op_title(Op op);
bool parse_fault(const std::string &name, Fault *out);
bool parse_op(const std::string &name, Op *out);
// Whether a fault has a cell in an operation's column (a lost erase reply
// only in the firmware's).
bool applies(Fault f, Op op);

enum class Verdict { Ok, FailedCleanly, Bad };
const char *verdict_text(Verdict v);

struct CellResult {
    Verdict verdict = Verdict::Bad;
    std::string detail; // why, for a failure or a BAD cell
    double seconds = 0; // the console sessions, end to end
    int bound_s = 0;    // what the cell had
};

// Files under a directory: relative path to contents ("/" ends a
// directory's path).
using Snapshot = std::map<std::string, std::string>;

// What the console sessions of one cell left: their output, the card and
// the local files, and whether the instrument accepted a flash.
struct Outcome {
    std::string out, err; // of every console session
    std::string crash;    // why the run counts as crashed, if it does
    double seconds = 0;
    Snapshot card, work;
    bool flashed = false;     // the instrument accepted the flash request
    bool unconnected = false; // a session never identified the instrument
    int status = 0;           // the command line's exit status
};

// What the fault-free run of an operation left.
struct Baseline {
    Snapshot card, work;
    bool flashed = false;
};

// Judges one cell: the card every cell starts from, and the fault-free run
// (null while that run itself is judged).
CellResult judge(Op op, const Outcome &o, const Snapshot &start_card,
                 const Baseline *baseline);

class Matrix {
  public:
    // seed makes every random fault repeat.
    explicit Matrix(uint64_t seed);
    ~Matrix();
    Matrix(const Matrix &) = delete;
    Matrix &operator=(const Matrix &) = delete;

    // Prepares the card every cell starts from and the input files, and
    // runs the fault-free operations. False, with the reason in error().
    bool prepare();
    const std::string &error() const { return error_; }

    // Runs one operation under one fault and judges it.
    CellResult run(Fault fault, Op op);
    // The same under faults of one's own: simulator arguments such as
    // "--fault", "cut:code=8211,skip=5"; the cell's bound is given.
    CellResult run(const std::vector<std::string> &sim_args, Op op,
                   int bound_s);
    // Keeps each cell's card, files, simulator trace and console output in
    // dir/<fault>-<operation>/ (for looking into a cell).
    void keep(const std::string &dir) { keep_dir_ = dir; }
    // The size of the card image every cell starts from (before prepare).
    void set_image_size(long bytes) { image_size_ = bytes; }
    // The bound a cell must end within, in seconds.
    static int bound_s(Fault fault, Op op);

  private:
    Outcome execute(Op op, const std::vector<std::string> &sim_args,
                    int bound_ms, const std::string &label);
    CellResult finish(Op op, const Outcome &o, int bound_s) const;

    uint64_t seed_;
    long image_size_;
    std::string keep_dir_;
    std::string error_;
    std::unique_ptr<struct Dirs> dirs_;
    Snapshot template_card_;
    std::map<Op, Baseline> baselines_;
};

} // namespace matrix

#endif
