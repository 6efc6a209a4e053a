#include <gtest/gtest.h>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/LiveCounters.h"
#include "engine/VideoDemuxer.h"

namespace {

std::string AudioOnly3s() {
    return TestMedia("demux_a3s.m4a", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 -c:a aac");
}

// Reads to the end, checking each package's kind and codec against its stream.
std::pair<int, int> CountAudioVideo(VideoDemuxer& d) {
    int audio = 0, video = 0, bVideo = -1, codecId = 0;
    while (AVPacketPtr pkt{d.readPacket(bVideo, codecId)}) {
        const AVStream* st = bVideo ? d.getVideoStream() : d.getAudioStream();
        EXPECT_TRUE(st && pkt->stream_index == st->index && codecId == st->codecpar->codec_id);
        ++(bVideo ? video : audio);
    }
    return {audio, video};
}

// Seeks, then returns the time of the first package of the wanted kind, or -1.
double SecondsAfterSeek(VideoDemuxer& d, int seconds, bool wantVideo) {
    EXPECT_EQ(d.seek(seconds), 0);
    int bVideo = 0, codecId = 0;
    while (AVPacketPtr pkt{d.readPacket(bVideo, codecId)}) {
        if (bool(bVideo) != wantVideo)
            continue;
        EXPECT_TRUE(!wantVideo || (pkt->flags & AV_PKT_FLAG_KEY));
        int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        return ts * av_q2d((wantVideo ? d.getVideoStream() : d.getAudioStream())->time_base);
    }
    return -1;
}

}  // namespace

TEST(Demuxer, FrameRateRules) {
    // Average, then real, then 1 / decoder time base; truncated; outside 1..100 gives 24.
    struct Case { AVRational avg, real, codecTb; int fps; } cases[] = {
        {{30, 1}, {25, 1}, {1, 50}, 30},     {{0, 1}, {25, 1}, {1, 50}, 25},  {{30, 0}, {0, 0}, {1, 25}, 25},
        {{30000, 1001}, {0, 0}, {0, 1}, 29}, {{120, 1}, {0, 0}, {0, 1}, 24},  {{1, 2}, {0, 0}, {0, 1}, 24},
        {{0, 0}, {0, 0}, {0, 1}, 24},        {{100, 1}, {0, 0}, {0, 1}, 100}, {{1, 1}, {0, 0}, {0, 1}, 1}};
    for (const Case& c : cases)
        EXPECT_EQ(VideoDemuxer::FpsFromRates(c.avg, c.real, c.codecTb), c.fps) << c.avg.num << "/" << c.avg.den;
}

TEST(Demuxer, AudioAndVideoClipReadsReopensAndSeeks) {
    int live = g_nLiveVideoDemuxer;
    VideoDemuxer d;
    EXPECT_EQ(g_nLiveVideoDemuxer, live + 1);
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    EXPECT_EQ(d.getDuration(), 10);
    EXPECT_EQ(d.getFps(), 25);
    ASSERT_TRUE(d.getAudioCodecCtx() && d.getVideoCodecCtx());
    // The decoders need the streams' time bases to stamp their output.
    EXPECT_EQ(av_cmp_q(d.getAudioCodecCtx()->pkt_timebase, d.getAudioStream()->time_base), 0);
    EXPECT_EQ(av_cmp_q(d.getVideoCodecCtx()->pkt_timebase, d.getVideoStream()->time_base), 0);
    auto [audio, video] = CountAudioVideo(d);
    EXPECT_EQ(video, 250);
    EXPECT_NEAR(audio, 10 * 44100 / 1024, 5);
    // Opening the same name again keeps the position (here: the end); another name in between does not.
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    EXPECT_EQ(CountAudioVideo(d), std::make_pair(0, 0));
    ASSERT_EQ(d.open(AudioOnly3s().c_str()), 0);
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    EXPECT_EQ(CountAudioVideo(d).second, 250);
    EXPECT_NEAR(SecondsAfterSeek(d, 6, true), 6.0, 0.6);  // the key picture at the target
    EXPECT_NEAR(SecondsAfterSeek(d, 0, true), 0.0, 0.2);
}

TEST(Demuxer, AudioOnlyVideoOnlyAndNeither) {
    VideoDemuxer a;
    ASSERT_EQ(a.open(AudioOnly3s().c_str()), 0);
    EXPECT_EQ(a.getVideoCodecCtx(), nullptr);
    EXPECT_EQ(a.getFps(), VideoDemuxer::kDefaultFps);
    auto [audio, video] = CountAudioVideo(a);
    EXPECT_GT(audio, 100);
    EXPECT_EQ(video, 0);
    EXPECT_NEAR(SecondsAfterSeek(a, 2, false), 2.0, 0.3);

    std::string videoOnly = TestMedia("demux_v2997.mp4", "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=3 "
                                                         "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    VideoDemuxer v;
    ASSERT_EQ(v.open(videoOnly.c_str()), 0);
    EXPECT_EQ(v.getAudioCodecCtx(), nullptr);
    EXPECT_EQ(v.getFps(), 29);
    EXPECT_EQ(CountAudioVideo(v), std::make_pair(0, 90));

    // Subtitles only: their packages are never returned, and a seek does nothing.
    std::string srt = TestFile("demux_sub_only.srt", "1\n00:00:00,000 --> 00:00:01,000\nonly\n\n");
    VideoDemuxer none;
    ASSERT_EQ(none.open(TestMedia("demux_sub_only.mkv", "-i '" + srt + "' -c:s srt").c_str()), 0);
    EXPECT_EQ(none.getAudioStream(), nullptr);
    EXPECT_EQ(none.getVideoStream(), nullptr);
    EXPECT_EQ(SecondsAfterSeek(none, 5, false), -1);
}

TEST(Demuxer, BadFilesAndClosedDemuxerYieldNothing) {
    auto expectEmpty = [](VideoDemuxer& d) {
        int bVideo = 0, codecId = 0;
        EXPECT_EQ(d.getName(), "");
        EXPECT_EQ(d.getVideoCodecCtx(), nullptr);
        EXPECT_EQ(d.readPacket(bVideo, codecId), nullptr);
        EXPECT_EQ(d.seek(1), -1);
    };
    std::string junk = TestFile("demux_junk.mp4", std::string(4096, '\x5a'));
    for (const std::string& path : {junk, std::string(SIVO_TEST_MEDIA_DIR) + "/no_such_file.mp4"}) {
        VideoDemuxer d;
        EXPECT_EQ(d.open(path.c_str()), -1) << path;
        expectEmpty(d);
    }
    VideoDemuxer d;
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    d.close();
    d.close();  // harmless twice
    expectEmpty(d);
    EXPECT_EQ(d.open(nullptr), -1);
}

// Of several streams of a kind the one the file marks as default plays, else
// the first; a cover picture only when nothing moves.
TEST(Demuxer, ChoosesTheDefaultStreamElseTheFirst) {
    const std::string tracks =
        "-f lavfi -i testsrc2=size=64x48:rate=25:duration=1 -f lavfi -i testsrc2=size=32x24:rate=25:duration=1 "
        "-f lavfi -i sine=f=440:r=44100:d=1 -f lavfi -i sine=f=880:r=48000:d=1 "
        "-map 0 -map 1 -map 2 -map 3 -c:v libx264 -preset ultrafast -c:a aac ";
    struct Case { const char* name; std::string args; int width, rate; } cases[] = {
        {"demux-default-second.mkv", tracks + "-disposition:v:0 0 -disposition:v:1 default -disposition:a:0 0 "
                                              "-disposition:a:1 default", 32, 48000},
        {"demux-no-default.mkv", tracks + "-disposition:v:0 0 -disposition:a:0 0", 64, 44100},
        {"demux-cover.mp3", "-f lavfi -i sine=f=440:r=44100:d=1 -f lavfi -i color=c=red:s=16x16:d=1 -map 0 -map 1 "
                            "-frames:v 1 -c:v mjpeg -disposition:v attached_pic -c:a libmp3lame", 16, 44100},
    };
    for (const Case& c : cases) {
        VideoDemuxer d;
        ASSERT_EQ(d.open(TestMedia(c.name, c.args).c_str()), 0) << c.name;
        ASSERT_NE(d.getVideoCodecCtx(), nullptr) << c.name;
        ASSERT_NE(d.getAudioCodecCtx(), nullptr) << c.name;
        EXPECT_EQ(d.getVideoCodecCtx()->width, c.width) << c.name;
        EXPECT_EQ(d.getAudioCodecCtx()->sample_rate, c.rate) << c.name;
        const auto [audio, video] = CountAudioVideo(d);
        EXPECT_GT(audio, 0) << c.name;
        EXPECT_GT(video, 0) << c.name;
    }
}
