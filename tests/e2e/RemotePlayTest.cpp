// Remote playback end to end in one process: a stream listener with a
// VideoSender on an ephemeral port serves a generated clip and the
// process-wide player plays it through its remote source, with the real audio
// layer (dummy driver) and a recording display.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/PlayerFixture.h"
#include "engine/control/NetEntry.h"
#include "stream/StreamTestUtil.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPlayWaitMs = 90000;  // a 10 s clip on a loaded 2-core machine
constexpr int kPromptMs = 5000;     // far beyond a prompt Stop or refusal; only a hang reaches it
constexpr int kSettleMs = 200;      // for a feeder that wrongly goes on to show itself

class RemotePlayTest : public PlayerFixture {
protected:
    // Serves the 10 s clip from a sender on an ephemeral port, paused until Play.
    void StartServedClip(VideoSender* sender = new VideoSender) {
        server = ServeStream(SIVO_TEST_MEDIA_DIR, sender);
        ASSERT_EQ(player.StartPlay("127.0.0.1", server->GetPort(), clip.c_str()), 0);
        EXPECT_TRUE(player.IsPaused());
    }
    bool QueuesEmpty() {
        return player.QueuedAudioPkgs() == 0 && player.QueuedVideoPkgs() == 0 && player.QueuedFrames() == 0;
    }
    double StopMs() {
        auto start = Clock::now();
        Stop();
        return MsSince(start);
    }

    const std::string clip = TestClipAv10s();
    std::unique_ptr<TcpServer> server;
};

// A peer that answers every fetch twice: more answers than were asked for.
class DoubleAnswerSender : public VideoSender {
public:
    TcpConnection* Clone() override {
        auto* clone = new DoubleAnswerSender;
        clone->SetRoot(Root().c_str());
        return clone;
    }
    int ProcessFetchMediaPkg(int type) override {
        VideoSender::ProcessFetchMediaPkg(type);
        return VideoSender::ProcessFetchMediaPkg(type);
    }
};

}  // namespace

TEST_F(RemotePlayTest, SurplusAnswersDoNotStallPlaybackAfterASeek) {
    StartServedClip(new DoubleAnswerSender);
    Play();
    ASSERT_TRUE(WaitFor([&] { return window.frames > 10; }));
    Seek(1);
    const int shownAtSeek = window.frames;
    EXPECT_TRUE(WaitFor([&] { return window.frames > shownAtSeek + 25; }))
        << "queued " << player.QueuedVideoPkgs() << "/" << player.QueuedAudioPkgs();
    EXPECT_LT(StopMs(), kPromptMs);
}

TEST_F(RemotePlayTest, PlaysAServedClipToTheEndAndASeekPlaysAgain) {
    const uint64_t pcmBefore = ThePlaySound().GetPcmBytesWritten();
    StartServedClip();
    Play();
    ASSERT_TRUE(WaitFor([&] { return player.DescriptionReady(); }));
    EXPECT_EQ(GetDuration(), 10);
    ASSERT_TRUE(WaitFor([&] { return player.IsEnded() && QueuesEmpty(); }, kPlayWaitMs));
    // Stale groups of pictures are dropped as in local playback.
    EXPECT_GE(window.frames, 100) << "of 250 pictures";
    EXPECT_EQ(window.width, 320);
    EXPECT_EQ(window.height, 240);
    // 10 s of 44.1 kHz stereo S16 is 1764000 bytes; most of it must have been played.
    EXPECT_GT(ThePlaySound().GetPcmBytesWritten() - pcmBefore, 1500000u);
    EXPECT_GE(GetPosition(), 8);

    const int shownAtEnd = window.frames;
    Seek(2);
    EXPECT_FALSE(player.IsEnded());
    ASSERT_TRUE(WaitFor([&] { return window.frames > shownAtEnd + 25; }))
        << "queued " << player.QueuedVideoPkgs() << "/" << player.QueuedAudioPkgs() << "/" << player.QueuedFrames();
    EXPECT_LT(StopMs(), kPromptMs);
    EXPECT_EQ(GetDuration(), 0);
}

TEST_F(RemotePlayTest, SenderThatVanishesLeavesThePlayerIdle) {
    StartServedClip();
    Play();
    ASSERT_TRUE(WaitFor([&] { return window.frames > 5; }));
    server.reset();  // closes the connections it still holds
    ASSERT_TRUE(WaitFor([&] { return player.RemoteSourceEnded(); }));
    ASSERT_TRUE(WaitFor([&] { return QueuesEmpty(); }, kPlayWaitMs));
    EXPECT_FALSE(player.IsEnded());  // a lost connection is not an end
    EXPECT_LT(window.frames, 250);
    EXPECT_EQ(player.OpenLocal(clip.c_str()), -1);  // the remote name is still remembered
    EXPECT_LT(StopMs(), kPromptMs);
}

TEST_F(RemotePlayTest, RefusalsAndNothingListeningPlayNothing) {
    EXPECT_EQ(player.StartPlay(nullptr, 1, "x"), -1);
    EXPECT_EQ(player.StartPlay("127.0.0.1", 1, nullptr), -1);
    StopAll();  // before StartTcp it only stops the player
    EXPECT_EQ(StreamListener(), nullptr);
    EXPECT_EQ(StopTcpSvr(), 0);

    auto start = Clock::now();
    EXPECT_EQ(player.StartPlay("127.0.0.1", ClosedPort(), "anything.mp4"), 0);
    Play();
    EXPECT_LT(MsSince(start), kPromptMs);
    EXPECT_TRUE(player.RemoteSourceEnded());
    EXPECT_FALSE(WaitFor([&] { return player.DescriptionReady() || window.frames > 0 || !QueuesEmpty(); }, kSettleMs));
    EXPECT_LT(StopMs(), kPromptMs);
}
