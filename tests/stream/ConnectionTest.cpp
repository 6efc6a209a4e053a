// TcpConnection and PkgConnection over real sockets.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stream/PkgConnection.h"
#include "StreamTestUtil.h"

namespace {

class ProbeConn : public PkgConnection {
public:
    ~ProbeConn() override { JoinThreads(); }
    TcpConnection* Clone() override { return new ProbeConn(); }
    void OnClose() override {
        ++closes;
        closedOnRecvThread = OnReceiveThread();
        PkgConnection::OnClose();
    }
    int OnPackage(const uint8_t*, int) override { return ++packages, 0; }
    // As a pump that sends without blocking does.
    void MakeNonBlocking() {
        const int fd = SendThreadFd();
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    std::atomic<int> closes{0}, packages{0};
    std::atomic<bool> closedOnRecvThread{false};
};

// A connection joined to a raw peer on loopback.
class Linked : public ::testing::Test {
protected:
    void SetUp() override { Link(); }
    void Link() {
        ASSERT_EQ(c.Connect("127.0.0.1", l.port), 0);
        ASSERT_GT(peer = l.Accept(), 0);
    }
    void TearDown() override {
        if (peer > 0)
            close(peer);
    }
    RawListener l;
    ProbeConn c;
    int peer = -1;
};

// The same, joined by the test itself.
class LinkedLater : public Linked {
    void SetUp() override {}
};

const uint8_t kSmall[8] = {1};

} // namespace

TEST(Connection, SendAfterFailedConnectIsRefused) {
    ProbeConn c;
    EXPECT_EQ(c.Connect("127.0.0.1", ClosedPort()), -1);
    EXPECT_EQ(c.Connect("no.such.host", 80), -1) << "no name resolution";
    EXPECT_EQ(c.Send(kSmall, 8), -1);
    EXPECT_EQ(c.QueuedCount(), 0);
    EXPECT_FALSE(c.IsRecvRunning() || c.IsSendRunning() || c.IsConnected());
}

TEST(Connection, LongMessageLeavesIn10240ByteChunks) {
    // A sequenced-packet socket keeps the boundary of every send call.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    ProbeConn c;
    c.Attach(sv[0]);
    Bytes msg = FrameNoise(25000, 3), second = FrameNoise(100, 9);
    ASSERT_EQ(c.Send(msg.data(), int(msg.size())), 0);
    ASSERT_EQ(c.Send(second.data(), int(second.size())), 0);
    std::vector<size_t> sizes;
    Bytes all;
    uint8_t buf[65536];
    while (all.size() < msg.size() + second.size() && Readable(sv[1])) {
        ssize_t n = recv(sv[1], buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        sizes.push_back(size_t(n));
        all.insert(all.end(), buf, buf + n);
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{10240, 10240, 4520, 100}));
    msg.insert(msg.end(), second.begin(), second.end());
    EXPECT_EQ(all, msg);
    close(sv[1]);
}

// Voluntary context switches of this process's threads named `name`.
long ThreadSwitches(const std::string& name) {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string got;
        if (!std::getline(comm, got) || got != name)
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

// The send thread waits on its queue: an idle connection wakes no thread.
// A request and its answer cost no thread switch: with nothing queued, Send
// writes on the caller's thread and the send thread sleeps on. A message
// queued as the thread goes to wait leaves at once (a lost wake-up would
// hold it for good; ReadExact gives up after kWaitMs).
TEST_F(Linked, IdleWakesNobodyAndMessagesLeaveAtOnceWithoutTheSendThread) {
    EXPECT_LT(WakeupsWhileIdle(300), 10) << "an idle connection polls";
    ASSERT_TRUE(WaitFor([&] { return ThreadSwitches("tcp-send") > 0; }));  // asleep on its queue
    const long before = ThreadSwitches("tcp-send");
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        // A spin of 0 to 20 us moves the next Send across the send thread's path to the wait.
        for (auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(rng() % 20000);
             std::chrono::steady_clock::now() < until;) {
        }
        const uint8_t msg[4] = {uint8_t(i), uint8_t(i >> 8), 0x5A, 0xA5};
        ASSERT_EQ(c.Send(msg, 4), 0);
        ASSERT_EQ(ReadExact(peer, 4), Bytes(msg, msg + 4)) << "message " << i << " stayed queued";
    }
    EXPECT_LT(ThreadSwitches("tcp-send") - before, 10) << "the send thread was woken for each message";
}

// Messages written at once, partly taken by a full socket, and queued behind
// such a rest: one thread sends large messages, another small ones between
// them, while the peer reads now fast, now not at all. Each thread's
// messages arrive whole and in its order.
TEST_F(Linked, MessagesOfTwoThreadsArriveWholeAndInOrderThroughAFullSocket) {
    const struct {
        std::vector<size_t> sizes;
        int count, pauseUs;
    } senders[] = {{{8 << 20, 400000, 10241}, 30, 0}, {{1, 9, 100, 10240}, 3000, 40}};
    const auto message = [&](int thread, int seq) {
        const auto& sizes = senders[thread].sizes;
        Bytes m(sizes[size_t(seq) % sizes.size()] + 9);
        uint64_t x = uint64_t(thread * 100000 + seq) * 0x9E3779B97F4A7C15u + 1;
        for (auto& byte : m)  // quick to make, different everywhere
            x ^= x << 13, x ^= x >> 7, x ^= x << 17, byte = uint8_t(x);
        const uint32_t head[2] = {uint32_t(seq), uint32_t(m.size())};  // after the thread's number
        m[0] = uint8_t(thread);
        std::memcpy(&m[1], head, sizeof head);
        return m;
    };
    const auto send = [&](int thread) {
        for (int seq = 0; seq < senders[thread].count; ++seq) {
            const Bytes m = message(thread, seq);
            // Within the queue's byte bound, which would refuse the message.
            while (c.QueuedBytes() + int64_t(m.size()) > TcpConnection::kQueueMaxBytes / 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(c.Send(m.data(), int(m.size())), 0);
            std::this_thread::sleep_for(std::chrono::microseconds(senders[thread].pauseUs));
        }
    };
    // What the peer reads, checked as it comes: "" when all is well.
    const auto readAll = [&]() -> std::string {
        int next[2] = {0, 0};
        for (int got = 0; got < senders[0].count + senders[1].count; ++got) {
            Bytes m = ReadExact(peer, 9);
            if (m.size() != 9)
                return "nothing more after " + std::to_string(got) + " messages";
            const int thread = m[0];
            if (thread != 0 && thread != 1)
                return "a message began inside another after " + std::to_string(got);
            uint32_t head[2];  // its number, its length
            std::memcpy(head, &m[1], sizeof head);
            const std::string which = "thread " + std::to_string(thread) + " message " + std::to_string(head[0]);
            if (int(head[0]) != next[thread]++)
                return which + " out of order";
            if (!ReadInto(peer, m, head[1]) || m != message(thread, int(head[0])))
                return which + " changed";
            if (got % 64 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the socket fills
        }
        return "";
    };
    std::thread t0(send, 0), t1(send, 1);
    const std::string fault = readAll();
    if (!fault.empty())
        c.Close();  // the senders give up
    t0.join();
    t1.join();
    EXPECT_EQ(fault, "");
}

// Writes on the caller's thread count as activity: while requests go out,
// the keep-alive stays off; once they stop, it comes.
TEST_F(LinkedLater, KeepAliveStaysOffWhileRequestsGoOutAndComesWhenTheyStop) {
    const Bytes keepAlive = {0xEE, 0xEE};
    c.SetKeepAlive(400, keepAlive);  // well above the 50 ms between requests, also under a sanitizer
    ASSERT_NO_FATAL_FAILURE(Link());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(c.Send(kSmall, 1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(ReadExact(peer, 20), Bytes(20, kSmall[0]));
    EXPECT_FALSE(Readable(peer, 0)) << "a keep-alive went out between requests";
    EXPECT_EQ(ReadExact(peer, 2), keepAlive);
}

// A socket made non-blocking for a pump still receives and sends: the
// threads wait for data or room rather than ending the connection or looking
// again and again.
TEST_F(Linked, ANonBlockingSocketKeepsReceivingAndSendingAndWakesNobodyWhileQuiet) {
    c.MakeNonBlocking();
    const Bytes fetch = BuildFetchMediaPkg();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(SendAll(peer, fetch));
        ASSERT_TRUE(WaitFor([&] { return c.packages == i || c.IsClosed(); }));
        EXPECT_FALSE(c.IsClosed()) << "the receive thread took 'no data yet' for the end";
        const auto cpu0 = std::clock();
        EXPECT_LT(WakeupsWhileIdle(200), 10) << "the receive thread polls";
        EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.05) << "the receive thread spins";
    }
    // More than the socket holds: the send thread meets a full socket.
    const Bytes big = FrameNoise(16 << 20, 5);
    ASSERT_EQ(c.Send(big.data(), int(big.size())), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ReadExact(peer, big.size()) == big);
    EXPECT_FALSE(c.IsClosed());
}

TEST_F(Linked, PeerCloseRunsOnCloseOnceAndEndsBothThreads) {
    close(peer);
    peer = -1;
    ASSERT_TRUE(WaitFor([&] { return c.IsClosed() && !c.IsSendRunning() && !c.IsRecvRunning(); }));
    EXPECT_TRUE(c.closedOnRecvThread);
    EXPECT_EQ(c.Send(kSmall, 1), -1) << "no socket after the receive end";
    c.JoinThreads();
    EXPECT_EQ(c.closes, 1);
}

TEST_F(Linked, SendQueuePausesAbove1000And1500AndRefusesAbove2000) {
    // Far more than the loopback buffers hold, and the peer never reads: the
    // send thread blocks inside this message and takes nothing more.
    Bytes big(32 << 20, 0x5A);
    ASSERT_EQ(c.Send(big.data(), int(big.size())), 0);
    ASSERT_TRUE(WaitFor([&] { return c.QueuedCount() == 0; }));

    for (int i = 0; i < 1001; ++i)
        ASSERT_EQ(c.Send(kSmall, 8), 0);
    ASSERT_EQ(c.QueuedCount(), 1001);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Send(kSmall, 8), 0) << "above 1000: queued after a short pause";
    EXPECT_GE(MsSince(t0), 1.0);
    while (c.QueuedCount() < 1501)
        ASSERT_EQ(c.Send(kSmall, 8), 0);
    // Each send above 1500 pauses about 51 ms: share the last 500 among threads.
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int t = 0; t < 10; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                refused += c.Send(kSmall, 8) != 0;
        });
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(refused, 0);
    ASSERT_EQ(c.QueuedCount(), 2001);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Send(kSmall, 8), -1) << "above 2000: dropped";
    EXPECT_GE(MsSince(t0), 51.0) << "after both pauses";
    EXPECT_EQ(c.QueuedCount(), 2001);

    c.Close();
    EXPECT_EQ(c.QueuedCount(), 0) << "Close frees what was queued";
    EXPECT_TRUE(WaitFor([&] { return !c.IsSendRunning() && !c.IsRecvRunning(); }));
    EXPECT_EQ(c.Send(kSmall, 1), -1);
}

