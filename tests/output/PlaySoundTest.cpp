// The audio output layer: the output thread over the device, its header
// queue and the volume control.

#include "output/Mixer.h"
#include "output/PlaySound.h"

#include "OutputTestUtil.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// The real-time dummy driver, unless a test names another.
class PlaySoundTest : public ::testing::Test {
protected:
    // Starts the thread and opens the device as the player does, then waits
    // until the silence priming has played out.
    void Start(int channels, int rate, int bytesPerSample) {
        sound = std::make_unique<CPlaySound>(logPath.c_str());
        ASSERT_EQ(sound->CreateThread(), 0);
        Format(channels, rate, bytesPerSample);
        ASSERT_TRUE(sound->IsDeviceOpen()) << Log();
        WaitDeviceEmpty();
    }
    void Format(int channels, int rate, int bytesPerSample) {  // as AudioSetFormat, and wait until handled
        sound->SetFormat(channels, rate, bytesPerSample);
        ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    }
    void WaitDeviceEmpty() {
        ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() == 0 && sound->GetQueuedCount() == 0; }));
    }
    void Post(uint32_t message) {  // and wait until it is handled
        ASSERT_TRUE(sound->PostThreadMessage(message));
        ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    }
    bool Add(int bytes, uint8_t value = 0) {
        std::vector<uint8_t> pcm(bytes, value);
        return sound->AddPcm(pcm.data(), bytes);
    }
    std::string Log() const { return ReadWholeFile(logPath); }

    ScopedEnv driver{"SDL_AUDIODRIVER", "dummy"};
    TempDir dir;
    std::string logPath = dir.path + "/playsound.log";
    std::unique_ptr<CPlaySound> sound;
};

TEST_F(PlaySoundTest, RefusesPcmOutsideAStartedThread) {
    sound = std::make_unique<CPlaySound>(logPath.c_str());
    EXPECT_FALSE(Add(100));
    ASSERT_EQ(sound->CreateThread(), 0);
    EXPECT_EQ(sound->CreateThread(), -1);
    EXPECT_FALSE(Add(100));  // no start yet
    EXPECT_FALSE(sound->AddPcm(nullptr, 10));
    EXPECT_EQ(sound->GetQueuedCount(), 0);
    EXPECT_EQ(sound->StopThread(), 0);
    EXPECT_FALSE(sound->PostThreadMessage(WM_PLAY_START));
}

// The disk driver records exactly what reached the device: the priming, then
// the chunks cut to 10240, all played out although the stop came first.
TEST_F(PlaySoundTest, StopWhileHeadersPlayDrainsThenCloses) {
    ScopedEnv disk("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", dir.path + "/out.raw");
    Start(1, 8000, 2);
    EXPECT_EQ(sound->GetDeviceBytesWritten(), 2000u);
    std::vector<uint8_t> tooLong(10241, 0x11);
    tooLong.back() = 0x77;
    EXPECT_TRUE(Add(10240, 0x22));
    EXPECT_TRUE(sound->AddPcm(tooLong.data(), int(tooLong.size())));
    ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() > 0; }));
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_STOP));
    // Refusal shows the stop has been handled; the device still holds audio.
    uint64_t extra = 0;
    ASSERT_TRUE(WaitFor([&] {
        if (!Add(100))
            return true;
        extra += 100;
        return false;
    }));
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_EQ(Log().find("Stopped"), std::string::npos);
    ASSERT_TRUE(WaitFor([&] { return !sound->IsDeviceOpen() && sound->IsIdle(); }));
    EXPECT_EQ(sound->GetDeviceBytesWritten(), 2000u + 10240u + 10240u + extra);
    EXPECT_EQ(sound->GetQueuedCount() + sound->GetInDeviceCount(), 0);
    EXPECT_NE(Log().find("\n Stopped  playing"), std::string::npos);

    std::string raw = ReadWholeFile(dir.path + "/out.raw");
    size_t firstSound = raw.find_first_not_of('\0');
    ASSERT_NE(firstSound, std::string::npos);
    EXPECT_GE(firstSound, 2000u);
    // Played in order, without a gap inside a chunk, the byte over 10240 cut.
    EXPECT_EQ(raw.find(std::string(10240, '\x22')), firstSound);
    EXPECT_NE(raw.find(std::string(10240, '\x11'), firstSound + 10240), std::string::npos);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\x22') + std::count(raw.begin(), raw.end(), '\x11'), 20480);
    EXPECT_EQ(raw.find('\x77'), std::string::npos);
}

