// TcpServer with real clients on loopback.

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "platform/Sleep.h"
#include "stream/PkgConnection.h"
#include "stream/StreamProtocol.h"
#include "stream/TcpServer.h"
#include "StreamTestUtil.h"

using namespace streamtest;
using Bytes = std::vector<uint8_t>;

namespace {

std::atomic<int> g_live{0};     // CountingConn objects alive, prototype included
std::atomic<int> g_closed{0};   // OnClose calls

// Answers each fetch with a seek package carrying how many fetches this
// connection has seen, so clients can tell their connections apart.
class CountingConn : public PkgConnection {
public:
    CountingConn() { ++g_live; }
    ~CountingConn() override {
        JoinThreads();
        --g_live;
    }
    TcpConnection* Clone() override { return new CountingConn(); }
    void OnClose() override {
        ++g_closed;
        PkgConnection::OnClose();
    }
    int OnPackage(const uint8_t* p, int n) override {
        return DispatchPackage(p, n, [this](int, int type, ByteStream&) {
            if (type == PKG_FETCH_MEDIA) {
                Bytes answer = BuildSeekPkg(++m_nFetches);
                Send(answer.data(), int(answer.size()));
            }
        });
    }

private:
    uint32_t m_nFetches = 0;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_closed = 0;
        base = g_live;
    }
    int base = 0;
};

// Sends one fetch and returns the count in the answer, or 0.
uint32_t Fetch(int fd) {
    if (!SendAll(fd, BuildFetchMediaPkg()))
        return 0;
    Bytes answer = ReadExact(fd, 17);
    if (answer.size() != 17)
        return 0;
    ByteStream r(answer.data(), 17);
    return ParseSeekPkg(r);
}

} // namespace

TEST_F(ServerTest, EachClientGetsItsOwnConnection) {
    TcpServer s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    EXPECT_TRUE(s.IsRunning());
    ASSERT_GT(s.GetPort(), 0);
    int a = RawConnect(s.GetPort());
    int b = RawConnect(s.GetPort());
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(Fetch(a), 1u);
    EXPECT_EQ(Fetch(a), 2u);
    EXPECT_EQ(Fetch(b), 1u) << "the second client has its own state";
    EXPECT_EQ(Fetch(a), 3u);
    EXPECT_TRUE(WaitFor([&] { return s.ConnectionCount() == 2; }));
    EXPECT_EQ(g_live, base + 3) << "prototype and two clones";
    close(a);
    close(b);
}

TEST_F(ServerTest, EndedConnectionIsReapedAtTheNextAcceptNotBefore) {
    TcpServer s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    int a = RawConnect(s.GetPort());
    EXPECT_EQ(Fetch(a), 1u);
    close(a);
    ASSERT_TRUE(WaitFor([] { return g_closed == 1; }));
    Sleep(50);  // give a wrong early reaping its chance
    EXPECT_EQ(s.ConnectionCount(), 1) << "ended, but kept until the next client";
    EXPECT_EQ(g_live, base + 2);

    int b = RawConnect(s.GetPort());
    EXPECT_EQ(Fetch(b), 1u);
    // The clone is listed just after it starts serving.
    EXPECT_TRUE(WaitFor([&] { return s.ConnectionCount() == 1; }));
    EXPECT_EQ(g_live, base + 2) << "the first clone is gone, the second lives";
    close(b);
}

TEST_F(ServerTest, ListenAgainAfterStopListenOnTheSamePort) {
    TcpServer s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    int port = s.GetPort();
    EXPECT_EQ(s.Listen(), -1) << "already listening";
    int kept = RawConnect(port);
    EXPECT_EQ(Fetch(kept), 1u);

    s.StopListen();
    EXPECT_FALSE(s.IsRunning());
    EXPECT_EQ(RawConnect(port), -1) << "nobody listens now";
    EXPECT_EQ(Fetch(kept), 2u) << "accepted connections outlive StopListen";

    ASSERT_EQ(s.Listen(), 0);
    EXPECT_EQ(s.GetPort(), port);
    int again = RawConnect(port);
    ASSERT_GT(again, 0);
    EXPECT_EQ(Fetch(again), 1u);
    close(kept);
    close(again);
}

TEST_F(ServerTest, RejectedSocketsAreClosed) {
    struct Picky : TcpServer {
        using TcpServer::TcpServer;
        ~Picky() override { StopListen(); }
        int OnAccept(int) override { return 0; }
    } s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    int a = RawConnect(s.GetPort());
    ASSERT_GT(a, 0);
    EXPECT_TRUE(ReadExact(a, 1).empty()) << "closed without a word";
    EXPECT_EQ(s.ConnectionCount(), 0);
    close(a);
}

TEST_F(ServerTest, StopListenFromOnAcceptEndsTheAcceptThread) {
    struct OneShot : TcpServer {
        using TcpServer::TcpServer;
        ~OneShot() override { StopListen(); }
        int OnAccept(int) override {
            StopListen();
            return -1;
        }
    } s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    int a = RawConnect(s.GetPort());
    ASSERT_GT(a, 0);
    EXPECT_TRUE(ReadExact(a, 1).empty()) << "the server stopped before taking it";
    ASSERT_TRUE(WaitFor([&] { return !s.IsRunning(); }));
    EXPECT_EQ(RawConnect(s.GetPort()), -1);
    ASSERT_EQ(s.Listen(), 0);
    EXPECT_TRUE(s.IsRunning());
    close(a);
}

TEST_F(ServerTest, RandomBytesNeverCrashAConnection) {
    TcpServer s(0, new CountingConn());
    ASSERT_EQ(s.Listen(), 0);
    int a = RawConnect(s.GetPort());
    std::mt19937 rng(99);
    Bytes junk(300000);
    for (auto& b : junk)
        b = uint8_t(rng() % 5 == 0 ? 0x23 : rng());
    // Headers that announce up to 5000 bytes, so bodies swallow junk too.
    for (size_t i = 0; i + 8 < junk.size(); i += 997) {
        const uint8_t h[8] = {0x23, 0x00, 0x55, 0xFF, 0, 0, uint8_t(rng() % 20), uint8_t(rng())};
        std::copy(h, h + 8, junk.begin() + long(i));
    }
    ASSERT_TRUE(SendAll(a, junk));
    // Whatever state the junk left, a run of zeros ends it and a clean fetch is answered.
    ASSERT_TRUE(SendAll(a, Bytes(6000, 0x00)));
    Bytes fetch = BuildFetchMediaPkg();
    ASSERT_TRUE(SendAll(a, fetch));
    // Answers to fetches hidden in the junk may come first; the last is ours.
    Bytes answer;
    uint32_t last = 0;
    for (;;) {
        Bytes one = ReadExact(a, 17);
        ASSERT_EQ(one.size(), 17u);
        ByteStream r(one.data(), 17);
        uint32_t n = ParseSeekPkg(r);
        ASSERT_EQ(n, last + 1);
        last = n;
        pollfd p{a, POLLIN, 0};
        if (poll(&p, 1, 300) == 0)
            break;
    }
    EXPECT_GE(last, 1u);
    close(a);
}

TEST(ServerDeathTest, BindingAHeldPortEndsTheProcessWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RawListener holder;
    EXPECT_EXIT(
        {
            TcpServer s(holder.port, new PkgConnection());
            s.Listen();
        },
        ::testing::ExitedWithCode(TcpServer::kExitNoBind), "");
}
