// Connection events: their order, the idle event's timing, the end of a
// connection and the walk over open connections.
#include <atomic>
#include <thread>

#include "device.h"

namespace {

using std::chrono::milliseconds;

// Connects the recorder to a fresh pseudo-terminal.
int connect_pty(const Pty &pty, Recorder &rec, int *id, int idle_ms = 200) {
    return comm_connect(id, pty.conn_string().c_str(), Recorder::proc, 4096,
                        idle_ms, &rec);
}

bool walk_has(int wanted) {
    comm_cursor cur;
    comm_data_cntr_init(&cur);
    int id;
    void *ctx;
    bool found = false;
    while (comm_get_data(&cur, &id, &ctx))
        found |= id == wanted;
    return found;
}

// Events after the closed event would reach a freed context.
void expect_closed_last_and_once(const Recorder &rec) {
    auto evs = rec.events();
    ASSERT_FALSE(evs.empty());
    EXPECT_EQ(evs.front().event, COMM_EV_LINK_UP);
    EXPECT_EQ(evs.back().event, COMM_EV_CLOSED);
    EXPECT_EQ(rec.count(COMM_EV_LINK_UP), 1);
    EXPECT_EQ(rec.count(COMM_EV_CLOSED), 1);
}

TEST_F(CommTest, PseudoTerminalEventsComeInOrderAndEndWithClosed) {
    Pty pty;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(connect_pty(pty, rec, &id), COMM_OK);
    ASSERT_TRUE(rec.wait_event(COMM_EV_LINK_UP));
    EXPECT_EQ(comm_get_state(id), COMM_STATE_OPENING);
    EXPECT_TRUE(walk_has(id));

    pty.send("DEVO");
    pty.send(std::string("\x00\x01\xff", 3));
    ASSERT_TRUE(rec.wait_data(std::string("DEVO\x00\x01\xff", 7)));
    const unsigned char probe[] = {'p', 'r', 0, 'b', 'e'};
    ASSERT_EQ(comm_write(id, probe, 5, 0, 100), COMM_OK);
    EXPECT_EQ(pty.receive(5), std::string("pr\0be", 5));

    ASSERT_EQ(comm_disconnect(id), COMM_OK);
    ASSERT_TRUE(rec.wait_event(COMM_EV_CLOSED));
    size_t seen = rec.events().size();
    // Longer than the idle interval: a reader still running would report.
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(rec.events().size(), seen);
    expect_closed_last_and_once(rec);
    EXPECT_EQ(rec.count(COMM_EV_ERROR), 0); // asked for, not an error
    EXPECT_FALSE(walk_has(id));
    EXPECT_EQ(comm_get_state(id), COMM_STATE_NONE);
}

TEST_F(CommTest, SocketPairCarriesBytesBothWays) {
    SocketPeer peer;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(peer.connect(&id, rec), COMM_OK);
    ASSERT_TRUE(rec.wait_event(COMM_EV_LINK_UP));
    peer.send("reply");
    ASSERT_TRUE(rec.wait_data("reply"));
    const unsigned char cmd[] = "command";
    ASSERT_EQ(comm_write(id, cmd, 7, 0, 100), COMM_OK);
    EXPECT_EQ(peer.receive(7), "command");
    EXPECT_EQ(rec.events().front().event, COMM_EV_LINK_UP);
}

// Unplugging is reported as an error, then closed, once each, whichever
// transport carried the bytes; nothing follows.
TEST_F(CommTest, DeviceGoneGivesErrorThenClosedOnce) {
    Pty pty;
    SocketPeer peer;
    Recorder &on_pty = recorder(), &on_socket = recorder();
    int pty_id = -1, socket_id = -1;
    ASSERT_EQ(connect_pty(pty, on_pty, &pty_id), COMM_OK);
    ASSERT_EQ(peer.connect(&socket_id, on_socket), COMM_OK);
    ASSERT_TRUE(on_pty.wait_event(COMM_EV_LINK_UP));
    ASSERT_TRUE(on_socket.wait_event(COMM_EV_LINK_UP));
    pty.send("last words");
    ASSERT_TRUE(on_pty.wait_data("last words"));

    pty.close_master();
    peer.close_peer();
    for (Recorder *rec : {&on_pty, &on_socket}) {
        ASSERT_TRUE(rec->wait_event(COMM_EV_CLOSED));
        std::this_thread::sleep_for(milliseconds(300));
        expect_closed_last_and_once(*rec);
        auto evs = rec->events();
        ASSERT_GE(evs.size(), 3u);
        EXPECT_EQ(evs[evs.size() - 2].event, COMM_EV_ERROR);
        EXPECT_EQ(rec->count(COMM_EV_ERROR), 1);
    }
    const unsigned char b = 0;
    EXPECT_EQ(comm_write(pty_id, &b, 1, 0, 100), COMM_ERR_CLOSED);
    EXPECT_EQ(comm_disconnect(socket_id), COMM_ERR_CLOSED);
}

TEST_F(CommTest, IdleEventFollowsSilenceButNeverInterruptsAStream) {
    constexpr int IDLE = 200, GAP = 50, PIECES = 12;
    Pty pty;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(connect_pty(pty, rec, &id, IDLE), COMM_OK);
    ASSERT_TRUE(rec.wait_event(COMM_EV_IDLE, 1, IDLE + PROMPT_MS));
    auto evs = rec.events();
    long long first_idle =
        std::chrono::duration_cast<milliseconds>(evs[1].at - evs[0].at).count();
    EXPECT_EQ(evs[1].event, COMM_EV_IDLE);
    EXPECT_GE(first_idle, IDLE);
    EXPECT_LT(first_idle, IDLE + 150);

    // A frame trickling in, a piece every 50 ms.
    size_t before = rec.events().size();
    long long worst_gap = 0;
    auto last = Clock::now();
    for (int i = 0; i < PIECES; i++) {
        std::this_thread::sleep_for(milliseconds(GAP));
        worst_gap = std::max(worst_gap, ms_since(last));
        last = Clock::now();
        pty.send("piece");
    }
    std::string stream;
    for (int i = 0; i < PIECES; i++)
        stream += "piece";
    ASSERT_TRUE(rec.wait_data(stream));
    ASSERT_TRUE(rec.wait_event(COMM_EV_IDLE, 2, IDLE + PROMPT_MS));
    evs = rec.events();
    // Only a machine too loaded to keep 50 ms gaps may see one early.
    if (worst_gap < IDLE - GAP) {
        for (size_t i = before; i < evs.size(); i++) {
            if (evs[i].event == COMM_EV_IDLE) {
                // The first idle event after the stream comes after its
                // last piece and a whole interval of silence.
                ASSERT_GT(i, before);
                EXPECT_EQ(evs[i - 1].event, COMM_EV_DATA);
                EXPECT_EQ(rec.data().substr(rec.data().size() - 5), "piece");
                long long silence = std::chrono::duration_cast<milliseconds>(
                                        evs[i].at - evs[i - 1].at)
                                        .count();
                EXPECT_GE(silence, IDLE);
                EXPECT_LT(silence, IDLE + 150);
                break;
            }
        }
    }
}

// An answer of -1 to the idle event gives identification up: the waiter is
// released, and the state it then reads is never "connected", even though
// the procedure signalled before answering.
TEST_F(CommTest, GivingUpIdentificationIsNeverSeenAsConnected) {
    Pty pty;
    Recorder &rec = recorder();
    int id = -1;
    std::atomic<int> idles{0};
    rec.react = [&](int conn, int event, const std::string &) {
        if (event != COMM_EV_IDLE || ++idles < 2)
            return 0;
        comm_signal_connected(conn);
        // Give the waiter every chance to read the state too early.
        std::this_thread::sleep_for(milliseconds(50));
        return -1;
    };
    ASSERT_EQ(connect_pty(pty, rec, &id, 50), COMM_OK);
    EXPECT_EQ(comm_wait_connected(id, 5000), COMM_OK);
    EXPECT_EQ(comm_get_state(id), COMM_STATE_FAILED);
    comm_shut(); // before the procedure's captures go
}

TEST_F(CommTest, SignalReleasesTheWaitEvenWhenGivenBeforeIt) {
    SocketPeer peer;
    Recorder &rec = recorder();
    int id = -1;
    rec.react = [&](int conn, int event, const std::string &data) {
        if (event == COMM_EV_DATA && data == "A0001234")
            comm_signal_connected(conn);
        return 0;
    };
    ASSERT_EQ(peer.connect(&id, rec), COMM_OK);

    auto start = Clock::now();
    EXPECT_EQ(comm_wait_connected(id, 150), COMM_ERR_TIMEOUT);
    EXPECT_GE(ms_since(start), 150);
    peer.send("A0001234");
    ASSERT_TRUE(rec.wait_data("A0001234"));
    std::this_thread::sleep_for(milliseconds(50));
    start = Clock::now();
    EXPECT_EQ(comm_wait_connected(id, 5000), COMM_OK);
    EXPECT_LT(ms_since(start), 100);
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);
    // An unknown connection never reports success.
    EXPECT_NE(comm_wait_connected(12345, 10), COMM_OK);
}

