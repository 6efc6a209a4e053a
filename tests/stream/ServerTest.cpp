// TcpServer with VideoSender clones on an ephemeral loopback port, driven by
// raw clients that speak the request messages.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>

#include "platform/Sleep.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace {

std::atomic<int> g_live{0};    // senders alive
std::atomic<int> g_closed{0};  // OnClose calls

class CountedSender : public VideoSender {
public:
    CountedSender() { ++g_live; }
    ~CountedSender() override {
        JoinThreads();
        --g_live;
    }
    TcpConnection* Clone() override { return new CountedSender(); }
    void OnClose() override {
        ++g_closed;
        VideoSender::OnClose();
    }
};

// Past its last packet a seek to 30 s still has somewhere to go.
std::string Clip35s() {
    return TestMedia("sender35s.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=5:duration=35 "
                     "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=35 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 5 -c:a aac -ac 1 -b:a 16k -shortest");
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_closed = 0;
        m_base = g_live;
        ASSERT_EQ(m_server->Listen(), 0);
    }
    int Port() const { return m_server->GetPort(); }

    int m_base = 0;  // the prototype
    std::unique_ptr<TcpServer> m_server = std::make_unique<TcpServer>(0, new CountedSender);
};

} // namespace

TEST_F(ServerTest, ServesWholeMediaToIndependentClientsAndEndsEveryFetchAfterIt) {
    PkgClient a(Port()), b(Port());
    EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "a fetch before any describe";
    StreamDescription desc = a.Describe(Clip1s());
    EXPECT_TRUE(desc.audio.bPresent && desc.video.bPresent);
    EXPECT_EQ(desc.video.nWidth, 64);
    EXPECT_EQ(desc.video.nHeight, 48);
    EXPECT_EQ(desc.video.nFps, 10);
    EXPECT_EQ(desc.audio.nSampleRate, 8000);
    EXPECT_FALSE(desc.video.extradata.empty()) << "H.264 in MP4 needs its parameter sets";

    std::vector<Bytes> fromA = a.FetchToEnd();
    int video = 0;
    for (const Bytes& pkg : fromA) {
        MediaPackage mp;
        ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
        video += mp.bVideo;
    }
    EXPECT_EQ(video, 10);
    EXPECT_GT(fromA.size(), 10u) << "and sound";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "fetch " << i << " after the end";

    b.Describe(Clip1s());
    EXPECT_EQ(b.FetchToEnd(), fromA) << "b has not moved while a read everything";
    EXPECT_EQ(m_server->ConnectionCount(), 2);
}

TEST_F(ServerTest, SeekTo30AfterTheEndBringsPackagesAgain) {
    PkgClient c(Port());
    c.Describe(Clip35s());
    c.FetchToEnd();
    ASSERT_TRUE(c.Request(BuildSeekPkg(30)));  // no answer to a seek
    Bytes pkg = c.Fetch();
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    EXPECT_GT(mp.pkt->pts, 0) << "near 30 s, not at the start";
}

TEST_F(ServerTest, SeekToZeroRedescribeAndUnansweredKindsKeepThePosition) {
    PkgClient a(Port()), b(Port());
    a.Describe(Clip1s());
    b.Describe(Clip1s());
    a.Fetch();
    a.Fetch();
    a.Describe(Clip1s());
    ASSERT_TRUE(a.Request(BuildSeekPkg(0)));
    AVPacket* pkt = av_packet_alloc();
    ASSERT_EQ(av_new_packet(pkt, 4), 0);
    ASSERT_TRUE(a.Request(BuildMediaPackage(pkt, 27, true)));
    av_packet_free(&pkt);
    Bytes odd = BuildSeekPkg(7);
    odd[9] = 0x7F;  // a type nobody knows
    ASSERT_TRUE(a.Request(odd));
    b.Fetch();
    b.Fetch();
    EXPECT_EQ(a.Fetch(), b.Fetch()) << "a goes on with its third package";
}

TEST_F(ServerTest, MissingFileIsDescribedWithoutSectionsAndEnds) {
    PkgClient c(Port());
    StreamDescription desc = c.Describe(std::string(SIVO_TEST_MEDIA_DIR) + "/no-such-file.mp4");
    EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent);
    EXPECT_EQ(c.Fetch(), BuildEndPkg());
    EXPECT_EQ(c.Fetch(), BuildEndPkg());
}

