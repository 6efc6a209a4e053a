// The control socket under floods from one peer: catalogue requests are
// coalesced and sent off the owner's thread, other answers are rate-limited
// per peer, and another peer is answered throughout.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "share/ShareFiles.h"
#include "share/UdpSocket.h"
#include "ShareTestUtil.h"

namespace {

class UdpLimits : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(m_tree.root);
        for (int i = 0; i < 100; ++i)
            m_tree.File("clip" + std::to_string(1000 + i) + ".mp4");
        std::vector<std::string> files;
        FindShareFiles(m_tree.root, files);
        for (const std::string& f : files)
            m_catalogue.push_back("result:getsharefiles filename=\"" + f + "\"");
    }
    int Port() const { return int(m_socket.LocalPort()); }
    // Handles every datagram waiting, as the owner's loop would.
    void Handle() {
        while (Readable(m_socket.Fd(), 0))
            m_socket.OnReceive(0);
    }
    // The catalogue datagrams of `got` in order, split into whole catalogues.
    int WholeCatalogues(const std::vector<std::string>& got) const {
        std::vector<std::string> entries;
        for (const std::string& g : got)
            if (g.rfind("result:getsharefiles", 0) == 0)
                entries.push_back(g);
        if (entries.size() % m_catalogue.size() != 0)
            return -1;
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i] != m_catalogue[i % m_catalogue.size()])
                return -1;
        return int(entries.size() / m_catalogue.size());
    }

    TempTree m_tree;
    CUdpSocket m_socket;
    std::vector<std::string> m_catalogue;
};

} // namespace

// 300 catalogue requests from one peer: one catalogue, then one more for
// all the requests that came while it was under way; a server-information
// request sent after them is answered before the first catalogue is out;
// other peers asking meanwhile, on another address or another port of the
// same one, get their own whole catalogues alongside.
TEST_F(UdpLimits, CatalogueFloodIsAnsweredTwiceAndServerInfoAtOnce) {
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
    const std::string info = "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(flood.port) + " ";
    const auto at = std::find(got.begin(), got.end(), info);
    ASSERT_NE(at, got.end()) << "server information never answered";
    EXPECT_LT(at - got.begin(), long(m_catalogue.size())) << "answered only after a whole catalogue";
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
TEST_F(UdpLimits, CataloguesPerAddressAreCapped) {
    std::vector<std::unique_ptr<UdpPeer>> ports;
    for (int i = 0; i < 3 * UDP_MAX_CATALOGUES_PER_ADDRESS; ++i) {
        ports.push_back(std::make_unique<UdpPeer>());
        ports.back()->SendTo(Port(), "getsharefiles: x");
    }
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
TEST_F(UdpLimits, ServerInfoFloodFromOnePeerIsCappedAndAnotherIsAnswered) {
    UdpPeer flood, other("127.0.0.2");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 400; ++i) {
        flood.SendTo(Port(), "req:getsvrinfo x");
        if (i % 50 == 49)
            Handle();
    }
    Handle();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    other.SendTo(Port(), "req:getsvrinfo x");
    Handle();
    const size_t answered = flood.Drain(500).size();
    EXPECT_GE(answered, size_t(UDP_ANSWER_BURST));
    EXPECT_LE(answered, size_t(UDP_ANSWER_BURST + seconds * UDP_ANSWERS_PER_SECOND + 1));
    EXPECT_EQ(other.Drain(500).size(), 1u);
}
