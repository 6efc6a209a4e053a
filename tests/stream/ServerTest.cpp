// TcpServer with VideoSender clones on an ephemeral loopback port, driven by
// raw clients that speak the request messages.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

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

TEST_F(ServerTest, ServesMediaToIndependentClientsEndsEveryFetchAfterItAndKeepsOrMovesThePosition) {
    PkgClient a(Port()), b(Port());
    EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "a fetch before any describe";
    StreamDescription desc = a.Describe(StreamClip());
    EXPECT_TRUE(desc.audio.bPresent && desc.video.bPresent);
    EXPECT_EQ(std::tuple(desc.video.nWidth, desc.video.nHeight, desc.video.nFps, desc.audio.nSampleRate),
              std::tuple(64, 48, 5, 8000));
    EXPECT_FALSE(desc.video.extradata.empty()) << "H.264 in MP4 needs its parameter sets";

    std::vector<Bytes> fromA = a.FetchToEnd();
    EXPECT_GT(fromA.size(), 175u) << "35 s of pictures at 5 fps, and sound";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "fetch " << i << " after the end";
    ASSERT_TRUE(a.Request(BuildSeekPkg(30)));  // no answer to a seek
    Bytes pkg = a.Fetch();
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp)) << "a seek to 30 after the end";
    EXPECT_GT(mp.pkt->pts, 0) << "near 30 s, not at the start";

    desc = b.Describe(std::string(SIVO_TEST_MEDIA_DIR) + "/no-such-file.mp4");
    EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent) << "a missing file";
    EXPECT_EQ(b.Fetch(), BuildEndPkg());
    b.Describe(StreamClip());
    std::vector<Bytes> fromB = {b.Fetch(), b.Fetch()};
    // None of these moves b: the same file described again, a seek to 0, a
    // media package and a kind nobody knows.
    b.Describe(StreamClip());
    ASSERT_TRUE(b.Request(BuildSeekPkg(0)));
    AVPacketPtr media(av_packet_alloc());
    ASSERT_EQ(av_new_packet(media.get(), 4), 0);
    ASSERT_TRUE(b.Request(BuildMediaPackage(media.get(), 27, true)));
    Bytes odd = BuildSeekPkg(7);
    odd[9] = 0x7F;
    ASSERT_TRUE(b.Request(odd));
    for (Bytes& pkg : b.FetchToEnd())
        fromB.push_back(pkg);
    EXPECT_EQ(fromB, fromA) << "b has not moved while a read everything";
    EXPECT_EQ(m_server->ConnectionCount(), 2);
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
    Bytes describe = BuildDescribePkg(StreamClip());
    PkgClient noisy(Port()), silent(Port());
    ASSERT_TRUE(SendAll(noisy.fd, Noise(300000, 99)));
    ASSERT_TRUE(SendAll(silent.fd, Header(1023999)));  // and then nothing
    {
        PkgClient half(Port());
        ASSERT_TRUE(SendAll(half.fd, Bytes(describe.begin(), describe.begin() + long(describe.size() / 2))));
    }
    PkgClient good(Port());
    EXPECT_EQ(good.Fetch(), BuildEndPkg());
    good.Describe(StreamClip());
    EXPECT_EQ(TypeOf(good.Fetch()), PKG_MEDIA);
}

TEST(ServerDeathTest, BindingAHeldPortEndsTheProcessWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RawListener holder;
    EXPECT_EXIT(TcpServer(holder.port, new VideoSender()).Listen(), ::testing::ExitedWithCode(TcpServer::kExitNoBind),
                "");
}
