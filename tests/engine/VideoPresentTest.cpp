// The presentation thread end to end: a local clip played by the controller,
// pictures caught at the display hook.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "common/TestMedia.h"
#include "engine/MediaPlayer.h"
#include "output/VideoWindow.h"

namespace {

constexpr auto kEventTimeout = std::chrono::seconds(30);   // loaded CI machine
constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr auto kQuietSpell = std::chrono::milliseconds(400);

bool WaitFor(const std::function<bool()>& cond) {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

// Counts pictures and keeps the centre pixel of the last one (B, G, R).
class CatchWindow : public VideoWindow {
public:
    std::atomic<int> frames{0};
    std::atomic<int> width{0}, height{0};
    std::atomic<int> b{-1}, g{-1}, r{-1};

    void SetVideoSize(int w, int h) override {
        width = w;
        height = h;
    }
    void ShowFrame(const uint8_t* bits) override {
        const uint8_t* px = bits + (height / 2) * DibStride(width) + (width / 2) * 3;
        b = px[0];
        g = px[1];
        r = px[2];
        ++frames;
    }
};

class VideoPresent : public ::testing::Test {
protected:
    void SetUp() override { g_pVideoWnd = &window; }
    void TearDown() override {
        player.Stop();
        g_pVideoWnd = nullptr;
    }
    CatchWindow window;
    MediaPlayer player;
};

} // namespace

TEST_F(VideoPresent, ShowsBgrPicturesAtTheirOwnSize) {
    // Video only, a flat orange: red and blue must not swap on the way.
    std::string clip = TestMedia("video-orange-2s.mp4",
                                 "-f lavfi -i color=c=0xff8000:size=96x64:rate=25:duration=2 "
                                 "-c:v libx264 -preset veryfast -pix_fmt yuv420p");
    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return window.frames >= 3; }));
    EXPECT_EQ(window.width, 96);
    EXPECT_EQ(window.height, 64);
    EXPECT_NEAR(window.r, 0xff, 12);
    EXPECT_NEAR(window.g, 0x80, 12);
    EXPECT_NEAR(window.b, 0x00, 12);
    EXPECT_GT(player.m_dVideoClock, 0.0);
}

TEST_F(VideoPresent, PauseHoldsPicturesAndDecodingStopsAtTheLimit) {
    // One key picture, so no package is pruned.
    std::string clip = TestMedia("video-only-onekey-10s.mp4",
                                 "-f lavfi -i testsrc2=size=160x120:rate=25:duration=10 "
                                 "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 300");
    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);
    // Decoding outruns presentation: the picture queue fills up while playing.
    ASSERT_TRUE(WaitFor([&] {
        return window.frames >= 1 && player.QueuedFrames() >= MediaPlayer::kMaxQueuedFrames;
    }));
    player.m_bPause = true;
    ASSERT_TRUE(WaitFor([&] { return player.QueuedFrames() >= MediaPlayer::kMaxQueuedFrames; }));

    // A picture taken just before the pause may still reach the display.
    std::this_thread::sleep_for(kQuietSpell);
    const int shown = window.frames;
    std::this_thread::sleep_for(kQuietSpell);
    EXPECT_EQ(window.frames, shown);
    EXPECT_EQ(player.QueuedFrames(), MediaPlayer::kMaxQueuedFrames);

    player.m_bPause = false;
    ASSERT_TRUE(WaitFor([&] { return window.frames > shown + 5; }));
}
