#include "output/OutputHooks.h"
#include "output/PlaySound.h"

#include "OutputTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

class PlaySoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The real-time sink, unless the run names another driver.
        setenv("SDL_AUDIODRIVER", "dummy", 0);
        ASSERT_FALSE(dir.path.empty());
        logPath = dir.path + "/playsound.log";
    }

    // Starts the thread and opens the device as the player does, then waits
    // until the silence priming has played out.
    void Start(int channels, int rate, int bytesPerSample) {
        sound = std::make_unique<CPlaySound>(logPath.c_str());
        ASSERT_EQ(sound->CreateThread(), 0);
        sound->SetFormat(channels, rate, bytesPerSample);
        ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
        ASSERT_TRUE(sound->IsDeviceOpen()) << ReadWholeFile(logPath);
        WaitForDeviceEmpty();
    }

    void WaitForDeviceEmpty() {
        ASSERT_TRUE(WaitFor([&] {
            return sound->GetInDeviceCount() == 0 && sound->GetQueuedCount() == 0;
        }));
    }

    void StopAndWaitClosed() {
        ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_STOP));
        ASSERT_TRUE(WaitFor([&] { return !sound->IsDeviceOpen(); }));
        // The flag drops before the device is closed and its output flushed.
        ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    }

    std::string Log() const { return ReadWholeFile(logPath); }

    TempDir dir;
    std::string logPath;
    std::unique_ptr<CPlaySound> sound;
};

TEST_F(PlaySoundTest, RefusesPcmUntilStarted) {
    sound = std::make_unique<CPlaySound>(logPath.c_str());
    const uint8_t pcm[100] = {};
    EXPECT_FALSE(sound->AddPcm(pcm, sizeof pcm));
    ASSERT_EQ(sound->CreateThread(), 0);
    EXPECT_EQ(sound->CreateThread(), -1);
    EXPECT_FALSE(sound->AddPcm(pcm, sizeof pcm));
    EXPECT_FALSE(sound->AddPcm(nullptr, 10));
    EXPECT_EQ(sound->GetQueuedCount(), 0);
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->StopThread(), 0);
    EXPECT_FALSE(sound->IsRunning());
    EXPECT_FALSE(sound->PostThreadMessage(WM_PLAY_START));
}

TEST_F(PlaySoundTest, UnwritableLogOnlyDisablesLogging) {
    std::string badPath = dir.path + "/missing/playsound.log";
    CPlaySound quiet(badPath.c_str());
    ASSERT_EQ(quiet.CreateThread(), 0);
    quiet.SetFormat(1, 8000, 2);
    ASSERT_TRUE(WaitFor([&] { return quiet.IsIdle(); }));
    EXPECT_TRUE(quiet.IsDeviceOpen());
    const uint8_t pcm[100] = {};
    EXPECT_TRUE(quiet.AddPcm(pcm, sizeof pcm));
    EXPECT_FALSE(std::filesystem::exists(badPath));
}

// The disk driver records exactly what reached the device.
TEST_F(PlaySoundTest, DiskOutputHoldsPrimingThenChunksCutTo10240) {
    std::string rawPath = dir.path + "/out.raw";
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", rawPath);
    Start(1, 8000, 2);
    EXPECT_EQ(sound->GetDeviceBytesWritten(), 2u * 1000u);

    std::vector<uint8_t> exact(10240, 0x22);
    std::vector<uint8_t> tooLong(10241, 0x11);
    tooLong.back() = 0x77;
    EXPECT_TRUE(sound->AddPcm(exact.data(), static_cast<int>(exact.size())));
    EXPECT_TRUE(sound->AddPcm(tooLong.data(), static_cast<int>(tooLong.size())));
    WaitForDeviceEmpty();
    StopAndWaitClosed();
    EXPECT_EQ(sound->GetDeviceBytesWritten(), 2000u + 10240u + 10240u);

    std::string raw = ReadWholeFile(rawPath);
    size_t firstSound = raw.find_first_not_of('\0');
    ASSERT_NE(firstSound, std::string::npos);
    EXPECT_GE(firstSound, 2000u);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\x22'), 10240);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\x11'), 10240);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\x77'), 0);
    // Played in order, without a gap inside a chunk.
    EXPECT_EQ(raw.find(std::string(10240, '\x22')), firstSound);
    EXPECT_NE(raw.find(std::string(10240, '\x11')), std::string::npos);
}

