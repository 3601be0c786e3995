// Redirection of the console output, for tests: the log functions write to
// these streams instead of stdout and stderr. Null restores the default.
#ifndef LIBCOMM_LOG_SINK_H
#define LIBCOMM_LOG_SINK_H

#include <cstdio>

void log_set_streams(FILE *out, FILE *err);

#endif
