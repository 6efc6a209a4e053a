// The client half of the control protocol against real sockets on the
// loopback: a real control socket as the answering machine, and raw sockets
// as peers that lie, flood or fall silent.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "platform/PollLoop.h"
#include "share/LanBrowser.h"
#include "share/ShareFiles.h"
#include "ShareTestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Far beyond a window's end on a loaded machine; only a hang gets there.
constexpr double kLateMs = 1500;

// A control socket on an ephemeral port answering from its own thread.
class ControlServer {
public:
    explicit ControlServer(const std::string& shareRoot) {
        EXPECT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(shareRoot);
        m_loop.Watch(m_socket.Fd(), [this] { m_socket.OnReceive(0); });
        m_thread = std::thread([this] { m_loop.Run(); });
    }
    ~ControlServer() {
        m_loop.Quit();
        m_thread.join();
    }
    unsigned Port() const { return m_socket.LocalPort(); }

private:
    CUdpSocket m_socket;
    PollLoop m_loop;
    std::thread m_thread;
};

std::string Entry(const std::string& name) { return "result:getsharefiles filename=\"" + name + "\""; }

} // namespace

// A real control socket is found once however often it answers, marked as
// this machine; the window is kept, and Cancel ends a long one at once.
TEST(LanBrowserTest, DiscoveryFindsAnAnsweringMachineOnceWithinItsWindowAndCancelEndsItEarly) {
    TempTree tree;
    ControlServer server(tree.root);
    LanBrowser browser(server.Port());
    browser.SetTargets({"127.0.0.1", "127.0.0.1"});
    std::vector<std::string> announced;
    const auto start = Clock::now();
    const auto found = browser.Discover(DISCOVERY_WINDOW_MS, [&](const LanMachine& m) { announced.push_back(m.address); });
    const double took = MsSince(start);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, "127.0.0.1");
    EXPECT_TRUE(found[0].local);
    EXPECT_EQ(announced, std::vector<std::string>{"127.0.0.1"});
    EXPECT_GE(took, DISCOVERY_WINDOW_MS - 5);
    EXPECT_LT(took, DISCOVERY_WINDOW_MS + kLateMs);

    LanBrowser silent(ClosedPort());
    silent.SetTargets({"127.0.0.1"});
    auto running = std::async(std::launch::async, [&] { return silent.Discover(60000); });
    EXPECT_LT(WakeupsWhileIdle(300), 10) << "a waiting discovery looks again and again";
    const auto cancelled = Clock::now();
    silent.Cancel();
    ASSERT_EQ(running.wait_for(std::chrono::milliseconds(int(kLateMs))), std::future_status::ready);
    EXPECT_TRUE(running.get().empty());
    EXPECT_LT(MsSince(cancelled), kLateMs);
}

