// sivo-play end to end on local files, as a user at a terminal runs it
// (sivo-server and sivo-play --remote are in SivoServerTest).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <string>

#include "common/ChildProcess.h"
#include "common/SivoPlayRun.h"

constexpr int kExitWaitMs = 15000;  // SIGTERM to exit

TEST(SivoPlay, PlaysTheClipToTheEnd) {
    PlayRun r = SivoPlay("'" + TestClipAv10s() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* key : {"frames_shown", "frames_decoded", "audio_bytes", "duration_s", "position_s", "wall_s",
                            "first_picture_ms", "av_gap_mean_ms", "av_gap_max_ms", "lipsync_mean_ms", "lipsync_max_ms"})
        EXPECT_FALSE(std::isnan(Field(r.out, key))) << key << " missing in " << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    EXPECT_EQ(Field(r.out, "duration_s"), 10);
    EXPECT_GE(Field(r.out, "position_s"), 9);
    // A player that keeps up prunes nothing (this clip has no pictures for
    // fast decoding to skip), and all it decodes it shows.
    double decoded = Field(r.out, "frames_decoded"), shown = Field(r.out, "frames_shown");
    EXPECT_EQ(decoded, 250);
    EXPECT_GE(shown, decoded - 3);
    EXPECT_LE(shown, decoded);
    EXPECT_GE(Field(r.out, "wall_s"), 5);
    EXPECT_LE(Field(r.out, "lipsync_mean_ms"), 40);

    // All 10 s of sound went to the output, announced as 44.1 kHz stereo S16,
    // and the start was not lost while the device opened.
    constexpr double kBytesPerSecond = 44100 * 2 * 2;
    EXPECT_NEAR(Field(r.out, "audio_bytes") / kBytesPerSecond, 10.0, 0.3);
    EXPECT_GT(r.pcm.size() / kBytesPerSecond, 9.5);
    EXPECT_LT(r.pcm.size() / kBytesPerSecond, 11.0);
    EXPECT_NEAR(RisingPerSecond(r.pcm, r.pcm.size() / 16), 440, 5);

    r = SivoPlay("--seconds 2 '" + TestClipAv10s() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Field(r.out, "wall_s"), 6);
    EXPECT_GT(Field(r.out, "frames_shown"), 0);
}

