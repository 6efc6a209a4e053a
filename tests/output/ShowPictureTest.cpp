#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include "OutputTestUtil.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Top-down BGR rows of noise, so no two rows are alike.
std::vector<uint8_t> MakePicture(int width, int height, int seed) {
    std::string noise = Noise(size_t(width) * 3 * height, 1 + seed);
    return {noise.begin(), noise.end()};
}

// Keeps a copy of every byte it is shown.
class CopyingWindow : public VideoWindow {
public:
    void SetVideoSize(int w, int h) override { width = w, height = h; }
    void ShowFrame(const uint8_t* bits) override {
        picture.assign(bits, bits + size_t(width) * 3 * height);
        ++frames;
    }
    int width = 0, height = 0, frames = 0;
    std::vector<uint8_t> picture;
};

// Holds the presentation thread inside ShowFrame until Release.
class BlockingWindow : public VideoWindow {
public:
    void SetVideoSize(int, int) override {}
    void ShowFrame(const uint8_t*) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bInside = true;
        m_cond.notify_all();
        m_cond.wait(lock, [&] { return m_bReleased; });
        m_bInside = false;
        ++m_nFrames;
    }
    void WaitInside() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return m_bInside; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReleased = true;
        m_cond.notify_all();
    }
    int Frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nFrames;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bInside = false, m_bReleased = false;
    int m_nFrames = 0;
};

class ShowPictureTest : public ::testing::Test {
protected:
    void TearDown() override { SetVideoWindow(nullptr); }
};

TEST_F(ShowPictureTest, TheDisplayGetsEachPictureAsHandedOverAndNoBadOne) {
    CopyingWindow window;
    SetVideoWindow(&window);
    struct Case { int width, height; } cases[] = {{320, 240}, {322, 241}, {5, 3}, {640, 360}, {1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        const std::vector<uint8_t> picture = MakePicture(c.width, c.height, window.frames);
        ShowPicture(picture.data(), c.width, c.height);
        EXPECT_EQ(window.width, c.width);
        EXPECT_EQ(window.height, c.height);
        EXPECT_TRUE(window.picture == picture);
    }
    EXPECT_EQ(window.frames, 5);

    // Bad pictures never reach the display.
    const std::vector<uint8_t> picture = MakePicture(32, 16, 5);
    ShowPicture(picture.data(), 32, 16);
    ShowPicture(nullptr, 32, 16);
    ShowPicture(picture.data(), 0, 16);
    ShowPicture(picture.data(), 32, -1);
    ShowPicture(picture.data(), 1 << 30, 1 << 30);
    ShowPicture(picture.data(), 1 << 16, 1 << 15);  // 6 GiB
    EXPECT_EQ(window.frames, 6);
    EXPECT_EQ(window.width, 32);

    // Only the display set takes itself out.
    CopyingWindow other;
    ReleaseVideoWindow(&other);
    ShowPicture(picture.data(), 32, 16);
    EXPECT_EQ(window.frames, 7);
    ReleaseVideoWindow(&window);
    ShowPicture(picture.data(), 32, 16);
    SetVideoWindow(nullptr);
    ShowPicture(picture.data(), 32, 16);
    EXPECT_EQ(window.frames, 7);
    EXPECT_EQ(other.frames, 0);
}

// The display may be destroyed as soon as it has been replaced: replacing it
// waits for the picture it is drawing, and no picture starts after.
TEST_F(ShowPictureTest, ReplacingTheDisplayWaitsForThePictureItIsDrawing) {
    const std::vector<uint8_t> picture = MakePicture(8, 8, 1);
    BlockingWindow blocking;
    SetVideoWindow(&blocking);
    std::thread presenter([&] { ShowPicture(picture.data(), 8, 8); });
    blocking.WaitInside();
    std::atomic<bool> replaced{false};
    std::thread owner([&] {
        SetVideoWindow(nullptr);
        replaced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(replaced) << "the display was replaced while it drew a picture";
    blocking.Release();
    presenter.join();
    owner.join();
    EXPECT_TRUE(replaced);
    ShowPicture(picture.data(), 8, 8);
    EXPECT_EQ(blocking.Frames(), 1);

    // Displays made, set and destroyed under a stream of pictures, the way a
    // window closes while the player still runs.
    struct SelfReleasing : RecordingWindow {
        ~SelfReleasing() override { ReleaseVideoWindow(this); }
    };
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        while (!stop)
            ShowPicture(picture.data(), 8, 8);
    });
    int shown = 0;
    for (int i = 0; i < 200; ++i) {
        auto window = std::make_unique<SelfReleasing>();
        SetVideoWindow(window.get());
        WaitFor([&] { return window->frames > 0; }, 1000);
        shown += window->frames;
    }
    stop = true;
    stream.join();
    EXPECT_GT(shown, 0);
}

}  // namespace
