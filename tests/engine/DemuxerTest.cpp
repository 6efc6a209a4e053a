#include <gtest/gtest.h>

#include <vector>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/LiveCounters.h"
#include "engine/VideoDemuxer.h"

namespace {

std::string AudioOnly3s() {
    return TestMedia("demux_a3s.m4a", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 -c:a aac");
}

std::string VideoOnly(const std::string& name, const std::string& rate) {
    return TestMedia(name, "-f lavfi -i testsrc2=size=160x120:rate=" + rate +
                               ":duration=3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
}

// Reads to the end; counts per kind and checks each package's kind against its stream.
struct ReadResult {
    int audio = 0, video = 0;
};

ReadResult ReadAll(VideoDemuxer& d) {
    ReadResult r;
    int bVideo = -1, codecId = 0;
    while (AVPacket* pkt = d.readPacket(bVideo, codecId)) {
        const AVStream* st = bVideo ? d.getVideoStream() : d.getAudioStream();
        EXPECT_TRUE(st && pkt->stream_index == st->index) << "package of stream " << pkt->stream_index;
        EXPECT_EQ(codecId, st ? int(st->codecpar->codec_id) : -1);
        (bVideo ? r.video : r.audio)++;
        FreePacket(pkt);
    }
    return r;
}

// Seeks and returns the time of the first package of the wanted kind, or -1.
double SecondsAfterSeek(VideoDemuxer& d, int seconds, bool wantVideo) {
    EXPECT_EQ(d.seek(seconds), 0);
    int bVideo = 0, codecId = 0;
    while (AVPacketPtr pkt{d.readPacket(bVideo, codecId)}) {
        if (bool(bVideo) != wantVideo)
            continue;
        if (wantVideo)
            EXPECT_TRUE(pkt->flags & AV_PKT_FLAG_KEY);
        int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        return ts * av_q2d((wantVideo ? d.getVideoStream() : d.getAudioStream())->time_base);
    }
    return -1;
}

}  // namespace

TEST(Demuxer, FrameRateRules) {
    // Average, then real, then 1 / decoder time base; truncated; outside 1..100 gives 24.
    struct Case {
        AVRational avg, real, codecTb;
        int fps;
    } cases[] = {{{30, 1}, {25, 1}, {1, 50}, 30}, {{0, 1}, {25, 1}, {1, 50}, 25}, {{30, 0}, {0, 0}, {1, 25}, 25},
                 {{30000, 1001}, {0, 0}, {0, 1}, 29}, {{120, 1}, {0, 0}, {0, 1}, 24}, {{1, 2}, {0, 0}, {0, 1}, 24},
                 {{0, 0}, {0, 0}, {0, 1}, 24}, {{100, 1}, {0, 0}, {0, 1}, 100}, {{1, 1}, {0, 0}, {0, 1}, 1}};
    for (const Case& c : cases)
        EXPECT_EQ(VideoDemuxer::FpsFromRates(c.avg, c.real, c.codecTb), c.fps) << c.avg.num << "/" << c.avg.den;
    VideoDemuxer d;  // applied to a real stream's rates
    ASSERT_EQ(d.open(VideoOnly("demux_v120.mp4", "120").c_str()), 0);
    EXPECT_EQ(d.getFps(), 24);
}

TEST(Demuxer, AudioAndVideoClip) {
    int live = g_nLiveVideoDemuxer;
    VideoDemuxer d;
    EXPECT_EQ(g_nLiveVideoDemuxer, live + 1);
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    EXPECT_EQ(d.getDuration(), 10);
    EXPECT_EQ(d.getFps(), 25);
    ASSERT_TRUE(d.getAudioCodecCtx() && d.getVideoCodecCtx());
    EXPECT_EQ(d.getAudioCodecCtx()->sample_rate, 44100);
    EXPECT_EQ(d.getVideoCodecCtx()->width, 320);
    // The decoders need the streams' time bases to stamp their output.
    EXPECT_EQ(av_cmp_q(d.getAudioCodecCtx()->pkt_timebase, d.getAudioStream()->time_base), 0);
    EXPECT_EQ(av_cmp_q(d.getVideoCodecCtx()->pkt_timebase, d.getVideoStream()->time_base), 0);
    ReadResult r = ReadAll(d);
    EXPECT_EQ(r.video, 250);
    EXPECT_NEAR(r.audio, 10 * 44100 / 1024, 5);
}

TEST(Demuxer, AudioOnlyVideoOnlyAndSubtitles) {
    VideoDemuxer a;
    ASSERT_EQ(a.open(AudioOnly3s().c_str()), 0);
    EXPECT_EQ(a.getVideoCodecCtx(), nullptr);
    EXPECT_EQ(a.getFps(), VideoDemuxer::kDefaultFps);
    ReadResult ra = ReadAll(a);
    EXPECT_EQ(ra.video, 0);
    EXPECT_GT(ra.audio, 100);

    VideoDemuxer v;
    ASSERT_EQ(v.open(VideoOnly("demux_v2997.mp4", "30000/1001").c_str()), 0);
    EXPECT_EQ(v.getAudioCodecCtx(), nullptr);
    EXPECT_EQ(v.getFps(), 29);
    ReadResult rv = ReadAll(v);
    EXPECT_EQ(rv.audio, 0);
    EXPECT_EQ(rv.video, 90);

    // Subtitle packages are never returned (ReadAll checks each package's stream).
    std::string srt = TestFile("demux_sub.srt", "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n"
                                                "2\n00:00:01,000 --> 00:00:02,000\nworld\n\n");
    std::string subs = TestMedia("demux_sub.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -i '" + srt +
                                                      "' -map 0 -map 1 -c:v libx264 -preset ultrafast -c:s srt");
    VideoDemuxer s;
    ASSERT_EQ(s.open(subs.c_str()), 0);
    ReadResult rs = ReadAll(s);
    EXPECT_EQ(rs.video, 50);
    EXPECT_EQ(rs.audio, 0);
}

TEST(Demuxer, LastStreamOfATypeWins) {
    std::string path = TestMedia("demux_two_audio.mkv",
                                 "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 "
                                 "-f lavfi -i sine=frequency=880:sample_rate=48000:duration=2 -map 0 -map 1 -c:a aac");
    VideoDemuxer d;
    ASSERT_EQ(d.open(path.c_str()), 0);
    ASSERT_NE(d.getAudioStream(), nullptr);
    EXPECT_EQ(d.getAudioStream()->index, 1);
    EXPECT_EQ(d.getAudioCodecCtx()->sample_rate, 48000);
    EXPECT_GT(ReadAll(d).audio, 0);  // only stream 1's packages
}

TEST(Demuxer, BadFilesAndClosedDemuxerYieldNothing) {
    auto expectEmpty = [](VideoDemuxer& d) {
        EXPECT_EQ(d.getName(), "");
        EXPECT_EQ(d.getAudioCodecCtx(), nullptr);
        EXPECT_EQ(d.getVideoCodecCtx(), nullptr);
        int bVideo = 0, codecId = 0;
        EXPECT_EQ(d.readPacket(bVideo, codecId), nullptr);
        EXPECT_EQ(d.seek(1), -1);
    };
    std::string junk = TestFile("demux_junk.mp4", std::string(4096, '\x5a'));
    for (const std::string& path : {junk, std::string(SIVO_TEST_MEDIA_DIR) + "/no_such_file.mp4"}) {
        SCOPED_TRACE(path);
        VideoDemuxer d;
        EXPECT_EQ(d.open(path.c_str()), -1);
        expectEmpty(d);
    }
    VideoDemuxer d;
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    d.close();
    d.close();  // harmless twice
    expectEmpty(d);
    EXPECT_EQ(d.open(nullptr), -1);
}

TEST(Demuxer, ReopenOfTheSameNameKeepsThePosition) {
    VideoDemuxer d;
    std::string clip = TestClipAv10s();
    auto nextPos = [&] {
        int bVideo = 0, codecId = 0;
        AVPacketPtr pkt{d.readPacket(bVideo, codecId)};
        return pkt ? pkt->pos : int64_t{-1};
    };
    ASSERT_EQ(d.open(clip.c_str()), 0);
    int64_t lastPos = -1;
    for (int i = 0; i < 60; ++i)
        lastPos = nextPos();
    ASSERT_EQ(d.open(clip.c_str()), 0);
    EXPECT_GT(nextPos(), lastPos);
    // Another name in between: the first opens afresh from the start.
    ASSERT_EQ(d.open(AudioOnly3s().c_str()), 0);
    ASSERT_EQ(d.open(clip.c_str()), 0);
    EXPECT_LT(nextPos(), lastPos);
}

TEST(Demuxer, SeekOnVideoOnAudioAndOnNeither) {
    VideoDemuxer av;
    ASSERT_EQ(av.open(TestClipAv10s().c_str()), 0);
    EXPECT_NEAR(SecondsAfterSeek(av, 6, true), 6.0, 0.6);
    EXPECT_NEAR(SecondsAfterSeek(av, 0, true), 0.0, 0.2);

    VideoDemuxer a;
    ASSERT_EQ(a.open(AudioOnly3s().c_str()), 0);
    EXPECT_NEAR(SecondsAfterSeek(a, 2, false), 2.0, 0.3);

    std::string srt = TestFile("demux_sub_only.srt", "1\n00:00:00,000 --> 00:00:01,000\nonly\n\n");
    VideoDemuxer none;
    ASSERT_EQ(none.open(TestMedia("demux_sub_only.mkv", "-i '" + srt + "' -c:s srt").c_str()), 0);
    EXPECT_EQ(none.getAudioStream(), nullptr);
    EXPECT_EQ(none.getVideoStream(), nullptr);
    EXPECT_EQ(SecondsAfterSeek(none, 5, false), -1);  // seek succeeds, nothing to read
}
