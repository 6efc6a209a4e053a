#include "output/OutputHooks.h"
#include "output/VideoWindow.h"
#include "output/qt/StaticVideo.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Generous: the CI machine may be busy with other builds.
constexpr int kEventWaitMs = 10000;

// A packed BGR24 picture, top row first, as the presentation thread hands it over.
struct Picture {
    int width;
    int height;
    std::vector<uint8_t> bytes;
    void Set(int x, int y, QColor c) {
        uint8_t* p = &bytes[(static_cast<size_t>(y) * width + x) * 3];
        p[0] = static_cast<uint8_t>(c.blue());
        p[1] = static_cast<uint8_t>(c.green());
        p[2] = static_cast<uint8_t>(c.red());
    }
};

// Quadrants: red top-left, green top-right, blue bottom-left, white bottom-right.
Picture Quadrants(int width, int height) {
    Picture pic{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            pic.Set(x, y, bottom ? (right ? Qt::white : Qt::blue) : (right ? Qt::green : Qt::red));
        }
    return pic;
}

// Every pixel different from its neighbours in a way a shift, flip or shear shows.
Picture Gradient(int width, int height) {
    Picture pic{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pic.Set(x, y, QColor(x & 0xFF, y & 0xFF, (x * 7 + y * 13) & 0xFF));
    return pic;
}

// Hands the picture over the way the player does: from a thread of its own.
void PresentFromWorker(const Picture& pic) {
    std::thread presenter([&] { ShowPicture(pic.bytes.data(), pic.width, pic.height); });
    presenter.join();
}

bool Near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 &&
           std::abs(a.blue() - b.blue()) < 40;
}

// Checks that the grabbed control shows the quadrant pattern upright and
// filling the whole client area.
void ExpectQuadrants(const QImage& shot, const char* what) {
    const int w = shot.width(), h = shot.height();
    struct Probe { int x, y; QColor colour; };
    const Probe probes[] = {
        {w / 4, h / 4, Qt::red}, {3 * w / 4, h / 4, Qt::green},
        {w / 4, 3 * h / 4, Qt::blue}, {3 * w / 4, 3 * h / 4, Qt::white},
        {0, 0, Qt::red}, {w - 1, 0, Qt::green}, {0, h - 1, Qt::blue}, {w - 1, h - 1, Qt::white},
    };
    for (const Probe& p : probes)
        EXPECT_TRUE(Near(shot.pixelColor(p.x, p.y), p.colour))
            << what << ": pixel (" << p.x << ", " << p.y << ") is " << shot.pixelColor(p.x, p.y).name().toStdString()
            << ", expected " << p.colour.name().toStdString();
}

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kEventWaitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// Counts paint events that reach a widget.
class PaintCounter : public QObject {
public:
    std::atomic<int> paints{0};
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class StaticVideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_video.resize(400, 300);
        m_video.show();
        g_pVideoWnd = &m_video;
    }
    void TearDown() override {
        g_pVideoWnd = nullptr;
        FreeFrameBuffer();
    }
    // The first paint makes the canvas; pictures before it are lost.
    QImage Grab() { return m_video.grab().toImage().convertToFormat(QImage::Format_RGB32); }

    CStaticVideo m_video;
};

} // namespace

TEST_F(StaticVideoTest, PicturesOfChangingSizeFillTheControlUpright) {
    Grab();
    const std::pair<int, int> sizes[] = {{320, 240}, {320, 240}, {640, 360}, {322, 241}, {17, 9}};
    for (auto [w, h] : sizes) {
        PresentFromWorker(Quadrants(w, h));
        const QImage shot = Grab();
        ASSERT_EQ(shot.size(), QSize(400, 300));
        ExpectQuadrants(shot, (std::to_string(w) + "x" + std::to_string(h)).c_str());
    }
}

