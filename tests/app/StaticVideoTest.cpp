#include "output/OutputHooks.h"
#include "output/VideoWindow.h"
#include "output/qt/StaticVideo.h"

#include "BgrPicture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Generous: the CI machine may be busy with other builds.
constexpr int kEventWaitMs = 10000;
const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255), kWhite = qRgb(255, 255, 255);

// A decoded picture of packed BGR24 pixels, handed over as the presentation
// thread does: the control has it converted at the size it shows.
struct TestPicture {
    int width, height;
    std::vector<uint8_t> bytes;
    std::shared_ptr<const FramePicture> decoded;
    TestPicture(int w, int h, const std::function<QRgb(int, int)>& colour) : width(w), height(h) {
        for (int i = 0; i < w * h; ++i) {
            const QRgb c = colour(i % w, i / w);
            bytes.insert(bytes.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c))});
        }
        decoded = BgrPicture(bytes.data(), w, h);
    }
    QRgb At(int x, int y) const {
        const uint8_t* p = &bytes[(y * width + x) * 3];
        return qRgb(p[2], p[1], p[0]);
    }
};

// A flip, mirror or shift moves a colour into the wrong corner.
TestPicture Quadrants(int w, int h) {
    return TestPicture(w, h, [w, h](int x, int y) {
        return y < h / 2 ? (x < w / 2 ? kRed : kGreen) : (x < w / 2 ? kBlue : kWhite);
    });
}

// Neighbouring pixels all differ, so any shear or off-by-one shows.
TestPicture Gradient(int w, int h) {
    return TestPicture(w, h, [](int x, int y) { return qRgb(x & 0xFF, y & 0xFF, (x * 7 + y * 13) & 0xFF); });
}

// Hands the picture over the way the player does: from a thread of its own.
void PresentFromWorker(const TestPicture& pic) {
    std::thread([&] { ShowPicture(pic.decoded); }).join();
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
    // A new size, painted once so the canvas follows it.
    QImage Resize(int w, int h) {
        m_video.resize(w, h);
        return Grab();
    }

    CStaticVideo m_video;
};

} // namespace

namespace {

// The smallest and largest value of each channel among the picture's pixels
// within `reach` picture pixels of where a control pixel's centre falls.
std::pair<QRgb, QRgb> Neighbourhood(const TestPicture& pic, double fx, double fy, double reachX, double reachY) {
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    const int x0 = std::max(0, int(std::floor(fx - reachX))), x1 = std::min(pic.width - 1, int(std::ceil(fx + reachX)));
    const int y0 = std::max(0, int(std::floor(fy - reachY))), y1 = std::min(pic.height - 1, int(std::ceil(fy + reachY)));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const QRgb c = pic.At(x, y);
            const int v[3] = {qRed(c), qGreen(c), qBlue(c)};
            for (int i = 0; i < 3; ++i) {
                lo[i] = std::min(lo[i], v[i]);
                hi[i] = std::max(hi[i], v[i]);
            }
        }
    return {qRgb(lo[0], lo[1], lo[2]), qRgb(hi[0], hi[1], hi[2])};
}

bool Within(QRgb c, const std::pair<QRgb, QRgb>& range) {
    return qRed(c) >= qRed(range.first) && qRed(c) <= qRed(range.second) && qGreen(c) >= qGreen(range.first) &&
           qGreen(c) <= qGreen(range.second) && qBlue(c) >= qBlue(range.first) && qBlue(c) <= qBlue(range.second);
}

// Presents a picture and waits for the repaint the presenter queued; the
// control as painted then.
QImage ShowAndGrab(CStaticVideo& video, const TestPicture& pic) {
    const int painted = video.PicturesPainted();
    PresentFromWorker(pic);
    QElapsedTimer timer;
    for (timer.start(); video.PicturesPainted() == painted && timer.elapsed() < kEventWaitMs;)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(video.PicturesPainted(), painted + 1) << "the queued repaint never came";
    return video.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

// Sizes change from picture to picture and from control to control (3 * 322
// is no multiple of 4, 241 rows is odd): a picture of the letterbox's size is
// copied exactly; any other is filtered, each pixel made only of the picture
// pixels around the place it comes from (so nothing is flipped, shifted or
// overshoots); every pixel outside the letterbox is black.
TEST_F(StaticVideoTest, PicturesAreScaledUprightIntoTheirLetterbox) {
    PresentFromWorker(Quadrants(320, 240));
    ExpectQuadrants(Grab(), 320, 240, "a picture that came before the first paint");
    for (auto [w, h, cw, ch] : {std::tuple{320, 240, 400, 300}, {320, 240, 400, 300}, {640, 360, 400, 300},
                                {322, 241, 400, 300}, {322, 241, 322, 241}, {161, 120, 322, 240}, {17, 9, 400, 300},
                                {1000, 700, 100, 70}}) {
        const std::string what = std::to_string(w) + "x" + std::to_string(h) + " on " + std::to_string(cw);
        if (m_video.size() != QSize(cw, ch))
            Resize(cw, ch);
        const TestPicture pic = Gradient(w, h);
        const QImage shot = ShowAndGrab(m_video, pic);
        const QRect r = Letterbox(shot.size(), w, h);
        const double stepX = double(w) / r.width(), stepY = double(h) / r.height();
        int wrong = 0, copied = 0;
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                const QRgb got = shot.pixel(x, y);
                if (!r.contains(x, y)) {
                    wrong += got != qRgb(0, 0, 0);
                    continue;
                }
                const double fx = (x - r.left() + 0.5) * stepX - 0.5, fy = (y - r.top() + 0.5) * stepY - 0.5;
                if (r.size() == QSize(w, h)) {
                    wrong += got != pic.At(x - r.left(), y - r.top());
                    ++copied;
                } else {
                    wrong += !Within(got, Neighbourhood(pic, fx, fy, std::max(1.0, stepX), std::max(1.0, stepY)));
                }
            }
        EXPECT_EQ(wrong, 0) << what;
        EXPECT_EQ(copied > 0, w == cw && h == ch) << what;
    }
    EXPECT_EQ(m_video.FramesDrawn(), 8);
}

