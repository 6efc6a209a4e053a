#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "ShareTestUtil.h"
#include "platform/PollLoop.h"
#include "share/ShareFiles.h"
#include "share/UdpSocket.h"

namespace {

// Generous: the CI machine is loaded.
constexpr int REPLY_TIMEOUT_MS = 5000;

// A peer on loopback: a plain datagram socket with a receive time-out.
class Peer {
public:
    Peer() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        timeval tv {REPLY_TIMEOUT_MS / 1000, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Peer() { close(m_fd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    unsigned Port() const {
        sockaddr_in a {};
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    void SendTo(unsigned port, const std::string& bytes) const {
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // The next datagram, or "<timeout>".
    std::string Receive() const {
        char buf[4096];
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        return n < 0 ? std::string("<timeout>") : std::string(buf, static_cast<size_t>(n));
    }

private:
    int m_fd = -1;
};

class UdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(m_tree.Root());
        m_socket.SetPlayRequestHandler([this](const std::string& ip, const std::string& name) {
            m_plays.push_back({ip, name});
        });
        m_loop.Watch(m_socket.Fd(), [this] { m_socket.OnReceive(0); });
    }

    // Sends one datagram and lets the socket's loop handle it.
    void Deliver(const std::string& bytes) {
        m_peer.SendTo(m_socket.LocalPort(), bytes);
        ASSERT_TRUE(m_loop.RunOnce(REPLY_TIMEOUT_MS));
    }
    std::string ServerInfoFor(const Peer& p) const {
        return "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(p.Port()) + " ";
    }
    // Asserts nothing was sent back before: a server-info probe must be the
    // very next datagram the peer sees.
    void ExpectNoReplyBefore() {
        Deliver("req:getsvrinfo probe");
        EXPECT_EQ(m_peer.Receive(), ServerInfoFor(m_peer));
    }

    TempTree m_tree;
    CUdpSocket m_socket;
    PollLoop m_loop;
    Peer m_peer;
    std::vector<std::pair<std::string, std::string>> m_plays;
};

}  // namespace

TEST(UdpCommandText, CommandWordAndValues) {
    EXPECT_EQ(CUdpSocket::GetCommand("req:getsvrinfo"), "");
    EXPECT_EQ(CUdpSocket::GetCommand("  \treq:getsvrinfo  x \r\n"), "req:getsvrinfo");
    EXPECT_EQ(CUdpSocket::GetCommand(""), "");
    EXPECT_EQ(CUdpSocket::GetCommand(" \t\r\n"), "");

    const std::string msg = "raduzira: strFileName=\"a b.mp4\" strSrcIP=\"10.0.0.7\" time=\"5\" ";
    EXPECT_EQ(CUdpSocket::GetValue(msg, "strFileName"), "a b.mp4");
    EXPECT_EQ(CUdpSocket::GetValue(msg, "strSrcIP"), "10.0.0.7");
    EXPECT_EQ(CUdpSocket::GetValue(msg, "nSerial"), "");
    EXPECT_EQ(CUdpSocket::GetValue("k=\"open", "k"), "");
    EXPECT_EQ(CUdpSocket::GetValue("k=nothing", "k"), "");
    // A plain text search: the key inside an earlier value wins.
    EXPECT_EQ(CUdpSocket::GetValue("raduzira: strFileName=\"strSrcIP\" strSrcIP=\"1.2.3.4\"",
                                   "strSrcIP"),
              " strSrcIP=");
}

TEST_F(UdpSocketTest, ServerInfoAnsweredOnlyWithAFurtherWord) {
    Deliver("req:getsvrinfo");
    Deliver("xreq:getsvrinfo now");
    EXPECT_EQ(m_peer.Receive(), ServerInfoFor(m_peer));
    Deliver(" \treq:getsvrinfo  please\r\n");
    EXPECT_EQ(m_peer.Receive(), ServerInfoFor(m_peer));
}

TEST_F(UdpSocketTest, RepliesAndUnknownCommandsAreIgnored) {
    m_tree.File("a.mp4");
    for (const char* text : {"getsharefiles x", "result:getsvrinfo  ip:1.2.3.4 port:5 ",
                             "result:getsharefiles filename=\"x.mp4\"", "Ping: hello",
                             "ACK: ok", "hello world", "getsharefiles:"})
        Deliver(text);
    ExpectNoReplyBefore();
}

TEST_F(UdpSocketTest, CatalogueGoesOutOneDatagramPerEntryInOrder) {
    m_tree.File("one.mp4");
    m_tree.File("sub/two.mkv");
    m_tree.File("three.avi");
    m_tree.File("notes.txt");
    std::vector<std::string> catalogue;
    FindShareFiles(m_tree.Root(), catalogue);
    ASSERT_EQ(catalogue.size(), 3u);

    Deliver("getsharefiles: all");
    for (const std::string& entry : catalogue)
        EXPECT_EQ(m_peer.Receive(), "result:getsharefiles filename=\"" + entry + "\"");
    ExpectNoReplyBefore();
}

TEST_F(UdpSocketTest, EmptyCatalogueSendsNothing) {
    m_socket.SetShareRoot(m_tree.Root() + "/missing");
    Deliver("getsharefiles: all");
    ExpectNoReplyBefore();
}

TEST_F(UdpSocketTest, PlayRequestReachesTheHandler) {
    Deliver("raduzira: strFileName=\"D://ROZivuvori/a.mp4\" strSrcIP=\"192.168.1.9\" "
            "time=\"3\" nSerial=\"10\" ");
    Deliver("raduzira: nothing");
    ASSERT_EQ(m_plays.size(), 2u);
    EXPECT_EQ(m_plays[0].first, "192.168.1.9");
    EXPECT_EQ(m_plays[0].second, "D://ROZivuvori/a.mp4");
    EXPECT_EQ(m_plays[1], std::make_pair(std::string(), std::string()));
}

TEST_F(UdpSocketTest, SendPlayRequestWireText) {
    Peer other;
    m_socket.SendToPeer("plain text", "127.0.0.1", other.Port());
    EXPECT_EQ(other.Receive(), "plain text");

    // SendPlayRequest always targets port 1999: listen there when it is free.
    CAsyncSocket sideB;
    if (!sideB.Create(UDP_PEER_PORT, "127.0.0.1"))
        GTEST_SKIP() << "port 1999 busy";
    m_socket.SendPlayRequest("127.0.0.1", "10.1.2.3", "clip.mp4", 42);
    PollLoop loop;
    bool readable = false;
    loop.Watch(sideB.Fd(), [&] { readable = true; });
    ASSERT_TRUE(loop.RunOnce(REPLY_TIMEOUT_MS));
    ASSERT_TRUE(readable);
    char buf[1024];
    std::string from;
    unsigned port = 0;
    int n = sideB.ReceiveFrom(buf, sizeof buf, from, port);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "raduzira: strFileName=\"clip.mp4\" strSrcIP=\"10.1.2.3\" time=\"42\" nSerial=\"10\" ");
    EXPECT_EQ(port, m_socket.LocalPort());
}

TEST_F(UdpSocketTest, OversizedDatagramIsDropped) {
    std::string big = "req:getsvrinfo " + std::string(UDP_RECV_BUFFER_SIZE, 'x');
    Deliver(big);
    std::string exact = "req:getsvrinfo ";
    exact += std::string(UDP_RECV_BUFFER_SIZE - exact.size(), 'y');
    Deliver(exact);
    EXPECT_EQ(m_peer.Receive(), ServerInfoFor(m_peer)) << "the 1024-byte one is handled";
    ExpectNoReplyBefore();
}

TEST_F(UdpSocketTest, BinaryEmptyAndInvalidTextAreSurvived) {
    Deliver(std::string());
    Deliver(std::string("\0\0\0raduzira: \0", 14));
    Deliver("\xff\xfe\xc3 req:getsvrinfo \xc3\x28");
    std::string noise;
    for (int i = 0; i < 1024; ++i)
        noise += static_cast<char>((i * 37) & 0xff);
    Deliver(noise);
    // None of it holds a request; the socket still answers afterwards.
    ExpectNoReplyBefore();
}

TEST(PollLoop, QuitFromAnotherThreadEndsRun) {
    PollLoop loop;
    std::thread runner([&] { loop.Run(); });
    loop.Quit();
    runner.join();
    EXPECT_FALSE(loop.RunOnce(0));
}