// Everything that is not a server-information reply from the asked port is
// ignored, and a flood from many addresses stops at the cap.
TEST(LanBrowserTest, DiscoveryIgnoresWhatIsNotAReplyAndCapsAFlood) {
    UdpPeer liar;
    LanBrowser browser(liar.port);
    browser.SetTargets({"127.0.0.1"});
    auto running = std::async(std::launch::async, [&] { return browser.Discover(3000); });
    sockaddr_in client {};
    const std::string request = liar.Recv(&client);
    EXPECT_EQ(request, "req:getsvrinfo sivo");
    EXPECT_FALSE(CUdpSocket::GetCommand(request).empty()) << "a lone command word is not answered";

    const std::string reply = "result:getsvrinfo  ip:127.0.0.1 port:" + std::to_string(ntohs(client.sin_port)) + " ";
    for (const std::string& bad :
         {std::string("result:getsvrinfo"), std::string("hello world"), Entry("/x.mp4"),
          std::string("Ping: result:getsvrinfo"), "result:getsvrinfo " + std::string(3000, 'x'), std::string()})
        liar.SendTo(client, bad);
    UdpPeer("127.0.0.3").SendTo(client, reply);  // not from the control port

    // Many addresses of the loopback net, each from the asked port.
    constexpr int kFlood = 300;
    for (int i = 0; i < kFlood; ++i) {
        const std::string address = i < 250 ? "127.0.1." + std::to_string(i + 1) : "127.0.2." + std::to_string(i - 249);
        UdpPeer(address, liar.port).SendTo(client, reply);
        if (i % 25 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // within the receive buffer
    }
    const auto found = running.get();
    ASSERT_EQ(found.size(), MAX_LAN_MACHINES);
    std::set<std::string> distinct;
    for (const LanMachine& m : found) {
        distinct.insert(m.address);
        EXPECT_TRUE(m.address.rfind("127.0.1.", 0) == 0 || m.address.rfind("127.0.2.", 0) == 0) << m.address;
    }
    EXPECT_EQ(distinct.size(), found.size());
}

// The catalogue of a real control socket arrives whole and in its order,
// names with spaces and UTF-8 included, and ends after the quiet time.
TEST(LanBrowserTest, CatalogueOfARealControlSocketArrivesWholeAndInOrder) {
    TempTree tree;
    for (const char* name : {"a clip.mp4", "música/canção em português.mkv", "sub/dir/deep.AVI", "notes.txt", "z.mp3"})
        tree.File(name);
    std::vector<std::string> expected;
    FindShareFiles(tree.root, expected);
    ASSERT_EQ(expected.size(), 4u);
    ControlServer server(tree.root);
    LanBrowser browser(server.Port());
    std::vector<std::string> streamed;
    const auto listed = browser.ListShareFiles("127.0.0.1", [&](const std::string& n) { streamed.push_back(n); });
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(streamed, expected);

    EXPECT_TRUE(browser.ListShareFiles("not an address").empty());
    EXPECT_TRUE(LanBrowser(ClosedPort()).ListShareFiles("127.0.0.1").empty());
}

// A peer that answers a few entries, some of them damaged, then falls
// silent: the good names are kept as the peer's own lookup reads them, and
// the listing ends one quiet time after the last good entry, whatever else
// arrives in between.
TEST(LanBrowserTest, ListingOfAPeerThatFallsSilentEndsAfterTheQuietTimeWithOnlyItsGoodEntries) {
    UdpPeer peer;
    LanBrowser browser(peer.port);
    auto running = std::async(std::launch::async, [&] {
        auto entries = browser.ListShareFiles("127.0.0.1");
        return std::pair(entries, Clock::now());
    });
    sockaddr_in client {};
    EXPECT_EQ(peer.Recv(&client), "getsharefiles: list");

    peer.SendTo(client, Entry("/s/one.mp4"));
    peer.SendTo(client, Entry("/s/quo\"ted.mp4"));                    // the value ends at the second quote
    peer.SendTo(client, Entry("/s/bell\x07 and \x1b[31mred.mp3"));      // shown safely later, kept as sent
    peer.SendTo(client, "result:getsharefiles size=\"9\" filename=\"/s/two.mkv\"");  // first quote after the key's start
    peer.SendTo(client, "result:getsharefiles filename=\"/s/cut.mp4");   // no closing quote
    peer.SendTo(client, "result:getsharefiles nothing here");
    peer.SendTo(client, "ACK: filename=\"/s/ack.mp4\"");
    peer.SendTo(client, "result:getsharefiles filename=\"" + std::string(9000, 'x') + "\"");
    UdpPeer().SendTo(client, Entry("/s/otherport.mp4"));
    UdpPeer("127.0.0.6", peer.port).SendTo(client, Entry("/s/otheraddress.mp4"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.SendTo(client, Entry("/s/żółw.mp4"));
    const auto lastGood = Clock::now();
    // Noise during the quiet time does not keep the listing open.
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.SendTo(client, "hello " + std::to_string(i));
        UdpPeer("127.0.0.7", peer.port).SendTo(client, Entry("/s/late.mp4"));
    }
    auto [entries, ended] = running.get();
    EXPECT_EQ(entries, (std::vector<std::string>{"/s/one.mp4", "/s/quo", "/s/bell\x07 and \x1b[31mred.mp3",
                                                 "/s/two.mkv", "/s/żółw.mp4"}));
    const double quiet = std::chrono::duration<double, std::milli>(ended - lastGood).count();
    EXPECT_GE(quiet, CATALOGUE_QUIET_MS - 5);
    EXPECT_LT(quiet, CATALOGUE_QUIET_MS + kLateMs);
}
