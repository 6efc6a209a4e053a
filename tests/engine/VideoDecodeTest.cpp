// The video decoder on its own thread, fed real packages through its queue:
// what reaches the picture queue, in what order, and what it prunes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/FrameQueue.h"
#include "engine/PacketQueue.h"
#include "engine/VideoDecoder.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "output/OutputTestUtil.h"

namespace {

// The video packages of a file, in order.
class VideoSource {
public:
    explicit VideoSource(const std::string& path) { m_demuxer.open(path.c_str()); }
    VideoDemuxer& Demuxer() { return m_demuxer; }
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

// A video decoder running over its own queues. outputDelay > 0 makes the
// decoder hold that many pictures back, as reordering streams do.
class DecoderRig {
public:
    DecoderRig(VideoSource& src, int outputDelay = 0,
               std::function<double(double)> leadOf = [](double) { return INFINITY; })
        : decoder(pkts, frames, std::move(leadOf)) {
        AVCodecContext* ctx = src.Demuxer().getVideoCodecCtx();
        ctx->has_b_frames = outputDelay;
        opened = decoder.Open(ctx, false);
        decoder.SetStream(src.Demuxer().getVideoTimeBase(), src.Demuxer().getFps());
        decoder.Start("test-decode");
    }
    ~DecoderRig() {
        pkts.Abort();
        frames.Abort();
        decoder.Join();
    }
    std::vector<std::unique_ptr<VideoFrame>> TakeAll(size_t count) {
        std::vector<std::unique_ptr<VideoFrame>> out;
        while (out.size() < count && WaitFor([&] { return frames.Size() > 0; })) {
            FrameQueue::Popped popped;
            frames.Next(popped);
            out.push_back(std::move(popped.frame));
        }
        return out;
    }

