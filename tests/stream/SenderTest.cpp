// VideoSender behind a real TcpServer on an ephemeral loopback port, driven
// by raw clients that speak the request messages.

#include <gtest/gtest.h>

#include <deque>
#include <memory>

#include "common/TestMedia.h"
#include "engine/Package.h"
#include "stream/StreamProtocol.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

using namespace streamtest;
using Bytes = std::vector<uint8_t>;

namespace {

// Past the last packet of the 35 s clip below, so that a seek to 30 s after
// the end has somewhere to go.
std::string Clip35s() {
    return TestMedia("sender35s.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=5:duration=35 "
                     "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=35 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 5 -c:a aac -ac 1 -b:a 16k -shortest");
}

std::string Clip1s() {
    return TestMedia("sender1s.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=10:duration=1 "
                     "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 1 -b:a 16k -shortest");
}

// A raw stream client: sends requests, cuts the answers into packages.
class Client {
public:
    explicit Client(int port) : m_fd(RawConnect(port)) {}
    ~Client() {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    bool Request(const Bytes& pkg) { return SendAll(m_fd, pkg); }

    // The next whole package, or empty after kWaitMs of silence.
    Bytes Next() {
        while (m_ready.empty()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) != 1)
                return {};
            uint8_t buf[65536];
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            m_assembler.FeedBytes(buf, int(n), [this](const uint8_t* d, int len) { m_ready.emplace_back(d, d + len); });
        }
        Bytes pkg = std::move(m_ready.front());
        m_ready.pop_front();
        return pkg;
    }

    Bytes Ask(const Bytes& request) { return Request(request) ? Next() : Bytes{}; }

    StreamDescription Describe(const std::string& name) {
        Bytes pkg = Ask(BuildDescribePkg(name));
        StreamDescription desc;
        EXPECT_EQ(TypeOf(pkg), PKG_DESCRIBE_RSP);
        ByteStream r(pkg.data(), uint32_t(pkg.size()));
        r.Seek(kPkgBodyOffset);
        EXPECT_TRUE(ParseStreamDescription(r, desc));
        return desc;
    }

    Bytes Fetch() { return Ask(BuildFetchMediaPkg()); }

    static int TypeOf(const Bytes& pkg) {
        if (pkg.size() < kPkgBodyOffset)
            return -1;
        return (pkg[9] << 8) | pkg[10];
    }

private:
    int m_fd;
    FrameAssembler m_assembler;
    std::deque<Bytes> m_ready;
};

class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = std::make_unique<TcpServer>(0, new VideoSender);
        m_server->Listen();
        ASSERT_TRUE(m_server->IsRunning());
    }
    void TearDown() override { m_server->StopListen(); }
    int Port() const { return m_server->GetPort(); }

    // Fetches until PKG_END; the media packages before it.
    static std::vector<Bytes> FetchToEnd(Client& c, size_t limit = 100000) {
        std::vector<Bytes> media;
        for (size_t i = 0; i < limit; ++i) {
            Bytes pkg = c.Fetch();
            int type = Client::TypeOf(pkg);
            if (type == PKG_MEDIA) {
                media.push_back(std::move(pkg));
                continue;
            }
            EXPECT_EQ(type, PKG_END);
            break;
        }
        return media;
    }

    std::unique_ptr<TcpServer> m_server;
};

TEST_F(SenderTest, FetchBeforeDescribeIsAnsweredWithEnd) {
    Client c(Port());
    ASSERT_TRUE(c.Ok());
    Bytes pkg = c.Fetch();
    EXPECT_EQ(pkg, BuildEndPkg());
    // Still a working connection: a describe now opens the medium.
    EXPECT_TRUE(c.Describe(Clip1s()).video.bPresent);
    EXPECT_EQ(Client::TypeOf(c.Fetch()), PKG_MEDIA);
}

TEST_F(SenderTest, DescribeCarriesBothSectionsAndEveryPacketParses) {
    Client c(Port());
    StreamDescription desc = c.Describe(Clip1s());
    EXPECT_TRUE(desc.audio.bPresent);
    EXPECT_TRUE(desc.video.bPresent);
    EXPECT_EQ(desc.video.nWidth, 64);
    EXPECT_EQ(desc.video.nHeight, 48);
    EXPECT_EQ(desc.video.nFps, 10);
    EXPECT_EQ(desc.audio.nSampleRate, 8000);
    EXPECT_FALSE(desc.video.extradata.empty());  // H.264 in MP4 needs its parameter sets

    std::vector<Bytes> media = FetchToEnd(c);
    int video = 0, audio = 0;
    for (const Bytes& pkg : media) {
        MediaPackage mp;
        ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
        (mp.bVideo ? video : audio)++;
    }
    EXPECT_EQ(video, 10);
    EXPECT_GT(audio, 0);
}

