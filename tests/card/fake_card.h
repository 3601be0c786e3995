// A storage card behind the fake library: answers the file-info, write-file
// and read-file requests from files kept in memory, and can refuse or
// repeat chosen requests, for tests of the card transfer commands.
#ifndef FAKE_CARD_H
#define FAKE_CARD_H

#include <map>
#include <set>
#include <string>

#include "fake_comm.h"

struct CardOp {
    int code;        // request code
    uint32_t first;  // operation (write) or offset (read)
    uint32_t second; // data length (write) or most bytes wanted (read)
    std::string name;
};

class FakeCard {
  public:
    // Installs itself as the fake's device.
    FakeCard();

    std::map<std::string, fake_comm::Bytes> files;
    std::set<std::string> dirs;
    fake_comm::Bytes image; // the device file "raw"
    // Size the file-info request gives for "raw"; its true size when -1.
    long long image_size = -1;
    std::vector<CardOp> ops;

    // The request with this index in ops (counting every file request from
    // 0) is refused with the general failure reply.
    int refuse_at = -1;
    // Appends that are applied but whose reply is lost: indexes in ops.
    std::set<size_t> lose_reply_at;
    // Requests that are lost on their way: neither applied nor answered.
    std::set<size_t> lose_request_at;
    // Every append to this file is stored twice (and answered once).
    std::string always_twice;
    // An older instrument: a read asking for more than read_limit bytes
    // gets at most read_limit of them, none, or the failure reply (by
    // read_answer); an append of more than append_limit bytes is refused.
    // 0: no limit.
    enum class Answer { Short, Empty, Refused };
    uint32_t read_limit = 0;
    Answer read_answer = Answer::Short;
    uint32_t append_limit = 0;

    // Write operations of the ops, as "op:name:len".
    std::vector<std::string> writes() const;

  private:
    void handle(int id, const fake_comm::Bytes &frame);
};

#endif
