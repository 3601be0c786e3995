// "get params" and "set params" against an instrument whose record holds a
// different value in every field.
#include <cmath>
#include <cstring>
#include <sstream>

#include "fake_card.h"
#include "process.h"
#include "shell.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

using fake_comm::frame;
using fake_comm::text;

// Every byte differs from its neighbours; the float fields hold their
// offset + 0.5, the GPS PIN eight characters without a terminator.
Bytes odd_record() {
    Bytes b(319);
    for (size_t o = 0; o < b.size(); o++)
        b[o] = uint8_t(o * 7 + 3);
    WireWriter w(b.data(), b.size());
    for (size_t o = 4; o < 68; o += 4)
        w.f32(o, float(o) + 0.5f);
    for (size_t o = 127; o + 4 <= 319; o += 4)
        w.f32(o, float(o) + 0.5f);
    w.bytes(71, "ABCD1234", 8);
    return b;
}

// The full listing of odd_record().
const char *const FULL_LISTING =
    "Params.audio_vol         = 10\n"
    "Params.contrast          = 205\n"
    "Params.calib_mode        = 24\n"
    "Params.meas_mode         = 212\n"
    "Params.pc_auth           = 223\n"
    "Params.gps_on            = 237\n"
    "Params.gps_paired        = 44\n"
    "Params.gps_pin_enable    = 230\n"
    "Params.gps_pin           = 'ABCD1234'\n"
    "Params.battery_type      = 142\n"
    "Params.replay_note       = 128\n"
    "Params.use_lp            = 3\n"
    "Params.sd_timeout        = 31090\n"
    "Params.save_error_meas   = 135\n"
    "Params.demag_corr        = 17\n"
    "Params.cond_corr         = 1262763318\n"
    "Params.max_stored_meas   = -1432118123\n"
    "Params.gps_addr[0]       = 0x41\n"
    "Params.gps_addr[1]       = 0x48\n"
    "Params.gps_addr[2]       = 0x4F\n"
    "Params.gps_addr[3]       = 0x56\n"
    "Params.gps_addr[4]       = 0x5D\n"
    "Params.gps_addr[5]       = 0x64\n"
    "Params.gps_uuid          = 0x3a33\n"
    "Params.bt_baud_rate      = -135206430\n"
    "Params.calib.nom_susc[0]   = 4.50\n"
    "Params.calib.nom_cond[0]   = 12.50\n"
    "Params.calib.nom_susc[1]   = 8.50\n"
    "Params.calib.nom_cond[1]   = 16.50\n"
    "Params.calib.fs            = 20.50\n"
    "Params.calib.us            = 28.50\n"
    "Params.calib.fc            = 24.50\n"
    "Params.calib.uc            = 32.50\n"
    "Params.calib2.a            = 127.500000\n"
    "Params.calib2.b            = 131.500000\n"
    "Params.calib2.c            = 135.500000\n"
    "Params.calib2.d            = 139.500000\n"
    "Params.calib2.exp_a        = 143.500000\n"
    "Params.calib2.exp_b        = 147.500000\n"
    "Params.calib2.exp_c        = 151.500000\n"
    "Params.calib2.exp_d        = 155.500000\n"
    "Params.calib2.cond_nom[0]  = 159.5000000\n"
    "Params.calib2.cond_nom[1]  = 163.5000000\n"
    "Params.calib2.cond_nom[2]  = 167.5000000\n"
    "Params.calib2.cond_nom[3]  = 171.5000000\n"
    "Params.calib2.cond_nom[4]  = 175.5000000\n"
    "Params.calib2.cond_nom[5]  = 179.5000000\n"
    "Params.calib2.cond_nom[6]  = 183.5000000\n"
    "Params.calib2.cond_meas[0] = 191.5000000\n"
    "Params.calib2.cond_meas[1] = 195.5000000\n"
    "Params.calib2.cond_meas[2] = 199.5000000\n"
    "Params.calib2.cond_meas[3] = 203.5000000\n"
    "Params.calib2.cond_meas[4] = 207.5000000\n"
    "Params.calib2.cond_meas[5] = 211.5000000\n"
    "Params.calib2.cond_meas[6] = 215.5000000\n"
    "Params.calib_pin.nom_susc[0]   = 36.50\n"
    "Params.calib_pin.nom_cond[0]   = 44.50\n"
    "Params.calib_pin.nom_susc[1]   = 40.50\n"
    "Params.calib_pin.nom_cond[1]   = 48.50\n"
    "Params.calib_pin.fs            = 52.50\n"
    "Params.calib_pin.us            = 60.50\n"
    "Params.calib_pin.fc            = 56.50\n"
    "Params.calib_pin.uc            = 64.50\n"
    "Params.calib2_pin.a            = 223.5000000\n"
    "Params.calib2_pin.b            = 227.5000000\n"
    "Params.calib2_pin.c            = 231.5000000\n"
    "Params.calib2_pin.d            = 235.5000000\n"
    "Params.calib2_pin.exp_a        = 239.5000000\n"
    "Params.calib2_pin.exp_b        = 243.5000000\n"
    "Params.calib2_pin.exp_c        = 247.5000000\n"
    "Params.calib2_pin.exp_d        = 251.5000000\n"
    "Params.calib2_pin.cond_nom[0]  = 255.5000000\n"
    "Params.calib2_pin.cond_nom[1]  = 259.5000000\n"
    "Params.calib2_pin.cond_nom[2]  = 263.5000000\n"
    "Params.calib2_pin.cond_nom[3]  = 267.5000000\n"
    "Params.calib2_pin.cond_nom[4]  = 271.5000000\n"
    "Params.calib2_pin.cond_nom[5]  = 275.5000000\n"
    "Params.calib2_pin.cond_nom[6]  = 279.5000000\n"
    "Params.calib2_pin.cond_meas[0] = 287.5000000\n"
    "Params.calib2_pin.cond_meas[1] = 291.5000000\n"
    "Params.calib2_pin.cond_meas[2] = 295.5000000\n"
    "Params.calib2_pin.cond_meas[3] = 299.5000000\n"
    "Params.calib2_pin.cond_meas[4] = 303.5000000\n"
    "Params.calib2_pin.cond_meas[5] = 307.5000000\n"
    "Params.calib2_pin.cond_meas[6] = 311.5000000\n"
    "Params.use_conc_lut_susc   = 191\n"
    "Params.use_conc_lut_cond   = 177\n"
    "Params.diameter            = 198\n"
    "Params.bh_mode             = 791159066\n"
    "Params.bh_units            = 319555070\n"
    "Params.adv_mode            = 1734367570\n"
    "Params.susc_units          = 110\n"
    "Params.cond_units          = 117\n";

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l + "\n");
    return lines;
}