TEST_F(SenderTest, EveryFetchAfterTheLastPacketGetsEnd) {
    Client c(Port());
    c.Describe(Clip1s());
    ASSERT_FALSE(FetchToEnd(c).empty());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(c.Fetch(), BuildEndPkg()) << "fetch " << i << " after the end";
}

TEST_F(SenderTest, SeekAfterTheEndBringsPackagesAgain) {
    Client c(Port());
    c.Describe(Clip35s());
    FetchToEnd(c);
    ASSERT_EQ(c.Fetch(), BuildEndPkg());
    ASSERT_TRUE(c.Request(BuildSeekPkg(30)));  // no answer to a seek
    Bytes pkg = c.Fetch();
    ASSERT_EQ(Client::TypeOf(pkg), PKG_MEDIA);
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    // Near 30 s again, not at the start.
    EXPECT_GT(mp.pkt->pts, 0);
}

TEST_F(SenderTest, SeekToZeroKeepsThePosition) {
    Client a(Port()), b(Port());
    a.Describe(Clip1s());
    b.Describe(Clip1s());
    for (int i = 0; i < 3; ++i)
        a.Fetch();
    ASSERT_TRUE(a.Request(BuildSeekPkg(0)));
    // a continues with its fourth package; b shows what that is.
    Bytes fourthOfA = a.Fetch();
    Bytes expected;
    for (int i = 0; i < 4; ++i)
        expected = b.Fetch();
    EXPECT_EQ(fourthOfA, expected);
}

TEST_F(SenderTest, MissingFileIsDescribedWithoutSectionsAndEnds) {
    Client c(Port());
    StreamDescription desc = c.Describe(std::string(SIVO_TEST_MEDIA_DIR) + "/sender-no-such-file.mp4");
    EXPECT_FALSE(desc.audio.bPresent);
    EXPECT_FALSE(desc.video.bPresent);
    EXPECT_EQ(c.Fetch(), BuildEndPkg());
    EXPECT_EQ(c.Fetch(), BuildEndPkg());
}

TEST_F(SenderTest, DescribingTheSameFileAgainKeepsThePosition) {
    Client a(Port()), b(Port());
    a.Describe(Clip1s());
    b.Describe(Clip1s());
    a.Fetch();
    a.Fetch();
    a.Describe(Clip1s());
    Bytes third = a.Fetch();
    b.Fetch();
    b.Fetch();
    EXPECT_EQ(third, b.Fetch());
}

TEST_F(SenderTest, TwoClientsAreServedIndependently) {
    Client a(Port()), b(Port());
    ASSERT_TRUE(a.Ok() && b.Ok());
    a.Describe(Clip1s());
    b.Describe(Clip1s());
    std::vector<Bytes> fromA = FetchToEnd(a);
    // b has not moved while a read everything.
    std::vector<Bytes> fromB = FetchToEnd(b);
    ASSERT_FALSE(fromA.empty());
    EXPECT_EQ(fromA, fromB);
    EXPECT_EQ(m_server->ConnectionCount(), 2);
}

TEST_F(SenderTest, UnknownAndMediaRequestsAreIgnored) {
    Client c(Port());
    c.Describe(Clip1s());
    // A PKG_MEDIA sent to the sender and a type it does not know get no answer:
    // the next answer is the one to the fetch that follows.
    AVPacket* pkt = av_packet_alloc();
    ASSERT_EQ(av_new_packet(pkt, 4), 0);
    c.Request(BuildMediaPackage(pkt, 27, true));
    av_packet_free(&pkt);
    Bytes odd = BuildSeekPkg(7);
    odd[9] = 0x7F;  // type 0x7FEA
    odd[10] = 0xEA;
    c.Request(odd);
    EXPECT_EQ(Client::TypeOf(c.Fetch()), PKG_MEDIA);
}

}  // namespace
