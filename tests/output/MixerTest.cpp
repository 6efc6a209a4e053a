#include "output/Mixer.h"

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <filesystem>
#include <iterator>

namespace {

constexpr uint32_t kWaveOutLine = 0x1003;

size_t OpenDescriptors() {
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

bool HasSoundCard() {
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
}

TEST(MixerTest, NeverLeavesAHandleOpen) {
    size_t before = OpenDescriptors();
    for (uint32_t mode : {CMixer::kModeWaveOut, 0u}) {
        CMixer mixer(kWaveOutLine, mode);
        mixer.SetVolume(mixer.GetVolume());
        mixer.GetVolume();
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(MixerTest, WithoutMixerIsSilentAndInert) {
    if (HasSoundCard())
        GTEST_SKIP() << "this machine has a sound card";
    testing::internal::CaptureStderr();
    CMixer mixer(kWaveOutLine, CMixer::kModeWaveOut);
    mixer.SetVolume(12345);
    uint32_t volume = mixer.GetVolume();
    std::string noise = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(mixer.IsReady());
    EXPECT_EQ(volume, 0u);
    EXPECT_EQ(mixer.GetMax(), 0u);
    EXPECT_EQ(mixer.GetMin(), 0u);
    EXPECT_EQ(noise, "");
}

TEST(MixerTest, SetThenGetReturnsTheValue) {
    CMixer mixer(kWaveOutLine, CMixer::kModeWaveOut);
    if (!mixer.IsReady())
        GTEST_SKIP() << "no mixer on this machine";
    uint32_t saved = mixer.GetVolume();
    mixer.SetVolume(mixer.GetMax());
    EXPECT_EQ(mixer.GetVolume(), mixer.GetMax());
    mixer.SetVolume(mixer.GetMin());
    EXPECT_EQ(mixer.GetVolume(), mixer.GetMin());
    mixer.SetVolume(saved);
}

}  // namespace
