// Video decode thread helpers and pacing, driven through a MediaPlayer whose
// queues are fed directly.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "engine/VideoFrame.h"

namespace {

AVPacket* MakePacket(int64_t pts, bool key) {
    AVPacket* pkt = av_packet_alloc();
    pkt->pts = pts;
    pkt->dts = pts;
    if (key)
        pkt->flags |= AV_PKT_FLAG_KEY;
    return pkt;
}

// Appends `count` packages to the video queue, the first one a key package
// when `key`; pts continue from the queue's last package.
void QueueRun(MediaPlayer& player, int count, bool key, int64_t step = 1) {
    std::lock_guard<std::mutex> lock(player.m_mutex);
    int64_t pts = player.m_videoPkgs.empty() ? 0 : player.m_videoPkgs.back()->pts + step;
    for (int i = 0; i < count; ++i, pts += step)
        player.m_videoPkgs.push_back(MakePacket(pts, key && i == 0));
}

std::vector<int64_t> QueuedPts(MediaPlayer& player) {
    std::lock_guard<std::mutex> lock(player.m_mutex);
    std::vector<int64_t> out;
    for (AVPacket* pkt : player.m_videoPkgs)
        out.push_back(pkt->pts);
    return out;
}

std::vector<std::unique_ptr<VideoFrame>> TakeFrames(MediaPlayer& player) {
    std::lock_guard<std::mutex> lock(player.m_mutex);
    std::vector<std::unique_ptr<VideoFrame>> out;
    for (VideoFrame* f : player.m_frames)
        out.emplace_back(f);
    player.m_frames.clear();
    return out;
}

// The video stream of a media file with an opened decoder handed to the
// player (which then owns the context).
class VideoSource {
public:
    explicit VideoSource(const std::string& path) {
        if (avformat_open_input(&m_fmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(m_fmt, nullptr) < 0)
            return;
        m_stream = av_find_best_stream(m_fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    ~VideoSource() { avformat_close_input(&m_fmt); }

    // outputDelay > 0 makes the decoder hold that many pictures back, as a
    // stream with reordered pictures does.
    bool AttachDecoder(MediaPlayer& player, int outputDelay = 0) {
        if (m_stream < 0)
            return false;
        AVStream* st = m_fmt->streams[m_stream];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(ctx, st->codecpar);
        ctx->pkt_timebase = st->time_base;
        if (outputDelay > 0)
            ctx->has_b_frames = outputDelay;
        player.m_pVideoCodecCtx = ctx;
        player.m_bOwnCodecCtx = true;
        player.m_pVideoCodec = codec;
        player.m_dVideoTimeBase = av_q2d(st->time_base);
        return avcodec_open2(ctx, codec, nullptr) == 0;
    }

    // Next package of the video stream, or null at the end.
    AVPacketPtr Next() {
        AVPacketPtr pkt(av_packet_alloc());
        while (av_read_frame(m_fmt, pkt.get()) >= 0) {
            if (pkt->stream_index == m_stream)
                return pkt;
            av_packet_unref(pkt.get());
        }
        return nullptr;
    }

private:
    AVFormatContext* m_fmt = nullptr;
    int m_stream = -1;
};

std::string ClipWithoutBFrames() {
    return TestMedia("video-nob-2s.mp4",
                     "-f lavfi -i testsrc2=size=176x144:rate=25:duration=2 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g 25");
}

} // namespace

// ---------------------------------------------------------------------------
// DropFrames

TEST(VideoDropFrames, ShortRunsBeforeKeyPackagesAreDiscarded) {
    MediaPlayer player;
    QueueRun(player, 10, false);   // pts 0..9
    QueueRun(player, 25, true);    // key at 10, then 24 more
    QueueRun(player, 25, true);    // key at 35, then 24 more
    player.DropFrames();
    std::vector<int64_t> pts = QueuedPts(player);
    ASSERT_EQ(pts.size(), 25u);
    EXPECT_EQ(pts.front(), 35);
    EXPECT_EQ(pts.back(), 59);
    std::lock_guard<std::mutex> lock(player.m_mutex);
    EXPECT_TRUE(player.m_videoPkgs.front()->flags & AV_PKT_FLAG_KEY);
}

TEST(VideoDropFrames, LongRunsAndTheTailStay) {
    MediaPlayer player;
    QueueRun(player, 250, true);
    QueueRun(player, 250, true);
    QueueRun(player, 5, true);
    player.DropFrames();
    EXPECT_EQ(QueuedPts(player).size(), 505u);

    // A run of exactly the limit goes, one more than the limit stays.
    MediaPlayer edge;
    QueueRun(edge, MediaPlayer::kDropRunLimit, true);
    QueueRun(edge, MediaPlayer::kDropRunLimit + 1, true);
    QueueRun(edge, 3, true);
    edge.DropFrames();
    std::vector<int64_t> pts = QueuedPts(edge);
    ASSERT_EQ(pts.size(), static_cast<size_t>(MediaPlayer::kDropRunLimit + 4));
    EXPECT_EQ(pts.front(), MediaPlayer::kDropRunLimit);

    // Without any key package nothing is cut.
    MediaPlayer noKey;
    QueueRun(noKey, 30, false);
    noKey.DropFrames();
    EXPECT_EQ(QueuedPts(noKey).size(), 30u);
}

// ---------------------------------------------------------------------------
// UpdateFrameInterval

TEST(VideoFrameInterval, FollowsFpsWhileFewPackagesWait) {
    MediaPlayer player;
    player.m_nFps = 25;
    QueueRun(player, 40, true, 1000);   // wide span, but too few packages
    player.UpdateFrameInterval();
    EXPECT_EQ(player.m_nFrameInterval, 40);
    EXPECT_FALSE(player.m_bIntervalLocked);

    player.m_nFps = 0;   // no declared rate: 24 frames per second
    player.UpdateFrameInterval();
    EXPECT_EQ(player.m_nFrameInterval, 1000 / 24);
}

TEST(VideoFrameInterval, EstimateFromSpanIsAcceptedAndLocked) {
    MediaPlayer player;
    player.m_nFps = 25;
    player.m_dVideoTimeBase = 0.001;
    QueueRun(player, 40, true, 40);   // pts 0..1560
    QueueRun(player, 1, false, 40);   // pts 1600: 41 packages over 1.6 s
    player.UpdateFrameInterval();
    EXPECT_EQ(player.m_nFrameInterval, 39);   // 1600 / 41, not 1600 / 40
    EXPECT_TRUE(player.m_bIntervalLocked);

    // Locked: neither the queue nor the rate moves it any more.
    player.m_nFps = 50;
    QueueRun(player, 1, false, 500);
    player.UpdateFrameInterval();
    EXPECT_EQ(player.m_nFrameInterval, 39);
}

TEST(VideoFrameInterval, HalfIntervalAcceptedOthersRejected) {
    MediaPlayer half;
    half.m_nFps = 25;
    half.m_dVideoTimeBase = 0.001;
    QueueRun(half, 1, true, 20);
    half.UpdateFrameInterval();   // 40 ms from the rate
    QueueRun(half, 40, false, 20);
    {
        std::lock_guard<std::mutex> lock(half.m_mutex);
        half.m_videoPkgs.back()->pts = 820;   // 820 / 41 = 20 ms
    }
    half.UpdateFrameInterval();
    EXPECT_EQ(half.m_nFrameInterval, 20);
    EXPECT_TRUE(half.m_bIntervalLocked);

    MediaPlayer off;
    off.m_nFps = 25;
    off.m_dVideoTimeBase = 0.001;
    QueueRun(off, 1, true, 30);
    off.UpdateFrameInterval();
    QueueRun(off, 40, false, 30);   // 1200 / 41 = 29 ms: neither 40 nor 20
    off.UpdateFrameInterval();
    EXPECT_EQ(off.m_nFrameInterval, 40);
    EXPECT_FALSE(off.m_bIntervalLocked);
}

// ---------------------------------------------------------------------------
// Pacing

TEST(VideoPacing, EveryRowOfTheTable) {
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 12.5, 40), 20);   // > 2 s behind
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 11.5, 40), 26);   // > 1 s behind
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 10.5, 40), 36);   // behind
    EXPECT_EQ(MediaPlayer::PacingSleepMs(12.5, 10.0, 40), 60);   // > 2 s ahead
    EXPECT_EQ(MediaPlayer::PacingSleepMs(11.5, 10.0, 40), 60);   // > 1 s ahead
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.5, 10.0, 40), 53);   // ahead
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 10.0, 40), 40);   // in step
    // Exactly 1 s or 2 s apart falls to the next row.
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 12.0, 40), 26);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(11.0, 10.0, 40), 53);
}

