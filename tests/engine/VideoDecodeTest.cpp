// Video decode thread helpers and pacing, driven through a MediaPlayer whose
// queues are fed directly.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "output/OutputTestUtil.h"

namespace {

// Appends packages with pts `first`, `first + step`, ...; the first is a key package when `key`.
void Queue(MediaPlayer& player, int count, bool key, int64_t first, int64_t step = 1) {
    std::lock_guard<std::mutex> lock(player.m_mutex);
    for (int i = 0; i < count; ++i) {
        AVPacket* pkt = av_packet_alloc();
        pkt->pts = pkt->dts = first + i * step;
        pkt->flags = key && i == 0 ? AV_PKT_FLAG_KEY : 0;
        player.m_videoPkgs.push_back(pkt);
    }
}

std::vector<std::unique_ptr<VideoFrame>> TakeFrames(MediaPlayer& player) {
    std::lock_guard<std::mutex> lock(player.m_mutex);
    std::vector<std::unique_ptr<VideoFrame>> out(player.m_frames.begin(), player.m_frames.end());
    player.m_frames.clear();
    return out;
}

// The video packages of a file; its decoder context opened for a player,
// which borrows it (so a source outlives its player).
class VideoSource {
public:
    explicit VideoSource(const std::string& path) { m_demuxer.open(path.c_str()); }

    // outputDelay > 0 holds that many pictures back, as reordered streams do.
    bool AttachDecoder(MediaPlayer& player, int outputDelay = 0) {
        AVCodecContext* ctx = player.m_pVideoCodecCtx = m_demuxer.getVideoCodecCtx();
        if (!ctx)
            return false;
        player.m_pVideoCodec = avcodec_find_decoder(ctx->codec_id);
        player.m_dVideoTimeBase = m_demuxer.getVideoTimeBase();
        ctx->has_b_frames = outputDelay;
        return avcodec_open2(ctx, player.m_pVideoCodec, nullptr) == 0;
    }

    AVPacketPtr Next() {  // null at the end
        int bVideo = 0, codecId = 0;
        while (AVPacketPtr pkt{m_demuxer.readPacket(bVideo, codecId)})
            if (bVideo)
                return pkt;
        return nullptr;
    }

private:
    VideoDemuxer m_demuxer;
};

}  // namespace

TEST(VideoDecode, DropFramesKeepsOnlyRunsLongerThanTheLimit) {
    const int L = MediaPlayer::kDropRunLimit;
    // Runs of (packages, starts with a key package); what is left and its first pts.
    struct Case { std::vector<std::pair<int, bool>> runs; size_t left; int64_t firstLeft; } cases[] = {
        {{{10, false}, {25, true}, {25, true}}, 25, 35},  // runs of 10 and 25 dropped
        {{{250, true}, {250, true}, {5, true}}, 505, 0},  // key packages 250 apart: nothing pruned
        {{{L, true}, {L + 1, true}, {3, true}}, size_t(L + 4), L},
        {{{30, false}}, 30, 0},  // no key package, no cut
    };
    for (const Case& c : cases) {
        MediaPlayer player;
        int64_t pts = 0;
        for (auto [count, key] : c.runs) {
            Queue(player, count, key, pts);
            pts += count;
        }
        player.DropFrames();
        std::lock_guard<std::mutex> lock(player.m_mutex);
        ASSERT_EQ(player.m_videoPkgs.size(), c.left);
        EXPECT_EQ(player.m_videoPkgs.front()->pts, c.firstLeft);
        EXPECT_EQ(player.m_videoPkgs.back()->pts, pts - 1);
    }
}

