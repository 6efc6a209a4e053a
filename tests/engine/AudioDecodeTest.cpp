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

// PCM handed to the output by one WriteAudioPcm call.
uint64_t BytesWritten(MediaPlayer& player, int channels, AVSampleFormat fmt, const std::vector<uint8_t*>& planes,
                      int samples, int* result = nullptr) {
    uint64_t before = ThePlaySound().GetPcmBytesWritten();
    int rc = player.WriteAudioPcm(channels, fmt, 44100, planes.data(), samples);
    if (result)
        *result = rc;
    return ThePlaySound().GetPcmBytesWritten() - before;
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(1 + (i * 7 + i / 251) % 250);
    return v;
}

}  // namespace

TEST(AudioWritePcm, ConvertsToAtMostTwoChannelsOfU8OrS16) {
    MediaPlayer player;
    // Six channels of float, packed and planar: 6144 bytes in, 1024 out.
    std::vector<float> six(256 * 6, 0.25f);
    std::vector<uint8_t*> packed = {reinterpret_cast<uint8_t*>(six.data())};
    EXPECT_EQ(BytesWritten(player, 6, AV_SAMPLE_FMT_FLT, packed, 256), 1024u);
    std::vector<std::vector<float>> planesData(6, std::vector<float>(256, 0.25f));
    std::vector<uint8_t*> planar;
    for (auto& p : planesData)
        planar.push_back(reinterpret_cast<uint8_t*>(p.data()));
    EXPECT_EQ(BytesWritten(player, 6, AV_SAMPLE_FMT_FLTP, planar, 256), 1024u);
    EXPECT_EQ(player.m_resample.nOutChannels, 2);
    EXPECT_EQ(player.m_resample.nOutFmt, 1);

    // Mono float becomes mono S16; planar stereo S16 is interleaved.
    std::vector<float> mono(100, 0.5f);
    EXPECT_EQ(BytesWritten(player, 1, AV_SAMPLE_FMT_FLT, {reinterpret_cast<uint8_t*>(mono.data())}, 100), 200u);
    EXPECT_EQ(player.m_resample.nOutChannels, 1);
    std::vector<int16_t> left(50, 1), right(50, 2);
    EXPECT_EQ(BytesWritten(player, 2, AV_SAMPLE_FMT_S16P,
                           {reinterpret_cast<uint8_t*>(left.data()), reinterpret_cast<uint8_t*>(right.data())}, 50),
              200u);

    // Eight-bit input stays eight-bit, also when channels are folded.
    std::vector<uint8_t> u8(3 * 64, 128);
    EXPECT_EQ(BytesWritten(player, 3, AV_SAMPLE_FMT_U8, {u8.data()}, 64), 128u);
    EXPECT_EQ(player.m_resample.nOutFmt, 0);
    EXPECT_EQ(BytesWritten(player, 1, AV_SAMPLE_FMT_U8, {u8.data()}, 64), 64u);
}

TEST(AudioWritePcm, RefusesFormatsWithoutSizeAndDropsHugeChunks) {
    MediaPlayer player;
    std::vector<uint8_t> data(4096, 1);
    int rc = 0;
    EXPECT_EQ(BytesWritten(player, 2, AV_SAMPLE_FMT_NONE, {data.data()}, 1024, &rc), 0u);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(player.WriteAudioPcm(2, AV_SAMPLE_FMT_S16, 44100, nullptr, 10), -1);

    // 300000 samples of 6-channel float convert to 1.2 MB: dropped whole.
    std::vector<float> big(300000 * 6, 0.1f);
    EXPECT_EQ(BytesWritten(player, 6, AV_SAMPLE_FMT_FLT, {reinterpret_cast<uint8_t*>(big.data())}, 300000, &rc), 0u);
    EXPECT_EQ(rc, 0);
    // Larger than the decoder buffer but below the limit still goes out.
    std::vector<float> large(120000 * 6, 0.1f);
    EXPECT_EQ(BytesWritten(player, 6, AV_SAMPLE_FMT_FLT, {reinterpret_cast<uint8_t*>(large.data())}, 120000),
              480000u);
}