// Enlarged, a ramp stays a ramp (no stair steps of repeated pixels) and an
// edge gets the shades between its sides; shrunk, a pattern of single pixels
// averages out (every picture pixel counts) instead of showing some of them.
TEST_F(StaticVideoTest, ScalingIsSmoothBothWays) {
    Grab();
    // 50 x 50 ramp, 5 levels a pixel, shown 6x (300 px from x = 50): inside
    // its first and last pixel, each step is about 1 level.
    const TestPicture ramp(50, 50, [](int x, int) { return qRgb(x * 5, x * 5, x * 5); });
    QImage shot = ShowAndGrab(m_video, ramp);
    int longestFlat = 0, run = 0;
    for (int x = 56; x < 344; ++x) {
        const int step = qRed(shot.pixel(x + 1, 150)) - qRed(shot.pixel(x, 150));
        EXPECT_GE(step, 0) << "ramp turns back at " << x;
        EXPECT_LE(step, 2) << "stair step at " << x;
        run = step == 0 ? run + 1 : 0;
        longestFlat = std::max(longestFlat, run);
    }
    EXPECT_LE(longestFlat, 1) << "the ramp shows flat stairs";

    // A black and white edge, 8x: the shades between.
    const TestPicture edge(16, 8, [](int x, int) { return x < 8 ? qRgb(0, 0, 0) : qRgb(255, 255, 255); });
    Resize(128, 64);
    shot = ShowAndGrab(m_video, edge);
    std::set<int> shades;
    for (int x = 0; x < 128; ++x)
        shades.insert(qRed(shot.pixel(x, 32)));
    EXPECT_GE(shades.size(), 6u) << "an enlarged edge shows steps, not shades";

    // Alternating single black and white pixels, shrunk 3.5x: an even grey,
    // where picking pixels would show black, white or stripes.
    const TestPicture checks(700, 525, [](int x, int y) { return (x + y) % 2 ? kWhite : qRgb(0, 0, 0); });
    Resize(200, 150);
    shot = ShowAndGrab(m_video, checks);
    int lo = 255, hi = 0;
    for (int y = 2; y < 148; ++y)
        for (int x = 2; x < 198; ++x) {
            lo = std::min(lo, qGreen(shot.pixel(x, y)));
            hi = std::max(hi, qGreen(shot.pixel(x, y)));
        }
    EXPECT_GE(lo, 100);
    EXPECT_LE(hi, 156);
}

// The picture shown last comes back at its own size, whatever the control's
// size, and stays after a resize (which shows it afresh in its new place).
TEST_F(StaticVideoTest, CurrentPictureIsTheLastPictureAtItsOwnSize) {
    EXPECT_TRUE(m_video.CurrentPicture().isNull());
    Grab();
    const TestPicture pic = Gradient(322, 181);
    ShowAndGrab(m_video, pic);
    const auto expectCurrent = [&](const std::string& what) {
        const QImage current = m_video.CurrentPicture();
        ASSERT_EQ(current.size(), QSize(322, 181)) << what;
        int wrong = 0;
        for (int y = 0; y < 181; ++y)
            for (int x = 0; x < 322; ++x)
                wrong += current.pixel(x, y) != pic.At(x, y);
        EXPECT_EQ(wrong, 0) << what;
    };
    expectCurrent("scaled");
    // Shown 1:1 the picture is kept in the canvas alone; a resize after
    // takes it from there.
    Resize(322, 181);
    ShowAndGrab(m_video, pic);
    expectCurrent("1:1");
    Resize(500, 300);
    expectCurrent("1:1, then resized");
    ShowAndGrab(m_video, Quadrants(322, 181));
    for (const QSize size : {QSize(300, 200), QSize(500, 200), QSize(322, 181)})
        ExpectQuadrants(Resize(size.width(), size.height()), 322, 181, "resized to " + std::to_string(size.width()));
    EXPECT_EQ(m_video.CurrentPicture().size(), QSize(322, 181));
}

TEST_F(StaticVideoTest, ManyPicturesWhileTheControlIsResizedOrReplaced) {
    Grab();
    std::atomic<bool> stop{false};
    const TestPicture a = Quadrants(320, 240), b = Quadrants(322, 181);
    std::thread presenter([&] {
        for (int i = 0; !stop && i < 400; ++i)
            ShowPicture((i % 3 ? a : b).decoded);
    });
    for (int i = 0; i < 40; ++i) {
        Resize(200 + 13 * i, 150 + 7 * i);
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
            ShowPicture(a.decoded);
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
