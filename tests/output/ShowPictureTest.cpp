#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Keeps what the display was given, as a window would draw it.
class RecordingWindow : public VideoWindow {
public:
    void SetVideoSize(int w, int h) override {
        ++sizeCalls;
        width = w;
        height = h;
    }
    void ShowFrame(const uint8_t* bits) override {
        lastBits = bits;
        frame.assign(bits, bits + static_cast<size_t>(DibStride(width)) * height);
        ++frames;
    }
    int sizeCalls = 0, frames = 0, width = 0, height = 0;
    const uint8_t* lastBits = nullptr;
    std::vector<uint8_t> frame;
};

// A picture whose every row differs from every other row.
std::vector<uint8_t> MakePicture(int width, int height, int seed) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * 3 * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            pixels[static_cast<size_t>(y) * width * 3 + x] = static_cast<uint8_t>(y * 7 + x * 3 + seed);
    return pixels;
}

// Row i of the top-down source is row height-1-i of the DIB.
void ExpectBottomUp(const uint8_t* dib, const std::vector<uint8_t>& picture, int width, int height) {
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int i = 0; i < height; ++i) {
        ASSERT_EQ(0, std::memcmp(dib + static_cast<size_t>(height - 1 - i) * DibStride(width),
                                 picture.data() + i * rowBytes, rowBytes))
            << "source row " << i;
    }
}

class ShowPictureTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_pVideoWnd = nullptr;
        FreeFrameBuffer();
    }
    RecordingWindow window;
};

TEST_F(ShowPictureTest, SizesChangeBufferAndWindow) {
    g_pVideoWnd = &window;
    struct Case { int width, height, stride; };
    const Case cases[] = {{320, 240, 960}, {640, 360, 1920}, {322, 241, 968}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        std::vector<uint8_t> picture = MakePicture(c.width, c.height, c.width);
        ShowPicture(picture.data(), c.width, c.height);
        ASSERT_NE(g_pFrameBuf, nullptr);
        EXPECT_EQ(g_nFrameBufSize, c.stride * c.height);
        EXPECT_EQ(DibStride(c.width), c.stride);
        ExpectBottomUp(g_pFrameBuf, picture, c.width, c.height);
        EXPECT_EQ(window.width, c.width);
        EXPECT_EQ(window.height, c.height);
        EXPECT_EQ(window.lastBits, g_pFrameBuf);
        ExpectBottomUp(window.frame.data(), picture, c.width, c.height);
    }
    EXPECT_EQ(window.frames, 3);
    EXPECT_EQ(window.sizeCalls, 3);
}

TEST_F(ShowPictureTest, OddHeightKeepsMiddleRowInPlace) {
    const int width = 5, height = 3;
    std::vector<uint8_t> picture = MakePicture(width, height, 1);
    ShowPicture(picture.data(), width, height);
    EXPECT_EQ(0, std::memcmp(g_pFrameBuf + DibStride(width), picture.data() + width * 3, width * 3));
}

TEST_F(ShowPictureTest, SameByteSizeReusesBuffer) {
    std::vector<uint8_t> first = MakePicture(320, 240, 1);
    ShowPicture(first.data(), 320, 240);
    const uint8_t* buffer = g_pFrameBuf;
    std::vector<uint8_t> second = MakePicture(320, 240, 2);
    ShowPicture(second.data(), 320, 240);
    EXPECT_EQ(g_pFrameBuf, buffer);
    ExpectBottomUp(g_pFrameBuf, second, 320, 240);
}

TEST_F(ShowPictureTest, WithoutWindowConvertsOnly) {
    std::vector<uint8_t> picture = MakePicture(64, 48, 3);
    ShowPicture(picture.data(), 64, 48);
    ASSERT_NE(g_pFrameBuf, nullptr);
    ExpectBottomUp(g_pFrameBuf, picture, 64, 48);
    EXPECT_EQ(window.frames, 0);
}

TEST_F(ShowPictureTest, FreedBufferIsMadeAgainByNextPicture) {
    std::vector<uint8_t> picture = MakePicture(64, 48, 4);
    ShowPicture(picture.data(), 64, 48);
    FreeFrameBuffer();
    EXPECT_EQ(g_pFrameBuf, nullptr);
    EXPECT_EQ(g_nFrameBufSize, 192 * 48);
    ShowPicture(picture.data(), 64, 48);
    ASSERT_NE(g_pFrameBuf, nullptr);
    ExpectBottomUp(g_pFrameBuf, picture, 64, 48);
}

TEST_F(ShowPictureTest, BadPicturesLeaveHeldPictureAlone) {
    g_pVideoWnd = &window;
    std::vector<uint8_t> picture = MakePicture(32, 16, 5);
    ShowPicture(picture.data(), 32, 16);
    std::vector<uint8_t> held(g_pFrameBuf, g_pFrameBuf + g_nFrameBufSize);
    ShowPicture(nullptr, 32, 16);
    ShowPicture(picture.data(), 0, 16);
    ShowPicture(picture.data(), 32, -1);
    ShowPicture(picture.data(), 1 << 30, 1 << 30);
    EXPECT_EQ(window.frames, 1);
    EXPECT_EQ(g_nFrameBufSize, static_cast<int>(held.size()));
    EXPECT_EQ(0, std::memcmp(g_pFrameBuf, held.data(), held.size()));
}

}  // namespace
