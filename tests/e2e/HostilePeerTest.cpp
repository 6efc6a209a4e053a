// Hostile peers. A hostile stream peer against a real `sivo-play --remote`:
// a real sender serves the clip on an ephemeral port, and a proxy on the
// stream port passes the requests on and mutates the answers. Whatever the
// peer sends, the player must end within its time limit without a
// sanitizer report, playing what can be played (exit 0) or nothing (exit 1).
// Then hostile LAN peers against a real sivo-server on a two-host LAN.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/NetTestUtil.h"
#include "common/SivoPlayRun.h"
#include "common/TestMedia.h"
#include "common/TwoHostLan.h"
#include "engine/Package.h"
#include "engine/control/NetEntry.h"
#include "stream/StreamProtocol.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"

namespace {

using nettest::Bytes;

constexpr int kPlaySeconds = 2;
constexpr int kCaseLimitS = 60;  // a 2 s run on a loaded machine under ASan; only a hang gets there

// What the proxy sends in place of one answer of the sender; `close` ends
// the connection after it.
struct Reply {
    std::vector<Bytes> send;
    bool close = false;
};
// (answer, index of this answer on the connection) → what goes out.
using Mutation = std::function<Reply(const Bytes&, int)>;

int TypeOf(const Bytes& pkg) { return pkg.size() < kPkgBodyOffset ? -1 : (pkg[9] << 8) | pkg[10]; }

void PutU32(Bytes& b, size_t at, uint32_t v) {
    if (at + 4 <= b.size())
        for (int i = 0; i < 4; ++i)
            b[at + i] = uint8_t(v >> (24 - 8 * i));
}

// Rewrites the description's fields; other answers pass unchanged.
Mutation Describe(std::function<void(StreamDescription&)> edit) {
    return [edit](const Bytes& pkg, int) {
        if (TypeOf(pkg) != PKG_DESCRIBE_RSP)
            return Reply{{pkg}};
        StreamDescription d;
        ByteStream r(pkg.data(), uint32_t(pkg.size()));
        ParseStreamDescription(r, d);
        edit(d);
        return Reply{{BuildStreamDescription(d)}};
    };
}

// Patches bytes of the description at fixed offsets (fields the builder
// would not write as given).
Mutation PatchDescription(std::function<void(Bytes&)> patch) {
    return [patch](const Bytes& pkg, int) {
        Bytes out = pkg;
        if (TypeOf(pkg) == PKG_DESCRIBE_RSP)
            patch(out);
        return Reply{{out}};
    };
}

// Edits every media package.
Mutation Media(std::function<void(Bytes&, int)> edit) {
    return [edit](const Bytes& pkg, int index) {
        Bytes out = pkg;
        if (TypeOf(pkg) == PKG_MEDIA)
            edit(out, index);
        return Reply{{out}};
    };
}

constexpr size_t kAudioCodecAt = kPkgBodyOffset + 1;
constexpr size_t kAudioPrivateLenAt = kPkgBodyOffset + 34;
constexpr size_t kMediaSizeAt = kPkgBodyOffset + 13;
constexpr size_t kMediaPayloadAt = kPkgBodyOffset + 37;

// Listens on the stream port, connects each client to the real sender and
// runs the mutation over the sender's answers until the client leaves.
class HostileProxy {
public:
    HostileProxy(int upstreamPort, Mutation mutate) : m_upstream(upstreamPort), m_mutate(std::move(mutate)) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = nettest::Loopback(kStreamPort);
        m_ok = bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_listen, 4) == 0;
        m_thread = std::thread([this] { Run(); });
    }
    ~HostileProxy() {
        m_stop = true;
        m_thread.join();
        close(m_listen);
    }
    bool Listening() const { return m_ok; }

