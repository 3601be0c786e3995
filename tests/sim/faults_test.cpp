// The --fault grammar, the fault engine's counting and the command line.
#include "faults.h"
#include "options.h"

#include <gtest/gtest.h>

namespace {

using vo62sim::FaultDecision;
using vo62sim::FaultEngine;
using vo62sim::FaultKind;
using vo62sim::FaultSpec;

FaultSpec parsed(const std::string &s) {
    FaultSpec f;
    std::string err;
    EXPECT_TRUE(vo62sim::parse_fault(s, f, err)) << s << ": " << err;
    return f;
}

TEST(FaultGrammar, AcceptsEveryKindWithItsKeys) {
    FaultSpec f = parsed("fail:code=8102,count=4");
    EXPECT_EQ(f.kind, FaultKind::Fail);
    EXPECT_EQ(f.code, 8102);
    EXPECT_EQ(f.count, 4u);
    f = parsed("corrupt:p=1e-4");
    EXPECT_EQ(f.kind, FaultKind::Corrupt);
    EXPECT_DOUBLE_EQ(f.p, 1e-4);
    f = parsed("drop:p=2%");
    EXPECT_DOUBLE_EQ(f.p, 0.02);
    f = parsed("cut:code=8211,after=10");
    EXPECT_EQ(f.skip, 10u);
    EXPECT_EQ(f.count, 1u); // a cut happens once unless told otherwise
    f = parsed("retry:p=0.05,status=0");
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(parsed("delay:ms=250").ms, 250);
    f = parsed("stall:ms=1100,every=50");
    EXPECT_EQ(f.kind, FaultKind::Stall);
    EXPECT_EQ(f.ms, 1100);
    EXPECT_EQ(f.every, 50u);
    EXPECT_EQ(f.gap_us, -1); // the queue leaves in one write
    EXPECT_EQ(parsed("stall:ms=1100,gap_us=300").gap_us, 300);
    EXPECT_EQ(parsed("silent").kind, FaultKind::Silent);
    EXPECT_EQ(parsed("stuck").kind, FaultKind::Stuck);
    EXPECT_EQ(parsed("status:code=8201,status=3").status, 3);
    // Answered as a success, not carried out.
    FaultEngine noop({parsed("noop:code=8022,skip=1")}, 1);
    EXPECT_EQ(noop.on_request(8022).action, FaultDecision::Execute);
    const FaultDecision d = noop.on_request(8022);
    EXPECT_EQ(d.action, FaultDecision::Status);
    EXPECT_EQ(d.status, 0);
}

TEST(FaultGrammar, RejectsMalformedSpecsWithAMessage) {
    for (const char *s :
         {"explode", "fail:code", "fail:code=70000", "fail:colour=red",
          "corrupt", "corrupt:p=2", "delay", "delay:ms=-5", "status:status=0",
          "drop:p=abc", "fail:count=-1", "stall", "stall:ms=5,every=0",
          "delay:ms=5,gap_us=10", "stall:ms=5,gap_us=-1",
          "stall:ms=5,gap_us=2000000"}) {
        FaultSpec f;
        std::string err;
        EXPECT_FALSE(vo62sim::parse_fault(s, f, err)) << s;
        EXPECT_FALSE(err.empty()) << s;
    }
}

TEST(FaultEngine, FailsFourBlockWritesThenLetsThemThrough) {
    FaultEngine e({parsed("fail:code=8102,count=4")}, 1);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(e.on_request(8007).action, FaultDecision::Execute);
        EXPECT_EQ(e.on_request(8102).action, FaultDecision::Fail);
    }
    EXPECT_EQ(e.on_request(8102).action, FaultDecision::Execute);
    EXPECT_EQ(e.on_request(8102).action, FaultDecision::Execute);
}

TEST(FaultEngine, SkipCountsOnlyMatchingRequestsAndFirstFaultWins) {
    FaultEngine e({parsed("cut:code=8211,skip=2"), parsed("retry:code=8211"),
                   parsed("fail:code=8211")},
                  1);
    EXPECT_EQ(e.on_request(8211).action, FaultDecision::Retry);
    EXPECT_EQ(e.on_request(8210).action, FaultDecision::Execute);
    EXPECT_EQ(e.on_request(8211).action, FaultDecision::Retry);
    EXPECT_EQ(e.on_request(8211).action, FaultDecision::Cut);
    EXPECT_EQ(e.on_request(8211).action, FaultDecision::Retry);
}