TEST_F(CommTest, WaitForIdentificationEndsWhenTheLinkIsLost) {
    Pty pty;
    Recorder &rec = recorder();
    int id = -1;
    ASSERT_EQ(connect_pty(pty, rec, &id), COMM_OK);
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.close_master();
    });
    auto start = Clock::now();
    EXPECT_EQ(comm_wait_connected(id, 15000), COMM_ERR_CLOSED);
    EXPECT_LT(ms_since(start), PROMPT_MS);
    unplug.join();
}

TEST_F(CommTest, ShutClosesEveryConnectionOnce) {
    Pty pty;
    SocketPeer peer;
    Recorder &a = recorder(), &b = recorder();
    int ida = -1, idb = -1;
    ASSERT_EQ(connect_pty(pty, a, &ida), COMM_OK);
    ASSERT_EQ(peer.connect(&idb, b), COMM_OK);
    ASSERT_TRUE(a.wait_event(COMM_EV_LINK_UP));
    ASSERT_TRUE(b.wait_event(COMM_EV_LINK_UP));
    ASSERT_EQ(comm_shut(), COMM_OK);
    // Shut joins the readers: the closed events are in when it returns.
    for (Recorder *rec : {&a, &b}) {
        EXPECT_EQ(rec->count(COMM_EV_CLOSED), 1);
        expect_closed_last_and_once(*rec);
    }
    EXPECT_FALSE(walk_has(ida));
    Recorder &c = recorder();
    int idc = -1;
    EXPECT_EQ(connect_pty(pty, c, &idc), COMM_ERR_STATE);
    ASSERT_EQ(comm_init(), COMM_OK);
    EXPECT_EQ(comm_init(), COMM_ERR_STATE);
}