    WakeSignal room;
    PacketQueue pkts{room};
    FrameQueue frames{1000};
    VideoDecoder decoder;
    bool opened = false;
};

}  // namespace

// The first picture comes after `delay` empty calls and carries their count
// (capped); from then on every package yields one picture, in stamp order,
// and a package of noise first does not stop decoding.
TEST(VideoDecode, RealClipYieldsPicturesInOrderAfterEmptyCalls) {
    for (int delay : {0, 2, 7}) {
        VideoSource src(TestClipAv10s());
        DecoderRig rig(src, delay);
        ASSERT_TRUE(rig.opened);
        AVPacketPtr noise(av_packet_alloc());
        av_new_packet(noise.get(), 997);
        Noise(997).copy(reinterpret_cast<char*>(noise->data), 997);
        rig.pkts.Put(std::move(noise));
        int packages = 0;
        while (AVPacketPtr pkt = src.Next()) {
            rig.pkts.Put(std::move(pkt));
            ++packages;
        }
        ASSERT_EQ(packages, 250);
        auto pictures = rig.TakeAll(packages - delay);
        ASSERT_EQ(int(pictures.size()), packages - delay);
        EXPECT_EQ(pictures.front()->dPts, 0.0);  // the held-back first picture, not the package's stamp
        EXPECT_GE(pictures.front()->nSkipped, std::min(delay, VideoDecoder::kMaxSkipCount));
        EXPECT_LE(pictures.front()->nSkipped, std::min(delay + 1, VideoDecoder::kMaxSkipCount));
        for (size_t i = 1; i < pictures.size(); ++i) {
            EXPECT_EQ(pictures[i]->nSkipped, 0);
            EXPECT_GT(pictures[i]->dPts, pictures[i - 1]->dPts);
            EXPECT_EQ(pictures[i]->nWidth, 320);
            EXPECT_EQ(pictures[i]->nHeight, 240);
        }
        EXPECT_EQ(rig.decoder.FramesDecoded(), packages - delay);
        EXPECT_NEAR(pictures.back()->dPts * rig.decoder.TimeBase(), 10.0 - delay * 0.04, 0.5);
        EXPECT_NEAR(rig.decoder.FrameIntervalMs(), 40, 1);  // estimated from the queued stamps
    }
}

// A decoder that keeps up decodes every picture in full. One whose pictures
// are already due when they come out steps through the shortcuts, a step at
// a time, until it prunes whole stale groups: from there it goes on at the
// next key package behind short runs. Ahead again, it steps back.
TEST(VideoDecode, ShortcutsAreTakenStepByStepOnlyWhileDecodingIsBehind) {
    constexpr int kStepping = 8;  // packages, 150 ms apart: time for three steps up
    for (double behind : {0.0, 5.0}) {
        VideoSource src(TestClipAv4s());  // a key package every 25
        std::atomic<double> heard{behind};
        DecoderRig rig(src, 0, [&](double stamp) { return stamp - heard; });
        for (int i = 0; i <= kStepping; ++i) {
            rig.pkts.Put(src.Next());
            ASSERT_EQ(rig.TakeAll(1).size(), 1u);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        rig.pkts.SetHeld(true);  // 60 packages queued before the decoder looks again
        for (int i = 0; i < 60; ++i)
            rig.pkts.Put(src.Next());
        rig.pkts.SetHeld(false);
        if (behind == 0.0) {
            EXPECT_EQ(rig.TakeAll(60).size(), 60u);
            EXPECT_EQ(rig.decoder.CurrentShortcut(), VideoDecoder::Shortcut::None);
            EXPECT_EQ(rig.decoder.FastDecoded(), 0);
            continue;
        }
        // Packages 10 to 49 dropped: the runs before the keys at 1 s and 2 s.
        auto pictures = rig.TakeAll(20);
        ASSERT_TRUE(WaitFor([&] { return rig.pkts.Size() == 0; }));
        ASSERT_EQ(pictures.size(), 20u);
        EXPECT_NEAR(pictures[1]->dPts * rig.decoder.TimeBase(), 2.0, 0.01);
        EXPECT_EQ(rig.frames.Size(), 0u);  // nothing else decoded
        EXPECT_EQ(rig.decoder.CurrentShortcut(), VideoDecoder::Shortcut::StaleGroupsDropped);
        EXPECT_GE(rig.decoder.FastDecoded(), 20);

        heard = -100.0;  // far ahead now: one step back after the settling time
        for (int i = 0; i < 30 && rig.decoder.CurrentShortcut() == VideoDecoder::Shortcut::StaleGroupsDropped; ++i) {
            rig.pkts.Put(src.Next());
            rig.TakeAll(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(rig.decoder.CurrentShortcut(), VideoDecoder::Shortcut::NonRefSkipped);
    }
}

// Stamps and a time base from a hostile peer: no interval estimate (and no
// overflow for the sanitizers to find); the pictures still decode.
TEST(VideoDecode, HostileStampsGiveNoIntervalEstimate) {
    VideoSource src(TestClipAv10s());
    DecoderRig rig(src);
    rig.decoder.SetStream(2147483647.0, 25);
    rig.pkts.SetHeld(true);
    for (int i = 0; i < 45; ++i) {
        AVPacketPtr pkt = src.Next();
        pkt->pts = pkt->dts = i < 44 ? INT64_MIN + i : INT64_MAX;
        rig.pkts.Put(std::move(pkt));
    }
    rig.pkts.SetHeld(false);
    EXPECT_EQ(rig.TakeAll(45).size(), 45u);
    EXPECT_EQ(rig.decoder.FrameIntervalMs(), 40);
}

// The package dump file is opened once per process, so each case runs the
// child below in its own working directory.
TEST(VideoDecodeDump, DISABLED_Child) {
    VideoSource src(std::getenv("SIVO_TEST_DUMP_CLIP"));
    DecoderRig rig(src);
    ASSERT_TRUE(rig.opened);
    for (int i = 0; i < 5; ++i)
        rig.pkts.Put(src.Next());
    ASSERT_EQ(rig.TakeAll(5).size(), 5u);
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
