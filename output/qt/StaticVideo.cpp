#include "output/qt/StaticVideo.h"

#include "platform/Trace.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

CStaticVideo::CStaticVideo(QWidget* pParent) : QWidget(pParent) {
    // paintEvent covers every pixel, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CStaticVideo::~CStaticVideo() {
    ReleaseVideoWindow(this);
    DebugTrace("video window: %d pictures drawn, %d painted\r\n", m_nFramesDrawn.load(), m_nPicturesPainted.load());
}

void CStaticVideo::SetVideoSize(int width, int height) {
    m_nVideoWidth = width;
    m_nVideoHeight = height;
}

// Format_RGB32 pixels read as bytes are blue, green, red only on little-endian machines.
static_assert(std::endian::native == std::endian::little);

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Four pixels per shuffle, a group taken only while six pixels remain, so the
// 16-byte load never passes the row. Returns the pixels done.
__attribute__((target("ssse3"))) int ExpandBgrRowSsse3(uint32_t* out, const uint8_t* src, int count) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int x = 0;
    for (; x + 6 <= count; x += 4, src += 12) {
        const __m128i bgr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_shuffle_epi8(bgr, spread), opaque));
    }
    return x;
}
#endif

// The leading pixels of a row of packed blue-green-red pixels turned into
// RGB32 with the fastest means the processor offers; returns how many.
int ExpandBgrRow(uint32_t* out, const uint8_t* src, int count) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool haveSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    if (haveSsse3)
        return ExpandBgrRowSsse3(out, src, count);
#endif
    (void)out, (void)src, (void)count;
    return 0;
}

} // namespace

// The picture into its place on the canvas: copied when it fits 1:1, else
// filtered smoothly. Plain loops rather than QPainter: Qt spreads large
// scaled draws over its own thread pool, out of sight of the canvas lock and
// of the race checker.
void CStaticVideo::DrawPicture(QImage& canvas, const QRect& place, const uint8_t* picture, int w, int h, int bytes,
                               SmoothScaler& scaler) {
    if (place.isEmpty() || !picture || w <= 0 || h <= 0)
        return;
    uint8_t* const topLeft = canvas.bits() + place.y() * canvas.bytesPerLine() + place.x() * 4;
    const ptrdiff_t stride = canvas.bytesPerLine(), srcStride = ptrdiff_t{bytes} * w;
    if (place.width() != w || place.height() != h) {
        scaler.Scale(picture, srcStride, w, h, bytes, topLeft, stride, place.width(), place.height());
        return;
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = picture + y * srcStride;
        auto* out = reinterpret_cast<uint32_t*>(topLeft + y * stride);
        if (bytes == 4) {
            std::memcpy(out, src, size_t{4} * w);
            continue;
        }
        int x = ExpandBgrRow(out, src, w);
        for (src += ptrdiff_t{3} * x; x < w; ++x, src += 3)
            out[x] = 0xFF000000u | uint32_t{src[2]} << 16 | uint32_t{src[1]} << 8 | src[0];
    }
}

void CStaticVideo::KeepPictureFromCanvas() {
    if (!m_bPictureInCanvas)
        return;
    m_bPictureInCanvas = false;
    m_nPictureBytes = 4;
    const size_t row = size_t{4} * m_nPictureWidth;
    m_picture.resize(row * m_nPictureHeight);
    for (int y = 0; y < m_nPictureHeight; ++y)
        std::memcpy(m_picture.data() + y * row,
                    m_canvas.constBits() + (m_rcPicture.y() + y) * m_canvas.bytesPerLine() + m_rcPicture.x() * 4, row);
}

QRect CStaticVideo::PictureRect(const QSize& canvas, int w, int h) {
    const int cw = canvas.width(), ch = canvas.height();
    if (w <= 0 || h <= 0 || cw <= 0 || ch <= 0)
        return QRect();
    if (int64_t{cw} * h > int64_t{ch} * w) {
        const int tw = std::max(1, static_cast<int>(int64_t{ch} * w / h));
        return QRect((cw - tw) / 2, 0, tw, ch);
    }
    const int th = std::max(1, static_cast<int>(int64_t{cw} * h / w));
    return QRect(0, (ch - th) / 2, cw, th);
}

void CStaticVideo::ShowFrame(const uint8_t* bits) {
    const int w = m_nVideoWidth, h = m_nVideoHeight;
    if (!bits || w <= 0 || h <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        m_nPictureWidth = w;
        m_nPictureHeight = h;
        const QRect place = m_canvas.isNull() ? QRect() : PictureRect(m_canvas.size(), w, h);
        m_bPictureInCanvas = !place.isEmpty() && place.size() == QSize(w, h);
        if (!m_bPictureInCanvas) {
            m_picture.assign(bits, bits + size_t{3} * w * h);
            m_nPictureBytes = 3;
        }
        if (!m_canvas.isNull()) {
            if (place != m_rcPicture) {
                m_canvas.fill(Qt::black);
                m_rcPicture = place;
            }
            DrawPicture(m_canvas, place, m_bPictureInCanvas ? bits : m_picture.data(), w, h,
                        m_bPictureInCanvas ? 3 : m_nPictureBytes, m_presentScaler);
            m_bPictureUnpainted = true;
            ++m_nFramesDrawn;
        }
    }
    PostRepaint();
}

QImage CStaticVideo::CurrentPicture() const {
    std::lock_guard<std::mutex> lock(m_csCanvas);
    if (m_bPictureInCanvas) {
        QImage picture = m_canvas.copy(m_rcPicture);
        picture.setDevicePixelRatio(1);
        return picture;
    }
    if (m_picture.empty())
        return QImage();
    return QImage(m_picture.data(), m_nPictureWidth, m_nPictureHeight, m_nPictureBytes * m_nPictureWidth,
                  m_nPictureBytes == 4 ? QImage::Format_RGB32 : QImage::Format_BGR888)
        .copy();
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

QImage CStaticVideo::MakeCanvas() const {
    const qreal ratio = devicePixelRatioF();
    QImage canvas(size() * ratio, QImage::Format_RGB32);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::black);
    return canvas;
}

void CStaticVideo::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect client = rect();
    std::lock_guard<std::mutex> lock(m_csCanvas);
    if (m_canvas.isNull() || client != m_rcCanvas || devicePixelRatioF() != m_dCanvasRatio) {
        m_rcCanvas = client;
        m_dCanvasRatio = devicePixelRatioF();
        // The new canvas shows the last picture in its new place at once, so
        // a resize while paused keeps showing it.
        KeepPictureFromCanvas();
        QImage canvas = MakeCanvas();
        QRect place;
        if (!m_picture.empty() && !canvas.isNull()) {
            place = PictureRect(canvas.size(), m_nPictureWidth, m_nPictureHeight);
            DrawPicture(canvas, place, m_picture.data(), m_nPictureWidth, m_nPictureHeight, m_nPictureBytes,
                        m_paintScaler);
        }
        m_canvas = std::move(canvas);
        m_rcPicture = place;
    }
    if (m_canvas.isNull())
        return;
    painter.drawImage(0, 0, m_canvas);
    if (m_bPictureUnpainted) {
        m_bPictureUnpainted = false;
        if (++m_nPicturesPainted == 1)
            DebugTrace("video window: first picture painted\r\n");
    }
}

void CStaticVideo::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() == Qt::LeftButton)
        emit DoubleClicked();
}
