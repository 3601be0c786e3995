// Subcommands of remote measurement: one measurement, or a scan.
#include <chrono>
#include <functional>
#include <thread>

#include "cli.h"
#include "cli_platform.h"
#include "cmd_util.h"
#include "v21_ops.h"

namespace {

constexpr int STDIN_POLL_MS = 100; // how often a scan looks for its stop

// Remote operation leaves the instrument in these states; any other state
// found before (its own keys in charge) is put back afterwards.
bool remote_state(int32_t state) {
    return state == STATE_READY || state == int32_t(STATE_REMOTE) ||
           state == STATE_MEASURING || state == STATE_SCANNING;
}

nlohmann::json record_json(const meas_record &r) {
    return {{"type", record_type(r)},
            {"type_name", record_type_name(r)},
            {"meas_mode", r.meas_mode},
            {"susc", cli_float(r.susc)},
            {"susc_unit", susc_unit(r)},
            {"cond", cli_float(r.cond)},
            {"cond_unit", cond_unit(r)},
            {"meas_error", r.error},
            {"pin", r.pin},
            {"diameter", r.dia},
            {"counter", r.counter},
            {"samples", r.num_samples}};
}

// Runs a remote measurement or scan with the instrument's state read first
// and put back afterwards, whatever the outcome, unless it was in remote
// operation already.
int with_state_restored(const char *name, CliRun &run,
                        const std::function<int()> &body) {
    int32_t found = 0;
    int st = V21_op_get_state(&found, name);
    if (st != OP_OK)
        return st;
    st = body();
    if (remote_state(found))
        return st;
    // A stop request must not keep the instrument from being put back.
    const int restored = V21_op_set_state(found, name);
    if (restored != OP_OK)
        return st != OP_OK ? st : restored;
    run.json()["state_restored"] = found;
    return st;
}

int check_ms(int ms) {
    if (ms <= 0)
        return cli_fail(OP_USAGE, "--ms %d is not above 0", ms);
    return OP_OK;
}

// Waits until ms have passed (ms > 0), or else until a line or the end of
// standard input, or Ctrl-C.
void wait_scan_end(int ms) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (op_stop_requested())
            return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
        if (ms > 0) {
            if (elapsed >= ms)
                return;
            std::this_thread::sleep_for(
                std::chrono::milliseconds(STDIN_POLL_MS));
            continue;
        }
        if (cli_wait_input(STDIN_POLL_MS))
            return; // a line, or the end of the input
    }
}

struct MeasureArgs {
    std::string samples;
    int ms = WAIT_STATE_LIMIT_MS;
};

} // namespace

void cli_add_remote(CLI::App &app, CliCommands &cmds) {
    auto m = std::make_shared<MeasureArgs>();
    CliCommand &measure = cmds.add(
        app, "measure", "Trigger one measurement and print its result");
    measure.app
        ->add_option("--samples", m->samples,
                     "Also write the measurement's samples to FILE")
        ->type_name("FILE");
    measure.app
        ->add_option("--ms", m->ms,
                     "Longest wait in ms for the measurement to end")
        ->type_name("MS")
        ->capture_default_str();
    measure.check = [m]() -> int { return check_ms(m->ms); };
    measure.run = [m](CliRun &run) -> int {
        constexpr const char *name = "V21_cmd_measure";
        meas_record rec;
        const int st = with_state_restored(name, run, [&]() -> int {
            V21_remote_before before;
            int s = V21_op_remote_start(false, name, &before);
            if (s == OP_OK)
                s = V21_op_remote_event(false, name);
            bool timed_out = false;
            if (s == OP_OK)
                s = V21_op_remote_result(false, before, &rec, name, m->ms,
                                         no_progress(), &timed_out);
            if (timed_out) {
                // The measurement still runs: it is cancelled.
                V21_op_remote_event(true, name);
                return cli_fail(OP_FAILED,
                                "the measurement did not finish within %d ms "
                                "(--ms); it was cancelled",
                                m->ms);
            }
            return s;
        });
        if (st != OP_OK)
            return st;
        if (!m->samples.empty() && save_meas(m->samples.c_str(), &rec) != 0)
            return OP_LOCAL_FILE;
        run.say("susc %.3f %s  cond %.1f %s  error %d  [%d/%d]\n",
                double(rec.susc), susc_unit(rec), double(rec.cond),
                cond_unit(rec), rec.error, rec.counter, rec.num_samples);
        const nlohmann::json restored = run.json()["state_restored"];
        run.json() = record_json(rec);
        if (!restored.is_null())
            run.json()["state_restored"] = restored;
        if (!m->samples.empty())
            run.json()["file"] = m->samples;
        return OP_OK;
    };

    auto scan_ms = std::make_shared<int>(0);
    CliCommand &scan = cmds.add(
        app, "scan",
        "Run the scanner until --ms have passed, or until Enter, the end "
        "of the input or Ctrl-C; then print the samples");
    scan.app->add_option("--ms", *scan_ms, "How long to scan, in ms")
        ->type_name("MS");
    scan.check = [scan_ms]() -> int {
        return *scan_ms == 0 ? int(OP_OK) : check_ms(*scan_ms);
    };
    scan.run = [scan_ms](CliRun &run) -> int {
        constexpr const char *name = "V21_cmd_scanner";
        meas_record rec;
        const int st = with_state_restored(name, run, [&]() -> int {
            V21_remote_before before;
            int s = V21_op_remote_start(true, name, &before);
            if (s != OP_OK)
                return s;
            wait_scan_end(*scan_ms);
            // Ctrl-C is how a scan may end: it stops the scan, not the
            // program.
            op_clear_stop();
            s = V21_op_remote_event(true, name);
            if (s == OP_OK)
                s = V21_op_remote_result(true, before, &rec, name,
                                         WAIT_STATE_LIMIT_MS, no_progress());
            return s;
        });
        if (st != OP_OK)
            return st;
        nlohmann::json samples = nlohmann::json::array();
        const int n = record_sample_count(rec);
        for (int i = 0; i < n; i++) {
            run.say("%8.3f %6.1f%s\n", double(rec.susc_samples[i]),
                    double(rec.cond_samples[i]),
                    sample_marked(rec, i) ? " marked" : "");
            samples.push_back({{"susc", cli_float(rec.susc_samples[i])},
                               {"cond", cli_float(rec.cond_samples[i])},
                               {"marked", sample_marked(rec, i)}});
        }
        run.json()["susc_unit"] = susc_unit(rec);
        run.json()["cond_unit"] = cond_unit(rec);
        run.json()["samples"] = samples;
        return OP_OK;
    };
}