private:
    void Run() {
        while (!m_stop && m_ok) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) == 1)
                Serve(accept(m_listen, nullptr, nullptr));
        }
    }

    void Serve(int client) {
        int upstream = nettest::RawConnect(m_upstream);
        FrameAssembler answers;
        int index = 0;
        bool open = client >= 0 && upstream >= 0;
        uint8_t buf[65536];
        while (open && !m_stop) {
            pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            if (p[0].revents) {
                ssize_t n = recv(client, buf, sizeof buf, 0);
                open = n > 0 && send(upstream, buf, size_t(n), MSG_NOSIGNAL) == n;
            }
            if (open && p[1].revents) {
                ssize_t n = recv(upstream, buf, sizeof buf, 0);
                open = n > 0;
                answers.FeedBytes(buf, int(std::max<ssize_t>(n, 0)), [&](const uint8_t* pkg, int len) {
                    Reply reply = m_mutate(Bytes(pkg, pkg + len), index++);
                    for (const Bytes& b : reply.send)
                        open = open && nettest::SendAll(client, b);
                    open = open && !reply.close;
                });
            }
        }
        if (client >= 0)
            close(client);
        if (upstream >= 0)
            close(upstream);
    }

    int m_upstream;
    Mutation m_mutate;
    int m_listen = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct HostileCase {
    const char* name;
    Mutation mutate;
    bool plays;  // pictures or sound still reach the output
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostilePeer : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostilePeer, PlayerEndsInTimeWithoutAReport) {
    const std::string clip = TestClipAv10s();
    auto* served = new VideoSender;
    served->SetRoot(SIVO_TEST_MEDIA_DIR);
    TcpServer sender(0, served);
    ASSERT_EQ(sender.Listen(), 0);
    HostileProxy proxy(sender.GetPort(), GetParam().mutate);
    if (!proxy.Listening())
        GTEST_SKIP() << "the stream port is taken by another process";
    PlayRun r = SivoPlay("--seconds " + std::to_string(kPlaySeconds) + " --remote 127.0.0.1 '" + clip + "'",
                         kCaseLimitS);
    EXPECT_TRUE(EndedCleanly(r));
    // What survives the mutation plays (exit 0); the rest ends with nothing (exit 1).
    EXPECT_EQ(r.status, GetParam().plays ? 0 : 1) << r.out << r.err;
}

Bytes Noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

const HostileCase kCases[] = {
    {"AbsurdSampleRate", Describe([](StreamDescription& d) { d.audio.nSampleRate = 0x7fffffff; }), true},
    {"NegativeSampleRate", Describe([](StreamDescription& d) { d.audio.nSampleRate = -44100; }), true},
    {"NoChannels", Describe([](StreamDescription& d) { d.audio.nChannels = 0; }), true},
    {"ManyChannels", Describe([](StreamDescription& d) { d.audio.nChannels = 255; }), true},
    {"AbsurdBlockAlign", Describe([](StreamDescription& d) { d.audio.nBlockAlign = -1; }), true},
    {"ZeroAndHugeFrameRates", Describe([](StreamDescription& d) {
         d.video.nFps = 0;
         d.video.codecTimeBase = {1, 0};
         d.video.streamTimeBase = {0x7fffffff, 1};
     }), true},
    {"HugeFrameRate", Describe([](StreamDescription& d) {
         d.video.nFps = 0x7fffffff;
         d.video.streamTimeBase = {1, 0x7fffffff};
     }), true},
    {"HugePicture", Describe([](StreamDescription& d) { d.video.nWidth = d.video.nHeight = 0x7fff0000; }), true},
    {"NegativePicture", Describe([](StreamDescription& d) { d.video.nWidth = d.video.nHeight = -64; }), true},
    {"ZeroTimeBases", Describe([](StreamDescription& d) {
         d.audio.codecTimeBase = d.audio.streamTimeBase = {0, 0};
         d.video.codecTimeBase = d.video.streamTimeBase = {0, 0};
     }), true},
    {"GarbagePrivateData", Describe([](StreamDescription& d) {
         d.audio.extradata = Noise(3000, 1);
         d.video.extradata = Noise(5000, 2);
     }), false},
    {"PrivateDataLongerThanPackage", PatchDescription([](Bytes& b) { PutU32(b, kAudioPrivateLenAt, 0xfffffff0); }), true},
    {"UnknownCodecs", PatchDescription([](Bytes& b) { PutU32(b, kAudioCodecAt, 0x7ffffff0); }), true},
    {"MediaSizeDisagreesWithLength", Media([](Bytes& b, int) { PutU32(b, kMediaSizeAt, 0xffffff00); }), false},
    {"MediaPayloadNoise", Media([](Bytes& b, int i) {
         for (size_t at = kMediaPayloadAt; at + 2 < b.size(); at += 7)
             b[at] ^= uint8_t(1 << (at + unsigned(i)) % 8);
     }), false},
    {"MoreAnswersThanFetches", [](const Bytes& pkg, int) { return Reply{{pkg, pkg, pkg, BuildEndPkg()}}; }, false},
    {"Silence", [](const Bytes&, int) { return Reply{}; }, false},
    {"CloseMidPackage", [](const Bytes& pkg, int index) {
         if (index < 30)
             return Reply{{pkg}};
         return Reply{{Bytes(pkg.begin(), pkg.begin() + long(pkg.size() / 2))}, true};
     }, true},
    {"AnnouncesAHugePackageAndStops", [](const Bytes& pkg, int index) {
         if (index < 10)
             return Reply{{pkg}};
         Bytes head(pkg.begin(), pkg.begin() + kPkgHeaderSize);
         PutU32(head, 4, uint32_t(kPkgMaxLen - 1));
         return Reply{{head}};
     }, true},
    {"EndInsteadOfDescription", [](const Bytes& pkg, int) {
         return Reply{{TypeOf(pkg) == PKG_DESCRIBE_RSP ? BuildEndPkg() : pkg}};
     }, false},
};

