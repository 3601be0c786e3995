// Piece sizes of the file transfers: the interactive sizes of the console,
// bulk sizes up to what a request carries, and the fall-back from bulk to
// interactive when the instrument does not serve a bulk piece.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "libcomm.h"
#include "mxx_comm.h"
#include "v21_comm.h"
#include "v21_ops.h"

namespace {

// Text of a request that was not served, for the fall-back's report.
std::string describe(const char *format, ...) COMM_PRINTF(1, 2);
std::string describe(const char *format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

} // namespace

V21_Chunks::V21_Chunks(uint32_t read, uint32_t append)
    : read_(std::min<uint32_t>(read, V21_READ_MAX)),
      append_(std::min<uint32_t>(append, V21_WRITE_MAX)) {}

uint32_t V21_Chunks::read_size(uint32_t interactive) const {
    return reduced_ || read_ == 0 ? interactive : read_;
}

uint32_t V21_Chunks::append_size(uint32_t interactive) const {
    return reduced_ || append_ == 0 ? interactive : append_;
}

void V21_Chunks::reduce(const std::string &why) {
    if (reduced_)
        return;
    reduced_ = true;
    if (on_reduced)
        on_reduced(why, user);
}

int V21_read_piece(int id, const char *device_file, unsigned char *buf,
                   uint32_t offset, uint32_t size, uint32_t interactive,
                   V21_Chunks *chunks, uint32_t *count) {
    *count = 0;
    const uint32_t want = chunks ? chunks->read_size(interactive) : interactive;
    int rc = V21_Read_File(id, device_file, buf, offset, want, count, 1);
    // Only a piece larger than the console's can be what the instrument
    // does not serve; anything else is answered as it has always been.
    if (want <= interactive)
        return rc;
    std::string why;
    if (rc == MXX_FAILED)
        why = describe("a read of %u bytes at offset %u of %s was refused",
                       want, offset, device_file);
    else if (rc == MXX_OK && *count == 0 && offset < size)
        why = describe("a read of %u bytes at offset %u of %s gave 0 of its "
                       "%u bytes",
                       want, offset, device_file, size);
    else if (rc == MXX_OK && *count < want && offset < size &&
             *count < size - offset)
        why = describe("a read of %u bytes at offset %u of %s gave %u", want,
                       offset, device_file, *count);
    if (why.empty())
        return rc;
    chunks->reduce(why);
    // What a short read brought is taken as it came.
    if (rc == MXX_OK && *count > 0)
        return rc;
    return V21_Read_File(id, device_file, buf, offset, interactive, count, 1);
}
