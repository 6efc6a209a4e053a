#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include "OutputTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>

namespace {

// A picture of a given shape that paints one grey.
class GreyPicture : public Picture {
public:
    GreyPicture(int width, int height) : m_nWidth(width), m_nHeight(height) {}
    int Width() const override { return m_nWidth; }
    int Height() const override { return m_nHeight; }
    bool Paint(uint8_t* bits, ptrdiff_t stride, int width, int height) const override {
        for (int y = 0; y < height; ++y)
            std::fill_n(bits + y * stride, size_t(width) * 4, uint8_t{0x80});
        return true;
    }

private:
    int m_nWidth, m_nHeight;
};

// Keeps the last picture it is shown.
class KeepingWindow : public VideoWindow {
public:
    void ShowFrame(std::shared_ptr<const Picture> picture) override {
        last = std::move(picture);
        ++frames;
    }
    std::shared_ptr<const Picture> last;
    int frames = 0;
};

// Holds the presentation thread inside ShowFrame until released.
struct BlockingWindow : VideoWindow {
    void ShowFrame(std::shared_ptr<const Picture>) override {
        inside = true;
        WaitFor([&] { return released.load(); });
        ++frames;
    }
    std::atomic<bool> inside{false}, released{false};
    std::atomic<int> frames{0};
};

class ShowPictureTest : public ::testing::Test {
protected:
    void TearDown() override { SetVideoWindow(nullptr); }
};

TEST_F(ShowPictureTest, TheDisplayGetsEachPictureAsHandedOverAndNoBadOne) {
    KeepingWindow window;
    SetVideoWindow(&window);
    for (auto [w, h] : {std::pair{320, 240}, {5, 3}, {1, 1}}) {
        auto picture = std::make_shared<GreyPicture>(w, h);
        ShowPicture(picture);
        EXPECT_EQ(window.last, picture) << w << "x" << h;
    }
    EXPECT_EQ(window.frames, 3);

    // Pictures without a shape never reach the display.
    ShowPicture(nullptr);
    for (auto [w, h] : {std::pair{0, 16}, {32, -1}, {-5, -5}})
        ShowPicture(std::make_shared<GreyPicture>(w, h));
    EXPECT_EQ(window.frames, 3);

    // Only the display set takes itself out.
    const auto picture = std::make_shared<GreyPicture>(32, 16);
    KeepingWindow other;
    ReleaseVideoWindow(&other);
    ShowPicture(picture);
    EXPECT_EQ(window.frames, 4);
    ReleaseVideoWindow(&window);
    ShowPicture(picture);
    SetVideoWindow(nullptr);
    ShowPicture(picture);
    EXPECT_EQ(window.frames, 4);
    EXPECT_EQ(other.frames, 0);
}

// The display may be destroyed as soon as it has been replaced: replacing it
// waits for the picture it is drawing, and no picture starts after.
TEST_F(ShowPictureTest, ReplacingTheDisplayWaitsForThePictureItIsDrawing) {
    const auto picture = std::make_shared<GreyPicture>(8, 8);
    BlockingWindow blocking;
    SetVideoWindow(&blocking);
    std::thread presenter([&] { ShowPicture(picture); });
    EXPECT_TRUE(WaitFor([&] { return blocking.inside.load(); }));
    std::atomic<bool> replaced{false};
    std::thread owner([&] {
        SetVideoWindow(nullptr);
        replaced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(replaced) << "the display was replaced while it drew a picture";
    blocking.released = true;
    presenter.join();
    owner.join();
    EXPECT_TRUE(replaced);
    ShowPicture(picture);
    EXPECT_EQ(blocking.frames, 1);

    // Displays made, set and destroyed under a stream of pictures, the way a
    // window closes while the player still runs.
    struct SelfReleasing : RecordingWindow {
        ~SelfReleasing() override { ReleaseVideoWindow(this); }
    };
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        while (!stop)
            ShowPicture(picture);
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
