#include "output/qt/StaticVideo.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

#include <bit>
#include <cstdint>
#include <vector>

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

namespace {

// Stretches a w x h picture over the whole of dst (Format_RGB32), nearest
// pixel by pixel centre, so a picture of the canvas size is copied exactly.
// Source rows are srcStride bytes apart from the top row (negative for a
// bottom-up picture); each pixel is pixelBytes long and starts blue, green, red.
// Plain loops rather than QPainter: Qt spreads large scaled draws over its
// own thread pool, out of sight of the canvas lock and of the race checker.
// Format_RGB32 pixels read as bytes are blue, green, red only on little-endian machines.
static_assert(std::endian::native == std::endian::little);

void StretchOnto(QImage& dst, const uint8_t* srcTop, ptrdiff_t srcStride, int pixelBytes, int w, int h) {
    const int dw = dst.width(), dh = dst.height();
    std::vector<int> columns(dw);
    for (int x = 0; x < dw; ++x)
        columns[x] = static_cast<int>((2 * int64_t{x} + 1) * w / (2 * int64_t{dw})) * pixelBytes;
    for (int y = 0; y < dh; ++y) {
        const int sy = static_cast<int>((2 * int64_t{y} + 1) * h / (2 * int64_t{dh}));
        const uint8_t* src = srcTop + sy * srcStride;
        auto* out = reinterpret_cast<QRgb*>(dst.scanLine(y));
        for (int x = 0; x < dw; ++x) {
            const uint8_t* p = src + columns[x];
            out[x] = qRgb(p[2], p[1], p[0]);
        }
    }
}

} // namespace

void CStaticVideo::ShowFrame(const uint8_t* bits) {
    if (!bits || m_nVideoWidth <= 0 || m_nVideoHeight <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        if (!m_canvas.isNull()) {
            const ptrdiff_t stride = DibStride(m_nVideoWidth);
            StretchOnto(m_canvas, bits + (m_nVideoHeight - 1) * stride, -stride, 3, m_nVideoWidth, m_nVideoHeight);
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
            StretchOnto(canvas, m_canvas.constBits(), m_canvas.bytesPerLine(), 4, m_canvas.width(), m_canvas.height());
        m_canvas = std::move(canvas);
    }
    if (!m_canvas.isNull())
        painter.drawImage(0, 0, m_canvas);
}

void CStaticVideo::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit DoubleClicked();
}
