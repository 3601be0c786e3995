#include "faults.h"

#include <cerrno>
#include <cstdlib>

namespace vo62sim {

namespace {

// Longest gap between replies released one by one after a stall.
constexpr uint64_t kMaxGapUs = 1000000;

bool parse_u64(const std::string &s, uint64_t &v) {
    if (s.empty() || s[0] == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    v = x;
    return true;
}

bool parse_prob(const std::string &s, double &v) {
    if (s.empty())
        return false;
    char *end = nullptr;
    bool percent = s.back() == '%';
    std::string body = percent ? s.substr(0, s.size() - 1) : s;
    errno = 0;
    v = std::strtod(body.c_str(), &end);
    if (errno != 0 || *end != '\0' || body.empty())
        return false;
    if (percent)
        v /= 100.0;
    return v >= 0.0 && v <= 1.0;
}

} // namespace

bool parse_fault(const std::string &text, FaultSpec &out, std::string &err) {
    out = FaultSpec{};
    std::string kind = text.substr(0, text.find(':'));
    std::string rest =
        text.find(':') == std::string::npos ? "" : text.substr(kind.size() + 1);
    struct {
        const char *name;
        FaultKind kind;
    } kinds[] = {{"corrupt", FaultKind::Corrupt}, {"drop", FaultKind::Drop},
                 {"retry", FaultKind::Retry},     {"fail", FaultKind::Fail},
                 {"status", FaultKind::Status},   {"delay", FaultKind::Delay},
                 {"silent", FaultKind::Silent},   {"cut", FaultKind::Cut},
                 {"stuck", FaultKind::Stuck},     {"stall", FaultKind::Stall},
                 {"noop", FaultKind::Noop}};
    bool found = false;
    for (const auto &k : kinds)
        if (kind == k.name) {
            out.kind = k.kind;
            found = true;
        }
    if (!found) {
        err = "unknown fault '" + kind + "'";
        return false;
    }
    // A link cut happens once unless a count says otherwise.
    if (out.kind == FaultKind::Cut)
        out.count = 1;
    bool have_p = false, have_ms = false;
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t comma = rest.find(',', pos);
        std::string item = rest.substr(
            pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? rest.size() : comma + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            err =
                "fault '" + text + "': expected key=value, got '" + item + "'";
            return false;
        }
        std::string key = item.substr(0, eq), val = item.substr(eq + 1);
        uint64_t n = 0;
        bool ok = true;
        if (key == "code") {
            ok = parse_u64(val, n) && n <= 0xFFFF;
            out.code = static_cast<int>(n);
        } else if (key == "skip" || key == "after") {
            ok = parse_u64(val, out.skip);
        } else if (key == "count") {
            ok = parse_u64(val, out.count);
        } else if (key == "every") {
            ok = parse_u64(val, out.every) && out.every >= 1;
        } else if (key == "p") {
            ok = parse_prob(val, out.p);
            have_p = true;
        } else if (key == "ms") {
            ok = parse_u64(val, n) && n <= 600000;
            out.ms = static_cast<int>(n);
            have_ms = true;
        } else if (key == "gap_us") {
            ok = out.kind == FaultKind::Stall && parse_u64(val, n) &&
                 n <= kMaxGapUs;
            out.gap_us = static_cast<int>(n);
        } else if (key == "status") {
            ok = parse_u64(val, n) && n <= 255;
            out.status = static_cast<int>(n);
        } else {
            err = "fault '" + text + "': unknown key '" + key + "'";
            return false;
        }
        if (!ok) {
            err = "fault '" + text + "': bad value for '" + key + "'";
            return false;
        }
    }
    if (out.kind == FaultKind::Corrupt && !have_p) {
        err = "fault '" + text + "': corrupt needs p=<probability per byte>";
        return false;
    }
    if ((out.kind == FaultKind::Delay || out.kind == FaultKind::Stall) &&
        !have_ms) {
        err = "fault '" + text + "': " + kind + " needs ms=<milliseconds>";
        return false;
    }
    if (out.kind == FaultKind::Status && out.status == 0) {
        err = "fault '" + text + "': status must be non-zero";
        return false;
    }
    return true;
}

FaultEngine::FaultEngine(std::vector<FaultSpec> faults, uint64_t seed)
    : faults_(std::move(faults)), rng_(seed ^ 0x5DEECE66Dull) {
    for (const auto &f : faults_)
        if (f.kind == FaultKind::Stuck)
            stuck_ = true;
}

double FaultEngine::uniform() {
    return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

bool FaultEngine::matches_and_fires(FaultSpec &f, uint16_t code) {
    if (f.code >= 0 && f.code != code)
        return false;
    f.seen++;
    if (f.seen <= f.skip || f.applied >= f.count)
        return false;
    if ((f.seen - f.skip) % f.every != 0)
        return false;
    if (f.p < 1.0 && uniform() >= f.p)
        return false;
    f.applied++;
    return true;
}

FaultDecision FaultEngine::on_request(uint16_t code) {
    FaultDecision d;
    for (auto &f : faults_) {
        FaultDecision::Action a;
        switch (f.kind) {
        case FaultKind::Cut:
            a = FaultDecision::Cut;
            break;
        case FaultKind::Silent:
            a = FaultDecision::Ignore;
            break;
        case FaultKind::Retry:
            a = FaultDecision::Retry;
            break;
        case FaultKind::Fail:
            a = FaultDecision::Fail;
            break;
        case FaultKind::Status:
        case FaultKind::Noop:
            a = FaultDecision::Status;
            break;
        default:
            continue;
        }
        if (matches_and_fires(f, code)) {
            d.action = a;
            d.status = f.kind == FaultKind::Noop ? 0 : f.status;
            break;
        }
    }
    if (d.action == FaultDecision::Ignore || d.action == FaultDecision::Cut)
        return d;
    for (auto &f : faults_) {
        if (f.kind == FaultKind::Drop && !d.drop_reply &&
            matches_and_fires(f, code))
            d.drop_reply = true;
        else if (f.kind == FaultKind::Delay && matches_and_fires(f, code))
            d.delay_ms += f.ms;
        else if (f.kind == FaultKind::Stall && matches_and_fires(f, code)) {
            d.stall_ms += f.ms;
            d.stall_gap_us = f.gap_us;
        }
    }
    return d;
}

void FaultEngine::corrupt(uint16_t code, Bytes &frame) {
    for (auto &f : faults_) {
        if (f.kind != FaultKind::Corrupt || (f.code >= 0 && f.code != code))
            continue;
        if (f.p <= 0.0)
            continue;
        for (auto &b : frame)
            if (uniform() < f.p)
                b ^= static_cast<uint8_t>(1 + rng_() % 255);
    }
}

} // namespace vo62sim
