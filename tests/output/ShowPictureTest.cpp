#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include "OutputTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Top-down BGR rows of noise, so no two rows are alike.
std::vector<uint8_t> MakePicture(int width, int height, int seed) {
    std::string noise = Noise(size_t(width) * 3 * height, 1 + seed);
    return {noise.begin(), noise.end()};
}

// Row i of the top-down picture is row height-1-i of the frame buffer.
void ExpectBottomUp(const std::vector<uint8_t>& picture, int width, int height) {
    ASSERT_NE(g_pFrameBuf, nullptr);
    const size_t rowBytes = size_t(width) * 3;
    for (int i = 0; i < height; ++i)
        ASSERT_EQ(0, std::memcmp(g_pFrameBuf + size_t(height - 1 - i) * DibStride(width),
                                 picture.data() + i * rowBytes, rowBytes))
            << "source row " << i;
}

class ShowPictureTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_pVideoWnd = nullptr;
        FreeFrameBuffer();
    }
    RecordingWindow window;
};

TEST_F(ShowPictureTest, RowsGoBottomUpIntoABufferOfThePicturesSize) {
    g_pVideoWnd = &window;
    struct Case { int width, height, stride; } cases[] = {
        {320, 240, 960}, {322, 241, 968}, {5, 3, 16}, {640, 360, 1920}, {640, 360, 1920}};
    const uint8_t* previous = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        std::vector<uint8_t> picture = MakePicture(c.width, c.height, window.frames);
        ShowPicture(picture.data(), c.width, c.height);
        EXPECT_EQ(g_nFrameBufSize, c.stride * c.height);
        ExpectBottomUp(picture, c.width, c.height);
        EXPECT_EQ(window.width, c.width);
        EXPECT_EQ(window.height, c.height);
        EXPECT_EQ(window.lastBits, g_pFrameBuf);
        if (&c == &cases[4]) {  // the same size again reuses the buffer
            EXPECT_EQ(g_pFrameBuf, previous);
        }
        previous = g_pFrameBuf;
    }
    EXPECT_EQ(window.frames, 5);

    // Bad pictures leave the held one alone.
    std::vector<uint8_t> picture = MakePicture(32, 16, 5);
    ShowPicture(picture.data(), 32, 16);
    ShowPicture(nullptr, 32, 16);
    ShowPicture(picture.data(), 0, 16);
    ShowPicture(picture.data(), 32, -1);
    ShowPicture(picture.data(), 1 << 30, 1 << 30);
    EXPECT_EQ(window.frames, 6);
    EXPECT_EQ(g_nFrameBufSize, DibStride(32) * 16);
    ExpectBottomUp(picture, 32, 16);
}

TEST_F(ShowPictureTest, WithoutWindowOrBufferAPictureIsStillConverted) {
    std::vector<uint8_t> picture = MakePicture(64, 48, 4);
    ShowPicture(picture.data(), 64, 48);
    ExpectBottomUp(picture, 64, 48);
    FreeFrameBuffer();
    EXPECT_EQ(g_pFrameBuf, nullptr);
    ShowPicture(picture.data(), 64, 48);  // the size is unchanged, the buffer gone
    ExpectBottomUp(picture, 64, 48);
    EXPECT_EQ(window.frames, 0);
}

}  // namespace
