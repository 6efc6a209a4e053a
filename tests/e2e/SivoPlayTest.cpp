#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/TestMedia.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunTimeoutS = 120;  // generous: the CI machine is small and shared

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct PlayRun {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out, err;
    std::string pcm;  // what the disk audio driver wrote
};

PlayRun SivoPlay(const std::string& args) {
    fs::path dir = fs::path(SIVO_TEST_MEDIA_DIR) / ("sivo-play-run-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string out = (dir / "out").string(), err = (dir / "err").string(), pcm = (dir / "pcm.raw").string();
    fs::remove(pcm);
    std::string cmd = "cd '" + dir.string() + "' && SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE='" + pcm + "' timeout " +
                      std::to_string(kRunTimeoutS) + " '" + TestBinary("sivo-play") + "' " + args + " >'" + out +
                      "' 2>'" + err + "'";
    int raw = std::system(cmd.c_str());
    PlayRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    r.pcm = Slurp(pcm);
    return r;
}

// A number field of the JSON line; NAN when missing or null.
double Field(const std::string& json, const std::string& key) {
    std::smatch m;
    if (std::regex_search(json, m, std::regex("\"" + key + "\":(-?[0-9.]+)")))
        return std::stod(m[1]);
    return NAN;
}

// The stderr of a refused file: one line naming the reason.
void ExpectOneLineReason(const PlayRun& r) {
    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.err.rfind("sivo-play: ", 0), 0u) << r.err;
}

}  // namespace

TEST(SivoPlay, PlaysTheClipToTheEnd) {
    std::string clip = TestClipAv10s();
    PlayRun r = SivoPlay("'" + clip + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* key : {"frames_shown", "frames_decoded", "audio_bytes", "duration_s", "position_s", "wall_s",
                            "first_picture_ms", "av_gap_mean_ms", "av_gap_max_ms"})
        EXPECT_FALSE(std::isnan(Field(r.out, key))) << key << " missing in " << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line only";

    EXPECT_EQ(Field(r.out, "duration_s"), 10);
    EXPECT_GE(Field(r.out, "position_s"), 9);
    double decoded = Field(r.out, "frames_decoded");
    double shown = Field(r.out, "frames_shown");
    // Once the next key frame is queued, the player prunes the last short run
    // of each group of pictures (about 10 to 15 of every 50 here); everything
    // else of the 250 pictures is decoded, and every decoded one is shown.
    EXPECT_GE(decoded, 180);
    EXPECT_GE(shown, decoded - 3);
    EXPECT_LE(shown, decoded);
    EXPECT_LT(Field(r.out, "first_picture_ms"), 5000);
    EXPECT_GE(Field(r.out, "wall_s"), 5);

    // All 10 s of decoded sound went to the output, announced as 44.1 kHz stereo S16.
    constexpr double kBytesPerSecond = 44100 * 2 * 2;
    EXPECT_NEAR(Field(r.out, "audio_bytes") / kBytesPerSecond, 10.0, 0.3);
    // The writer waits for the device to open, so the start is not lost.
    double seconds = r.pcm.size() / kBytesPerSecond;
    EXPECT_GT(seconds, 9.5);
    EXPECT_LT(seconds, 11.0);
    // A 440 Hz tone in the left channel crosses zero upwards 440 times a second.
    const auto* samples = reinterpret_cast<const int16_t*>(r.pcm.data());
    size_t frames = r.pcm.size() / 4;
    size_t from = frames / 4, to = frames / 4 + 44100;  // one second from the middle
    ASSERT_LT(to, frames);
    int rising = 0;
    for (size_t i = from + 1; i < to; ++i)
        if (samples[2 * (i - 1)] < 0 && samples[2 * i] >= 0)
            ++rising;
    EXPECT_NEAR(rising, 440, 5);
}

TEST(SivoPlay, SecondsLimitEndsEarly) {
    PlayRun r = SivoPlay("--seconds 2 '" + TestClipAv10s() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Field(r.out, "wall_s"), 6);
    EXPECT_GT(Field(r.out, "frames_shown"), 0);
    EXPECT_LE(Field(r.out, "position_s"), 6);
}

TEST(SivoPlay, BadFilesExitOneWithAReason) {
    std::string clip = Slurp(TestClipAv10s());
    std::string srt = TestFile("e2e_sub.srt", "1\n00:00:00,000 --> 00:00:01,000\nhi\n\n");
    std::vector<std::string> bad = {
        std::string(SIVO_TEST_MEDIA_DIR) + "/e2e_missing.mp4",
        TestFile("e2e_empty.mp4", ""),
        TestFile("e2e_truncated.mp4", clip.substr(0, clip.size() / 3)),
        TestFile("e2e_random.mp4", [] {
            std::string s(65536, '\0');
            uint32_t x = 12345;
            for (char& c : s)
                c = static_cast<char>((x = x * 1664525 + 1013904223) >> 24);
            return s;
        }()),
        TestMedia("e2e_subtitles_only.mkv", "-i '" + srt + "' -c:s srt"),
    };
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        PlayRun r = SivoPlay("'" + path + "'");
        ExpectOneLineReason(r);
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST(SivoPlay, UndecodableStreamsExitOne) {
    // Streams with decoders but payloads of noise: opens, decodes nothing.
    std::string clip = Slurp(TestMedia("e2e_mpeg.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
                                                      "-c:v mpeg2video -f mpegts"));
    std::string noisy = clip;
    uint32_t x = 99;
    for (size_t i = 0; i < noisy.size(); ++i)
        if (i % 188 >= 8)  // keep the transport packet headers, spoil every payload
            noisy[i] = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    PlayRun r = SivoPlay("'" + TestFile("e2e_noise.ts", noisy) + "'");
    ExpectOneLineReason(r);
    EXPECT_EQ(Field(r.out, "frames_shown"), 0);
}

TEST(SivoPlay, UsageErrorsHelpAndVersion) {
    EXPECT_EQ(SivoPlay("").status, 2);
    EXPECT_EQ(SivoPlay("--bogus x").status, 2);
    EXPECT_EQ(SivoPlay("--seconds").status, 2);
    EXPECT_EQ(SivoPlay("--seconds abc x.mp4").status, 2);
    EXPECT_EQ(SivoPlay("a.mp4 b.mp4").status, 2);
    PlayRun help = SivoPlay("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: sivo-play"), std::string::npos);
    PlayRun version = SivoPlay("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("sivo-play ", 0), 0u);
}
