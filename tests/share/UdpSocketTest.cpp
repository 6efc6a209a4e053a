// The control socket against datagrams from real sockets on the loopback:
// what it answers and to whom, and floods from one peer: catalogue requests
// are coalesced and sent off the owner's thread, other answers are
// rate-limited per peer, and another peer is answered throughout.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "share/ShareFiles.h"
#include "share/UdpSocket.h"
#include "ShareTestUtil.h"

namespace {

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(m_tree.root);
        m_socket.SetPlayRequestHandler([this](const std::string& ip, const std::string& name) {
            m_plays.push_back({ip, name});
        });
    }
    int Port() const { return int(m_socket.LocalPort()); }
    void Share(int clips) {
        for (int i = 0; i < clips; ++i)
            m_tree.File("clip" + std::to_string(1000 + i) + ".mp4");
    }
    // Handles every datagram waiting, as the owner's loop would.
    void Handle() {
        while (Readable(m_socket.Fd(), 0))
            m_socket.OnReceive(0);
    }
    // Sends one datagram from the peer and handles it.
    void Deliver(const std::string& bytes) {
        m_peer.SendTo(Port(), bytes);
        ASSERT_TRUE(Readable(m_socket.Fd()));
        Handle();
    }
    std::string ServerInfo(const UdpPeer& to) const {
        return "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(to.port) + " ";
    }
    std::vector<std::string> Catalogue() const {
        std::vector<std::string> entries, replies;
        FindShareFiles(m_tree.root, entries);
        for (const std::string& e : entries)
            replies.push_back("result:getsharefiles filename=\"" + e + "\"");
        return replies;
    }
    // Nothing came back before: probes of both reply kinds are answered first
    // and alone, the catalogue one with its datagrams in catalogue order.
    void ExpectNoReplyBefore(const std::string& what) {
        Deliver("req:getsvrinfo probe");
        Deliver("getsharefiles: probe");
        EXPECT_EQ(m_peer.Recv(), ServerInfo(m_peer)) << what;
        for (const std::string& reply : Catalogue())
            EXPECT_EQ(m_peer.Recv(), reply) << what;
    }
    // How many whole catalogues the catalogue datagrams of `got` make, in
    // order; -1 when they do not.
    int WholeCatalogues(const std::vector<std::string>& got) const {
        const std::vector<std::string> catalogue = Catalogue();
        std::vector<std::string> entries;
        std::copy_if(got.begin(), got.end(), std::back_inserter(entries),
                     [](const std::string& g) { return g.rfind("result:getsharefiles", 0) == 0; });
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i] != catalogue[i % catalogue.size()])
                return -1;
        return entries.size() % catalogue.size() ? -1 : int(entries.size() / catalogue.size());
    }

    TempTree m_tree;
    CUdpSocket m_socket;
    UdpPeer m_peer;
    std::vector<std::pair<std::string, std::string>> m_plays;
};

} // namespace

TEST_F(ControlSocket, ServerInfoNeedsAFurtherWordAndEverythingElseStrayGetsNothing) {
    for (const char* name : {"one.mp4", "sub/two.mkv", "notes.txt", "three.avi"})
        m_tree.File(name);
    ASSERT_EQ(Catalogue().size(), 3u);
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
            EXPECT_EQ(m_peer.Recv(), ServerInfo(m_peer)) << text;
        }
        ExpectNoReplyBefore(text.substr(0, 40));
    }
    m_socket.SetShareRoot(m_tree.root + "/missing");
    Deliver("getsharefiles: all");
    m_socket.SetShareRoot(m_tree.root);
    ExpectNoReplyBefore("an empty catalogue");
}

