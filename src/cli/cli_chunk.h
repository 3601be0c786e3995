// The piece sizes of the command line's transfers: the option --chunk of
// "card download", "card upload", "log download" and "log sync", and the
// line and JSON key that tell when the instrument made them fall back.
#ifndef CLI_CHUNK_H
#define CLI_CHUNK_H

#include <string>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "v21_ops.h"

// Most bytes --chunk takes: what one append carries (a read carries at most
// V21_READ_MAX of them).
constexpr unsigned CLI_CHUNK_MAX = V21_WRITE_MAX;

// --chunk as given: empty for the bulk sizes (the most a request carries),
// "seed" for the console's sizes, or a number of bytes.
struct CliChunk {
    std::string text;
    V21_Chunks sizes = V21_Chunks::bulk(); // what check made of text
};

// Adds --chunk to a transfer's subcommand.
void cli_add_chunk(CLI::App &command, CliChunk &chunk);
// Reads --chunk before anything is sent: OP_OK, or OP_USAGE after one line
// naming it.
int cli_check_chunk(CliChunk &chunk);
// The sizes of the run: a fall-back is told once on standard error (not
// with -q) when it happens, and as "sizes_reduced" in the JSON result.
V21_Chunks *cli_chunks(CliRun &run, CliChunk &chunk);

#endif
