// VideoRecver against a real VideoSender behind a TcpServer, and against raw
// peers that send exactly the bytes a case needs.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "engine/VideoDemuxer.h"
#include "stream/TcpServer.h"
#include "stream/VideoRecver.h"
#include "stream/VideoSender.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace {

// What one media package carried; time stamps travel as their low 32 bits.
struct Seen {
    Bytes payload;
    int flags = 0;
    uint32_t pts = 0;
    uint32_t dts = 0;
    int bVideo = 0;
    bool operator==(const Seen&) const = default;
};

Seen FromPacket(const AVPacket* pkt, int bVideo) {
    return Seen{Bytes(pkt->data, pkt->data + pkt->size), pkt->flags, uint32_t(pkt->pts), uint32_t(pkt->dts), bVideo};
}

// Records every callback; they run on the receiver's receive thread.
class RecordingSink : public RecverSink {
public:
    int OnMediaPackage(AVPacket* pkt, int, int bVideo, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(mu);
        media.push_back(FromPacket(pkt, bVideo));
        av_packet_free(&pkt);
        return 0;
    }
    int OnStreamInfo(ByteStream& reader, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(mu);
        infoOk = ParseStreamDescription(reader, desc);
        ++infos;
        return 0;
    }
    int OnStreamEnd(ByteStream&, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(mu);
        ++ends;
        return 0;
    }
    // Reads the record under the lock.
    template <class F>
    auto Get(F f) {
        std::lock_guard<std::mutex> lock(mu);
        return f();
    }
    std::mutex mu;
    std::vector<Seen> media;
    StreamDescription desc;
    bool infoOk = false;
    int infos = 0;
    int ends = 0;
};

class RecverTest : public ::testing::Test {
protected:
    void TearDown() override {
        r.Close();
        r.JoinThreads();
        if (m_server)
            m_server->StopListen();
    }
    // Connects to `port` (a sender of our own when 0) asking for `name`.
    int Connect(int port, const std::string& name) {
        if (port == 0) {
            m_server = std::make_unique<TcpServer>(0, new VideoSender);
            m_server->Listen();
            port = m_server->GetPort();
        }
        r.SetOwner(&sink);
        r.SetName(name.c_str());
        return r.Connect("127.0.0.1", port);
    }
    size_t Media() { return sink.Get([&] { return sink.media.size(); }); }
    int Ends() { return sink.Get([&] { return sink.ends; }); }

    RecordingSink sink;
    VideoRecver r;
    RawListener peer;
    std::unique_ptr<TcpServer> m_server;
};

} // namespace

TEST_F(RecverTest, StreamsEveryPackageExactlyAsTheLocalDemuxerReadsIt) {
    ASSERT_EQ(Connect(0, Clip1s()), 0);
    ASSERT_EQ(r.SendDescribe(), 0);
    ASSERT_TRUE(WaitFor([&] { return sink.Get([&] { return sink.infos == 1; }); }));
    EXPECT_TRUE(sink.Get([&] { return sink.infoOk && sink.desc.video.bPresent && sink.desc.audio.bPresent; }));
    while (Ends() == 0) {  // one fetch at a time, as the player paces them
        size_t before = Media();
        ASSERT_EQ(r.SendFetchMediaPkgRsq(), 0);
        ASSERT_TRUE(WaitFor([&] { return Media() > before || Ends() > 0; }));
    }
    VideoDemuxer demuxer;
    ASSERT_EQ(demuxer.open(Clip1s().c_str()), 0);
    std::vector<Seen> local;
    int bVideo = 0, codecId = 0;
    while (AVPacket* pkt = demuxer.readPacket(bVideo, codecId)) {
        local.push_back(FromPacket(pkt, bVideo));
        av_packet_free(&pkt);
    }
    std::vector<Seen> remote = sink.Get([&] { return sink.media; });
    ASSERT_EQ(remote.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i)
        EXPECT_EQ(remote[i], local[i]) << "package " << i;
}