// The gain scales what reaches the device: signed 16-bit samples around 0,
// unsigned 8-bit ones around 128; out-of-range and NaN gains are clamped.
// It acts on sound already queued, so a mute is heard at once.
TEST_F(PlaySoundTest, GainScalesSixteenAndEightBitPcmAndMutesQueuedSound) {
    ScopedEnv disk("SDL_AUDIODRIVER", "disk");
    for (const int bytes : {2, 1}) {
        SCOPED_TRACE(std::to_string(bytes * 8) + "-bit");
        const std::string out = dir.path + "/gain" + std::to_string(bytes) + ".raw";
        ScopedEnv file("SDL_DISKAUDIOFILE", out);
        Start(1, 8000, bytes);
        const auto sample = [bytes](int i, int16_t level, std::vector<uint8_t>& pcm) {
            const int16_t v = i % 2 ? level : int16_t(-level);
            if (bytes == 2)
                pcm.insert(pcm.end(), {uint8_t(v & 0xFF), uint8_t(uint16_t(v) >> 8)});
            else
                pcm.push_back(uint8_t(128 + v / 120));
        };
        for (const float gain : {0.5f, 2.0f, std::nanf(""), 0.25f}) {
            sound->SetGain(gain);
            std::vector<uint8_t> pcm;
            for (int i = 0; i < 100; ++i)
                sample(i, 12000, pcm);
            ASSERT_TRUE(sound->AddPcm(pcm.data(), int(pcm.size())));
            WaitDeviceEmpty();
        }
        // Two seconds at full gain, muted once the device has begun them.
        sound->SetGain(1.0f);
        std::vector<uint8_t> longPcm;
        for (int i = 0; i < 16000; ++i)
            sample(i, 6000, longPcm);
        const uint64_t before = sound->GetDeviceBytesPlayed();
        for (size_t at = 0; at < longPcm.size(); at += 10240)
            ASSERT_TRUE(sound->AddPcm(longPcm.data() + at, int(std::min<size_t>(10240, longPcm.size() - at))));
        ASSERT_TRUE(WaitFor([&] { return sound->GetDeviceBytesPlayed() > before + 2000u * bytes; }));
        sound->SetGain(0.0f);
        const uint64_t muted = sound->GetDeviceBytesPlayed();
        WaitDeviceEmpty();
        sound->StopThread();

        // The device plays silence between chunks when starved, and the
        // priming is silence: keep the sound.
        const std::string raw = ReadWholeFile(out);
        const auto value = [&](size_t at) {
            return bytes == 2 ? int(int16_t(uint8_t(raw[at]) | uint8_t(raw[at + 1]) << 8)) : int(uint8_t(raw[at])) - 128;
        };
        std::vector<int> heard;
        size_t lastSound = 0;
        for (size_t at = 0; at + bytes <= raw.size(); at += bytes) {
            if (value(at) != 0) {
                heard.push_back(value(at));
                lastSound = at;
            }
        }
        // Half, whole, (silent), a quarter, then the long sound until the mute.
        const int full = bytes == 2 ? 12000 : 100;
        std::vector<int> expected;
        for (const int level : {full / 2, full, full / 4})
            for (int i = 0; i < 100; ++i)
                expected.push_back(i % 2 ? level : -level);
        ASSERT_GE(heard.size(), expected.size());
        EXPECT_EQ(std::vector<int>(heard.begin(), heard.begin() + expected.size()), expected);
        // Nothing after the mute but what the device had already taken.
        EXPECT_LT(lastSound, muted + 0.05 * 8000 * bytes) << "sound went on after the mute";
        EXPECT_GT(raw.size(), muted + 8000u * bytes) << "most of the sound was still to come";
    }
}

// At 4000 bytes a second one 10240-byte header plays for 2.5 s, so nothing
// leaves the queue while the test fills it.
TEST_F(PlaySoundTest, QueueHoldsAtMost22HeadersAndHoldsBackTheWriter) {
    Start(1, 4000, 1);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Add(10240));
    // A quick thread takes the first two before the third arrives, and the
    // third then waits for a completion: two in the device, one queued.
    ASSERT_TRUE(WaitFor([&] {
        const int inDevice = sound->GetInDeviceCount();
        return inDevice >= 2 && inDevice + sound->GetQueuedCount() == 3;
    }));
    const int inDevice = sound->GetInDeviceCount();
    int accepted = 0;
    for (int i = 0; i < 25; ++i)
        accepted += Add(10240);
    EXPECT_EQ(accepted, 22 - (3 - inDevice));
    EXPECT_EQ(sound->GetQueuedCount(), 22);
    EXPECT_EQ(sound->GetInDeviceCount(), inDevice);

    std::vector<uint8_t> pcm(5000);
    auto before = std::chrono::steady_clock::now();
    sound->WritePcm(pcm.data(), 5000);  // sleeps 10, 50 and 100 ms before giving up
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(10 + 50 + 100));
    EXPECT_EQ(sound->GetPcmBytesWritten(), 5000u);
    EXPECT_EQ(sound->GetQueuedCount(), 22);
    sound.reset();  // with headers in the device and the queue: no hang, no leak
}

