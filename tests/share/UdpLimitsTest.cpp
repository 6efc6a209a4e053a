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

// A UDP peer on a loopback address of its own.
struct Peer {
    int fd = -1;
    unsigned port = 0;
    explicit Peer(const char* address) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~Peer() { close(fd); }
    void Send(const CUdpSocket& to, const std::string& text) const {
        sockaddr_in a = Loopback(int(to.LocalPort()));
        sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // Every datagram until `quietMs` pass without one.
    std::vector<std::string> Drain(int quietMs) const {
        std::vector<std::string> got;
        char buf[2048];
        ssize_t n;
        while (Readable(fd, quietMs) && (n = recv(fd, buf, sizeof buf, 0)) > 0)
            got.emplace_back(buf, size_t(n));
        return got;
    }
};

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
    Peer flood("127.0.0.1"), other("127.0.0.2"), neighbour("127.0.0.1");
    for (int i = 0; i < 300; ++i) {
        flood.Send(m_socket, "getsharefiles: please");
        if (i % 50 == 49)
            Handle();  // before the socket's buffer is full
    }
    flood.Send(m_socket, "req:getsvrinfo now");
    other.Send(m_socket, "getsharefiles: me too");
    neighbour.Send(m_socket, "getsharefiles: me too");
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
    flood.Send(m_socket, "getsharefiles: again");
    Handle();
    EXPECT_EQ(WholeCatalogues(flood.Drain(1000)), 1);
}

// One address may have only a few catalogues under way at once, whatever
// ports it asks from.
TEST_F(UdpLimits, CataloguesPerAddressAreCapped) {
    std::vector<std::unique_ptr<Peer>> ports;
    for (int i = 0; i < 3 * UDP_MAX_CATALOGUES_PER_ADDRESS; ++i) {
        ports.push_back(std::make_unique<Peer>("127.0.0.1"));
        ports.back()->Send(m_socket, "getsharefiles: x");
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
    Peer flood("127.0.0.1"), other("127.0.0.2");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 400; ++i) {
        flood.Send(m_socket, "req:getsvrinfo x");
        if (i % 50 == 49)
            Handle();
    }
    Handle();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    other.Send(m_socket, "req:getsvrinfo x");
    Handle();
    const size_t answered = flood.Drain(500).size();
    EXPECT_GE(answered, size_t(UDP_ANSWER_BURST));
    EXPECT_LE(answered, size_t(UDP_ANSWER_BURST + seconds * UDP_ANSWERS_PER_SECOND + 1));
    EXPECT_EQ(other.Drain(500).size(), 1u);
}
