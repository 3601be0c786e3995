// Arbitrary bytes through the console's printers of instrument data: the
// parameter listing (everyday and extended, with its file), the status
// record, a measurement record of any length with its summary-file text,
// GPS lines, statistics and raw-sample file, and the live-data events.
//
// Input: byte 0 chooses the printer; the rest is the record (for the
// live-data printer, the payload of the event frame).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "mxx_comm.h"
#include "v21_cmds.h"
#include "v21_comm.h"
#include "v21_records.h"

namespace {

FILE *null_file = nullptr;

enum Printer { PARAMS, PARAMS_EXTENDED, STATUS, RECORD, LIVE, PRINTERS };

void print_record(const uint8_t *data, size_t size) {
    meas_record rec;
    const bool whole = decode_meas_record(data, size, &rec);
    FUZZ_CHECK(whole == (size >= static_cast<size_t>(MEAS_RECORD_SIZE)));
    const int n = record_sample_count(rec);
    FUZZ_CHECK(n >= 0 && n <= MEAS_MAX_SAMPLES);
    print_meas_record(rec, null_file);
    write_gps_coords_file(null_file, &rec.gps);
    write_gps_coords(&rec.gps);
    // A statistics group built from the record's own readings.
    const int count = rec.counter & 7;
    calc_avg_std_dev(rec.susc * count, rec.susc * rec.susc * count, count,
                     null_file);
    calc_avg_std_dev(rec.cond, rec.susc, count, null_file);
    save_meas("/dev/null", &rec);
}

void print_live(const uint8_t *data, size_t size) {
    // A verified event frame: its length field counts the payload and the
    // checksum byte.
    const size_t payload =
        size < static_cast<size_t>(MXX_MAX_PAYLOAD) ? size : MXX_MAX_PAYLOAD;
    std::vector<unsigned char> frame(MXX_FRAME_OVERHEAD + payload);
    frame[4] = V21_CODE_LIVE_DATA & 0xFF;
    frame[5] = V21_CODE_LIVE_DATA >> 8;
    frame[6] = static_cast<unsigned char>((payload + 1) & 0xFF);
    frame[7] = static_cast<unsigned char>((payload + 1) >> 8);
    if (payload > 0)
        memcpy(frame.data() + MXX_HEADER_SIZE, data, payload);
    V21_event_live_data(1, nullptr, frame.data(), 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    null_file = fuzz_quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const int printer = data[0] % PRINTERS;
    // An exact copy, so reading past the bytes given is found.
    std::vector<uint8_t> rec(data + 1, data + size);
    switch (printer) {
    case PARAMS:
    case PARAMS_EXTENDED:
        print_params(rec.data(), rec.size(), printer == PARAMS_EXTENDED,
                     null_file);
        break;
    case STATUS:
        print_status(rec.data(), rec.size());
        break;
    case RECORD:
        print_record(rec.data(), rec.size());
        break;
    default:
        print_live(rec.data(), rec.size());
        break;
    }
    return 0;
}
