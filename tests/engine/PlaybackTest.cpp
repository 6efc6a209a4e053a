// What a viewer sees and hears, measured at the device: the disk audio driver
// records every byte the device played, and the display notes how far the
// device had got when a picture was shown.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/IdleRecver.h"
#include "common/PlayerFixture.h"
#include "common/TestMedia.h"
#include "engine/ByteStream.h"
#include "engine/Package.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLongWaitMs = 60000;

// The device's output as signed samples of its first channel, 16-bit scale.
std::vector<int> FirstChannel(const std::string& raw, int bits, int channels) {
    std::vector<int> out;
    const size_t frame = size_t(bits / 8 * channels);
    for (size_t at = 0; at + frame <= raw.size(); at += frame)
        out.push_back(bits == 8 ? (uint8_t(raw[at]) - 0x80) * 256 : int16_t(uint8_t(raw[at]) | raw[at + 1] << 8));
    return out;
}

constexpr int kQuiet = 300;  // below -40 dB

bool SilentBetween(const std::vector<int>& s, size_t from, size_t to) {
    for (size_t i = from; i < std::min(to, s.size()); ++i)
        if (std::abs(s[i]) > kQuiet)
            return false;
    return true;
}

// Samples where a tone starts after at least `quietSamples` of silence.
std::vector<size_t> Onsets(const std::vector<int>& s, size_t quietSamples) {
    std::vector<size_t> onsets;
    size_t quiet = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (std::abs(s[i]) <= kQuiet) {
            ++quiet;
            continue;
        }
        if (quiet >= quietSamples)
            onsets.push_back(i);
        quiet = 0;
    }
    return onsets;
}

// Plays with the disk audio driver; the device's bytes are read afterwards.
class Playback : public PlayerFixture {
protected:
    uint64_t Played() { return ThePlaySound().GetDeviceBytesPlayed(); }
    // Closing the device completes its record; the output thread starts again.
    std::string Recorded() {
        ThePlaySound().StopThread();
        ThePlaySound().CreateThread();
        return ReadWholeFile(pcmPath);
    }
    bool WaitDrained() {
        return WaitFor([&] {
            return player.IsEnded() && player.QueuedAudioPkgs() + player.QueuedVideoPkgs() + player.QueuedFrames() == 0 &&
                   ThePlaySound().GetQueuedCount() + ThePlaySound().GetInDeviceCount() == 0;
        }, kLongWaitMs);
    }

    TempDir dir;
    std::string pcmPath = dir.path + "/out.raw";
    ScopedEnv driver{"SDL_AUDIODRIVER", "disk"};
    ScopedEnv file{"SDL_DISKAUDIOFILE", pcmPath};
};

// Notes the device's position when each white flash reaches the screen.
class FlashWindow : public RecordingWindow {
public:
    void OnPicture(const uint8_t*) override {
        const bool white = (centre & 0xff) > 0xc0;
        std::lock_guard<std::mutex> lock(mutex);
        if (white && !m_bWasWhite)
            flashes.push_back(ThePlaySound().GetDeviceBytesPlayed());
        m_bWasWhite = white;
    }
    std::mutex mutex;
    std::vector<uint64_t> flashes;

private:
    bool m_bWasWhite = false;
};

// A white picture and a 1 kHz beep at every whole second, on black and silence.
std::string FlashAndBeep(const std::string& name, const std::string& audioCodec, int rate) {
    return TestMedia(name, "-f lavfi -i \"color=c=black:s=160x120:r=25:d=10,"
                           "drawbox=c=white:t=fill:enable='lt(mod(t\\,1)\\,0.04)'\" "
                           "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.1):s=" +
                           std::to_string(rate) + ":d=10\" "
                           "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -ac 1 " + audioCodec + " -shortest");
}

// How far, on average, each flash was from the beep nearest to it (ms), and
// the offsets for a failure message.
struct SyncReport {
    double meanMs;
    size_t flashes;
    std::string offsets;
};
SyncReport MeetBeeps(const std::vector<uint64_t>& flashes, const std::vector<size_t>& beeps, int bytesPerSample,
                     int rate) {
    SyncReport report{0, 0, ""};
    for (uint64_t flash : flashes) {
        const double at = double(flash) / bytesPerSample;
        double nearest = 1e9;
        for (size_t beep : beeps)
            if (std::abs(at - double(beep)) < std::abs(nearest))
                nearest = at - double(beep);
        report.meanMs += std::abs(nearest) * 1000.0 / rate;
        report.offsets += " " + std::to_string(int(nearest * 1000.0 / rate));
        ++report.flashes;
    }
    report.meanMs /= double(std::max<size_t>(report.flashes, 1));
    return report;
}

}  // namespace