TEST_F(StaticVideoTest, PictureOfClientSizeIsCopiedPixelForPixel) {
    // Odd width (3 * 322 is no multiple of 4) and odd height: any shear,
    // shift or flip changes some pixel.
    m_video.resize(322, 241);
    Grab();
    const Picture pic = Gradient(322, 241);
    PresentFromWorker(pic);
    const QImage shot = Grab();
    ASSERT_EQ(shot.size(), QSize(322, 241));
    int wrong = 0;
    for (int y = 0; y < pic.height; ++y)
        for (int x = 0; x < pic.width; ++x) {
            const uint8_t* p = &pic.bytes[(static_cast<size_t>(y) * pic.width + x) * 3];
            if (shot.pixel(x, y) != qRgb(p[2], p[1], p[0]) && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << shot.pixel(x, y)
                              << ", expected " << qRgb(p[2], p[1], p[0]);
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(StaticVideoTest, ResizeKeepsThePictureAndTheNextOneFillsTheNewSize) {
    Grab();
    PresentFromWorker(Quadrants(320, 240));
    ExpectQuadrants(Grab(), "before resize");

    m_video.resize(250, 410);
    // The canvas is re-made at the new size from the picture it held.
    QImage shot = Grab();
    ASSERT_EQ(shot.size(), QSize(250, 410));
    ExpectQuadrants(shot, "resized, same picture");

    // A picture with the quadrants mirrored left to right now fills the new size.
    Picture mirrored = Quadrants(320, 240);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 160; ++x)
            for (int c = 0; c < 3; ++c)
                std::swap(mirrored.bytes[(y * 320 + x) * 3 + c], mirrored.bytes[(y * 320 + 319 - x) * 3 + c]);
    PresentFromWorker(mirrored);
    shot = Grab();
    EXPECT_TRUE(Near(shot.pixelColor(10, 10), Qt::green));
    EXPECT_TRUE(Near(shot.pixelColor(240, 10), Qt::red));
    EXPECT_TRUE(Near(shot.pixelColor(10, 400), Qt::white));
    EXPECT_TRUE(Near(shot.pixelColor(240, 400), Qt::blue));
}

TEST_F(StaticVideoTest, PictureAsksForARepaintFromThePresentationThread) {
    ASSERT_TRUE(WaitFor([&] { return m_video.isVisible(); }));
    Grab();
    PaintCounter counter;
    m_video.installEventFilter(&counter);
    QApplication::processEvents();
    const int before = counter.paints;
    PresentFromWorker(Quadrants(320, 240));
    EXPECT_TRUE(WaitFor([&] { return counter.paints > before; })) << "no paint after a picture";
    m_video.removeEventFilter(&counter);
}

TEST_F(StaticVideoTest, PictureBeforeTheFirstPaintIsNotShown) {
    CStaticVideo fresh;
    fresh.resize(200, 100);
    g_pVideoWnd = &fresh;
    PresentFromWorker(Quadrants(320, 240));
    const QImage shot = fresh.grab().toImage();
    EXPECT_TRUE(Near(shot.pixelColor(50, 25), Qt::black));
    EXPECT_TRUE(Near(shot.pixelColor(150, 75), Qt::black));
    // Once painted, the next picture shows.
    PresentFromWorker(Quadrants(320, 240));
    ExpectQuadrants(fresh.grab().toImage(), "after first paint");
}

TEST_F(StaticVideoTest, ManyPicturesWhileTheWindowIsResized) {
    Grab();
    std::atomic<bool> stop{false};
    std::thread presenter([&] {
        const Picture a = Quadrants(320, 240), b = Quadrants(322, 181);
        for (int i = 0; !stop && i < 400; ++i) {
            const Picture& pic = i % 3 ? a : b;
            ShowPicture(pic.bytes.data(), pic.width, pic.height);
        }
    });
    for (int i = 0; i < 40; ++i) {
        m_video.resize(200 + 13 * i, 150 + 7 * i);
        Grab();
        QApplication::processEvents();
    }
    stop = true;
    presenter.join();
    PresentFromWorker(Quadrants(320, 240));
    ExpectQuadrants(Grab(), "after the storm");
}

TEST(StaticVideo, DoubleClickIsReported) {
    CStaticVideo video;
    video.resize(100, 100);
    int clicks = 0;
    QObject::connect(&video, &CStaticVideo::DoubleClicked, [&] { ++clicks; });
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(50, 50), QPointF(50, 50), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&video, &dbl);
    EXPECT_EQ(clicks, 1);
}

TEST(StaticVideo, DestroyedControlLeavesTheHandOff) {
    auto* video = new CStaticVideo;
    g_pVideoWnd = video;
    delete video;
    EXPECT_EQ(g_pVideoWnd.load(), nullptr);
    // Pictures now go to the frame buffer only.
    const Picture pic = Quadrants(8, 4);
    PresentFromWorker(pic);
    FreeFrameBuffer();
}
