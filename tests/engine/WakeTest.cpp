// Idle workers sleep until what they wait for arrives: a package or a picture
// added just as its consumer goes to sleep is taken at once, a reserve is
// awaited without being polled for, and nothing relies on a timeout to go on.
// The players here play "remotely" from a receiver that never sends, so the
// test alone feeds their queues.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/IdleRecver.h"
#include "common/TestMedia.h"
#include "engine/ByteStream.h"
#include "engine/MediaPlayer.h"
#include "engine/Package.h"
#include "engine/VideoDemuxer.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTakeWaitMs = 5000;    // a lost wake-up waits forever; a taken package takes microseconds
constexpr int kStarveWatchMs = 500;  // long enough for a decode thread that wrongly goes on
constexpr int kRounds = 1000;

// A player whose four threads run, playing (unpaused) from an IdleRecver.
class IdlePlayer : public MediaPlayer {
public:
    IdlePlayer() {
        SetRecverFactory([this] { return m_pRecver = new IdleRecver; });
        StartPlay("127.0.0.1", 1, "idle");
        SetPause(false);
    }
    ~IdlePlayer() override { Stop(); }
    void Describe(const StreamDescription& desc) {
        std::vector<uint8_t> wire = BuildStreamDescription(desc);
        ByteStream reader(wire.data(), uint32_t(wire.size()));
        ASSERT_EQ(OnStreamInfo(reader, m_pRecver), 0);
    }
    void End() {
        std::vector<uint8_t> none(kPkgBodyOffset);
        ByteStream reader(none.data(), uint32_t(none.size()));
        OnStreamEnd(reader, m_pRecver);
    }

private:
    RemoteRecver* m_pRecver = nullptr;  // the player's, made by the factory
};

// Spins (no sleep of its own, so the next package follows at once) until cond holds.
template <typename Cond>
bool SpinFor(Cond cond) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTakeWaitMs);
    while (!cond())
        if (Clock::now() >= deadline)
            return false;
        else
            std::this_thread::yield();
    return true;
}

// The packages of one stream of a file, stamps removed (each decodes alone).
std::vector<AVPacket*> Packages(const std::string& path, bool video, size_t count) {
    VideoDemuxer demuxer;
    std::vector<AVPacket*> out;
    if (demuxer.open(path.c_str()) != 0)
        return out;
    int bVideo = 0, codecId = 0;
    while (out.size() < count)
        if (AVPacket* pkt = demuxer.readPacket(bVideo, codecId); !pkt)
            break;
        else if (bVideo == int(video))
            out.push_back(pkt);
        else
            FreePacket(pkt);
    return out;
}

// The first packages of a 64 x 48 MJPEG clip (each a key picture), and its
// description, paced by the wall clock at 1 ms a picture.
std::vector<AVPacket*> MjpegPackages(size_t count) {
    return Packages(TestMedia("wake-mjpeg.avi", "-f lavfi -i testsrc=size=64x48:rate=25:duration=2 -c:v mjpeg"), true,
                    count);
}
StreamDescription MjpegDescription() {
    StreamDescription desc;
    desc.video.bPresent = true;
    desc.video.nCodecId = AV_CODEC_ID_MJPEG;
    desc.video.nFps = 1000;
    desc.video.nWidth = 64;
    desc.video.nHeight = 48;
    desc.video.codecTimeBase = desc.video.streamTimeBase = {1, 25};
    return desc;
}

}  // namespace

// Each decode thread takes a lone package added right after it took the last
// one, when it is on its way back to sleep.
TEST(Wake, ALonePackageIsTakenAsItsDecoderGoesToSleep) {
    IdlePlayer player;
    player.End();  // no reserve is awaited at the end of the medium
    for (int i = 0; i < kRounds; ++i)
        for (bool video : {false, true}) {
            player.QueuePackage(av_packet_alloc(), video);
            ASSERT_TRUE(SpinFor([&] { return (video ? player.QueuedVideoPkgs() : player.QueuedAudioPkgs()) == 0; }))
                << (video ? "video" : "audio") << " package " << i << " was never taken";
        }
}

// The presentation thread shows a lone picture decoded just as it goes to
// sleep, and the decoder takes the package that follows it.
TEST(Wake, ALonePictureIsShownAsThePresenterGoesToSleep) {
    std::vector<AVPacket*> pkts = MjpegPackages(10);
    ASSERT_EQ(pkts.size(), 10u);
    RecordingWindow window;
    SetVideoWindow(&window);
    {
        IdlePlayer player;
        player.Describe(MjpegDescription());
        for (int i = 0; i < kRounds / 2; ++i) {
            AVPacket* pkt = av_packet_clone(pkts[i % pkts.size()]);
            pkt->pts = pkt->dts = AV_NOPTS_VALUE;
            player.QueuePackage(pkt, true);
            ASSERT_TRUE(SpinFor([&] { return window.frames == i + 1; })) << "picture " << i << " was never shown";
        }
        EXPECT_EQ(window.width, 64);
    }
    SetVideoWindow(nullptr);
    for (AVPacket* pkt : pkts)
        FreePacket(pkt);
}

