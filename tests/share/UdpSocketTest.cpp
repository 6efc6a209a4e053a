#include <gtest/gtest.h>

#include "platform/PollLoop.h"
#include "share/ShareFiles.h"
#include "share/UdpSocket.h"
#include "ShareTestUtil.h"

namespace {

// A datagram peer on an ephemeral loopback port.
struct Peer {
    int port = 0;
    int fd = BoundSocket(SOCK_DGRAM, port);
    ~Peer() { close(fd); }
    void SendTo(unsigned to, const std::string& bytes) const {
        sockaddr_in a = Loopback(int(to));
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::string Receive() const {
        char buf[4096];
        ssize_t n = Readable(fd) ? recv(fd, buf, sizeof buf, 0) : -1;
        return n < 0 ? "<nothing>" : std::string(buf, size_t(n));
    }
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
        m_tree.File("probe.mp4");
    }
    // Sends one datagram and lets the socket's loop handle it.
    void Deliver(const std::string& bytes) {
        m_peer.SendTo(m_socket.LocalPort(), bytes);
        ASSERT_TRUE(m_loop.RunOnce(kWaitMs));
    }
    std::string ServerInfo() const { return "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(m_peer.port) + " "; }
    std::vector<std::string> CatalogueReplies() const {
        std::vector<std::string> entries, replies;
        FindShareFiles(m_tree.Root(), entries);
        for (const std::string& e : entries)
            replies.push_back("result:getsharefiles filename=\"" + e + "\"");
        return replies;
    }
    // Nothing came back before: probes of both reply kinds are answered first
    // and alone (the catalogue is never empty here).
    void ExpectNoReplyBefore(const std::string& what) {
        Deliver("req:getsvrinfo probe");
        Deliver("getsharefiles: probe");
        EXPECT_EQ(m_peer.Receive(), ServerInfo()) << what;
        for (const std::string& reply : CatalogueReplies())
            EXPECT_EQ(m_peer.Receive(), reply) << what;
    }

    TempTree m_tree;
    CUdpSocket m_socket;
    PollLoop m_loop;
    Peer m_peer;
    std::vector<std::pair<std::string, std::string>> m_plays;
};

} // namespace

TEST_F(UdpSocketTest, ServerInfoIsAnsweredToACommandWithAFurtherWord) {
    std::string exact = "req:getsvrinfo ";
    exact += std::string(UDP_RECV_BUFFER_SIZE - exact.size(), 'y');
    for (const std::string& text : {std::string("xreq:getsvrinfo now"), std::string(" \treq:getsvrinfo  please\r\n"), exact}) {
        Deliver(text);
        EXPECT_EQ(m_peer.Receive(), ServerInfo()) << text.size();
    }
    ExpectNoReplyBefore("one answer each");
}

TEST_F(UdpSocketTest, SingleWordsOwnRepliesUnknownBinaryAndOversizedGetNothing) {
    std::string noise;
    for (int i = 0; i < 1024; ++i)
        noise += char((i * 37) & 0xff);
    for (const std::string& text :
         {std::string("req:getsvrinfo"), std::string("getsharefiles x"), std::string("getsharefiles:"),
          std::string("result:getsvrinfo  ip:1.2.3.4 port:5 "), std::string("result:getsharefiles filename=\"x.mp4\""),
          std::string("hello world"), std::string(), std::string("\0\0\0raduzira: \0", 14),
          std::string("\xff\xfe\xc3 req:getsvrinfo \xc3\x28"), noise,
          "req:getsvrinfo " + std::string(UDP_RECV_BUFFER_SIZE, 'x')}) {
        Deliver(text);
        ExpectNoReplyBefore(text.substr(0, 40));
    }
}

TEST_F(UdpSocketTest, CatalogueGoesOutOneDatagramPerEntryInOrder) {
    for (const char* name : {"one.mp4", "sub/two.mkv", "notes.txt"})
        m_tree.File(name);
    std::vector<std::string> replies = CatalogueReplies();
    ASSERT_EQ(replies.size(), 3u);
    Deliver("getsharefiles: all");
    for (const std::string& reply : replies)
        EXPECT_EQ(m_peer.Receive(), reply);
    ExpectNoReplyBefore("three and no more");
    m_socket.SetShareRoot(m_tree.Root() + "/missing");
    Deliver("getsharefiles: all");
    m_socket.SetShareRoot(m_tree.Root());
    ExpectNoReplyBefore("an empty catalogue");
}

TEST_F(UdpSocketTest, PlayRequestReachesTheHandlerWithItsValues) {
    Deliver("raduzira: strFileName=\"D://ROZivuvori/a b.mp4\" strSrcIP=\"192.168.1.9\" time=\"3\" nSerial=\"10\" ");
    // A plain text search: the key inside an earlier value wins.
    Deliver("raduzira: strFileName=\"strSrcIP\" strSrcIP=\"1.2.3.4\"");
    Deliver("raduzira: nothing");
    using Play = std::pair<std::string, std::string>;
    EXPECT_EQ(m_plays, (std::vector<Play>{{"192.168.1.9", "D://ROZivuvori/a b.mp4"},
                                          {" strSrcIP=", "strSrcIP"},
                                          {"", ""}}));
    ExpectNoReplyBefore("play requests are not answered");
}

TEST_F(UdpSocketTest, SendToPeerAndPlayRequestWireText) {
    m_socket.SendToPeer("plain text", "127.0.0.1", unsigned(m_peer.port));
    EXPECT_EQ(m_peer.Receive(), "plain text");
    // Play requests always go to port 1999: listen there when it is free.
    CAsyncSocket side;
    if (!side.Create(UDP_PEER_PORT, "127.0.0.1"))
        GTEST_SKIP() << "port 1999 busy";
    m_socket.SendPlayRequest("127.0.0.1", "10.1.2.3", "clip.mp4", 42);
    ASSERT_TRUE(Readable(side.Fd()));
    char buf[1024];
    std::string from;
    unsigned port = 0;
    int n = side.ReceiveFrom(buf, sizeof buf, from, port);
    EXPECT_EQ(std::string(buf, size_t(std::max(n, 0))),
              "raduzira: strFileName=\"clip.mp4\" strSrcIP=\"10.1.2.3\" time=\"42\" nSerial=\"10\" ");
    EXPECT_EQ(port, m_socket.LocalPort());
}
