// A hostile stream peer against a real `sivo-play --remote`: a real sender
// serves the clip on an ephemeral port, and a proxy on the stream port
// passes the requests on and mutates the answers. Whatever the peer sends,
// the player must end within its time limit without a sanitizer report,
// playing what can be played (exit 0) or nothing (exit 1).

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/NetTestUtil.h"
#include "common/SivoPlayRun.h"
#include "common/TestMedia.h"
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
