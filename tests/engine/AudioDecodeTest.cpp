#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "engine/VideoDemuxer.h"
#include "output/OutputHooks.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

namespace {

constexpr int kStarveWatchMs = 500;  // many chances for a decode thread that wrongly goes on

// PCM bytes one WriteAudioPcm call hands to the output; *result gets its return.
template <typename Sample>
uint64_t Written(MediaPlayer& player, int channels, AVSampleFormat fmt, const std::vector<Sample*>& planes,
                 int samples, int* result = nullptr) {
    uint64_t before = ThePlaySound().GetPcmBytesWritten();
    int rc = player.WriteAudioPcm(channels, fmt, 44100, reinterpret_cast<uint8_t* const*>(planes.data()), samples);
    if (result)
        *result = rc;
    return ThePlaySound().GetPcmBytesWritten() - before;
}

}  // namespace

TEST(AudioWritePcm, ConvertsToAtMostTwoChannelsOfU8OrS16) {
    struct Case { int channels; AVSampleFormat fmt; int samples; uint64_t bytes; int rc; } cases[] = {
        {6, AV_SAMPLE_FMT_FLT, 256, 1024, 0},  // 6144 bytes in, stereo S16 out
        {6, AV_SAMPLE_FMT_FLTP, 256, 1024, 0},
        {1, AV_SAMPLE_FMT_FLT, 100, 200, 0},   // mono stays mono
        {2, AV_SAMPLE_FMT_S16P, 50, 200, 0},   // planar interleaved
        {3, AV_SAMPLE_FMT_U8, 64, 128, 0},     // eight-bit stays eight-bit
        {1, AV_SAMPLE_FMT_U8, 64, 64, 0},
        {6, AV_SAMPLE_FMT_FLT, 120000, 480000, 0},  // beyond the decoder buffer, below the limit
        {6, AV_SAMPLE_FMT_FLT, 300000, 0, 0},       // 1.2 MB converted: dropped whole
        {2, AV_SAMPLE_FMT_NONE, 1024, 0, -1},       // no sample size: refused
    };
    MediaPlayer player;
    std::vector<std::vector<float>> planes(6, std::vector<float>(256, 0.25f));
    planes[0].resize(300000 * 6, 0.25f);
    std::vector<float*> ptrs;
    for (auto& p : planes)
        ptrs.push_back(p.data());
    for (const Case& c : cases) {
        int rc = 1;
        EXPECT_EQ(Written(player, c.channels, c.fmt, ptrs, c.samples, &rc), c.bytes) << c.channels << " " << c.fmt;
        EXPECT_EQ(rc, c.rc) << c.channels << " " << c.fmt;
    }
    EXPECT_EQ(player.WriteAudioPcm(2, AV_SAMPLE_FMT_S16, 44100, nullptr, 10), -1);
}

// 20000 bytes of stereo S16 go out unconverted as 10240 + 9760: the output
// cuts a longer piece and would lose bytes.
TEST(AudioWritePcm, StereoS16GoesOutInPiecesTheOutputTakesWhole) {
    CPlaySound& sound = ThePlaySound();
    sound.CreateThread();
    AudioSetFormat(2, 44100, 2);
    auto drained = [&] { return sound.IsIdle() && sound.GetQueuedCount() == 0 && sound.GetInDeviceCount() == 0; };
    ASSERT_TRUE(WaitFor([&] { return sound.IsDeviceOpen() && drained(); }));  // the priming has played
    const uint64_t before = sound.GetDeviceBytesWritten();
    MediaPlayer player;
    std::string pcm = Noise(20000);
    EXPECT_EQ(Written(player, 2, AV_SAMPLE_FMT_S16, std::vector<char*>{pcm.data()}, 5000), 20000u);
    ASSERT_TRUE(WaitFor(drained));
    EXPECT_EQ(sound.GetDeviceBytesWritten() - before, 20000u);
    sound.StopThread();
}

TEST(AudioDecodeThread, WaitsForAReserveAfterRunningDry) {
    std::string path = TestMedia("audio_a1s.m4a", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                                                  "-c:a aac");
    ThePlaySound().CreateThread();
    MediaPlayer player;
    ASSERT_EQ(player.OpenLocal(path.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd && player.QueuedAudioPkgs() == 0 && player.m_bAudioStarving; }));

    VideoDemuxer demuxer;
    ASSERT_EQ(demuxer.open(path.c_str()), 0);
    ASSERT_DOUBLE_EQ(demuxer.getAudioTimeBase(), 1.0 / 44100);
    std::vector<AVPacket*> pkts;
    int bVideo = 0, codecId = 0;
    for (int i = 0; i < 10; ++i)  // the decoder wants a few packages in, not the very first
        FreePacket(demuxer.readPacket(bVideo, codecId));
    for (int i = 0; i < MediaPlayer::kAudioReserve; ++i) {
        pkts.push_back(demuxer.readPacket(bVideo, codecId));
        ASSERT_NE(pkts.back(), nullptr);
    }
    // The last one carries no pts and a dts whose low 32 bits mean 2 s.
    pkts.back()->pts = AV_NOPTS_VALUE;
    pkts.back()->dts = (int64_t{1} << 32) + 2 * 44100;
    auto queue = [&](size_t from, size_t to) {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_audioPkgs.insert(player.m_audioPkgs.end(), pkts.begin() + from, pkts.begin() + to);
    };
    double clockBefore = player.m_dAudioClock;
    player.m_bPause = true;  // the feeder idles: a slow source with more to come
    player.m_bEnd = false;
    queue(0, pkts.size() - 1);
    // One short of the reserve: nothing is taken, however many chances the thread gets.
    EXPECT_FALSE(WaitFor([&] { return player.QueuedAudioPkgs() != MediaPlayer::kAudioReserve - 1; }, kStarveWatchMs));
    EXPECT_EQ(player.m_dAudioClock, clockBefore);
    queue(pkts.size() - 1, pkts.size());
    EXPECT_TRUE(WaitFor([&] { return player.QueuedAudioPkgs() == 0 && !player.m_bAudioStarving; }));
    EXPECT_TRUE(WaitFor([&] { return player.m_dAudioClock == 2.0; }));
    // At the end of the medium no reserve will come: what is left plays.
    ASSERT_TRUE(WaitFor([&] { return player.m_bAudioStarving.load(); }));
    player.m_bEnd = true;
    pkts[0] = demuxer.readPacket(bVideo, codecId);
    ASSERT_NE(pkts[0], nullptr);
    queue(0, 1);
    EXPECT_TRUE(WaitFor([&] { return player.QueuedAudioPkgs() == 0; }));
    player.Stop();
    ThePlaySound().StopThread();
}