TEST_F(ServerTest, EndedConnectionIsReapedAtTheNextAcceptNotBefore) {
    {
        PkgClient a(Port());
        EXPECT_EQ(a.Fetch(), BuildEndPkg());
    }
    ASSERT_TRUE(WaitFor([] { return g_closed == 1; }));
    Sleep(50);  // give a wrong early reaping its chance
    EXPECT_EQ(m_server->ConnectionCount(), 1) << "ended, but kept until the next client";
    EXPECT_EQ(g_live, m_base + 1);

    PkgClient b(Port());
    EXPECT_EQ(b.Fetch(), BuildEndPkg());
    EXPECT_TRUE(WaitFor([&] { return m_server->ConnectionCount() == 1 && g_live == m_base + 1; }))
        << "the first clone is gone, the second lives";
}

TEST_F(ServerTest, ListenAgainAfterStopListenOnTheSamePort) {
    int port = Port();
    EXPECT_EQ(m_server->Listen(), -1) << "already listening";
    PkgClient kept(port);
    EXPECT_EQ(kept.Fetch(), BuildEndPkg());
    m_server->StopListen();
    EXPECT_FALSE(m_server->IsRunning());
    EXPECT_EQ(RawClient(port).fd, -1) << "nobody listens now";
    EXPECT_EQ(kept.Fetch(), BuildEndPkg()) << "accepted connections outlive StopListen";
    ASSERT_EQ(m_server->Listen(), 0);
    EXPECT_EQ(Port(), port);
    EXPECT_EQ(PkgClient(port).Fetch(), BuildEndPkg());
}

TEST_F(ServerTest, BadInputLeavesTheOthersServed) {
    std::mt19937 rng(99);
    Bytes junk(300000);
    for (auto& b : junk)
        b = uint8_t(rng() % 5 == 0 ? 0x23 : rng());
    for (size_t i = 0; i + 8 < junk.size(); i += 997) {  // headers, so bodies swallow junk too
        const uint8_t h[8] = {0x23, 0x00, 0x55, 0xFF, 0, 0, uint8_t(rng() % 20), uint8_t(rng())};
        std::copy(h, h + 8, junk.begin() + long(i));
    }
    const uint8_t silence[8] = {0x23, 0x00, 0x55, 0xFF, 0x00, 0x0F, 0x9F, 0xFF};  // 1023999, then nothing
    Bytes describe = BuildDescribePkg(Clip1s());
    PkgClient noisy(Port()), silent(Port());
    ASSERT_TRUE(SendAll(noisy.fd, junk));
    ASSERT_TRUE(SendAll(silent.fd, Bytes(silence, silence + 8)));
    {
        PkgClient half(Port());
        ASSERT_TRUE(SendAll(half.fd, Bytes(describe.begin(), describe.begin() + long(describe.size() / 2))));
    }
    PkgClient good(Port());
    EXPECT_EQ(good.Fetch(), BuildEndPkg());
    good.Describe(Clip1s());
    EXPECT_EQ(TypeOf(good.Fetch()), PKG_MEDIA);
}

TEST(ServerOnAccept, StopListenFromOnAcceptEndsTheAcceptThreadAndClosesTheSocket) {
    struct OneShot : TcpServer {
        using TcpServer::TcpServer;
        ~OneShot() override { StopListen(); }
        int OnAccept(int) override {
            StopListen();
            return -1;
        }
    } s(0, new VideoSender());
    ASSERT_EQ(s.Listen(), 0);
    RawClient a(s.GetPort());
    ASSERT_GT(a.fd, 0);
    EXPECT_TRUE(WaitClosed(a.fd)) << "the server stopped before taking it";
    ASSERT_TRUE(WaitFor([&] { return !s.IsRunning(); }));
    EXPECT_EQ(RawClient(s.GetPort()).fd, -1);
    EXPECT_EQ(s.Listen(), 0);
}

TEST(ServerDeathTest, BindingAHeldPortEndsTheProcessWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RawListener holder;
    EXPECT_EXIT(TcpServer(holder.port, new VideoSender()).Listen(), ::testing::ExitedWithCode(TcpServer::kExitNoBind),
                "");
}
