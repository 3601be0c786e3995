// Log archives for the export's tests and benchmark.
#include "archive_builder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32_t u32(const std::string &b, size_t off) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && off + i < b.size(); i++)
        v |= uint32_t(uint8_t(b[off + i])) << (8 * i);
    return v;
}

} // namespace

std::vector<ArchiveEntry> card_records(const std::string &card_dir) {
    struct Slot {
        uint32_t key;
        int slot;
        std::string bytes;
    };
    std::vector<Slot> slots;
    for (const auto &e : fs::directory_iterator(card_dir + "/meas")) {
        const std::string name = e.path().filename().string();
        int slot = 0;
        if (sscanf(name.c_str(), "meas%d.dat", &slot) != 1)
            continue;
        char uid[32];
        snprintf(uid, sizeof uid, "/meas/%.4d.uid", slot);
        const uint32_t key = u32(read_all(card_dir + uid), 0);
        if (key != 0 && key != 0xFFFFFFFFu)
            slots.push_back({key, slot, read_all(e.path())});
    }
    std::sort(slots.begin(), slots.end(), [](const Slot &a, const Slot &b) {
        return a.key != b.key ? a.key < b.key : a.slot < b.slot;
    });
    std::vector<ArchiveEntry> out;
    for (const Slot &s : slots) {
        const int32_t rec_no = int32_t(u32(s.bytes, 4));
        char stem[16];
        snprintf(stem, sizeof stem, "%08u", uint32_t(rec_no));
        out.push_back({stem, rec_no, s.bytes});
    }
    return out;
}

bool write_archive(const std::string &dir, const std::string &serial,
                   const std::vector<ArchiveEntry> &records) {
    std::error_code ec;
    fs::create_directories(dir + "/archive/records", ec);
    std::string index = "{\n\"format\": \"ra62d2ide-log-archive\",\n"
                        "\"version\": 1,\n\"serial\": \"" +
                        serial + "\",\n\"records\": [\n";
    for (size_t i = 0; i < records.size(); i++) {
        const ArchiveEntry &r = records[i];
        std::ofstream f(dir + "/archive/records/" + r.stem + ".rec",
                        std::ios::binary);
        f << r.bytes;
        if (!f)
            return false;
        index += (i ? ",\n" : "") + std::string("{\"stem\": \"") + r.stem +
                 "\", \"rec_no\": " + std::to_string(r.rec_no) +
                 ", \"slot\": " + std::to_string(i) +
                 ", \"key\": " + std::to_string(i + 1) +
                 ", \"flags\": 0, \"time\": \"2024-01-01T00:00:00\", "
                 "\"note\": false, \"aux\": false}";
    }
    index += "\n]\n}\n";
    std::ofstream f(dir + "/archive/index.json", std::ios::binary);
    f << index;
    return bool(f);
}
