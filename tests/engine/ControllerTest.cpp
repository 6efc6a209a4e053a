// The process-wide controller playing local files through the entry
// functions, with the real audio layer (dummy driver, real time) and a display
// that records what it is shown.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "common/IdleRecver.h"
#include "common/PlayerFixture.h"
#include "common/TestMedia.h"
#include "engine/MediaPlayer.h"
#include "engine/control/PlayEntry.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

namespace {

constexpr int kQuietSpellMs = 400;  // long enough for a running presenter to show a picture
constexpr int kLongWaitMs = 60000;  // a whole medium played out on a loaded machine

class Controller : public PlayerFixture {
protected:
    int Queued() { return player.QueuedAudioPkgs() + player.QueuedVideoPkgs(); }
};

}  // namespace

TEST_F(Controller, OpenStopAndOpenAgainPlaysFromTheStartWithinTheQueueLimits) {
    std::string clip = TestClipAv10s();
    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);
    EXPECT_FALSE(player.IsPaused());
    EXPECT_EQ(GetDuration(), 10);
    int maxPkgs = 0, maxFrames = 0;
    ASSERT_TRUE(WaitFor([&] {
        maxPkgs = std::max(maxPkgs, Queued());
        maxFrames = std::max(maxFrames, player.QueuedFrames());
        return player.VideoClock() >= 3.0;
    }));
    // The two counts are read one after the other: one package may move between them.
    EXPECT_LE(maxPkgs, MediaPlayer::kMaxQueuedPkgs + 1);
    EXPECT_LE(maxFrames, MediaPlayer::kMaxQueuedFrames);
    EXPECT_GE(maxPkgs, MediaPlayer::kMaxQueuedPkgs - 5);  // reached, so tested
    EXPECT_GE(maxFrames, MediaPlayer::kMaxQueuedFrames - 2);

    Stop();
    EXPECT_EQ(GetDuration(), 0);
    EXPECT_EQ(Queued() + player.QueuedFrames(), 0);
    ASSERT_EQ(player.OpenLocal(clip.c_str()), 0);  // the same file again, from its start
    double first = 0;
    ASSERT_TRUE(WaitFor([&] { return (first = player.VideoClock()) > 0.0; }));
    EXPECT_LT(first, 2.0);

    Pause();  // another file replaces the first and starts unpaused
    LocalPlay(TestClipAv4s().c_str());
    EXPECT_FALSE(player.IsPaused());
    EXPECT_EQ(GetDuration(), 4);
}

TEST_F(Controller, PauseHoldsPicturesAndSeekFlushesThem) {
    LocalPlay(TestClipAv10s().c_str());
    ASSERT_TRUE(WaitFor([&] { return window.frames > 0 && player.VideoClock() >= 0.5; }));
    Pause();
    // While paused the decoder fills the picture queue with pictures near the start.
    ASSERT_TRUE(WaitFor([&] { return player.QueuedFrames() == MediaPlayer::kMaxQueuedFrames; }));
    // A picture taken just before the pause may still reach the display.
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietSpellMs));
    const int shown = window.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietSpellMs));
    EXPECT_EQ(window.frames, shown);
    double last = player.VideoClock();
    EXPECT_LT(last, 3.0);

    Seek(8);  // and resume
    EXPECT_FALSE(player.IsPaused());
    // Neither the queued pictures (all before 4 s) nor those inside the
    // decoder may be presented.
    std::set<double> stale;
    ASSERT_TRUE(WaitFor([&] {
        double v = player.VideoClock();
        if (v != last && v < 4.0)
            stale.insert(v);
        last = v;
        return v >= 6.0;
    }));
    EXPECT_TRUE(stale.empty()) << *stale.begin();
    ASSERT_TRUE(WaitFor([&] { return GetPosition() >= 6; }));
}

