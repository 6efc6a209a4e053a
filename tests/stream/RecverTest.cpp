// VideoRecver against a real VideoSender behind a TcpServer, and against raw
// peers that send exactly the bytes a case needs.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "common/TestMedia.h"
#include "engine/Package.h"
#include "engine/VideoDemuxer.h"
#include "stream/StreamProtocol.h"
#include "stream/TcpServer.h"
#include "stream/VideoRecver.h"
#include "stream/VideoSender.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

using namespace streamtest;
using Bytes = std::vector<uint8_t>;

namespace {

std::string Clip1s() {
    return TestMedia("recver1s.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=10:duration=1 "
                     "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 1 -b:a 16k -shortest");
}

// What one media package carried, for comparison with a local demuxer. Time
// stamps travel as their low 32 bits.
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

// Records every callback; callbacks run on the receiver's receive thread.
class RecordingSink : public RecverSink {
public:
    int OnMediaPackage(AVPacket* pkt, int, int bVideo, RemoteRecver* recver) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_media.push_back(FromPacket(pkt, bVideo));
        m_lastRecver = recver;
        av_packet_free(&pkt);
        return 0;
    }
    int OnStreamInfo(ByteStream& reader, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        reader.Seek(kPkgBodyOffset);
        m_bInfoOk = ParseStreamDescription(reader, m_desc);
        ++m_nInfos;
        return 0;
    }
    int OnStreamEnd(ByteStream&, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nEnds;
        return 0;
    }

    int Infos() { return Locked(m_nInfos); }
    int Ends() { return Locked(m_nEnds); }
    size_t MediaCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_media.size();
    }
    std::vector<Seen> Media() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_media;
    }
    StreamDescription Desc() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_desc;
    }
    RemoteRecver* LastRecver() { return Locked(m_lastRecver); }

private:
    template <class T>
    T Locked(const T& v) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return v;
    }
    std::mutex m_mutex;
    std::vector<Seen> m_media;
    StreamDescription m_desc;
    bool m_bInfoOk = false;
    int m_nInfos = 0;
    int m_nEnds = 0;
    RemoteRecver* m_lastRecver = nullptr;
};

std::vector<Seen> ReadLocally(const std::string& path) {
    VideoDemuxer demuxer;
    EXPECT_EQ(demuxer.open(path.c_str()), 0);
    std::vector<Seen> out;
    int bVideo = 0, codecId = 0;
    while (AVPacket* pkt = demuxer.readPacket(bVideo, codecId)) {
        out.push_back(FromPacket(pkt, bVideo));
        av_packet_free(&pkt);
    }
    return out;
}

class RecverTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_recver) {
            m_recver->Close();
            m_recver->JoinThreads();
        }
        if (m_server)
            m_server->StopListen();
    }
    void StartSender() {
        m_server = std::make_unique<TcpServer>(0, new VideoSender);
        m_server->Listen();
    }
    VideoRecver& Connected(int port, const std::string& name) {
        m_recver = std::make_unique<VideoRecver>();
        EXPECT_EQ(m_recver->Connect("127.0.0.1", port), 0);
        m_recver->SetOwner(&m_sink);
        m_recver->SetName(name.c_str());
        return *m_recver;
    }

    RecordingSink m_sink;
    std::unique_ptr<TcpServer> m_server;
    std::unique_ptr<VideoRecver> m_recver;
};

TEST_F(RecverTest, StreamsEveryPackageExactlyAsTheLocalDemuxerReadsIt) {
    StartSender();
    VideoRecver& r = Connected(m_server->GetPort(), Clip1s());
    ASSERT_EQ(r.SendDescribe(), 0);
    ASSERT_TRUE(WaitFor([&] { return m_sink.Infos() == 1; }));
    EXPECT_TRUE(m_sink.Desc().video.bPresent);
    EXPECT_TRUE(m_sink.Desc().audio.bPresent);

    // One fetch at a time, as the player paces them.
    while (m_sink.Ends() == 0) {
        size_t before = m_sink.MediaCount();
        ASSERT_EQ(r.SendFetchMediaPkgRsq(), 0);
        ASSERT_TRUE(WaitFor([&] { return m_sink.MediaCount() > before || m_sink.Ends() > 0; }));
    }
    std::vector<Seen> local = ReadLocally(Clip1s());
    std::vector<Seen> remote = m_sink.Media();
    ASSERT_EQ(remote.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i)
        EXPECT_EQ(remote[i], local[i]) << "package " << i;
    EXPECT_EQ(m_sink.LastRecver(), static_cast<RemoteRecver*>(&r));
}

