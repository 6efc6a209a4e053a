#include "output/OutputHooks.h"
#include "output/VideoWindow.h"
#include "output/qt/StaticVideo.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Generous: the CI machine may be busy with other builds.
constexpr int kEventWaitMs = 10000;
const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255), kWhite = qRgb(255, 255, 255);

// A packed BGR24 picture, top row first, as the presentation thread hands it over.
struct Picture {
    int width, height;
    std::vector<uint8_t> bytes;
    Picture(int w, int h, const std::function<QRgb(int, int)>& colour) : width(w), height(h) {
        for (int i = 0; i < w * h; ++i) {
            const QRgb c = colour(i % w, i / w);
            bytes.insert(bytes.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c))});
        }
    }
    QRgb At(int x, int y) const {
        const uint8_t* p = &bytes[(y * width + x) * 3];
        return qRgb(p[2], p[1], p[0]);
    }
};

// A flip, mirror or shift moves a colour into the wrong corner.
Picture Quadrants(int w, int h) {
    return Picture(w, h, [w, h](int x, int y) {
        return y < h / 2 ? (x < w / 2 ? kRed : kGreen) : (x < w / 2 ? kBlue : kWhite);
    });
}

// Neighbouring pixels all differ, so any shear or off-by-one shows.
Picture Gradient(int w, int h) {
    return Picture(w, h, [](int x, int y) { return qRgb(x & 0xFF, y & 0xFF, (x * 7 + y * 13) & 0xFF); });
}

// Hands the picture over the way the player does: from a thread of its own.
void PresentFromWorker(const Picture& pic) {
    std::thread([&] { ShowPicture(pic.bytes.data(), pic.width, pic.height); }).join();
}

// Where a w x h picture belongs on a control of the given size: as large as
// fits with its aspect ratio kept, centred.
QRect Letterbox(const QSize& control, int w, int h) {
    const int cw = control.width(), ch = control.height();
    if (cw * h > ch * w)
        return QRect((cw - ch * w / h) / 2, 0, ch * w / h, ch);
    return QRect(0, (ch - cw * h / w) / 2, cw, cw * h / w);
}

// The quadrants of a w x h picture, and black outside its letterbox.
void ExpectQuadrants(const QImage& shot, int pw, int ph, const std::string& what) {
    const QRect r = Letterbox(shot.size(), pw, ph);
    const int x0 = r.left(), y0 = r.top(), w = r.width(), h = r.height();
    for (auto [x, y, colour] : {std::tuple{w / 4, h / 4, kRed}, {3 * w / 4, h / 4, kGreen}, {w / 4, 3 * h / 4, kBlue},
                                {3 * w / 4, 3 * h / 4, kWhite}, {0, 0, kRed}, {w - 1, 0, kGreen}, {0, h - 1, kBlue},
                                {w - 1, h - 1, kWhite}})
        EXPECT_EQ(shot.pixel(x0 + x, y0 + y), colour) << what << ": pixel (" << x0 + x << ", " << y0 + y << ")";
    const QPoint outside = r.left() > 0 ? QPoint(r.left() - 1, shot.height() / 2) : QPoint(shot.width() / 2, r.top() - 1);
    if (outside.x() >= 0 && outside.y() >= 0) {
        EXPECT_EQ(shot.pixel(outside), qRgb(0, 0, 0)) << what << ": the bar is not black";
    }
}

class StaticVideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_video.resize(400, 300);
        m_video.show();
        SetVideoWindow(&m_video);
    }
    void TearDown() override { SetVideoWindow(nullptr); }
    // Paints the control, which makes its canvas on the first call.
    QImage Grab() { return m_video.grab().toImage().convertToFormat(QImage::Format_RGB32); }

    CStaticVideo m_video;
};

} // namespace

// Sizes change from picture to picture and from control to control; every
// pixel of the picture's letterbox comes from the nearest picture pixel by
// pixel centre, every other pixel is black (3 * 322 is no multiple of 4, 241
// rows is odd).
TEST_F(StaticVideoTest, PicturesAreScaledUprightIntoTheirLetterbox) {
    PresentFromWorker(Quadrants(320, 240));
    EXPECT_EQ(Grab().pixel(200, 150), qRgb(0, 0, 0)) << "a picture before the first paint is lost";
    for (auto [w, h, cw, ch] : {std::tuple{320, 240, 400, 300}, {320, 240, 400, 300}, {640, 360, 400, 300},
                                {322, 241, 400, 300}, {322, 241, 322, 241}, {161, 120, 322, 240}, {17, 9, 400, 300}}) {
        const std::string what = std::to_string(w) + "x" + std::to_string(h) + " on " + std::to_string(cw);
        if (m_video.size() != QSize(cw, ch)) {
            m_video.resize(cw, ch);
            Grab();
        }
        const Picture pic = Gradient(w, h);
        const int painted = m_video.PicturesPainted();
        PresentFromWorker(pic);
        // Shown by the repaint the presenter queued; nothing here paints.
        QElapsedTimer timer;
        for (timer.start(); m_video.PicturesPainted() == painted && timer.elapsed() < kEventWaitMs;)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        EXPECT_EQ(m_video.PicturesPainted(), painted + 1) << what;
        const QImage shot = Grab();
        const QRect r = Letterbox(shot.size(), w, h);
        int wrong = 0;
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x)
                wrong += shot.pixel(x, y) !=
                         (r.contains(x, y) ? pic.At((2 * (x - r.left()) + 1) * w / (2 * r.width()),
                                                    (2 * (y - r.top()) + 1) * h / (2 * r.height()))
                                           : qRgb(0, 0, 0));
        EXPECT_EQ(wrong, 0) << what;
    }
    EXPECT_EQ(m_video.FramesDrawn(), 7);
}

TEST_F(StaticVideoTest, ManyPicturesWhileTheControlIsResizedOrReplaced) {
    Grab();
    std::atomic<bool> stop{false};
    const Picture a = Quadrants(320, 240), b = Quadrants(322, 181);
    std::thread presenter([&] {
        for (int i = 0; !stop && i < 400; ++i)
            ShowPicture((i % 3 ? a : b).bytes.data(), i % 3 ? 320 : 322, i % 3 ? 240 : 181);
    });
    for (int i = 0; i < 40; ++i) {
        m_video.resize(200 + 13 * i, 150 + 7 * i);
        Grab();
        QApplication::processEvents();
    }
    stop = true;
    presenter.join();
    PresentFromWorker(a);
    ExpectQuadrants(Grab(), 320, 240, "after the storm");

    // Controls made the display and destroyed while pictures keep coming, as
    // when the window closes under a running player: each destructor waits
    // for the picture being drawn, and the repaints queued for it are dropped.
    stop = false;
    std::thread stream([&] {
        while (!stop)
            ShowPicture(a.bytes.data(), 320, 240);
    });
    for (int i = 0; i < 30; ++i) {
        auto video = std::make_unique<CStaticVideo>();
        video->resize(160, 120);
        video->grab();
        SetVideoWindow(video.get());
        QElapsedTimer timer;
        for (timer.start(); video->FramesDrawn() == 0 && timer.elapsed() < kEventWaitMs;)
            std::this_thread::yield();
        EXPECT_GT(video->FramesDrawn(), 0);
    }
    QApplication::processEvents();
    stop = true;
    stream.join();
}
