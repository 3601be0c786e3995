// The judging of the fault-injection matrix on made-up outcomes: a judge
// that calls a bad run "ok" or "failed cleanly" would hide every finding.
#include <gtest/gtest.h>

#include <cstring>

#include "matrix.h"

namespace {

using matrix::Baseline;
using matrix::judge;
using matrix::Op;
using matrix::Outcome;
using matrix::Snapshot;
using matrix::Verdict;

const std::string kConnected = "Connecting device...Ok.\n";

// The card every cell starts from.
const Snapshot kStart = {
    {"meas/", ""},
    {"meas/meas0000.dat", "record"},
    {"lut/lut01.dat", "old table"},
    {".vo62sim/params.bin", "old params"},
    {".vo62sim/extflash.bin", std::string(8, '\xff')},
};

Snapshot with(Snapshot s, const std::string &path, const std::string &data) {
    s[path] = data;
    return s;
}

Snapshot without(Snapshot s, const std::string &path) {
    s.erase(path);
    return s;
}

Verdict verdict(Op op, const Outcome &o, const Baseline &b,
                std::string *detail = nullptr) {
    matrix::CellResult r = judge(op, o, kStart, &b);
    if (detail)
        *detail = r.detail;
    return r.verdict;
}

Outcome outcome(const std::string &out, const std::string &err,
                const Snapshot &card, const Snapshot &work = {}) {
    Outcome o;
    o.out = kConnected + out;
    o.err = err;
    o.card = card;
    o.work = work;
    return o;
}

TEST(MatrixJudge, MessagesDecideBetweenCompletedFailedAndUnexpected) {
    const Baseline ml{kStart, {{"aaa", "table"}, {"kappa_X/kappa.dat", "all"}}};
    // Fields named like errors are not messages.
    const std::string records = "1: 0 1 Type=1,Pin=0,Error=0,Dia= 5\n"
                                "Params.save_error_meas[0]:\n";
    Outcome done =
        outcome(records + "Num downloaded records:1\n", "", kStart, ml.work);
    EXPECT_EQ(verdict(Op::MeasLog, done, ml), Verdict::Ok);

    // Completed, but with other results.
    Outcome other = done;
    other.work["aaa"] = "another table";
    std::string why;
    EXPECT_EQ(verdict(Op::MeasLog, other, ml, &why), Verdict::Bad);
    EXPECT_EQ(why, "completed, but aaa differs (fault-free run)");

    // A message that is not the operation's own.
    Outcome strange = outcome("Error writing file:aaa!\n", "", kStart);
    EXPECT_EQ(verdict(Op::MeasLog, strange, ml, &why), Verdict::Bad);
    EXPECT_EQ(why, "unexpected message: Error writing file:aaa!");
    Outcome foreign =
        outcome("", "Command V21_cmd_download_sd error(code=255)!\n", kStart);
    EXPECT_EQ(verdict(Op::MeasLog, foreign, ml), Verdict::Bad);

    // Neither the result nor a message.
    Outcome silent = outcome("Downloading record[3,4063]0.", "", kStart);
    EXPECT_EQ(verdict(Op::MeasLog, silent, ml, &why), Verdict::Bad);
    EXPECT_EQ(why, "ended without its result and without a message");

    // The operation's own message; the link's notices count for nothing.
    Outcome failed = outcome("\nDevice disconnected!\n",
                             "Command download_record error(code=-4)!\n\n"
                             "Error downloading data!\n\n"
                             "Device not connected!\n",
                             kStart, {{"aaa", "table"}});
    EXPECT_EQ(verdict(Op::MeasLog, failed, ml), Verdict::FailedCleanly);

    // Never identified: the console's connection messages.
    Outcome lost = failed;
    lost.out = "Connecting device...Error!\n";
    lost.err = "";
    lost.unconnected = true;
    EXPECT_EQ(verdict(Op::MeasLog, lost, ml, &why), Verdict::FailedCleanly);
    EXPECT_EQ(why, "the console did not connect");

    // A crash is bad whatever was printed.
    Outcome crashed = done;
    crashed.crash = "ended by signal 11";
    EXPECT_EQ(verdict(Op::MeasLog, crashed, ml), Verdict::Bad);
}

TEST(MatrixJudge, FailedDownloadsKeepOnlyBeginningsOfTheirFiles) {
    const Baseline ml{kStart,
                      {{"aaa", "table"},
                       {"kappa_X/", ""},
                       {"kappa_X/kappa.dat", "summary"},
                       {"kappa_X/rec00000001.wav", "RIFF....data"}}};
    const std::string error = "Command download_note error(code=1)!\n";
    auto judged = [&](const Snapshot &work, const Snapshot &card = kStart) {
        return verdict(Op::MeasLog, outcome("", error, card, work), ml);
    };
    EXPECT_EQ(judged({{"aaa", "table"},
                      {"kappa_X/", ""},
                      {"kappa_X/kappa.dat", "summ"},
                      {"kappa_X/rec00000001.wav", "RIFF"}}),
              Verdict::FailedCleanly);
    EXPECT_EQ(judged({{"aaa", "table"}, {"kappa_X/kappa.dat", "summarx"}}),
              Verdict::Bad); // not a beginning
    EXPECT_EQ(judged({{"aaa", "table"}, {"kappa_X/extra.dat", ""}}),
              Verdict::Bad); // a file the fault-free run never made
    EXPECT_EQ(judged({{"aaa", "table"}}, with(kStart, "meas/new", "x")),
              Verdict::Bad); // the log is only read

    // An image download keeps one beginning, and only that.
    const Baseline ds{kStart, {{"sd.img", "0123456789"}}};
    const std::string ds_error =
        "Command V21_cmd_download_sd error(code=255)!\n";
    EXPECT_EQ(verdict(Op::DownloadSd,
                      outcome("", ds_error, kStart, {{"sd.img", "0123"}}), ds),
              Verdict::FailedCleanly);
    EXPECT_EQ(verdict(Op::DownloadSd,
                      outcome("", ds_error, kStart, {{"sd.img", "0124"}}), ds),
              Verdict::Bad);
}

TEST(MatrixJudge, FailedUploadsKeepWhatWasCreatedWithOneFileCutShort) {
    const Snapshot uploaded =
        with(with(with(kStart, "up/", ""), "up/a", "aaaa"), "up/b", "bbbb");
    const Baseline uf{uploaded, {}};
    const std::string error = "Command V21_cmd_upload_tar error(code=255)!\n";
    auto judged = [&](const Snapshot &card) {
        return verdict(Op::UploadTar, outcome("", error, card), uf);
    };
    EXPECT_EQ(judged(with(with(kStart, "up/", ""), "up/a", "aa")),
              Verdict::FailedCleanly);
    EXPECT_EQ(
        judged(with(with(with(kStart, "up/", ""), "up/a", "aa"), "up/b", "b")),
        Verdict::Bad); // two files cut short
    EXPECT_EQ(judged(with(with(kStart, "up/", ""), "up/a", "aaaaaa")),
              Verdict::Bad); // an append stored twice
    EXPECT_EQ(judged(with(kStart, "meas/meas0000.dat", "changed")),
              Verdict::Bad); // outside the archive

    // The table: old, deleted, empty or new; never anything else.
    const Baseline sc{with(kStart, "lut/lut01.dat", "new table"),
                      {{"conclut.dat", "new table"}}};
    const std::string sc_error =
        "Command V21_cmd_set_conc_lut error(code=-4)!\n";
    for (const Snapshot &card : {kStart, without(kStart, "lut/lut01.dat"),
                                 with(kStart, "lut/lut01.dat", ""),
                                 with(kStart, "lut/lut01.dat", "new table")})
        EXPECT_EQ(verdict(Op::SetLut, outcome("", sc_error, card, sc.work), sc),
                  Verdict::FailedCleanly);
    EXPECT_EQ(
        verdict(Op::SetLut,
                outcome("", sc_error,
                        with(kStart, "lut/lut01.dat", "new tablenew"), sc.work),
                sc),
        Verdict::Bad);

    // The parameter record: the old one or the new one.
    const Baseline sp{with(kStart, ".vo62sim/params.bin", "new params"), {}};
    const std::string sp_error = "Command V21_cmd_set_params error(code=1)!\n";
    EXPECT_EQ(verdict(Op::SetParams, outcome("", sp_error, kStart), sp),
              Verdict::FailedCleanly);
    EXPECT_EQ(verdict(Op::SetParams,
                      outcome("", sp_error,
                              with(kStart, ".vo62sim/params.bin", "new")),
                      sp),
              Verdict::Bad);
}

TEST(MatrixJudge, FirmwareFailuresLeaveTheFlashErasedOrWrittenAndUnstarted) {
    const std::string image = "IMAGE!!!";
    const Baseline fw{with(kStart, ".vo62sim/extflash.bin", image), {}, true};
    const std::string last_block =
        "Writing block 127 of 127 (size:4096)...Ok.\n";
    const std::string failed_block =
        "Writing block 3 of 127 (size:4096)...Error!\n";
    const std::string error = "Command M17_cmd_upload_qfw error(code=255)!\n";
    auto flash = [&](const std::string &bytes) {
        return with(kStart, ".vo62sim/extflash.bin", bytes);
    };

    EXPECT_EQ(verdict(Op::Firmware,
                      outcome(failed_block, error,
                              flash(std::string("IMA\xff\xff\xff\xff\xff", 8))),
                      fw),
              Verdict::FailedCleanly);
    EXPECT_EQ(verdict(Op::Firmware,
                      outcome(failed_block, error,
                              flash(std::string("IMA\x00\xff\xff\xff\xff", 8))),
                      fw),
              Verdict::Bad); // neither image nor erased
    Outcome started = outcome(failed_block, error, flash(image));
    started.flashed = true;
    EXPECT_EQ(verdict(Op::Firmware, started, fw), Verdict::Bad);

    // A refused flash after a whole upload fails cleanly; a flash that went
    // through completes, its notices being no failure.
    Outcome refused = outcome(
        last_block, "Command M17_cmd_flash_fw error(code=1)!\n", flash(image));
    EXPECT_EQ(verdict(Op::Firmware, refused, fw), Verdict::FailedCleanly);
    Outcome flashed = outcome(last_block + "\nDevice disconnected!\n",
                              "\nDevice not connected!\n", flash(image));
    flashed.flashed = true;
    EXPECT_EQ(verdict(Op::Firmware, flashed, fw), Verdict::Ok);
}

// The command line: its status and its own lines tell; the line that the
// piece sizes fell back is none of a failure; a failed sync keeps whole
// records, its index telling what it holds.
TEST(MatrixJudge, CommandLineStatusAndLinesTellCompletedFromFailed) {
    const Baseline sync{kStart,
                        {{"kappa_XXXX/kappa.dat", "summary"},
                         {"kappa_XXXX/archive/index.json", "[1, 2]"},
                         {"kappa_XXXX/archive/records/1.rec", "record 1"},
                         {"kappa_XXXX/archive/records/2.rec", "record 2"}}};
    const std::string fell_back =
        "ra62d2ide: a read of 3996 bytes at offset 0 of meas/meas0000.dat "
        "gave 512; the rest goes at the console's piece sizes\n";
    auto judged = [&](int status, const std::string &err, const Snapshot &work,
                      std::string *why = nullptr) {
        Outcome o;
        o.status = status;
        o.err = err;
        o.card = kStart;
        o.work = work;
        return verdict(Op::CliSync, o, sync, why);
    };
    const Snapshot partial = {{"kappa_XXXX/archive/index.json", "[1]"},
                              {"kappa_XXXX/archive/records/1.rec", "record 1"}};
    std::string why;
    EXPECT_EQ(judged(0, fell_back, sync.work), Verdict::Ok);
    EXPECT_EQ(judged(1, "Error downloading data!\n", partial),
              Verdict::FailedCleanly);
    EXPECT_EQ(judged(3, "ra62d2ide: no instrument answered on X\n", {}),
              Verdict::FailedCleanly);
    EXPECT_EQ(judged(1, fell_back, partial, &why), Verdict::Bad);
    EXPECT_EQ(why, "status 1 without a message");
    EXPECT_EQ(
        judged(0, "Command download_record error(code=1)!\n", sync.work, &why),
        Verdict::Bad);
    EXPECT_EQ(why.rfind("status 0 after ", 0), 0u);
    // A record cut short in the archive.
    EXPECT_EQ(judged(1, "Error downloading data!\n",
                     {{"kappa_XXXX/archive/records/1.rec", "rec"}}),
              Verdict::Bad);
}

// A measurement record of the simulator's layout with a counter and a
// reading; the line "me" prints for it.
std::string record(int32_t counter, float susc) {
    std::string b(4063, '\0');
    b[19] = 1; // a single reading
    uint32_t bits;
    memcpy(&bits, &susc, sizeof bits);
    for (int i = 0; i < 4; i++) {
        b[43 + i] = char(bits >> (8 * i));
        b[87 + i] = char(uint32_t(counter) >> (8 * i));
    }
    return b;
}
std::string line(int32_t counter, float susc) {
    char text[200];
    snprintf(text, sizeof text,
             "Ok\nType=1,MeasMode=0,Curve1=0,Curve2=0,Pin=0,Error=0,Dia= 0    "
             "Susc=%6.3f Cond=   0.0 [%2d/ 0]\n",
             double(susc), counter);
    return text;
}

TEST(MatrixJudge, AMeasurementIsTheInstrumentsNewRecordTakenOnce) {
    const Snapshot start = with(kStart, "meas/last.dat", record(5, 1.5f));
    const Baseline me{start, {}};
    auto judged = [&](const std::string &out, const std::string &err,
                      const Snapshot &card) {
        Outcome o = outcome(out, err, card);
        return judge(Op::Measure, o, start, &me).verdict;
    };
    const Snapshot measured = with(start, "meas/last.dat", record(6, 2.5f));
    const std::string error = "Command V21_cmd_measure error(code=255)!\n";
    EXPECT_EQ(judged(line(6, 2.5f), "", measured), Verdict::Ok);
    EXPECT_EQ(judged(line(5, 1.5f), "", start), Verdict::Bad);    // the old one
    EXPECT_EQ(judged(line(6, 9.5f), "", measured), Verdict::Bad); // not it
    EXPECT_EQ(judged(line(7, 2.5f), "",
                     with(start, "meas/last.dat", record(7, 2.5f))),
              Verdict::Bad); // measured twice
    EXPECT_EQ(judged("", error, start), Verdict::FailedCleanly);
    EXPECT_EQ(judged("", error, measured), Verdict::FailedCleanly);
    EXPECT_EQ(judged("", error, with(measured, "lut/lut01.dat", "x")),
              Verdict::Bad);                           // only the log changes
    EXPECT_EQ(judged("", "", measured), Verdict::Bad); // no message
}

} // namespace