TEST_F(Controller, EndOfFileLetsQueuedPackagesPlayOutAndSeekClearsIt) {
    const int decodedBefore = player.FramesDecoded();  // the player lives as long as the process
    LocalPlay(TestClipAv4s().c_str());
    int queuedAtEnd = 0;
    ASSERT_TRUE(WaitFor([&] {
        queuedAtEnd = Queued();
        return player.IsEnded();
    }, kLongWaitMs));
    EXPECT_GT(queuedAtEnd, 10);  // the end is reached while plenty still waits
    ASSERT_TRUE(WaitFor([&] { return Queued() == 0 && player.QueuedFrames() == 0; }, kLongWaitMs));
    // A key picture every second: a player that keeps up loses none of them.
    EXPECT_TRUE(WaitFor([&] { return window.frames == player.FramesDecoded() - decodedBefore; }));  // the last in flight
    EXPECT_GE(window.frames, 98);
    EXPECT_GE(player.AudioClock(), 3.5);
    EXPECT_GE(player.VideoClock(), 3.5);

    Pause();
    EXPECT_EQ(player.Seek(0), 0);
    EXPECT_FALSE(player.IsEnded());
    EXPECT_FALSE(player.IsPaused());
    ASSERT_TRUE(WaitFor([&] { return player.VideoClock() < 1.0; }));
    ASSERT_TRUE(WaitFor([&] { return player.IsEnded(); }, kLongWaitMs));
}

// A refused open (no path, or the name a remote start recorded) changes
// nothing: what plays goes on, what is paused stays paused.
TEST_F(Controller, RefusedOpenChangesNothing) {
    LocalPlay(TestClipAv4s().c_str());
    ASSERT_TRUE(WaitFor([&] { return player.AudioClock() > 0.5 && player.VideoClock() > 0.5; }));
    EXPECT_EQ(player.OpenLocal(nullptr), -1);
    EXPECT_FALSE(player.IsPaused());
    EXPECT_EQ(GetDuration(), 4);
    const double clock = player.VideoClock();
    EXPECT_TRUE(WaitFor([&] { return player.VideoClock() > clock; }));  // playback goes on

    MediaPlayer remote;
    remote.SetRecverFactory([] { return new IdleRecver; });
    ASSERT_EQ(remote.StartPlay("127.0.0.1", 1, "recorded-by-a-remote-start"), 0);
    EXPECT_EQ(remote.OpenLocal("recorded-by-a-remote-start"), -1);
    EXPECT_TRUE(remote.IsPaused());
    EXPECT_FALSE(remote.IsEnded());
    EXPECT_EQ(remote.OpenLocal(TestClipAv4s().c_str()), 0);  // any other name plays
    EXPECT_FALSE(remote.IsPaused());
    EXPECT_EQ(remote.Duration(), 4);
}

TEST_F(Controller, UnopenableFileEndsAtOnceAndTheNextPlaysInItsOwnColours) {
    ASSERT_EQ(player.OpenLocal(TestFile("ctl_junk.mp4", std::string(2048, '\x33')).c_str()), 0);
    EXPECT_EQ(GetDuration(), 0);
    EXPECT_TRUE(WaitFor([&] { return player.IsEnded(); }));
    EXPECT_TRUE(WaitFor([&] { return Queued() == 0; }));

    // Flat colours must come out as they went in: red and blue never swap,
    // and the matrix and range are the ones the stream states (an untagged
    // HD picture is BT.709, an untagged SD one BT.601).
    // Made from (192,48,32); `shown` is the exact decode of what was stored.
    struct Case { const char* name; const char* size; const char* encode; int made, shown; } cases[] = {
        {"orange-sd.mp4", "96x64", "", 0xff8000, 0xff8000},
        {"red-709-tagged.mp4", "1280x720",
         "-vf scale=out_color_matrix=bt709:out_range=tv -colorspace bt709 -color_primaries bt709 -color_trc bt709",
         0xc03020, 0xbe2e1f},
        {"red-709-untagged.mp4", "1280x720", "-vf scale=out_color_matrix=bt709:out_range=tv", 0xc03020, 0xbe2e1f},
        {"red-601-tagged.mp4", "320x240", "-vf scale=out_color_matrix=bt601:out_range=tv -colorspace smpte170m",
         0xc03020, 0xc03121},
        {"red-601-full.mp4", "320x240",
         "-vf scale=out_color_matrix=bt601:out_range=pc -colorspace smpte170m -color_range pc", 0xc03020, 0xc03121},
    };
    for (const Case& c : cases) {
        char colour[16];
        std::snprintf(colour, sizeof colour, "0x%06x", c.made);
        const std::string clip = TestMedia(std::string("ctl-") + c.name,
                                           std::string("-f lavfi -i color=c=") + colour + ":size=" + c.size +
                                               ":rate=25:duration=1 " + c.encode +
                                               " -c:v libx264 -preset veryfast -qp 0 -pix_fmt yuv420p");
        window.frames = 0;
        LocalPlay(clip.c_str());
        ASSERT_TRUE(WaitFor([&] { return window.frames >= 3; })) << c.name;
        EXPECT_EQ(std::to_string(window.width) + "x" + std::to_string(window.height), c.size);
        const int centre = window.centre;
        for (int shift : {16, 8, 0})
            EXPECT_NEAR(centre >> shift & 0xff, c.shown >> shift & 0xff, 3) << c.name << " shift " << shift;
    }
}

