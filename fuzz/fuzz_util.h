// Helpers shared by the fuzz targets: console output into nothing, console
// input at its end, and a check that stops the run on a broken promise.
#ifndef FUZZ_UTIL_H
#define FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>

#include "log_sink.h"

// A promise of the code under test did not hold: a finding.
#define FUZZ_CHECK(cond)                                                       \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,   \
                    #cond);                                                    \
            abort();                                                           \
        }                                                                      \
    } while (0)

// Sends every log line into /dev/null (printing would slow the run down to
// the speed of the terminal) and makes standard input end at once, so every
// prompt keeps its default. Called once, from LLVMFuzzerInitialize.
inline FILE *fuzz_quiet_console() {
    static FILE *null_out = fopen("/dev/null", "w");
    if (null_out == nullptr)
        abort();
    log_set_streams(null_out, null_out);
    if (freopen("/dev/null", "r", stdin) == nullptr)
        abort();
    return null_out;
}

#endif
