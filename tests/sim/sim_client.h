// A test-side client of the simulator: its own frame encoder and decoder
// (written apart from the simulator's and the console's, so a mistake in
// either shows), over the simulator's pseudo-terminal or TCP port.
#ifndef SIM_CLIENT_H
#define SIM_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

using ByteVec = std::vector<uint8_t>;

struct WireFrame {
    uint16_t code = 0;
    uint16_t param = 0;
    uint8_t status = 0;
    ByteVec payload;
};

ByteVec encode_request(uint16_t code, const ByteVec &payload, uint16_t param);

// Little-endian helpers for building payloads and reading replies.
void add_u16(ByteVec &b, uint16_t v);
void add_u32(ByteVec &b, uint32_t v);
uint32_t get_u32(const ByteVec &b, size_t off);
uint16_t get_u16(const ByteVec &b, size_t off);
float get_f32(const ByteVec &b, size_t off);
ByteVec u32_payload(uint32_t v);
// The 40-byte head of a file request, then data.
ByteVec file_request(const std::string &name, uint32_t a, uint32_t b,
                     const ByteVec &data = {});

class SimClient {
  public:
    static constexpr int kReplyTimeoutMs = 3000;

    ~SimClient() { close(); }
    bool open_pty(const std::string &path);
    bool open_tcp(int port);
    void close();
    bool is_open() const { return fd_ >= 0; }

    bool send_raw(const ByteVec &bytes);
    // Sends a request and waits for the next frame that is not a live-data
    // event; events that arrive meanwhile are kept in events().
    bool request(uint16_t code, const ByteVec &payload, WireFrame &reply,
                 int timeout_ms = kReplyTimeoutMs, uint16_t param = 800);
    // Waits for any frame.
    bool next_frame(WireFrame &out, int timeout_ms);
    // True when the link reports end (the simulator dropped it) within the
    // time-out.
    bool wait_hangup(int timeout_ms);
    std::vector<WireFrame> &events() { return events_; }

  private:
    bool take_frame(WireFrame &out);

    int fd_ = -1;
    ByteVec rx_;
    std::vector<WireFrame> events_;
};

#endif