// The beep must be heard as its flash is shown: on the device's own record,
// the picture is compared with the sound it had reached.
TEST_F(Playback, PicturesMeetTheSoundTheyBelongTo) {
    struct Case { std::string clip; int bits, rate; double meanMs; } cases[] = {
        {FlashAndBeep("pb_flash10_aac.mp4", "-c:a aac", 44100), 16, 44100, 40},
        {FlashAndBeep("pb_flash10_u8.mkv", "-c:a pcm_u8", 8000), 8, 8000, 60},
    };
    for (const Case& c : cases) {
        FlashWindow flashes;
        SetVideoWindow(&flashes);
        LocalPlay(c.clip.c_str());
        ASSERT_TRUE(WaitDrained()) << c.clip;
        Stop();
        SetVideoWindow(&window);
        const std::vector<int> pcm = FirstChannel(Recorded(), c.bits, 1);
        const std::vector<size_t> beeps = Onsets(pcm, size_t(c.rate / 2));
        ASSERT_GE(beeps.size(), 9u) << c.clip;
        std::lock_guard<std::mutex> lock(flashes.mutex);
        ASSERT_GE(flashes.flashes.size(), 9u) << c.clip;
        // After the first second.
        const SyncReport sync = MeetBeeps({flashes.flashes.begin() + 1, flashes.flashes.end()}, beeps, c.bits / 8, c.rate);
        EXPECT_LE(sync.meanMs, c.meanMs) << c.clip << ", ms:" << sync.offsets;
    }
}

// Sound until 5 s, silence after. Pause must silence the device at once and
// lose nothing; after a seek into the silence no sound of before may follow.
TEST_F(Playback, PauseSilencesAtOnceAndSeekDropsTheOldSound) {
    const std::string clip = TestMedia("pb_tone_then_silence.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=10 "
        "-f lavfi -i \"sine=f=440:r=44100:d=10,volume=0:enable='gte(t\\,5)'\" "
        "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -ac 2 -shortest");
    constexpr int kBytesPerMs = 44100 * 4 / 1000;
    constexpr int kPauseMs = 400;
    LocalPlay(clip.c_str());
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 1.0; }));
    Pause();
    const uint64_t pausedAt = Played();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    const uint64_t resumedAt = Played();
    const double position = player.Position();
    Play();
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 2.0; }));
    EXPECT_NEAR(position, 1.0, 0.2);  // the clock stood still while paused
    Seek(7);
    const uint64_t seekAt = Played();
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 8.0; }));
    const std::vector<int> pcm = FirstChannel(Recorded(), 16, 2);
    const size_t frame = 4;
    // A paused device is held: it stops within a period or two of silence
    // and plays on from where it stopped, so the pause neither cuts the tone
    // nor leaves a gap in it.
    EXPECT_LT(double(resumedAt - pausedAt) / kBytesPerMs, 100.0);
    EXPECT_TRUE(SilentBetween(pcm, (pausedAt + 50 * kBytesPerMs) / frame, resumedAt / frame));
    EXPECT_FALSE(SilentBetween(pcm, resumedAt / frame, (resumedAt + 900 * kBytesPerMs) / frame));
    EXPECT_TRUE(Onsets(pcm, 44100 / 10).empty());
    EXPECT_TRUE(SilentBetween(pcm, (seekAt + 50 * kBytesPerMs) / frame, pcm.size()));
}

// A new file in another format reopens the device in that format, and its
// start is heard.
TEST_F(Playback, ANewFileInAnotherFormatPlaysInItsOwnFormat) {
    const std::string wav = TestMedia("pb_u8_8k_mono.wav", "-f lavfi -i sine=f=1000:r=8000:d=2 -c:a pcm_u8");
    LocalPlay(TestClipAv4s().c_str());
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 1.0; }));
    LocalPlay(wav.c_str());
    ASSERT_TRUE(WaitDrained());
    const std::string raw = Recorded();
    // The device restarted its record: 2 s of 8-bit mono, primed with its silence value.
    EXPECT_NEAR(double(raw.size()) / 8000, 2.25, 0.3);
    ASSERT_GT(raw.size(), 1000u);
    EXPECT_EQ(uint8_t(raw[0]), 0x80);
    const std::vector<int> pcm = FirstChannel(raw, 8, 1);
    size_t rising = 0, first = pcm.size(), last = 0;
    for (size_t i = 1; i < pcm.size(); ++i) {
        rising += pcm[i - 1] < 0 && pcm[i] >= 0;
        if (std::abs(pcm[i]) > kQuiet)
            first = std::min(first, i), last = i;
    }
    EXPECT_NEAR(double(last - first) / 8000, 2.0, 0.03);  // all of the tone, nothing cut
    EXPECT_NEAR(double(rising), 2000, 40);                 // 1 kHz at the rate it was made for
}