TEST(VideoPacing, ClocksSixtySecondsApartRunFree) {
    EXPECT_EQ(MediaPlayer::PacingSleepMs(0.0, 60.0, 40), -1);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(100.0, 30.0, 40), -1);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(0.0, 59.9, 40), 20);   // truncates to 59
    // A medium without audio: the audio clock stays at 0.
    EXPECT_EQ(MediaPlayer::PacingSleepMs(0.5, 0.0, 40), 53);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(1.5, 0.0, 40), 60);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(60.0, 0.0, 40), -1);
}

TEST(VideoPacing, SleepsAtLeastOneMillisecond) {
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 10.5, 1), 1);
    EXPECT_EQ(MediaPlayer::PacingSleepMs(10.0, 13.0, 0), 1);
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(-1.0, 3.0), 1);
}

TEST(VideoPacing, FreeRunningHoldsTheAverageGapNearTheInterval) {
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(-1.0, 40.0), 35);   // nothing measured yet
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(41.5, 40.0), 30);   // on target
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(38.0, 40.0), 30);
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(55.0, 40.0), 20);   // too slow
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(30.0, 40.0), 45);   // too fast
}

TEST(VideoPacing, ShowIntervalCoversSkippedPictures) {
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(40, 25, 0), 40.0);
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(40, 25, 2), 120.0);
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(0, 25, 0), 40.0);
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(0, 0, 1), 2000.0 / 24);
}

