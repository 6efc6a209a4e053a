#include <gtest/gtest.h>

#include "platform/PollLoop.h"
#include "share/ShareFiles.h"
#include "share/UdpSocket.h"
#include "ShareTestUtil.h"

namespace {

class UdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(m_tree.root);
        m_socket.SetPlayRequestHandler([this](const std::string& ip, const std::string& name) {
            m_plays.push_back({ip, name});
        });
        m_loop.Watch(m_socket.Fd(), [this] { m_socket.OnReceive(0); });
        for (const char* name : {"one.mp4", "sub/two.mkv", "notes.txt", "three.avi"})
            m_tree.File(name);
        ASSERT_EQ(CatalogueReplies().size(), 3u);
    }
    // Sends one datagram from the peer and lets the socket's loop handle it.
    void Deliver(const std::string& bytes) {
        m_peer.SendTo(int(m_socket.LocalPort()), bytes);
        ASSERT_TRUE(m_loop.RunOnce(kWaitMs));
    }
    std::string Receive() const { return m_peer.Recv(); }
    std::string ServerInfo() const { return "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(m_peer.port) + " "; }
    std::vector<std::string> CatalogueReplies() const {
        std::vector<std::string> entries, replies;
        FindShareFiles(m_tree.root, entries);
        for (const std::string& e : entries)
            replies.push_back("result:getsharefiles filename=\"" + e + "\"");
        return replies;
    }
    // Nothing came back before: probes of both reply kinds are answered first
    // and alone, the catalogue one with three datagrams in catalogue order.
    void ExpectNoReplyBefore(const std::string& what) {
        Deliver("req:getsvrinfo probe");
        Deliver("getsharefiles: probe");
        EXPECT_EQ(Receive(), ServerInfo()) << what;
        for (const std::string& reply : CatalogueReplies())
            EXPECT_EQ(Receive(), reply) << what;
    }

    TempTree m_tree;
    CUdpSocket m_socket;
    PollLoop m_loop;
    UdpPeer m_peer;
    std::vector<std::pair<std::string, std::string>> m_plays;
};

} // namespace

TEST_F(UdpSocketTest, ServerInfoNeedsAFurtherWordAndEverythingElseStrayGetsNothing) {
    const std::string prefix = "req:getsvrinfo ";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"xreq:getsvrinfo now", true}, {" \treq:getsvrinfo  please\r\n", true},
        {prefix + std::string(UDP_RECV_BUFFER_SIZE - prefix.size(), 'y'), true},
        {prefix + std::string(UDP_RECV_BUFFER_SIZE, 'x'), false},  // one byte over: dropped
        {"req:getsvrinfo", false}, {"getsharefiles x", false}, {"getsharefiles:", false}, {"hello world", false},
        {"result:getsvrinfo  ip:1.2.3.4 port:5 ", false}, {"result:getsharefiles filename=\"x.mp4\"", false},
        {"", false}, {std::string("\0\0\0raduzira: \0", 14), false}, {"\xff\xfe\xc3 req:getsvrinfo \xc3\x28", false},
        {std::string(UDP_RECV_BUFFER_SIZE, '\xc3'), false}};
    for (const auto& [text, answered] : cases) {
        Deliver(text);
        if (answered) {
            EXPECT_EQ(Receive(), ServerInfo()) << text;
        }
        ExpectNoReplyBefore(text.substr(0, 40));
    }
    m_socket.SetShareRoot(m_tree.root + "/missing");
    Deliver("getsharefiles: all");
    m_socket.SetShareRoot(m_tree.root);
    ExpectNoReplyBefore("an empty catalogue");
}

TEST_F(UdpSocketTest, PlayRequestReachesTheHandlerWithItsValues) {
    Deliver("raduzira: strFileName=\"D://ROZivuvori/a b.mp4\" strSrcIP=\"192.168.1.9\" time=\"3\" nSerial=\"10\" ");
    // A plain text search: the key inside an earlier value wins.
    Deliver("raduzira: strFileName=\"strSrcIP\" strSrcIP=\"1.2.3.4\"");
    Deliver("raduzira: nothing");
    using Play = std::pair<std::string, std::string>;
    EXPECT_EQ(m_plays, (std::vector<Play>{{"192.168.1.9", "D://ROZivuvori/a b.mp4"}, {" strSrcIP=", "strSrcIP"}, {"", ""}}));
    ExpectNoReplyBefore("play requests are not answered");
}

TEST_F(UdpSocketTest, PlayRequestWireText) {
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
