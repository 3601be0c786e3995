// Runs a simulator in-process on a thread of its own, with a private card
// and announcement directory, and a client connected to its
// pseudo-terminal.
#ifndef SIM_FIXTURE_H
#define SIM_FIXTURE_H

#include "process.h"
#include "sim_client.h"
#include "simulator.h"

#include <gtest/gtest.h>

#include <memory>

class SimFixture : public ::testing::Test {
  protected:
    static constexpr uint64_t kSeed = 42;
    static constexpr int kLinkTimeoutMs = 5000;

    SimFixture() {
        opts.card = dir.file("card");
        opts.ann_dir = dir.file("ann");
        opts.seed = kSeed;
        opts.seed_given = true;
        opts.measure_ms = 300;
        opts.scan_sample_ms = 20;
    }
    ~SimFixture() override {
        client.close();
        sim.reset();
    }

    // Starts the simulator with opts and connects the client.
    void start() {
        sim = std::make_unique<vo62sim::Simulator>(opts);
        std::string err;
        ASSERT_EQ(sim->start_thread(err), 0) << err;
        ASSERT_TRUE(client.open_pty(sim->pty_path()));
    }
    void stop() {
        client.close();
        sim.reset();
    }
    // Sends a request that must be answered with its own reply code.
    WireFrame ok(uint16_t code, const ByteVec &payload = {}) {
        WireFrame r;
        EXPECT_TRUE(client.request(code, payload, r)) << "no reply to " << code;
        EXPECT_EQ(r.code, code + 1000) << "request " << code;
        EXPECT_EQ(r.status, 0) << "request " << code;
        return r;
    }
    // Sends a request that must be refused with the failure reply.
    void refused(uint16_t code, const ByteVec &payload = {}) {
        WireFrame r;
        ASSERT_TRUE(client.request(code, payload, r)) << "no reply to " << code;
        EXPECT_EQ(r.code, 12290) << "request " << code;
    }
    // The link number of the announcement, which changes with every new
    // pseudo-terminal (0 without one).
    int link() const {
        const std::string ann = read_file(sim->announcement_path());
        const size_t at = ann.find("\nlink=");
        return at == std::string::npos ? 0 : atoi(ann.c_str() + at + 6);
    }
    // Waits until the simulator offers a new pseudo-terminal, then
    // connects to it. The link number tells: the path may be the same one
    // again.
    bool reconnect(int old_link) {
        for (int i = 0; i < kLinkTimeoutMs / 10; i++) {
            const int now = link();
            if (now != 0 && now != old_link)
                return client.open_pty(sim->pty_path());
            usleep(10000);
        }
        return false;
    }
    ByteVec card_file(const std::string &name) {
        std::string s = read_file(opts.card + "/" + name);
        return ByteVec(s.begin(), s.end());
    }

    TempDir dir;
    vo62sim::Options opts;
    std::unique_ptr<vo62sim::Simulator> sim;
    SimClient client;
};

#endif
