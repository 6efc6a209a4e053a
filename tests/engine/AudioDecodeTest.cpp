#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "output/OutputHooks.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

namespace {

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
