// TcpConnection and PkgConnection over real sockets.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>

#include "stream/PkgConnection.h"
#include "stream/StreamProtocol.h"
#include "StreamTestUtil.h"

using namespace streamtest;
using Bytes = std::vector<uint8_t>;

namespace {

// Records what reaches the virtuals.
class ProbeConn : public PkgConnection {
public:
    ~ProbeConn() override { JoinThreads(); }
    TcpConnection* Clone() override { return new ProbeConn(); }
    void OnClose() override {
        ++closes;
        closedOnRecvThread = OnReceiveThread();
        PkgConnection::OnClose();
    }
    int OnPackage(const uint8_t* p, int n) override {
        std::lock_guard<std::mutex> lock(mu);
        packages.emplace_back(p, p + n);
        return 0;
    }
    size_t PackageCount() {
        std::lock_guard<std::mutex> lock(mu);
        return packages.size();
    }
    std::atomic<int> closes{0};
    std::atomic<bool> closedOnRecvThread{false};
    std::mutex mu;
    std::vector<Bytes> packages;
};

int ClosedPort() {
    RawListener l;
    return l.port;  // closed again when l goes
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 13 + (i >> 8));
    return b;
}

double MsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// A connection joined to a raw peer on loopback.
class Linked : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(c.Connect("127.0.0.1", l.port), 0);
        peer = l.Accept();
        ASSERT_GT(peer, 0);
    }
    void TearDown() override {
        if (peer > 0)
            close(peer);
    }
    RawListener l;
    ProbeConn c;
    int peer = -1;
};

} // namespace

TEST(Connection, SendAfterFailedConnectIsRefused) {
    ProbeConn c;
    EXPECT_EQ(c.Connect("127.0.0.1", ClosedPort()), -1);
    EXPECT_EQ(c.Connect(nullptr, 80), -1);
    EXPECT_EQ(c.Connect("no.such.host", 80), -1) << "no name resolution";
    EXPECT_EQ(c.Connect("127.0.0.1", 0), -1);
    const uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(c.Send(b, 4), -1);
    EXPECT_EQ(c.QueuedCount(), 0);
    EXPECT_FALSE(c.IsRecvRunning());
    EXPECT_FALSE(c.IsSendRunning());
    EXPECT_FALSE(c.IsConnected());
}

TEST(Connection, LongMessageLeavesIn10240ByteChunks) {
    // A sequenced-packet socket keeps the boundary of every send call.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    ProbeConn c;
    c.Attach(sv[0]);
    EXPECT_TRUE(c.IsConnected());
    Bytes msg = Pattern(25000, 3);
    ASSERT_EQ(c.Send(msg.data(), int(msg.size())), 0);
    Bytes second = Pattern(100, 9);
    ASSERT_EQ(c.Send(second.data(), int(second.size())), 0);

    std::vector<size_t> sizes;
    Bytes all;
    Bytes buf(65536);
    while (all.size() < msg.size() + second.size()) {
        pollfd p{sv[1], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
        ssize_t n = recv(sv[1], buf.data(), buf.size(), 0);
        ASSERT_GT(n, 0);
        sizes.push_back(size_t(n));
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{10240, 10240, 4520, 100}));
    Bytes expect = msg;
    expect.insert(expect.end(), second.begin(), second.end());
    EXPECT_EQ(all, expect);
    close(sv[1]);
}

TEST_F(Linked, TwoThreadsSendingAtOnceBothArriveWhole) {
    Bytes a = Pattern(150000, 1), b = Pattern(150000, 101);
    std::atomic<bool> go{false};
    std::thread ta([&] { while (!go) {} EXPECT_EQ(c.Send(a.data(), int(a.size())), 0); });
    std::thread tb([&] { while (!go) {} EXPECT_EQ(c.Send(b.data(), int(b.size())), 0); });
    go = true;
    ta.join();
    tb.join();
    Bytes got = ReadExact(peer, a.size() + b.size());
    ASSERT_EQ(got.size(), a.size() + b.size());
    Bytes ab = a, ba = b;
    ab.insert(ab.end(), b.begin(), b.end());
    ba.insert(ba.end(), a.begin(), a.end());
    EXPECT_TRUE(got == ab || got == ba) << "one whole message after the other";
}

