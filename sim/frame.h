// The link frame as the instrument sees it: a 12-byte header opening with
// "DEVO", the payload, and one XOR byte over the payload. The header's own
// XOR byte makes the twelve header bytes XOR to zero.
#ifndef VO62SIM_FRAME_H
#define VO62SIM_FRAME_H

#include "le.h"

#include <cstdint>

namespace vo62sim {

constexpr size_t kFrameHeader = 12;
constexpr uint16_t kCodeRetry = 12289;   // "send the request again"
constexpr uint16_t kCodeFailure = 12290; // "the request failed"
constexpr uint16_t kReplyOffset = 1000;  // reply code = request code + 1000

struct Frame {
    uint16_t code = 0;
    uint16_t param = 0;
    uint8_t status = 0;
    Bytes payload;
};

// Builds a whole frame: header, payload and payload checksum.
Bytes make_frame(uint16_t code, const uint8_t *payload, size_t size,
                 uint16_t param, uint8_t status);
inline Bytes make_frame(uint16_t code, const Bytes &payload, uint16_t param,
                        uint8_t status) {
    return make_frame(code, payload.data(), payload.size(), param, status);
}

// Reassembles frames from a byte stream. Bytes before a "DEVO" are skipped;
// a header or payload whose XOR is not zero drops the frame.
class FrameParser {
  public:
    // Takes one byte; true when it completed a verified frame, then in out.
    bool push(uint8_t byte, Frame &out);
    void reset() {
        pos_ = 0;
        need_ = 0;
    }
    // True while part of a frame is held.
    bool busy() const { return pos_ > 0; }

  private:
    uint8_t head_[kFrameHeader] = {};
    size_t pos_ = 0;  // bytes held, header included
    size_t need_ = 0; // payload bytes plus checksum byte announced
    Bytes body_;
};

} // namespace vo62sim

#endif