// ---------------------------------------------------------------------------
// DecodeVideoPacket on real H.264

TEST(VideoDecodePacket, RefusesNullAndRunsWithoutDecoder) {
    MediaPlayer player;
    EXPECT_EQ(player.DecodeVideoPacket(nullptr), -1);
    AVPacketPtr pkt(MakePacket(0, true));
    EXPECT_EQ(player.DecodeVideoPacket(pkt.get()), -1);   // no decoder opened
    EXPECT_EQ(player.m_nTotalFram, 0);
}

TEST(VideoDecodePacket, RealClipYieldsPicturesOfTheCodedSize) {
    MediaPlayer player;
    VideoSource src(TestClipAv10s());
    ASSERT_TRUE(src.AttachDecoder(player));
    int packages = 0;
    std::vector<std::unique_ptr<VideoFrame>> frames;
    while (AVPacketPtr pkt = src.Next()) {
        ASSERT_EQ(player.DecodeVideoPacket(pkt.get()), 0);
        ++packages;
        for (auto& f : TakeFrames(player))
            frames.push_back(std::move(f));
    }
    EXPECT_EQ(packages, 250);
    EXPECT_EQ(player.m_nTotalFram, packages);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(player.m_nFramesDecoded, static_cast<int>(frames.size()));
    // Fast decoding drops non-reference pictures; the skip counters say how many.
    EXPECT_EQ(player.m_nNoPicture, packages - static_cast<int>(frames.size()));

    double lastPts = -1;
    for (const auto& f : frames) {
        EXPECT_EQ(f->nWidth, 320);
        EXPECT_EQ(f->nHeight, 240);
        EXPECT_EQ(f->nPixFmt, AV_PIX_FMT_YUV420P);
        EXPECT_GE(f->nSkipped, 0);
        EXPECT_LE(f->nSkipped, MediaPlayer::kMaxSkipCount);
        EXPECT_GT(f->dPts, lastPts);   // presentation order
        lastPts = f->dPts;
        ASSERT_NE(f->pPicture, nullptr);
        EXPECT_GE(f->pPicture->linesize[0], 320);
    }
    // The last picture sits just under 10 s into the clip.
    EXPECT_NEAR(lastPts * player.m_dVideoTimeBase, 10.0, 0.5);
}

// Decodes packages of src until one yields pictures; returns them.
std::vector<std::unique_ptr<VideoFrame>> DecodeUntilPicture(MediaPlayer& player, VideoSource& src) {
    while (AVPacketPtr pkt = src.Next()) {
        EXPECT_EQ(player.DecodeVideoPacket(pkt.get()), 0);
        auto frames = TakeFrames(player);
        if (!frames.empty())
            return frames;
    }
    return {};
}

