// The instrument itself: identity, clock, parameter record, storage card,
// measurement log, external flash, the remote-measurement state machine
// with its live-data events, and the screen. It answers one verified request
// frame at a time; timing (live events, state changes) goes through the
// host's scheduler, and the host owns the link.
#ifndef VO62SIM_INSTRUMENT_H
#define VO62SIM_INSTRUMENT_H

#include "card.h"
#include "frame.h"
#include "options.h"
#include "records.h"

#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace vo62sim {

// Request codes the instrument understands.
enum RequestCode : uint16_t {
    kGetFwVersion = 8001,
    kGetTime = 8002,
    kSetTime = 8003,
    kGetSerial = 8007,
    kGetModel = 8008,
    kMemoryUsage = 8016,
    kRestart = 8021,
    kSendEvent = 8022,
    kSetState = 8023,
    kGetState = 8024,
    kEraseFlash = 8100,
    kReadFlash = 8101,
    kWriteFlash = 8102,
    kFlashFw = 8103,
    kSetSerial = 8104,
    kSetModel = 8105,
    kGetParams = 8201,
    kSetParams = 8202,
    kGetStatus = 8203,
    kGetLogEntries = 8204,
    kClearLogs = 8206,
    kFileInfo = 8209,
    kWriteFile = 8210,
    kReadFile = 8211,
    kMeasure = 8212,
    kGetScreen = 8213
};

constexpr uint16_t kLiveDataCode = 9302;
// Live-data event kinds.
enum LiveKind : uint32_t {
    kLiveStart = 1,
    kLiveProgress = 2,
    kLiveButton = 3,
    kLiveFinished = 4,
    kLiveScanStart = 0x81,
    kLiveScanProgress = 0x82,
    kLiveScanButton = 0x83,
    kLiveScanFinished = 0x84
};

// States of the remote-measurement state machine.
enum DeviceState : int32_t {
    kStateLocal = 1,
    kStateReady = 2,
    kStateRemote = 25,
    kStateMeasuring = 26,
    kStateScanning = 27
};
// Key and control events.
enum DeviceEvent : uint32_t {
    kEventOk = 0x2001,
    kEventDown = 0x2002,
    kEventSelect = 0x4001
};

constexpr uint32_t kExtFlashSize = 0x80000;
constexpr uint32_t kFirmwareImageSize = 0x7F000;
constexpr uint32_t kDefaultModel = 0x1800; // VO62 S/C, 24-bit ADC
constexpr const char *kFirmwareVersion = "2.07";
constexpr size_t kMaxReadCount = kReadLimit;
constexpr size_t kMaxAppend = kAppendLimit;
constexpr size_t kFileRequestHead = 40;
constexpr int kEntriesPerReply = 32;
constexpr int kRemoteSettleMs = 150;

class InstrumentHost {
  public:
    virtual ~InstrumentHost() = default;
    // Sends an unsolicited frame (live data) on the link in use.
    virtual void send_event(const Bytes &frame) = 0;
    // Runs fn on the simulator's thread after ms milliseconds.
    virtual void schedule(int ms, std::function<void()> fn) = 0;
    // Drops the link once the current reply has gone out.
    virtual void request_restart() = 0;
    // The serial number changed.
    virtual void identity_changed() = 0;
};

class Instrument {
  public:
    explicit Instrument(InstrumentHost &host) : host_(host) {}
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Opens the card (made when missing), loads or creates the stored
    // state, the demo log and the card image. 0, or -1 with a message.
    int init(const Options &opts, const std::string &card_dir,
             std::string &err);
    // Answers one request; an empty result means no reply.
    Bytes handle(const Frame &req);
    // Power cycle: the remote state machine returns to local.
    void restart();
    // Writes what is kept only in memory (external flash) to the card.
    void persist();
    void set_stuck(bool stuck) { stuck_ = stuck; }

    std::string serial() const { return serial_; }
    int32_t state() const { return state_; }
    Card &card() { return card_; }
    const Bytes &params() const { return params_; }
    const Bytes &ext_flash() const { return flash_; }
    uint32_t model() const { return model_; }
    int64_t clock_offset() const { return clock_offset_; }

  private:
    Bytes ok(const Frame &req, const Bytes &payload = {}) const;
    Bytes fail(const Frame &req) const;

    Bytes on_set_time(const Frame &req);
    Bytes on_memory_usage(const Frame &req);
    Bytes on_event(const Frame &req);
    Bytes on_set_state(const Frame &req);
    Bytes on_erase(const Frame &req);
    Bytes on_read_flash(const Frame &req);
    Bytes on_write_flash(const Frame &req);
    Bytes on_flash_fw(const Frame &req);
    Bytes on_set_serial(const Frame &req);
    Bytes on_set_params(const Frame &req);
    Bytes on_status(const Frame &req);
    Bytes on_entries(const Frame &req);
    Bytes on_clear_logs(const Frame &req);
    Bytes on_file_info(const Frame &req);
    Bytes on_write_file(const Frame &req);
    Bytes on_read_file(const Frame &req);
    Bytes on_measure(const Frame &req);
    Bytes on_screen(const Frame &req);

    int load_state(const Options &opts, bool &fresh);
    int save_state();
    int make_raw_image(uint64_t size);
    uint32_t slot_key(int slot) const;
    int count_log() const;
    uint32_t block_size() const;

    // Remote measurement.
    void cancel_activity();
    void enter_remote();
    void start_measurement();
    void measurement_step(uint64_t gen, int step);
    void finish_measurement(int error);
    void start_scan();
    void scan_step(uint64_t gen);
    void finish_scan();
    void send_live(uint32_t kind, int32_t value, float kappa, float sigma);
    void reading(float &kappa, float &sigma);
    MeasRecord base_record(uint32_t type);
    void store_last(const MeasRecord &r);
    void store_in_log(const MeasRecord &r);

    InstrumentHost &host_;
    Card card_;
    std::string serial_ = kDefaultSerial;
    uint32_t model_ = kDefaultModel;
    int64_t clock_offset_ = 0;
    Bytes params_;
    Bytes flash_;
    bool flash_dirty_ = false;
    uint32_t block_size_ = kDefaultBlockSize;
    bool report_block_size_ = true;
    uint32_t max_read_ = kReadLimit;     // most bytes a read answers
    uint32_t max_append_ = kAppendLimit; // most bytes an append takes
    int measure_ms_ = kDefaultMeasureMs;
    int scan_ms_ = kDefaultScanSampleMs;
    bool stuck_ = false;
    std::mt19937_64 rng_{7};

    int32_t state_ = kStateLocal;
    int menu_sel_ = 0;   // 0 none, 1 single measurement, 2 scanner
    int menu_open_ = 0;  // the function whose screen is open
    bool armed_ = false; // single measurement waiting for its trigger
    uint64_t gen_ = 0;   // bumped to void scheduled steps
    int progress_ = 0;
    int scan_starts_ = 0;
    int next_rec_no_ = 5000;
    int32_t counter_ = 100;
    std::vector<float> scan_susc_, scan_cond_;
    std::vector<bool> scan_marks_;
    float last_kappa_ = 0, last_sigma_ = 0;
    bool have_last_ = false;
};

} // namespace vo62sim

#endif