TEST_F(RecverTest, SeekAfterEndLetsFetchingResume) {
    StartSender();
    VideoRecver& r = Connected(m_server->GetPort(), Clip1s());
    r.SendDescribe();
    ASSERT_TRUE(WaitFor([&] { return m_sink.Infos() == 1; }));
    // Fetches can be pipelined: every one gets exactly one answer.
    for (int i = 0; i < 200; ++i)
        r.SendFetchMediaPkgRsq();
    ASSERT_TRUE(WaitFor([&] { return m_sink.MediaCount() + m_sink.Ends() == 200; }));
    ASSERT_GT(m_sink.Ends(), 0);
    size_t media = m_sink.MediaCount();
    EXPECT_EQ(r.SendSeek(1), 0);
    r.SendFetchMediaPkgRsq();
    // The clip is 1 s long: a seek to 1 s lands on its last key frame.
    EXPECT_TRUE(WaitFor([&] { return m_sink.MediaCount() > media; }));
}

TEST_F(RecverTest, RequestsHaveTheirExactBytes) {
    RawListener peer;
    VideoRecver& r = Connected(peer.port, "ab");
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(r.SendFetchMediaPkgRsq(), 0);
    EXPECT_EQ(ReadExact(fd, 17), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04, 0x4C, 0x00,
                                        0x00, 0x00, 0x00, 0xFF, 0x00}));
    ASSERT_EQ(r.SendDescribe(), 0);
    EXPECT_EQ(ReadExact(fd, 20), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x14, 0x01, 0x03, 0xEC, 0x00,
                                        0x00, 0x00, 0x00, 0x02, 'a', 'b', 0xFF, 0x00}));
    r.SetName(nullptr);  // keeps "ab"
    ASSERT_EQ(r.SendDescribe(), 0);
    EXPECT_EQ(ReadExact(fd, 20), BuildDescribePkg("ab"));
    ASSERT_EQ(r.SendSeek(30), 0);
    EXPECT_EQ(ReadExact(fd, 17), BuildSeekPkg(30));
    close(fd);
}

TEST_F(RecverTest, EmptyOrInconsistentMediaIsDroppedAndTheStreamGoesOn) {
    RawListener peer;
    Connected(peer.port, "x");
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

    ASSERT_TRUE(SendAll(fd, empty));
    ASSERT_TRUE(SendAll(fd, inconsistent));
    ASSERT_TRUE(SendAll(fd, BuildSeekPkg(3)));  // a type the receiver has no handler for
    ASSERT_TRUE(SendAll(fd, good));
    ASSERT_TRUE(SendAll(fd, BuildEndPkg()));
    ASSERT_TRUE(WaitFor([&] { return m_sink.Ends() == 1; }));
    std::vector<Seen> media = m_sink.Media();
    ASSERT_EQ(media.size(), 1u);
    EXPECT_EQ(media[0].payload, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(media[0].pts, 7u);
    EXPECT_EQ(media[0].bVideo, 1);
    close(fd);
}

TEST_F(RecverTest, NothingListeningMeansEveryRequestFails) {
    RawListener closedPort;
    int port = closedPort.port;
    close(closedPort.fd);
    closedPort.fd = -1;
    m_recver = std::make_unique<VideoRecver>();
    EXPECT_EQ(m_recver->Connect("127.0.0.1", port), -1);
    m_recver->SetOwner(&m_sink);
    EXPECT_TRUE(m_recver->IsEnded());
    EXPECT_EQ(m_recver->SendDescribe(), -1);
    EXPECT_EQ(m_recver->SendFetchMediaPkgRsq(), -1);
    EXPECT_EQ(m_recver->SendSeek(5), -1);
    EXPECT_FALSE(m_recver->IsRecvRunning());
}

TEST_F(RecverTest, PeerThatClosesEndsTheReceiverWithoutTellingTheOwner) {
    RawListener peer;
    VideoRecver& r = Connected(peer.port, "x");
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(r.IsEnded());
    close(fd);
    // The end shows before the receive thread has let go of the socket;
    // requests are refused only once it has.
    ASSERT_TRUE(WaitFor([&] { return r.IsEnded() && !r.IsRecvRunning(); }));
    EXPECT_EQ(r.SendFetchMediaPkgRsq(), -1);
    EXPECT_EQ(m_sink.Ends(), 0);
    EXPECT_EQ(m_sink.Infos(), 0);
}

TEST_F(RecverTest, OverlongNameIsRefusedNotCut) {
    RawListener peer;
    VideoRecver& r = Connected(peer.port, std::string(255, 'n'));
    int fd = peer.Accept();
    EXPECT_EQ(r.SendDescribe(), -1);
    r.SetName(std::string(254, 'n').c_str());
    EXPECT_EQ(r.SendDescribe(), 0);
    EXPECT_EQ(ReadExact(fd, 18 + 254), BuildDescribePkg(std::string(254, 'n')));
    close(fd);
}

}  // namespace
