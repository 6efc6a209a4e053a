#include <gtest/gtest.h>

#include <cmath>
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

std::string WithSubtitles() {
    std::string srt = TestFile("demux_sub.srt",
                               "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n"
                               "2\n00:00:01,000 --> 00:00:02,000\nworld\n\n");
    return TestMedia("demux_sub.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -i '" + srt +
                                          "' -map 0 -map 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s srt");
}

double Seconds(const AVPacket* pkt, const AVStream* st) {
    int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    return ts * av_q2d(st->time_base);
}

struct ReadResult {
    int audio = 0;
    int video = 0;
    std::vector<int> indices;
};

ReadResult ReadAll(VideoDemuxer& d) {
    ReadResult r;
    int bVideo = -1, codecId = 0;
    while (AVPacket* pkt = d.readPacket(bVideo, codecId)) {
        (bVideo ? r.video : r.audio)++;
        r.indices.push_back(pkt->stream_index);
        FreePacket(pkt);
    }
    return r;
}

}  // namespace

TEST(DemuxerFps, RulesOfPreference) {
    EXPECT_EQ(VideoDemuxer::FpsFromRates({30, 1}, {25, 1}, {1, 50}), 30);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({0, 1}, {25, 1}, {1, 50}), 25);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({30, 0}, {0, 0}, {1, 25}), 25);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({30000, 1001}, {0, 0}, {0, 1}), 29);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({120, 1}, {0, 0}, {0, 1}), 24);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({1, 2}, {0, 0}, {0, 1}), 24);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({0, 0}, {0, 0}, {0, 1}), 24);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({100, 1}, {0, 0}, {0, 1}), 100);
    EXPECT_EQ(VideoDemuxer::FpsFromRates({1, 1}, {0, 0}, {0, 1}), 1);
}

TEST(DemuxerFps, FromGeneratedFiles) {
    struct Case {
        const char* name;
        const char* rate;
        int fps;
    } cases[] = {{"demux_v25.mp4", "25", 25}, {"demux_v2997.mp4", "30000/1001", 29}, {"demux_v120.mp4", "120", 24}};
    for (const Case& c : cases) {
        VideoDemuxer d;
        ASSERT_EQ(d.open(VideoOnly(c.name, c.rate).c_str()), 0) << c.name;
        EXPECT_EQ(d.getFps(), c.fps) << c.name;
    }
}