TEST(VideoDecode, UpdateFrameIntervalEstimatesFromTheQueue) {
    struct Case { int fps, count; int64_t spanMs; int interval; bool locked; } cases[] = {
        {50, 40, 40000, 20, false},     // too few packages: from the rate
        {0, 40, 40000, 1000 / 24, false},
        {25, 41, 1600, 39, true},       // 1600 / 41, close to 40: accepted and locked
        {25, 41, 820, 20, true},        // half the interval is accepted too
        {25, 41, 1200, 40, false},      // 29 ms: neither
    };
    for (const Case& c : cases) {
        MediaPlayer player;
        player.m_nFps = c.fps;
        player.m_dVideoTimeBase = 0.0005;
        Queue(player, c.count - 1, true, 0, 2 * c.spanMs / (c.count - 1));
        Queue(player, 1, false, 2 * c.spanMs);
        player.UpdateFrameInterval();
        EXPECT_EQ(player.m_nFrameInterval, c.interval) << c.spanMs;
        EXPECT_EQ(player.m_bIntervalLocked, c.locked) << c.spanMs;
        if (c.locked) {  // then neither the queue nor the rate moves it
            player.m_nFps = 50;
            Queue(player, 1, false, 8 * c.spanMs);
            player.UpdateFrameInterval();
            EXPECT_EQ(player.m_nFrameInterval, c.interval);
        }
    }
    // Stamps and a time base from a hostile peer: no estimate (and no
    // overflow for the sanitizers to find).
    MediaPlayer player;
    player.m_nFps = 25;
    player.m_dVideoTimeBase = 2147483647.0;
    Queue(player, 40, true, INT64_MIN);
    Queue(player, 1, false, INT64_MAX);
    player.UpdateFrameInterval();
    EXPECT_EQ(player.m_nFrameInterval, 40);
    EXPECT_FALSE(player.m_bIntervalLocked);
}

TEST(VideoDecode, PacingTable) {
    struct Case { double video, audio; int interval, sleep; } cases[] = {
        {10, 12.5, 40, 20}, {10, 11.5, 40, 26}, {10, 10.5, 40, 36},  // behind by > 2 s, > 1 s, less
        {12.5, 10, 40, 60}, {11.5, 10, 40, 60}, {10.5, 10, 40, 53},  // ahead
        {10, 10, 40, 40},   {10, 12, 40, 26},   {11, 10, 40, 53},    // in step; exactly 2 s / 1 s
        {0, 60, 40, -1},    {100, 30, 40, -1},  {0, 59.9, 40, 20},   // 60 s apart runs free
        {0.5, 0, 40, 53},   {1.5, 0, 40, 60},   {60, 0, 40, -1},     // no audio: its clock stays 0
        {10, 10.5, 1, 1},   {10, 13, 0, 1},                          // at least 1 ms
    };
    for (const Case& c : cases)
        EXPECT_EQ(MediaPlayer::PacingSleepMs(c.video, c.audio, c.interval), c.sleep) << c.video << " " << c.audio;
    // Free-running: the average gap between pictures held near the interval.
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(-1.0, 40.0), 35);  // nothing measured yet
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(41.5, 40.0), 30);
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(38.0, 40.0), 30);
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(55.0, 40.0), 20);  // too slow
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(30.0, 40.0), 45);  // too fast
    EXPECT_EQ(MediaPlayer::FreeRunSleepMs(-1.0, 3.0), 1);
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(40, 25, 2), 120.0);  // skipped pictures widen it
    EXPECT_DOUBLE_EQ(MediaPlayer::ShowIntervalMs(0, 0, 1), 2000.0 / 24);
}

// The decoder is made to hold `delay` pictures back, as reordering streams do:
// the first picture then comes after that many empty calls and carries their
// count (capped), and from then on every package yields one picture.
TEST(VideoDecode, RealClipYieldsPicturesInOrderAfterEmptyCalls) {
    MediaPlayer idle;
    AVPacketPtr none(av_packet_alloc());
    EXPECT_EQ(idle.DecodeVideoPacket(nullptr), -1);
    EXPECT_EQ(idle.DecodeVideoPacket(none.get()), -1);  // no decoder opened
    for (int delay : {2, 7}) {
        VideoSource src(TestClipAv10s());
        MediaPlayer player;
        ASSERT_TRUE(src.AttachDecoder(player, delay));
        // A package of noise first must not stop decoding; it counts only if the decoder took it.
        AVPacketPtr noise(av_packet_alloc());
        av_new_packet(noise.get(), 997);
        Noise(997).copy(reinterpret_cast<char*>(noise->data), 997);
        const int taken = player.DecodeVideoPacket(noise.get()) == 0;
        int packages = 0, pictures = 0;
        double lastPts = -1;
        while (AVPacketPtr pkt = src.Next()) {
            ASSERT_EQ(player.DecodeVideoPacket(pkt.get()), 0);
            ++packages;
            auto frames = TakeFrames(player);
            ASSERT_LE(frames.size(), 1u);
            for (auto& f : frames) {
                if (pictures++ == 0) {
                    EXPECT_EQ(packages, delay + 1);
                    EXPECT_EQ(f->nSkipped, std::min(delay + taken, MediaPlayer::kMaxSkipCount));
                    EXPECT_EQ(f->dPts, 0.0);  // the held-back first picture, not the package's stamp
                } else {
                    EXPECT_EQ(f->nSkipped, 0);
                }
                EXPECT_EQ(f->nWidth, 320);
                EXPECT_EQ(f->nHeight, 240);
                EXPECT_GT(f->dPts, lastPts);
                lastPts = f->dPts;
            }
        }
        EXPECT_EQ(packages, 250);
        EXPECT_EQ(pictures, packages - delay);
        EXPECT_EQ(player.m_nTotalFram, packages + taken);
        EXPECT_EQ(player.m_nFramesDecoded, pictures);
        EXPECT_EQ(player.m_nNoPicture, delay + taken);
        EXPECT_NEAR(lastPts * player.m_dVideoTimeBase, 10.0 - delay * 0.04, 0.5);
    }
}

