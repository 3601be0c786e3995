// device/: what the instrument can be asked, as operations that take their
// answers as arguments and ask nothing: the request sets and operations
// every device of the family answers (generic/, m17_*), the instrument's own
// (vo62/, v21_*), and here what they share: op_status and progress (ops),
// the session with the connected instrument (session), the connection check,
// the command error line and local files (cmd_util). It uses link/, base/
// and libcomm/include/; generic/ never uses vo62/.
//
// What every operation shares: its result, the progress interface through
// which transfers report, the narration of the interactive console, and the
// request to stop a transfer (Ctrl-C on the command line).
//
// An operation is a function that takes its answers as arguments, asks
// nothing and returns an op_status. The console's command handlers ask their
// questions and call it; the command line calls the same function.
#ifndef OPS_H
#define OPS_H

#include <cstdarg>
#include <cstdint>
#include <string>

#include "libcomm.h"

// The result of an operation; also the command line's exit status.
enum op_status : int {
    OP_OK = 0,
    OP_FAILED = 1,     // the instrument refused, or a transfer failed
    OP_USAGE = 2,      // an argument the operation cannot take
    OP_NO_DEVICE = 3,  // no instrument, or the connection failed
    OP_LOCAL_FILE = 4, // a local file could not be read, written or used
    OP_INTERRUPTED = 130,
};

// The unit of a progress count.
enum class ProgressUnit { bytes, records, blocks, slots, files };

// Progress of one transfer: begin with the expected total (0 when unknown),
// advance by what was done since, end once (also after a failure). A
// transfer of several phases begins and ends each.
class Progress {
  public:
    virtual ~Progress() = default;
    virtual void begin(uint64_t total, ProgressUnit unit) = 0;
    virtual void advance(uint64_t n) = 0;
    virtual void end() = 0;
};

// A sink that shows nothing.
Progress &no_progress();

// Ends a phase when it goes out of scope, on every path.
class ProgressPhase {
  public:
    ProgressPhase(Progress &p, uint64_t total, ProgressUnit unit) : p_(p) {
        p_.begin(total, unit);
    }
    ~ProgressPhase() { p_.end(); }
    ProgressPhase(const ProgressPhase &) = delete;
    ProgressPhase &operator=(const ProgressPhase &) = delete;
    void advance(uint64_t n) { p_.advance(n); }

  private:
    Progress &p_;
};

// The narration of the interactive console: what an operation prints while
// it works (headers, dots of a narrated line, "Ok."). The command line
// turns it off and prints results of its own.
void op_text(const char *format, ...) COMM_PRINTF(1, 2);
// The text a printf format and its arguments make, of any length.
std::string op_vformat(const char *format, va_list args);
// Narration of the event thread (live data), handed to the event sink.
void op_event_text(const char *format, ...) COMM_PRINTF(1, 2);
// Where op_event_text's text goes: by default printed as narration; the
// console installs a sink that prints it above a line being typed at its
// prompt, which is drawn again below it. Null restores the default.
void op_set_event_sink(void (*sink)(const char *text));
// A failure the console prints among its narration (on standard output);
// on the command line it goes to standard error.
void op_text_error(const char *format, ...) COMM_PRINTF(1, 2);
void op_set_narration(bool on);
bool op_narration();

// A local file that could not be used, with the system's reason (an errno
// value, 0 for none): what is "read" or "write", and the path. The console
// prints its own texts ("Error writing file:NAME!"), so there is no sink
// by default and op_file_failure answers false: the caller prints its text.
// The command line installs a sink that prints one line with the reason;
// op_file_failure then answers true and the caller prints nothing.
bool op_file_failure(const char *what, const char *path, int err);
void op_set_file_failure_sink(void (*sink)(const char *what, const char *path,
                                           int err));

// A request to stop the running transfer at the next request boundary. Set
// from a signal handler; cleared before each operation.
void op_request_stop();
void op_clear_stop();
bool op_stop_requested();

#endif
