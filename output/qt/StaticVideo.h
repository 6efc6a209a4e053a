#pragma once
#include "output/VideoWindow.h"

#include <QImage>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <mutex>

// The video display control: shows each picture ShowPicture hands over,
// stretched to the whole client area (the aspect ratio is not kept).
//
// Scaling happens once per picture, on the presentation thread, into an
// off-screen canvas of client size; paintEvent only copies the canvas, so
// exposures and moves never scale again.
//
// Threads:
//  - presentation thread (through ShowPicture): SetVideoSize, ShowFrame;
//  - UI thread: everything else, construction and destruction included.
// The owner stops the player (joining the presentation thread) before
// destroying the control; the destructor also takes itself out of g_pVideoWnd.
class CStaticVideo : public QWidget, public VideoWindow {
    Q_OBJECT
public:
    explicit CStaticVideo(QWidget* pParent = nullptr);
    ~CStaticVideo() override;

    // Describes the pictures that follow; nothing changes when the size stays.
    void SetVideoSize(int width, int height) override;
    // bits: a bottom-up BGR24 picture of the size last set, rows DibStride
    // apart. Drawn on the canvas, then a repaint is queued to the UI thread.
    // A picture that arrives before the first paint has no canvas and is lost.
    void ShowFrame(const uint8_t* bits) override;

    // Repaints the whole control.
    void Refresh();

signals:
    // The user double-clicked the picture (the main window toggles its size).
    void DoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Queues one update() to the UI thread; frames arriving before it has
    // run do not queue more.
    void PostRepaint();

    // The source picture size; presentation thread only.
    int m_nVideoWidth = 320;
    int m_nVideoHeight = 240;

    // The canvas and the client rectangle it was made for, under m_csCanvas.
    QImage m_canvas;
    QRect m_rcCanvas;
    std::mutex m_csCanvas;

    std::atomic<bool> m_bRepaintPosted{false};
};