TEST(VideoDecodePacket, PictureAfterEmptyCallsCarriesSkipCount) {
    MediaPlayer player;
    VideoSource src(ClipWithoutBFrames());
    ASSERT_TRUE(src.AttachDecoder(player, 2));

    auto first = DecodeUntilPicture(player, src);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(player.m_nTotalFram, 3);
    EXPECT_EQ(player.m_nNoPicture, 2);
    EXPECT_EQ(player.m_nSkip, 0);
    EXPECT_EQ(first[0]->nSkipped, 2);
    EXPECT_EQ(first[0]->dPts, 0.0);   // the held-back first picture, not the package's stamp
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(40, 25, first[0]->nSkipped), 3 * 40.0);

    // From then on every package yields one picture.
    auto second = DecodeUntilPicture(player, src);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]->nSkipped, 0);
    EXPECT_EQ(player.m_nTotalFram, 4);
    EXPECT_GT(second[0]->dPts, first[0]->dPts);
}

TEST(VideoDecodePacket, SkipCountIsCapped) {
    MediaPlayer player;
    VideoSource src(ClipWithoutBFrames());
    ASSERT_TRUE(src.AttachDecoder(player, 7));
    auto first = DecodeUntilPicture(player, src);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(player.m_nNoPicture, 7);
    EXPECT_EQ(first[0]->nSkipped, MediaPlayer::kMaxSkipCount);
}

TEST(VideoDecodePacket, GarbagePackagesDoNotStopDecoding) {
    MediaPlayer player;
    VideoSource src(ClipWithoutBFrames());
    ASSERT_TRUE(src.AttachDecoder(player));
    const int before = player.m_nFramesDecoded;

    std::vector<uint8_t> noise(997);
    uint32_t x = 12345;
    for (auto& b : noise)
        b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
    AVPacketPtr bad(av_packet_alloc());
    av_new_packet(bad.get(), static_cast<int>(noise.size()));
    std::copy(noise.begin(), noise.end(), bad->data);
    int rc = player.DecodeVideoPacket(bad.get());
    EXPECT_TRUE(rc == 0 || rc == -1);

    AVPacketPtr key = src.Next();
    ASSERT_EQ(player.DecodeVideoPacket(key.get()), 0);
    EXPECT_EQ(TakeFrames(player).size(), 1u);
    EXPECT_EQ(player.m_nFramesDecoded, before + 1);
}

// ---------------------------------------------------------------------------
// Package dump. The dump file is opened once per process, so each case runs
// the helper below in a child process with its own working directory.

namespace {

constexpr int kDumpPackages = 5;
constexpr const char* kDumpClipVar = "SIVO_TEST_DUMP_CLIP";

// Runs the dump helper of this test program in `dir`; returns its exit status.
int RunDumpChild(const std::filesystem::path& dir, const std::string& clip) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string cmd = "cd '" + dir.string() + "' && " + kDumpClipVar + "='" + clip + "' '" + self +
                      "' --gtest_also_run_disabled_tests --gtest_filter=VideoDecodeDump.DISABLED_Child"
                      " >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

} // namespace

TEST(VideoDecodeDump, DISABLED_Child) {
    const char* clip = std::getenv(kDumpClipVar);
    ASSERT_NE(clip, nullptr);
    MediaPlayer player;
    VideoSource src(clip);
    ASSERT_TRUE(src.AttachDecoder(player));
    for (int i = 0; i < kDumpPackages; ++i) {
        AVPacketPtr pkt = src.Next();
        ASSERT_TRUE(pkt);
        ASSERT_EQ(player.DecodeVideoPacket(pkt.get()), 0);
    }
}

TEST(VideoDecodeDump, WrittenWithStartCodesOnlyWhenTheDirectoryExists) {
    namespace fs = std::filesystem;
    const std::string clip = ClipWithoutBFrames();
    fs::path base = fs::path(testing::TempDir()) / ("sivo-dump-" + std::to_string(getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "with" / "f:");
    fs::create_directories(base / "without");

    ASSERT_EQ(RunDumpChild(base / "without", clip), 0);
    EXPECT_TRUE(fs::is_empty(base / "without"));

    ASSERT_EQ(RunDumpChild(base / "with", clip), 0);
    std::ifstream in(base / "with" / "f:" / "playpkg.dat", std::ios::binary);
    std::string dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::string expected;
    VideoSource src(clip);
    for (int i = 0; i < kDumpPackages; ++i) {
        AVPacketPtr pkt = src.Next();
        ASSERT_TRUE(pkt);
        expected += std::string("\0\0\0\1", 4);
        expected.append(reinterpret_cast<const char*>(pkt->data) + 4, pkt->size - 4);
    }
    EXPECT_EQ(dumped.size(), expected.size());
    EXPECT_TRUE(dumped == expected);
    fs::remove_all(base);
}