// At 4000 bytes a second one 10240-byte header plays for 2.5 s, so nothing
// leaves the queue while the test fills it.
TEST_F(PlaySoundTest, QueueHoldsAtMost22HeadersAndHoldsBackTheWriter) {
    Start(1, 4000, 1);
    std::vector<uint8_t> chunk(10240, 0x90);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sound->AddPcm(chunk.data(), static_cast<int>(chunk.size())));
    ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() == 3 && sound->GetQueuedCount() == 0; }));

    int accepted = 0;
    for (int i = 0; i < 25; ++i)
        accepted += sound->AddPcm(chunk.data(), static_cast<int>(chunk.size())) ? 1 : 0;
    EXPECT_EQ(accepted, 22);
    EXPECT_EQ(sound->GetQueuedCount(), 22);
    EXPECT_EQ(sound->GetInDeviceCount(), 3);

    auto before = std::chrono::steady_clock::now();
    sound->WritePcm(chunk.data(), 5000);
    auto held = std::chrono::steady_clock::now() - before;
    EXPECT_GE(held, std::chrono::milliseconds(10 + 50 + 100));
    EXPECT_EQ(sound->GetPcmBytesWritten(), 5000u);
    EXPECT_EQ(sound->GetQueuedCount(), 22);
    // Destruction with headers in the device and in the queue must not hang or leak.
    sound.reset();
}

TEST_F(PlaySoundTest, SecondStartWhileOpenKeepsDeviceAndFormat) {
    Start(1, 8000, 2);
    uint64_t primed = sound->GetDeviceBytesWritten();
    sound->SetWaveFormat(2, 16, 44100);
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_START));
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->GetDeviceBytesWritten(), primed);
    EXPECT_EQ(CountOf(Log(), "\n Starting playing"), 1u);
    const uint8_t pcm[64] = {};
    EXPECT_TRUE(sound->AddPcm(pcm, sizeof pcm));
}

TEST_F(PlaySoundTest, StopWhileHeadersPlayDrainsThenCloses) {
    Start(1, 8000, 2);
    std::vector<uint8_t> chunk(10240, 0x33);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sound->AddPcm(chunk.data(), static_cast<int>(chunk.size())));
    ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() > 0; }));
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_STOP));

    // Refusal shows the stop has been handled; the device still holds audio.
    uint64_t extra = 0;
    const uint8_t small[100] = {};
    ASSERT_TRUE(WaitFor([&] {
        if (!sound->AddPcm(small, sizeof small))
            return true;
        extra += sizeof small;
        return false;
    }));
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_EQ(CountOf(Log(), "Stopped  playing"), 0u);

    ASSERT_TRUE(WaitFor([&] { return !sound->IsDeviceOpen(); }));
    EXPECT_EQ(sound->GetDeviceBytesWritten(), 2000u + 3u * 10240u + extra);
    EXPECT_EQ(sound->GetQueuedCount(), 0);
    EXPECT_EQ(sound->GetInDeviceCount(), 0);
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_EQ(CountOf(Log(), "\n Stopped  playing"), 1u);

    // A new start reopens the device and takes PCM again.
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_START));
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_TRUE(sound->AddPcm(small, sizeof small));
}

