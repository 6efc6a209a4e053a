// Subtitles shown inside the picture, from files beside the medium in the
// charsets people have and from the medium's own streams, timed against the
// picture they are drawn into.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "common/PlayerFixture.h"
#include "common/TestMedia.h"

namespace fs = std::filesystem;

namespace {

// Per picture shown: its stamp and how many bright pixels its lower half has
// (the clip itself is black).
class TextWindow : public RecordingWindow {
public:
    void OnPicture(const uint8_t* bits) override {
        int bright = 0;
        for (int y = height / 2; y < height; ++y)
            for (int x = 0; x < width; ++x)
                bright += (Rgb(bits, x, y) >> 8 & 0xff) > 128;
        std::lock_guard<std::mutex> lock(mutex);
        shown[ThePlayer().VideoClock()] = bright;
    }
    // Whether text was on the pictures from `from` to `to` seconds (false:
    // absent on all of them), ignoring a frame at either edge.
    bool TextBetween(double from, double to, bool expected) {
        std::lock_guard<std::mutex> lock(mutex);
        int seen = 0;
        for (auto [stamp, bright] : shown)
            if (stamp > from + 0.05 && stamp < to - 0.05) {
                ++seen;
                if ((bright > 0) != expected)
                    return false;
            }
        return seen > 0;
    }
    int BrightAt(double stamp) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = shown.lower_bound(stamp);
        return it == shown.end() ? -1 : it->second;
    }
    std::mutex mutex;
    std::map<double, int> shown;
};

const char kCue[] = "1\n00:00:01,000 --> 00:00:02,500\n";
const char kTextUtf8[] = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xd0\xbc\xd0\xb8\xd1\x80\n";  // "Привет мир"
const char kTextCp1251[] = "\xcf\xf0\xe8\xe2\xe5\xf2 \xec\xe8\xf0\n";

class SubtitleTest : public PlayerFixture {
protected:
    // A black 4 s clip in a folder of its own, with the files given beside it.
    std::string Film(const std::map<std::string, std::string>& files, const std::string& clip = Black()) {
        const std::string film = dir.path + "/film" + fs::path(clip).extension().string();
        fs::copy_file(clip, film, fs::copy_options::overwrite_existing);
        for (const auto& [name, bytes] : files) {
            fs::create_directories(fs::path(dir.path + "/" + name).parent_path());
            std::ofstream(dir.path + "/" + name, std::ios::binary) << bytes;
        }
        return film;
    }
    static std::string Black() {
        return TestMedia("sub-black-4s.mp4", "-f lavfi -i color=c=black:s=320x240:r=25:d=4 "
                                             "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    }
    // Brightness of the first picture shown after a seek to `target`.
    int SeekAndMeasure(double target) {
        text.shown.clear();
        SetVideoWindow(&text);
        player.SeekTo(target);
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(text.mutex);
            return !text.shown.empty() && text.shown.rbegin()->first >= target + 0.3;
        }));
        SetVideoWindow(&window);
        std::lock_guard<std::mutex> lock(text.mutex);
        return text.shown.empty() ? -1 : text.shown.begin()->second;
    }
    int PlayAndMeasure(const std::string& film, double delay = 0.0) {
        SetVideoWindow(&text);
        LocalPlay(film.c_str());
        player.SetSubtitleDelay(delay);
        EXPECT_TRUE(WaitFor([&] { return player.VideoClock() >= 3.9; }));
        SetVideoWindow(&window);
        return text.BrightAt(1.5 + delay);
    }
    TempDir dir;
    TextWindow text;
};

}  // namespace

// The cue shows from 1 s to 2.5 s and at no other time, whichever charset or
// place the file has; text read in the wrong charset would not draw the same.
TEST_F(SubtitleTest, FilesBesideTheMediumShowInTheirTimeInAnyCharset) {
    int reference = -1;
    struct Case { const char* name; std::string bytes; } cases[] = {
        {"film.srt", std::string(kCue) + kTextUtf8},
        {"film.ru.srt", "\xef\xbb\xbf" + std::string(kCue) + kTextUtf8},  // with a byte order mark
        {"film.rus.forced.srt", std::string(kCue) + kTextCp1251},
        {"Subs/anything.srt", std::string(kCue) + kTextCp1251},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir.path);
        fs::create_directories(dir.path);
        text.shown.clear();
        const int bright = PlayAndMeasure(Film({{c.name, c.bytes}}));
        EXPECT_TRUE(text.TextBetween(1.0, 2.5, true)) << c.name;
        EXPECT_TRUE(text.TextBetween(0.0, 1.0, false)) << c.name;
        EXPECT_TRUE(text.TextBetween(2.5, 3.9, false)) << c.name;
        if (reference < 0)
            reference = bright;
        EXPECT_NEAR(bright, reference, reference / 50 + 1) << c.name;
        ASSERT_EQ(player.SelectedSubtitle(), 0) << c.name;
        EXPECT_EQ(player.SubtitleChoices()[0].label, fs::path(c.name).filename().string());
    }
    EXPECT_GT(reference, 100);
}

// A delay moves the cue later; none chosen shows nothing; a stream of the
// medium marked as default is shown when no file is beside it. After a seek
// back into its time, from a file or a stream, the cue is on the first
// picture shown.
TEST_F(SubtitleTest, DelayChoiceAndStreamsOfTheMediumAndSeeksBack) {
    const std::string film = Film({{"film.srt", std::string(kCue) + kTextUtf8}});
    PlayAndMeasure(film, 1.0);
    EXPECT_TRUE(text.TextBetween(2.0, 3.5, true));
    EXPECT_TRUE(text.TextBetween(0.0, 2.0, false));
    EXPECT_GT(SeekAndMeasure(2.6), 100);

    text.shown.clear();
    SetVideoWindow(&text);
    LocalPlay(film.c_str());
    player.SetSubtitleDelay(0.0);
    player.SelectSubtitle(-1);
    ASSERT_TRUE(WaitFor([&] { return player.VideoClock() >= 3.9; }));
    EXPECT_TRUE(text.TextBetween(0.0, 3.9, false));
    SetVideoWindow(&window);

    const std::string srt = dir.path + "/cue.srt";
    std::ofstream(srt) << kCue << kTextUtf8;
    const std::string muxed = TestMedia("sub-muxed.mkv", "-i " + Black() + " -i " + srt +
                                                             " -map 0 -map 1 -c:v copy -c:s srt -disposition:s:0 default");
    fs::remove(dir.path + "/film.srt");
    text.shown.clear();
    PlayAndMeasure(Film({}, muxed));
    ASSERT_EQ(player.SubtitleChoices().size(), 1u);
    EXPECT_EQ(player.SelectedSubtitle(), 0);
    EXPECT_TRUE(text.TextBetween(1.0, 2.5, true));
    EXPECT_TRUE(text.TextBetween(2.5, 3.9, false));
    EXPECT_GT(SeekAndMeasure(1.6), 100);
    EXPECT_EQ(SeekAndMeasure(0.4), 0);
}