INSTANTIATE_TEST_SUITE_P(Mutations, HostilePeer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// ---- The serving side against a hostile LAN -----------------------------
// A sivo-server on the near host; the far host speaks from its address on
// the link and from one outside every local network (198.51.100.7, routed
// back from the near host, so that an answer could reach it).

namespace {

using namespace twohost;

constexpr char kOutsideAddress[] = "198.51.100.7";
constexpr int kServerReadyMs = 30000;

sockaddr_in At(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

void SendTo(int fd, const char* address, int port, const std::string& text) {
    const sockaddr_in a = At(address, port);
    ASSERT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a),
              ssize_t(text.size()));
}

// Datagrams until `quietMs` pass without one.
std::vector<std::string> Drain(int fd, int quietMs) {
    std::vector<std::string> got;
    char buf[2048];
    ssize_t n;
    while (nettest::Readable(fd, quietMs) && (n = recv(fd, buf, sizeof buf, 0)) > 0)
        got.emplace_back(buf, size_t(n));
    return got;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class HostileLan : public TwoHostLan {
protected:
    void SetUp() override {
        TwoHostLan::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const Outcome far = Shell(In(m_farPid) + "ip addr add " + kOutsideAddress + "/32 dev " + m_farDev);
        ASSERT_EQ(far.status, 0) << far.err;
        const Outcome back = Shell(In(m_nearPid) + "ip route add " + kOutsideAddress + "/32 dev " + m_nearDev);
        ASSERT_EQ(back.status, 0) << back.err;
    }
    // Starts sivo-server on the near host and waits until the far host gets
    // its server information.
    void Start(const std::vector<std::string>& more = {}) {
        Serve(m_nearPid, m_root.path, more, m_log.path + "/err");
        const int probe = Udp(kFarAddress);
        ASSERT_TRUE(nettest::WaitFor([&] {
            SendTo(probe, kNearAddress, 2000, "req:getsvrinfo ready");
            return !Drain(probe, 200).empty();
        }, kServerReadyMs)) << Log();
        close(probe);
    }
    int Udp(const char* from) const {
        const int fd = SocketIn(m_farPid, SOCK_DGRAM, from);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        return fd;
    }
    // A TCP connection from the far host's `from` to the near host's `port`.
    int Tcp(const char* from, int port) const {
        const int fd = SocketIn(m_farPid, SOCK_STREAM, from);
        const sockaddr_in to = At(kNearAddress, port);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    // The answer to one HTTP request from `from`, up to the server's close.
    std::string Http(const char* from, const std::string& request) const {
        const int fd = Tcp(from, kHttpPort);
        std::string reply;
        char buf[65536];
        ssize_t n;
        if (fd >= 0 && nettest::SendAll(fd, request))
            while (nettest::Readable(fd) && (n = recv(fd, buf, sizeof buf, 0)) > 0)
                reply.append(buf, size_t(n));
        if (fd >= 0)
            close(fd);
        return reply;
    }
    // One fetch before any describe is answered with the end package.
    static bool StreamServed(int fd) {
        const nettest::Bytes end = BuildEndPkg();
        return fd >= 0 && nettest::SendAll(fd, BuildFetchMediaPkg()) && nettest::ReadExact(fd, end.size()) == end;
    }
    std::string Log() const { return ReadWholeFile(m_log.path + "/err"); }

    TempDir m_root, m_log;
};

} // namespace

TEST_F(HostileLan, ControlAnswersLocalPeersOnlyAndCountsTheOthersInOneLine) {
    for (int i = 0; i < 3; ++i)
        std::ofstream(m_root.path + "/clip" + std::to_string(i) + ".mp4") << "x";
    Start();
    const int local = Udp(kFarAddress), outside = Udp(kOutsideAddress);
    for (int i = 0; i < 5; ++i) {
        SendTo(outside, kNearAddress, 2000, "req:getsvrinfo x");
        SendTo(outside, kNearAddress, 2000, "getsharefiles: x");
    }
    SendTo(local, kNearAddress, 2000, "getsharefiles: x");
    EXPECT_EQ(Drain(local, 1000).size(), 3u) << "the local peer's catalogue";
    EXPECT_TRUE(Drain(outside, 1000).empty()) << "answered a peer outside the local networks";
    // The way back works: a TCP client at that address is served.
    const int tcp = Tcp(kOutsideAddress, kStreamPort);
    EXPECT_TRUE(StreamServed(tcp));
    close(tcp);
    const std::string log = Log();
    EXPECT_EQ(Count(log, "from outside the local networks"), 1) << log;
    EXPECT_NE(log.find("UDP port 2000: ignored 1 datagram from outside the local networks (latest from " +
                       std::string(kOutsideAddress) + ")"),
              std::string::npos)
        << log;
    close(local);
    close(outside);
}

TEST_F(HostileLan, PlayRequestToABroadcastAddressIsIgnoredAUnicastOneIsActedOn) {
    Start();
    // The "serving machine" the requests name: the far host's stream port.
    const int serving = SocketIn(m_farPid, SOCK_STREAM, kFarAddress, kStreamPort);
    ASSERT_EQ(listen(serving, 4), 0);
    const int udp = Udp(kFarAddress);
    int on = 1;
    setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const std::string request = "raduzira: strFileName=\"x.mp4\" strSrcIP=\"" + std::string(kFarAddress) +
                                "\" time=\"0\" nSerial=\"10\" ";
    for (const char* broadcast : {"10.213.14.255", "255.255.255.255"})
        SendTo(udp, broadcast, 2000, request);
    EXPECT_FALSE(nettest::Readable(serving, 3000)) << "a broadcast play request was acted on";
    SendTo(udp, kNearAddress, 2000, request);
    EXPECT_TRUE(nettest::Readable(serving)) << "a play request sent to the host itself was not acted on";
    close(udp);
    close(serving);
}

// 300 catalogue requests from one peer within a third of a second, then a
// server information request: that is answered before the first catalogue
// is out, and the catalogue goes out twice at the most.
TEST_F(HostileLan, CatalogueBurstLeavesServerInfoAnsweredAndIsNotQueuedWithoutEnd) {
    const size_t files = 200;
    for (size_t i = 0; i < files; ++i)
        std::ofstream(m_root.path + "/clip" + std::to_string(1000 + i) + ".mp4") << "x";
    Start();
    const int peer = Udp(kFarAddress);
    for (int i = 0; i < 300; ++i) {
        SendTo(peer, kNearAddress, 2000, "getsharefiles: x");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    SendTo(peer, kNearAddress, 2000, "req:getsvrinfo x");
    const std::vector<std::string> got = Drain(peer, 2000);
    size_t entries = 0, infoAt = got.size();
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].rfind("result:getsharefiles ", 0) == 0)
            ++entries;
        else if (got[i].rfind("result:getsvrinfo ", 0) == 0)
            infoAt = entries;
    }
    EXPECT_LT(infoAt, files) << "server information waited for a whole catalogue";
    EXPECT_TRUE(entries == files || entries == 2 * files) << entries << " catalogue datagrams";
    close(peer);
}