namespace {

// Keeps the pixel near the bottom-left corner of the last picture as 0xRRGGBB.
class CornerWindow : public RecordingWindow {
public:
    std::atomic<int> bottomLeft{-1};
    void OnPicture(const uint8_t* bits) override { bottomLeft = Rgb(bits, 5, height - 5); }
};

}  // namespace

// The shape shown is the one the stream asks for: its sample aspect ratio
// (a PAL picture at 64:45 is 16:9, not 5:4) and the turn a phone recorded
// (the red corner at the top left, turned a quarter left, lands bottom left).
TEST_F(Controller, PicturesShowInTheShapeTheStreamAsks) {
    const std::string red = "color=c=blue:s=320x240:r=25:d=1,drawbox=x=0:y=0:w=80:h=60:c=red:t=fill";
    const std::string upright = TestMedia("ctl-corner.mp4", "-f lavfi -i \"" + red +
                                                                "\" -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p");
    struct Case { std::string clip; int width, height; int corner; } cases[] = {
        {TestMedia("ctl-pal-wide.mp4", "-f lavfi -i testsrc2=s=720x576:r=25:d=1 -vf setsar=64/45 -c:v libx264 "
                                       "-preset ultrafast -pix_fmt yuv420p"), 1024, 576, -1},
        {TestMedia("ctl-turned.mp4", "-i " + upright + " -c copy -metadata:s:v:0 rotate=90"), 240, 320, 0xff0000},
        {upright, 320, 240, 0x0000ff},
    };
    CornerWindow corner;
    SetVideoWindow(&corner);
    for (const Case& c : cases) {
        corner.frames = 0;
        LocalPlay(c.clip.c_str());
        ASSERT_TRUE(WaitFor([&] { return corner.frames >= 2; })) << c.clip;
        EXPECT_EQ(corner.width, c.width) << c.clip;
        EXPECT_EQ(corner.height, c.height) << c.clip;
        if (c.corner >= 0) {
            for (int shift : {16, 8, 0})
                EXPECT_NEAR(corner.bottomLeft >> shift & 0xff, c.corner >> shift & 0xff, 8) << c.clip;
        }
    }
    SetVideoWindow(&window);
}

namespace {

// Measures combing in the last picture: how far each row strays from the
// mean of its neighbours (fields of two moments interleaved stray far).
class CombWindow : public RecordingWindow {
public:
    std::atomic<double> comb{-1.0};
    void OnPicture(const uint8_t* bits) override {
        const int w = width, h = height;
        double sum = 0;
        for (int y = 1; y + 1 < h; ++y)
            for (int x = 0; x < w * 4; ++x) {
                const uint8_t* row = bits + size_t(y) * w * 4 + x;
                sum += std::abs(row[0] - (row[-w * 4] + row[w * 4]) / 2.0);
            }
        comb = sum / (double(w) * 3 * (h - 2));  // the fourth byte never differs
    }
};

}  // namespace

// Interlaced video (the stream says so) is shown deinterlaced: the moving
// picture loses the comb of its two fields, and keeps its rate and stamps.
TEST_F(Controller, InterlacedVideoIsShownWhole) {
    const std::string clip = TestMedia("ctl-interlaced.mp4",
        "-f lavfi -i testsrc2=s=320x240:r=50:d=2 -vf tinterlace=interleave_top,setfield=tff "
        "-c:v libx264 -preset ultrafast -flags +ildct+ilme -pix_fmt yuv420p");
    const std::string progressive = TestMedia("ctl-progressive.mp4",
        "-f lavfi -i testsrc2=s=320x240:r=25:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    CombWindow combed;
    SetVideoWindow(&combed);
    double combs[2];
    for (int i = 0; i < 2; ++i) {
        combed.frames = 0;
        LocalPlay((i == 0 ? clip : progressive).c_str());
        ASSERT_TRUE(WaitFor([&] { return combed.frames >= 25; }));
        combs[i] = combed.comb;
        EXPECT_NEAR(player.VideoClock(), 1.0, 0.3);  // 25 pictures a second, stamps kept
    }
    SetVideoWindow(&window);
    EXPECT_LT(combs[0], combs[1] * 1.1) << "interlaced " << combs[0] << ", progressive " << combs[1];
}
