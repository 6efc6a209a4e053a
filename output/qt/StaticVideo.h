#pragma once
#include "output/VideoWindow.h"
#include "output/qt/SmoothScale.h"

#include <QImage>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// The video display control: shows each picture ShowPicture hands over (once
// the owner has made it the display with SetVideoWindow), scaled to the
// largest rectangle of its aspect ratio that fits the client area, centred,
// with black bars beside or above and below it, filtered smoothly (see
// SmoothScaler) unless it fits 1:1. The canvas has the screen's resolution
// (client size times the device pixel ratio).
//
// Scaling happens once per picture, on the presentation thread, into an
// off-screen canvas of client size; paintEvent only copies the canvas, so
// exposures and moves never scale again. The picture as handed over is kept
// too: a resize while paused scales it afresh, and a screenshot takes it at
// its own size.
//
// Threads:
//  - presentation thread (through ShowPicture): SetVideoSize, ShowFrame;
//  - UI thread: everything else, construction and destruction included.
// The control keeps the last picture and the canvas. Its destructor
// takes the control out of ShowPicture's hands (waiting for a picture being
// drawn), so it may go while the player still runs.
class CStaticVideo : public QWidget, public VideoWindow {
    Q_OBJECT
public:
    explicit CStaticVideo(QWidget* pParent = nullptr);
    ~CStaticVideo() override;

    // Describes the pictures that follow; nothing changes when the size stays.
    void SetVideoSize(int width, int height) override;
    // bits: a picture of the size last set, in ShowPicture's layout. Drawn on
    // the canvas, then a repaint is queued to the UI thread.
    // A picture that arrives before the first paint has no canvas and is lost.
    void ShowFrame(const uint8_t* bits) override;

    // Repaints the whole control.
    void Refresh();
    // The picture shown last, at its own size; null before any. Any thread.
    QImage CurrentPicture() const;

    // Pictures stretched onto the canvas, and paints that brought a new one to
    // the screen (a repaint request covers every picture drawn before it runs).
    // Any thread.
    int FramesDrawn() const { return m_nFramesDrawn; }
    int PicturesPainted() const { return m_nPicturesPainted; }

signals:
    // The user double-clicked the picture (the main window toggles its size).
    void DoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // The letterboxed place of a w x h picture on a canvas of `canvas` size.
    static QRect PictureRect(const QSize& canvas, int w, int h);
    // Makes a canvas of the client's size in device pixels.
    QImage MakeCanvas() const;

    // Draws a w x h picture of `bytes` (3: BGR24, 4: RGB32) per pixel into
    // its letterbox on the canvas (under m_csCanvas).
    static void DrawPicture(QImage& canvas, const QRect& place, const uint8_t* picture, int w, int h, int bytes,
                            SmoothScaler& scaler);
    // The kept picture, taken from the canvas when it lies there 1:1.
    void KeepPictureFromCanvas();

    // Queues one update() to the UI thread; frames arriving before it has
    // run do not queue more.
    void PostRepaint();

    // The source picture size; presentation thread only.
    int m_nVideoWidth = 320;
    int m_nVideoHeight = 240;

    // The last picture and its size: where it fits the canvas 1:1 the
    // canvas holds it (no copy is made per picture), else m_picture does, as
    // handed over (BGR24) or taken from the canvas (RGB32). The scaler of
    // each thread that draws. All under m_csCanvas.
    std::vector<uint8_t> m_picture;
    int m_nPictureBytes = 3;
    bool m_bPictureInCanvas = false;
    int m_nPictureWidth = 0;
    int m_nPictureHeight = 0;
    SmoothScaler m_presentScaler;
    SmoothScaler m_paintScaler;

    // The canvas and the client rectangle it was made for, under m_csCanvas,
    // and whether it holds a picture not yet painted.
    QImage m_canvas;
    QRect m_rcCanvas;
    qreal m_dCanvasRatio = 0;
    // Where the last picture sits on the canvas; empty when the bars must be
    // (re)painted before the next picture.
    QRect m_rcPicture;
    bool m_bPictureUnpainted = false;
    mutable std::mutex m_csCanvas;

    std::atomic<int> m_nFramesDrawn{0};
    std::atomic<int> m_nPicturesPainted{0};

    std::atomic<bool> m_bRepaintPosted{false};
};