// 300 connections from the far host left idle on each TCP port: another
// peer is served on both, and the refusals make one log line per port.
TEST_F(HostileLan, IdleConnectionsOfOnePeerLeaveAnotherServed) {
    std::ofstream(m_root.path + "/a.mp4") << "AAAA";
    Start();
    std::vector<int> crowd;
    for (int port : {kHttpPort, kStreamPort})
        for (int i = 0; i < 300; ++i)
            crowd.push_back(Tcp(kFarAddress, port));
    const std::string reply = Http(kOutsideAddress, "GET /a.mp4 HTTP/1.1\r\nHost: 10.213.14.1:2888\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200\r\n", 0), 0u) << reply.substr(0, 200);
    EXPECT_EQ(reply.substr(reply.size() - 4), "AAAA");
    const int stream = Tcp(kOutsideAddress, kStreamPort);
    EXPECT_TRUE(StreamServed(stream));
    close(stream);
    int held = 0;
    for (int fd : crowd) {
        char c;
        held += fd >= 0 && !(nettest::Readable(fd, 0) && recv(fd, &c, 1, MSG_DONTWAIT) <= 0);
    }
    EXPECT_LE(held, 2 * TcpServer::kMaxPerPeer);
    for (int fd : crowd)
        if (fd >= 0)
            close(fd);
    const std::string log = Log();
    for (int port : {kHttpPort, kStreamPort})
        EXPECT_EQ(Count(log, "TCP port " + std::to_string(port) + ": connection limit per peer reached"), 1) << log;
}