TEST(FaultEngine, EveryNthMatchingRequestAfterTheSkipped) {
    FaultEngine e({parsed("stall:ms=9,code=8211,skip=1,every=3,count=2")}, 1);
    std::vector<int> stalled;
    for (int i = 1; i <= 12; i++) {
        e.on_request(8007);
        if (e.on_request(8211).stall_ms == 9)
            stalled.push_back(i);
    }
    EXPECT_EQ(stalled, (std::vector<int>{4, 7}));
}

TEST(FaultEngine, SilenceAfterNFramesLasts) {
    FaultEngine e({parsed("silent:skip=3")}, 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(e.on_request(8007).action, FaultDecision::Execute);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(e.on_request(8001).action, FaultDecision::Ignore);
}

TEST(FaultEngine, ProbabilitiesAreReproducibleAndRoughlyRight) {
    auto run = [](uint64_t seed) {
        FaultEngine e({parsed("drop:p=0.05"), parsed("delay:ms=7,p=0.5")},
                      seed);
        std::vector<int> v;
        for (int i = 0; i < 10000; i++) {
            FaultDecision d = e.on_request(8211);
            v.push_back((d.drop_reply ? 1 : 0) + (d.delay_ms == 7 ? 2 : 0));
        }
        return v;
    };
    std::vector<int> a = run(9), b = run(9), c = run(10);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    int drops = 0, delays = 0;
    for (int x : a) {
        drops += x & 1;
        delays += (x >> 1) & 1;
    }
    EXPECT_GT(drops, 350);
    EXPECT_LT(drops, 650);
    EXPECT_GT(delays, 4500);
    EXPECT_LT(delays, 5500);
}

TEST(FaultEngine, CorruptionFlipsBytesOfMatchingFramesOnly) {
    FaultEngine all({parsed("corrupt:p=1,code=8211")}, 3);
    vo62sim::Bytes f(100, 0x55), g = f;
    all.corrupt(8211, f);
    for (size_t i = 0; i < f.size(); i++)
        EXPECT_NE(f[i], 0x55);
    all.corrupt(8007, g);
    EXPECT_EQ(g, vo62sim::Bytes(100, 0x55));
}

TEST(Options, ParsesAndChecksTheCommandLine) {
    vo62sim::Options o;
    std::string err;
    const char *good[] = {"vo62-sim",
                          "--card",
                          "/tmp/c",
                          "--serial",
                          "A0001234",
                          "--seed",
                          "7",
                          "--tcp=0",
                          "--image-size",
                          "4096",
                          "--block-size",
                          "0",
                          "--baud",
                          "115200",
                          "--fault",
                          "silent",
                          "--generate-log",
                          "65536",
                          "--latency-ms=20",
                          "--max-read",
                          "512",
                          "--max-append",
                          "128"};
    ASSERT_EQ(vo62sim::parse_options(23, good, o, err), 0) << err;
    EXPECT_EQ(o.generate_log, 65536);
    EXPECT_EQ(o.latency_ms, 20);
    EXPECT_EQ(o.max_read, 512u);
    EXPECT_EQ(o.max_append, 128u);
    EXPECT_EQ(o.card, "/tmp/c");
    EXPECT_EQ(o.serial, "A0001234");
    EXPECT_TRUE(o.seed_given);
    EXPECT_EQ(o.tcp_port, 0);
    EXPECT_EQ(o.image_size, 4096u);
    EXPECT_EQ(o.block_size, 0u);
    EXPECT_EQ(o.baud, 115200u);
    ASSERT_EQ(o.faults.size(), 1u);
    const std::vector<std::vector<const char *>> bad = {
        {"x", "--serial", "A00012"},
        {"x", "--serial", "A000 234"},
        {"x", "--tcp", "70000"},
        {"x", "--baud", "0"},
        {"x", "--image-size", "-1"},
        {"x", "--frobnicate"},
        {"x", "--card"},
        {"x", "--fault", "explode"},
        {"x", "--image-size", "4294967296"},
        {"x", "--generate-log", "0"},
        {"x", "--generate-log", "65537"},
        {"x", "--latency-ms", "10001"},
        {"x", "--latency-ms", "-1"},
        {"x", "--max-read", "0"},
        {"x", "--max-read", "3997"},
        {"x", "--max-append", "4057"}};
    for (const auto &args : bad) {
        vo62sim::Options p;
        EXPECT_EQ(vo62sim::parse_options(static_cast<int>(args.size()),
                                         args.data(), p, err),
                  -1)
            << args[1];
    }
    const char *help[] = {"x", "--help"};
    EXPECT_EQ(vo62sim::parse_options(2, help, o, err), 1);
}

} // namespace
