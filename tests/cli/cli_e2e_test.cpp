// The command line against vo62-sim: every command group's effect on the
// simulator and its files (the same bytes the console's command writes for
// the same answers), its exit status and its JSON; "-p auto" with none, one
// and two simulators; usage errors that send nothing; Ctrl-C in the middle
// of a card download.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

// The card image is read in pieces of the most a read reply carries; a
// resumed copy goes on from a whole number of 512-byte reads.
constexpr uint64_t kReadSize = 3996;
constexpr uint64_t kResumeUnit = 512;

TEST_F(CliEndToEnd, IdentityClockAndModelChangeTheInstrument) {
    SimProcess sim({"--seed", "3"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"serial", "set", "4711"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = cli(sim, {"serial", "set", "4712"}, b_dir());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("serial number already set (A0004711)"),
              std::string::npos)
        << r.err;

    r = cli(sim, {"model", "set", "logo=1", "24bit ADC=0"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = cli(sim, {"time", "set", "--offset", "-3"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;

    r = cli(sim, {"--json", "info"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    EXPECT_EQ(j["serial"], "A0004711");
    EXPECT_EQ(j["model"]["options"]["logo"], true);
    EXPECT_EQ(j["model"]["options"]["adc24"], false);
    EXPECT_GT(j["status"]["battery_mv"].get<int>(), 0);
    EXPECT_EQ(j["clock"].get<std::string>().size(), 19u);
    EXPECT_GT(j["memory"]["heap_free_bytes"].get<int>(), 0);
    // The memory report's lines as fields; codes with their meaning.
    EXPECT_EQ(j["memory"]["log_slots"], 100);
    EXPECT_GT(j["memory"]["log_slots_used"].get<int>(), 0);
    EXPECT_GT(j["memory"]["card_image_bytes"].get<int>(), 0);
    EXPECT_GT(j["memory"]["flash_block_bytes"].get<int>(), 0);
    EXPECT_EQ(j["status"]["gps_on"], j["status"]["gps"] != 0);
    EXPECT_EQ(j["status"]["bluetooth_on"], j["status"]["bluetooth"] != 0);

    // The console sees the same.
    ProcessResult c = console(sim, "gs\ngm\n", a_dir());
    EXPECT_NE(c.out.find("Serial = A0004711\n"), std::string::npos);
    EXPECT_NE(c.out.find("Zuvodede logo displayed.\n"), std::string::npos);
    EXPECT_EQ(c.out.find("24bit ADC\n"), std::string::npos);

    // -q leaves out commentary and progress, never the result.
    r = cli(sim, {"-q", "--json", "info"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(parse(r)["serial"], "A0004711");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-q", "info"}, {"-q", "time", "get"}}) {
        r = cli(sim, args, b_dir());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out, "") << args[1];
        EXPECT_EQ(r.err, "");
    }

    r = cli(sim, {"--json", "restart"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["restarted"], true);
}

TEST_F(CliEndToEnd, ParamsFileEqualsTheConsolesAndSetChecksFirst) {
    SimProcess sim({"--seed", "3"});
    ASSERT_TRUE(sim.started());
    ProcessResult c = console(sim, "gp\ny\ny\np.txt\n", a_dir());
    ASSERT_EQ(c.exit_code, 0);
    ProcessResult r =
        cli(sim, {"params", "get", "--extended", "--out", "p.txt"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(b("p.txt")), read_file(a("p.txt")));
    EXPECT_EQ(r.out, read_file(a("p.txt")));

    // One bad value of several: nothing is written.
    const std::string params = sim.card_dir() + "/.vo62sim/params.bin";
    const std::string before = read_file(params);
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"contrast=60", "contrast=101"},
          {"contrast=60", "audio_vol=x"},
          {"contrast=60", "calib.fs=nan"},
          {"contrast=60", "no_such=1"}}) {
        std::vector<std::string> args = {"params", "set"};
        args.insert(args.end(), bad.begin(), bad.end());
        r = cli(sim, args, b_dir());
        EXPECT_EQ(r.exit_code, 2) << bad[1];
        EXPECT_NE(r.err.find(bad[1].substr(0, bad[1].find('='))),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(read_file(params), before);

    r = cli(sim,
            {"params", "set", "contrast=60", "Params.sd_timeout=999",
             "calib2_pin.exp_d=-2.5"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = cli(sim, {"--json", "params", "get", "--extended"}, b_dir());
    json j = parse(r);
    EXPECT_EQ(j["params"]["contrast"], 60);
    EXPECT_EQ(j["params"]["sd_timeout"], 999);
    EXPECT_DOUBLE_EQ(j["params"]["calib2_pin.exp_d"].get<double>(), -2.5);
    EXPECT_EQ(j["params"]["audio_vol"], 1); // untouched
}

TEST_F(CliEndToEnd, LogDownloadEqualsTheConsolesAndDeletingAsksForYes) {
    SimProcess sim({"--seed", "7"});
    ASSERT_TRUE(sim.started());
    ProcessResult c = console(sim, "ml\ny\ny\ny\ny\n", a_dir());
    ASSERT_EQ(c.exit_code, 0);
    ProcessResult r = cli(
        sim,
        {"--json", "log", "download", "out/log", "--notes", "--raw", "--aux"},
        b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    EXPECT_EQ(j["dir"], "out/log");
    EXPECT_GT(j["records"].get<int>(), 0);
    EXPECT_EQ(j["records"], j["total"]);
    const auto console_files = tree(a("kappa_XXXX"));
    EXPECT_GT(console_files.size(), 20u);
    EXPECT_EQ(tree(b("out/log")), console_files);
    EXPECT_FALSE(file_exists(b("aaa"))); // the slot dump is the console's

    // Slot 0 of the demo log holds a record.
    const std::string slot0 = sim.card_dir() + "/meas/meas0000.dat";
    ASSERT_TRUE(file_exists(slot0));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"log", "delete", "0"},
          {"log", "clear"},
          {"log", "purge"}}) {
        r = cli(sim, args, b_dir());
        EXPECT_EQ(r.exit_code, 2) << args[1];
        EXPECT_NE(r.err.find("without --yes"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(file_exists(slot0));
    r = cli(sim, {"-y", "log", "delete", "100"}, b_dir());
    EXPECT_EQ(r.exit_code, 2) << r.err; // the demo log has 100 slots
    r = cli(sim, {"log", "delete", "0", "--yes"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(file_exists(slot0));
    r = cli(sim, {"-y", "log", "purge"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = cli(sim, {"--json", "log", "download", "--no-summary"}, b_dir());
    EXPECT_EQ(parse(r)["total"], 0);
}

TEST_F(CliEndToEnd, CardImageAndUploadedArchiveLandWhole) {
    SimProcess sim({"--seed", "2", "--image-size", "204800"});
    ASSERT_TRUE(sim.started());
    ProcessResult c = console(sim, "ds\nsd.img\n", a_dir());
    ASSERT_EQ(c.exit_code, 0);
    ProcessResult r =
        cli(sim, {"--json", "card", "download", "img.bin"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string raw = read_file(sim.card_dir() + "/raw");
    EXPECT_EQ(raw.size(), 204800u);
    EXPECT_EQ(read_file(b("img.bin")), raw);
    EXPECT_EQ(read_file(a("sd.img")), raw);
    EXPECT_EQ(parse(r)["bytes"], 204800);

    ASSERT_TRUE(fs::create_directories(b("src/d")));
    ASSERT_TRUE(write_file(b("src/d/f"), std::string(1000, 'x')));
    ProcessResult tar =
        run_process({"/bin/sh", "-c", "tar -cf up.tar -C src d"}, "", {},
                    kRunMs, false, b_dir());
    ASSERT_EQ(tar.exit_code, 0) << tar.err;
    r = cli(sim, {"card", "upload", "up.tar"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(sim.card_dir() + "/d/f"), std::string(1000, 'x'));
    // A damaged archive is a local file's fault.
    ASSERT_TRUE(write_file(b("bad.tar"), std::string(600, 'z')));
    r = cli(sim, {"card", "upload", "bad.tar"}, b_dir());
    EXPECT_EQ(r.exit_code, 4) << r.err;
}

TEST_F(CliEndToEnd, FirmwareContainerEqualsTheConsolesAndFlashes) {
    SimProcess sim({"--seed", "5"});
    ASSERT_TRUE(sim.started());
    std::string image(0x1000, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = char(i * 7 + 3);
    ASSERT_TRUE(write_file(a("fw.bin"), image));
    ASSERT_TRUE(write_file(b("fw.bin"), image));
    ProcessResult c = console(sim, "cg\nfw.bin\nc.qfw\ny\n1\n5\n", a_dir());
    ASSERT_EQ(c.exit_code, 0);
    ProcessResult r =
        cli(sim, {"fw", "create", "fw.bin", "c.qfw", "--fw-version", "1.5"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string ours = read_file(b("c.qfw")), theirs = read_file(a("c.qfw"));
    ASSERT_EQ(ours.size(), 520264u);
    ASSERT_EQ(theirs.size(), ours.size());
    // Equal but for the date and time of making (bytes 60 to 67).
    EXPECT_EQ(ours.substr(0, 60), theirs.substr(0, 60));
    EXPECT_EQ(ours.substr(68), theirs.substr(68));

    r = cli(sim, {"--json", "fw", "upload", "c.qfw", "--flash"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    json up = parse(r);
    EXPECT_EQ(up["flashed"], true);
    EXPECT_EQ(up["bytes"], 520192);
    EXPECT_EQ(up["blocks"].get<int>() * up["block_size"].get<int>(), 520192);
    const std::string flash =
        read_file(sim.card_dir() + "/.vo62sim/extflash.bin");
    EXPECT_EQ(flash.substr(0, 16), ours.substr(72, 16));
}

TEST_F(CliEndToEnd, ScreenTablesAndRemoteMeasurement) {
    SimProcess sim({"--seed", "9", "--measure-ms", "300", "--scan-ms", "50"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"screen", "s.bmp"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(b("s.bmp")).size(), 1358u);
    EXPECT_EQ(read_file(b("s.bmp")).substr(0, 2), "BM");

    r = cli(sim, {"lut", "get", "1", "t1.dat"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(b("t1.dat")),
              read_file(sim.card_dir() + "/lut/lut01.dat"));
    r = cli(sim, {"--json", "lut", "set", "2", "t1.dat", "--name", "Copy"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["name"], "Copy");
    const std::string t2 = read_file(sim.card_dir() + "/lut/lut02.dat");
    ASSERT_EQ(t2.size(), 116u);
    EXPECT_EQ(t2.substr(4, 5), std::string("Copy\0", 5));
    EXPECT_EQ(t2.substr(16), read_file(b("t1.dat")).substr(16));
    r = cli(sim, {"lut", "delete", "2"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(file_exists(sim.card_dir() + "/lut/lut02.dat"));
    r = cli(sim, {"lut", "get", "2"}, b_dir());
    EXPECT_EQ(r.exit_code, 1) << r.err;

    r = cli(sim, {"--json", "measure", "--samples", "m.txt"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json m = parse(r);
    EXPECT_TRUE(m["susc"].is_number());
    EXPECT_TRUE(m["susc_unit"].is_string());
    EXPECT_NE(read_file(b("m.txt")), "");
    r = cli(sim, {"--json", "scan", "--ms", "600"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_GT(parse(r)["samples"].size(), 2u);
}

// A key event's reply that comes late, is lost or corrupted: the event is
// never written twice, and the measurement either fails or is a new one,
// the one the instrument stored; never the one before.
TEST_F(CliEndToEnd, MeasureNeverReportsThePreviousResult) {
    TempDir card;
    auto last_counter = [&] {
        const std::string rec = read_file(card.path() + "/meas/last.dat");
        return rec.size() < 91
                   ? -1
                   : int(uint8_t(rec[87]) | uint8_t(rec[88]) << 8 |
                         uint8_t(rec[89]) << 16 | uint8_t(rec[90]) << 24);
    };
    for (const char *fault :
         {"", "stall:ms=900,code=8022,count=1",
          "stall:ms=1500,code=8022,count=1", "drop:code=8022,count=1",
          "corrupt:p=0.05,code=8022", "stall:ms=900,code=8023,count=1"}) {
        SCOPED_TRACE(fault);
        std::vector<std::string> args = {"--seed", "7", "--measure-ms", "200"};
        if (*fault)
            args.insert(args.end(), {"--fault", fault});
        SimProcess sim(args, card.path());
        ASSERT_TRUE(sim.started());
        const int before = last_counter();
        ProcessResult r = cli(sim, {"--json", "measure"}, b_dir());
        if (*fault == 0) {
            EXPECT_EQ(r.exit_code, 0) << r.err;
        }
        if (r.exit_code == 0) {
            EXPECT_EQ(parse(r)["counter"], before + 1);
            EXPECT_EQ(last_counter(), before + 1);
        } else {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
            EXPECT_LE(last_counter(), before + 1); // measured at most once
        }
    }
}

// "-p auto" takes the only instrument; none, or two, is an error that says
// what was found.
TEST_F(CliEndToEnd, AutoPortFindsExactlyOneInstrument) {
    TempDir empty;
    ProcessResult r =
        run_process({console_binary_path(), "info"}, "",
                    {{"VO62_SIM_DIR", empty.path()}}, kRunMs, false, b_dir());
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("no instrument found"), std::string::npos) << r.err;
    r = run_process({console_binary_path(), "--json", "list"}, "",
                    {{"VO62_SIM_DIR", empty.path()}}, kRunMs, false, b_dir());
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(parse(r)["instruments"].size(), 0u);

    SimProcess first({"--seed", "1"});
    ASSERT_TRUE(first.started());
    r = cli(first, {"-p", "auto", "--json", "info"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = cli(first, {"--json", "list"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json list = parse(r);
    ASSERT_EQ(list["instruments"].size(), 1u);
    const std::string conn = list["instruments"][0]["connection"];
    // The name's parts apart.
    EXPECT_EQ(list["instruments"][0]["serial"], first.serial());
    EXPECT_EQ(list["instruments"][0]["port"], first.pty());
    EXPECT_EQ(list["instruments"][0]["product"], "vo62-sim");
    // The listed connection string connects, given by hand.
    r = cli(first, {"-p", conn, "time", "get"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;

    // A second simulator announced in the same directory.
    TempDir card2;
    ChildProcess second(
        {sim_binary_path(), "--card", card2.file("c"), "--serial", "A0002222"},
        first.env(), true);
    ASSERT_TRUE(second.wait_output("vo62-sim: ", SimProcess::kStartTimeoutMs));
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(SimProcess::kStartTimeoutMs);
    size_t announced = 0;
    while (announced < 2 && std::chrono::steady_clock::now() < deadline) {
        announced = 0;
        for (const auto &e : fs::directory_iterator(first.sim_dir()))
            announced += e.path().extension() == ".ann";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(announced, 2u);
    r = cli(first, {"info"}, b_dir());
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("2 instruments found"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(first.pty()), std::string::npos) << r.err;
    // Either one by its serial, which stays when the port changes.
    for (const std::string &serial :
         {first.serial(), std::string("A0002222")}) {
        r = cli(first, {"--json", "-p", "serial=" + serial, "info"}, b_dir());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(parse(r)["serial"], serial);
    }
    second.kill_now(SIGTERM);
    second.finish(SimProcess::kStopTimeoutMs);
}

// Bad input: one line naming the culprit and its exit status; a usage error
// never connects (no simulator is announced, which would make it 3).
TEST_F(CliEndToEnd, BadInputIsOneLineAndItsStatus) {
    TempDir empty;
    ASSERT_TRUE(write_file(b("odd.bin"), std::string(1001, 'a')));
    ASSERT_TRUE(write_file(b("short.dat"), std::string(100, 'a')));
    // Log directories whose index is of a later version, or no JSON.
    for (const char *d : {"old", "junk"})
        ASSERT_TRUE(fs::create_directories(b(std::string(d) + "/archive")));
    ASSERT_TRUE(write_file(b("old/archive/index.json"),
                           R"({"format": "ra62d2ide-log-archive", )"
                           R"("version": 2, "records": []})"));
    ASSERT_TRUE(write_file(b("junk/archive/index.json"), "{\"format\": "));
    ASSERT_TRUE(fs::create_directories(b("empty/archive")));
    ASSERT_TRUE(write_file(b("empty/archive/index.json"),
                           R"({"format": "ra62d2ide-log-archive", )"
                           R"("version": 1, "serial": "A0001234", )"
                           R"("records": []})"));
    // Containers the upload would refuse: a raw image, one cut short, one
    // with a changed byte.
    ASSERT_EQ(run_process({console_binary_path(), "fw", "create", "odd.bin",
                           "good.qfw", "--no-encrypt"},
                          "", {}, kRunMs, false, b_dir())
                  .exit_code,
              4); // 1001 bytes are no whole words
    ASSERT_TRUE(write_file(b("img.bin"), std::string(4096, 'i')));
    ASSERT_EQ(run_process({console_binary_path(), "fw", "create", "img.bin",
                           "good.qfw"},
                          "", {}, kRunMs, false, b_dir())
                  .exit_code,
              0);
    const std::string good = read_file(b("good.qfw"));
    std::string changed = good;
    changed[1000] = char(changed[1000] ^ 4);
    ASSERT_TRUE(write_file(b("cut.qfw"), good.substr(0, 5000)));
    ASSERT_TRUE(write_file(b("changed.qfw"), changed));
    ASSERT_TRUE(write_file(b("head.qfw"), good.substr(0, 40)));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"bogus"}, 2, "unknown argument 'bogus'"},
        {{"lgo"}, 2, "unknown argument 'lgo' (did you mean 'log'?"},
        {{"log", "lsit"}, 2, "did you mean 'list'?"},
        {{"help", "fw", "falsh"}, 2, "did you mean 'flash'?"},
        {{"-p", "serial:9600,9Z1:/dev/pts/0", "info"},
         2,
         "-p 'serial:9600,9Z1:/dev/pts/0' is not a connection string"},
        {{"-p", "bt:zz", "info"}, 2, "-p 'bt:zz' is not a connection string"},
        {{"-p", "serial=", "info"}, 2, "names no serial"},
        {{"--trace", "no/such/dir/t", "info"},
         4,
         "cannot write the trace file no/such/dir/t: No such file"},
        {{"-v", "--trace", "t", "info"}, 2, "give one of them"},
        {{"-p", "/nonexistent/tty", "info"}, 3, "/nonexistent/tty"},
        {{"-p", "serial=A0001234", "info"}, 3, "no instrument with serial"},
        {{"list"}, 3, "no instrument found"},
        {{"params", "set", "contrast=60", "Params.contrast=61"},
         2,
         "contrast is given twice"},
        {{"params", "set", "gps_pin=123456789"}, 2, "longer than 8"},
        {{"params", "set"}, 2, "NAME=VALUE or --from FILE"},
        {{"params", "set", "--from", "junk/archive/index.json"},
         4,
         "not a JSON object"},
        {{"params", "set", "--from", "none.json"}, 4, "cannot read none.json"},
        {{"fw", "flash", "img.bin"}, 4, "img.bin: not a firmware container"},
        {{"fw", "upload", "img.bin"}, 4, "img.bin: not a firmware container"},
        {{"fw", "upload", "cut.qfw"}, 4, "cut.qfw: truncated at byte 5000"},
        {{"fw", "flash", "head.qfw"}, 4, "head.qfw: truncated at byte 40"},
        {{"fw", "upload", "changed.qfw"}, 4, "changed.qfw: bad check sum"},
        {{"fw", "flash", "none.qfw"}, 4, "none.qfw: cannot be read: No such"},
        {{"fw", "create", "img.bin", "--name", std::string(20, 'n')},
         2,
         "is 20 characters; the header holds at most 19"},
        {{"fw", "create", "img.bin", "--version", "1.5"},
         2,
         "--fw-version 1.5"},
        {{"fw", "create", "img.bin", "/dev/full"},
         4,
         "cannot write /dev/full: No space left on device"},
        {{"export", "empty", "--out", "/sys/ra62d2ide-test"},
         4,
         "cannot make the directory /sys/ra62d2ide-test"},
        {{"--bogus"}, 2, "unknown argument '--bogus'"},
        {{"card", "download", "--fast"}, 2, "unknown argument '--fast'"},
        {{"card", "download", "--chunk", "0"}, 2, "--chunk takes a number"},
        {{"card", "upload", "x.tar", "--chunk", "4057"}, 2, "not '4057'"},
        {{"log", "sync", "--chunk", "big"}, 2, "or seed, not 'big'"},
        {{"log", "download", "--chunk", "-5"}, 2, "--chunk takes"},
        {{"log", "delete"}, 2, "SLOT is required"},
        {{"log", "delete", "two"}, 2, "SLOT"},
        {{"time"}, 2, "ra62d2ide time --help"},
        {{"-p", "nowhere", "info"}, 2, "'nowhere' is not a connection"},
        {{"params", "set", "nosuch=1"}, 2, "unknown parameter 'nosuch'"},
        {{"params", "set", "contrast=many"}, 2, "contrast=many"},
        {{"params", "set", "contrast"}, 2, "'contrast' is not NAME=VALUE"},
        {{"model", "set", "turbo=1"}, 2, "unknown model option 'turbo'"},
        {{"time", "set", "--offset", "13"}, 2, "--offset 13"},
        {{"fw", "create", "missing.bin"}, 4, "missing.bin"},
        {{"fw", "create", "odd.bin", "o.qfw"}, 4, "odd.bin of 1001 bytes"},
        {{"fw", "create", "odd.bin", "--fw-version", "1.300"}, 2, "1.300"},
        {{"lut", "set", "1", "short.dat"}, 4, "short.dat holds 100 bytes"},
        {{"lut", "get", "4"}, 2, "table index 4"},
        {{"card", "upload", "none.tar"}, 4, "none.tar"},
        {{"export", "nowhere"}, 4, "make one with 'ra62d2ide log sync"},
        {{"export"}, 4, "no log archive in the working directory"},
        {{"export", "old"}, 4, "old/archive/index.json: not a log archive"},
        {{"export", "junk"}, 4, "junk/archive/index.json: not valid JSON"},
        {{"export", "--svg"}, 2, "unknown argument '--svg'"},
        {{"--version", "now"}, 2, "unknown argument 'now'"},
        {{"--version"}, 0, ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {console_binary_path()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcessResult r = run_process(
            argv, "", {{"VO62_SIM_DIR", empty.path()}}, kRunMs, false, b_dir());
        EXPECT_EQ(r.exit_code, c.status) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        }
        // The same failure as one JSON object on standard output.
        if (c.status != 0 && c.args[0] != "--version") {
            argv.insert(argv.begin() + 1, "--json");
            r = run_process(argv, "", {{"VO62_SIM_DIR", empty.path()}}, kRunMs,
                            false, b_dir());
            EXPECT_EQ(r.exit_code, c.status) << r.err;
            const json j = parse(r);
            EXPECT_EQ(j["error"]["status"], c.status) << r.out;
            EXPECT_NE(j["error"]["message"].get<std::string>().find(c.says),
                      std::string::npos)
                << r.out;
        }
    }
    EXPECT_FALSE(file_exists(b("o.qfw")));
    // The reason is the making's, not that of a look after it failed.
    EXPECT_EQ(run_process({console_binary_path(), "export", "empty", "--out",
                           "/sys/ra62d2ide-test"},
                          "", {}, kRunMs, false, b_dir())
                  .err.find("No such file"),
              std::string::npos);
}

// The transfers ask for as much as a request carries (--chunk N for other
// sizes, seed for the console's) and leave the console's bytes: the card's
// image, the unpacked archive, the files of a log download and of a sync.
// An older instrument that answers reads with at most 512 bytes and
// refuses appends of more than 128 gives the same, with one line saying
// that the sizes fell back.
TEST_F(CliEndToEnd, BulkTransfersEqualTheConsolesAlsoOnAnOlderInstrument) {
    ASSERT_TRUE(fs::create_directories(b("src/up")));
    ASSERT_TRUE(write_file(b("src/up/a"), std::string(300, 'a')));
    std::string big(9000, 0);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = char(i * 7 % 253);
    ASSERT_TRUE(write_file(b("src/up/b"), big));
    ProcessResult tar =
        run_process({"/bin/sh", "-c", "tar -cf up.tar -C src up"}, "", {},
                    kRunMs, false, b_dir());
    ASSERT_EQ(tar.exit_code, 0) << tar.err;
    const std::string fell_back = "the rest goes at the console's piece sizes";
    for (bool older : {false, true}) {
        SCOPED_TRACE(older ? "older" : "bulk");
        const std::string trace = work_.file(older ? "old.trace" : "new.trace");
        std::vector<std::string> args = {"--seed", "7",       "--image-size",
                                         "204800", "--trace", trace};
        if (older)
            args.insert(args.end(),
                        {"--max-read", "512", "--max-append", "128"});
        SimProcess sim(args);
        ASSERT_TRUE(sim.started());
        const std::string d = older ? "old/" : "new/";
        ASSERT_TRUE(fs::create_directories(a(d)) &&
                    fs::create_directories(b(d)));
        ASSERT_EQ(console(sim, "ml\ny\ny\ny\ny\n", a(d)).exit_code, 0);
        const auto console_log = tree(a(d + "kappa_XXXX"));
        const std::string raw = read_file(sim.card_dir() + "/raw");
        struct Copy {
            std::vector<std::string> chunk;
            size_t reads;
        };
        // 51 whole reads of 3,996 bytes, the rest, the empty one; 512 bytes
        // a read; 1,000.
        std::vector<Copy> copies = {{{}, older ? 401u : 53u}};
        if (!older)
            copies.insert(copies.end(), {{{"--chunk", "seed"}, 401},
                                         {{"--chunk", "1000"}, 206}});
        for (const Copy &c : copies) {
            std::vector<std::string> argv = {"--json", "card", "download",
                                             d + "img.bin"};
            argv.insert(argv.end(), c.chunk.begin(), c.chunk.end());
            const size_t before = reads_in(trace);
            ProcessResult r = cli(sim, argv, b_dir());
            ASSERT_EQ(r.exit_code, 0) << r.err;
            EXPECT_TRUE(read_file(b(d + "img.bin")) == raw);
            EXPECT_EQ(reads_in(trace) - before, c.reads);
            EXPECT_EQ(parse(r)["sizes_reduced"], older);
            EXPECT_EQ(count_of(r.err, "\n"), older ? 1u : 0u) << r.err;
            EXPECT_EQ(count_of(r.err, fell_back), older ? 1u : 0u) << r.err;
        }

        ProcessResult r =
            cli(sim, {"--json", "card", "upload", "up.tar"}, b_dir());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(read_file(sim.card_dir() + "/up/a"), std::string(300, 'a'));
        EXPECT_TRUE(read_file(sim.card_dir() + "/up/b") == big);
        EXPECT_EQ(parse(r)["sizes_reduced"], older);
        EXPECT_EQ(count_of(r.err, fell_back), older ? 1u : 0u) << r.err;

        for (const char *command : {"download", "sync"}) {
            const std::string dir = d + command;
            r = cli(
                sim,
                {"--json", "log", command, dir, "--notes", "--raw", "--aux"},
                b_dir());
            ASSERT_EQ(r.exit_code, 0) << command << r.err;
            EXPECT_TRUE(log_files(b(dir)) == console_log) << command;
            EXPECT_EQ(parse(r)["sizes_reduced"], older) << command;
            EXPECT_EQ(count_of(r.err, "\n"), older ? 1u : 0u) << r.err;
        }
    }
}

// Ctrl-C in the middle of a card download over a paced line: the transfer
// stops between two reads, the file keeps what came, whole reads only.
TEST_F(CliEndToEnd, InterruptedCardDownloadKeepsWholeReads) {
    SimProcess sim(
        {"--seed", "2", "--image-size", "262144", "--baud", "115200"});
    ASSERT_TRUE(sim.started());
    ChildProcess child(
        {console_binary_path(), "--json", "card", "download", "img.bin"},
        sim.env(), false, b_dir());
    // Bounded wait until the copy is well under way.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
    while (std::chrono::steady_clock::now() < deadline &&
           (!file_exists(b("img.bin")) || fs::file_size(b("img.bin")) < 8192))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    child.kill_now(SIGINT);
    ProcessResult r = child.finish(kRunMs);
    EXPECT_EQ(r.exit_code, 130) << r.err;
    const uint64_t size = fs::file_size(b("img.bin"));
    EXPECT_GE(size, 8192u);
    EXPECT_LT(size, 262144u);
    EXPECT_EQ(size % kReadSize, 0u);
    EXPECT_EQ(read_file(b("img.bin")),
              read_file(sim.card_dir() + "/raw").substr(0, size));
    EXPECT_NE(r.err.find("Stopped at offset " + std::to_string(size)),
              std::string::npos)
        << r.err;
    // How to go on, and no blank line.
    EXPECT_NE(r.err.find("continue with: ra62d2ide card download img.bin "
                         "--resume"),
              std::string::npos);
    EXPECT_EQ(r.err.find("\n\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.front(), '\n');
    const json j = parse(r);
    EXPECT_EQ(j["error"]["status"], 130);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["bytes"], size);
    EXPECT_EQ(j["resume"], "ra62d2ide card download img.bin --resume");
}

// A copy cut by the link goes on with --resume from its last whole
// 512-byte piece to the card's image; a card changed since is refused and
// the partial file left as it was.
TEST_F(CliEndToEnd, ResumedCardDownloadEqualsTheCardOrIsRefused) {
    TempDir card;
    {
        SimProcess cut({"--seed", "2", "--image-size", "204800", "--fault",
                        "cut:code=8211,skip=20"},
                       card.path());
        ASSERT_TRUE(cut.started());
        ProcessResult r = cli(cut, {"card", "download", "img.bin"}, b_dir());
        EXPECT_NE(r.exit_code, 0);
    }
    const std::string raw_path = card.path() + "/raw";
    std::string raw = read_file(raw_path);
    const std::string part = read_file(b("img.bin"));
    ASSERT_GT(part.size(), 0u);
    ASSERT_LT(part.size(), raw.size());
    EXPECT_EQ(part.size() % kReadSize, 0u);
    // A partial piece at the end is read again.
    ASSERT_TRUE(write_file(b("img.bin"), part + raw.substr(part.size(), 100)));
    const size_t resume_at = (part.size() + 100) / kResumeUnit * kResumeUnit;
    ASSERT_TRUE(write_file(b("changed.bin"), read_file(b("img.bin"))));

    SimProcess sim({"--seed", "2"}, card.path());
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(
        sim, {"--json", "card", "download", "img.bin", "--resume"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(b("img.bin")) == raw);
    EXPECT_EQ(parse(r)["bytes"], raw.size());

    // A file longer than the card holds bytes the card does not: refused,
    // also when it is not a whole read longer.
    for (size_t extra : {8u, 100u, 511u, 512u}) {
        const std::string longer = raw + std::string(extra, 'J');
        ASSERT_TRUE(write_file(b("long.bin"), longer));
        r = cli(sim, {"card", "download", "long.bin", "--resume"}, b_dir());
        EXPECT_EQ(r.exit_code, 4) << extra;
        EXPECT_NE(r.err.find("long.bin is longer than the card's image"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(read_file(b("long.bin")) == longer) << extra;
    }

    // A byte of the piece that the resumed copy reads again.
    raw[resume_at - 1] = char(raw[resume_at - 1] ^ 0x55);
    ASSERT_TRUE(write_file(raw_path, raw));
    const std::string before = read_file(b("changed.bin"));
    r = cli(sim, {"card", "download", "changed.bin", "--resume"}, b_dir());
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("card changed since changed.bin"), std::string::npos);
    EXPECT_TRUE(read_file(b("changed.bin")) == before);
}

// Ctrl-C in the middle of a log download: the records so far are in the
// summary file, which is closed, and the line says how far it got.
TEST_F(CliEndToEnd, InterruptedLogDownloadKeepsTheRecordsSoFar) {
    const std::string trace = work_.file("sim.trace");
    SimProcess sim({"--seed", "7", "--baud", "115200", "--trace", trace});
    ASSERT_TRUE(sim.started());
    ChildProcess child({console_binary_path(), "log", "download", "L"},
                       sim.env(), false, b_dir());
    // A record takes two reads: wait until five have come.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
    while (std::chrono::steady_clock::now() < deadline &&
           count_of(read_file(trace), "req 8211 ") < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    child.kill_now(SIGINT);
    ProcessResult r = child.finish(kRunMs);
    EXPECT_EQ(r.exit_code, 130) << r.err;
    const size_t at = r.err.find("Stopped after ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const int records = atoi(r.err.c_str() + at + strlen("Stopped after "));
    EXPECT_GE(records, 2);
    EXPECT_LT(records, 21);
    EXPECT_NE(r.err.find("the files so far are in L."), std::string::npos);
    EXPECT_EQ(r.err.find("\n\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.front(), '\n');
    // One summary line per record of the demo log's single readings and
    // series, each followed by its GPS text: the file ends whole.
    const std::string summary = read_file(b("L/kappa.dat"));
    EXPECT_FALSE(summary.empty());
    EXPECT_EQ(summary.back(), '\n');
}

// A first sync writes the console's files; after new measurements a second
// one reads only the new records (and the newest known one's first read)
// and again writes what a full download writes; a record deleted on the
// instrument stays in the archive and in the files.
TEST_F(CliEndToEnd, LogSyncDownloadsWhatIsNewAndKeepsDeletedRecords) {
    const std::string trace = work_.file("sim.trace");
    SimProcess sim({"--seed", "7", "--trace", trace});
    ASSERT_TRUE(sim.started());
    const std::vector<std::string> sync = {"--json",  "log",   "sync", "L",
                                           "--notes", "--raw", "--aux"};
    ProcessResult r = cli(sim, sync, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    const int first = j["downloaded"];
    EXPECT_GT(first, 0);
    EXPECT_EQ(j["archived"], first);
    ProcessResult c = console(sim, "ml\ny\ny\ny\ny\n", a_dir());
    ASSERT_EQ(c.exit_code, 0);
    EXPECT_TRUE(log_files(b("L")) == tree(a("kappa_XXXX")));
    const json index =
        json::parse(read_file(b("L/archive/index.json")), nullptr, false);
    EXPECT_EQ(index["format"], "ra62d2ide-log-archive");
    EXPECT_EQ(index["version"], 1);
    EXPECT_EQ(index["serial"], sim.serial());
    ASSERT_EQ(index["records"].size(), size_t(first));
    const std::string stem = index["records"][0]["stem"];
    EXPECT_EQ(read_file(b("L/archive/records/" + stem + ".rec")).size(), 4063u);

    for (int i = 0; i < 3; i++)
        ASSERT_EQ(cli(sim, {"measure"}, b_dir()).exit_code, 0);
    size_t before = reads_in(trace);
    r = cli(sim, sync, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["downloaded"], 3);
    EXPECT_EQ(reads_in(trace) - before, 3u * 2 + 1);
    fs::remove_all(a("kappa_XXXX"));
    ASSERT_EQ(console(sim, "ml\ny\ny\ny\ny\n", a_dir()).exit_code, 0);
    const auto full = tree(a("kappa_XXXX"));
    EXPECT_TRUE(log_files(b("L")) == full);

    // The slot of the oldest record goes; nothing is read for it again.
    ASSERT_EQ(cli(sim, {"-y", "log", "delete", "0"}, b_dir()).exit_code, 0);
    before = reads_in(trace);
    r = cli(sim, sync, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["archived"], first + 3);
    EXPECT_EQ(reads_in(trace) - before, 1u);
    EXPECT_TRUE(log_files(b("L")) == full);
}

// Notes and aux data asked for later are fetched for the archived records
// without their records being read again; without the summary no
// kappa.dat is written.
TEST_F(CliEndToEnd, LogSyncFetchesCompanionsAskedForLater) {
    const std::string trace = work_.file("sim.trace");
    SimProcess sim({"--seed", "7", "--trace", trace});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"log", "sync", "L", "--no-summary"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(log_files(b("L")).empty());
    EXPECT_TRUE(tree(b("L/archive/notes")).empty());
    const size_t before = reads_in(trace);
    r = cli(sim, {"--json", "log", "sync", "L", "--notes", "--raw", "--aux"},
            b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    EXPECT_EQ(j["downloaded"], 0);
    EXPECT_EQ(j["checked"], 1);
    EXPECT_EQ(j["complete"], true);
    const auto notes = tree(b("L/archive/notes"));
    const auto aux = tree(b("L/archive/aux"));
    EXPECT_FALSE(notes.empty());
    EXPECT_FALSE(aux.empty());
    // No record read again: one check read, the rest note and aux reads.
    size_t companion_bytes = 0;
    for (const auto &f : notes)
        companion_bytes += f.second.size();
    for (const auto &f : aux)
        companion_bytes += f.second.size();
    EXPECT_LT(reads_in(trace) - before,
              1 + companion_bytes / 450 + 2 * (notes.size() + aux.size()));
    ASSERT_EQ(console(sim, "ml\ny\ny\ny\ny\n", a_dir()).exit_code, 0);
    EXPECT_TRUE(log_files(b("L")) == tree(a("kappa_XXXX")));

    // An archive made on Windows keeps its aux data in aux_data/ (Windows
    // reserves "aux"): the files regenerated from it are the same.
    fs::rename(b("L/archive/aux"), b("L/archive/aux_data"));
    for (const auto &f : log_files(b("L")))
        if (f.first.rfind("aux", 0) == 0)
            fs::remove(b("L/" + f.first));
    r = cli(sim, {"log", "sync", "L", "--notes", "--raw", "--aux"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(log_files(b("L")) == tree(a("kappa_XXXX")));
    EXPECT_TRUE(tree(b("L/archive/aux")).empty());
}

// Ctrl-C in the middle of a sync: status 130, an index of the records so
// far, and the next sync ends where an uninterrupted one does.
TEST_F(CliEndToEnd, InterruptedLogSyncIsContinued) {
    const std::string trace = work_.file("sim.trace");
    TempDir card;
    auto paced = std::make_unique<SimProcess>(
        std::vector<std::string>{"--seed", "7", "--baud", "115200", "--trace",
                                 trace},
        card.path());
    ASSERT_TRUE(paced->started());
    ChildProcess child({console_binary_path(), "log", "sync", "L"},
                       paced->env(), false, b_dir());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
    while (std::chrono::steady_clock::now() < deadline && reads_in(trace) < 14)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    child.kill_now(SIGINT);
    ProcessResult r = child.finish(kRunMs);
    EXPECT_EQ(r.exit_code, 130) << r.err;
    EXPECT_NE(r.err.find("Stopped after "), std::string::npos) << r.err;
    const json index =
        json::parse(read_file(b("L/archive/index.json")), nullptr, false);
    ASSERT_FALSE(index.is_discarded());
    EXPECT_GE(index["records"].size(), 3u);
    EXPECT_LT(index["records"].size(), 20u);
    EXPECT_EQ(tree(b("L/archive/records")).size(), index["records"].size());
    paced.reset();
    SimProcess sim({"--seed", "7"}, card.path());
    ASSERT_TRUE(sim.started());
    ASSERT_EQ(cli(sim, {"log", "sync", "L"}, b_dir()).exit_code, 0);
    ASSERT_EQ(cli(sim, {"log", "sync", "U"}, b_dir()).exit_code, 0);
    EXPECT_TRUE(tree(b("L")) == tree(b("U")));
}

// A sync cut in the middle of a record, then run again, ends with the
// archive and files of an uncut one; after a clear the new records that
// reuse the slot numbers and keys are told apart and the old ones kept.
TEST_F(CliEndToEnd, LogSyncSurvivesACutAndAClearedLog) {
    TempDir card;
    {
        SimProcess cut({"--seed", "7", "--fault", "cut:code=8211,skip=30"},
                       card.path());
        ASSERT_TRUE(cut.started());
        ProcessResult r = cli(cut, {"log", "sync", "L", "--notes"}, b_dir());
        EXPECT_NE(r.exit_code, 0);
        EXPECT_FALSE(file_exists(b("L/kappa.dat")));
    }
    SimProcess sim({"--seed", "7"}, card.path());
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"log", "sync", "L", "--notes"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = cli(sim, {"log", "sync", "U", "--notes"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto uncut = tree(b("U"));
    EXPECT_TRUE(tree(b("L")) == uncut);

    ASSERT_EQ(cli(sim, {"-y", "log", "clear"}, b_dir()).exit_code, 0);
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(cli(sim, {"measure"}, b_dir()).exit_code, 0);
    r = cli(sim, {"--json", "log", "sync", "L", "--notes"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json j = parse(r);
    EXPECT_EQ(j["downloaded"], 2);
    const json index =
        json::parse(read_file(b("L/archive/index.json")), nullptr, false);
    const json &last = index["records"].back();
    EXPECT_EQ(last["era"], 1);
    EXPECT_EQ(last["key"], 2);
    int old = 0;
    for (const auto &[name, bytes] : uncut)
        if (name.rfind("archive/records/", 0) == 0) {
            EXPECT_EQ(read_file(b("L/" + name)), bytes) << name;
            old++;
        }
    EXPECT_EQ(j["archived"], old + 2);
}

// Whether every record on the card is in the archive, byte for byte.
bool archive_holds_card(const std::string &card, const std::string &log) {
    std::set<std::string> archived;
    for (const auto &[name, bytes] : tree(log + "/archive/records"))
        archived.insert(bytes);
    for (const auto &e : fs::directory_iterator(card + "/meas")) {
        const std::string name = e.path().filename().string();
        if (name.rfind("meas", 0) == 0 &&
            !archived.count(read_file(e.path().string())))
            return false;
    }
    return true;
}

// A deleted record's slot and key given to a new one (the demo log's
// newest key has its top bit set, and a cleared log starts its keys again)
// never pass for the record archived under them.
TEST_F(CliEndToEnd, LogSyncTellsAReusedSlotAndKeyFromTheOldRecord) {
    SimProcess sim({"--seed", "7", "--measure-ms", "200"});
    ASSERT_TRUE(sim.started());
    auto measure_and_sync = [&](int deleted_slot) {
        const std::string gone = std::to_string(deleted_slot);
        if (deleted_slot >= 0) {
            EXPECT_EQ(
                cli(sim, {"-y", "log", "delete", gone}, b_dir()).exit_code, 0);
        }
        EXPECT_EQ(cli(sim, {"measure"}, b_dir()).exit_code, 0);
        ProcessResult r = cli(sim, {"--json", "log", "sync", "L"}, b_dir());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(archive_holds_card(sim.card_dir(), b("L")));
        // The slot of the newest record: the one just measured.
        const json index =
            json::parse(read_file(b("L/archive/index.json")), nullptr, false);
        int slot = -1;
        uint32_t newest = 0;
        for (const json &e : index["records"])
            if (e["rec_no"].get<uint32_t>() >= newest) {
                newest = e["rec_no"];
                slot = e["slot"];
            }
        return std::make_pair(parse(r)["downloaded"].get<int>(), slot);
    };
    auto [first, slot] = measure_and_sync(-1);
    EXPECT_GT(first, 20);
    EXPECT_EQ(measure_and_sync(slot).first, 1);

    ASSERT_EQ(cli(sim, {"-y", "log", "clear"}, b_dir()).exit_code, 0);
    EXPECT_EQ(measure_and_sync(-1), std::make_pair(1, 0));
    EXPECT_EQ(measure_and_sync(-1), std::make_pair(1, 1));
    EXPECT_EQ(measure_and_sync(1), std::make_pair(1, 1));
}

// A request the instrument refuses ends with status 1, a local file that
// cannot be written with 4, in a download as in a sync; either way the
// records that could be had are there.
TEST_F(CliEndToEnd, LogDownloadAndSyncTellARefusedRequestFromALocalFile) {
    struct Case {
        std::string fault;
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {"status:code=8007,status=1,skip=1", {}, 1},
        {"fail:code=8209", {"--notes"}, 1},
        {"", {"--raw"}, 4},
    };
    for (const Case &c : cases)
        for (const char *command : {"download", "sync"}) {
            SCOPED_TRACE(c.fault + " " + command);
            std::vector<std::string> args = {"--seed", "7"};
            if (!c.fault.empty())
                args.insert(args.end(), {"--fault", c.fault});
            SimProcess sim(args); // the faults count from its start
            ASSERT_TRUE(sim.started());
            const std::string dir = std::string("S-") + command;
            fs::remove_all(b(dir));
            // A raw-sample file that cannot be written: a directory.
            ASSERT_TRUE(fs::create_directories(b(dir + "/data00000487.dat")));
            std::vector<std::string> argv = {"log", command, dir};
            argv.insert(argv.end(), c.options.begin(), c.options.end());
            ProcessResult r = cli(sim, argv, b_dir());
            EXPECT_EQ(r.exit_code, c.status) << r.err;
        }
}

// A damaged or foreign index is refused naming it, and --rebuild makes a
// new one; a directory that cannot be written stops the sync before a
// request; a record number that repeats with other bytes is kept twice
// with one warning.
TEST_F(CliEndToEnd, LogSyncRefusesBadArchivesAndKeepsRepeatedNumbers) {
    const std::string trace = work_.file("sim.trace");
    SimProcess sim({"--seed", "7", "--trace", trace});
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(write_file(b("file"), "x"));
    ProcessResult r = cli(sim, {"log", "sync", "file/L"}, b_dir());
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("file/L"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(trace) && !read_file(trace).empty());

    ASSERT_EQ(cli(sim, {"log", "sync", "L"}, b_dir()).exit_code, 0);
    const std::string index = b("L/archive/index.json");
    const std::string good = read_file(index);
    const std::string foreign = std::regex_replace(
        good, std::regex("\"serial\": \"[^\"]*\""), "\"serial\": \"B0009999\"");
    const std::string mistyped = std::regex_replace(
        good, std::regex("\"slot\": [0-9]+"), "\"slot\": \"x\"",
        std::regex_constants::format_first_only);
    for (const std::string &bad :
         {good.substr(0, good.size() / 2), foreign, mistyped}) {
        ASSERT_TRUE(write_file(index, bad));
        r = cli(sim, {"log", "sync", "L"}, b_dir());
        EXPECT_EQ(r.exit_code, 4);
        EXPECT_NE(r.err.find("L/archive/index.json"), std::string::npos);
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        EXPECT_EQ(read_file(index), bad);
    }
    // The records found again on the instrument get their slots and keys
    // back: the same index as before.
    r = cli(sim, {"log", "sync", "L", "--rebuild"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(index), good);

    // Slot 0's record again with one byte changed, under a new key.
    std::string rec = read_file(sim.card_dir() + "/meas/meas0000.dat");
    ASSERT_EQ(rec.size(), 4063u);
    rec[200] = char(rec[200] ^ 1);
    ASSERT_TRUE(write_file(sim.card_dir() + "/meas/meas0000.dat", rec));
    ASSERT_TRUE(write_file(sim.card_dir() + "/meas/0000.uid",
                           std::string("\xff\xff\x00\x00", 4)));
    r = cli(sim, {"--json", "log", "sync", "L"}, b_dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse(r)["downloaded"], 1);
    EXPECT_EQ(count_of(r.err, "repeats"), 1u) << r.err;
    size_t twins = 0;
    for (const auto &[name, bytes] : tree(b("L/archive/records")))
        twins += name.find("-2.rec") != std::string::npos && bytes == rec;
    EXPECT_EQ(twins, 1u);
}

} // namespace
