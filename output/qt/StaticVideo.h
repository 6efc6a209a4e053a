#pragma once
#include "output/VideoWindow.h"

#include <QImage>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

// The video display control: shows each picture ShowPicture hands over (once
// the owner has made it the display with SetVideoWindow) in the largest
// rectangle of its aspect ratio that fits the client area, centred, with
// black bars beside or above and below it. The canvas has the screen's
// resolution (client size times the device pixel ratio).
//
// Each picture is drawn once, on the presentation thread, straight into its
// place on an off-screen canvas of client size (the picture converts itself,
// see Picture::Paint); paintEvent only copies the canvas, so exposures and
// moves never convert again. There are two canvases: the presentation thread
// draws into the back one without holding the lock that paintEvent takes,
// then swaps them, so neither waits for the other's work. The last picture is kept: a resize, paused or
// not, draws it afresh at the new size, and a screenshot draws it at its own.
//
// Threads:
//  - presentation thread (through ShowPicture): ShowFrame;
//  - UI thread: everything else, construction and destruction included.
// Its destructor takes the control out of ShowPicture's hands (waiting for a
// picture being drawn), so it may go while the player still runs.
class CStaticVideo : public QWidget, public VideoWindow {
    Q_OBJECT
public:
    explicit CStaticVideo(QWidget* pParent = nullptr);
    ~CStaticVideo() override;

    // Draws the picture on the canvas, then queues a repaint to the UI thread.
    // A picture that arrives before the first paint waits for it.
    void ShowFrame(std::shared_ptr<const Picture> picture) override;

    // Repaints the whole control.
    void Refresh();
    // The picture shown last, at its own size; null before any. Any thread.
    QImage CurrentPicture() const;

    // Pictures drawn onto the canvas, and paints that brought a new one to
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
    // A canvas and where the picture sits on it (empty when the bars must be
    // painted before the next picture).
    struct Canvas {
        QImage image;
        QRect place;
    };
    // Draws picture into its place on the canvas, painting the bars black
    // first when the place moved.
    static bool DrawPicture(Canvas& canvas, const Picture& picture);

    // Queues one update() to the UI thread; frames arriving before it has
    // run do not queue more.
    void PostRepaint();

    // Under m_csCanvas: the last picture; the canvas painted and the back
    // one (null while the presentation thread draws on it); the client
    // rectangle and pixel ratio they were made for; whether the canvas holds
    // a picture not yet painted.
    std::shared_ptr<const Picture> m_picture;
    Canvas m_canvas;
    Canvas m_back;
    QRect m_rcCanvas;
    qreal m_dCanvasRatio = 0;
    bool m_bPictureUnpainted = false;
    mutable std::mutex m_csCanvas;

    std::atomic<int> m_nFramesDrawn{0};
    std::atomic<int> m_nPicturesPainted{0};

    std::atomic<bool> m_bRepaintPosted{false};
};