// Peers that never read, each on a connection of its own: each queue stays
// within its bound, and together they stay within the bound for all, which
// holds the next connection to its fair share and gives it room again once
// another queue is freed.
TEST(Connection, QueuesOfAllConnectionsTogetherStayBounded) {
    const Bytes chunk(256 << 10, 0x33);
    constexpr int kConns = int(TcpConnection::kAllQueuesMaxBytes / TcpConnection::kQueueMaxBytes) + 1;
    RawListener l;
    std::vector<std::unique_ptr<ProbeConn>> conns;
    std::vector<int> peers;
    for (int i = 0; i < kConns; ++i) {
        conns.push_back(std::make_unique<ProbeConn>());
        ASSERT_EQ(conns.back()->Connect("127.0.0.1", l.port), 0);
        ASSERT_GE(peers.emplace_back(l.Accept()), 0);
    }
    const auto fill = [&] {
        for (auto& c : conns)
            for (int i = 0; i < 200 && c->Send(chunk.data(), int(chunk.size())) == 0; ++i) {
            }
    };
    // The kernel takes what fits in the sockets while the send threads push;
    // once nothing moves any more, the queues hold still and a second round
    // fills them to their bounds.
    const auto waitStill = [] {
        int64_t before = -1;
        for (int i = 0; i < 100 && TcpConnection::AllQueuedBytes() != before; ++i) {
            before = TcpConnection::AllQueuedBytes();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    fill();
    waitStill();
    fill();
    ProbeConn &first = *conns.front(), &last = *conns.back();
    EXPECT_LE(first.QueuedBytes(), TcpConnection::kQueueMaxBytes);
    EXPECT_GE(first.QueuedBytes() + 2 * int64_t(chunk.size()), TcpConnection::kQueueMaxBytes) << "refused early";
    const int64_t share = TcpConnection::kQueueFairBytes + int64_t(chunk.size());
    EXPECT_LE(TcpConnection::AllQueuedBytes(), TcpConnection::kAllQueuesMaxBytes + share);
    EXPECT_LE(last.QueuedBytes(), share) << "the last one was held to its share";
    EXPECT_GT(last.QueuedBytes(), 0) << "a connection that holds little is not refused";
    EXPECT_NE(last.Send(chunk.data(), int(chunk.size())), 0);
    const int64_t held = last.QueuedBytes();
    first.Close();
    EXPECT_EQ(first.QueuedBytes(), 0) << "Close frees what was queued";
    EXPECT_EQ(last.Send(chunk.data(), int(chunk.size())), 0) << "room again once a queue was freed";
    // The send thread may move some of it into the socket meanwhile (the
    // kernel grows a socket's buffer as it likes), never more than was sent.
    EXPECT_LE(last.QueuedBytes(), held + int64_t(chunk.size()));
    conns.clear();
    EXPECT_EQ(TcpConnection::AllQueuedBytes(), 0);
    for (int fd : peers)
        close(fd);
}

// Descriptor 0 is free when a program runs with standard input closed.
TEST_F(LinkedLater, DescriptorZeroIsASocketLikeAnyOther) {
    const int savedStdin = dup(0);
    close(0);
    Link();  // carries on after a failure, so that standard input comes back
    EXPECT_EQ(c.Send(kSmall, 8), 0);
    EXPECT_EQ(ReadExact(peer, 8), Bytes(kSmall, kSmall + 8));
    c.Close();
    const bool ended = WaitFor([&] { return !c.IsRecvRunning() && !c.IsSendRunning(); });
    if (!ended)
        shutdown(0, SHUT_RDWR);  // lets the test end when Close did not reach the socket
    EXPECT_TRUE(ended) << "Close left descriptor 0 open under a blocked receive";
    c.JoinThreads();
    dup2(savedStdin, 0);
    close(savedStdin);
}

// A listener whose queue is full drops handshakes, as an unreachable host
// does: Connect must hold nobody, give up after its limit, and a Close
// during the wait must end it at once.
TEST(Connection, PeerThatNeverAnswersHoldsNobodyAndIsGivenUp) {
    int port = 0;
    const int full = BoundSocket(SOCK_STREAM, port);
    ASSERT_EQ(listen(full, 0), 0);
    const int first = RawConnect(port);  // fills the queue of one
    ASSERT_GE(first, 0);
    ProbeConn c, d;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(c.Connect("127.0.0.1", port), 0);
    ASSERT_EQ(d.Connect("127.0.0.1", port), 0);
    EXPECT_LT(MsSince(t0), TcpConnection::kConnectTimeoutMs / 2) << "Connect waited for the handshake";
    EXPECT_EQ(c.Send(kSmall, 8), 0) << "queued while the handshake is pending";
    auto t1 = std::chrono::steady_clock::now();
    d.JoinThreads();
    EXPECT_LT(MsSince(t1), TcpConnection::kConnectTimeoutMs / 2) << "Close did not end the wait";
    ASSERT_TRUE(WaitFor([&] { return c.IsClosed() && !c.IsRecvRunning(); }));
    EXPECT_GE(MsSince(t0), TcpConnection::kConnectTimeoutMs - 100.0);
    EXPECT_EQ(c.Send(kSmall, 8), -1);
    close(first);
    close(full);
}