TEST_F(PlaySoundTest, EndedThreadReleasesDeviceAndCanStartAgain) {
    Start(1, 8000, 2);
    std::vector<uint8_t> chunk(10240, 0x44);
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(sound->AddPcm(chunk.data(), static_cast<int>(chunk.size())));
    ASSERT_TRUE(WaitFor([&] { return sound->GetInDeviceCount() > 0; }));
    EXPECT_EQ(sound->StopThread(), 0);
    EXPECT_FALSE(sound->IsRunning());
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->GetInDeviceCount(), 0);
    EXPECT_EQ(sound->GetQueuedCount(), 0);
    EXPECT_FALSE(sound->AddPcm(chunk.data(), 100));

    ASSERT_EQ(sound->CreateThread(), 0);
    sound->SetFormat(2, 22050, 2);
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    ASSERT_TRUE(sound->IsDeviceOpen());
    uint64_t before = sound->GetDeviceBytesWritten();
    ASSERT_TRUE(sound->AddPcm(chunk.data(), static_cast<int>(chunk.size())));
    WaitForDeviceEmpty();
    EXPECT_GE(sound->GetDeviceBytesWritten(), before + chunk.size());
}

TEST_F(PlaySoundTest, LogHoldsExactEntriesOfASession) {
    Start(1, 8000, 2);
    // The second stop finds the object stopped and does nothing.
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_STOP));
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_STOP));
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_EQ(sound->OnPlayStop(), 1);

    // End with the device closed is ignored: the thread keeps running.
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_END));
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_TRUE(sound->IsRunning());

    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_START));
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    ASSERT_TRUE(sound->IsDeviceOpen());
    WaitForDeviceEmpty();
    ASSERT_TRUE(sound->PostThreadMessage(WM_PLAY_END));
    ASSERT_TRUE(WaitFor([&] { return !sound->IsRunning(); }));
    EXPECT_FALSE(sound->IsDeviceOpen());
    sound.reset();

    EXPECT_EQ(Log(),
              "\n In the constructor of Play sound"
              "\n Starting playing"
              "\n Stopped  playing"
              "\n Starting playing"
              "\n Stopped  playing"
              "\nEnding the play device");
}

TEST_F(PlaySoundTest, DeviceOpenFailureIsLoggedAndPcmRefused) {
    {
        ScopedEnv driver("SDL_AUDIODRIVER", "no-such-driver");
        sound = std::make_unique<CPlaySound>(logPath.c_str());
        ASSERT_EQ(sound->CreateThread(), 0);
        sound->SetFormat(2, 44100, 2);
        ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    }
    EXPECT_FALSE(sound->IsDeviceOpen());
    const uint8_t pcm[100] = {};
    EXPECT_FALSE(sound->AddPcm(pcm, sizeof pcm));
    EXPECT_EQ(sound->GetQueuedCount(), 0);
    EXPECT_NE(Log().find("\n Starting playingPLAY : PlayStart :6:"), std::string::npos) << Log();
    EXPECT_NE(Log().find("no-such-driver"), std::string::npos) << Log();

    // A format the device cannot take fails the same way; a good one recovers.
    sound->SetFormat(2, 44100, 0);
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_FALSE(sound->IsDeviceOpen());
    EXPECT_NE(Log().find("PLAY : PlayStart :20:"), std::string::npos) << Log();
    sound->SetFormat(2, 44100, 2);
    ASSERT_TRUE(WaitFor([&] { return sound->IsIdle(); }));
    EXPECT_TRUE(sound->IsDeviceOpen());
    EXPECT_TRUE(sound->AddPcm(pcm, sizeof pcm));
}

TEST(PlaySoundHooks, WritePcmCountsBytesEvenWhenRefused) {
    uint64_t before = ThePlaySound().GetPcmBytesWritten();
    const uint8_t pcm[300] = {};
    AudioWritePcm(pcm, sizeof pcm);
    EXPECT_EQ(ThePlaySound().GetPcmBytesWritten(), before + sizeof pcm);
    EXPECT_EQ(ThePlaySound().GetQueuedCount(), 0);
}

}  // namespace