TEST(DemuxerOpen, AudioAndVideoClip) {
    VideoDemuxer d;
    std::string clip = TestClipAv10s();
    ASSERT_EQ(d.open(clip.c_str()), 0);
    EXPECT_EQ(d.getDuration(), 10);
    EXPECT_EQ(d.getFps(), 25);
    ASSERT_NE(d.getAudioCodecCtx(), nullptr);
    ASSERT_NE(d.getVideoCodecCtx(), nullptr);
    EXPECT_EQ(d.getAudioCodecCtx()->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(d.getVideoCodecCtx()->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(d.getVideoCodecCtx()->width, 320);
    EXPECT_EQ(d.getAudioCodecCtx()->sample_rate, 44100);
    EXPECT_EQ(av_cmp_q(d.getAudioCodecCtx()->pkt_timebase, d.getAudioStream()->time_base), 0);
    EXPECT_EQ(av_cmp_q(d.getVideoCodecCtx()->pkt_timebase, d.getVideoStream()->time_base), 0);
    EXPECT_GT(d.getAudioTimeBase(), 0.0);
    EXPECT_GT(d.getVideoTimeBase(), 0.0);

    int bVideo = -1, codecId = 0, audio = 0, video = 0;
    while (AVPacket* pkt = d.readPacket(bVideo, codecId)) {
        if (bVideo) {
            ++video;
            EXPECT_EQ(codecId, AV_CODEC_ID_H264);
            EXPECT_EQ(pkt->stream_index, d.getVideoStream()->index);
        } else {
            ++audio;
            EXPECT_EQ(codecId, AV_CODEC_ID_AAC);
            EXPECT_EQ(pkt->stream_index, d.getAudioStream()->index);
        }
        FreePacket(pkt);
    }
    EXPECT_EQ(video, 250);
    EXPECT_NEAR(audio, 10 * 44100 / 1024, 5);
}

TEST(DemuxerOpen, AudioOnlyAndVideoOnly) {
    VideoDemuxer a;
    ASSERT_EQ(a.open(AudioOnly3s().c_str()), 0);
    EXPECT_EQ(a.getVideoStream(), nullptr);
    EXPECT_EQ(a.getVideoCodecCtx(), nullptr);
    EXPECT_EQ(a.getVideoTimeBase(), 0.0);
    EXPECT_EQ(a.getFps(), VideoDemuxer::kDefaultFps);
    ReadResult ra = ReadAll(a);
    EXPECT_EQ(ra.video, 0);
    EXPECT_GT(ra.audio, 100);

    VideoDemuxer v;
    ASSERT_EQ(v.open(VideoOnly("demux_v25.mp4", "25").c_str()), 0);
    EXPECT_EQ(v.getAudioStream(), nullptr);
    EXPECT_EQ(v.getAudioCodecCtx(), nullptr);
    ReadResult rv = ReadAll(v);
    EXPECT_EQ(rv.audio, 0);
    EXPECT_EQ(rv.video, 75);
}

TEST(DemuxerOpen, LastStreamOfATypeWins) {
    std::string path = TestMedia("demux_two_audio.mkv",
                                 "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 "
                                 "-f lavfi -i sine=frequency=880:sample_rate=48000:duration=2 "
                                 "-map 0 -map 1 -c:a aac");
    VideoDemuxer d;
    ASSERT_EQ(d.open(path.c_str()), 0);
    ASSERT_NE(d.getAudioStream(), nullptr);
    EXPECT_EQ(d.getAudioStream()->index, 1);
    EXPECT_EQ(d.getAudioCodecCtx()->sample_rate, 48000);
    ReadResult r = ReadAll(d);
    EXPECT_GT(r.audio, 0);
    for (int index : r.indices)
        EXPECT_EQ(index, 1);
}

TEST(DemuxerOpen, SubtitlePacketsAreNeverReturned) {
    VideoDemuxer d;
    ASSERT_EQ(d.open(WithSubtitles().c_str()), 0);
    ASSERT_NE(d.getVideoStream(), nullptr);
    int videoIndex = d.getVideoStream()->index;
    ReadResult r = ReadAll(d);
    EXPECT_EQ(r.video, 50);
    EXPECT_EQ(r.audio, 0);
    for (int index : r.indices)
        EXPECT_EQ(index, videoIndex);
}

TEST(DemuxerOpen, BadInputFailsClosed) {
    std::string junk = TestFile("demux_junk.mp4", std::string(4096, '\x5a'));
    std::string missing = std::string(SIVO_TEST_MEDIA_DIR) + "/no_such_file.mp4";
    for (const std::string& path : {junk, missing}) {
        VideoDemuxer d;
        EXPECT_EQ(d.open(path.c_str()), -1) << path;
        EXPECT_EQ(d.getName(), "");
        EXPECT_EQ(d.getAudioCodecCtx(), nullptr);
        EXPECT_EQ(d.getVideoCodecCtx(), nullptr);
        int bVideo = 0, codecId = 0;
        EXPECT_EQ(d.readPacket(bVideo, codecId), nullptr);
        EXPECT_EQ(d.seek(1), -1);
    }
    VideoDemuxer d;
    EXPECT_EQ(d.open(nullptr), -1);
}

TEST(DemuxerOpen, LiveCounterFollowsObjects) {
    int before = g_nLiveVideoDemuxer;
    {
        VideoDemuxer a, b;
        EXPECT_EQ(g_nLiveVideoDemuxer, before + 2);
    }
    EXPECT_EQ(g_nLiveVideoDemuxer, before);
}

TEST(DemuxerOpen, ReopenOfSameNameKeepsPosition) {
    VideoDemuxer d;
    std::string clip = TestClipAv10s();
    ASSERT_EQ(d.open(clip.c_str()), 0);
    int bVideo = 0, codecId = 0;
    int64_t lastPos = -1;
    for (int i = 0; i < 60; ++i) {
        AVPacket* pkt = d.readPacket(bVideo, codecId);
        ASSERT_NE(pkt, nullptr);
        lastPos = pkt->pos;
        FreePacket(pkt);
    }
    EXPECT_EQ(d.open(clip.c_str()), 0);
    AVPacket* pkt = d.readPacket(bVideo, codecId);
    ASSERT_NE(pkt, nullptr);
    EXPECT_GT(pkt->pos, lastPos);
    FreePacket(pkt);

    // Another name replaces it; the first name then opens afresh from the start.
    ASSERT_EQ(d.open(AudioOnly3s().c_str()), 0);
    ASSERT_EQ(d.open(clip.c_str()), 0);
    pkt = d.readPacket(bVideo, codecId);
    ASSERT_NE(pkt, nullptr);
    EXPECT_LT(pkt->pos, lastPos);
    FreePacket(pkt);
}

TEST(DemuxerOpen, ReadAfterCloseReturnsNull) {
    VideoDemuxer d;
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    d.close();
    int bVideo = 0, codecId = 0;
    EXPECT_EQ(d.readPacket(bVideo, codecId), nullptr);
    EXPECT_EQ(d.getName(), "");
    EXPECT_EQ(d.getVideoCodecCtx(), nullptr);
    EXPECT_EQ(d.seek(0), -1);
    d.close();  // harmless twice
}

TEST(DemuxerSeek, OnVideoStream) {
    VideoDemuxer d;
    ASSERT_EQ(d.open(TestClipAv10s().c_str()), 0);
    int bVideo = 0, codecId = 0;
    ASSERT_EQ(d.seek(6), 0);
    AVPacket* pkt = nullptr;
    // The first video packet after the seek is the key frame at the target.
    while ((pkt = d.readPacket(bVideo, codecId)) && !bVideo)
        FreePacket(pkt);
    ASSERT_NE(pkt, nullptr);
    EXPECT_NEAR(Seconds(pkt, d.getVideoStream()), 6.0, 0.6);
    EXPECT_TRUE(pkt->flags & AV_PKT_FLAG_KEY);
    FreePacket(pkt);

    ASSERT_EQ(d.seek(0), 0);
    while ((pkt = d.readPacket(bVideo, codecId)) && !bVideo)
        FreePacket(pkt);
    ASSERT_NE(pkt, nullptr);
    EXPECT_NEAR(Seconds(pkt, d.getVideoStream()), 0.0, 0.2);
    FreePacket(pkt);
}

TEST(DemuxerSeek, OnAudioOnlyFile) {
    VideoDemuxer d;
    ASSERT_EQ(d.open(AudioOnly3s().c_str()), 0);
    ASSERT_EQ(d.seek(2), 0);
    int bVideo = 0, codecId = 0;
    AVPacket* pkt = d.readPacket(bVideo, codecId);
    ASSERT_NE(pkt, nullptr);
    EXPECT_EQ(bVideo, 0);
    EXPECT_NEAR(Seconds(pkt, d.getAudioStream()), 2.0, 0.3);
    FreePacket(pkt);
}

TEST(DemuxerSeek, WithoutAudioOrVideoDoesNothing) {
    std::string srt = TestFile("demux_sub_only.srt", "1\n00:00:00,000 --> 00:00:01,000\nonly\n\n");
    std::string path = TestMedia("demux_sub_only.mkv", "-i '" + srt + "' -c:s srt");
    VideoDemuxer d;
    ASSERT_EQ(d.open(path.c_str()), 0);
    EXPECT_EQ(d.getAudioStream(), nullptr);
    EXPECT_EQ(d.getVideoStream(), nullptr);
    EXPECT_EQ(d.seek(5), 0);
    int bVideo = 0, codecId = 0;
    EXPECT_EQ(d.readPacket(bVideo, codecId), nullptr);
}
