#include <gtest/gtest.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/AudioDecoder.h"
#include "engine/MediaClock.h"
#include "engine/FfmpegPtr.h"
#include "engine/PcmConverter.h"
#include "output/OutputHooks.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

TEST(PcmConverter, ConvertsToAtMostTwoChannelsOfU8OrS16) {
    struct Case { int channels; AVSampleFormat fmt; int samples; int bytes; int rc; } cases[] = {
        {6, AV_SAMPLE_FMT_FLT, 256, 1024, 0},  // 6144 bytes in, stereo S16 out
        {6, AV_SAMPLE_FMT_FLTP, 256, 1024, 0},
        {1, AV_SAMPLE_FMT_FLT, 100, 200, 0},   // mono stays mono
        {2, AV_SAMPLE_FMT_S16P, 50, 200, 0},   // planar interleaved
        {2, AV_SAMPLE_FMT_S16, 50, 200, 0},    // already in shape
        {3, AV_SAMPLE_FMT_U8, 64, 128, 0},     // eight-bit stays eight-bit
        {1, AV_SAMPLE_FMT_U8, 64, 64, 0},
        {6, AV_SAMPLE_FMT_FLT, 120000, 480000, 0},  // a large chunk, below the limit
        {6, AV_SAMPLE_FMT_FLT, 300000, 0, 0},       // 1.2 MB converted: dropped whole
        {2, AV_SAMPLE_FMT_NONE, 1024, 0, -1},       // no sample size: refused
    };
    PcmConverter converter;
    std::vector<std::vector<float>> planes(6, std::vector<float>(256, 0.25f));
    planes[0].resize(300000 * 6, 0.25f);
    std::vector<const uint8_t*> ptrs;
    for (auto& p : planes)
        ptrs.push_back(reinterpret_cast<const uint8_t*>(p.data()));
    for (const Case& c : cases) {
        PcmConverter::Pcm pcm;
        EXPECT_EQ(converter.Convert(c.channels, c.fmt, 44100, ptrs.data(), c.samples, pcm), c.rc)
            << c.channels << " " << c.fmt;
        EXPECT_EQ(pcm.length, c.bytes) << c.channels << " " << c.fmt;
    }
    PcmConverter::Pcm pcm;
    EXPECT_EQ(converter.Convert(2, AV_SAMPLE_FMT_S16, 44100, nullptr, 10, pcm), -1);
    // A quarter of full scale comes out as a quarter of the 16-bit range.
    ASSERT_EQ(converter.Convert(1, AV_SAMPLE_FMT_FLT, 44100, ptrs.data(), 4, pcm), 0);
    int16_t first;
    std::memcpy(&first, pcm.data, sizeof first);
    EXPECT_NEAR(first, 8192, 1);
}

// A decoded frame of 20000 bytes of stereo S16 goes out as 10240 + 9760: the
// output cuts a longer piece and would lose bytes. The clock is anchored at
// the frame's stamp once the output has taken it.
TEST(AudioDecoder, DecodedSoundReachesTheDeviceWholeAndAnchorsTheClock) {
    CPlaySound& sound = ThePlaySound();
    sound.CreateThread();
    {
        WakeSignal room;
        PacketQueue pkts(room), video(room);
        SoundClock clock;
        std::atomic<int> anchored{0};
        AudioDecoder decoder(pkts, video, clock, [&] { ++anchored; });
        AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
        ctx->codec_type = AVMEDIA_TYPE_AUDIO;
        ctx->codec_id = AV_CODEC_ID_PCM_S16LE;
        ctx->sample_rate = 44100;
        ctx->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&ctx->ch_layout, 2);
        bool opened = false;
        ASSERT_TRUE(decoder.OpenStream(ctx, true, 1.0 / 44100, &opened));
        EXPECT_TRUE(opened);
        EXPECT_TRUE(decoder.Audible());
        clock.Restart(0.0, pkts.Serial());
        auto drained = [&] { return sound.IsIdle() && sound.GetQueuedCount() == 0 && sound.GetInDeviceCount() == 0; };
        ASSERT_TRUE(WaitFor([&] { return sound.IsDeviceOpen() && drained(); }));  // the priming has played
        const uint64_t before = sound.GetDeviceBytesWritten();
        decoder.Start("test-audio");
        AVPacketPtr pkt(av_packet_alloc());
        av_new_packet(pkt.get(), 20000);
        Noise(20000).copy(reinterpret_cast<char*>(pkt->data), 20000);
        pkt->pts = 3 * 44100;
        pkts.Put(std::move(pkt));
        pkts.SetEnded(true);  // the only one: no reserve to wait for
        ASSERT_TRUE(WaitFor([&] { return anchored == 1; }));
        EXPECT_TRUE(clock.Decoded());
        EXPECT_DOUBLE_EQ(decoder.LastStamp(), 3.0);
        ASSERT_TRUE(WaitFor(drained));
        EXPECT_EQ(sound.GetDeviceBytesWritten() - before, 20000u);
        EXPECT_NEAR(clock.Now(), 3.0 + 5000.0 / 44100, 0.01);  // all of it heard
        pkts.Abort();
    }
    sound.StopThread();
}

// Dialogue in the centre of a 5.1 mix is as loud in stereo as other players
// make it (-3 dB in each ear), and a mix loud on every channel never clips.
TEST(PcmConverter, MixesSurroundDownWithClearDialogueAndNoClipping) {
    constexpr int kRate = 48000, kSamples = 4800;
    const double centre = std::pow(10.0, -29.0 / 20);
    struct Case { const char* name; std::vector<double> levels; double leftDb; } cases[] = {
        {"centre at -29 dBFS", {0, 0, centre, 0, 0, 0}, -32.0},
        {"front left at -6 dBFS", {0.5, 0, 0, 0, 0, 0}, -6.0},
        {"all at full scale", {1, 1, 1, 1, 1, 1}, 0.0},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<float>> planes(6, std::vector<float>(kSamples));
        for (int ch = 0; ch < 6; ++ch)
            for (int i = 0; i < kSamples; ++i)
                planes[ch][i] = float(c.levels[ch] * std::sin(2 * M_PI * 1000 * i / kRate));
        std::vector<const uint8_t*> ptrs;
        for (auto& p : planes)
            ptrs.push_back(reinterpret_cast<const uint8_t*>(p.data()));
        PcmConverter converter;
        PcmConverter::Pcm pcm;
        ASSERT_EQ(converter.Convert(6, AV_SAMPLE_FMT_FLTP, kRate, ptrs.data(), kSamples, pcm), 0);
        ASSERT_EQ(pcm.length, kSamples * 4);
        std::vector<int16_t> out(kSamples * 2);
        std::memcpy(out.data(), pcm.data, pcm.length);
        int peak = 0;
        for (int i = kSamples; i < kSamples * 2; i += 2)  // the second half: the limiter has settled
            peak = std::max(peak, std::abs(int(out[i])));
        const double db = 20 * std::log10(peak / 32767.0);
        if (c.leftDb < 0) {
            EXPECT_NEAR(db, c.leftDb, 0.3) << c.name;
        }
        for (int16_t sample : out)
            ASSERT_LT(std::abs(int(sample)), 32767 * 0.99) << c.name;
    }
}
