#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "common/TestMedia.h"
#include "engine/MediaPlayer.h"
#include "engine/control/PlayEntry.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

namespace {

std::string Clip4s() {
    return TestMedia("ctl_av4s.mp4",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 "
                     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -ac 2 -shortest");
}

// Real audio output with the dummy (real-time) driver, so the audio decode
// thread is paced as in a real playback.
class Controller : public ::testing::Test {
protected:
    void SetUp() override { ThePlaySound().CreateThread(); }
    void TearDown() override {
        player.Stop();
        ThePlaySound().StopThread();
    }
    int Queued() { return player.QueuedAudioPkgs() + player.QueuedVideoPkgs(); }

    MediaPlayer player;
};

}  // namespace

TEST_F(Controller, OpenStopAndOpenAgainPlaysFromTheStart) {
    std::string clip = TestClipAv10s();
    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);
    EXPECT_FALSE(player.m_bPause);
    EXPECT_TRUE(player.m_bLocal);
    EXPECT_EQ(player.m_nDuration, 10);
    EXPECT_EQ(player.m_nFps, 25);
    EXPECT_EQ(player.m_nCodedWidth, 320);
    EXPECT_EQ(player.m_nCodedHeight, 240);
    ASSERT_TRUE(WaitFor([&] { return player.m_dVideoClock >= 3.0; }));

    EXPECT_EQ(player.Stop(), 0);
    EXPECT_TRUE(player.m_bQuit);
    EXPECT_EQ(player.m_nDuration, 0);
    EXPECT_EQ(player.m_strMedia, "");
    EXPECT_EQ(Queued(), 0);
    EXPECT_EQ(player.QueuedFrames(), 0);
    EXPECT_EQ(player.m_dAudioTimeBase, 1000.0);
    EXPECT_EQ(player.m_pAudioCodec, nullptr);
    EXPECT_EQ(player.m_pVideoCodec, nullptr);

    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);
    EXPECT_EQ(player.m_dVideoClock, 0.0);
    EXPECT_FALSE(player.m_bQuit);
    ASSERT_TRUE(WaitFor([&] { return player.m_dVideoClock > 0.0; }));
    EXPECT_LT(player.m_dVideoClock, 2.0);
}

TEST_F(Controller, SeekFlushesQueuedPicturesAndResumes) {
    ASSERT_EQ(player.OpenLocal(TestClipAv10s().c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return player.m_dVideoClock >= 0.5; }));
    player.m_bPause = true;
    // While paused the decoder fills the picture queue with pictures near the start.
    ASSERT_TRUE(WaitFor([&] { return player.QueuedFrames() == MediaPlayer::kMaxQueuedFrames; }));
    double before = player.m_dVideoClock;
    EXPECT_LT(before, 3.0);

    EXPECT_EQ(player.Seek(8), 0);
    EXPECT_FALSE(player.m_bPause);
    // Watch the pictures presented after the seek: the 30 queued ones from
    // before (all before 4 s) must not appear; the seek lands on a key frame
    // shortly before 8 s.
    std::set<double> stale;
    double last = before;
    ASSERT_TRUE(WaitFor([&] {
        double v = player.m_dVideoClock;
        if (v != last && v < 4.0)
            stale.insert(v);
        last = v;
        return v >= 6.0;
    }));
    // Only pictures still inside the video decoder's reorder delay may slip through.
    EXPECT_LE(stale.size(), 3u) << "first stale picture at " << *stale.begin();
    ASSERT_TRUE(WaitFor([&] { return player.m_dAudioClock >= 6.0; }));
}

TEST_F(Controller, EndOfFileLetsQueuedPackagesPlayOutAndSeekReadsAgain) {
    ASSERT_EQ(player.OpenLocal(Clip4s().c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd.load(); }, 60000));
    // The end is reached while plenty still waits to be played.
    EXPECT_GT(Queued(), 10);
    ASSERT_TRUE(WaitFor([&] { return Queued() == 0 && player.QueuedFrames() == 0; }, 60000));
    EXPECT_GE(player.m_dAudioClock, 3.5);
    EXPECT_GE(player.m_dVideoClock, 3.5);
    EXPECT_TRUE(player.m_bEnd);

    player.m_bPause = true;
    EXPECT_EQ(player.Seek(0), 0);
    EXPECT_FALSE(player.m_bEnd);
    EXPECT_FALSE(player.m_bPause);
    ASSERT_TRUE(WaitFor([&] { return player.m_dVideoClock < 1.0; }));
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd.load(); }, 60000));
}