// After running dry the audio decoder waits for a reserve of packages while
// more is to come; at the end what is left plays.
TEST(Wake, AudioDecoderAwaitsItsReserveAfterRunningDry) {
    const std::string path = TestMedia("audio_a1s.m4a", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                                                        "-c:a aac");
    VideoDemuxer demuxer;
    ASSERT_EQ(demuxer.open(path.c_str()), 0);
    ASSERT_DOUBLE_EQ(demuxer.getAudioTimeBase(), 1.0 / 44100);
    const StreamDescription desc =
        DescribeStreams(demuxer.getAudioCodecCtx(), demuxer.getAudioStream(), nullptr, nullptr, 25, 1);
    std::vector<AVPacket*> pkts;
    int bVideo = 0, codecId = 0;
    for (int i = 0; i < 10; ++i)  // the decoder wants a few packages in, not the very first
        FreePacket(demuxer.readPacket(bVideo, codecId));
    for (int i = 0; i < AudioDecoder::kAudioReserve + 1; ++i) {
        pkts.push_back(demuxer.readPacket(bVideo, codecId));
        ASSERT_NE(pkts.back(), nullptr);
    }
    // The reserve's last carries no pts, and a dts beyond 32 bits that
    // keeps all of them.
    constexpr int64_t kLateDts = (int64_t{1} << 32) + 2 * 44100;
    pkts[AudioDecoder::kAudioReserve - 1]->pts = AV_NOPTS_VALUE;
    pkts[AudioDecoder::kAudioReserve - 1]->dts = kLateDts;

    ThePlaySound().CreateThread();
    {
        IdlePlayer player;
        player.Describe(desc);
        ASSERT_TRUE(player.Audible());
        ASSERT_TRUE(WaitFor([&] { return player.IsBuffering(); }));
        const double clockBefore = player.AudioClock();
        for (int i = 0; i < AudioDecoder::kAudioReserve - 1; ++i)
            player.QueuePackage(pkts[i], false);
        // One short of the reserve: nothing is taken, however long it waits.
        EXPECT_FALSE(WaitFor([&] { return player.QueuedAudioPkgs() != AudioDecoder::kAudioReserve - 1; },
                             kStarveWatchMs));
        EXPECT_EQ(player.AudioClock(), clockBefore);
        player.QueuePackage(pkts[AudioDecoder::kAudioReserve - 1], false);
        EXPECT_TRUE(WaitFor([&] { return player.QueuedAudioPkgs() == 0; }));
        EXPECT_TRUE(WaitFor([&] { return player.AudioClock() == double(kLateDts) / 44100; }));
        // At the end of the medium no reserve will come: what is left plays.
        ASSERT_TRUE(WaitFor([&] { return player.IsBuffering(); }));
        player.End();
        player.QueuePackage(pkts.back(), false);
        EXPECT_TRUE(WaitFor([&] { return player.QueuedAudioPkgs() == 0; }));
    }
    ThePlaySound().StopThread();
}

// The feeder describes the remote medium again until the answer is in; a
// later answer must not replace the decoders in use: pictures go on at the
// size first described.
TEST(Wake, ALaterDescriptionKeepsTheDecodersInUse) {
    std::vector<AVPacket*> pkts = MjpegPackages(4);
    ASSERT_EQ(pkts.size(), 4u);
    StreamDescription desc = MjpegDescription();
    RecordingWindow window;
    SetVideoWindow(&window);
    {
        IdlePlayer player;
        player.Describe(desc);
        ASSERT_TRUE(player.DescriptionReady());
        for (int i = 0; i < 4; ++i) {
            if (i == 2) {
                desc.video.nCodecId = AV_CODEC_ID_PNG;
                desc.video.nWidth = 128;
                player.Describe(desc);
                EXPECT_TRUE(player.DescriptionReady());
            }
            player.QueuePackage(av_packet_clone(pkts[i]), true);
            ASSERT_TRUE(WaitFor([&] { return window.frames == i + 1; })) << "picture " << i;
            EXPECT_EQ(window.width, 64);
        }
    }
    SetVideoWindow(nullptr);
    for (AVPacket* pkt : pkts)
        FreePacket(pkt);
}