// The basic rows: the first 11 and the last 8 of the listing.
std::string basic_listing() {
    auto lines = split_lines(FULL_LISTING);
    std::string out;
    for (size_t i = 0; i < lines.size(); i++)
        if (i < 11 || i >= 85)
            out += lines[i];
    return out;
}

class Params : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        card_.params = odd_record();
        card_.install();
        fake_comm::answer(8202, frame(9202));
    }
    FakeCard card_;
    TempDir dir_;
    InDir in_{dir_.path()};
};

TEST_F(Params, ListingBasicAndExtended) {
    OutputCapture cap;
    char line[] = "gp\n";
    feed_stdin("\n\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_EQ(cap.out(),
              "Extended parameters[no]:Save to file[no]:" + basic_listing());
    EXPECT_EQ(split_lines(basic_listing()).size(), 19u);
    EXPECT_TRUE(sent(8007).empty()); // no serial read without a file

    cap.clear();
    feed_stdin("y\nn\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_EQ(cap.out(), std::string("Extended parameters[no]:Save to file"
                                     "[no]:") +
                             FULL_LISTING);
    EXPECT_EQ(split_lines(FULL_LISTING).size(), 93u);
    EXPECT_EQ(cap.err(), "");
}

TEST_F(Params, SavedFileHoldsTheSameLines) {
    OutputCapture cap;
    char line[] = "gp\n";
    feed_stdin("yes\nyes\n\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_EQ(cap.out(), std::string("Extended parameters[no]:Save to file"
                                     "[no]:Serial = A0001234\n"
                                     "Enter params file name"
                                     "[params_A0001234.txt]:") +
                             FULL_LISTING);
    EXPECT_EQ(read_text_file("params_A0001234.txt"), FULL_LISTING);

    // A name typed at the prompt; the basic listing only.
    feed_stdin("n\ny\nmine.txt\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_EQ(read_text_file("mine.txt"), basic_listing());
}