TEST_F(Controller, RefusedOpenChangesOnlyItsFlags) {
    ASSERT_EQ(player.OpenLocal(Clip4s().c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return player.m_dAudioClock > 0.5 && player.m_dVideoClock > 0.5; }));
    player.m_bPause = true;
    player.m_bInfoReady = true;

    EXPECT_EQ(player.OpenLocal(nullptr), -1);
    EXPECT_FALSE(player.m_bPause);
    EXPECT_FALSE(player.m_bInfoReady);
    EXPECT_EQ(player.m_dAudioClock, 0.0);
    EXPECT_EQ(player.m_dVideoClock, 0.0);
    EXPECT_EQ(player.m_nDuration, 4);
    EXPECT_FALSE(player.m_bQuit);
    EXPECT_TRUE(player.m_bLocal);

    // A recorded name is refused the same way; playback goes on.
    player.m_strMedia = "recorded-by-a-remote-start";
    player.m_bPause = true;
    EXPECT_EQ(player.OpenLocal("recorded-by-a-remote-start"), -1);
    EXPECT_FALSE(player.m_bPause);
    EXPECT_EQ(player.m_strMedia, "recorded-by-a-remote-start");
    EXPECT_TRUE(WaitFor([&] { return player.m_dAudioClock > 0.0; }));
}

TEST_F(Controller, UnopenableFileIsAnEmptyMediumThatEnds) {
    std::string junk = TestFile("ctl_junk.mp4", std::string(2048, '\x33'));
    ASSERT_EQ(player.OpenLocal(junk.c_str()), 0);
    EXPECT_EQ(player.m_nDuration, 0);
    EXPECT_EQ(player.m_pAudioCodecCtx, nullptr);
    EXPECT_EQ(player.m_pVideoCodecCtx, nullptr);
    EXPECT_TRUE(WaitFor([&] { return player.m_bEnd.load(); }));
    EXPECT_EQ(Queued(), 0);
    // A good file afterwards plays normally.
    ASSERT_EQ(player.OpenLocal(Clip4s().c_str()), 0);
    EXPECT_FALSE(player.m_bEnd);
    EXPECT_TRUE(WaitFor([&] { return player.m_dVideoClock > 0.0; }));
}

TEST_F(Controller, QueueLimitsHoldUnderLoad) {
    ASSERT_EQ(player.OpenLocal(TestClipAv10s().c_str()), 0);
    int maxPkgs = 0, maxFrames = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(player.m_mutex);
            maxPkgs = std::max(maxPkgs, static_cast<int>(player.m_audioPkgs.size() + player.m_videoPkgs.size()));
            maxFrames = std::max(maxFrames, static_cast<int>(player.m_frames.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(maxPkgs, MediaPlayer::kMaxQueuedPkgs);
    EXPECT_LE(maxFrames, MediaPlayer::kMaxQueuedFrames);
    // The limits were actually reached, so they were tested.
    EXPECT_GE(maxPkgs, MediaPlayer::kMaxQueuedPkgs - 5);
    EXPECT_GE(maxFrames, MediaPlayer::kMaxQueuedFrames - 2);
}

// The entry functions over the process-wide player.
class ControllerEntries : public Controller {
protected:
    void TearDown() override {
        Stop();
        Controller::TearDown();
    }
};

TEST_F(ControllerEntries, PlayPauseSeekAndQueries) {
    EXPECT_EQ(&ThePlayer(), &ThePlayer());
    LocalPlay(Clip4s().c_str());
    EXPECT_FALSE(ThePlayer().m_bPause);
    EXPECT_EQ(GetDuration(), 4);
    Pause();
    EXPECT_TRUE(ThePlayer().m_bPause);
    Seek(1);
    EXPECT_FALSE(ThePlayer().m_bPause);
    Pause();
    Play();
    EXPECT_FALSE(ThePlayer().m_bPause);
    ASSERT_TRUE(WaitFor([] { return GetPosition() >= 2; }));

    // Another file replaces the first and starts unpaused.
    Pause();
    LocalPlay(TestClipAv10s().c_str());
    EXPECT_FALSE(ThePlayer().m_bPause);
    EXPECT_EQ(GetDuration(), 10);
    EXPECT_EQ(GetPosition(), 0);

    Stop();
    EXPECT_EQ(GetDuration(), 0);
    ThePlayer().m_dAudioClock = 12.9;
    EXPECT_EQ(GetPosition(), 12);
    ThePlayer().m_dAudioClock = -0.5;
    EXPECT_EQ(GetPosition(), 0);
}