// The package dump file is opened once per process, so each case runs the
// child below in its own working directory.
TEST(VideoDecodeDump, DISABLED_Child) {
    VideoSource src(std::getenv("SIVO_TEST_DUMP_CLIP"));
    MediaPlayer player;
    ASSERT_TRUE(src.AttachDecoder(player));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(player.DecodeVideoPacket(src.Next().get()), 0);
}

TEST(VideoDecodeDump, WrittenWithStartCodesOnlyWhenTheDirectoryExists) {
    namespace fs = std::filesystem;
    const std::string clip = TestClipAv10s(), self = fs::read_symlink("/proc/self/exe");
    TempDir base;
    fs::create_directories(base.path + "/with/f:");
    fs::create_directories(base.path + "/without");
    for (const char* dir : {"/without", "/with"})
        ASSERT_EQ(std::system(("cd '" + base.path + dir + "' && SIVO_TEST_DUMP_CLIP='" + clip + "' '" + self +
                               "' --gtest_also_run_disabled_tests --gtest_filter=VideoDecodeDump.DISABLED_Child"
                               " >/dev/null 2>&1").c_str()), 0);
    EXPECT_TRUE(fs::is_empty(base.path + "/without"));

    std::string expected;
    VideoSource src(clip);
    for (int i = 0; i < 5; ++i) {
        AVPacketPtr pkt = src.Next();
        expected += std::string("\0\0\0\1", 4) + std::string(reinterpret_cast<char*>(pkt->data) + 4, pkt->size - 4);
    }
    EXPECT_TRUE(ReadWholeFile(base.path + "/with/f:/playpkg.dat") == expected);
}

// Pruning happens only while the newest picture is due before the sound
// being heard: then a decoder that fell behind jumps to the newest key
// package behind short runs; a decoder that keeps up loses nothing.
TEST(VideoDecode, DropFramesRunsOnlyWhileDecodingIsBehindTheSound) {
    for (double heard : {0.0, 5.0}) {
        VideoSource src(TestClipAv4s());  // a key package every 25
        MediaPlayer player;
        ASSERT_TRUE(src.AttachDecoder(player));
        player.m_bHasAudio = true;
        player.AnchorAudio(heard, player.m_nSeekSerial, true);  // no output: the stamp is heard
        ASSERT_EQ(player.DecodeVideoPacket(src.Next().get()), 0);  // the picture at 0 s
        std::vector<AVPacketPtr> later;
        {
            std::lock_guard<std::mutex> lock(player.m_mutex);
            for (int i = 0; i < 60; ++i) {
                later.push_back(src.Next());
                player.m_videoPkgs.push_back(av_packet_clone(later.back().get()));
            }
        }
        ASSERT_EQ(player.DecodeVideoPacket(later[0].get()), 0);
        std::lock_guard<std::mutex> lock(player.m_mutex);
        if (heard == 0.0) {
            EXPECT_EQ(player.m_videoPkgs.size(), 60u);
        } else {  // runs of 24 and 25 dropped: decoding goes on from the key package at 2 s
            ASSERT_EQ(player.m_videoPkgs.size(), 11u);
            EXPECT_TRUE(player.m_videoPkgs.front()->flags & AV_PKT_FLAG_KEY);
            EXPECT_NEAR(player.m_videoPkgs.front()->pts * player.m_dVideoTimeBase, 2.0, 0.01);
        }
    }
}