// The window must close within 300 ms whatever the output is doing; ending
// the thread with headers in the device releases them and the device.
TEST_F(PlaySoundTest, StopThreadReturnsPromptlyInEveryStateAndReleasesAll) {
    for (const std::string state : {"playing", "paused", "draining", "reopening"}) {
        SCOPED_TRACE(state);
        Start(2, 44100, 2);
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE(Add(10240, 0x11));
        ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() > 0; }));
        if (state == "paused")
            sound->Pause(true);
        if (state == "draining")
            Post(WM_PLAY_STOP);
        if (state == "reopening")
            sound->SetFormat(1, 8000, 1);
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(sound->StopThread(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
        EXPECT_FALSE(sound->IsRunning() || sound->IsDeviceOpen());
        EXPECT_EQ(sound->GetInDeviceCount() + sound->GetQueuedCount(), 0);
        EXPECT_FALSE(Add(100));
        sound->Pause(false);
    }
}

TEST_F(PlaySoundTest, LogHoldsTheExactEntriesOfASession) {
    Start(1, 8000, 2);
    // A second start while open keeps the device and its format.
    uint64_t primed = sound->GetDeviceBytesWritten();
    sound->SetWaveFormat(2, 16, 44100);
    Post(WM_PLAY_START);
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->GetDeviceBytesWritten(), primed);
    // The second stop finds the object stopped and does nothing.
    Post(WM_PLAY_STOP);
    Post(WM_PLAY_STOP);
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->OnPlayStop(), 1);
    Post(WM_PLAY_END);  // ignored with the device closed
    EXPECT_TRUE(sound->IsRunning());

    Post(WM_PLAY_START);
    ASSERT_TRUE(sound->IsDeviceOpen());
    WaitDeviceEmpty();
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_END));
    ASSERT_TRUE(WaitFor([&] { return !sound->IsRunning(); }));
    EXPECT_FALSE(sound->IsDeviceOpen());
    sound.reset();
    EXPECT_EQ(Log(),
              "\n In the constructor of Play sound\n Starting playing\n Stopped  playing"
              "\n Starting playing\n Stopped  playing\nEnding the play device");
}

TEST_F(PlaySoundTest, DeviceOpenFailureIsLoggedAndPcmRefused) {
    {
        ScopedEnv bad("SDL_AUDIODRIVER", "no-such-driver");
        sound = std::make_unique<CPlaySound>(logPath.c_str());
        ASSERT_EQ(sound->CreateThread(), 0);
        Format(2, 44100, 2);
    }
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_FALSE(Add(100));
    EXPECT_NE(Log().find("\n Starting playingPLAY : PlayStart :6:"), std::string::npos) << Log();
    EXPECT_NE(Log().find("no-such-driver"), std::string::npos) << Log();

    // A format the device cannot take fails the same way; a good one recovers.
    Format(2, 44100, 0);
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_NE(Log().find("PLAY : PlayStart :20:"), std::string::npos) << Log();
    Format(2, 44100, 2);
    EXPECT_TRUE(Add(100));

    // A log that cannot be written only disables logging.
    logPath = dir.path + "/missing/playsound.log";
    Start(1, 8000, 2);
    EXPECT_FALSE(std::filesystem::exists(logPath));
}

// Growing while the ring has wrapped round must keep the order.
TEST(WaveHeaderQueue, GrowsPastCapacityKeepingOrderAfterWrap) {
    std::vector<WAVEHDR> headers(12);
    WaveHeaderQueue queue(4);
    for (int i = 0; i < 3; ++i)
        queue.push_back(&headers[i]);
    queue.pop_front();
    queue.pop_front();
    for (int i = 3; i < 12; ++i)
        queue.push_back(&headers[i]);
    ASSERT_EQ(queue.size(), 10u);
    for (int i = 2; i < 12; ++i) {
        ASSERT_EQ(queue.front(), &headers[i]);
        EXPECT_EQ(queue.pop_front(), &headers[i]);
    }
    EXPECT_TRUE(queue.empty());
}

// Volume with or without a mixer: quiet, and no handle left open.
TEST(Mixer, WorksOrStaysInertWithoutLeavingAHandle) {
    auto openFds = [] {
        auto it = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(it, std::filesystem::directory_iterator());
    };
    int card = -1;
    const bool hasCard = snd_card_next(&card) == 0 && card >= 0;
    const auto fdsBefore = openFds();
    testing::internal::CaptureStderr();
    for (uint32_t mode : {CMixer::kModeWaveOut, 0u}) {
        CMixer mixer(0x1003 /* the wave-out line; ignored */, mode);
        EXPECT_TRUE(hasCard || !mixer.IsReady());
        // Without a mixer every volume reads 0. The last one set restores the first.
        const uint32_t saved = mixer.GetVolume();
        for (uint32_t volume : {mixer.IsReady() ? mixer.GetMax() : 12345u, mixer.GetMin(), saved}) {
            mixer.SetVolume(volume);
            EXPECT_EQ(mixer.GetVolume(), mixer.IsReady() ? volume : 0u);
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(openFds(), fdsBefore);
}

}  // namespace
