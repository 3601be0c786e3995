// Redirection of the console output, for tests: the log functions write to
// these streams instead of stdout and stderr. Null restores the default.
#ifndef LIBCOMM_LOG_SINK_H
#define LIBCOMM_LOG_SINK_H

#include <cstdio>
#include <string>

void log_set_streams(FILE *out, FILE *err);

// A filter of error output: called with the text of each log_error() call
// before it is written, under the log's lock (so never twice at once), it
// may change the text or empty it. The command line uses it to keep blank
// lines out and to repeat the failure's message in its JSON. Null removes
// it.
using log_error_filter = void (*)(std::string &text);
void log_set_error_filter(log_error_filter filter);

#endif