TEST_F(RecverTest, RequestsHaveTheirExactBytesAndAnOverlongNameIsRefused) {
    ASSERT_EQ(Connect(peer.port, "ab"), 0);
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(r.SendFetchMediaPkgRsq(), 0);
    EXPECT_EQ(ReadExact(fd, 17), BuildFetchMediaPkg());
    r.SetName(nullptr);  // keeps "ab"
    ASSERT_EQ(r.SendDescribe(), 0);
    EXPECT_EQ(ReadExact(fd, 20), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x14, 0x01, 0x03, 0xEC, 0x00, 0x00,
                                        0x00, 0x00, 0x02, 'a', 'b', 0xFF, 0x00}));
    ASSERT_EQ(r.SendSeek(30), 0);
    EXPECT_EQ(ReadExact(fd, 17), BuildSeekPkg(30));
    r.SetName(std::string(255, 'n').c_str());
    EXPECT_EQ(r.SendDescribe(), -1) << "refused, not cut";
    r.SetName(std::string(254, 'n').c_str());
    ASSERT_EQ(r.SendDescribe(), 0);
    EXPECT_EQ(ReadExact(fd, 18 + 254), BuildDescribePkg(std::string(254, 'n')));
    close(fd);
}

TEST_F(RecverTest, EmptyOrInconsistentMediaIsDroppedAndTheStreamGoesOn) {
    ASSERT_EQ(Connect(peer.port, "x"), 0);
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    AVPacket* pkt = av_packet_alloc();
    ASSERT_EQ(av_new_packet(pkt, 6), 0);
    for (int i = 0; i < 6; ++i)
        pkt->data[i] = uint8_t(i + 1);
    pkt->pts = 7;
    Bytes good = BuildMediaPackage(pkt, 27, true);
    Bytes inconsistent = good;
    inconsistent.insert(inconsistent.end() - 2, 0x00);  // one byte more than the size field says
    inconsistent[7] = uint8_t(inconsistent.size());
    pkt->size = 0;
    Bytes empty = BuildMediaPackage(pkt, 27, true);
    av_packet_free(&pkt);
    // The seek is a kind the receiver has no handler for.
    for (const Bytes& pkg : {empty, inconsistent, BuildSeekPkg(3), good, BuildEndPkg()})
        ASSERT_TRUE(SendAll(fd, pkg));
    ASSERT_TRUE(WaitFor([&] { return Ends() == 1; }));
    std::vector<Seen> media = sink.Get([&] { return sink.media; });
    ASSERT_EQ(media.size(), 1u);
    EXPECT_EQ(media[0], (Seen{{1, 2, 3, 4, 5, 6}, 0, 7, 0, 1}));
    close(fd);
}

TEST_F(RecverTest, NothingListeningMeansEveryRequestFails) {
    EXPECT_EQ(Connect(ClosedPort(), "x"), -1);
    EXPECT_TRUE(r.IsEnded());
    EXPECT_EQ(r.SendDescribe(), -1);
    EXPECT_EQ(r.SendFetchMediaPkgRsq(), -1);
    EXPECT_EQ(r.SendSeek(5), -1);
    EXPECT_FALSE(r.IsRecvRunning());
}

TEST_F(RecverTest, PeerThatClosesEndsTheReceiverWithoutTellingTheOwner) {
    ASSERT_EQ(Connect(peer.port, "x"), 0);
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(r.IsEnded());
    close(fd);
    // The end shows before the receive thread lets go of the socket; requests
    // are refused only once it has.
    ASSERT_TRUE(WaitFor([&] { return r.IsEnded() && !r.IsRecvRunning(); }));
    EXPECT_EQ(r.SendFetchMediaPkgRsq(), -1);
    EXPECT_EQ(sink.Get([&] { return sink.ends + sink.infos; }), 0);
}