TEST_F(Params, DefaultFileNameFromAnUnreadableOrStrangeSerial) {
    OutputCapture cap;
    char line[] = "gp\n";
    card_.serial_fails = true;
    card_.install();
    feed_stdin("n\ny\n\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_NE(cap.out().find("Enter params file name[params_.txt]:"),
              std::string::npos);
    EXPECT_EQ(read_text_file("params_.txt"), basic_listing());

    // A serial is never a way out of the working directory.
    card_.serial_fails = false;
    card_.serial = "A0/../x.";
    card_.install();
    cap.clear();
    feed_stdin("n\ny\n\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_NE(cap.out().find("Enter params file name[params_A0____x_.txt]:"),
              std::string::npos);
    EXPECT_TRUE(file_exists("params_A0____x_.txt"));
}

TEST_F(Params, UnwritableFileIsReportedAndTheListingStillShown) {
    OutputCapture cap;
    char line[] = "gp\n";
    feed_stdin("n\ny\nno/such/dir.txt\n");
    EXPECT_EQ(V21_cmd_get_params(line, 0), 0);
    EXPECT_EQ(cap.err(), "Error writing file:no/such/dir.txt!\n");
    std::string out = cap.out();
    EXPECT_EQ(out.substr(out.size() - basic_listing().size()), basic_listing());
}

TEST_F(Params, EnterEverywhereWritesTheRecordBackAsRead) {
    // A signalling NaN must come back with its payload.
    WireWriter(card_.params.data(), card_.params.size()).u32(20, 0x7FA00001);
    card_.install();
    OutputCapture cap;
    char line[] = "sp\n";
    feed_stdin("y\n");
    EXPECT_EQ(V21_cmd_set_params(line, 0), 0);
    ASSERT_EQ(sent(8202).size(), 1u);
    Bytes expect = card_.params;
    expect[99] = 1;
    EXPECT_EQ(sent(8202)[0], expect);
    EXPECT_EQ(cap.err(), "");
    // Values show as stored, unsigned; never as their negative.
    EXPECT_NE(cap.out().find("Params.contrast[205]:"), std::string::npos);
    EXPECT_NE(cap.out().find("Params.sd_timeout[31090]:"), std::string::npos);
    EXPECT_NE(cap.out().find("Params.calib.a[127.500]:"), std::string::npos);
}

TEST_F(Params, PromptsInOrderWithTheirRanges) {
    // A record whose fields are all within range, so the answers below are
    // the only changes.
    card_.params = Bytes(319);
    card_.install();
    OutputCapture cap;
    char line[] = "sp\n";
    std::string answers = "y\n"
                          "3\n2\n"          // audio_vol: 3 is refused
                          "101\n100\n"      // contrast
                          "4\n1\n1\n5\n5\n" // meas_mode .. use_conc_lut_cond
                          "13\n12\n"        // diameter
                          "1\n1\n1\n1\n1\n" // bh_mode .. cond_units
                          "65536\n65535\n"; // max_stored_meas
    for (int i = 0; i < 60; i++)
        answers += std::to_string(i) + ".25\n";
    answers += "2\n1001\n1000\n1\n11\n10\n1\n1\n921601\n921600\n";
    feed_stdin(answers);
    EXPECT_EQ(V21_cmd_set_params(line, 0), 0);
    ASSERT_EQ(sent(8202).size(), 1u);
    const Bytes rec = sent(8202)[0];
    ASSERT_EQ(rec.size(), 319u);
    WireReader r(rec.data(), rec.size());
    EXPECT_EQ(r.u8(1), 2);     // audio_vol
    EXPECT_EQ(r.u8(102), 100); // contrast
    EXPECT_EQ(r.u8(103), 4);   // meas_mode
    EXPECT_EQ(r.u8(93), 1);    // battery_type
    EXPECT_EQ(r.u8(91), 1);    // replay_note
    EXPECT_EQ(r.u8(100), 5);   // use_conc_lut_susc
    EXPECT_EQ(r.u8(98), 5);    // use_conc_lut_cond
    EXPECT_EQ(r.u8(101), 12);  // diameter
    for (size_t off : {113, 109, 121})
        EXPECT_EQ(r.i32(off), 1) << off; // bh_mode, bh_units, adv_mode
    EXPECT_EQ(r.u8(125), 1);
    EXPECT_EQ(r.u8(126), 1);
    EXPECT_EQ(r.i32(94), 65535);
    // calib in its asking order: nom_susc[0], nom_cond[0], nom_susc[1],
    // nom_cond[1], fs, us, fc, uc.
    const size_t calib_order[] = {0, 8, 4, 12, 16, 24, 20, 28};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(r.f32(4 + calib_order[i]), i + 0.25f) << i;
        EXPECT_EQ(r.f32(36 + calib_order[i]), 30 + i + 0.25f) << i;
    }
    // The second block: a .. exp_d, cond_nom[0..6], cond_meas[0..6].
    for (int i = 0; i < 22; i++) {
        size_t off =
            i < 8 ? 4 * size_t(i)
                  : (i < 15 ? 32 + 4 * size_t(i - 8) : 64 + 4 * size_t(i - 15));
        EXPECT_EQ(r.f32(127 + off), 8 + i + 0.25f) << i;
        EXPECT_EQ(r.f32(223 + off), 38 + i + 0.25f) << i;
    }
    EXPECT_EQ(r.u32(127 + 60), 0u); // reserved words untouched
    EXPECT_EQ(r.u32(223 + 92), 0u);
    EXPECT_EQ(r.u8(0), 2);         // use_lp
    EXPECT_EQ(r.u16(89), 1000);    // sd_timeout
    EXPECT_EQ(r.u8(2), 1);         // demag_corr
    EXPECT_EQ(r.i32(117), 10);     // cond_corr
    EXPECT_EQ(r.u8(92), 1);        // save_error_meas
    EXPECT_EQ(r.u8(68), 1);        // pc_auth
    EXPECT_EQ(r.i32(105), 921600); // bt_baud_rate
    EXPECT_EQ(r.u8(99), 1);        // host_write_flag

    // The calibration prompts name the first block of each pair.
    const std::string out = cap.out();
    EXPECT_NE(out.find("Params.calib.a[0.000]:"), std::string::npos);
    EXPECT_NE(out.find("Params.calib_pin.cond_meas[6][0.000]:"),
              std::string::npos);
    EXPECT_EQ(out.find("calib2"), std::string::npos);
    EXPECT_NE(out.find("Params.audio_vol[0]:Params.audio_vol[0]:"
                       "Params.contrast[0]:"),
              std::string::npos);
}

