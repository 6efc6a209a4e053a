// An audio file's cover picture: shown in the video area while the sound
// plays to its end, and again after a seek.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/PlayerFixture.h"
#include "common/TestMedia.h"

namespace {

class CoverArt : public PlayerFixture {};

// Each channel of the pixel 0xRRGGBB within a JPEG's rounding of the colour.
void ExpectColour(int pixel, uint32_t rgb) {
    ASSERT_GE(pixel, 0) << "no picture";
    for (int shift : {0, 8, 16})
        EXPECT_NEAR(pixel >> shift & 0xff, int(rgb >> shift & 0xff), 8) << std::hex << pixel << " for " << rgb;
}

}  // namespace

TEST_F(CoverArt, ShownWhileTheSoundPlaysToItsEnd) {
    struct Case {
        const char* what;
        const char* name;
        const char* codecs;
        uint32_t rgb;
        double seekTo;  // after half a second; negative: none
    } cases[] = {
        {"MP3 with a PNG cover", "cover-png.mp3", "-c:a libmp3lame -c:v png -id3v2_version 3", 0x3060c0, -1},
        {"M4A with a JPEG cover, sought", "cover-jpeg.m4a", "-c:a aac -c:v mjpeg", 0xc06030, 1.5},
        {"FLAC with a PNG cover, sought back", "cover-png.flac", "-c:a flac -c:v png", 0x30c060, 0.2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char colour[16];
        std::snprintf(colour, sizeof colour, "0x%06x", unsigned(c.rgb));
        const std::string file =
            TestMedia(c.name, std::string("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 ") +
                                  "-f lavfi -i color=c=" + colour + ":s=64x48:d=1 -map 0 -map 1 -frames:v 1 " +
                                  "-disposition:v attached_pic " + c.codecs);
        const int before = window.frames;
        window.centre = -1;
        LocalPlay(file.c_str());
        ASSERT_TRUE(WaitFor([&] { return window.frames > before; }, 10000));
        EXPECT_EQ(window.width, 64);
        EXPECT_EQ(window.height, 48);
        ExpectColour(window.centre, c.rgb);
        if (c.seekTo >= 0) {
            ASSERT_TRUE(WaitFor([&] { return player.Position() >= 0.5; }, 10000));
            const int shown = window.frames;
            window.centre = -1;
            SeekTo(c.seekTo);
            EXPECT_TRUE(WaitFor([&] { return window.frames > shown; }, 10000)) << "no cover after the seek";
            ExpectColour(window.centre, c.rgb);
        }
        // The sound, not the one picture, decides where the medium ends.
        EXPECT_TRUE(WaitFor([&] { return player.Position() >= 2.9; }, 15000)) << "stopped at " << player.Position();
        EXPECT_EQ(player.Duration(), 3);
    }
}