// A page served from a name the attacker's DNS points at this host: its
// requests carry that name and are refused; this host's address is served.
TEST_F(HostileLan, HostNamesOtherThanThisMachineAreRefusedOverTheLan) {
    std::ofstream(m_root.path + "/a.mp4") << "AAAA";
    Start();
    const std::pair<std::string, bool> hosts[] = {
        {"evil.example", false}, {"evil.example:2888", false}, {"10.213.14.1.evil.example", false}, {"", false},
        {"10.213.14.1", true}, {"10.213.14.1:2888", true}, {"[fe80::1]:2888", true}, {"localhost:2888", true}};
    for (const auto& [host, served] : hosts) {
        const std::string reply = Http(kFarAddress, "GET /a.mp4 HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        if (served)
            EXPECT_EQ(reply.rfind("HTTP/1.1 200\r\n", 0), 0u) << host << ": " << reply.substr(0, 100);
        else
            EXPECT_EQ(reply, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nServer: lighttpd/1.5.0\r\n\r\n") << host;
    }
}

// --allow and SIVO_ALLOW narrow who may connect: others are closed at once
// and logged once a minute with their count; UDP control is not narrowed.
TEST_F(HostileLan, AllowListRefusesOthersAndLogsThemOnce) {
    std::ofstream(m_root.path + "/a.mp4") << "AAAA";
    Start({"--allow", "10.213.14.0/24", "--allow", "192.0.2.1"});
    for (int i = 0; i < 5; ++i) {
        const int refused = Tcp(kOutsideAddress, kStreamPort);
        EXPECT_FALSE(StreamServed(refused)) << "an address outside the allow list was served";
        if (refused >= 0)
            close(refused);
    }
    EXPECT_EQ(Http(kOutsideAddress, "GET /a.mp4 HTTP/1.0\r\n\r\n"), "");
    const int allowed = Tcp(kFarAddress, kStreamPort);
    EXPECT_TRUE(StreamServed(allowed));
    close(allowed);
    EXPECT_EQ(Http(kFarAddress, "GET /a.mp4 HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200\r\n", 0), 0u);
    const std::string log = Log();
    EXPECT_NE(log.find("stream and HTTP ports allowed to 10.213.14.0/24, 192.0.2.1/32 only"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "TCP port 8888: connection refused: not in the allow list (198.51.100.7)"), 1) << log;
    EXPECT_EQ(Count(log, "TCP port 2888: connection refused: not in the allow list (198.51.100.7)"), 1) << log;
}
