// The instrument's live-data event: the reports of a running measurement or
// scan that arrive on the library's event thread while the remote
// measurement operations poll the state, printed as event narration.
#include "mxx_comm.h"
#include "v21_comm.h"
#include "v21_ops.h"
#include "wire.h"

namespace {

// Live-data event kinds.
constexpr uint32_t LIVE_START = 1, LIVE_PROGRESS = 2, LIVE_BUTTON = 3,
                   LIVE_FINISHED = 4, LIVE_SCAN_START = 0x81,
                   LIVE_SCAN_PROGRESS = 0x82, LIVE_SCAN_BUTTON = 0x83,
                   LIVE_SCAN_FINISHED = 0x84;

} // namespace

int V21_hook_events(int id) {
    return MXX_hook_async_event(id, V21_CODE_LIVE_DATA, V21_event_live_data);
}

int V21_event_live_data(int, MXX_conn *, const unsigned char *frame, intptr_t) {
    // The payload follows the 12-byte header; its size is the length field
    // less the checksum byte. Fields beyond it read as 0.
    uint16_t length = WireReader(frame, MXX_HEADER_SIZE).u16(6);
    size_t payload = length > 0 ? length - 1u : 0;
    WireReader r(frame + MXX_HEADER_SIZE, payload);
    uint32_t kind = r.u32(0);
    int32_t value = r.i32(4);
    double kappa = r.f32(8), sigma = r.f32(12);
    switch (kind) {
    case LIVE_START:
        op_event_text("Start of measurement\n");
        break;
    case LIVE_PROGRESS:
        op_event_text("   Progress:%d\n", value);
        break;
    case LIVE_BUTTON:
    case LIVE_SCAN_BUTTON:
        op_event_text("   Button:%d\n", value);
        break;
    case LIVE_FINISHED:
        op_event_text("Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n", value,
                      kappa, sigma);
        break;
    case LIVE_SCAN_START:
        op_event_text("Scanner start:%d\n", value);
        break;
    case LIVE_SCAN_PROGRESS:
        op_event_text("   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", value,
                      kappa, sigma);
        break;
    case LIVE_SCAN_FINISHED:
        op_event_text("Finished\n");
        break;
    default:
        break;
    }
    return 0;
}