// Positions run from 0 whatever the first stamp; without audio, or once the
// sound has ended, the pictures keep to the wall clock and carry the position.
TEST_F(Playback, PositionsStartAtTheMediumsStartAndVideoAloneKeepsTime) {
    const std::string late = TestMedia("pb_start1000.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=10 "
                                                          "-f lavfi -i sine=f=440:r=44100:duration=10 "
                                                          "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 "
                                                          "-c:a aac -output_ts_offset 1000 -shortest");
    LocalPlay(late.c_str());
    EXPECT_EQ(GetDuration(), 10);
    ASSERT_TRUE(WaitFor([&] { return player.VideoClock() > 1000.5; }));
    EXPECT_LE(GetPosition(), 2);
    Seek(5);
    ASSERT_TRUE(WaitFor([&] { return GetPosition() >= 6; }));
    EXPECT_LE(GetPosition(), 7);
    EXPECT_NEAR(player.VideoClock() - player.StartTime(), 6.0, 1.0);

    const std::string silent = TestMedia("pb_video_only_8s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=8 "
                                                                 "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    window.frames = 0;
    LocalPlay(silent.c_str());
    ASSERT_TRUE(WaitFor([&] { return window.frames > 0; }));
    const auto start = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return GetPosition() >= 4; }));
    EXPECT_NEAR(std::chrono::duration<double>(Clock::now() - start).count(), 4.0, 0.3);
    ASSERT_TRUE(WaitFor([&] { return window.frames == 200; }));
    EXPECT_NEAR(std::chrono::duration<double>(Clock::now() - start).count(), 8.0, 0.3);

    // Sound that ends before the pictures leaves them to the wall clock.
    const std::string early = TestMedia("pb_sound_ends_at_1s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 "
                                                                   "-f lavfi -i sine=f=440:r=44100:duration=1 "
                                                                   "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac");
    window.frames = 0;
    LocalPlay(early.c_str());
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 0.9; }));
    const auto soundEnds = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return window.frames == 100; }));
    EXPECT_NEAR(std::chrono::duration<double>(Clock::now() - soundEnds).count(), 3.1, 0.3);
    EXPECT_EQ(GetPosition(), 3);
}

// Audio no output can play is refused when it is announced, from a file
// (sivo-play's tests) or from a peer's description. A description has no
// start time: the first package tells it.
TEST_F(Playback, RemoteMediumRefusesAbsurdAudioAndCountsFromItsFirstStamp) {
    struct Case { int rate, channels; bool playable; } cases[] = {
        {44100, 2, true}, {2, 2, false}, {999, 1, false}, {1000, 1, true}, {400000, 2, false}, {8000, 0, false},
    };
    for (const Case& c : cases) {
        MediaPlayer remote;
        RemoteRecver* recver = nullptr;
        remote.SetRecverFactory([&] { return recver = new IdleRecver; });
        ASSERT_EQ(remote.StartPlay("127.0.0.1", 1, "remote"), 0);
        StreamDescription desc;
        desc.audio.bPresent = true;
        desc.audio.nCodecId = AV_CODEC_ID_PCM_S16LE;
        desc.audio.nSampleRate = c.rate;
        desc.audio.nChannels = c.channels;
        desc.audio.nSampleFmt = AV_SAMPLE_FMT_S16;
        desc.audio.streamTimeBase = {1, c.rate};
        std::vector<uint8_t> wire = BuildStreamDescription(desc);
        ByteStream reader(wire.data(), uint32_t(wire.size()));
        EXPECT_EQ(remote.OnStreamInfo(reader, recver), 0);
        AVPacket* first = av_packet_alloc();
        first->pts = 1000LL * c.rate;
        EXPECT_EQ(remote.OnMediaPackage(first, 0, 0, recver), 0);
        EXPECT_DOUBLE_EQ(remote.StartTime(), 1000.0);
        EXPECT_EQ(remote.Audible(), c.playable) << c.rate << " Hz, " << c.channels << " channels";
    }
}

