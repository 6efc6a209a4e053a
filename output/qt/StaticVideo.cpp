#include "output/qt/StaticVideo.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

CStaticVideo::CStaticVideo(QWidget* pParent) : QWidget(pParent) {
    // paintEvent covers every pixel, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CStaticVideo::~CStaticVideo() {
    VideoWindow* self = this;
    g_pVideoWnd.compare_exchange_strong(self, nullptr);
}

void CStaticVideo::SetVideoSize(int width, int height) {
    m_nVideoWidth = width;
    m_nVideoHeight = height;
}

void CStaticVideo::ShowFrame(const uint8_t* bits) {
    if (!bits || m_nVideoWidth <= 0 || m_nVideoHeight <= 0)
        return;
    if (m_upright.width() != m_nVideoWidth || m_upright.height() != m_nVideoHeight) {
        m_upright = QImage(m_nVideoWidth, m_nVideoHeight, QImage::Format_RGB32);
        if (m_upright.isNull())
            return;
    }
    // Flip and widen in one pass, outside the lock: the scaler then gets an
    // upright picture in its own format and 1:1 draws are plain copies.
    const int stride = DibStride(m_nVideoWidth);
    for (int y = 0; y < m_nVideoHeight; ++y) {
        const uint8_t* src = bits + static_cast<size_t>(m_nVideoHeight - 1 - y) * stride;
        auto* dst = reinterpret_cast<QRgb*>(m_upright.scanLine(y));
        for (int x = 0; x < m_nVideoWidth; ++x, src += 3)
            dst[x] = qRgb(src[2], src[1], src[0]);
    }
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        if (!m_canvas.isNull()) {
            QPainter painter(&m_canvas);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(m_canvas.rect(), m_upright);
        }
    }
    PostRepaint();
}

void CStaticVideo::PostRepaint() {
    if (m_bRepaintPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bRepaintPosted = false;
            update();
        },
        Qt::QueuedConnection);
}

void CStaticVideo::Refresh() {
    update();
}

void CStaticVideo::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect client = rect();
    std::lock_guard<std::mutex> lock(m_csCanvas);
    if (m_canvas.isNull() || client != m_rcCanvas) {
        m_rcCanvas = client;
        // Start the new canvas from the old picture, stretched, so a resize
        // while paused keeps showing it until the next picture arrives.
        QImage canvas(client.size(), QImage::Format_RGB32);
        if (m_canvas.isNull())
            canvas.fill(Qt::black);
        else if (!canvas.isNull())
            canvas = m_canvas.scaled(client.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
        m_canvas = std::move(canvas);
    }
    if (!m_canvas.isNull())
        painter.drawImage(0, 0, m_canvas);
}

void CStaticVideo::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit DoubleClicked();
}
