#pragma once
// The process-wide player with a running audio thread and a display that
// records what it is shown: the set-up of every test that plays through the
// entry functions. TearDown stops playback before the audio thread.
#include <gtest/gtest.h>

#include "engine/MediaPlayer.h"
#include "engine/control/PlayEntry.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"

class PlayerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ThePlaySound().CreateThread();
        SetVideoWindow(&window);
    }
    void TearDown() override {
        Stop();
        SetVideoWindow(nullptr);
        ThePlaySound().StopThread();
    }

    RecordingWindow window;
    MediaPlayer& player = ThePlayer();
};