namespace {

// Notes the stamp of every picture shown.
class StampWindow : public RecordingWindow {
public:
    void OnPicture(const uint8_t*) override {
        std::lock_guard<std::mutex> lock(mutex);
        stamps.push_back(ThePlayer().VideoClock());
    }
    std::vector<double> Since(size_t from) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<double>(stamps.begin() + std::min(from, stamps.size()), stamps.end());
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return stamps.size();
    }
    std::mutex mutex;
    std::vector<double> stamps;
};

// Rising zero crossings per second over `ms` of the first sound at or after sample `from`.
double ToneAt(const std::vector<int>& pcm, size_t from, int rate, int ms) {
    while (from < pcm.size() && std::abs(pcm[from]) <= kQuiet)
        ++from;
    size_t rising = 0;
    const size_t to = std::min(pcm.size(), from + size_t(rate) * ms / 1000);
    for (size_t i = from + 1; i < to; ++i)
        rising += pcm[i - 1] < 0 && pcm[i] >= 0;
    return double(rising) * 1000.0 / ms;
}

}  // namespace

// A key picture every 10 s, as films have: a seek lands where it was asked,
// not at the key before it. Each second has its own tone (200 Hz + 100 Hz a
// second), so the device's record tells which second is heard first.
TEST_F(Playback, SeeksLandOnTheTargetPictureAndSound) {
    const std::string clip = TestMedia("pb_gop10s.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=12 "
        "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*(200+100*floor(t))*t):s=44100:d=12\" "
        "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 250 -keyint_min 250 -c:a aac -ac 1 -shortest");
    StampWindow stamps;
    SetVideoWindow(&stamps);
    LocalPlay(clip.c_str());
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 1.0; }));
    struct Case { double target; double picture; double tone; } cases[] = {
        {8.0, 8.0, 1000}, {3.5, 3.52, 500}, {100.0, 11.96, -1},  // past the end: the last picture, no sound
    };
    std::vector<uint64_t> seekAt;
    for (const Case& c : cases) {
        Pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a picture in hand may still show
        seekAt.push_back(Played());
        player.SeekTo(1.0);  // superseded at once: none of its pictures shows after the next
        player.SeekTo(c.target);
        const size_t shownBefore = stamps.Count();
        ASSERT_TRUE(WaitFor([&] { return stamps.Count() > shownBefore; })) << c.target;
        EXPECT_NEAR(stamps.Since(shownBefore).front(), c.picture, 0.021) << c.target;  // within half a frame
        const double until = std::min(c.target, 11.5) + 0.3;
        ASSERT_TRUE(WaitFor([&] { return player.Position() >= until; })) << c.target;
    }
    const std::vector<int> pcm = FirstChannel(Recorded(), 16, 1);
    // The device's own buffer, taken before the seek, may still sound for a
    // period: the new sound is measured after it.
    constexpr size_t kDevicePeriod = 44100 / 10;
    for (size_t i = 0; i < seekAt.size(); ++i) {
        if (cases[i].tone > 0) {
            EXPECT_NEAR(ToneAt(pcm, seekAt[i] / 2 + kDevicePeriod, 44100, 100), cases[i].tone, 30) << cases[i].target;
        }
    }
    SetVideoWindow(&window);
}

