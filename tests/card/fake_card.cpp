#include "fake_card.h"

#include <algorithm>
#include <cstring>

#include "v21_comm.h"
#include "wire.h"

using fake_comm::Bytes;

namespace {

constexpr int FAIL_REPLY = 12290;

std::string name_of(const Bytes &payload) {
    const char *p = reinterpret_cast<const char *>(payload.data());
    return std::string(p,
                       strnlen(p, payload.size() < 32 ? payload.size() : 32));
}

} // namespace

FakeCard::FakeCard() {
    fake_comm::set_device(
        [this](int id, const Bytes &frame) { handle(id, frame); });
}

std::vector<std::string> FakeCard::writes() const {
    std::vector<std::string> out;
    for (const CardOp &op : ops)
        if (op.code == V21_CODE_WRITE_FILE)
            out.push_back(std::to_string(op.first) + ":" + op.name + ":" +
                          std::to_string(op.second));
    return out;
}

void FakeCard::handle(int id, const Bytes &frame) {
    const int code = fake_comm::frame_code(frame);
    const Bytes payload = fake_comm::frame_payload(frame);
    // The requests by which the link proves the line clean after a lost
    // reply (serial, version, model word, clock) are answered too.
    if (code == 8007 || code == 8001 || code == 8008 || code == 8002) {
        fake_comm::post(id, COMM_EV_DATA,
                        fake_comm::frame(code + 1000, fake_comm::u32le(0)));
        return;
    }
    if (payload.size() < 40)
        return;
    WireReader r(payload.data(), payload.size());
    CardOp op{code, r.u32(32), r.u32(36), name_of(payload)};
    const size_t index = ops.size();
    ops.push_back(op);
    auto reply = [&](const Bytes &data) {
        fake_comm::post(id, COMM_EV_DATA, fake_comm::frame(code + 1000, data));
    };
    auto refuse = [&] {
        fake_comm::post(id, COMM_EV_DATA, fake_comm::frame(FAIL_REPLY));
    };
    if (static_cast<int>(index) == refuse_at)
        return refuse();
    if (lose_request_at.erase(index) > 0)
        return;

    if (code == V21_CODE_FILE_INFO) {
        if (op.name == "raw")
            return reply(fake_comm::concat(
                {fake_comm::u32le(static_cast<uint32_t>(
                     image_size >= 0 ? image_size
                                     : static_cast<long long>(image.size()))),
                 Bytes(36)}));
        auto f = files.find(op.name);
        if (f == files.end())
            return refuse();
        return reply(fake_comm::concat(
            {fake_comm::u32le(static_cast<uint32_t>(f->second.size())),
             Bytes(36)}));
    }
    if (code == V21_CODE_READ_FILE) {
        const Bytes *src = op.name == "raw" ? &image : nullptr;
        if (!src) {
            auto f = files.find(op.name);
            if (f == files.end())
                return refuse();
            src = &f->second;
        }
        size_t at = op.first < src->size() ? op.first : src->size();
        size_t n = src->size() - at < op.second ? src->size() - at : op.second;
        if (read_limit > 0 && op.second > read_limit) {
            if (read_answer == Answer::Refused)
                return refuse();
            n = read_answer == Answer::Empty ? 0
                                             : std::min<size_t>(n, read_limit);
        }
        Bytes data = fake_comm::u32le(static_cast<uint32_t>(n));
        data.insert(data.end(), src->begin() + static_cast<long>(at),
                    src->begin() + static_cast<long>(at + n));
        return reply(data);
    }
    if (code != V21_CODE_WRITE_FILE)
        return;
    switch (op.first) {
    case V21_OP_MKDIR:
        dirs.insert(op.name);
        break;
    case V21_OP_CREATE:
        files[op.name].clear();
        break;
    case V21_OP_APPEND: {
        auto f = files.find(op.name);
        if (f == files.end() || (append_limit > 0 && op.second > append_limit))
            return refuse();
        for (int times = op.name == always_twice ? 2 : 1; times > 0; times--)
            f->second.insert(f->second.end(), payload.begin() + 40,
                             payload.end());
        if (lose_reply_at.erase(index) > 0)
            return; // applied, but the reply never arrives
        break;
    }
    case V21_OP_DELETE:
        if (files.erase(op.name) == 0)
            return refuse();
        break;
    default:
        return refuse();
    }
    reply({});
}