// The sound reaches the device intact: 20000 bytes of stereo S16 go out as
// 10240 + 9760 (a longer piece would be cut by the output and lose bytes).
TEST(AudioWritePcm, StereoS16ReachesTheDeviceUnconverted) {
    TempDir dir;
    std::string raw = dir.path + "/out.raw";
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", raw);
    CPlaySound& sound = ThePlaySound();
    sound.CreateThread();
    AudioSetFormat(2, 44100, 2);
    ASSERT_TRUE(WaitFor([&] { return sound.IsDeviceOpen(); }));

    MediaPlayer player;
    std::vector<uint8_t> a = Pattern(20000), b = Pattern(4096);
    std::reverse(b.begin(), b.end());
    EXPECT_EQ(BytesWritten(player, 2, AV_SAMPLE_FMT_S16, {a.data()}, 5000), 20000u);
    EXPECT_EQ(BytesWritten(player, 2, AV_SAMPLE_FMT_S16, {b.data()}, 1024), 4096u);
    // Trailing silence: a piece counts as done once the device took it, which
    // may be a buffer before it reaches the file.
    std::vector<uint8_t> silence(2 * MediaPlayer::kMaxPcmPiece, 0);
    player.WriteAudioPcm(2, AV_SAMPLE_FMT_S16, 44100, std::vector<uint8_t*>{silence.data()}.data(),
                         MediaPlayer::kMaxPcmPiece / 2);
    ASSERT_TRUE(WaitFor([&] { return sound.GetQueuedCount() == 0 && sound.GetInDeviceCount() == 0; }));
    sound.StopThread();

    // The device may pad an underrun with silence between pieces, never inside one.
    std::string written = ReadWholeFile(raw);
    std::string pieces[] = {std::string(a.begin(), a.begin() + MediaPlayer::kMaxPcmPiece),
                            std::string(a.begin() + MediaPlayer::kMaxPcmPiece, a.end()),
                            std::string(b.begin(), b.end())};
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = written.find(piece, at);
        ASSERT_NE(at, std::string::npos) << "piece of " << piece.size() << " bytes missing; device got "
                                         << written.size() << " bytes";
        at += piece.size();
    }
}

// Controller-level: the reserve after starving and the clock from time stamps.
TEST(AudioDecodeThread, WaitsForAReserveAfterRunningDry) {
    std::string path = TestMedia("audio_a1s.m4a", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:a aac");
    CPlaySound& sound = ThePlaySound();
    sound.CreateThread();
    MediaPlayer player;
    ASSERT_EQ(player.OpenLocal(path.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd && player.QueuedAudioPkgs() == 0 && player.m_bAudioStarving; }));

    VideoDemuxer demuxer;
    ASSERT_EQ(demuxer.open(path.c_str()), 0);
    std::vector<AVPacket*> pkts;
    int bVideo = 0, codecId = 0;
    for (int i = 0; i < MediaPlayer::kAudioReserve + 10; ++i) {
        AVPacket* pkt = demuxer.readPacket(bVideo, codecId);
        ASSERT_NE(pkt, nullptr);
        if (i < 10)
            FreePacket(pkt);  // the decoder wants a few packages in, not the very first
        else
            pkts.push_back(pkt);
    }
    // The last one carries no pts and a dts whose low 32 bits mean 2 s.
    pkts.back()->pts = AV_NOPTS_VALUE;
    pkts.back()->dts = (int64_t{1} << 32) + 2 * 44100;
    double tb = demuxer.getAudioTimeBase();
    ASSERT_DOUBLE_EQ(tb, 1.0 / 44100);

    double clockBefore = player.m_dAudioClock;
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        for (int i = 0; i < MediaPlayer::kAudioReserve - 1; ++i)
            player.m_audioPkgs.push_back(pkts[i]);
    }
    // Four waiting packages are not enough; give the thread many chances.
    EXPECT_FALSE(WaitFor([&] { return player.QueuedAudioPkgs() != MediaPlayer::kAudioReserve - 1; }, 500));
    EXPECT_EQ(player.m_dAudioClock, clockBefore);
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_audioPkgs.push_back(pkts.back());
    }
    EXPECT_TRUE(WaitFor([&] { return player.QueuedAudioPkgs() == 0 && !player.m_bAudioStarving; }));
    EXPECT_TRUE(WaitFor([&] { return player.m_dAudioClock == 2.0; }));
    player.Stop();
    sound.StopThread();
}