// Faster or slower play keeps the pitch: a 1 kHz tone stays 1 kHz, the
// medium takes its length divided by the speed, every picture is shown.
TEST_F(Playback, SpeedChangesTheTimeNotThePitch) {
    const std::string clip = TestMedia("pb_tone_4s.mp4", "-f lavfi -i testsrc2=s=160x120:r=25:d=4 "
                                                         "-f lavfi -i sine=f=1000:r=44100:d=4 "
                                                         "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
    for (double speed : {2.0, 0.5}) {
        window.frames = 0;
        player.SetSpeed(speed);
        const auto start = Clock::now();
        LocalPlay(clip.c_str());
        ASSERT_TRUE(WaitDrained()) << speed;
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        Stop();
        EXPECT_NEAR(took, 4.0 / speed, 0.5) << speed;
        EXPECT_GE(window.frames, 99) << speed;
        const std::vector<int> pcm = FirstChannel(Recorded(), 16, 1);
        EXPECT_NEAR(double(pcm.size()) / 44100, 4.0 / speed, 0.5) << speed;
        EXPECT_NEAR(ToneAt(pcm, pcm.size() / 3, 44100, 500), 1000, 20) << speed;
    }
    player.SetSpeed(1.0);
    player.SetSpeed(NAN);  // ignored
    EXPECT_EQ(player.Speed(), 1.0);
    player.SetSpeed(10.0);
    EXPECT_EQ(player.Speed(), MediaPlayer::kMaxSpeed);
    player.SetSpeed(1.0);
}

// Another audio stream plays on from the position being heard, in step with
// the pictures, also when chosen while paused: each second's beep is heard
// once, in the tone of the stream playing then, as its flash is shown. The
// medium's chapters are listed.
TEST_F(Playback, AudioStreamSwitchPlaysOnInStepAndChaptersAreListed) {
    const std::string meta = dir.path + "/chapters.txt";
    std::ofstream(meta) << ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=2000\ntitle=Intro\n"
                           "[CHAPTER]\nTIMEBASE=1/1000\nSTART=2000\nEND=6000\ntitle=Main\n";
    const auto beep = [](int hz) {
        return "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*" + std::to_string(hz) + "*t)*lt(mod(t\\,1)\\,0.1):s=44100:d=6\" ";
    };
    const std::string clip = TestMedia("pb_two_beeps.mkv",
        "-f lavfi -i \"color=c=black:s=160x120:r=25:d=6,drawbox=c=white:t=fill:enable='lt(mod(t\\,1)\\,0.04)'\" " +
        beep(1000) + beep(500) + "-i " + meta + " -map 0 -map 1 -map 2 -map_metadata 3 -map_chapters 3 "
        "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -ac 1 -metadata:s:a:0 language=eng "
        "-metadata:s:a:1 language=ger -metadata:s:a:1 title=Commentary");
    FlashWindow flashes;
    SetVideoWindow(&flashes);
    LocalPlay(clip.c_str());
    ASSERT_EQ(player.AudioStreams().size(), 2u);
    EXPECT_TRUE(player.AudioStreams()[0].selected);
    EXPECT_EQ(player.AudioStreams()[1].label, "ger - Commentary");
    ASSERT_EQ(player.Chapters().size(), 2u);
    EXPECT_NEAR(player.Chapters()[1].start, 2.0, 0.01);
    EXPECT_EQ(player.Chapters()[1].title, "Main");

    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 2.5; }));
    const double before = player.Position();
    const uint64_t switchedAt = Played();
    player.SelectAudioStream(player.AudioStreams()[1].index);
    EXPECT_NEAR(player.Position(), before, 0.1);
    EXPECT_TRUE(player.AudioStreams()[1].selected);
    player.SelectAudioStream(12345);  // no such stream: nothing changes
    EXPECT_TRUE(player.AudioStreams()[1].selected);
    ASSERT_TRUE(WaitFor([&] { return player.Position() >= 3.4; }));
    Pause();
    const uint64_t pausedAt = Played();
    player.SelectAudioStream(player.AudioStreams()[0].index);
    EXPECT_TRUE(player.IsPaused());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Play();
    ASSERT_TRUE(WaitDrained());
    Stop();
    SetVideoWindow(&window);

    const std::vector<int> pcm = FirstChannel(Recorded(), 16, 1);
    const std::vector<size_t> beeps = Onsets(pcm, 44100 / 2);
    ASSERT_EQ(beeps.size(), 5u);  // 1 s to 5 s; the one at the start follows no silence
    for (size_t at : beeps)
        EXPECT_NEAR(ToneAt(pcm, at + 441, 44100, 50), at * 2 < switchedAt || at * 2 > pausedAt ? 1000 : 500, 30) << at;
    std::lock_guard<std::mutex> lock(flashes.mutex);
    EXPECT_EQ(flashes.flashes.size(), 6u);  // no picture shown twice
    std::vector<uint64_t> after;
    std::copy_if(flashes.flashes.begin(), flashes.flashes.end(), std::back_inserter(after),
                 [&](uint64_t at) { return at > switchedAt; });
    const SyncReport sync = MeetBeeps(after, beeps, 2, 44100);
    EXPECT_EQ(sync.flashes, 3u);
    EXPECT_LE(sync.meanMs, 40) << "ms:" << sync.offsets;
}