// The device link walks the connections from the main thread and reads the
// context it is given, while connections close on their readers and their
// contexts are freed at the closed event. A walker must never be handed a
// context that is freed under it.
struct Context : Recorder {
    std::atomic<bool> alive{true};
};

TEST_F(CommTest, WalkNeverHandsOutAContextBeingFreed) {
    constexpr int CONNS = 6;
    std::vector<std::unique_ptr<SocketPeer>> peers;
    std::vector<std::unique_ptr<Context>> ctxs;
    std::vector<int> ids(CONNS, -1);
    for (int i = 0; i < CONNS; i++) {
        peers.push_back(std::make_unique<SocketPeer>());
        ctxs.push_back(std::make_unique<Context>());
        Context *ctx = ctxs.back().get();
        ctx->react = [ctx](int conn, int event, const std::string &) {
            if (event == COMM_EV_CLOSED) {
                EXPECT_FALSE(walk_has(conn));
                ctx->alive = false; // "freed"
            }
            return 0;
        };
        ASSERT_EQ(peers[i]->connect(&ids[i], *ctx), COMM_OK);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> stale{0}, yielded{0};
    std::thread walker([&] {
        while (!stop) {
            comm_cursor cur;
            comm_data_cntr_init(&cur);
            int id;
            void *ctx;
            while (comm_get_data(&cur, &id, &ctx)) {
                yielded++;
                std::this_thread::yield();
                auto *rec = static_cast<Recorder *>(ctx);
                if (!static_cast<Context *>(rec)->alive)
                    stale++;
            }
        }
    });
    auto start = Clock::now();
    while (yielded < CONNS && ms_since(start) < PROMPT_MS)
        std::this_thread::yield();
    for (int i = 0; i < CONNS; i++) {
        if (i % 2)
            comm_disconnect(ids[i]);
        else
            peers[i]->close_peer();
    }
    for (auto &ctx : ctxs)
        EXPECT_TRUE(ctx->wait_event(COMM_EV_CLOSED));
    stop = true;
    walker.join();
    EXPECT_GT(yielded, 0);
    EXPECT_EQ(stale, 0);
}

} // namespace