TEST_F(ControlSocket, PlayRequestReachesTheHandlerWithItsValues) {
    Share(2);
    Deliver("raduzira: strFileName=\"D://ROZivuvori/a b.mp4\" strSrcIP=\"192.168.1.9\" time=\"3\" nSerial=\"10\" ");
    // A plain text search: the key inside an earlier value wins.
    Deliver("raduzira: strFileName=\"strSrcIP\" strSrcIP=\"1.2.3.4\"");
    Deliver("raduzira: nothing");
    using Play = std::pair<std::string, std::string>;
    EXPECT_EQ(m_plays, (std::vector<Play>{{"192.168.1.9", "D://ROZivuvori/a b.mp4"}, {" strSrcIP=", "strSrcIP"}, {"", ""}}));
    ExpectNoReplyBefore("play requests are not answered");
}

TEST_F(ControlSocket, PlayRequestWireText) {
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

// 300 catalogue requests from one peer: one catalogue, then one more for
// all the requests that came while it was under way; a server-information
// request sent after them is answered before the first catalogue is out;
// other peers asking meanwhile, on another address or another port of the
// same one, get their own whole catalogues alongside.
TEST_F(ControlSocket, CatalogueFloodIsAnsweredTwiceAndServerInfoAtOnce) {
    Share(100);
    UdpPeer flood, other("127.0.0.2"), neighbour;
    for (int i = 0; i < 300; ++i) {
        flood.SendTo(Port(), "getsharefiles: please");
        if (i % 50 == 49)
            Handle();  // before the socket's buffer is full
    }
    flood.SendTo(Port(), "req:getsvrinfo now");
    other.SendTo(Port(), "getsharefiles: me too");
    neighbour.SendTo(Port(), "getsharefiles: me too");
    Handle();
    const std::vector<std::string> got = flood.Drain(1000);
    const auto at = std::find(got.begin(), got.end(), ServerInfo(flood));
    ASSERT_NE(at, got.end()) << "server information never answered";
    EXPECT_LT(at - got.begin(), 100) << "answered only after a whole catalogue";
    EXPECT_EQ(WholeCatalogues(got), 2);
    EXPECT_EQ(WholeCatalogues(other.Drain(1000)), 1);
    EXPECT_EQ(WholeCatalogues(neighbour.Drain(1000)), 1);

    // Once both are out, a new request is a new catalogue.
    flood.SendTo(Port(), "getsharefiles: again");
    Handle();
    EXPECT_EQ(WholeCatalogues(flood.Drain(1000)), 1);
}

// One address may have only a few catalogues under way at once, whatever
// ports it asks from.
TEST_F(ControlSocket, CataloguesPerAddressAreCapped) {
    Share(100);
    std::vector<std::unique_ptr<UdpPeer>> ports;
    for (int i = 0; i < 3 * UDP_MAX_CATALOGUES_PER_ADDRESS; ++i)
        ports.emplace_back(std::make_unique<UdpPeer>())->SendTo(Port(), "getsharefiles: x");
    Handle();
    int answered = 0;
    for (auto& p : ports) {
        const int whole = WholeCatalogues(p->Drain(300));
        EXPECT_GE(whole, 0);
        answered += whole;
    }
    EXPECT_EQ(answered, UDP_MAX_CATALOGUES_PER_ADDRESS);
}

// Other answers are limited per peer: a burst, then a steady rate; another
// peer is answered meanwhile.
TEST_F(ControlSocket, ServerInfoFloodFromOnePeerIsCappedAndAnotherIsAnswered) {
    UdpPeer flood, other("127.0.0.2");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 400; ++i) {
        flood.SendTo(Port(), "req:getsvrinfo x");
        if (i % 50 == 49)
            Handle();
    }
    Handle();
    const double seconds = MsSince(start) / 1000;
    other.SendTo(Port(), "req:getsvrinfo x");
    Handle();
    const size_t answered = flood.Drain(500).size();
    EXPECT_GE(answered, size_t(UDP_ANSWER_BURST));
    EXPECT_LE(answered, size_t(UDP_ANSWER_BURST + seconds * UDP_ANSWERS_PER_SECOND + 1));
    EXPECT_EQ(other.Drain(500).size(), 1u);
}