TEST_F(Params, BasicPromptsOnlyWithoutExtended) {
    OutputCapture cap;
    char line[] = "sp\n";
    feed_stdin("\n");
    EXPECT_EQ(V21_cmd_set_params(line, 0), 0);
    const std::string out = cap.out();
    const char *basic[] = {
        "audio_vol",   "contrast",          "meas_mode",         "battery_type",
        "replay_note", "use_conc_lut_susc", "use_conc_lut_cond", "diameter",
        "bh_mode",     "bh_units",          "adv_mode",          "susc_units",
        "cond_units"};
    size_t pos = 0;
    for (const char *name : basic) {
        size_t at = out.find(std::string("Params.") + name + "[", pos);
        ASSERT_NE(at, std::string::npos) << name;
        pos = at + 1;
    }
    EXPECT_EQ(out.find("max_stored_meas"), std::string::npos);
    EXPECT_EQ(out.find("calib"), std::string::npos);
}

TEST_F(Params, FailuresEndBeforeAnythingIsWritten) {
    OutputCapture cap;
    char line[] = "sp\n";
    fake_comm::set_device(nullptr);
    fake_comm::answer(8201, frame(12290));
    EXPECT_EQ(V21_cmd_set_params(line, 0), -1);
    EXPECT_EQ(V21_cmd_get_params(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_params error(code=1)!\n"
                         "Command V21_cmd_get_params error(code=1)!\n");
    EXPECT_EQ(cap.out(), ""); // no prompt

    // A record cut short is never shown nor written back.
    fake_comm::answer(8201, frame(9201, Bytes(318, 0)));
    cap.clear();
    EXPECT_EQ(V21_cmd_set_params(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_params error(code=1)!\n");
    EXPECT_TRUE(sent(8202).empty());

    // The write fails.
    fake_comm::answer(8201, frame(9201, Bytes(319, 0)));
    fake_comm::answer(8202, frame(12290));
    cap.clear();
    feed_stdin("");
    EXPECT_EQ(V21_cmd_set_params(line, 0), -1);
    EXPECT_EQ(cap.err(), "Command V21_cmd_set_params error(code=1)!\n");

    connected = 0;
    cap.clear();
    fake_comm::clear_records();
    EXPECT_EQ(V21_cmd_get_params(line, 0), -1);
    EXPECT_EQ(V21_cmd_set_params(line, 0), -1);
    EXPECT_TRUE(fake_comm::writes().empty());
    EXPECT_EQ(cap.err(), "\nDevice not connected!\n\nDevice not connected!\n");
}

} // namespace
