// VideoRecver against a real VideoSender behind a TcpServer, and against raw
// peers that send exactly the bytes a case needs.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <tuple>

#include "engine/VideoDemuxer.h"
#include "stream/VideoRecver.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace {

// What one media package carried: payload, flags, time stamps as their low
// 32 bits, and whether it was video.
using Seen = std::tuple<Bytes, int, uint32_t, uint32_t, int>;

Seen FromPacket(const AVPacket* pkt, int bVideo) {
    return {Bytes(pkt->data, pkt->data + pkt->size), pkt->flags, uint32_t(pkt->pts), uint32_t(pkt->dts), bVideo};
}

// Records every callback; they run on the receiver's receive thread.
class RecordingSink : public RecverSink {
public:
    int OnMediaPackage(AVPacket* pkt, int, int bVideo, RemoteRecver*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_media.push_back(FromPacket(pkt, bVideo));
        av_packet_free(&pkt);
        return 0;
    }
    int OnStreamInfo(ByteStream& reader, RemoteRecver*) override {
        StreamDescription d;
        bothSections = ParseStreamDescription(reader, d) && d.audio.bPresent && d.video.bPresent;
        ++infos;
        return 0;
    }
    int OnStreamEnd(ByteStream&, RemoteRecver*) override {
        ++ends;
        return 0;
    }
    std::vector<Seen> Media() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_media;
    }
    std::atomic<bool> bothSections{false};
    std::atomic<int> infos{0}, ends{0};

private:
    std::mutex m_mutex;
    std::vector<Seen> m_media;
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
        if (port == 0)
            port = (m_server = ServeStream())->GetPort();
        r.SetOwner(&sink);
        r.SetName(name.c_str());
        return r.Connect("127.0.0.1", port);
    }

    RecordingSink sink;
    VideoRecver r;
    RawListener peer;
    std::unique_ptr<TcpServer> m_server;
};

} // namespace

TEST_F(RecverTest, StreamsEveryPackageExactlyAsTheLocalDemuxerReadsIt) {
    ASSERT_EQ(Connect(0, StreamClip()), 0);
    ASSERT_EQ(r.SendDescribe(), 0);
    ASSERT_TRUE(WaitFor([&] { return sink.infos == 1; }));
    EXPECT_TRUE(sink.bothSections);
    while (sink.ends == 0) {  // one fetch at a time, as the player paces them
        size_t before = sink.Media().size();
        ASSERT_EQ(r.SendFetchMediaPkgRsq(), 0);
        ASSERT_TRUE(WaitFor([&] { return sink.Media().size() > before || sink.ends > 0; }));
    }
    VideoDemuxer demuxer;
    ASSERT_EQ(demuxer.open(StreamClip().c_str()), 0);
    std::vector<Seen> local;
    int bVideo = 0, codecId = 0;
    while (AVPacket* pkt = demuxer.readPacket(bVideo, codecId)) {
        local.push_back(FromPacket(pkt, bVideo));
        av_packet_free(&pkt);
    }
    std::vector<Seen> remote = sink.Media();
    ASSERT_EQ(remote.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i)
        EXPECT_EQ(remote[i], local[i]) << "package " << i;
}

// A raw peer sends exactly the bytes each step needs.
TEST_F(RecverTest, ExactRequestsBadMediaDroppedAndAPeerCloseEndsQuietly) {
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
    r.SetName((std::string(254, 'n') + "tail").c_str());
    ASSERT_EQ(r.SendDescribe(), 0) << "cut, not refused";
    EXPECT_EQ(ReadExact(fd, 18 + 254), BuildDescribePkg(std::string(254, 'n')));

    AVPacketPtr pkt(av_packet_alloc());
    ASSERT_EQ(av_new_packet(pkt.get(), 6), 0);
    for (int i = 0; i < 6; ++i)
        pkt->data[i] = uint8_t(i + 1);
    pkt->pts = 7;
    Bytes good = BuildMediaPackage(pkt.get(), 27, true);
    Bytes inconsistent = good;
    inconsistent.insert(inconsistent.end() - 2, 0x00);  // one byte more than the size field says
    inconsistent[7] = uint8_t(inconsistent.size());
    pkt->size = 0;
    Bytes empty = BuildMediaPackage(pkt.get(), 27, true);
    // The seek is a kind the receiver has no handler for.
    for (const Bytes& pkg : {empty, inconsistent, BuildSeekPkg(3), good, BuildEndPkg()})
        ASSERT_TRUE(SendAll(fd, pkg));
    ASSERT_TRUE(WaitFor([&] { return sink.ends == 1; }));
    EXPECT_EQ(sink.Media(), std::vector<Seen>{Seen(Bytes{1, 2, 3, 4, 5, 6}, 0, 7, 0, 1)});

    EXPECT_FALSE(r.IsEnded());
    close(fd);
    // The end shows before the receive thread lets go of the socket; requests
    // are refused only once it has.
    ASSERT_TRUE(WaitFor([&] { return r.IsEnded() && !r.IsRecvRunning(); }));
    EXPECT_EQ(r.SendFetchMediaPkgRsq(), -1);
    EXPECT_EQ(sink.ends + sink.infos, 1) << "the close itself is not reported";
}
