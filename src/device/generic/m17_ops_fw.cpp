// Firmware operations: building a container (QFW) from a raw image, copying
// its image into the instrument's external flash block by block, and
// starting the instrument's programming from that flash.
//
// A container is a 72-byte header followed by the image padded to a fixed
// size. The image is a sequence of 32-bit little-endian words; scrambling
// XORs word j with j*j*j*j (32-bit wrapping), so it is its own inverse.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include <sys/stat.h>

#include "cmd_util.h"
#include "libcomm.h"
#include "m17_comm.h"
#include "m17_ops.h"
#include "mxx_comm.h"
#include "session.h"
#include "wire.h"

namespace {

// Header layout.
constexpr size_t QFW_OFF_MAGIC = 0;
constexpr size_t QFW_OFF_NAME = 20;
constexpr size_t QFW_OFF_LENGTH = 40;
constexpr size_t QFW_OFF_TYPE = 44;
constexpr size_t QFW_OFF_VERSION = 48;
constexpr size_t QFW_OFF_RAW_SUM = 52;
constexpr size_t QFW_OFF_ENC_SUM = 56;
constexpr size_t QFW_OFF_DATE = 60;
constexpr size_t QFW_OFF_TIME = 64;
constexpr size_t QFW_OFF_FLAGS = 68;
constexpr size_t QFW_TEXT_FIELD = 20;
constexpr char QFW_MAGIC[] = "ZUVODEDE FIRMWARE";
constexpr uint32_t QFW_FLAG_SCRAMBLED = 1;

// Upload.
constexpr int BLOCK_WRITE_ATTEMPTS = 5;     // per block, in all
constexpr uint32_t DEFAULT_BLOCK_SIZE = 64; // when the erase answers 0
// The block index travels in 16 bits: more blocks would wrap to block 0.
constexpr uint32_t MAX_BLOCK_COUNT = 65536;
constexpr unsigned char ERASED_BYTE = 0xFF; // fill beyond a short image

constexpr size_t WORD_SIZE = 4;

const char *const UPLOAD_NAME = "M17_cmd_upload_qfw";

// An image buffer that is released on every path; null when the memory is
// not there.
using ImageBuf = std::unique_ptr<unsigned char[]>;
ImageBuf make_image(uint32_t size, unsigned char fill) {
    ImageBuf buf(new (std::nothrow) unsigned char[size ? size : 1]);
    if (buf)
        memset(buf.get(), fill, size);
    return buf;
}

// The image size must be whole words; the only real caller passes 0x7F000.
bool image_size_ok(uint32_t image_size) {
    if (image_size % WORD_SIZE == 0)
        return true;
    op_text_error("Error,image size 0x%x is not a multiple of 4!\n",
                  image_size);
    return false;
}

// A local file that failed, with errno holding the reason: the console's
// text among the narration, or the command line's line with the reason.
void file_error(const char *what, const char *console_format,
                const char *path) {
    if (!op_file_failure(what, path, errno))
        op_text_error(console_format, path);
}

uint32_t scramble_key(uint32_t j) {
    return j * j * j * j;
}

// Reads exactly len bytes; false on a short read.
bool read_all(FILE *f, unsigned char *buf, size_t len) {
    return fread(buf, 1, len, f) == len;
}

struct QfwHeader {
    uint32_t length = 0;
    uint32_t device_type = 0;
    uint32_t version = 0;
    uint32_t raw_sum = 0;
    uint32_t enc_sum = 0;
    uint32_t flags = 0;
};

QfwHeader decode_header(const unsigned char *block) {
    WireReader r(block, QFW_HEADER_SIZE);
    QfwHeader h;
    h.length = r.u32(QFW_OFF_LENGTH);
    h.device_type = r.u32(QFW_OFF_TYPE);
    h.version = r.u32(QFW_OFF_VERSION);
    h.raw_sum = r.u32(QFW_OFF_RAW_SUM);
    h.enc_sum = r.u32(QFW_OFF_ENC_SUM);
    h.flags = r.u32(QFW_OFF_FLAGS);
    return h;
}

// The check sums of a container's image buffer: the sums run over the
// whole buffer, so the 0xFF fill beyond a short image counts; the raw sum
// undoes the scrambling word by word.
void container_sums(const unsigned char *image, uint32_t image_size,
                    uint32_t scrambled, uint32_t *raw, uint32_t *enc) {
    WireReader r(image, image_size);
    *raw = *enc = 0;
    for (uint32_t j = 0; (j + 1) * WORD_SIZE <= image_size; j++) {
        const uint32_t word = r.u32(j * WORD_SIZE);
        *enc ^= word;
        *raw ^= scrambled ? word ^ scramble_key(j) : word;
    }
}

} // namespace

