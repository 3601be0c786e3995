// An instrument for the fake library that keeps a parameter record, a log
// entry table and files on its card, and answers the parameter, entry-list,
// file-info and read-file requests from them as the instrument does.
#ifndef FAKE_CARD_H
#define FAKE_CARD_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cmd_fixture.h"

struct FakeCard {
    Bytes params = Bytes(319);
    std::vector<std::pair<uint32_t, uint8_t>> entries; // key, flags per slot
    std::map<std::string, Bytes> files;
    std::string serial = "A0001234";
    bool serial_fails = false;
    // Files whose reads fail (the instrument answers with a failure).
    std::set<std::string> failing;
    // Most bytes a read answers, as an older instrument (0: what is asked).
    uint32_t max_read = 0;

    // Makes the fake answer from this card (until the fake is reset).
    void install();
    // Sets max_stored_meas in the parameter record.
    void set_slots(int32_t n);
    // Names of the files read, in the order of their first piece.
    static std::vector<std::string> files_read();
};

// Chdir into a directory for the lifetime of the object.
class InDir {
  public:
    explicit InDir(const std::string &dir);
    ~InDir();
    InDir(const InDir &) = delete;
    InDir &operator=(const InDir &) = delete;

  private:
    std::string old_;
};

#endif
