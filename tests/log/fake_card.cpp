#include "fake_card.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>

#include "wire.h"

namespace {

constexpr int REPLY = 1000; // a reply's code is the request's + 1000
constexpr int GENERAL_FAIL = 12290;
constexpr int ENTRIES_PER_REPLY = 32;
constexpr size_t NAME_SIZE = 32;

std::string request_name(const Bytes &p) {
    if (p.size() < NAME_SIZE)
        return "";
    return std::string(
        reinterpret_cast<const char *>(p.data()),
        strnlen(reinterpret_cast<const char *>(p.data()), NAME_SIZE));
}

} // namespace

void FakeCard::set_slots(int32_t n) {
    WireWriter(params.data(), params.size()).i32(94, n);
}

void FakeCard::install() {
    // The callback keeps its own copy, so the card may go out of scope.
    auto card = std::make_shared<FakeCard>(*this);
    fake_comm::set_device([card](int id, const Bytes &frame) {
        const int code = fake_comm::frame_code(frame);
        const Bytes p = fake_comm::frame_payload(frame);
        WireReader r(p.data(), p.size());
        Bytes reply;
        switch (code) {
        case 8007:
            reply = card->serial_fails
                        ? fake_comm::frame(GENERAL_FAIL)
                        : fake_comm::frame(8007 + REPLY,
                                           fake_comm::text(card->serial));
            break;
        case 8201:
            reply = fake_comm::frame(8201 + REPLY, card->params);
            break;
        case 8204: {
            Bytes out(ENTRIES_PER_REPLY * 5);
            WireWriter w(out.data(), out.size());
            const uint32_t first = r.u32(0);
            for (uint32_t i = 0; i < ENTRIES_PER_REPLY; i++) {
                if (first + i >= card->entries.size())
                    break;
                w.u32(i * 5, card->entries[first + i].first);
                w.u8(i * 5 + 4, card->entries[first + i].second);
            }
            reply = fake_comm::frame(8204 + REPLY, out);
            break;
        }
        case 8209: {
            auto f = card->files.find(request_name(p));
            reply = f == card->files.end()
                        ? fake_comm::frame(GENERAL_FAIL)
                        : fake_comm::frame(8209 + REPLY,
                                           fake_comm::u32le(f->second.size()));
            break;
        }
        case 8211: {
            const std::string name = request_name(p);
            auto f = card->files.find(name);
            if (f == card->files.end() || card->failing.count(name)) {
                reply = fake_comm::frame(GENERAL_FAIL);
                break;
            }
            const uint32_t offset = r.u32(32), max_len = r.u32(36);
            const Bytes &data = f->second;
            size_t from = offset < data.size() ? offset : data.size();
            size_t n = std::min<size_t>(max_len, data.size() - from);
            if (card->max_read > 0)
                n = std::min<size_t>(n, card->max_read);
            Bytes body = fake_comm::u32le(uint32_t(n));
            body.insert(body.end(), data.begin() + long(from),
                        data.begin() + long(from + n));
            reply = fake_comm::frame(8211 + REPLY, body);
            break;
        }
        default:
            return;
        }
        fake_comm::post(id, COMM_EV_DATA, reply);
    });
}

std::vector<std::string> FakeCard::files_read() {
    std::vector<std::string> names;
    for (const auto &w : fake_comm::writes()) {
        if (fake_comm::frame_code(w.bytes) != 8211)
            continue;
        Bytes p = fake_comm::frame_payload(w.bytes);
        if (WireReader(p.data(), p.size()).u32(32) == 0)
            names.push_back(request_name(p));
    }
    return names;
}

InDir::InDir(const std::string &dir) {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf))
        old_ = buf;
    if (chdir(dir.c_str()) != 0)
        ADD_FAILURE() << "cannot enter " << dir;
}

InDir::~InDir() {
    if (!old_.empty() && chdir(old_.c_str()) != 0)
        ADD_FAILURE() << "cannot return to " << old_;
}
