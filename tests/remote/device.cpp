#include "device.h"

#include <cstring>

#include "v21_cmds.h"
#include "wire.h"

using fake_comm::frame;
using fake_comm::u32le;

namespace {

long long slept = 0;

long long virtual_now() {
    return fake_comm::now_ms() + slept;
}
void virtual_sleep(int ms) {
    slept += ms;
}
const wait_clock virtual_clock = {virtual_now, virtual_sleep};

constexpr int FAIL_REPLY = 12290;

std::string file_name(const Bytes &payload) {
    size_t n = 0;
    while (n < 32 && n < payload.size() && payload[n] != 0)
        n++;
    return std::string(payload.begin(), payload.begin() + n);
}

} // namespace

Device::Device() {
    fake_comm::set_device(
        [this](int id, const Bytes &bytes) { handle(id, bytes); });
}

Device::~Device() {
    fake_comm::set_device(nullptr);
}

std::vector<FileOp> Device::writes() {
    std::lock_guard<std::mutex> lock(m_);
    return writes_;
}

std::vector<std::string> Device::reads() {
    std::lock_guard<std::mutex> lock(m_);
    return reads_;
}

int Device::state_requests() {
    std::lock_guard<std::mutex> lock(m_);
    return state_requests_;
}

void Device::handle(int id, const Bytes &bytes) {
    const int code = fake_comm::frame_code(bytes);
    const Bytes p = fake_comm::frame_payload(bytes);
    WireReader r(p.data(), p.size());
    Bytes reply;
    {
        std::lock_guard<std::mutex> lock(m_);
        const std::string name = file_name(p);
        switch (code) {
        case 8022: // answered by the test
            evented_ = true;
            return;
        case 8024: {
            state_requests_++;
            if (evented_ && !result.empty()) {
                files["meas/last.dat"] = result;
                result.clear();
            }
            const int64_t s = states.front();
            if (states.size() > 1)
                states.pop_front();
            reply = s == FAIL ? frame(FAIL_REPLY)
                              : frame(9024, u32le(static_cast<uint32_t>(s)));
            break;
        }
        case 8209: {
            auto f = files.find(name);
            const int64_t size = f == files.end() ? -1
                                 : info_size >= 0
                                     ? info_size
                                     : static_cast<int64_t>(f->second.size());
            reply = size < 0
                        ? frame(FAIL_REPLY)
                        : frame(9209, fake_comm::concat({u32le(uint32_t(size)),
                                                         Bytes(36, 0)}));
            break;
        }
        case 8210: {
            const uint32_t op = r.u32(32);
            FileOp w{name, op, Bytes(p.begin() + 40, p.end())};
            writes_.push_back(w);
            bool fail = false;
            for (int n : failing_writes)
                fail = fail || n == static_cast<int>(writes_.size());
            if (!fail) {
                if (op == 2)
                    files[name].clear();
                else if (op == 3 && files.count(name)) {
                    int times = double_append ? 2 : 1;
                    double_append = false;
                    for (int i = 0; i < times; i++)
                        files[name].insert(files[name].end(), w.data.begin(),
                                           w.data.end());
                } else if (op == 3)
                    fail = true;
                else if (op == 4)
                    files.erase(name);
            }
            reply = frame(fail ? FAIL_REPLY : 9210);
            break;
        }
        case 8211: {
            reads_.push_back(name);
            if (name == "meas/last.dat")
                evented_ = false; // the result was read
            auto f = files.find(name);
            if (f == files.end()) {
                reply = frame(FAIL_REPLY);
                break;
            }
            const uint32_t offset = r.u32(32), max = r.u32(36);
            const Bytes &d = f->second;
            uint32_t n = 0;
            if (offset < d.size())
                n = std::min<uint32_t>(max, uint32_t(d.size()) - offset);
            Bytes payload = u32le(n);
            payload.insert(payload.end(), d.begin() + offset,
                           d.begin() + offset + n);
            reply = frame(9211, payload);
            break;
        }
        default:
            return;
        }
    }
    fake_comm::post(id, COMM_EV_DATA, reply);
}

Bytes make_record(const RecordFields &f) {
    Bytes b(MEAS_RECORD_SIZE, 0);
    WireWriter w(b.data(), b.size());
    w.u32(19, f.flags);
    w.u8(23, f.pin);
    w.u8(24, f.error);
    w.u8(25, f.dia);
    w.u8(42, f.meas_mode);
    w.f32(43, f.susc);
    w.f32(47, f.cond);
    w.i32(87, f.counter);
    w.i32(91, f.num_samples);
    for (int i : f.marked)
        b[95 + i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    for (size_t i = 0; i < f.susc_samples.size(); i++)
        w.f32(155 + 4 * i, f.susc_samples[i]);
    for (size_t i = 0; i < f.cond_samples.size(); i++)
        w.f32(2075 + 4 * i, f.cond_samples[i]);
    return b;
}

void RemoteTest::SetUp() {
    InstrumentTest::SetUp();
    slept = 0;
    set_wait_clock(&virtual_clock);
}

void RemoteTest::TearDown() {
    set_wait_clock(nullptr);
    InstrumentTest::TearDown();
}

long long RemoteTest::slept_ms() {
    return slept;
}
