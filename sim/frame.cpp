#include "frame.h"

namespace vo62sim {

namespace {
const uint8_t kMagic[4] = {'D', 'E', 'V', 'O'};
}

Bytes make_frame(uint16_t code, const uint8_t *payload, size_t size,
                 uint16_t param, uint8_t status) {
    Bytes f(kFrameHeader + size + 1, 0);
    std::memcpy(f.data(), kMagic, 4);
    put_u16(f, 4, code);
    put_u16(f, 6, static_cast<uint16_t>(size + 1));
    put_u16(f, 8, param);
    put_u8(f, 10, status);
    uint8_t x = 0;
    for (size_t i = 0; i < 11; i++)
        x ^= f[i];
    f[11] = x;
    uint8_t d = 0;
    for (size_t i = 0; i < size; i++) {
        f[kFrameHeader + i] = payload[i];
        d ^= payload[i];
    }
    f[kFrameHeader + size] = d;
    return f;
}

bool FrameParser::push(uint8_t byte, Frame &out) {
    if (pos_ < 4) {
        if (byte == kMagic[pos_]) {
            head_[pos_++] = byte;
        } else {
            // A mismatch may itself start the next frame.
            pos_ = 0;
            if (byte == kMagic[0])
                head_[pos_++] = byte;
        }
        return false;
    }
    if (pos_ < kFrameHeader) {
        head_[pos_++] = byte;
        if (pos_ < kFrameHeader)
            return false;
        uint8_t x = 0;
        for (uint8_t h : head_)
            x ^= h;
        if (x != 0) {
            reset();
            return false;
        }
        need_ = static_cast<size_t>(head_[6]) |
                (static_cast<size_t>(head_[7]) << 8);
        body_.clear();
        if (need_ > 0)
            return false;
    } else {
        body_.push_back(byte);
        pos_++;
        if (body_.size() < need_)
            return false;
        uint8_t x = 0;
        for (uint8_t b : body_)
            x ^= b;
        if (x != 0) {
            reset();
            return false;
        }
    }
    out.code = static_cast<uint16_t>(head_[4] | (head_[5] << 8));
    out.param = static_cast<uint16_t>(head_[8] | (head_[9] << 8));
    out.status = head_[10];
    if (need_ > 0)
        out.payload.assign(body_.begin(), body_.end() - 1);
    else
        out.payload.clear();
    reset();
    return true;
}

} // namespace vo62sim