TEST_F(Linked, PeerCloseRunsOnCloseOnceAndEndsBothThreads) {
    EXPECT_TRUE(c.IsConnected());
    EXPECT_FALSE(c.IsClosed());
    close(peer);
    peer = -1;
    ASSERT_TRUE(WaitFor([&] { return c.IsClosed() && !c.IsSendRunning() && !c.IsRecvRunning(); }));
    EXPECT_EQ(c.closes, 1);
    EXPECT_TRUE(c.closedOnRecvThread);
    const uint8_t x[1] = {0};
    EXPECT_EQ(c.Send(x, 1), -1) << "no socket after the receive end";
    c.JoinThreads();
    EXPECT_EQ(c.closes, 1);
}

TEST_F(Linked, PackagesArriveWholeFromAnyChunking) {
    std::vector<Bytes> sent;
    Bytes stream;
    std::mt19937 rng(7);
    for (int i = 0; i < 50; ++i) {
        Bytes pkg = i % 3 ? BuildSeekPkg(uint32_t(i)) : BuildDescribePkg(std::string(size_t(rng() % 200), 'q'));
        sent.push_back(pkg);
        stream.insert(stream.end(), pkg.begin(), pkg.end());
        stream.push_back(0x42);  // garbage between packages
    }
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = std::min(stream.size() - pos, size_t(rng() % 700 + 1));
        ASSERT_TRUE(SendAll(peer, Bytes(stream.begin() + pos, stream.begin() + pos + n)));
        pos += n;
    }
    ASSERT_TRUE(WaitFor([&] { return c.PackageCount() == sent.size(); }));
    std::lock_guard<std::mutex> lock(c.mu);
    EXPECT_EQ(c.packages, sent);
}

TEST_F(Linked, CloseFromTheOwnerStopsBothThreadsAndTheQueue) {
    c.Close();
    EXPECT_FALSE(c.IsConnected());
    // The peer sees the end of the stream.
    Bytes rest = ReadExact(peer, 1);
    EXPECT_TRUE(rest.empty());
    ASSERT_TRUE(WaitFor([&] { return !c.IsSendRunning() && !c.IsRecvRunning(); }));
    const uint8_t x[1] = {0};
    EXPECT_EQ(c.Send(x, 1), -1);
}

TEST_F(Linked, SendQueueBackPressureAndRefusal) {
    // The peer never reads, so the send thread gets stuck.
    // Far more than the loopback socket buffers hold: the send thread blocks
    // inside this message and takes nothing more from the queue.
    Bytes big(32 << 20, 0x5A);
    ASSERT_EQ(c.Send(big.data(), int(big.size())), 0);
    big.clear();
    big.shrink_to_fit();
    ASSERT_TRUE(WaitFor([&] { return c.QueuedCount() == 0; }));

    const uint8_t small[8] = {1};
    for (int i = 0; i < 1001; ++i)
        ASSERT_EQ(c.Send(small, 8), 0);
    ASSERT_EQ(c.QueuedCount(), 1001);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Send(small, 8), 0) << "above 1000: queued after a short pause";
    EXPECT_GE(MsSince(t0), 1.0);
    ASSERT_EQ(c.QueuedCount(), 1002);

    while (c.QueuedCount() < 1501)
        ASSERT_EQ(c.Send(small, 8), 0);
    // Each send above 1500 pauses ~51 ms; share the last 500 among threads.
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int t = 0; t < 10; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                if (c.Send(small, 8) != 0)
                    ++refused;
        });
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(refused, 0);
    ASSERT_EQ(c.QueuedCount(), 2001);

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Send(small, 8), -1) << "above 2000: dropped";
    EXPECT_GE(MsSince(t0), 51.0) << "after both pauses";
    EXPECT_EQ(c.QueuedCount(), 2001);

    c.Close();
    EXPECT_EQ(c.QueuedCount(), 0) << "Close frees what was queued";
    ASSERT_TRUE(WaitFor([&] { return !c.IsSendRunning(); }));
}
