// --chunk: the piece sizes of the transfers, and the report of a fall-back
// to the console's sizes.
#include "cli_chunk.h"

#include <cerrno>
#include <cstdlib>

#include "libcomm.h"

namespace {

constexpr char CHUNK_SEED[] = "seed";

// Told when the instrument did not serve a bulk piece (once a run).
void report_reduced(const std::string &why, void *user) {
    CliRun &run = *static_cast<CliRun *>(user);
    run.json()["sizes_reduced"] = true;
    if (!run.options().quiet)
        log_error("ra62d2ide: %s; the rest goes at the console's piece "
                  "sizes\n",
                  why.c_str());
}

} // namespace

void cli_add_chunk(CLI::App &command, CliChunk &chunk) {
    command
        .add_option("--chunk", chunk.text,
                    "Bytes a read asks for and an append carries, 1 to 4056 "
                    "(reads at most 3996); default: as many as a request "
                    "carries; seed: the console's sizes")
        ->type_name("N|seed");
}

int cli_check_chunk(CliChunk &chunk) {
    if (chunk.text.empty()) {
        chunk.sizes = V21_Chunks::bulk();
        return OP_OK;
    }
    if (chunk.text == CHUNK_SEED) {
        chunk.sizes = V21_Chunks();
        return OP_OK;
    }
    const char *text = chunk.text.c_str();
    char *end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != 0 || errno != 0 || n < 1 ||
        n > CLI_CHUNK_MAX)
        return cli_fail(OP_USAGE,
                        "--chunk takes a number of bytes from 1 to %u, or "
                        "seed, not '%s'",
                        CLI_CHUNK_MAX, text);
    chunk.sizes = V21_Chunks(uint32_t(n), uint32_t(n));
    return OP_OK;
}

V21_Chunks *cli_chunks(CliRun &run, CliChunk &chunk) {
    chunk.sizes.on_reduced = report_reduced;
    chunk.sizes.user = &run;
    run.json()["sizes_reduced"] = false;
    return &chunk.sizes;
}