TEST(SivoPlay, BadFilesExitOneWithAOneLineReason) {
    std::string clip = ReadWholeFile(TestClipAv10s());
    // Streams with decoders but payloads of noise: it opens and decodes nothing.
    std::string noisy = ReadWholeFile(TestMedia("e2e_mpeg.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
                                                               "-c:v mpeg2video -f mpegts"));
    const std::string noise = Noise(noisy.size(), 99);
    for (size_t i = 0; i < noisy.size(); ++i)
        if (i % 188 >= 8)  // keep the transport packet headers
            noisy[i] = noise[i];
    std::string srt = TestFile("e2e_sub.srt", "1\n00:00:00,000 --> 00:00:01,000\nhi\n\n");
    // Sound no output can play: refused at open (a 2 Hz device would hang the exit).
    auto wav = [](uint16_t channels, uint32_t rate) {
        auto le = [](uint32_t v, int n) {
            std::string bytes;
            for (int i = 0; i < n; ++i)
                bytes += char(v >> 8 * i);
            return bytes;
        };
        const std::string data(4000, '\x10');
        return "RIFF" + le(36 + data.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(channels, 2) + le(rate, 4) +
               le(rate * channels * 2, 4) + le(channels * 2, 2) + le(16, 2) + "data" + le(data.size(), 4) + data;
    };
    for (const std::string& path :
         {std::string(SIVO_TEST_MEDIA_DIR) + "/e2e_missing.mp4", TestFile("e2e_empty.mp4", ""),
          TestFile("e2e_truncated.mp4", clip.substr(0, clip.size() / 3)), TestFile("e2e_random.mp4", Noise(65536)),
          TestFile("e2e_noise.ts", noisy), TestMedia("e2e_subtitles_only.mkv", "-i '" + srt + "' -c:s srt"),
          TestFile("e2e_2hz.wav", wav(1, 2)), TestFile("e2e_400khz.wav", wav(2, 400000)),
          TestFile("e2e_no_channels.wav", wav(0, 8000))}) {
        PlayRun r = SivoPlay("'" + path + "'");
        EXPECT_EQ(r.status, 1) << path << ": " << r.err;
        EXPECT_EQ(r.err.rfind("sivo-play: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_FALSE(Field(r.out, "frames_shown") > 0) << r.out;
    }
}

// Formats whose pieces are small against the device period: one unbroken
// tone each, primed with the format's own silence.
TEST(SivoPlay, EveryAudioFormatPlaysWithoutInsertedSilence) {
    struct Case { std::string file; int bits, channels, rate; } cases[] = {
        {TestMedia("e2e_f32_96k.wav", "-f lavfi -i sine=f=1000:r=96000:d=3 -ac 2 -c:a pcm_f32le"), 16, 2, 96000},
        {TestMedia("e2e_short_blocks.ogg", "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*440*t)+0.6*lt(mod(t\\,0.05)\\,0.001)"
                                           ":s=44100:d=3\" -ac 2 -c:a libvorbis -b:a 128k"), 16, 2, 44100},
        {TestMedia("e2e_u8_8k.wav", "-f lavfi -i sine=f=1000:r=8000:d=3 -c:a pcm_u8"), 8, 1, 8000},
    };
    for (const Case& c : cases) {
        PlayRun r = SivoPlay("'" + c.file + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const size_t frame = size_t(c.bits / 8 * c.channels);
        auto silent = [&](size_t i) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(r.pcm.data()) + i * frame;
            return c.bits == 8 ? p[0] == 0x80 : (p[0] | p[1] << 8) == 0;
        };
        const size_t frames = r.pcm.size() / frame;
        size_t first = 0, last = frames, gaps = 0, run = 0;
        while (first < frames && silent(first))
            ++first;
        while (last > first && silent(last - 1))
            --last;
        EXPECT_GT(first, 0u) << c.file << ": priming";
        for (size_t i = first; i < last; ++i) {
            run = silent(i) ? run + 1 : 0;
            gaps += run == size_t(c.rate / 1000);  // a millisecond of silence inside the tone
        }
        EXPECT_EQ(gaps, 0u) << c.file;
        EXPECT_NEAR(double(last - first) / c.rate, 3.0, 0.02) << c.file;
    }
}

// The streams found are listed, numbered per type as --aid and --sid take
// them; the default-marked audio stream plays unless another is chosen (the
// tone tells which), a subtitle file beside the medium is shown unless
// another or none is chosen, and a number with no track behind it is said
// and the default plays.
TEST(SivoPlay, TracksAreListedAndChosenByNumber) {
    const std::string clip = TwoTrackClip();
    const std::string beside = clip.substr(0, clip.size() - 4) + ".en.srt";
    std::ofstream(beside) << "1\n00:00:00,000 --> 00:00:02,000\nHello\n";
    const std::string video = R"({"type":"video","index":1,"language":null,"title":null,"default":true,"selected":true},)"
                              R"({"type":"video","index":2,"language":null,"title":null,"default":false,"selected":false},)";
    const auto audio = [](bool first) {
        return std::string(R"({"type":"audio","index":1,"language":"eng","title":null,"default":false,"selected":)") +
               (first ? "true" : "false") +
               R"(},{"type":"audio","index":2,"language":"ger","title":"Commentary","default":true,"selected":)" +
               (first ? "false" : "true") + "},";
    };
    const auto subtitle = [](bool shown) {
        return std::string(R"({"type":"subtitle","index":1,"language":null,"title":null,"default":true,"selected":)") +
               (shown ? "true" : "false") + R"(,"file":"e2e_tracks.en.srt"}])";
    };
    struct Case { std::string args, tracks, warning; int tone; } cases[] = {
        {"", video + audio(false) + subtitle(true), "", 1000},
        {"--aid 1 --sid 0", video + audio(true) + subtitle(false), "", 440},
        {"--aid 3 --sid 2", video + audio(false) + subtitle(true), "no audio track 3 (the medium has 2)", 1000},
    };
    for (const Case& c : cases) {
        PlayRun r = SivoPlay(c.args + " '" + clip + "'");
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
        EXPECT_NE(r.out.find("\"tracks\":[" + c.tracks + "}\n"), std::string::npos) << c.args << ": " << r.out;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << c.args << ": " << r.err;
        EXPECT_NEAR(RisingPerSecond(r.pcm, 22050), c.tone, 10) << c.args;
    }
}

// --seek, --pause-at and SIGTERM, as a user at a terminal would use them.
TEST(SivoPlay, SeeksPausesAndEndsOnSigtermWithItsLine) {
    PlayRun r = SivoPlay("--seek 6 --pause-at 7.5 '" + TestClipAv10s() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(Field(r.out, "position_s"), 9);
    EXPECT_NEAR(Field(r.out, "wall_s"), 1 + 4 + 1, 0.8);  // a second, the last 4 s, the pause
    EXPECT_NEAR(Field(r.out, "frames_shown"), 25 * 5, 15);
    // The sound: one second from the start, 4 s from 6 s on; the paused
    // device is held, so it records nothing for the pause.
    EXPECT_NEAR(double(r.pcm.size()) / (44100 * 4), 5.0, 0.6);

    TempDir dir;
    ChildProcess player({"sh", "-c", "exec '" + TestBinary("sivo-play") + "' '" + TestClipAv10s() + "' >out 2>err"},
                        {"SDL_AUDIODRIVER=dummy"}, dir.path);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto signalled = std::chrono::steady_clock::now();
    player.Signal(SIGTERM);
    const int raw = player.WaitExit(kExitWaitMs);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(500));
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "raw status " << raw;
    const std::string out = ReadWholeFile(dir.path + "/out");
    EXPECT_NEAR(Field(out, "wall_s"), 1.5, 0.5) << out;
    EXPECT_GT(Field(out, "frames_shown"), 10) << out;
}

TEST(SivoPlay, UsageErrorsExitTwoHelpAndVersionZero) {
    for (const char* args : {"", "--bogus x", "--seconds", "--seconds abc x.mp4", "a.mp4 b.mp4", "--remote 127.0.0.1",
                             "--seek -1 x.mp4", "--pause-at x.mp4", "--aid 0 x.mp4", "--sid -1 x.mp4", "--aid x.mp4",
                             "--remote 127.0.0.1 a --aid 1"})
        EXPECT_EQ(SivoPlay(args).status, 2) << args;
    PlayRun help = SivoPlay("--help"), version = SivoPlay("--version");
    EXPECT_EQ(help.status + version.status, 0);
    EXPECT_NE(help.out.find("usage: sivo-play"), std::string::npos);
    EXPECT_EQ(version.out.rfind("sivo-play ", 0), 0u);
    const std::string server = "'" + TestBinary("sivo-server") + "'";
    for (const char* args : {" --help >/dev/null", " --version >/dev/null"})
        EXPECT_EQ(std::system((server + args).c_str()), 0) << args;
    for (const char* args : {" --bogus 2>/dev/null", " --share-root 2>/dev/null"})
        EXPECT_EQ(WEXITSTATUS(std::system((server + args).c_str())), 2) << args;
}