uint32_t M17_qfw_checksum(const unsigned char *image, uint32_t size) {
    WireReader r(image, size);
    uint32_t sum = 0;
    for (uint32_t off = 0; off + WORD_SIZE <= size; off += WORD_SIZE)
        sum ^= r.u32(off);
    return sum;
}

void M17_qfw_scramble(unsigned char *image, uint32_t size) {
    WireReader r(image, size);
    WireWriter w(image, size);
    for (uint32_t j = 0; (j + 1) * WORD_SIZE <= size; j++)
        w.u32(j * WORD_SIZE, r.u32(j * WORD_SIZE) ^ scramble_key(j));
}

int M17_create_qfw(const char *bin_name, const char *qfw_name, int major,
                   int minor, int encrypt, const char *device_name,
                   uint32_t image_size, int device_type) {
    M17_qfw_create_opts o;
    o.bin_name = bin_name;
    o.qfw_name = qfw_name;
    o.major = major;
    o.minor = minor;
    o.encrypt = encrypt != 0;
    o.device_name = device_name;
    o.image_size = image_size;
    o.device_type = device_type;
    return M17_op_create_qfw(o) == OP_OK ? 0 : -1;
}

int M17_op_create_qfw(const M17_qfw_create_opts &o) {
    const char *bin_name = o.bin_name;
    const char *qfw_name = o.qfw_name;
    const uint32_t image_size = o.image_size;
    if (!image_size_ok(image_size))
        return OP_USAGE;
    FilePtr bin = open_file(bin_name, "rb");
    if (!bin) {
        file_error("read", "Error loading file:%s!\n", bin_name);
        return OP_LOCAL_FILE;
    }
    op_text("Reading file %s...", bin_name);
    // Only a regular file has a length to take (not a directory or a pipe).
    struct stat st {};
    if (fstat(fileno(bin.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            errno = EISDIR;
        file_error("read", "Error loading file:%s!\n", bin_name);
        return OP_LOCAL_FILE;
    }
    const off_t length = st.st_size;
    if (static_cast<unsigned long>(length) > image_size) {
        op_text_error("Error,file longer than 0x%x!\n", image_size);
        return OP_LOCAL_FILE;
    }
    if (o.whole_words && length % WORD_SIZE != 0) {
        op_text_error("Error,image %s of %lld bytes is not a whole number of "
                      "32-bit words!\n",
                      bin_name, static_cast<long long>(length));
        return OP_LOCAL_FILE;
    }
    ImageBuf image = make_image(image_size, 0);
    if (!image) {
        op_text_error("Error,no memory for 0x%x bytes!\n", image_size);
        return OP_FAILED;
    }
    if (!read_all(bin.get(), image.get(), static_cast<size_t>(length))) {
        file_error("read", "Error loading file:%s!\n", bin_name);
        return OP_LOCAL_FILE;
    }
    op_text("Ok.\n");
    bin.reset();

    const uint32_t raw_sum = M17_qfw_checksum(image.get(), image_size);
    if (o.encrypt)
        M17_qfw_scramble(image.get(), image_size);
    const uint32_t enc_sum = M17_qfw_checksum(image.get(), image_size);
    op_text("Raw checksum:0x%.8x\n", raw_sum);
    op_text("Enc checksum:0x%.8x\n", enc_sum);
    op_text("Version:%d.%d\n", o.major, o.minor);

    op_text("Writing file %s...", qfw_name);
    FilePtr qfw = open_file(qfw_name, "wb");
    if (!qfw) {
        file_error("write", "Error writing file:%s!\n", qfw_name);
        return OP_LOCAL_FILE;
    }

    unsigned char header[QFW_HEADER_SIZE] = {};
    WireWriter w(header, sizeof header);
    w.bytes(QFW_OFF_MAGIC, QFW_MAGIC, strlen(QFW_MAGIC));
    // A name of 20 characters or more fills the field without a terminator.
    if (o.device_name)
        w.bytes(QFW_OFF_NAME, o.device_name,
                strnlen(o.device_name, QFW_TEXT_FIELD));
    w.u32(QFW_OFF_LENGTH, image_size);
    w.u32(QFW_OFF_TYPE, static_cast<uint32_t>(o.device_type));
    w.u32(QFW_OFF_VERSION, (static_cast<uint32_t>(o.major & 0xFF) << 8) |
                               static_cast<uint32_t>(o.minor & 0xFF));
    w.u32(QFW_OFF_RAW_SUM, raw_sum);
    w.u32(QFW_OFF_ENC_SUM, enc_sum);
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    w.u32(QFW_OFF_DATE, (static_cast<uint32_t>(tm.tm_year + 1900) << 16) |
                            (static_cast<uint32_t>(tm.tm_mon + 1) << 8) |
                            static_cast<uint32_t>(tm.tm_mday));
    w.u32(QFW_OFF_TIME, (static_cast<uint32_t>(tm.tm_hour) << 16) |
                            (static_cast<uint32_t>(tm.tm_min) << 8) |
                            static_cast<uint32_t>(tm.tm_sec));
    w.u32(QFW_OFF_FLAGS, o.encrypt ? QFW_FLAG_SCRAMBLED : 0);

    bool ok = fwrite(header, 1, sizeof header, qfw.get()) == sizeof header &&
              fwrite(image.get(), 1, image_size, qfw.get()) == image_size;
    // A write error may show only when the buffered bytes reach the disk.
    FILE *f = qfw.release();
    ok = fflush(f) == 0 && ok;
    const int err = errno; // the first failure's reason
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        errno = err;
        file_error("write", "Error creating file:%s!\n", qfw_name);
        return OP_LOCAL_FILE;
    }
    op_text("Ok.\n");
    return OP_OK;
}

int M17_check_qfw(FILE *f, const char *name, int device_type,
                  uint32_t image_size, unsigned char *image,
                  uint32_t *encrypted) {
    op_text("Reading file %s...", name);
    unsigned char block[QFW_HEADER_SIZE];
    if (!read_all(f, block, sizeof block)) {
        op_text_error("Error loading file:%s!\n", name);
        return -1;
    }
    const QfwHeader h = decode_header(block);
    if (h.device_type != static_cast<uint32_t>(device_type)) {
        op_text_error("Invalid QFW file!\n");
        return -1;
    }
    if (h.length > image_size) {
        op_text_error("Error,file longer than 0x%x!\n", image_size);
        return -1;
    }
    if (!read_all(f, image, h.length)) {
        op_text_error("Error loading file:%s!\n", name);
        return -1;
    }
    op_text("Ok (size=0x%x,flags=0x%.2x).\n", h.length, h.flags);
    const uint32_t scrambled = h.flags & QFW_FLAG_SCRAMBLED;

    uint32_t calc_raw = 0, calc_enc = 0;
    container_sums(image, image_size, scrambled, &calc_raw, &calc_enc);
    op_text("Version:%d.%.2d\n", (h.version >> 8) & 0xFF, h.version & 0xFF);
    op_text("Encrypted:0x%.2x\n", scrambled);
    op_text("Calc raw checksum:0x%.8x\n", calc_raw);
    op_text("Calc enc checksum:0x%.8x\n", calc_enc);
    op_text("File raw checksum:0x%.8x\n", h.raw_sum);
    op_text("File enc checksum:0x%.8x\n", h.enc_sum);
    if (h.raw_sum != calc_raw) {
        op_text_error("Raw chsum wrong!\n");
        return -1;
    }
    if (h.enc_sum != calc_enc) {
        op_text_error("Enc chsum wrong!\n");
        return -1;
    }
    if (encrypted != nullptr)
        *encrypted = scrambled;
    return 0;
}

int M17_op_upload_qfw(const M17_qfw_upload_opts &o, Progress &progress,
                      M17_qfw_upload_result *result) {
    M17_qfw_upload_result ignored;
    M17_qfw_upload_result &done = result ? *result : ignored;
    done = M17_qfw_upload_result();
    const char *name = o.qfw_name;
    const uint32_t image_size = o.image_size;
    if (!require_connected())
        return OP_NO_DEVICE;
    if (!image_size_ok(image_size))
        return OP_USAGE;

    // Opened for update ("r+b"): a missing or write-protected container is
    // refused alike. Nothing is ever written to it.
    FilePtr f = open_file(name, "r+b");
    if (!f) {
        file_error("open", "Error loading file:%s!\n", name);
        return OP_LOCAL_FILE;
    }
    ImageBuf image = make_image(image_size, ERASED_BYTE);
    if (!image) {
        op_text_error("Error,no memory for 0x%x bytes!\n", image_size);
        return OP_FAILED;
    }
    uint32_t encrypted = 0;
    const int checked = M17_check_qfw(f.get(), name, o.device_type, image_size,
                                      image.get(), &encrypted);
    f.reset();
    if (checked != 0)
        return OP_LOCAL_FILE;

    op_text("Erasing external flash....");
    uint32_t block_size = 0;
    int rc = M17_erase_ext_flash(id_conn, &block_size, 1);
    if (rc != 0)
        return op_error(UPLOAD_NAME, rc);
    op_text("Ok.\n");
    if (block_size == 0)
        block_size = DEFAULT_BLOCK_SIZE;
    done.block_size = block_size;

    // A block must fit one write request, and every block index must fit
    // in 16 bits; otherwise nothing is written.
    const uint32_t full = image_size / block_size;
    const uint32_t rest = image_size % block_size;
    const uint32_t count = full + (rest ? 1 : 0);
    if (block_size > static_cast<uint32_t>(M17_MAX_BLOCK_DATA)) {
        log_error("Block size %u asked by the device is above the %d bytes a "
                  "write can carry; nothing written, external flash left "
                  "erased!\n",
                  block_size, M17_MAX_BLOCK_DATA);
        return OP_FAILED;
    }
    if (count > MAX_BLOCK_COUNT) {
        log_error("Block size %u asked by the device needs %u blocks, more "
                  "than %u; nothing written, external flash left erased!\n",
                  block_size, count, MAX_BLOCK_COUNT);
        return OP_FAILED;
    }

    ProgressPhase phase(progress, count, ProgressUnit::blocks);
    for (uint32_t k = 0; k < count; k++) {
        if (op_stop_requested()) {
            log_error("\nStopped: %u of %u blocks written to the external "
                      "flash; run the upload again before flashing.\n",
                      k, count);
            return OP_INTERRUPTED;
        }
        const uint32_t size = k < full ? block_size : rest;
        const unsigned char *data = image.get() + k * block_size;
        op_text("Writing block %u of %u (size:%u)...", k + 1, count, size);
        for (int attempt = 0; attempt < BLOCK_WRITE_ATTEMPTS; attempt++) {
            rc = M17_write_ext_flash(id_conn, static_cast<int>(k), data,
                                     static_cast<int>(size), 1);
            if (rc == 0)
                break;
        }
        if (rc != 0) {
            op_text("Error!\n");
            return op_error(UPLOAD_NAME, rc);
        }
        op_text("Ok.\n");
        done.blocks++;
        done.bytes += size;
        phase.advance(1);
    }
    return OP_OK;
}

int M17_op_flash_fw(const char *name) {
    if (!require_connected())
        return OP_NO_DEVICE;
    FilePtr f = open_file(name, "rb");
    if (!f) {
        file_error("read", "Error loading file:%s!\n", name);
        return OP_LOCAL_FILE;
    }
    op_text("Reading file %s...", name);
    unsigned char block[QFW_HEADER_SIZE];
    if (!read_all(f.get(), block, sizeof block)) {
        op_text_error("Error loading file:%s!\n", name);
        return OP_LOCAL_FILE;
    }
    f.reset();
    op_text("Ok.\n");
    const QfwHeader h = decode_header(block);
    const uint32_t encrypted = h.flags & QFW_FLAG_SCRAMBLED;
    op_text("Encrypted:0x%.2x\n", encrypted);
    op_text("Raw checksum:0x%.8x\n", h.raw_sum);
    op_text("Enc checksum:0x%.8x\n", h.enc_sum);
    op_text("Starting memory flashing process...");
    const unsigned written = MXX_frames_written(id_conn);
    const int rc = M17_flash_FW(id_conn, encrypted, h.raw_sum, 1);
    if (rc != 0) {
        op_error("M17_cmd_flash_fw", rc);
        // The request went out and the link closed before any reply: the
        // instrument may have started programming itself. A link that is
        // closing still reads as connected until its reader has stopped,
        // so the library's own codes for a closed link count as well.
        const bool link_gone =
            rc == COMM_ERR_CLOSED || rc == COMM_ERR_IO ||
            MXX_get_conn_state_id(id_conn) != COMM_STATE_CONNECTED;
        if (rc != MXX_FAILED && MXX_frames_written(id_conn) != written &&
            link_gone)
            log_error("The instrument may be flashing: wait until it has "
                      "restarted, then connect again and check its version "
                      "with \"ve\".\n");
        return OP_FAILED;
    }
    // The instrument restarts to program itself: the link goes down.
    MXX_disconnect(id_conn);
    return OP_OK;
}

int M17_qfw_verify(const char *name, int device_type, uint32_t image_size,
                   std::string *why) {
    auto refuse = [why](std::string text) {
        *why = std::move(text);
        return int(OP_LOCAL_FILE);
    };
    char text[160];
    FilePtr f = open_file(name, "rb");
    struct stat st {};
    if (f && fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode))
        errno = EISDIR;
    if (!f || S_ISDIR(st.st_mode))
        return refuse(std::string("cannot be read: ") + strerror(errno));
    unsigned char block[QFW_HEADER_SIZE];
    const size_t head = fread(block, 1, sizeof block, f.get());
    if (head < sizeof block) {
        snprintf(text, sizeof text,
                 "truncated at byte %zu: a container's header alone is %d "
                 "bytes",
                 head, QFW_HEADER_SIZE);
        return refuse(text);
    }
    const QfwHeader h = decode_header(block);
    if (h.device_type != static_cast<uint32_t>(device_type)) {
        unsigned char magic[QFW_TEXT_FIELD] = {};
        memcpy(magic, QFW_MAGIC, strlen(QFW_MAGIC));
        if (memcmp(block + QFW_OFF_MAGIC, magic, sizeof magic) != 0)
            return refuse("not a firmware container (no container header)");
        snprintf(text, sizeof text,
                 "a container for device type %u, not for this instrument "
                 "(%d)",
                 h.device_type, device_type);
        return refuse(text);
    }
    if (h.length > image_size) {
        snprintf(text, sizeof text,
                 "its image of 0x%x bytes is longer than the instrument's "
                 "0x%x",
                 h.length, image_size);
        return refuse(text);
    }
    ImageBuf image = make_image(image_size, ERASED_BYTE);
    if (!image)
        return refuse("no memory to check it");
    const size_t got = fread(image.get(), 1, h.length, f.get());
    if (got < h.length) {
        snprintf(text, sizeof text,
                 "truncated at byte %zu: its header announces %zu bytes",
                 size_t(QFW_HEADER_SIZE) + got,
                 size_t(QFW_HEADER_SIZE) + h.length);
        return refuse(text);
    }
    uint32_t raw = 0, enc = 0;
    container_sums(image.get(), image_size, h.flags & QFW_FLAG_SCRAMBLED, &raw,
                   &enc);
    if (raw != h.raw_sum || enc != h.enc_sum) {
        const bool raw_bad = raw != h.raw_sum;
        snprintf(text, sizeof text,
                 "bad check sum: the header's %s check sum is 0x%.8x, the "
                 "image's 0x%.8x",
                 raw_bad ? "raw" : "enc", raw_bad ? h.raw_sum : h.enc_sum,
                 raw_bad ? raw : enc);
        return refuse(text);
    }
    return OP_OK;
}
